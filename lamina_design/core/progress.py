"""Progress on a terminal: the one-line bars of refinement, synthesis, sampling and monitoring."""
from __future__ import annotations

import math
import sys
import time
from typing import Optional, TextIO

__all__ = ["ProgressBar"]


class ProgressBar:
    """A one-line bar on a terminal, shown once the work has run for half a second.

    `enabled` True always draws it (after no delay), False never, None on a terminal only.
    Called as ``bar(done, total)`` it serves as a ``progress`` callback.
    """

    def __init__(self, total: int, enabled: Optional[bool], stream: Optional[TextIO] = None,
                 label: str = "refining", unit: str = "evaluations") -> None:
        self.total = max(total, 1)
        self.stream = sys.stderr if stream is None else stream
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.label = label
        self.unit = unit
        self.start = time.perf_counter()
        self.shown = False
        self.delay = 0.5 if enabled is None else 0.0
        self.drawn = -math.inf

    def update(self, count: int, cost: Optional[float] = None) -> None:
        now = time.perf_counter()
        if not self.enabled or now - self.start < self.delay:
            return
        if now - self.drawn < 0.1 and count < self.total:
            return  # the last count is always drawn: a bar never ends short of its total
        self.drawn = now
        width = 30
        filled = min(width, int(width * count / self.total))
        text = f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {count}/{self.total}"
        if self.unit:
            text += f" {self.unit}"
        if cost is not None:
            text += f", cost {cost:.4g}"
        self.stream.write(text)
        self.stream.flush()
        self.shown = True

    def __call__(self, done: int, total: int) -> None:
        self.total = max(total, 1)
        self.update(done)

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
