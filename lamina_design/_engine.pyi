# The native engine's Python face: complex amplitudes, derivatives and fields
# for batches of stacks.
