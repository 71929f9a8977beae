"""What every part of the package shares: input checks and conversions, targets and their
grouping, the result vocabulary, formatting, limits, executors and chunked maps, progress."""
