"""Which files the designer may read and write.

The page names files; the server only touches the files named on its command line, or a plain
name inside the working directory. Anything else (absolute paths, ``..``, a symlink that leads
out, a name that is not a ``.toml`` file) is refused before any file is opened.
"""
from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Iterable

__all__ = ["FileRefused", "allowed_file", "display_name"]

#: What a name typed in the save dialog may look like: a relative path of plain parts.
_PART = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.\- ]{0,127}")
#: The deepest sub-directory of the working directory the dialog reaches.
_MAX_PARTS = 8


class FileRefused(ValueError):
    """A file name the designer will not read or write."""


def allowed_file(name: object, workdir: Path, named: Iterable[Path] = (), must_exist: bool = False) -> Path:
    """The file `name` stands for, if the designer may use it; else FileRefused naming why.

    `named` are the files given on the command line, accepted by their exact name wherever they are.
    """
    if not isinstance(name, str) or not name.strip():
        raise FileRefused(f"file name must be a non-empty string, got {name!r}")
    text = name.strip()
    root = Path(os.path.realpath(workdir))
    for path in named:
        if text == str(path):
            return path
    if "\\" in text or text.startswith(("/", "~")) or os.path.isabs(text):
        raise FileRefused(f"file name {text!r}: give a name inside the working directory, not an absolute path")
    parts = text.split("/")
    if len(parts) > _MAX_PARTS or any(not _PART.fullmatch(p) or p in (".", "..") for p in parts):
        raise FileRefused(f"file name {text!r}: use letters, digits, '_', '-', '.' and spaces in plain names "
                          f"(no '..', no hidden files)")
    if not text.endswith(".toml"):
        raise FileRefused(f"file name {text!r}: design and targets files end in .toml")
    candidate = root.joinpath(*parts)
    # realpath follows every symlink on the way, the last part's included.
    real = Path(os.path.realpath(candidate))
    if real != root and root not in real.parents:
        raise FileRefused(f"file name {text!r}: leads outside the working directory")
    if must_exist and not real.is_file():
        raise FileRefused(f"file name {text!r}: no such file in the working directory")
    return candidate


def display_name(path: Path, workdir: Path, named: Iterable[Path] = ()) -> str:
    """How the page shows a file: relative to the working directory when inside it."""
    for given in named:
        if path == given:
            return str(given)
    try:
        return str(Path(os.path.realpath(path)).relative_to(os.path.realpath(workdir)))
    except ValueError:
        return str(path)

