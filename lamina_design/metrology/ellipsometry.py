"""Ellipsometric fits: layer thicknesses and optical constants from Ψ and Δ at several angles.

Ψ and Δ follow tmm's convention, tan Ψ·e^{iΔ} = −r_p/r_s, in degrees (Ψ in [0, 90], Δ in
(−180, 180]; a difference of Δ is taken modulo 360°). Data are points (wavelength in nm, angle
of incidence in degrees, Ψ, Δ) with a one-sigma noise per point. The model is the stack's
coherent front (a thick substrate, or the first incoherent layer, counts as the exit medium). Fitted are thicknesses and, if
asked, the coefficients of a layer's Cauchy or Tauc–Lorentz material; the Jacobian is exact:
the engine's derivatives of r in every thickness and every index, times dn/d(coefficient) (in
closed form for Cauchy, central differences of the model's n for the others).

Needs SciPy (``pip install 'lamina[design]'``).
"""
from __future__ import annotations

import csv
import dataclasses
import itertools
import math
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

try:
    from scipy.optimize import least_squares
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.ellipsometry needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design.core import formatting
from lamina_design import _engine
from lamina_design.core.checks import Layer, check_angles, check_wavelengths
from lamina_design.materials.base import ComplexArray, FloatArray, Material
from lamina_design.materials.models import Cauchy, TaucLorentz
from lamina_design.optics.phase import KnownRows, engine_arrays, front_layers, psi_delta_from, psi_delta_rates
from lamina_design.core.results import OptimizeResult
from lamina_design.core.targets import wrap_degrees

__all__ = ["EllipsometryData", "EllipsometryFit", "MATERIAL_PARAMETERS", "fit_ellipsometry", "model",
           "read_csv", "write_csv"]

#: The coefficients of each model that a fit may vary.
MATERIAL_PARAMETERS: Dict[type, Tuple[str, ...]] = {
    Cauchy: ("a", "b", "c"),
    TaucLorentz: ("amplitude_ev", "centre_ev", "broadening_ev", "gap_ev", "eps_inf"),
}


@formatting.recorded
@dataclass(frozen=True)
class EllipsometryData:
    """Measured points: wavelength (nm), angle of incidence (degrees), Ψ and Δ (degrees), their sigmas.

    Every column after the wavelengths may also be given as one number for all points.
    """

    wavelength_nm: FloatArray
    angle_deg: FloatArray
    psi_deg: FloatArray
    delta_deg: FloatArray
    sigma_psi_deg: FloatArray
    sigma_delta_deg: FloatArray

    def __post_init__(self) -> None:
        wl = check_wavelengths(self.wavelength_nm)
        size = wl.size
        columns = {}
        for name in ("angle_deg", "psi_deg", "delta_deg", "sigma_psi_deg", "sigma_delta_deg"):
            try:
                column = np.asarray(getattr(self, name), dtype=np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"ellipsometric data: {name} must be numbers") from None
            if column.ndim > 1 or column.size not in (1, size):
                raise ValueError(f"ellipsometric data: {name} has {column.size} values (shape {column.shape}) "
                                 f"for {size} wavelengths: give one value per point or one for all")
            values = np.broadcast_to(column.reshape(-1), (size,)).copy()
            if not np.all(np.isfinite(values)):
                raise ValueError(f"ellipsometric data: {name} must be finite")
            columns[name] = values
        check_angles(np.radians(columns["angle_deg"]))
        if np.any(columns["sigma_psi_deg"] <= 0) or np.any(columns["sigma_delta_deg"] <= 0):
            raise ValueError("ellipsometric data: sigmas must be > 0")
        object.__setattr__(self, "wavelength_nm", wl)
        for name, values in columns.items():
            object.__setattr__(self, name, values)

    @property
    def size(self) -> int:
        return int(self.wavelength_nm.size)


def read_csv(path: Union[str, Path], sigma_psi_deg: float = 0.05, sigma_delta_deg: float = 0.1) -> EllipsometryData:
    """Read points from a plain CSV: wavelength (nm), angle (degrees), Ψ (degrees), Δ (degrees).

    Two optional further columns give each point's σΨ and σΔ (degrees); without them every point
    gets ``sigma_psi_deg`` and ``sigma_delta_deg``. Lines starting with ``#`` are skipped; an
    optional header line names the columns, and a unit named by the wavelength's ("wavelength_um",
    "lambda (µm)", "wavelength_mm") is read, as in material tables; commas, semicolons, tabs or
    spaces separate the fields.
    """
    from lamina_design.materials.tabulated import wavelength_factor

    rows: List[List[float]] = []
    scale = 1.0
    text = Path(path).read_text(encoding="utf-8")
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = [f for f in stripped.replace(";", ",").replace("\t", ",").replace(" ", ",").split(",") if f]
        try:
            values = [float(f) for f in fields]
        except ValueError:
            if not rows:
                # The wavelength's name: up to the first separator, or with spaces its first word
                # and the bracketed unit after it ("wavelength (um) angle psi delta").
                if any(sep in stripped for sep in ",;\t"):
                    name = re.split(r"[,;\t]", stripped)[0].strip()
                else:
                    name = " ".join([fields[0]] + list(itertools.takewhile(lambda f: f[:1] in "([", fields[1:])))
                try:
                    scale = wavelength_factor(name) or 1.0
                except ValueError as exc:
                    raise ValueError(f"{path}:{number}: the header {name!r} {exc}") from None
                continue
            raise ValueError(f"{path}:{number}: not a row of numbers: {line!r}") from None
        if len(values) not in (4, 6):
            raise ValueError(f"{path}:{number}: expected 4 columns (wavelength nm, angle deg, psi deg, delta deg) "
                             f"or 6 (with sigma psi, sigma delta), got {len(values)}")
        if rows and len(values) != len(rows[0]):
            raise ValueError(f"{path}:{number}: {len(values)} columns where the first row had {len(rows[0])}")
        rows.append(values)
    if not rows:
        raise ValueError(f"{path}: no data rows")
    table = np.array(rows, dtype=np.float64)
    sig_psi = table[:, 4] if table.shape[1] == 6 else np.full(len(rows), sigma_psi_deg)
    sig_delta = table[:, 5] if table.shape[1] == 6 else np.full(len(rows), sigma_delta_deg)
    return EllipsometryData(table[:, 0] * scale, table[:, 1], table[:, 2], table[:, 3], sig_psi, sig_delta)


def write_csv(path: Union[str, Path], data: EllipsometryData) -> None:
    """Write points in the form read_csv reads, with a header and the sigmas."""
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["wavelength_nm", "angle_deg", "psi_deg", "delta_deg", "sigma_psi_deg", "sigma_delta_deg"])
        for row in zip(data.wavelength_nm, data.angle_deg, data.psi_deg, data.delta_deg, data.sigma_psi_deg,
                       data.sigma_delta_deg):
            writer.writerow([repr(float(v)) for v in row])


class _Points:
    """The data's points on the grid of distinct wavelengths × distinct angles the engine computes."""

    def __init__(self, data: EllipsometryData) -> None:
        self.wl, self.iw = np.unique(data.wavelength_nm, return_inverse=True)
        angles, self.ia = np.unique(data.angle_deg, return_inverse=True)
        self.theta = np.radians(angles)

    def psi_delta(self, r: ComplexArray) -> Tuple[FloatArray, FloatArray]:
        """Ψ, Δ (degrees) at the points from r (2, A, W)."""
        return psi_delta_from(r[0][self.ia, self.iw], r[1][self.ia, self.iw])


def model(stack: object, wavelength_nm: npt.ArrayLike, angle_deg: npt.ArrayLike) -> Tuple[FloatArray, FloatArray]:
    """Ψ and Δ (degrees) of the stack at points (wavelength nm, angle degrees), broadcast together."""
    wl, angle = np.broadcast_arrays(np.asarray(wavelength_nm, dtype=np.float64), np.asarray(angle_deg, dtype=np.float64))
    size = wl.size
    data = EllipsometryData(wl.ravel(), angle.ravel(), np.zeros(size), np.zeros(size), np.ones(size), np.ones(size))
    points = _Points(data)
    d, n, _, _ = engine_arrays(stack, points.wl)
    r, _ = _engine.amplitudes(d, n, points.wl, points.theta)
    psi, delta = points.psi_delta(r[:, 0])
    return psi.reshape(wl.shape), delta.reshape(wl.shape)


@dataclass(frozen=True, repr=False)
class EllipsometryFit(OptimizeResult):
    """A fit's outcome. ``names`` label ``x``: "d1" for the thickness of layer 1 (nm, layers counted
    from 1, top first), "n2.a" for coefficient a of layer 2's material.

    ``uncertainty`` is the one-sigma error of each parameter, sqrt(diag((JᵀJ)⁻¹)) with the
    residuals scaled by the data's sigmas (inf for a parameter the data cannot determine);
    ``chi2`` is the reduced χ², about 1 when the model explains the data to their noise.
    ``fun`` is ``cost``, ``nit`` the Jacobians evaluated, ``sweeps`` the engine calls (also
    ``engine_calls``; see :mod:`lamina_design.core.results`).
    """

    _aliases = ("engine_calls",)

    stack: object
    names: Tuple[str, ...]
    x: FloatArray
    x0: FloatArray
    uncertainty: FloatArray
    chi2: float
    cost: float
    residuals: FloatArray
    jac: FloatArray
    nfev: int
    njev: int
    engine_calls: int
    success: bool
    message: str
    #: SciPy least_squares' code: ≥ 1 converged, 0 stopped at max_nfev.
    status: int = 1

    @property
    def nit(self) -> int:
        """Iterations: one Jacobian each."""
        return self.njev

    @property
    def sweeps(self) -> int:
        """Native engine calls (``engine_calls``)."""
        return self.engine_calls

    def value(self, name: str) -> float:
        return float(self.x[self.names.index(name)])

    def sigma(self, name: str) -> float:
        return float(self.uncertainty[self.names.index(name)])

    def summary(self) -> str:
        parts = [f"{name} = {v:.6g} ± {s:.2g}" for name, v, s in zip(self.names, self.x, self.uncertainty)]
        return f"reduced chi2 {self.chi2:.3g}: " + ", ".join(parts)


def _with_material(material: Material, values: Mapping[str, float]) -> Material:
    out: Material = dataclasses.replace(material, **values)  # type: ignore[type-var]
    return out


def _index_slope(material: Material, name: str, wl: FloatArray) -> ComplexArray:
    """dn/d(coefficient) of a model on the grid."""
    if isinstance(material, Cauchy):
        lam2 = (wl / 1000.0) ** 2
        power = {"a": 0, "b": 1, "c": 2}[name]
        return (1.0 / lam2**power).astype(np.complex128)
    value = float(getattr(material, name))
    h = 1e-6 * max(abs(value), 1e-3)
    up = _with_material(material, {name: value + h}).index(wl)
    down = _with_material(material, {name: value - h}).index(wl)
    out: ComplexArray = (up - down) / (2.0 * h)
    return out


def fit_ellipsometry(stack: object, data: EllipsometryData, thicknesses: Optional[Sequence[int]] = None,
                     materials: Optional[Mapping[int, Sequence[str]]] = None, *, max_nfev: int = 200,
                     starts: Optional[Sequence[Sequence[float]]] = None) -> EllipsometryFit:
    """Fit thicknesses and material coefficients of the stack's layers to Ψ/Δ data.

    ``thicknesses``: the layers (counted from 1, top first) whose thickness is fitted; all by
    default (all in front of the first incoherent layer, the only ones Ψ and Δ depend on). ``materials``: per layer number, the coefficient names of its material to fit (see
    MATERIAL_PARAMETERS), e.g. ``{1: ("a", "b")}`` for a Cauchy film. ``starts``: alternative
    starting points for the fitted parameters (in the order of the result's ``names``); the fit
    starts from the best of them and the stack's own values.
    """
    layers: Tuple[Layer, ...] = tuple(getattr(stack, "layers"))
    if not layers:
        raise ValueError("the stack has no layers to fit")
    front = len(front_layers(stack))
    chosen = tuple(range(1, front + 1)) if thicknesses is None else tuple(int(i) for i in thicknesses)
    coefficients = {int(k): tuple(v) for k, v in (materials or {}).items()}
    for i in chosen + tuple(coefficients):
        if not 1 <= i <= len(layers):
            raise ValueError(f"layer {i} out of range: the stack has {len(layers)} layers (counted from 1)")
        if i > front:
            raise ValueError(f"layer {i} lies at or behind incoherent layer {front + 1}: Ψ and Δ, the front "
                             "coating's, do not depend on it")
    names: List[str] = [f"d{i}" for i in chosen]
    lower: List[float] = [0.0] * len(chosen)
    x0: List[float] = [layers[i - 1].thickness_nm for i in chosen]
    for i, keys in coefficients.items():
        material = layers[i - 1].material
        allowed = MATERIAL_PARAMETERS.get(type(material))
        if allowed is None:
            raise ValueError(f"layer {i}: the coefficients of a {type(material).__name__} cannot be fitted "
                             f"(only {', '.join(t.__name__ for t in MATERIAL_PARAMETERS)})")
        for key in keys:
            if key not in allowed:
                raise ValueError(f"layer {i}: {type(material).__name__} has no coefficient {key!r}; "
                                 f"choose from {', '.join(allowed)}")
            names.append(f"n{i}.{key}")
            lower.append(-math.inf if isinstance(material, Cauchy) or key == "eps_inf" else 0.0)
            x0.append(float(getattr(material, key)))
    if len(set(names)) != len(names):
        raise ValueError("a parameter is listed twice")
    if data.size < len(names):
        raise ValueError(f"{data.size} points cannot determine {len(names)} parameters")
    points = _Points(data)
    calls = [0]
    known: KnownRows = {}  # the materials not fitted are evaluated once

    def build(x: FloatArray) -> object:
        new = list(layers)
        for k, i in enumerate(chosen):
            new[i - 1] = dataclasses.replace(new[i - 1], thickness_nm=float(x[k]))
        at = len(chosen)
        for i, keys in coefficients.items():
            values = {key: float(x[at + j]) for j, key in enumerate(keys)}
            at += len(keys)
            new[i - 1] = dataclasses.replace(new[i - 1], material=_with_material(new[i - 1].material, values))
        return dataclasses.replace(stack, layers=tuple(new))  # type: ignore[type-var]

    def residuals_of(r: ComplexArray) -> FloatArray:
        psi, delta = points.psi_delta(r)
        wrapped = wrap_degrees(delta - data.delta_deg)
        return np.concatenate([(psi - data.psi_deg) / data.sigma_psi_deg, wrapped / data.sigma_delta_deg])

    last: Dict[bytes, ComplexArray] = {}

    def amplitudes(x: FloatArray) -> ComplexArray:
        key = x.tobytes()
        if key not in last:
            d, n, _, _ = engine_arrays(build(x), points.wl, known=known)
            r, _ = _engine.amplitudes(d, n, points.wl, points.theta)
            calls[0] += 1
            last.clear()
            last[key] = r[:, 0]
        return last[key]

    def fun(x: FloatArray) -> FloatArray:
        return residuals_of(amplitudes(x))

    def jac(x: FloatArray) -> FloatArray:
        model_stack = build(x)
        d, n, _, _ = engine_arrays(model_stack, points.wl, known=known)
        r = amplitudes(x)  # SciPy asks for the Jacobian where it has just evaluated
        derivatives = _engine.amplitude_derivatives(d, n, points.wl, points.theta, indices=bool(coefficients))
        calls[0] += 1
        columns: List[ComplexArray] = [derivatives[0][:, 0, ..., i - 1] for i in chosen]
        for i, keys in coefficients.items():
            material = getattr(model_stack, "layers")[i - 1].material
            for key in keys:
                # Layer i is medium i of the engine's n (medium 0 is the incidence medium).
                columns.append(derivatives[2][:, 0, ..., i] * _index_slope(material, key, points.wl))
        rs, rp = r[0][points.ia, points.iw], r[1][points.ia, points.iw]
        out = np.empty((2 * data.size, len(columns)))
        for k, dr in enumerate(columns):
            d_psi, d_delta = psi_delta_rates(rs, rp, dr[0][points.ia, points.iw], dr[1][points.ia, points.iw])
            out[:data.size, k] = d_psi / data.sigma_psi_deg
            out[data.size:, k] = d_delta / data.sigma_delta_deg
        return out

    start = np.array(x0, dtype=np.float64)
    bounds = (np.array(lower), np.full(len(names), math.inf))
    if starts is not None:
        given = [np.asarray(s, dtype=np.float64) for s in starts]
        for i, s in enumerate(given):
            if s.shape != (len(names),) or not np.all(np.isfinite(s)):
                raise ValueError(f"starts[{i}]: expected {len(names)} finite values ({', '.join(names)}), "
                                 f"got {starts[i]!r}")
        candidates = [start] + [np.maximum(s, bounds[0]) for s in given]
        start = min(candidates, key=lambda x: float(np.sum(fun(x) ** 2)))
    start = np.maximum(start, bounds[0])
    solution = least_squares(fun, start, jac=jac, bounds=bounds, method="trf", max_nfev=max_nfev, x_scale="jac")
    jacobian = np.asarray(solution.jac, dtype=np.float64)
    try:
        sigma = np.sqrt(np.abs(np.diag(np.linalg.inv(jacobian.T @ jacobian))))
    except np.linalg.LinAlgError:
        sigma = np.full(len(names), math.inf)
    residuals = np.asarray(solution.fun, dtype=np.float64)
    dof = max(residuals.size - len(names), 1)
    x = np.asarray(solution.x, dtype=np.float64)
    return EllipsometryFit(build(x), tuple(names), x, np.array(x0, dtype=np.float64), sigma,
                           float(residuals @ residuals) / dof, float(solution.cost), residuals, jacobian,
                           int(solution.nfev), int(solution.njev or 0), calls[0], bool(solution.success),
                           str(solution.message), int(solution.status))
