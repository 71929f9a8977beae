"""Making the coating: yield under deposition errors, and the signal a monitor sees while layers grow."""
