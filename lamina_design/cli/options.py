"""The command line's parser: option types, the options subcommands share, help text."""
from __future__ import annotations

import argparse
import math
import re
import textwrap
from pathlib import Path
from typing import Any, Callable, List, Optional, Union

from lamina_design.core.checks import MAX_ANGLE_RAD
from lamina_design.core.executor import worker_limit
from lamina_design.core.limits import MAX_LAYERS, WORKERS_PER_PROCESSOR
from lamina_design.io.files import DEFAULT_WAVELENGTHS

DOCS = "docs/design-files.md"

EPILOG = f"""\
The design and targets files are TOML; every table and key, with types, units, defaults and
examples, is described in {DOCS} (in the source distribution and the repository).

exit status:
  0  done
  1  a missing dependency (SciPy, tomli) or an output that cannot be written
  2  a usage error, or a design, targets or material file that cannot be used
     (one message naming the file, the line and the key)
  3  refine stopped at its evaluation budget before converging; the best design found
     is still written. Raise max_evaluations in the targets file's [refine] table.
"""

DESIGN_HELP = (f"a design file (TOML): media, [[layer]] tables from the incidence side, an optional "
               f"[substrate] and [spectrum] (default {DEFAULT_WAVELENGTHS['start']:g}-"
               f"{DEFAULT_WAVELENGTHS['stop']:g} nm, 0°, unpolarised); see {DOCS}")

TARGETS_HELP = (f"a targets file (TOML): [[target]] tables (quantity R, T or A, wavelength_nm, value or "
                f"min/max, tolerance, weight, angle_deg, polarisation) and an optional [refine] table (vary, "
                f"max_evaluations); see {DOCS}")

#: A cap: a number, or a function giving it when the option is read (the processors free then).
Cap = Union[None, float, Callable[[], float]]


def number(least: Optional[float] = None, *, above: bool = False, most: Cap = None, whole: bool = False,
           what: str = "", note: str = "") -> Callable[[str], Any]:
    """An option type: a finite number (a whole one with `whole`) ≥ `least` (> with `above`) and
    ≤ `most`; `what` names it in the message, `note` says why the cap is what it is."""
    kind = "a whole number" if whole else "a finite number"
    if least is not None:
        kind += f" {'>' if above else '≥'} {least:g}"
    wanted = f"{what}: {kind}" if what else kind

    def parse(text: str) -> Any:
        try:
            value: Union[int, float] = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{wanted}, got {text!r}") from None
        if not math.isfinite(value) or (least is not None and (value <= least if above else value < least)):
            raise argparse.ArgumentTypeError(f"{wanted}, got {text!r}")
        cap = most() if callable(most) else most
        if cap is not None and value > cap:
            shown = int(cap) if whole else f"{cap:g}"
            raise argparse.ArgumentTypeError(f"at most {shown}{note}, got {text!r}")
        return value

    parse.__name__ = "whole" if whole else "number"
    return parse


finite = number()
positive = number(0, above=True)
non_negative = number(0)
wavelength = number(0, above=True, what="a wavelength in nm")
count = number(1, whole=True)
layer_count = number(1, whole=True, most=MAX_LAYERS, note=" (the layers a design file may have)")
worker_count = number(1, whole=True, most=worker_limit,
                      note=f" here ({WORKERS_PER_PROCESSOR} per available processor)")


def whole(least: int, most: Cap = None) -> Callable[[str], Any]:
    """A whole number in [least, most] (`most` a number or a function, None: no cap)."""
    return number(least, whole=True, most=most)


def workers(text: str) -> str:
    """A number of worker processes, or 'serial'."""
    if text == "serial":
        return text
    if not (text.isdigit() and int(text) >= 1):
        raise argparse.ArgumentTypeError(f"--workers takes a number of processes (≥ 1) or 'serial', got {text!r}")
    worker_count(text)
    return text


def incidence(text: str) -> float:
    """An angle of incidence in degrees, as the engine takes it."""
    value: float = finite(text)
    if not 0 <= value < 90:
        raise argparse.ArgumentTypeError(f"an angle of incidence in [0, 90) degrees, got {text!r}")
    if math.radians(value) > MAX_ANGLE_RAD:
        raise argparse.ArgumentTypeError(f"at most {math.degrees(MAX_ANGLE_RAD):.5f}° (closer to grazing the "
                                         f"spectrum loses accuracy), got {text!r}")
    return value


def polarisation(text: str) -> Any:
    """s, p, unpolarised, or a polarisation angle in degrees (returned in radians)."""
    if text.lower() in ("s", "p", "unpolarised", "unpolarized"):
        return text.lower()
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'s', 'p', 'unpolarised' or an angle in degrees, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"a polarisation angle must be finite, got {text!r}")
    return math.radians(value)


class Parser(argparse.ArgumentParser):
    """Takes any negative number as a value (``--depth -1e3 500``), not only plain -1 or -.5."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-(?:\d|\.\d|inf|nan)", re.IGNORECASE)


class Formatter(argparse.RawDescriptionHelpFormatter):
    """Help whose lines never break inside a path such as docs/design-files.md."""

    def _split_lines(self, text: str, width: int) -> List[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


def add_command(commands: Any, name: str, summary: str, description: str) -> argparse.ArgumentParser:
    """A subcommand's parser, with the help layout and epilog every subcommand shares."""
    sub: argparse.ArgumentParser = commands.add_parser(name, help=summary, formatter_class=Formatter, epilog=EPILOG,
                                                       description=textwrap.fill(description, 79))
    return sub


def add_outputs(sub: argparse.ArgumentParser) -> None:
    """--out and --no-plot."""
    sub.add_argument("--out", type=Path, default=Path("."), metavar="DIR",
                     help="directory for the outputs (default: .)")
    sub.add_argument("--no-plot", action="store_true", help="write the CSV only")


def add_spectrum_plot(sub: argparse.ArgumentParser) -> None:
    """--log and --band: how the R, T, A plot is drawn."""
    sub.add_argument("--log", action="store_true", help="plot R, T and A (in %%) on a logarithmic axis")
    sub.add_argument("--band", type=wavelength, nargs=2, metavar=("MIN", "MAX"),
                     help="plot only wavelengths from MIN to MAX nm (the CSV keeps the whole grid)")


def add_progress(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--progress", action="store_true", help="always show the progress bar")


def add_time_budget(sub: argparse.ArgumentParser) -> None:
    """--time-budget: a long run stops with its best so far once this many seconds have passed."""
    sub.add_argument("--time-budget", type=positive, default=None, metavar="SECONDS",
                     help="stop after this many seconds with the best result so far (its message says so)")
