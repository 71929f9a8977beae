"""Files: design and target files (TOML), locating their errors, writing designs back."""
