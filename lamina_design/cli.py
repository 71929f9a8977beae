"""The ``lamina-design`` command: spectra and refinement of designs written in TOML.

    lamina-design spectrum design.toml [--out DIR] [--no-plot]
    lamina-design refine design.toml targets.toml [--out DIR] [--no-plot] [--progress]

A design file::

    name = "MgF2 on N-BK7"
    incidence = "air"                  # optional; a constant 1.0 if absent
    exit = "N-BK7"                     # a half-infinite exit medium, or a [substrate] table

    [[layer]]                          # top (incidence side) first
    material = "MgF2"                  # catalogue name, .csv/.yml file, "refractiveindex:…" or a number
    thickness_nm = 99.6

    [substrate]                        # a thick plate instead of `exit`
    material = "N-BK7"
    thickness_mm = 1.0                 # or thickness_nm
    back_medium = "air"
    [[substrate.layer]]                # its back coating, from the substrate outwards
    material = "MgF2"
    thickness_nm = 99.6

    [spectrum]
    wavelength_nm = { start = 400, stop = 900, count = 501 }    # or a list
    angle_deg = 0                      # or a list of angles
    polarisation = "unpolarised"       # "s", "p" or a polarisation angle in degrees

A targets file has ``[[target]]`` tables (quantity "R", "T" or "A", wavelength_nm, value, tolerance,
angle_deg, polarisation) and an optional ``[refine]`` table (vary: layer numbers counted from 1 in
the design's order, front layers then back layers; max_evaluations).

Errors name the file, the line and the key.
"""
from __future__ import annotations

import argparse
import csv
import math
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from lamina_design import materials
from lamina_design.materials.base import Constant, FloatArray, Material, MaterialError
from lamina_design.stack import Layer, Spectrum, Stack, polarisation_weights
from lamina_design.substrate import Substrate

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on old interpreters only
    try:
        import tomli as tomllib
    except ImportError as exc:
        raise ImportError("lamina-design needs tomli on Python < 3.11: pip install 'lamina[design]'") from exc

__all__ = ["Design", "DesignFileError", "load_design", "load_targets", "main"]

KeyPath = Tuple[Union[str, int], ...]


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


_HEADER = re.compile(r"^\s*(\[\[?)\s*([^\]]+?)\s*\]\]?\s*(#.*)?$")
_KEY = re.compile(r"""^\s*(?:"([^"]+)"|'([^']+)'|([A-Za-z0-9_-]+))\s*=""")


def _locate(text: str, path: KeyPath) -> Optional[int]:
    """The line (from 1) where a key, or failing that its nearest enclosing table, is written."""
    lines: Dict[KeyPath, int] = {}
    table: KeyPath = ()
    counts: Dict[Tuple[str, ...], int] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        header = _HEADER.match(line)
        if header:
            names = tuple(part.strip().strip('"') for part in header.group(2).split("."))
            if header.group(1) == "[[":
                counts[names] = counts.get(names, -1) + 1
                table = names + (counts[names],)
            else:
                table = names
            lines.setdefault(table, number)
            continue
        key = _KEY.match(line)
        if key:
            name = next(group for group in key.groups() if group)
            lines.setdefault(table + (name,), number)
    for size in range(len(path), 0, -1):
        if path[:size] in lines:
            return lines[path[:size]]
    return None


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _dotted(path: KeyPath) -> str:
    out = ""
    for part in path:
        out += f"[{part + 1}]" if isinstance(part, int) else (f".{part}" if out else part)
    return out


class _Reader:
    """Typed access to a parsed TOML document, raising errors located in its text."""

    def __init__(self, path: Path) -> None:
        self.path = path
        try:
            self.text = path.read_text(encoding="utf-8")
        except OSError as exc:
            raise DesignFileError(f"{path}: cannot read: {exc.strerror or exc}") from None
        try:
            self.data: Dict[str, Any] = tomllib.loads(self.text)
        except tomllib.TOMLDecodeError as exc:
            at = re.search(r"line (\d+)", str(exc))
            place = f"{path}:{at.group(1)}" if at else str(path)
            raise DesignFileError(f"{place}: invalid TOML: {exc}") from None

    def error(self, where: KeyPath, problem: str) -> DesignFileError:
        line = _locate(self.text, where)
        place = f"{self.path}:{line}" if line is not None else str(self.path)
        return DesignFileError(f"{place}: {_dotted(where) or 'file'}: {problem}")

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

    def number(self, where: KeyPath, default: Optional[float] = None) -> float:
        value = self.get(where, default, required=default is None)
        if not _is_number(value):
            raise self.error(where, f"must be a number, got {value!r}")
        return float(value)

    def whole_number(self, where: KeyPath, default: Optional[float] = None) -> int:
        value = self.number(where, default)
        # TOML has inf and nan, which int() cannot take.
        if not math.isfinite(value) or value != int(value) or value < 1:
            raise self.error(where, f"must be a whole number ≥ 1, got {value!r}")
        return int(value)

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
            if not value > 0:
                raise self.error(where, f"a constant index must be > 0, got {value!r}")
            return Constant(float(value), f"n={value}")
        if not isinstance(value, str):
            raise self.error(where, f"must be a material name, file or number, got {value!r}")
        try:
            return materials.resolve(value, base_dir=self.path.parent)
        except (MaterialError, ImportError, OSError) as exc:
            raise self.error(where, str(exc)) from None

    def thickness(self, where: KeyPath, key: str = "thickness_nm") -> float:
        value = self.number(where + (key,))
        if not (math.isfinite(value) and value >= 0):
            raise self.error(where + (key,), f"thickness must be finite and ≥ 0, got {value!r}")
        return value

    def layers(self, where: KeyPath) -> Tuple[Layer, ...]:
        out = []
        for i, _ in enumerate(self.tables(where)):
            self.unknown(where + (i,), ("material", "thickness_nm"))
            out.append(Layer(self.material(where + (i, "material")), self.thickness(where + (i,))))
        return tuple(out)

    def wavelengths(self, where: KeyPath, default: Any = None) -> FloatArray:
        value = self.get(where, default, required=default is None)
        if isinstance(value, dict):
            for key in value:
                if key not in ("start", "stop", "count"):
                    raise self.error(where + (key,), "unknown key; expected start, stop, count")
            start, stop = self.number(where + ("start",)), self.number(where + ("stop",))
            grid = np.linspace(start, stop, self.whole_number(where + ("count",)), dtype=np.float64)
        elif isinstance(value, list) and all(_is_number(v) for v in value):
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
        for v in values:
            if not 0 <= v < 90:
                raise self.error(where, f"angles of incidence must lie in [0, 90) degrees, got {v!r}")
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
    """Read a design file (see the module's docstring)."""
    reader = _Reader(Path(path))
    reader.unknown((), ("name", "incidence", "exit", "layer", "substrate", "spectrum"))
    incidence = reader.material(("incidence",), Constant(1.0, "air"))
    layers = reader.layers(("layer",))
    has_substrate = "substrate" in reader.data
    if has_substrate and "exit" in reader.data:
        raise reader.error(("exit",), "give either exit or a [substrate] table, not both")
    exit_medium = reader.material(("exit",), Constant(1.0, "air"))
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
        substrate = Substrate(reader.material(where + ("material",)), thickness, reader.layers(where + ("layer",)),
                              reader.material(where + ("back_medium",), Constant(1.0, "air")))
    name = reader.get(("name",), reader.path.stem)
    if not isinstance(name, str):
        raise reader.error(("name",), "must be a string")
    stack = Stack(incidence, layers, None if has_substrate else exit_medium, substrate, name=name)
    spectrum: KeyPath = ("spectrum",)
    reader.table(spectrum)
    reader.unknown(spectrum, ("wavelength_nm", "angle_deg", "polarisation"))
    wl = reader.wavelengths(spectrum + ("wavelength_nm",), {"start": 400.0, "stop": 800.0, "count": 401})
    return Design(stack, wl, reader.angles(spectrum + ("angle_deg",)), reader.polarisation(spectrum + ("polarisation",)),
                  reader.path, reader.data)


@dataclass(frozen=True)
class RefineRequest:
    """Targets and options read from a targets file."""

    targets: Tuple[Any, ...]
    vary: Optional[Tuple[int, ...]]
    max_evaluations: int


def load_targets(path: Union[str, Path], layer_count: int) -> RefineRequest:
    """Read a targets file for a design with ``layer_count`` layers."""
    from lamina_design.refine import Target

    reader = _Reader(Path(path))
    reader.unknown((), ("target", "refine"))
    entries = reader.tables(("target",))
    if not entries:
        raise reader.error(("target",), "no [[target]] tables")
    targets = []
    for i, entry in enumerate(entries):
        where: KeyPath = ("target", i)
        reader.unknown(where, ("quantity", "wavelength_nm", "value", "tolerance", "angle_deg", "polarisation"))
        quantity = reader.get(where + ("quantity",), required=True)
        if quantity not in ("R", "T", "A"):
            raise reader.error(where + ("quantity",), f"must be 'R', 'T' or 'A', got {quantity!r}")
        wl = reader.wavelengths(where + ("wavelength_nm",))
        values = []
        for key, default in (("value", None), ("tolerance", 0.01)):
            raw = reader.get(where + (key,), default, required=default is None)
            array = np.array(raw if isinstance(raw, list) else [raw])
            if array.dtype.kind not in "iuf" or array.size not in (1, wl.size):
                raise reader.error(where + (key,), f"must be a number or one number per wavelength ({wl.size})")
            if not np.all(np.isfinite(array)):
                raise reader.error(where + (key,), "must be finite")
            values.append(array.astype(np.float64) if array.size > 1 else float(array[0]))
        if np.any(np.asarray(values[1]) <= 0):
            raise reader.error(where + ("tolerance",), "tolerances must be > 0")
        angles = reader.angles(where + ("angle_deg",))
        if len(angles) != 1:
            raise reader.error(where + ("angle_deg",), "one angle per target")
        targets.append(Target(quantity, wl, values[0], values[1], math.radians(angles[0]),
                              reader.polarisation(where + ("polarisation",))))
    reader.unknown(("refine",), ("vary", "max_evaluations"))
    vary_raw = reader.get(("refine", "vary"))
    vary = None
    if vary_raw is not None and vary_raw != "all":
        if not isinstance(vary_raw, list) or not all(isinstance(v, int) and not isinstance(v, bool) for v in vary_raw):
            raise reader.error(("refine", "vary"), "must be \"all\" or a list of layer numbers (from 1)")
        for v in vary_raw:
            if not 1 <= v <= layer_count:
                raise reader.error(("refine", "vary"), f"layer {v} does not exist: the design has {layer_count} layers")
        vary = tuple(v - 1 for v in vary_raw)
    budget = reader.whole_number(("refine", "max_evaluations"), 200.0)
    return RefineRequest(tuple(targets), vary, budget)


# -- output -------------------------------------------------------------------------------------
def spectra(design: Design, stack: Optional[Stack] = None) -> List[Spectrum]:
    """One spectrum per angle of the design's sweep."""
    use = design.stack if stack is None else stack
    return [use.spectrum(design.wavelength_nm, math.radians(a), design.polarisation)  # type: ignore[arg-type]
            for a in design.angles_deg]


def write_csv(path: Path, design: Design, results: Sequence[Spectrum]) -> None:
    header = ["wavelength_nm"]
    for angle in design.angles_deg:
        suffix = "" if len(design.angles_deg) == 1 else f"@{angle:g}deg"
        header += [f"R{suffix}", f"T{suffix}", f"A{suffix}"]
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(header)
        for i, wl in enumerate(design.wavelength_nm):
            row = [repr(float(wl))]
            for spectrum in results:
                row += [repr(float(spectrum.r[i])), repr(float(spectrum.t[i])), repr(float(spectrum.a[i]))]
            writer.writerow(row)


def write_plot(path: Path, design: Design, results: Sequence[Spectrum], title: str) -> bool:
    """A PNG of R, T and A; False (with a note) when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        print("note: matplotlib is not installed, skipping the plot (pip install 'lamina[design]')")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 1, figsize=(8, 7), sharex=True)
    for angle, spectrum in zip(design.angles_deg, results):
        for ax, values in zip(axes, (spectrum.r, spectrum.t, spectrum.a)):
            ax.plot(design.wavelength_nm, values, lw=1.3, label=f"{angle:g}°")
    for ax, label in zip(axes, ("R", "T", "A")):
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    axes[0].set_title(title)
    axes[0].legend(title="incidence", frameon=False)
    axes[-1].set_xlabel("wavelength (nm)")
    fig.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(fig)
    return True


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{ " + ", ".join(f"{k} = {_toml_value(v)}" for k, v in value.items()) + " }"
    raise TypeError(f"cannot write {value!r} as TOML")


def design_toml(data: Mapping[str, Any], thicknesses: Sequence[float]) -> str:
    """The design file's content with new layer thicknesses (front layers, then back layers)."""
    lines: List[str] = []
    values = iter(thicknesses)

    def scalars(table: Mapping[str, Any]) -> None:
        for key, value in table.items():
            if not (isinstance(value, dict) and key in ("substrate", "spectrum")) and key != "layer":
                lines.append(f"{key} = {_toml_value(value)}")

    def layers(name: str, entries: Sequence[Mapping[str, Any]]) -> None:
        for entry in entries:
            lines.extend(["", f"[[{name}]]"])
            lines.append(f"material = {_toml_value(entry['material'])}")
            lines.append(f"thickness_nm = {float(next(values))!r}")

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


def _table(design: Design, results: Sequence[Spectrum]) -> None:
    print(f"{design.stack.name}: {len(design.stack.all_layers())} layers, {design.wavelength_nm.size} wavelengths "
          f"{design.wavelength_nm.min():g}-{design.wavelength_nm.max():g} nm")
    print(f"{'angle':>7}  {'mean R':>9}  {'min R':>9}  {'mean T':>9}  {'mean A':>9}")
    print(f"{'-' * 7}  {'-' * 9}  {'-' * 9}  {'-' * 9}  {'-' * 9}")
    for angle, s in zip(design.angles_deg, results):
        print(f"{angle:>6g}°  {s.r.mean():>9.5f}  {s.r.min():>9.5f}  {s.t.mean():>9.5f}  {s.a.mean():>9.5f}")


def _outputs(args: argparse.Namespace, design: Design, results: Sequence[Spectrum], stem: str) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    csv_path = out / f"{stem}.csv"
    write_csv(csv_path, design, results)
    print(f"spectra written to {csv_path}")
    if not args.no_plot and write_plot(out / f"{stem}.png", design, results, design.stack.name):
        print(f"plot written to {out / f'{stem}.png'}")


def _spectrum_command(args: argparse.Namespace) -> None:
    design = load_design(args.design)
    results = spectra(design)
    _table(design, results)
    _outputs(args, design, results, design.path.stem)


def _refine_command(args: argparse.Namespace) -> None:
    from lamina_design.refine import refine

    design = load_design(args.design)
    request = load_targets(args.targets, len(design.stack.all_layers()))
    result = refine(design.stack, list(request.targets), request.vary, max_nfev=request.max_evaluations,
                    progress=True if args.progress else None)
    print(result.summary())
    print(f"{'layer':>5}  {'material':<16}  {'start nm':>9}  {'refined nm':>10}")
    print(f"{'-' * 5}  {'-' * 16}  {'-' * 9}  {'-' * 10}")
    before = design.stack.thicknesses()
    for i, (layer, d) in enumerate(zip(result.stack.all_layers(), result.stack.thicknesses())):
        print(f"{i + 1:>5}  {layer.material.name:<16}  {before[i]:>9.2f}  {d:>10.2f}")
    results = spectra(design, result.stack)
    _table(design, results)
    stem = f"{design.path.stem}_refined"
    args.out.mkdir(parents=True, exist_ok=True)
    toml_path = args.out / f"{stem}.toml"
    toml_path.write_text(design_toml(design.data, [float(d) for d in result.stack.thicknesses()]), encoding="utf-8")
    print(f"refined design written to {toml_path}")
    _outputs(args, design, results, stem)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="lamina-design", description="Spectra and refinement of thin-film designs.")
    commands = parser.add_subparsers(dest="command", required=True)
    spectrum = commands.add_parser("spectrum", help="R, T, A of a design: a CSV and a PNG")
    spectrum.add_argument("design", type=Path)
    refine = commands.add_parser("refine", help="refine a design's thicknesses towards targets")
    refine.add_argument("design", type=Path)
    refine.add_argument("targets", type=Path)
    refine.add_argument("--progress", action="store_true", help="always show the progress bar")
    for command in (spectrum, refine):
        command.add_argument("--out", type=Path, default=Path("."), help="directory for the outputs (default: .)")
        command.add_argument("--no-plot", action="store_true", help="write the CSV only")
    args = parser.parse_args(argv)
    try:
        if args.command == "spectrum":
            _spectrum_command(args)
        else:
            _refine_command(args)
    except (DesignFileError, MaterialError) as exc:
        print(f"lamina-design: error: {exc}", file=sys.stderr)
        return 1
    except ImportError as exc:
        print(f"lamina-design: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
