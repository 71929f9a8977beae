"""Fit a dispersion model to a measured n, k table: `fit_model(table, "cauchy")` and the like.

A linearly interpolated table gives no usable GDD (its second derivative is zero between rows
and a spike at each); a fitted model is smooth. The residual says how well it holds the data.
"""
from __future__ import annotations

import difflib
import math
from typing import Callable, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from lamina_design.materials.base import HC_EV_NM, FloatArray, Material, MaterialError
from lamina_design.materials.models import Cauchy, Sellmeier, TaucLorentz
from lamina_design.materials.spline import Spline, least_squares, spline_basis, transparent_from
from lamina_design.materials.tabulated import Tabulated

__all__ = ["Fit", "MODELS", "fit_model", "adaptive_knots"]

#: The models `fit_model` knows, with the fewest table rows each needs.
MODELS = {"cauchy": 3, "sellmeier": 4, "tauc-lorentz": 5, "spline": 2}

Table = Union[Tabulated, Sequence[npt.ArrayLike], npt.NDArray[np.float64]]


class Fit(NamedTuple):
    """A fitted material and the largest misfit to the table's n and k."""

    material: Material
    max_dn: float
    max_dk: float


def _model_name(model: str) -> str:
    if not isinstance(model, str):
        raise MaterialError(f"fit_model: model must be a name such as 'cauchy', got {model!r}")
    key = model.strip().lower().replace("_", "-").replace(" ", "-").replace("–", "-")
    if key in ("tauclorentz", "tl"):
        key = "tauc-lorentz"
    if key not in MODELS:
        close = difflib.get_close_matches(key, list(MODELS), n=2, cutoff=0.5)
        hint = f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""
        raise MaterialError(f"fit_model: model {model!r} is unknown{hint} Known models: {', '.join(MODELS)}")
    return key


def _table(table: Table) -> Tuple[FloatArray, FloatArray, FloatArray, str]:
    """(wavelength nm, n, k, name), sorted by wavelength; k = 0 when the table has none."""
    if isinstance(table, Tabulated):
        return (np.array(table.wavelength_nm), np.array(table.n), np.array(table.k), table.name)
    if isinstance(table, np.ndarray) and table.ndim == 2 and table.shape[1] in (2, 3):
        table = [table[:, i] for i in range(table.shape[1])]  # rows of (wavelength, n[, k])
    try:
        columns = [np.asarray(c, dtype=np.float64).ravel() for c in table]
    except (TypeError, ValueError) as exc:
        raise MaterialError(f"fit_model: table is not numbers ({exc}); give (wavelength_nm, n, k)") from None
    if len(columns) not in (2, 3):
        raise MaterialError(f"fit_model: table needs 2 or 3 columns (wavelength_nm, n, k), got {len(columns)}")
    if len(columns) == 2:
        columns.append(np.zeros_like(columns[0]))
    wl, n, k = columns
    if not (wl.size == n.size == k.size):
        raise MaterialError(f"fit_model: table columns differ in length ({wl.size}, {n.size}, {k.size})")
    if not all(np.all(np.isfinite(c)) for c in columns):
        raise MaterialError("fit_model: table holds a value that is not finite")
    if np.any(wl <= 0.0):
        raise MaterialError("fit_model: table wavelengths must be > 0 nm")
    order = np.argsort(wl, kind="stable")
    wl, n, k = wl[order], n[order], k[order]
    if np.any(np.diff(wl) == 0.0):
        raise MaterialError("fit_model: the table repeats a wavelength")
    return wl, n, k, "fitted"


def fit_model(table: Table, model: str, name: Optional[str] = None, tolerance: float = 1e-4) -> Fit:
    """Fit `model` to a table of (wavelength in nm, n, k) rows; returns the material and its residual.

    `table` is a Tabulated material, (wavelength_nm, n, k) or (wavelength_nm, n) columns, or an
    (N, 2|3) array. Models:

    - "cauchy": n = A + B/λ² + C/λ⁴ (λ in µm), transparent (k is not fitted);
    - "sellmeier": n² = 1 + Σ Bᵢλ²/(λ² − Cᵢ) with a UV and an infrared term, transparent;
    - "tauc-lorentz": one Jellison–Modine oscillator, n and k together (the table must absorb
      somewhere, to place the gap);
    - "spline": natural cubic splines of n and k in photon energy with as few knots as keep both
      within `tolerance` (0: through every row).

    The fitted material is valid over the table's wavelengths. The residual is the largest
    |Δn| and |Δk| over the rows (k of a transparent model is 0).
    """
    key = _model_name(model)
    wl, n, k, label = _table(table)
    label = name if name is not None else label
    if wl.size < MODELS[key]:
        raise MaterialError(
            f"fit_model: a {key} fit needs at least {MODELS[key]} table rows, the table has {wl.size}"
        )
    valid = (float(wl[0]), float(wl[-1]))
    material: Material
    if key == "cauchy":
        lam2 = (wl / 1000.0) ** 2
        design = np.stack([np.ones_like(lam2), 1.0 / lam2, 1.0 / lam2**2], axis=1)
        (a, b, c), *_ = np.linalg.lstsq(design, n, rcond=None)
        material = Cauchy(float(a), float(b), float(c), label, valid)
    elif key == "sellmeier":
        material = _fit_sellmeier(wl, n, label, valid)
    elif key == "tauc-lorentz":
        material = _fit_tauc_lorentz(wl, n, k, label, valid)
    else:
        if not (math.isfinite(tolerance) and tolerance >= 0.0):
            raise MaterialError(f"fit_model: tolerance must be ≥ 0, got {tolerance!r}")
        if tolerance == 0.0 or wl.size < 4:
            material = Spline.through(wl, n, k, label)
        else:
            material = Spline(*_spline_values(wl, n, k, adaptive_knots(wl, n, k, tolerance)), label, valid, "",
                              transparent_from(wl, k))
    fitted = material.index(wl)
    return Fit(material, float(np.max(np.abs(fitted.real - n))), float(np.max(np.abs(fitted.imag - k))))


def _spline_values(wl: FloatArray, n: FloatArray, k: FloatArray,
                   knots: FloatArray) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """Knot energies and the least-squares n and k values there."""
    return (knots, *least_squares(knots, wl, n, k))


def adaptive_knots(wl: FloatArray, n: FloatArray, k: FloatArray, tolerance: float) -> FloatArray:
    """Knot energies (eV) for a least-squares spline of the table within `tolerance` in n and k.

    Starts from 6 even knots and halves the worst interval holding at least 4 rows until every
    row is within `tolerance`, or no such interval is left: a kink between two rows (a detector
    change, say) is not chased into a spike of curvature.
    """
    e = HC_EV_NM / wl
    values = np.stack([n, k], axis=1)
    knots = np.linspace(float(e.min()), float(e.max()), min(6, e.size))
    while True:
        basis = spline_basis(knots, e)
        solution, *_ = np.linalg.lstsq(basis, values, rcond=None)
        misfit = np.abs(basis @ solution - values).max(axis=1)
        interval = np.clip(np.searchsorted(knots, e) - 1, 0, knots.size - 2)
        rows = np.bincount(interval, minlength=knots.size - 1)
        worst = np.zeros(knots.size - 1)
        np.maximum.at(worst, interval, misfit)
        worst[rows < 4] = 0.0
        j = int(np.argmax(worst))
        if worst[j] <= tolerance:
            return knots
        knots = np.sort(np.append(knots, 0.5 * (knots[j] + knots[j + 1])))


def _fit_sellmeier(wl: FloatArray, n: FloatArray, name: str, valid: Tuple[float, float]) -> Sellmeier:
    """Two poles, one below and one above the table; their strengths are linear, so only the
    poles are searched (on a log grid, then a finer one around the best)."""
    lam2 = (wl / 1000.0) ** 2
    target = n**2 - 1.0
    shortest, longest = float(lam2.min()), float(lam2.max())

    def solve(c_uv: float, c_ir: float) -> Tuple[float, FloatArray]:
        design = np.stack([lam2 / (lam2 - c_uv), lam2 / (lam2 - c_ir)], axis=1)
        solution, *_ = np.linalg.lstsq(design, target, rcond=None)
        strengths = np.asarray(solution, dtype=np.float64)
        return float(np.max(np.abs(design @ strengths - target))), strengths

    uv = np.geomspace(1e-4, 0.8 * shortest, 40)
    ir = np.geomspace(1.25 * longest, 1e4, 40)
    best = min(((solve(a, b)[0], a, b) for a in uv for b in ir))
    for _ in range(3):
        _, a0, b0 = best
        uv = np.geomspace(max(1e-5, a0 / 1.5), min(0.8 * shortest, a0 * 1.5), 15)
        ir = np.geomspace(max(1.25 * longest, b0 / 1.5), b0 * 1.5, 15)
        best = min([best, *((solve(a, b)[0], a, b) for a in uv for b in ir)])
    _, c_uv, c_ir = best
    strengths = solve(c_uv, c_ir)[1]
    return Sellmeier(((float(strengths[0]), c_uv), (float(strengths[1]), c_ir)), name, valid)


def _levenberg_marquardt(residual: Callable[[FloatArray], FloatArray], start: FloatArray,
                         iterations: int = 200) -> Tuple[FloatArray, float]:
    """Least squares by Levenberg–Marquardt with a forward-difference Jacobian."""
    x = start.astype(np.float64)
    r = residual(x)
    cost = float(r @ r)
    damping = 1e-3
    for _ in range(iterations):
        jac = np.empty((r.size, x.size))
        for i in range(x.size):
            step = 1e-7 * max(1.0, abs(x[i]))
            shifted = x.copy()
            shifted[i] += step
            jac[:, i] = (residual(shifted) - r) / step
        normal = jac.T @ jac
        gradient = jac.T @ r
        improved = False
        while damping < 1e10:
            try:
                delta = np.linalg.solve(normal + damping * np.diag(np.diag(normal) + 1e-12), -gradient)
            except np.linalg.LinAlgError:
                damping *= 10.0
                continue
            trial = x + delta
            r_trial = residual(trial)
            cost_trial = float(r_trial @ r_trial)
            if cost_trial < cost:
                done = cost - cost_trial <= 1e-14 * max(cost, 1e-30)
                x, r, cost = trial, r_trial, cost_trial
                damping = max(damping / 10.0, 1e-12)
                improved = True
                break
            damping *= 10.0
        if not improved or done:
            break
    return x, cost


def _fit_tauc_lorentz(wl: FloatArray, n: FloatArray, k: FloatArray, name: str,
                      valid: Tuple[float, float]) -> TaucLorentz:
    if not np.any(k > 0.0):
        raise MaterialError(
            f"fit_model: a tauc-lorentz fit needs absorption (k > 0) in the table to place the gap; "
            f"{name!r} has k = 0 everywhere: fit 'cauchy' or 'sellmeier'"
        )
    e = HC_EV_NM / wl
    absorbing = k > 1e-3 * float(k.max())
    gap0 = float(e[absorbing].min()) * 0.95

    def unpack(p: FloatArray) -> Tuple[float, float, float, float, float]:
        # Positive A, E0 and Eg, and 0 < C < 2·E0, whatever the search tries.
        centre = math.exp(p[1])
        return (math.exp(p[0]), centre, 2.0 * centre / (1.0 + math.exp(-p[2])), math.exp(p[3]), float(p[4]))

    def residual(p: FloatArray) -> FloatArray:
        try:
            index = TaucLorentz(*unpack(p), name=name).index(wl)
        except (MaterialError, OverflowError, ValueError):
            return np.full(2 * wl.size, 1e3)
        out: FloatArray = np.concatenate([index.real - n, index.imag - k])
        return out if np.all(np.isfinite(out)) else np.full(2 * wl.size, 1e3)

    best: Optional[Tuple[float, FloatArray]] = None
    for centre_above in (1.0, 2.5):
        for amplitude in (50.0, 200.0):
            centre = gap0 + centre_above
            start = np.array([math.log(amplitude), math.log(centre), math.log(1.5 / (2.0 * centre - 1.5)),
                              math.log(gap0), max(1.0, float(np.min(n)) ** 2 - 1.0)])
            x, cost = _levenberg_marquardt(residual, start)
            if best is None or cost < best[0]:
                best = (cost, x)
    assert best is not None
    return TaucLorentz(*unpack(best[1]), name=name, valid_nm=valid)
