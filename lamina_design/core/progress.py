"""Progress of long operations: one record for callbacks, a one-line bar for terminals, and the
stops a caller can ask for (a callback's answer, a time budget, Ctrl-C).

Every long operation (refine with starts, needle, gradual evolution, the searches, tolerance)
reports :class:`Progress` records to its ``callback``: work done out of the total in its own
unit (evaluations, steps, starts, generations, samples), the best merit so far (the root mean
square of the scaled residuals, as the result's ``merit``), the best design so far, the time
elapsed and an estimate of the time left. A callback that returns True or raises
StopIteration stops the operation, which returns its best design so far; so does its
``time_budget`` (seconds) running out, and Ctrl-C.
"""
from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional, TextIO

from lamina_design.core import formatting

__all__ = ["INTERRUPTED", "Callback", "Progress", "ProgressBar", "Stop", "Tracker", "check_budget"]


@formatting.recorded
@dataclass(frozen=True)
class Progress:
    """Where a long operation stands.

    ``done`` of ``total`` ``unit`` (a total that is only a bound, such as a step limit, is still
    the most the operation takes); ``merit`` the best design's root mean square of the scaled
    residuals so far; ``stack`` that design (None before there is one), from which a stopped
    run can be resumed; ``elapsed`` and ``eta`` in seconds (``eta`` is nan before anything is
    done); ``stage`` what is running now, in words.
    """

    done: int
    total: int
    unit: str
    merit: float
    stack: Any
    elapsed: float
    eta: float
    stage: str = ""

    @property
    def fraction(self) -> float:
        """``done / total``, between 0 and 1."""
        return min(max(self.done / max(self.total, 1), 0.0), 1.0)


#: What ``callback=`` accepts: anything called with a record; True stops.
Callback = Callable[[Progress], Any]


class Stop(Exception):
    """Raised inside an operation to end it with its best design; ``reason`` goes in its message."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def check_budget(time_budget: Optional[float]) -> float:
    """A time budget in seconds (None: no limit), refused unless > 0."""
    if time_budget is None:
        return math.inf
    try:
        budget = float(time_budget)
    except (TypeError, ValueError):
        raise ValueError(f"time_budget must be a number of seconds, got {time_budget!r}") from None
    if not budget > 0:
        raise ValueError(f"time_budget must be > 0 seconds, got {time_budget!r}")
    return budget


def _clock(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    seconds = max(0.0, seconds)
    if seconds < 60:
        return f"{seconds:.0f} s"
    if seconds < 3600:
        return f"{int(seconds // 60)} min {int(seconds % 60):02d} s"
    return f"{int(seconds // 3600)} h {int(seconds % 3600 // 60):02d} min"


class ProgressBar:
    """A one-line bar on a terminal, shown once an operation has run for half a second.

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
        self.width = 0

    def update(self, count: int, merit: Optional[float] = None, eta: float = math.nan,
               total: Optional[int] = None, force: bool = False) -> None:
        """Draws ``count`` of the total, with the merit and the time left when known (at most ten
        times a second, but always the last count: a bar never ends short of its total)."""
        if total is not None:
            self.total = max(total, 1)
        now = time.perf_counter()
        if not self.enabled or now - self.start < self.delay:
            return
        if now - self.drawn < 0.1 and count < self.total and not force:
            return
        self.drawn = now
        width = 30
        filled = min(width, int(width * count / self.total))
        text = f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {count}/{self.total}"
        if self.unit:
            text += f" {self.unit}"
        if merit is not None:
            text += f", merit {merit:.4g}"
        if math.isfinite(eta):
            text += f", {_clock(eta)} left"
        # Blanks over what a longer line drawn before left behind.
        self.stream.write(text + " " * max(0, self.width - len(text)))
        self.width = len(text)
        self.stream.flush()
        self.shown = True

    def __call__(self, done: int, total: int) -> None:
        self.update(done, total=total)

    def close(self) -> None:
        if self.shown:
            self.shown = False
            self.stream.write("\n")
            self.stream.flush()


class Tracker:
    """Progress of one operation: draws the bar, calls the callback, keeps the time budget.

    :meth:`update` raises :class:`Stop` when the callback asks for it or the budget is spent;
    the operation catches it and returns its best design so far with :attr:`reason` in its
    message.
    """

    def __init__(self, total: int, unit: str, *, label: str, progress: Optional[bool], stream: TextIO,
                 callback: Optional[Callback] = None, time_budget: Optional[float] = None) -> None:
        self.total = max(int(total), 1)
        self.unit = unit
        self.bar = ProgressBar(self.total, progress, stream, label, unit)
        self.callback = callback
        self.budget = check_budget(time_budget)
        self.start = time.perf_counter()
        self.done = 0
        self.reason = ""

    def elapsed(self) -> float:
        return time.perf_counter() - self.start

    def eta(self, done: int) -> float:
        elapsed = self.elapsed()
        left = math.inf if done <= 0 else elapsed * max(self.total - done, 0) / done
        left = min(left, self.budget - elapsed)
        return max(left, 0.0) if math.isfinite(left) else math.nan

    def update(self, done: int, merit: float, design: Optional[Callable[[], Any]] = None, stage: str = "",
               total: Optional[int] = None) -> None:
        """Reports ``done`` (never less than before) with the best merit; ``design()`` gives the best design."""
        if total is not None:
            self.total = max(int(total), 1)
        self.done = min(max(int(done), self.done), self.total)
        eta = self.eta(self.done)
        self.bar.update(self.done, merit, eta, self.total)
        if self.callback is not None:
            record = Progress(self.done, self.total, self.unit, float(merit), None if design is None else design(),
                              self.elapsed(), eta, stage)
            try:
                answer = self.callback(record)
            except StopIteration:
                answer = True
            if answer is True:
                self.stop("stopped by the callback")
        self.check()

    def check(self) -> None:
        """Raises :class:`Stop` once the time budget is spent."""
        if self.elapsed() > self.budget:
            self.stop(f"the time budget of {self.budget:g} s ran out")

    def stop(self, reason: str) -> None:
        self.reason = reason
        raise Stop(reason)

    def close(self) -> None:
        self.bar.close()


#: The message of a run ended by Ctrl-C.
INTERRUPTED = "interrupted (Ctrl-C, KeyboardInterrupt)"
