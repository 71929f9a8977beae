"""Reading design and targets files: typed values with errors located at the file, line and key,
and the warnings the design's materials give on its wavelengths, located the same way."""
from __future__ import annotations

import math
import re
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from lamina_design import materials
from lamina_design.core.checks import AIR, MAX_ANGLE_RAD
from lamina_design.core.limits import MAX_EVALUATIONS, MAX_FILE_BYTES, MAX_POINTS
from lamina_design.materials.base import Constant, FloatArray, Material
from lamina_design.optics.stack import Layer, Stack, polarisation_weights
from lamina_design.io.locate import KeyPath, LocatedText, Scanner, dotted
from lamina_design.optics.substrate import Substrate

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on old interpreters only
    try:
        import tomli as tomllib
    except ImportError as exc:
        raise ImportError("lamina-design needs tomli on Python < 3.11: pip install 'lamina[design]'") from exc

__all__ = ["DEFAULT_WAVELENGTHS", "Design", "DesignFileError", "RefineRequest", "design_materials", "load_design",
           "load_targets", "material_warnings"]

#: The [spectrum] grid of a design that gives none: start, stop (nm) and count.
DEFAULT_WAVELENGTHS: Dict[str, float] = {"start": 400.0, "stop": 800.0, "count": 401}


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


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


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
        self._scanned: Optional[Scanner] = None
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
    def scanned(self) -> Scanner:
        if self._scanned is None:
            self._scanned = Scanner(self.text)
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
        return DesignFileError(f"{self.place(where)}: {dotted(where) or 'file'}: {_one_line(problem)}")

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
            raise self.error(where, f"must be an array of tables ([[{dotted(where)}]])")
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
    reader = LocatedText(design.path)
    out: List[str] = []
    seen = set()
    suffix = f" ({context})" if context else ""
    for where, material in design_materials(design):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                values = np.asarray(material.index(grid))
            except Exception as exc:  # noqa: BLE001 - a material from the user's file
                raise DesignFileError(f"{reader.place(where)}: {dotted(where)}: {_one_line(str(exc))}{suffix}") from None
        if not np.all(np.isfinite(values)):
            raise DesignFileError(f"{reader.place(where)}: {dotted(where)}: {material.name} gives a non-finite "
                                  f"index on the wavelengths{suffix}")
        for warning in caught:
            text = f"{reader.place(where)}: {dotted(where)}: {_one_line(str(warning.message))}{suffix}"
            if text not in seen:
                seen.add(text)
                out.append(text)
    return out
