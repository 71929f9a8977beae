"""Command line, table printing and optional matplotlib plumbing shared by the examples."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Any, Optional, Sequence


def parse_args(description: str, argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--out", type=Path, default=Path("."), help="directory for the PNG plot (default: .)")
    parser.add_argument("--no-plot", action="store_true", help="print the table only")
    return parser.parse_args(argv)


def load_pyplot(args: argparse.Namespace) -> Optional[Any]:
    """matplotlib.pyplot on a file-only backend, or None (with a note) when plotting is off or unavailable."""
    if args.no_plot:
        return None
    try:
        import matplotlib
    except ImportError:
        print("note: matplotlib is not installed, skipping the plot (pip install matplotlib)")
        return None
    if "MPLBACKEND" not in os.environ:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(plt: Any, fig: Any, args: argparse.Namespace, name: str) -> Path:
    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / name
    fig.savefig(path, dpi=150, bbox_inches="tight")
    plt.close(fig)
    print(f"plot written to {path}")
    return Path(path)


def print_table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    """A plain fixed-width table: every column as wide as its widest cell."""
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = ["  ".join(cell.rjust(w) for cell, w in zip(row, widths)) for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    sys.stdout.write("\n".join(lines) + "\n")
