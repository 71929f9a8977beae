"""Progress on a terminal: the one-line bars of refinement and synthesis."""
from __future__ import annotations

import math
import time
from typing import Optional, TextIO

__all__ = ["ProgressBar"]


class ProgressBar:
    """A one-line bar on a terminal, shown once a refinement has run for half a second."""

    def __init__(self, total: int, enabled: Optional[bool], stream: TextIO) -> None:
        self.total = max(total, 1)
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled
        self.start = time.perf_counter()
        self.shown = False
        self.delay = 0.5 if enabled is None else 0.0
        self.drawn = -math.inf

    def update(self, count: int, cost: float) -> None:
        now = time.perf_counter()
        if not self.enabled or now - self.start < self.delay or now - self.drawn < 0.1:
            return
        self.drawn = now
        width = 30
        filled = min(width, int(width * count / self.total))
        self.stream.write(f"\rrefining [{'#' * filled}{'.' * (width - filled)}] {count}/{self.total} "
                          f"evaluations, cost {cost:.4g}")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
