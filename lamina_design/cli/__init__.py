"""The ``lamina-design`` command: spectra and refinement of designs written in TOML.

    lamina-design spectrum design.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--phase]
                                       [--field WAVELENGTH [--depth MIN MAX]] [--view VIEW[@NM] ...]
    lamina-design refine design.toml targets.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--progress]
    lamina-design synthesize design.toml targets.toml [--material NAME ...] [--method needle|gradual]
                  [--max-layers N] [--max-total NM] [--workers N|serial] [--out DIR] [--no-plot] [--progress]
    lamina-design tolerance design.toml targets.toml [--samples N] [--thickness-rel S ...] [--workers K] ...
    lamina-design monitor design.toml --wavelength NM [--quantity T|R] [--errors-nm E ...] ...
    lamina-design serve [design.toml] [--targets targets.toml] [--port N]

The file format is described in ``docs/design-files.md`` (and briefly in
:mod:`lamina_design.io.files`). Exit statuses: 0 done; 1 a missing dependency or an output that
cannot be written; 2 a usage error or a design, targets or material file that cannot be used
(one located message, never a traceback); 3 ``refine`` stopped at its evaluation budget before
converging (its best design is still written).

Each subcommand is a module of this package (``spectrum``, ``refine``, ``synthesize``,
``tolerance``, ``monitor``, ``serve``) with ``add(commands)``, which declares its options, and
``run(args)``, which returns the exit status; they share the option types and common options
of :mod:`.options` and the tables, CSV files and plots of :mod:`.output`.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Optional, Sequence

from lamina_design.cli import monitor, options, refine, serve, spectrum, synthesize, tolerance
from lamina_design.cli.output import (
    A_ROUNDING,
    FIELD_POINTS,
    PHASE_COLUMNS,
    field_depths,
    phase_spectra,
    spectra,
    write_csv,
    write_field,
    write_plot,
)
from lamina_design.cli.options import DOCS
from lamina_design.io.files import (
    Design,
    DesignFileError,
    RefineRequest,
    design_toml,
    load_design,
    load_targets,
)
from lamina_design.materials.base import MaterialError

__all__ = [
    "EXIT_FAILURE",
    "EXIT_NOT_CONVERGED",
    "EXIT_OK",
    "EXIT_USAGE",
    "Design",
    "DesignFileError",
    "RefineRequest",
    "design_toml",
    "load_design",
    "load_targets",
    "main",
    "field_depths",
    "phase_spectra",
    "spectra",
    "write_csv",
    "write_field",
    "write_plot",
]

EXIT_OK = 0
#: A missing dependency, or an output that cannot be written.
EXIT_FAILURE = 1
#: A usage error, or a design, targets or material file that cannot be used.
EXIT_USAGE = 2
#: ``refine`` stopped at its evaluation budget before converging.
EXIT_NOT_CONVERGED = refine.EXIT_NOT_CONVERGED

#: The subcommands, in the order the help lists them.
COMMANDS = (spectrum, refine, synthesize, tolerance, monitor, serve)


def _version() -> str:
    import lamina_design

    return lamina_design.__version__


def _parser() -> argparse.ArgumentParser:
    parser = options.Parser(
        prog="lamina-design", formatter_class=options.Formatter, epilog=options.EPILOG,
        description="Spectra, thickness refinement and synthesis of thin-film designs written in TOML files.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        try:
            return _main(argv)
        finally:
            # Flushed here, not at exit, so a closed pipe surfaces below.
            if sys.stdout is not None:
                sys.stdout.flush()
    except BrokenPipeError:
        # The reader (head, less) went away: stop quietly, as a filter does. What is still
        # buffered goes to /dev/null so the flush at interpreter exit does not fail again.
        _stdout_to_devnull()
        return EXIT_FAILURE


def _stdout_to_devnull() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):  # no stdout, or not a file descriptor
        pass


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if getattr(args, "band", None) is not None and not args.band[0] < args.band[1]:
        parser.error(f"--band MIN MAX needs MIN < MAX, got {args.band[0]:g} {args.band[1]:g}")
    depth = getattr(args, "depth", None)
    if depth is not None:
        if getattr(args, "field", None) is None:
            parser.error("--depth sets the window of --field: give --field WAVELENGTH too")
        if not (all(math.isfinite(v) for v in depth) and depth[0] < depth[1]):
            parser.error(f"--depth MIN MAX needs finite MIN < MAX, got {depth[0]:g} {depth[1]:g}")
    try:
        status: int = args.run(args)
        return status
    except (DesignFileError, MaterialError) as exc:
        print(f"lamina-design: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as exc:
        print(f"lamina-design: {exc}", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        raise  # stdout closed, not an output file: main stops quietly
    except OSError as exc:
        print(f"lamina-design: error: cannot write {exc.filename or 'the outputs'}: {exc.strerror or exc}",
              file=sys.stderr)
        return EXIT_FAILURE
