"""The published limits on how much work one call, command or file may ask for.

Each is checked before the work starts, by the Python functions and the command line alike, so
a mistaken or hostile number is refused with a message that names it instead of filling the
memory or running for hours. ``docs/design-files.md`` lists them under "Limits".
"""
from __future__ import annotations

import operator

__all__ = [
    "MAX_CHUNKS",
    "MAX_DEPTH",
    "MAX_EVALUATIONS",
    "MAX_FILE_BYTES",
    "MAX_LAYERS",
    "MAX_POINTS",
    "MAX_SAMPLES",
    "MAX_STEPS",
    "MAX_TOKENS",
    "WORKERS_PER_PROCESSOR",
    "check_count",
]

#: The most wavelengths one grid may have, the most angles one sweep may have, and the most
#: items one array of a file may hold.
MAX_POINTS = 1_000_000
#: The most layers a design file may have (front and back together); also the most tables of
#: one array ([[layer]], [[target]]) a file may have.
MAX_LAYERS = 10_000
#: The most Monte Carlo samples of one tolerance run.
MAX_SAMPLES = 10_000_000
#: The most chunks one batch is cut into (each is a task, with its future, in memory at once).
MAX_CHUNKS = 100_000
#: The most points per layer of a monitoring curve: about half a second of the engine's time
#: per layer, and far finer than a plot or a turning point needs.
MAX_STEPS = 100_000
#: Worker processes per available processor: more only share the processors.
WORKERS_PER_PROCESSOR = 4
#: The deepest nesting of arrays and inline tables a file may have.
MAX_DEPTH = 32
#: The largest refinement budget a targets file may ask for.
MAX_EVALUATIONS = 1_000_000
#: The largest design or targets file read.
MAX_FILE_BYTES = 64 * 2**20
#: The most keys, table headers, strings, brackets and comments a file may have: what its
#: pre-scan looks at one by one (the numbers of an array are counted in C), about a second's
#: work. A design of MAX_LAYERS layers needs about 40 000.
MAX_TOKENS = 250_000


def check_count(value: object, most: int, what: str, least: int = 1) -> int:
    """`value` as an int in [least, most]; anything else raises ValueError naming `what`."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError(f"{what} must be a whole number, got {value!r}") from None
    if number < least:
        raise ValueError(f"{what} must be ≥ {least}, got {number}")
    if number > most:
        raise ValueError(f"{what}: at most {most} allowed, got {number}")
    return number
