"""Short, readable text for values in reprs: numbers to six digits, arrays summarised.

A repr is read by a person at a prompt or in a log: a table of 10,000 points or a float's
seventeen digits hide what matters, so arrays give their shape and range and floats six
significant digits.
"""
from __future__ import annotations

import dataclasses
from typing import Any, Iterable, TypeVar

import numpy as np

#: Arrays up to this many elements are written out; longer ones are summarised.
SHOWN_ELEMENTS = 6
#: Sequences of sequences longer than this are counted rather than written out.
SHOWN_TERMS = 3


def number(value: Any) -> str:
    """A real or complex number to six significant digits; other values as repr."""
    if isinstance(value, (bool, np.bool_)):
        return repr(bool(value))
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return f"{float(value):.6g}"
    if isinstance(value, (complex, np.complexfloating)):
        z = complex(value)
        return f"({z.real:.6g}{z.imag:+.6g}j)" if z.real else f"{z.imag:.6g}j"
    return repr(value)


def array(values: Any) -> str:
    """A short array as its values, a long one as dtype[shape] and its range."""
    a = np.asarray(values)
    if a.size <= SHOWN_ELEMENTS:
        with np.printoptions(precision=6, suppress=False, linewidth=10_000):
            return np.array2string(a, separator=", ").replace("\n", "")
    shape = "×".join(str(s) for s in a.shape)
    text = f"{a.dtype}[{shape}]"
    if a.dtype.kind == "b":
        text += f" {int(np.count_nonzero(a))} true"
    elif a.dtype.kind in "fiu":
        finite = a[np.isfinite(a)] if a.dtype.kind == "f" else a
        if finite.size:
            text += f" {number(finite.min())}…{number(finite.max())}"
    return text


def value(item: Any) -> str:
    """Any field's value, short: arrays summarised, numbers rounded, materials by name."""
    if isinstance(item, np.ndarray):
        return array(item)
    if isinstance(item, (float, complex, int, np.number, bool, np.bool_)):
        return number(item)
    if isinstance(item, tuple):
        if item and all(dataclasses.is_dataclass(t) for t in item):
            return f"<{len(item)} × {type(item[0]).__name__}>"  # records, e.g. a run's steps
        if len(item) > SHOWN_TERMS and all(isinstance(t, tuple) for t in item):
            return f"<{len(item)} terms>"
        inner = ", ".join(value(v) for v in item)
        return f"({inner},)" if len(item) == 1 else f"({inner})"
    if isinstance(getattr(item, "name", None), str) and callable(getattr(item, "index", None)):
        return str(item.name)  # a material inside another: its name
    short = getattr(item, "_short", None)
    if callable(short):
        text: str = short()
        return text
    return repr(item)


def nm_range(valid: Any) -> str:
    """(lo, hi) in nm as 'lo–hi nm'."""
    lo, hi = valid
    return f"{number(lo)}–{number(hi)} nm"


def model(obj: Any, skip: Iterable[str] = ()) -> str:
    """Class(name, field=value, …, valid range) of a frozen dataclass model.

    Fields left at their default are omitted; ``name`` comes first and ``valid_nm`` last.
    """
    hidden = {"name", "valid_nm", *skip}
    parts = [repr(getattr(obj, "name", type(obj).__name__))]
    for f in dataclasses.fields(obj):
        if f.name in hidden or not f.repr:
            continue
        current = getattr(obj, f.name)
        if f.default is not dataclasses.MISSING and _same(current, f.default):
            continue
        parts.append(f"{f.name}={value(current)}")
    valid = getattr(obj, "valid_nm", None)
    if valid is not None:
        parts.append(nm_range(valid))
    return f"{type(obj).__name__}({', '.join(parts)})"


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False


def record(obj: Any) -> str:
    """Class(field=value, …) of a dataclass, every field short (arrays summarised)."""
    parts = [f"{f.name}={value(getattr(obj, f.name))}" for f in dataclasses.fields(obj) if f.repr]
    return f"{type(obj).__name__}({', '.join(parts)})"


Cls = TypeVar("Cls", bound=type)


def recorded(cls: Cls) -> Cls:
    """Class decorator: the dataclass's repr is :func:`record`'s (every field short)."""
    setattr(cls, "__repr__", record)
    return cls


def thickness(nm: float) -> str:
    """A thickness for a person: to 0.01 nm, far finer than any deposition."""
    return f"{nm:.2f} nm"
