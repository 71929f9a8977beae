"""Design and targets files in TOML: reading them with located errors, and writing them back.

The format is described in ``docs/design-files.md``. In short, a design file::

    name = "MgF2 on N-BK7"
    incidence = "air"                  # optional; "vacuum" (n = 1 exactly) if absent
    exit = "N-BK7"                     # a half-infinite exit medium, or a [substrate] table

    [[layer]]                          # top (incidence side) first
    material = "MgF2"                  # catalogue name, .csv/.yml file, "refractiveindex:…" or a number
    thickness_nm = 99.6
    coherent = false                   # optional: a thick layer added in power (default true)

    [spectrum]                         # optional: 400–800 nm in 401 points, 0°, unpolarised
    wavelength_nm = { start = 400, stop = 900, count = 501 }    # or a list
    angle_deg = 0                      # or a list of angles
    polarisation = "unpolarised"       # "s", "p" or a polarisation angle in degrees

A targets file has ``[[target]]`` tables and an optional ``[refine]`` table.

Every error names the file, the line and the key; so does every warning a material gives on the
design's wavelengths (:func:`material_warnings`).
"""
from __future__ import annotations

import math
import os
import re
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from lamina_design import materials
from lamina_design.core.checks import AIR, MAX_ANGLE_RAD
from lamina_design.core.limits import MAX_DEPTH, MAX_EVALUATIONS, MAX_FILE_BYTES, MAX_LAYERS, MAX_POINTS, MAX_TOKENS
from lamina_design.materials.base import Constant, FloatArray, Material
from lamina_design.materials.catalogue import DATABASE_PREFIX
from lamina_design.optics.stack import Layer, Stack, polarisation_weights
from lamina_design.optics.substrate import Substrate

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on old interpreters only
    try:
        import tomli as tomllib
    except ImportError as exc:
        raise ImportError("lamina-design needs tomli on Python < 3.11: pip install 'lamina[design]'") from exc

__all__ = [
    "DEFAULT_WAVELENGTHS",
    "MAX_DEPTH",
    "MAX_EVALUATIONS",
    "MAX_FILE_BYTES",
    "MAX_LAYERS",
    "MAX_POINTS",
    "Design",
    "DesignFileError",
    "RefineRequest",
    "design_toml",
    "load_design",
    "load_targets",
    "material_warnings",
]

KeyPath = Tuple[Union[str, int], ...]

#: The [spectrum] grid of a design that gives none: start, stop (nm) and count.
DEFAULT_WAVELENGTHS: Dict[str, float] = {"start": 400.0, "stop": 800.0, "count": 401}

_MATERIAL_FILES = (".csv", ".yml", ".yaml")


class DesignFileError(ValueError):
    """A design or targets file that cannot be used; the message names the file, line and key."""


@dataclass(frozen=True)
class Design:
    """A stack read from a file with the sweep its [spectrum] table asks for."""

    stack: Stack
    wavelength_nm: FloatArray
    angles_deg: Tuple[float, ...]
    polarisation: Union[str, float]
    path: Path
    data: Mapping[str, Any]


# -- where keys are written -----------------------------------------------------------------------
# A single pass over the text, each character looked at a bounded number of times: the file may be
# large and hostile, and the lines are only needed for messages. The pass also counts what would
# make the full parse slow (tables, array items, tokens) and stops at the first count over its
# limit, so such a file is refused in about a second instead of parsed for minutes.
_BLANK = re.compile(r"[ \t\r\n]*")
_SPACE = re.compile(r"[ \t\r]*")
_BARE = re.compile(r"[A-Za-z0-9_-]+")
_BASIC = re.compile(r'"(?:[^"\\\n]|\\.)*"?')
_LITERAL = re.compile(r"'[^'\n]*'?")
_VALUE_STOP = re.compile(r"[\"'#\[\]{}\n]")
# Inside brackets a newline does not end the value: the lines of a long array are counted in C.
_NESTED_STOP = re.compile(r"[\"'#\[\]{}]")
_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}
_ESCAPE = re.compile(r"\\(?:u([0-9A-Fa-f]{4})|U([0-9A-Fa-f]{8})|(.))", re.DOTALL)


def _unescape(body: str) -> str:
    def one(match: "re.Match[str]") -> str:
        code = match.group(1) or match.group(2)
        if code:
            try:
                return chr(int(code, 16))
            except ValueError:
                return ""
        return _ESCAPES.get(match.group(3), match.group(3))

    return _ESCAPE.sub(one, body)


class _Refused(Exception):
    """A count over its limit: (line, message without the file)."""


class _Scanner:
    """The line of every table header and key of a TOML text; ``refusal`` is the first count
    over its limit (line, message), after which the scan stops."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0
        self.line = 1
        self.lines: Dict[KeyPath, int] = {}
        self.refusal: Optional[Tuple[int, str]] = None
        self.tokens = 0
        try:
            self._scan()
        except _Refused as refused:
            self.refusal = refused.args[0]

    def _token(self) -> None:
        self.tokens += 1
        if self.tokens > MAX_TOKENS:
            raise _Refused((self.line, f"more than {MAX_TOKENS} keys, tables, strings and comments: too many for "
                                       f"a design or targets file"))

    def _scan(self) -> None:
        text = self.text
        table: KeyPath = ()
        counts: Dict[KeyPath, int] = {}
        n = len(text)
        while self.pos < n:
            blank = _BLANK.match(text, self.pos).end()  # type: ignore[union-attr]
            self.line += text.count("\n", self.pos, blank)
            self.pos = blank
            if self.pos >= n:
                break
            self._token()
            c = text[self.pos]
            if c == "#":
                self._to_line_end()
            elif c == "[":
                double = text.startswith("[[", self.pos)
                self.pos += 2 if double else 1
                names = self._key()
                if double:
                    counts[names] = counts.get(names, -1) + 1
                    table = names + (counts[names],)
                    if counts[names] >= MAX_LAYERS:
                        raise _Refused((self.line, f"{_dotted(table)}: at most {MAX_LAYERS} "
                                                   f"[[{_dotted(names)}]] tables allowed"))
                else:
                    table = names
                self.lines.setdefault(table, self.line)
                self._to_line_end()
            else:
                names = self._key()
                if not names:
                    self._to_line_end()
                    continue
                self.lines.setdefault(table + names, self.line)
                self._value(table + names)

    def _to_line_end(self) -> None:
        end = self.text.find("\n", self.pos)
        self.pos = len(self.text) if end < 0 else end

    def _key(self) -> KeyPath:
        """A dotted key at pos (bare or quoted parts); stops before '=' or ']'."""
        text, parts = self.text, []
        while True:
            self.pos = _SPACE.match(text, self.pos).end()  # type: ignore[union-attr]
            c = text[self.pos] if self.pos < len(text) else ""
            if c == '"':
                match = _BASIC.match(text, self.pos)
                assert match is not None
                parts.append(_unescape(match.group()[1:-1]))
            elif c == "'":
                match = _LITERAL.match(text, self.pos)
                assert match is not None
                parts.append(match.group()[1:-1])
            else:
                match = _BARE.match(text, self.pos)
                if match is None:
                    return tuple(parts)
                parts.append(match.group())
            self.pos = match.end()
            self.pos = _SPACE.match(text, self.pos).end()  # type: ignore[union-attr]
            if not text.startswith(".", self.pos):
                return tuple(parts)
            self.pos += 1
            self._token()

    def _closing(self, quote: str, start: int) -> int:
        """The end of a multi-line string whose body starts at `start`."""
        text, at = self.text, start
        while True:
            found = text.find(quote, at)
            if found < 0:
                return len(text)
            if quote == '"""':
                slashes = 0
                while found - slashes - 1 >= start and text[found - slashes - 1] == "\\":
                    slashes += 1
                if slashes % 2:
                    at = found + 1
                    continue
            end = found + 3
            for _ in range(2):  # up to two quotes may end the body
                if text.startswith(quote[0], end):
                    end += 1
            return end

    def _value(self, key: KeyPath) -> None:
        """Skip the value after a key, over strings, comments and multi-line arrays, counting
        its items (the commas outside strings and comments)."""
        text, depth, items, line = self.text, 0, 0, self.line
        while True:
            match = (_NESTED_STOP if depth > 0 else _VALUE_STOP).search(text, self.pos)
            stop = len(text) if match is None else match.start()
            if depth > 0:
                items += text.count(",", self.pos, stop)
                self.line += text.count("\n", self.pos, stop)
                if items > MAX_POINTS:
                    raise _Refused((line, f"{_dotted(key)}: more than {MAX_POINTS} items in one array"))
            self.pos = stop
            if match is None:
                return
            c = match.group()
            if c == "\n":
                return
            self._token()
            if c == "#":
                self._to_line_end()
            elif c in "[{":
                depth += 1
                if depth > MAX_DEPTH:
                    raise _Refused((self.line, f"arrays or inline tables nested deeper than {MAX_DEPTH} levels"))
                self.pos += 1
            elif c in "]}":
                depth -= 1
                self.pos += 1
            elif text.startswith(c * 3, self.pos):
                end = self._closing(c * 3, self.pos + 3)
                self.line += text.count("\n", self.pos, end)
                self.pos = end
            else:
                string = (_BASIC if c == '"' else _LITERAL).match(text, self.pos)
                assert string is not None
                self.pos = string.end()


# -- reading --------------------------------------------------------------------------------------
def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _dotted(path: KeyPath) -> str:
    out = ""
    for part in path:
        out += f"[{part + 1}]" if isinstance(part, int) else (f".{part}" if out else part)
    return out


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


class _Reader:
    """Typed access to a parsed TOML document, raising errors located in its text."""

    def __init__(self, path: Path) -> None:
        self.path = path
        try:
            with path.open("rb") as handle:
                raw = handle.read(MAX_FILE_BYTES + 1)
        except OSError as exc:
            raise DesignFileError(f"{path}: cannot read: {exc.strerror or exc}") from None
        if len(raw) > MAX_FILE_BYTES:
            raise DesignFileError(f"{path}: larger than {MAX_FILE_BYTES // 2**20} MiB; is it a design file?")
        try:
            self.text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            line = raw.count(b"\n", 0, exc.start) + 1
            raise DesignFileError(f"{path}:{line}: not UTF-8 text (byte {raw[exc.start]:#04x})") from None
        # Universal newlines, as reading in text mode would give.
        self.text = self.text.replace("\r\n", "\n").replace("\r", "\n")
        self._scanned: Optional[_Scanner] = None
        refusal = self.scanned.refusal
        if refusal is not None:
            raise DesignFileError(f"{path}:{refusal[0]}: {refusal[1]}")
        try:
            self.data: Dict[str, Any] = tomllib.loads(self.text)
        except tomllib.TOMLDecodeError as exc:
            at = re.search(r"line (\d+)", str(exc))
            place = f"{path}:{at.group(1)}" if at else str(path)
            raise DesignFileError(f"{place}: invalid TOML: {_one_line(str(exc))}") from None
        except RecursionError:
            raise DesignFileError(f"{path}: nested too deeply to read") from None

    @property
    def scanned(self) -> _Scanner:
        if self._scanned is None:
            self._scanned = _Scanner(self.text)
        return self._scanned

    def line(self, where: KeyPath) -> Optional[int]:
        lines = self.scanned.lines
        for size in range(len(where), 0, -1):
            if where[:size] in lines:
                return lines[where[:size]]
        return None

    def place(self, where: KeyPath) -> str:
        line = self.line(where)
        return f"{self.path}:{line}" if line is not None else str(self.path)

    def error(self, where: KeyPath, problem: str) -> DesignFileError:
        return DesignFileError(f"{self.place(where)}: {_dotted(where) or 'file'}: {_one_line(problem)}")

    def get(self, where: KeyPath, default: Any = None, required: bool = False) -> Any:
        node: Any = self.data
        for part in where:
            if isinstance(part, int):
                node = node[part]
            elif isinstance(node, dict) and part in node:
                node = node[part]
            elif required:
                raise self.error(where, "missing")
            else:
                return default
        return node

    def number(self, where: KeyPath, default: Optional[float] = None, value: Any = None) -> float:
        if value is None:
            value = self.get(where, default, required=default is None)
        if not _is_number(value):
            raise self.error(where, f"must be a number, got {value!r}")
        return float(value)

    def whole_number(self, where: KeyPath, default: Optional[float] = None, most: int = MAX_POINTS,
                     value: Any = None) -> int:
        number = self.number(where, default, value)
        # TOML has inf and nan, which int() cannot take.
        if not math.isfinite(number) or number != int(number) or number < 1:
            raise self.error(where, f"must be a whole number ≥ 1, got {number!r}")
        if number > most:
            raise self.error(where, f"at most {most} allowed, got {number:g}")
        return int(number)

    def table(self, where: KeyPath) -> Dict[str, Any]:
        value = self.get(where, {})
        if not isinstance(value, dict):
            raise self.error(where, "must be a table")
        return value

    def tables(self, where: KeyPath) -> List[Dict[str, Any]]:
        value = self.get(where, [])
        if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
            raise self.error(where, f"must be an array of tables ([[{_dotted(where)}]])")
        return value

    def unknown(self, where: KeyPath, allowed: Sequence[str]) -> None:
        for key in self.table(where) if where else self.data:
            if key not in allowed:
                raise self.error(where + (key,), f"unknown key; expected one of: {', '.join(allowed)}")

    def material(self, where: KeyPath, default: Optional[Material] = None) -> Material:
        value = self.get(where, None, required=default is None)
        if value is None:
            assert default is not None
            return default
        if isinstance(value, bool):
            raise self.error(where, f"must be a material name, file or number, got {value!r}")
        if isinstance(value, (int, float)):
            if not (value > 0 and math.isfinite(value)):
                raise self.error(where, f"a constant index must be finite and > 0, got {value!r}")
            return Constant(float(value), f"n={value}")
        if not isinstance(value, str):
            raise self.error(where, f"must be a material name, file or number, got {value!r}")
        try:
            return materials.resolve(value, base_dir=self.path.parent)
        except RecursionError:
            raise self.error(where, f"{value!r}: nested too deeply to read") from None
        except MemoryError:
            raise self.error(where, f"{value!r}: too large to read") from None
        except Exception as exc:  # noqa: BLE001 - whatever a material file holds is the user's input
            raise self.error(where, str(exc) or type(exc).__name__) from None

    def thickness(self, where: KeyPath, key: str = "thickness_nm") -> float:
        value = self.number(where + (key,))
        if not (math.isfinite(value) and value >= 0):
            raise self.error(where + (key,), f"thickness must be finite and ≥ 0, got {value!r}")
        return value

    def layers(self, where: KeyPath) -> Tuple[Layer, ...]:
        out = []
        for i, _ in enumerate(self.tables(where)):
            self.unknown(where + (i,), ("material", "thickness_nm", "coherent"))
            coherent = self.get(where + (i, "coherent"), True)
            if not isinstance(coherent, bool):
                raise self.error(where + (i, "coherent"), f"must be true or false, got {coherent!r}")
            out.append(Layer(self.material(where + (i, "material")), self.thickness(where + (i,)), coherent))
        return tuple(out)

    def wavelengths(self, where: KeyPath, default: Any = None) -> FloatArray:
        value = self.get(where, default, required=default is None)
        if isinstance(value, dict):
            for key in value:
                if key not in ("start", "stop", "count"):
                    raise self.error(where + (key,), "unknown key; expected start, stop, count")
            for key in ("start", "stop", "count"):
                if key not in value:
                    raise self.error(where + (key,), "missing")
            start = self.number(where + ("start",), value=value["start"])
            stop = self.number(where + ("stop",), value=value["stop"])
            count = self.whole_number(where + ("count",), value=value["count"])
            grid = np.linspace(start, stop, count, dtype=np.float64)
        elif isinstance(value, list) and all(_is_number(v) for v in value):
            if len(value) > MAX_POINTS:
                raise self.error(where, f"at most {MAX_POINTS} wavelengths allowed, got {len(value)}")
            grid = np.array(value, dtype=np.float64)
        else:
            raise self.error(where, "must be a list of wavelengths or a table {start, stop, count}")
        if grid.size == 0:
            raise self.error(where, "the wavelength grid is empty")
        if not (np.all(np.isfinite(grid)) and np.all(grid > 0)):
            raise self.error(where, "wavelengths must be finite and > 0 nm")
        return grid

    def angles(self, where: KeyPath) -> Tuple[float, ...]:
        value = self.get(where, 0.0)
        values = value if isinstance(value, list) else [value]
        if not values or not all(_is_number(v) for v in values):
            raise self.error(where, "must be an angle in degrees or a non-empty list of them")
        if len(values) > MAX_POINTS:
            raise self.error(where, f"at most {MAX_POINTS} angles allowed, got {len(values)}")
        for v in values:
            if not 0 <= v < 90:
                raise self.error(where, f"angles of incidence must lie in [0, 90) degrees, got {v!r}")
            if math.radians(v) > MAX_ANGLE_RAD:
                raise self.error(where, f"angle of incidence {v!r}° is too close to grazing: the spectrum loses "
                                        f"accuracy beyond {math.degrees(MAX_ANGLE_RAD):.5f}°")
        return tuple(float(v) for v in values)

    def polarisation(self, where: KeyPath) -> Union[str, float]:
        value = self.get(where, "unpolarised")
        if _is_number(value):
            if not math.isfinite(value):
                raise self.error(where, "a polarisation angle must be finite")
            return math.radians(value)
        if isinstance(value, str):
            try:
                polarisation_weights(value)  # type: ignore[arg-type]
                return value
            except ValueError:
                pass
        raise self.error(where, f"must be 's', 'p', 'unpolarised' or an angle in degrees, got {value!r}")


def load_design(path: Union[str, Path]) -> Design:
    """Read a design file (see ``docs/design-files.md``)."""
    reader = _Reader(Path(path))
    reader.unknown((), ("name", "incidence", "exit", "layer", "substrate", "spectrum"))
    incidence = reader.material(("incidence",), AIR)
    layers = reader.layers(("layer",))
    has_substrate = "substrate" in reader.data
    if has_substrate and "exit" in reader.data:
        raise reader.error(("exit",), "give either exit or a [substrate] table, not both")
    exit_medium = reader.material(("exit",), AIR)
    substrate = None
    if has_substrate:
        where: KeyPath = ("substrate",)
        reader.table(where)
        reader.unknown(where, ("material", "thickness_mm", "thickness_nm", "back_medium", "layer"))
        sub = reader.data["substrate"]
        if ("thickness_mm" in sub) == ("thickness_nm" in sub):
            raise reader.error(where, "give exactly one of thickness_mm and thickness_nm")
        thickness = (reader.thickness(where, "thickness_mm") * 1e6 if "thickness_mm" in sub
                     else reader.thickness(where, "thickness_nm"))
        if not math.isfinite(thickness):
            raise reader.error(where + ("thickness_mm",), "thickness too large")
        substrate = Substrate(reader.material(where + ("material",)), thickness, reader.layers(where + ("layer",)),
                              reader.material(where + ("back_medium",), AIR))
    name = reader.get(("name",), reader.path.stem)
    if not isinstance(name, str):
        raise reader.error(("name",), "must be a string")
    stack = Stack(incidence, layers, None if has_substrate else exit_medium, substrate, name=name)
    spectrum: KeyPath = ("spectrum",)
    reader.table(spectrum)
    reader.unknown(spectrum, ("wavelength_nm", "angle_deg", "polarisation"))
    wl = reader.wavelengths(spectrum + ("wavelength_nm",), DEFAULT_WAVELENGTHS)
    return Design(stack, wl, reader.angles(spectrum + ("angle_deg",)), reader.polarisation(spectrum + ("polarisation",)),
                  reader.path, reader.data)


@dataclass(frozen=True)
class RefineRequest:
    """Targets and options read from a targets file."""

    targets: Tuple[Any, ...]
    vary: Optional[Tuple[int, ...]]
    max_evaluations: int
    #: Where each target is written ("file:line"), in the order of ``targets``.
    places: Tuple[str, ...] = ()


def load_targets(path: Union[str, Path], layer_count: int) -> RefineRequest:
    """Read a targets file for a design with ``layer_count`` layers."""
    from lamina_design.core.targets import AMPLITUDE, POWER, ColourTarget, Target

    reader = _Reader(Path(path))
    reader.unknown((), ("target", "refine"))
    entries = reader.tables(("target",))
    if not entries:
        raise reader.error(("target",), "no [[target]] tables")
    quantities = POWER + AMPLITUDE + ("colour",)
    targets: List[Any] = []
    for i, entry in enumerate(entries):
        where: KeyPath = ("target", i)
        colour_keys = ("lab", "of", "illuminant")
        reader.unknown(where, ("quantity", "wavelength_nm", "value", "min", "max", "tolerance", "angle_deg",
                               "polarisation", "weight") + colour_keys)
        quantity = reader.get(where + ("quantity",), required=True)
        if quantity not in quantities:
            raise reader.error(where + ("quantity",), f"must be one of {', '.join(repr(q) for q in quantities)}, "
                                                      f"got {quantity!r}")
        colour = quantity == "colour"
        for key in (("value", "min", "max", "weight") if colour else colour_keys):
            if key in entry:
                raise reader.error(where + (key,), f"a colour target takes lab (L*, a*, b*) instead of {key}"
                                   if colour else f"belongs to colour targets only (quantity = \"colour\")")
        bounds: List[str] = [key for key in ("min", "max") if key in entry]
        if not colour and bounds and "value" in entry:
            raise reader.error(where + (bounds[0],), "a target takes either value or min/max, not both")
        if not colour and not bounds and "value" not in entry:
            raise reader.error(where + ("value",), "missing (or give min and/or max for a band)")
        wl = reader.wavelengths(where + ("wavelength_nm",))
        values = []
        wanted_keys = ["lab"] if colour else (bounds or ["value"])
        for key, default, size in ((("lab", None, 3), ("tolerance", 1.0, 3)) if colour else
                                   tuple((k, None, wl.size) for k in wanted_keys) + (("tolerance", 0.01, wl.size),)):
            raw = reader.get(where + (key,), default, required=default is None)
            items = raw if isinstance(raw, list) else [raw]
            allowed = (size,) if key == "lab" else (1, size)
            if not all(_is_number(v) for v in items) or len(items) not in allowed:
                what = "three numbers (L*, a*, b*)" if key == "lab" else (
                    "a number or one per L*, a*, b*" if colour else f"a number or one number per wavelength ({wl.size})")
                raise reader.error(where + (key,), f"must be {what}")
            array = np.array(items, dtype=np.float64)
            if not np.all(np.isfinite(array)):
                raise reader.error(where + (key,), "must be finite")
            values.append(array if array.size > 1 or key == "lab" else float(array[0]))
        if bounds == ["min", "max"] and np.any(np.asarray(values[0]) > np.asarray(values[1])):
            raise reader.error(where + ("min",), "must not exceed max")
        if np.any(np.asarray(values[-1]) <= 0):
            raise reader.error(where + ("tolerance",), "tolerances must be > 0")
        angles = reader.angles(where + ("angle_deg",))
        if len(angles) != 1:
            raise reader.error(where + ("angle_deg",), "one angle per target")
        polarisation = reader.polarisation(where + ("polarisation",))
        try:
            if colour:
                of = reader.get(where + ("of",), "R")
                if of not in ("R", "T"):
                    raise reader.error(where + ("of",), f"must be 'R' or 'T', got {of!r}")
                illuminant = reader.get(where + ("illuminant",), "D65")
                if not isinstance(illuminant, str):
                    raise reader.error(where + ("illuminant",), "must be a string such as \"D65\"")
                lab = np.asarray(values[0])
                targets.append(ColourTarget(of, wl, (float(lab[0]), float(lab[1]), float(lab[2])), values[1],
                                            math.radians(angles[0]), polarisation, illuminant))
            else:
                weight = reader.number(where + ("weight",), 1.0)
                if not weight >= 0:
                    raise reader.error(where + ("weight",), f"must be ≥ 0, got {weight:g}")
                wanted = dict(zip(("lower" if k == "min" else "upper" if k == "max" else k for k in wanted_keys),
                                  values[:-1]))
                targets.append(Target(quantity, wl, tolerance=values[-1], angle_rad=math.radians(angles[0]),
                                      polarisation=polarisation, weight=weight, **wanted))
        except ValueError as exc:
            if isinstance(exc, DesignFileError):
                raise
            raise reader.error(where, " ".join(str(exc).split())) from None
    reader.unknown(("refine",), ("vary", "max_evaluations"))
    vary_raw = reader.get(("refine", "vary"))
    vary = None
    if vary_raw is not None and vary_raw != "all":
        if not isinstance(vary_raw, list) or not all(isinstance(v, int) and not isinstance(v, bool) for v in vary_raw):
            raise reader.error(("refine", "vary"), "must be \"all\" or a list of layer numbers (from 1)")
        if not vary_raw:
            raise reader.error(("refine", "vary"), "no layers listed: give \"all\" or layer numbers (from 1)")
        if len(set(vary_raw)) != len(vary_raw):
            raise reader.error(("refine", "vary"), "a layer is listed twice")
        for v in vary_raw:
            if not 1 <= v <= layer_count:
                layers = "layer" if layer_count == 1 else "layers"
                raise reader.error(("refine", "vary"),
                                   f"layer {v} does not exist: the design has {layer_count} {layers}")
        vary = tuple(v - 1 for v in vary_raw)
    budget = reader.whole_number(("refine", "max_evaluations"), 200.0, most=MAX_EVALUATIONS)
    places = tuple(reader.place(("target", i)) for i in range(len(targets)))
    return RefineRequest(tuple(targets), vary, budget, places)


# -- materials on the design's wavelengths --------------------------------------------------------
def design_materials(design: Design) -> Iterator[Tuple[KeyPath, Material]]:
    """Each material the file names, with the key that names it (absent media are skipped)."""
    data, stack = design.data, design.stack
    if "incidence" in data:
        yield ("incidence",), stack.incidence
    for i, layer in enumerate(stack.layers):
        yield ("layer", i, "material"), layer.material
    if stack.substrate is None:
        if "exit" in data and stack.exit is not None:
            yield ("exit",), stack.exit
        return
    sub = stack.substrate
    yield ("substrate", "material"), sub.material
    for i, layer in enumerate(sub.back_layers):
        yield ("substrate", "layer", i, "material"), layer.material
    if "back_medium" in data.get("substrate", {}):
        yield ("substrate", "back_medium"), sub.back_medium


def material_warnings(design: Design, wavelength_nm: Optional[FloatArray] = None, context: str = "") -> List[str]:
    """Evaluate every material on the grid (the design's by default) and return its warnings,
    each located at the key that names the material: ``file:line: layer[2].material: …``.

    A material that fails on the grid raises :class:`DesignFileError`, located the same way.
    ``context`` is appended to each message (e.g. which target's wavelengths were used).
    """
    grid = design.wavelength_nm if wavelength_nm is None else wavelength_nm
    reader = _LocatedText(design.path)
    out: List[str] = []
    seen = set()
    suffix = f" ({context})" if context else ""
    for where, material in design_materials(design):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                values = np.asarray(material.index(grid))
            except Exception as exc:  # noqa: BLE001 - a material from the user's file
                raise DesignFileError(f"{reader.place(where)}: {_dotted(where)}: {_one_line(str(exc))}{suffix}") from None
        if not np.all(np.isfinite(values)):
            raise DesignFileError(f"{reader.place(where)}: {_dotted(where)}: {material.name} gives a non-finite "
                                  f"index on the wavelengths{suffix}")
        for warning in caught:
            text = f"{reader.place(where)}: {_dotted(where)}: {_one_line(str(warning.message))}{suffix}"
            if text not in seen:
                seen.add(text)
                out.append(text)
    return out


class _LocatedText:
    """Lines of a file already read without error, for messages after the fact."""

    def __init__(self, path: Path) -> None:
        self.path = path
        try:
            self.lines: Dict[KeyPath, int] = _Scanner(path.read_text(encoding="utf-8")).lines
        except (OSError, ValueError):
            self.lines = {}

    def place(self, where: KeyPath) -> str:
        for size in range(len(where), 0, -1):
            if where[:size] in self.lines:
                return f"{self.path}:{self.lines[where[:size]]}"
        return str(self.path)


# -- writing --------------------------------------------------------------------------------------
_TOML_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def _toml_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in _TOML_ESCAPES:
            out.append(_TOML_ESCAPES[ch])
        elif ch < " " or ch == "\x7f":
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _toml_key(key: str) -> str:
    return key if _BARE.fullmatch(key) else _toml_string(key)


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return _toml_string(value)
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{ " + ", ".join(f"{_toml_key(k)} = {_toml_value(v)}" for k, v in value.items()) + " }"
    raise TypeError(f"cannot write {value!r} as TOML")


def _moved_material(value: Any, source_dir: Optional[Path], target_dir: Optional[Path]) -> Any:
    """A material reference as it must read from `target_dir` when the file was read from `source_dir`."""
    if not isinstance(value, str) or source_dir is None or target_dir is None:
        return value
    text = value.strip()
    if Path(text).suffix.lower() not in _MATERIAL_FILES or text.startswith(DATABASE_PREFIX):
        return value
    path = Path(text).expanduser()
    if path.is_absolute() or text.startswith("~"):
        return value
    absolute = os.path.abspath(os.path.join(source_dir, text))
    try:
        return os.path.relpath(absolute, os.path.abspath(target_dir))
    except ValueError:  # another drive
        return absolute


def design_toml(data: Mapping[str, Any], thicknesses: Sequence[float], source_dir: Optional[Path] = None,
                target_dir: Optional[Path] = None) -> str:
    """The design file's content with new layer thicknesses (front layers, then back layers).

    Material files named relative to `source_dir` (where the design was read) are rewritten to
    resolve from `target_dir` (where the new file goes).
    """
    lines: List[str] = []
    values = iter(thicknesses)
    media = ("incidence", "exit", "material", "back_medium")

    def scalars(table: Mapping[str, Any]) -> None:
        for key, value in table.items():
            if not (isinstance(value, dict) and key in ("substrate", "spectrum")) and key != "layer":
                if key in media:
                    value = _moved_material(value, source_dir, target_dir)
                lines.append(f"{_toml_key(key)} = {_toml_value(value)}")

    def layers(name: str, entries: Sequence[Mapping[str, Any]]) -> None:
        for entry in entries:
            lines.extend(["", f"[[{name}]]"])
            lines.append(f"material = {_toml_value(_moved_material(entry['material'], source_dir, target_dir))}")
            lines.append(f"thickness_nm = {float(next(values))!r}")
            if "coherent" in entry:
                lines.append(f"coherent = {_toml_value(entry['coherent'])}")

    scalars(data)
    layers("layer", data.get("layer", []))
    if "substrate" in data:
        lines.extend(["", "[substrate]"])
        scalars(data["substrate"])
        layers("substrate.layer", data["substrate"].get("layer", []))
    if "spectrum" in data:
        lines.extend(["", "[spectrum]"])
        scalars(data["spectrum"])
    return "\n".join(lines) + "\n"
