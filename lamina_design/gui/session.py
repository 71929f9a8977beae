"""One page's state: a design and its targets, as the page edits them, and what the server computes.

The page sends plain JSON documents; every document goes through the same reader as the command
line (it is written out as a design or targets file and read back with
:func:`lamina_design.io.files.load_design` / :func:`~lamina_design.io.files.load_targets`), so the
page meets exactly the checks and messages a file does. A thickness-only edit skips the reading:
the materials already evaluated on the grid are reused and only the engine runs.
"""
from __future__ import annotations

import base64
import copy
import math
import time
import shutil
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - old interpreters
    import tomli as tomllib

from lamina_design.core.progress import Progress
from lamina_design.core.targets import POWER, Target
from lamina_design.io.files import Design, DesignFileError, design_toml, load_design, load_targets
from lamina_design.io.write import _toml_value
from lamina_design.materials import catalogue
from lamina_design.materials.base import Constant, Material, MaterialError
from lamina_design.optics.stack import PreparedStack, Stack
from lamina_design.gui.paths import allowed_file, display_name

__all__ = ["GUI_MAX_LAYERS", "GUI_MAX_POINTS", "GUI_MAX_TARGETS", "Cancelled", "Session", "SessionError"]

#: The most layers the page edits: a table longer than this is no longer read by a person.
GUI_MAX_LAYERS = 1000
#: The most wavelengths of the page's plot (every point goes over the socket on each edit).
GUI_MAX_POINTS = 20_000
#: The most targets the page edits.
GUI_MAX_TARGETS = 200

#: Undo steps kept per page.
GUI_HISTORY = 200
#: Thickness edits of the same layers closer together than this (seconds) are one undo step:
#: typing "123" is one edit, not three.
TYPING_PAUSE = 1.0

#: The design the page starts with when no file is named.
DEFAULT_DESIGN = """name = "MgF2 on N-BK7"
incidence = "air"
exit = "N-BK7"

[[layer]]
material = "MgF2"
thickness_nm = 99.6

[spectrum]
wavelength_nm = { start = 400.0, stop = 800.0, count = 401 }
angle_deg = 0.0
polarisation = "unpolarised"
"""

_POLARISATIONS = ("s", "p", "unpolarised")
_FILE_SUFFIXES = (".csv", ".yml", ".yaml")


class SessionError(ValueError):
    """An edit, file or request the page sent that cannot be used; the message says why."""


class Cancelled(Exception):
    """Raised inside a refinement's callback when the page cancels it."""


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise SessionError(f"{what} must be a finite number, got {value!r}")
    return float(value)


def _mapping(value: Any, what: str) -> Mapping[str, Any]:
    if not isinstance(value, dict):
        raise SessionError(f"{what} must be an object, got {type(value).__name__}")
    return value


def _list(value: Any, what: str, most: int) -> List[Any]:
    if not isinstance(value, list):
        raise SessionError(f"{what} must be a list, got {type(value).__name__}")
    if len(value) > most:
        raise SessionError(f"{what}: at most {most} allowed here, got {len(value)}")
    return value


def _plain_message(exc: Exception, path: Path, what: str) -> str:
    """A reader's message without the scratch file's name and line (meaningless on the page)."""
    text = str(exc)
    prefix = str(path)
    if text.startswith(prefix):
        text = text[len(prefix):].lstrip(":")
        head, sep, rest = text.partition(":")
        if sep and head.strip().isdigit():
            text = rest
    return f"{what}: {text.strip()}"


class Session:
    """A design and targets being edited by one page.

    ``workdir`` is where the save dialog writes; ``design_path`` and ``targets_path`` are the files
    named on the command line (read at the start, and writable under their own names).
    """

    def __init__(self, workdir: Path, design_path: Optional[Path] = None, targets_path: Optional[Path] = None) -> None:
        self.workdir = Path(workdir)
        self.named = tuple(p for p in (design_path, targets_path) if p is not None)
        self._scratch = Path(tempfile.mkdtemp(prefix="lamina-design-"))
        self.design_file: Optional[Path] = design_path
        self.targets_file: Optional[Path] = targets_path
        if design_path is not None:
            self._read_design(design_path)
        else:
            default = self._scratch / "start.toml"
            default.write_text(DEFAULT_DESIGN, encoding="utf-8")
            self._adopt(load_design(default), self.workdir)
        self.targets: Tuple[Target, ...] = ()
        self.targets_doc: List[Dict[str, Any]] = []
        self.refine_options: Dict[str, Any] = {"max_evaluations": 200}
        self._undo: List[Tuple[Any, ...]] = []
        self._redo: List[Tuple[Any, ...]] = []
        self._typing: Optional[Tuple[Tuple[int, ...], float]] = None
        if targets_path is not None:
            self._read_targets(targets_path)

    def close(self) -> None:
        shutil.rmtree(self._scratch, ignore_errors=True)

    # -- the design --------------------------------------------------------------------------
    def _adopt(self, design: Design, source_dir: Path) -> None:
        self.design = design
        self.source_dir = source_dir
        self.data: Dict[str, Any] = dict(design.data)
        # The material references the file itself names: the only files an edit may name again.
        self.file_materials = {str(v) for v in self._material_refs(self.data)}
        self._prepared = PreparedStack(design.stack, design.wavelength_nm)
        self.doc = self._document()

    @staticmethod
    def _material_refs(data: Mapping[str, Any]) -> List[Any]:
        refs = [data.get("incidence"), data.get("exit")]
        refs += [layer.get("material") for layer in data.get("layer", [])]
        substrate = data.get("substrate", {})
        if isinstance(substrate, dict):
            refs += [substrate.get("material"), substrate.get("back_medium")]
            refs += [layer.get("material") for layer in substrate.get("layer", [])]
        return [r for r in refs if isinstance(r, str)]

    def _read_design(self, path: Path) -> None:
        try:
            design = load_design(path)
        except (DesignFileError, MaterialError) as exc:
            raise SessionError(str(exc)) from None
        if len(design.stack.layers) > GUI_MAX_LAYERS or design.wavelength_nm.size > GUI_MAX_POINTS:
            raise SessionError(f"{path}: the designer edits at most {GUI_MAX_LAYERS} layers and "
                               f"{GUI_MAX_POINTS} wavelengths")
        self._adopt(design, path.parent)
        self.design_file = path

    def _document(self) -> Dict[str, Any]:
        """The design as the page shows it."""
        data, design = self.data, self.design
        spectrum = data.get("spectrum", {})
        grid = design.wavelength_nm
        wl = spectrum.get("wavelength_nm")
        if isinstance(wl, dict):
            wavelength = {"start": float(wl["start"]), "stop": float(wl["stop"]), "count": int(wl["count"])}
        else:
            wavelength = {"start": float(grid[0]), "stop": float(grid[-1]), "count": int(grid.size)}
        pol = spectrum.get("polarisation", "unpolarised")
        substrate = data.get("substrate")
        plate = None
        if isinstance(substrate, dict) and design.stack.substrate is not None:
            sub = design.stack.substrate
            plate = (f"{sub.material.name}, {sub.thickness_nm / 1e6:g} mm, {len(sub.back_layers)} back layer(s), "
                     f"then {sub.back_medium.name}")
        return {
            "name": str(data.get("name", design.stack.name)),
            "incidence": data.get("incidence", "vacuum"),
            "exit": None if plate is not None else data.get("exit", "vacuum"),
            "substrate": plate,
            "layers": [{"material": entry["material"], "thickness_nm": float(layer.thickness_nm),
                        "coherent": bool(layer.coherent)}
                       for entry, layer in zip(data.get("layer", []), design.stack.layers)],
            "wavelength": wavelength,
            "angle_deg": float(design.angles_deg[0]),
            "polarisation": pol if isinstance(pol, str) else float(pol),
        }

    def _check_material(self, value: Any, what: str) -> Any:
        if isinstance(value, bool) or not isinstance(value, (str, int, float)):
            raise SessionError(f"{what} must be a material name or a number, got {value!r}")
        if isinstance(value, str):
            text = value.strip()
            if not text:
                raise SessionError(f"{what}: choose a material")
            named_file = text.startswith(catalogue.DATABASE_PREFIX) or Path(text).suffix.lower() in _FILE_SUFFIXES
            if named_file and value not in self.file_materials:
                raise SessionError(f"{what}: {value!r}: the page names catalogue materials or numbers; material "
                                   f"files are named in the design file")
        return value

    def apply(self, doc: Any) -> bool:
        """Take the page's design document; True when anything changed. SessionError if it cannot be used."""
        doc = _mapping(doc, "design")
        layers = _list(doc.get("layers"), "layers", GUI_MAX_LAYERS)
        thicknesses = []
        for i, layer in enumerate(layers):
            entry = _mapping(layer, f"layer {i + 1}")
            thickness = _number(entry.get("thickness_nm"), f"layer {i + 1} thickness")
            if thickness < 0:
                raise SessionError(f"layer {i + 1} thickness must be ≥ 0 nm, got {thickness:g}")
            thicknesses.append(thickness)
        same_but_thickness = (
            len(layers) == len(self.doc["layers"])
            and all(k == "layers" or doc.get(k) == v for k, v in self.doc.items() if k != "substrate")
            and all(a.get("material") == b["material"] and a.get("coherent") == b["coherent"]
                    for a, b in zip(layers, self.doc["layers"])))
        before = self._snapshot()
        if same_but_thickness:
            old = [layer["thickness_nm"] for layer in self.doc["layers"]]
            if thicknesses == old:
                return False
            changed = tuple(i for i, (a, b) in enumerate(zip(thicknesses, old)) if a != b)
            now = time.monotonic()
            typing = self._typing is not None and self._typing[0] == changed and now - self._typing[1] < TYPING_PAUSE
            if not typing:
                self._remember(before)
            self._typing = (changed, now)
            back = list(self.design.stack.thicknesses()[len(layers):])
            stack = self.design.stack.with_thicknesses(thicknesses + back)
            self.design = Design(stack, self.design.wavelength_nm, self.design.angles_deg, self.design.polarisation,
                                 self.design.path, self.design.data)
            for entry, d in zip(self.doc["layers"], thicknesses):
                entry["thickness_nm"] = d
            return True
        self._rebuild(doc, layers, thicknesses)
        self._remember(before)
        self._typing = None
        return True

    def _rebuild(self, doc: Mapping[str, Any], layers: Sequence[Any], thicknesses: List[float]) -> None:
        data: Dict[str, Any] = {k: v for k, v in self.data.items() if k not in ("layer", "spectrum")}
        name = doc.get("name", "")
        if not isinstance(name, str) or len(name) > 200:
            raise SessionError("name must be text of at most 200 characters")
        data["name"] = name
        data["incidence"] = self._check_material(doc.get("incidence"), "incidence medium")
        if "substrate" not in data:
            data["exit"] = self._check_material(doc.get("exit"), "exit medium")
        entries = []
        for i, layer in enumerate(layers):
            coherent = layer.get("coherent", True)
            if not isinstance(coherent, bool):
                raise SessionError(f"layer {i + 1} coherent must be true or false, got {coherent!r}")
            entry: Dict[str, Any] = {"material": self._check_material(layer.get("material"), f"layer {i + 1} material")}
            if not coherent:
                entry["coherent"] = False
            entries.append(entry)
        data["layer"] = entries
        wl = _mapping(doc.get("wavelength"), "wavelength range")
        start, stop = _number(wl.get("start"), "first wavelength"), _number(wl.get("stop"), "last wavelength")
        count = _number(wl.get("count"), "wavelength count")
        if count != int(count) or not 1 <= count <= GUI_MAX_POINTS:
            raise SessionError(f"wavelength count must be a whole number from 1 to {GUI_MAX_POINTS}, got {count:g}")
        angle = _number(doc.get("angle_deg"), "angle of incidence")
        pol = doc.get("polarisation")
        if not (pol in _POLARISATIONS or (isinstance(pol, (int, float)) and not isinstance(pol, bool))):
            raise SessionError(f"polarisation must be 's', 'p', 'unpolarised' or an angle in degrees, got {pol!r}")
        data["spectrum"] = {"wavelength_nm": {"start": start, "stop": stop, "count": int(count)},
                            "angle_deg": angle, "polarisation": pol}
        back = [float(v) for v in self.design.stack.thicknesses()[len(self.design.stack.layers):]]
        scratch = self._scratch / "edit.toml"
        try:
            scratch.write_text(design_toml(data, thicknesses + back, self.source_dir, self._scratch), encoding="utf-8")
        except TypeError as exc:
            raise SessionError(f"design: {exc}") from None
        try:
            design = load_design(scratch)
        except (DesignFileError, MaterialError) as exc:
            raise SessionError(_plain_message(exc, scratch, "design")) from None
        # Kept as built, not as read back: material files stay named relative to the original file.
        self._adopt(Design(design.stack, design.wavelength_nm, design.angles_deg, design.polarisation,
                           self.design.path, data), self.source_dir)

    # -- spectra -----------------------------------------------------------------------------
    def spectrum(self) -> Dict[str, Any]:
        """R, T, A of the current design (fractions) and its wavelengths, packed for the page."""
        design = self.design
        theta = math.radians(design.angles_deg[0])
        try:
            r, t = self._prepared.spectrum(theta, design.polarisation,  # type: ignore[arg-type]
                                           design.stack.thicknesses())
        except ValueError as exc:
            raise SessionError(str(exc)) from None
        a = 1.0 - r - t
        return {"wavelength_nm": _packed(design.wavelength_nm), "R": _packed(r), "T": _packed(t), "A": _packed(a)}

    # -- targets -----------------------------------------------------------------------------
    def _read_targets(self, path: Path) -> None:
        try:
            request = load_targets(path, len(self.design.stack.all_layers()))
            with path.open("rb") as handle:
                raw = tomllib.load(handle)
        except (DesignFileError, MaterialError) as exc:
            raise SessionError(str(exc)) from None
        entries = raw.get("target", [])
        for entry, place in zip(entries, request.places):
            if entry.get("quantity") not in POWER:
                raise SessionError(f"{place}: the designer edits R, T and A targets; this one is "
                                   f"{entry.get('quantity')!r}")
        self.targets = tuple(t for t in request.targets if isinstance(t, Target))
        self.targets_doc = [{k: v for k, v in entry.items()} for entry in entries]
        options = raw.get("refine", {})
        self.refine_options = {"max_evaluations": int(options.get("max_evaluations", 200))}
        if "vary" in options:
            self.refine_options["vary"] = options["vary"]
        self.targets_file = path

    def set_targets(self, docs: Any, options: Any = None) -> None:
        """Take the page's targets (the keys of a [[target]] table); SessionError if they cannot be used."""
        entries = _list(docs, "targets", GUI_MAX_TARGETS)
        clean: List[Dict[str, Any]] = []
        for i, doc in enumerate(entries):
            entry = _mapping(doc, f"target {i + 1}")
            out: Dict[str, Any] = {}
            for key, value in entry.items():
                if key not in _TARGET_KEYS:
                    raise SessionError(f"target {i + 1}: unknown field {key!r}")
                if value is None:
                    continue
                out[key] = _target_value(value, f"target {i + 1} {key}")
            clean.append(out)
        refine_options = dict(self.refine_options)
        if options is not None:
            budget = _number(_mapping(options, "refine options").get("max_evaluations"), "max evaluations")
            if budget != int(budget) or not 1 <= budget <= 100_000:
                raise SessionError(f"max evaluations must be a whole number from 1 to 100000, got {budget:g}")
            refine_options["max_evaluations"] = int(budget)
        if not clean:
            self.targets, self.targets_doc, self.refine_options = (), [], refine_options
            return
        scratch = self._scratch / "targets.toml"
        scratch.write_text(targets_toml(clean, refine_options), encoding="utf-8")
        try:
            request = load_targets(scratch, len(self.design.stack.all_layers()))
        except (DesignFileError, MaterialError) as exc:
            raise SessionError(_plain_message(exc, scratch, "targets")) from None
        for entry in clean:
            if entry.get("quantity") not in POWER:
                raise SessionError(f"the designer edits R, T and A targets, got {entry.get('quantity')!r}")
        self.targets = tuple(t for t in request.targets if isinstance(t, Target))
        self.targets_doc = clean
        self.refine_options = refine_options

    def bands(self) -> List[Dict[str, Any]]:
        """Each target's wavelengths and bounds, for drawing (fractions; ±inf as None)."""
        out = []
        for target in self.targets:
            lower, upper = target.bounds()
            wl = np.asarray(target.wavelength_nm, dtype=np.float64)

            def finite(a: Any) -> List[Optional[float]]:
                values = np.broadcast_to(np.asarray(a, dtype=np.float64), wl.shape)
                return [float(v) if math.isfinite(v) else None for v in values]

            out.append({"quantity": target.quantity, "wavelength_nm": wl.tolist(), "lower": finite(lower),
                        "upper": finite(upper), "value": target.value is not None})
        return out

    # -- refinement --------------------------------------------------------------------------
    def refine_job(self) -> Tuple[Stack, Tuple[Target, ...], Optional[Tuple[int, ...]], int]:
        """What a refinement of the current state needs, taken at its start."""
        if not self.targets:
            raise SessionError("add a target before refining")
        if not self.design.stack.all_layers():
            raise SessionError("the design has no layers to refine")
        vary_raw = self.refine_options.get("vary")
        count = len(self.design.stack.all_layers())
        vary = None
        if isinstance(vary_raw, list):
            if any(not 1 <= v <= count for v in vary_raw):
                raise SessionError(f"the targets file varies layers {vary_raw}, the design has {count}")
            vary = tuple(v - 1 for v in vary_raw)
        return self.design.stack, self.targets, vary, int(self.refine_options["max_evaluations"])

    def set_thicknesses(self, thicknesses: Sequence[float]) -> None:
        """Take thicknesses (all layers, front then back) from a refinement."""
        self._remember(self._snapshot())
        self._typing = None
        values = [float(v) for v in thicknesses]
        n_front = len(self.design.stack.layers)
        stack = self.design.stack.with_thicknesses(values)
        self.design = Design(stack, self.design.wavelength_nm, self.design.angles_deg, self.design.polarisation,
                             self.design.path, self.design.data)
        for entry, d in zip(self.doc["layers"], values[:n_front]):
            entry["thickness_nm"] = d
        if stack.substrate is not None:
            # Back layers are not in the page's table: the prepared stack must see the new ones.
            self._prepared = PreparedStack(stack, self.design.wavelength_nm)

    # -- undo and redo ------------------------------------------------------------------------
    def _snapshot(self) -> Tuple[Any, ...]:
        # Designs, data and prepared stacks are replaced on edits, never changed in place; the
        # page's document is (thicknesses are written into it), hence its copy.
        return (self.design, self.data, copy.deepcopy(self.doc), self._prepared, self.file_materials, self.source_dir)

    def _restore(self, snap: Tuple[Any, ...]) -> None:
        self.design, self.data, doc, self._prepared, self.file_materials, self.source_dir = snap
        self.doc = copy.deepcopy(doc)
        self._typing = None

    def _remember(self, snap: Tuple[Any, ...]) -> None:
        self._undo.append(snap)
        del self._undo[:-GUI_HISTORY]
        self._redo.clear()

    def history(self) -> Dict[str, int]:
        """How many steps can be undone and redone."""
        return {"undo": len(self._undo), "redo": len(self._redo)}

    def undo(self) -> bool:
        """Back to the design before the last edit; False when there is none."""
        if not self._undo:
            return False
        self._redo.append(self._snapshot())
        self._restore(self._undo.pop())
        return True

    def redo(self) -> bool:
        """The edit last undone again; False when there is none."""
        if not self._redo:
            return False
        self._undo.append(self._snapshot())
        self._restore(self._redo.pop())
        return True

    # -- synthesis and tolerance ---------------------------------------------------------------
    def synthesis_job(self, options: Any) -> Tuple[Stack, Tuple[Target, ...], List[Material], Dict[str, Any],
                                                   List[Tuple[Material, Any]]]:
        """The start, targets, insertable materials and keyword options of a synthesis from the
        page's `options` ({material, max_layers, max_total_nm}), and how each material is named."""
        opts = _mapping(options, "synthesis options")
        if not self.targets:
            raise SessionError("add a target before synthesizing")
        if self.design.stack.substrate is not None:
            raise SessionError("synthesis designs a coating on a half-infinite exit medium: this design has a substrate")
        refs: List[Tuple[Material, Any]] = [(layer.material, entry["material"])
                                            for layer, entry in zip(self.design.stack.layers, self.data.get("layer", []))]
        chosen: List[Material] = []
        for material, _ in refs:
            if not any(material is m for m in chosen):
                chosen.append(material)
        extra = opts.get("material")
        if extra is not None and extra != "":
            ref = self._check_material(extra, "material to insert")
            if isinstance(ref, str):
                try:
                    material = catalogue.resolve(ref, self.source_dir)
                except MaterialError as exc:
                    raise SessionError(f"material to insert: {exc}") from None
            else:
                if not (ref > 0 and math.isfinite(ref)):
                    raise SessionError(f"material to insert: a constant index must be finite and > 0, got {ref!r}")
                material = Constant(float(ref), f"n={float(ref):g}")
            chosen.append(material)
            refs.append((material, ref))
        if not chosen:
            raise SessionError("the design has no layers: choose a material to insert")
        kwargs: Dict[str, Any] = {"max_nfev": int(self.refine_options["max_evaluations"])}
        layers = opts.get("max_layers")
        if layers is not None:
            count = _number(layers, "max layers")
            if count != int(count) or not 1 <= count <= GUI_MAX_LAYERS:
                raise SessionError(f"max layers must be a whole number from 1 to {GUI_MAX_LAYERS}, got {count:g}")
            kwargs["max_layers"] = int(count)
        total = opts.get("max_total_nm")
        if total is not None:
            nm = _number(total, "max total thickness")
            if not nm > 0:
                raise SessionError(f"max total thickness must be > 0 nm, got {nm:g}")
            kwargs["max_total_nm"] = nm
        return self.design.stack, self.targets, chosen, kwargs, refs

    def set_layers(self, layers: Sequence[Sequence[Any]]) -> None:
        """Replace the layer table by (material reference, thickness, coherent) rows: one undo step."""
        doc = copy.deepcopy(self.doc)
        doc["layers"] = [{"material": ref, "thickness_nm": float(d), "coherent": bool(coherent)}
                         for ref, d, coherent in layers]
        self._typing = None
        self.apply(doc)

    def tolerance_job(self, options: Any) -> Tuple[Stack, Tuple[Target, ...], float, int]:
        """The stack, targets, relative thickness σ and sample count of a tolerance run."""
        opts = _mapping(options, "tolerance options")
        if not self.targets:
            raise SessionError("add a target before a tolerance run")
        if not self.design.stack.all_layers():
            raise SessionError("the design has no layers to perturb")
        sigma = _number(opts.get("thickness_rel"), "thickness σ")
        if not 0 <= sigma <= 1:
            raise SessionError(f"thickness σ must lie between 0 and 100 %, got {100 * sigma:g} %")
        samples = _number(opts.get("samples"), "samples")
        if samples != int(samples) or not 1 <= samples <= 100_000:
            raise SessionError(f"samples must be a whole number from 1 to 100000, got {samples:g}")
        return self.design.stack, self.targets, sigma, int(samples)

    # -- files -------------------------------------------------------------------------------
    def files(self) -> Dict[str, Optional[str]]:
        def shown(path: Optional[Path]) -> Optional[str]:
            return None if path is None else display_name(path, self.workdir, self.named)

        return {"design": shown(self.design_file), "targets": shown(self.targets_file)}

    def save_design(self, name: Any) -> Path:
        path = allowed_file(name, self.workdir, self.named)
        text = design_toml(self.data, self.design.stack.thicknesses().tolist(), self.source_dir, path.parent)
        _write(path, text)
        self.design_file = path
        return path

    def save_targets(self, name: Any) -> Path:
        path = allowed_file(name, self.workdir, self.named)
        _write(path, targets_toml(self.targets_doc, self.refine_options))
        self.targets_file = path
        return path

    def open_design(self, name: Any) -> None:
        path = allowed_file(name, self.workdir, self.named, must_exist=True)
        self._read_design(path)
        # Another file's materials and directory: its edits do not undo into this one.
        self._undo.clear()
        self._redo.clear()
        self._typing = None
        if self.targets:
            # The targets were checked against the old layer count.
            self.set_targets(self.targets_doc)

    def open_targets(self, name: Any) -> None:
        self._read_targets(allowed_file(name, self.workdir, self.named, must_exist=True))


def _packed(values: Any) -> str:
    """float64 values as base64 of their little-endian bytes: exact, and far quicker to write and
    to read than decimal JSON (the page decodes them into a Float64Array)."""
    return base64.b64encode(np.ascontiguousarray(values, dtype="<f8").tobytes()).decode("ascii")


_TARGET_KEYS = ("quantity", "wavelength_nm", "value", "min", "max", "tolerance", "angle_deg", "polarisation",
                "weight")


def _target_value(value: Any, what: str) -> Any:
    """A target field as JSON gives it: text, a finite number, a list of them or a {start, stop, count} grid."""
    if isinstance(value, str):
        if len(value) > 100:
            raise SessionError(f"{what}: text too long")
        return value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return _number(value, what)
    if isinstance(value, list):
        return [_number(v, what) for v in _list(value, what, GUI_MAX_POINTS)]
    if isinstance(value, dict):
        grid = {k: _number(value.get(k), f"{what} {k}") for k in ("start", "stop", "count")}
        if set(value) != set(grid):
            raise SessionError(f"{what} must be a list or start, stop and count")
        if grid["count"] != int(grid["count"]) or not 1 <= grid["count"] <= GUI_MAX_POINTS:
            raise SessionError(f"{what} count must be a whole number from 1 to {GUI_MAX_POINTS}")
        return {"start": grid["start"], "stop": grid["stop"], "count": int(grid["count"])}
    raise SessionError(f"{what}: cannot use {value!r}")


def targets_toml(entries: Sequence[Mapping[str, Any]], options: Mapping[str, Any]) -> str:
    """A targets file with these [[target]] tables and [refine] options."""
    lines: List[str] = []
    for entry in entries:
        lines.append("[[target]]")
        lines += [f"{key} = {_toml_value(value)}" for key, value in entry.items()]
        lines.append("")
    lines.append("[refine]")
    lines += [f"{key} = {_toml_value(value)}" for key, value in options.items()]
    return "\n".join(lines) + "\n"


def _write(path: Path, text: str) -> None:
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise SessionError(f"cannot write {path.name}: {exc.strerror or exc}") from None


def run_refine(stack: Stack, targets: Sequence[Target], vary: Optional[Sequence[int]], budget: int,
               cancel: threading.Event, progress: Callable[[int, float], None]) -> Dict[str, Any]:
    """Refine with the library's :func:`~lamina_design.optimize.refine.refine`; the callback reports
    progress and stops the run (raising Cancelled) once `cancel` is set."""
    from lamina_design.optimize.refine import refine

    count = 0

    def callback(x: Any, cost: float) -> None:
        nonlocal count
        count += 1
        if cancel.is_set():
            raise Cancelled()
        progress(count, cost)

    before = target_report(stack, targets)
    result = refine(stack, targets, vary, max_nfev=budget, progress=False, callback=callback)
    return {"thicknesses": result.stack.thicknesses().tolist(), "merit_before": result.merit_before,
            "merit": result.merit, "nfev": result.nfev, "success": result.success, "message": result.message,
            "seconds": result.seconds, "before": before, "targets": target_report(result.stack, targets)}


def target_report(stack: Stack, targets: Sequence[Target]) -> List[Dict[str, Any]]:
    """Per target: its rms residual (in tolerances), the share of its points met, and the worst point."""
    out = []
    for target in targets:
        spectrum = stack.spectrum(target.wavelength_nm, target.angle_rad, target.polarisation)  # type: ignore[arg-type]
        computed = {"R": spectrum.r, "T": spectrum.t, "A": spectrum.a}[target.quantity]
        residual = target.residual(computed)
        out.append({"quantity": target.quantity, "merit": float(np.sqrt(np.mean(residual ** 2))),
                    "met": float(np.mean(target.within(computed))), "worst": float(np.max(np.abs(residual)))})
    return out


def _stopper(cancel: threading.Event, progress: Callable[[Progress], None]) -> Callable[[Progress], bool]:
    """A library callback: reports each record, and asks the run to stop once `cancel` is set."""

    def callback(record: Progress) -> bool:
        progress(record)
        return cancel.is_set()

    return callback


def _reference(material: Material, refs: Sequence[Tuple[Material, Any]]) -> Any:
    """How the design names `material` (by identity first: several materials may compare equal)."""
    for known, ref in refs:
        if known is material:
            return ref
    for known, ref in refs:
        try:
            if bool(known == material):
                return ref
        except (TypeError, ValueError):
            continue
    raise SessionError(f"synthesis returned a layer of {material.name!r}, which the page cannot name")


def run_synthesis(method: str, stack: Stack, targets: Sequence[Target], materials: Sequence[Material],
                  options: Mapping[str, Any], refs: Sequence[Tuple[Material, Any]], cancel: threading.Event,
                  progress: Callable[[Progress], None]) -> Dict[str, Any]:
    """Needle ("needle") or gradual evolution ("gradual") in this thread; a cancel ends it with
    its best design so far."""
    from lamina_design.optimize.synthesis import gradual_evolution, needle

    run = needle if method == "needle" else gradual_evolution
    result = run(stack, targets, materials, executor="serial", progress=False,
                 callback=_stopper(cancel, progress), **options)
    layers = [(_reference(layer.material, refs), float(layer.thickness_nm), bool(layer.coherent))
              for layer in result.stack.layers]
    report = result.report()
    return {"method": method, "layers": layers, "merit_before": float(result.steps[0].merit) if result.steps else None,
            "merit": float(result.merit), "message": result.message, "success": bool(result.success),
            "seconds": float(result.seconds), "summary": result.summary(), "report": str(report),
            "passed": bool(report.passed)}


def run_tolerance(stack: Stack, targets: Sequence[Target], thickness_rel: float, samples: int,
                  cancel: threading.Event, progress: Callable[[Progress], None]) -> Dict[str, Any]:
    """A Monte Carlo run of relative thickness errors in this thread; a cancel ends it with the
    samples done so far."""
    from lamina_design.production.tolerance import Errors, tolerance

    result = tolerance(stack, targets, Errors(thickness_rel=thickness_rel), samples, executor="serial",
                       progress=False, callback=_stopper(cancel, progress))
    low, high = result.interval()
    return {"yield": result.yield_fraction, "samples": int(result.samples), "asked": samples,
            "interval": [low, high], "message": result.message, "success": bool(result.success),
            "summary": result.summary(), "report": str(result.report())}
