"""Optical monitoring: the signal a coater watches while the layers grow, and where it cuts them.

Layers are deposited from the substrate (or exit medium) outwards, the last of
:attr:`Stack.layers` first. The monitor sees R or T at its wavelength (one for all layers, or one
per layer), angle and polarisation through the partial stack: the growing layer against the
incidence medium, the finished ones beneath it. Turning points (extrema of the signal) are where
the signal's slope along the growing thickness changes sign; for a lossless layer at normal
incidence they fall at every quarter-wave of optical thickness at the monitor wavelength.

:func:`terminate` plays the coater: each layer is cut by its monitoring rule and then off by a
given termination error, on top of the layers already realised with their errors. With
``strategy="thickness"`` (a crystal or a clock) every error stays in its own layer. With
``strategy="level"`` a layer is cut where the signal reaches the level the design reaches at the
layer's end, passing it the same way (rising or falling), or at a turning point where the design
ends on one (turning-point monitoring); of several such events the one nearest the designed
thickness, as a coater expecting the cut at about that time would take it. The signal then carries the errors of
the layers below into the cut of the next, which is how termination errors propagate, and
partly compensate, in optical monitoring.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, List, Literal, Optional, Sequence

import numpy as np
import numpy.typing as npt

from lamina_design.core import formatting
from lamina_design.core.checks import Layer, check_angles, polarisation_weights
from lamina_design.core.limits import MAX_STEPS, check_count
from lamina_design.materials.base import FloatArray, Material
from lamina_design.optics.stack import Stack
from lamina_design.optics.batch import batch_spectra, coating_batch, coating_indices

__all__ = ["MonitoringCurve", "Termination", "monitoring_curve", "terminate"]

Quantity = Literal["R", "T"]
#: Step of the central difference that gives the signal's slope (nm).
_SLOPE_STEP_NM = 1e-3
#: A turning point this close to a layer's end (nm) is the layer's end.
_END_TOLERANCE_NM = 1e-6
#: The level rule searches at most this many times a layer's steps.
_SEARCH_SPAN = 64


class _Grower:
    """The signal while one layer grows on a given partial stack (layers beneath, outermost first)."""

    def __init__(self, design: Stack, material: Material, beneath: Sequence[Layer], wavelength_nm: float,
                 angle: float, polarisation: Any, quantity: Quantity) -> None:
        self.stack = Stack(design.incidence, (Layer(material, 0.0), *beneath), exit=design.exit,
                           substrate=design.substrate)
        self.rest = self.stack.thicknesses()[1:]
        self.wl = float(wavelength_nm)
        self.angle = angle
        self.polarisation = polarisation
        self.quantity = quantity
        # A bisection asks for one thickness at a time: the indices are evaluated once, here.
        self.grid = np.array([self.wl])
        self.n = coating_indices(self.stack, self.grid) if self.stack.substrate is None else None

    def signal(self, x: npt.ArrayLike) -> FloatArray:
        xs = np.array(x, dtype=np.float64, ndmin=1)
        d = np.empty((xs.size, 1 + self.rest.size))
        d[:, 0] = xs
        d[:, 1:] = self.rest
        if self.n is None:
            r, t = batch_spectra(self.stack, d, self.grid, self.angle, self.polarisation)
        else:
            r, t = coating_batch(self.n, d, self.grid, self.angle, self.polarisation)
        out: FloatArray = (r if self.quantity == "R" else t)[:, 0]
        return out

    def slope(self, x: npt.ArrayLike) -> FloatArray:
        xs = np.array(x, dtype=np.float64, ndmin=1)
        low = np.maximum(xs - _SLOPE_STEP_NM, 0.0)
        high = xs + _SLOPE_STEP_NM
        values = self.signal(np.concatenate([high, low]))
        out: FloatArray = (values[:xs.size] - values[xs.size:]) / (high - low)
        return out

    def turning_points(self, grid: FloatArray) -> FloatArray:
        """Every thickness on (grid[0], grid[-1]] where the slope changes sign, in order."""
        g = self.slope(grid)
        roots = []
        for k in range(grid.size - 1):
            if g[k + 1] == 0.0 and g[k] != 0.0:
                roots.append(float(grid[k + 1]))
            elif g[k] * g[k + 1] < 0:
                roots.append(_bisect(lambda x: float(self.slope(x)[0]), float(grid[k]), float(grid[k + 1]),
                                     float(g[k])))
        return np.array(roots)


def _bisect(f: Callable[[float], float], a: float, b: float, fa: float, iterations: int = 60) -> float:
    """A root of f between a and b, f(a) of the sign given, to the last bits of the bracket."""
    for _ in range(iterations):
        m = 0.5 * (a + b)
        if m <= a or m >= b:
            break
        fm = f(m)
        if fm == 0.0:
            return m
        if (fm < 0) == (fa < 0):
            a, fa = m, fm
        else:
            b = m
    return 0.5 * (a + b)


@formatting.recorded
@dataclass(frozen=True)
class MonitoringCurve:
    """The monitor's signal against the thickness deposited so far.

    ``deposited_nm`` and ``signal`` run through all layers in deposition order; ``layer`` gives,
    at every point, the growing layer's index in :attr:`Stack.layers`. ``ends_nm`` is the
    deposited thickness when each layer (deposition order) is finished, ``turning_nm`` and
    ``turning_signal`` the turning points, ``turning_layer`` their layers.
    """

    stack: Stack
    quantity: str
    wavelength_nm: FloatArray
    angle_rad: float
    polarisation: Any
    deposited_nm: FloatArray
    signal: FloatArray
    layer: npt.NDArray[np.intp]
    ends_nm: FloatArray
    end_signal: FloatArray
    turning_nm: FloatArray
    turning_signal: FloatArray
    turning_layer: npt.NDArray[np.intp]

    def plot(self, ax: Any = None, label: Optional[str] = None, layers: bool = True, **style: Any) -> Any:
        """The curve with layer ends (dotted lines) and turning points (circles); with `layers`,
        each layer's number (its [[layer]] place) and material along the top."""
        if ax is None:
            import matplotlib.pyplot as plt

            ax = plt.figure().add_subplot()
        line = ax.plot(self.deposited_nm, self.signal, label=label, **style)[0]
        for end in self.ends_nm[:-1]:
            ax.axvline(end, color="0.8", linestyle=":", linewidth=0.8)
        if layers:
            self._label_layers(ax)
        ax.plot(self.turning_nm, self.turning_signal, "o", color=line.get_color(), markersize=4)
        waves = np.unique(self.wavelength_nm)
        at = f"{waves[0]:g} nm" if waves.size == 1 else "per-layer wavelengths"
        ax.set_xlabel("deposited thickness (nm)")
        ax.set_ylabel(f"{self.quantity} at {at}")
        return ax

    def _label_layers(self, ax: Any) -> None:
        from matplotlib.transforms import blended_transform_factory

        across = blended_transform_factory(ax.transData, ax.transAxes)
        low, high = ax.get_ylim()
        ax.set_ylim(low, high + 0.12 * (high - low))  # room above the curve for the labels
        middles = 0.5 * (np.concatenate([[0.0], self.ends_nm[:-1]]) + self.ends_nm)
        growing = self.layer[np.minimum(np.searchsorted(self.deposited_nm, middles), self.layer.size - 1)]
        crowded = len(self.ends_nm) > 12  # numbers only: names would overlap
        for middle, i in zip(middles, growing):
            text = str(int(i) + 1) if crowded else f"{int(i) + 1}\n{self.stack.layers[int(i)].material.name}"
            ax.text(middle, 0.98, text, transform=across, ha="center", va="top", fontsize=7, color="0.35")


def _per_layer_wavelengths(stack: Stack, wavelength_nm: npt.ArrayLike) -> FloatArray:
    waves = np.array(wavelength_nm, dtype=np.float64, ndmin=1)
    if waves.size == 1:
        waves = np.full(len(stack.layers), float(waves[0]))
    if waves.shape != (len(stack.layers),):
        raise ValueError(f"give one monitor wavelength or one per layer ({len(stack.layers)}), got {waves.size}")
    if not np.all(np.isfinite(waves) & (waves > 0)):
        raise ValueError("monitor wavelengths must be finite and > 0 nm")
    return waves


def _checked(stack: Stack, quantity: str, steps: int, angle: float, polarisation: Any) -> float:
    if not stack.layers:
        raise ValueError("the stack has no layers to deposit")
    if quantity not in ("R", "T"):
        raise ValueError(f"the monitored quantity must be 'R' or 'T', got {quantity!r}")
    check_count(steps, MAX_STEPS, "steps", least=2)
    polarisation_weights(polarisation)
    return float(check_angles(angle)[0])


def monitoring_curve(stack: Stack, wavelength_nm: npt.ArrayLike, angle: float = 0.0,
                     polarisation: Any = "unpolarised", quantity: Quantity = "T",
                     steps: int = 100, progress: Optional[Callable[[int, int], None]] = None) -> MonitoringCurve:
    """The signal while ``stack``'s layers are deposited, ``steps`` points per layer (at most
    :data:`~lamina_design.core.limits.MAX_STEPS`).

    ``wavelength_nm`` is one monitor wavelength or one per layer (:attr:`Stack.layers` order).
    Each layer's curve is one batched engine call for a coating on a half-infinite medium.
    ``progress(layers done, layers)`` is called after each layer.
    """
    theta = _checked(stack, quantity, steps, angle, polarisation)
    waves = _per_layer_wavelengths(stack, wavelength_nm)
    deposited: List[FloatArray] = []
    signal: List[FloatArray] = []
    owner: List[npt.NDArray[np.intp]] = []
    ends: List[float] = []
    end_signal: List[float] = []
    turning: List[FloatArray] = []
    turning_signal: List[FloatArray] = []
    turning_layer: List[npt.NDArray[np.intp]] = []
    below = 0.0
    for i in range(len(stack.layers) - 1, -1, -1):
        layer = stack.layers[i]
        grower = _Grower(stack, layer.material, stack.layers[i + 1:], waves[i], theta, polarisation, quantity)
        grid = np.linspace(0.0, layer.thickness_nm, steps + 1, dtype=np.float64)
        values = grower.signal(grid)
        roots = _layer_turning_points(grower, grid, layer.thickness_nm)
        deposited.append(below + grid)
        signal.append(values)
        owner.append(np.full(grid.size, i, dtype=np.intp))
        turning.append(below + roots)
        turning_signal.append(grower.signal(roots) if roots.size else np.empty(0))
        turning_layer.append(np.full(roots.size, i, dtype=np.intp))
        below += layer.thickness_nm
        ends.append(below)
        end_signal.append(float(values[-1]))
        if progress is not None:
            progress(len(ends), len(stack.layers))
    return MonitoringCurve(stack, quantity, waves, theta, polarisation, np.concatenate(deposited),
                           np.concatenate(signal), np.concatenate(owner), np.array(ends), np.array(end_signal),
                           np.concatenate(turning), np.concatenate(turning_signal), np.concatenate(turning_layer))


def _layer_turning_points(grower: _Grower, grid: FloatArray, thickness: float) -> FloatArray:
    """Turning points on (0, thickness], one at the end included when the layer ends on one."""
    if thickness <= 0.0:
        return np.empty(0)
    step = grid[1] - grid[0]
    roots = grower.turning_points(np.append(grid, thickness + step))
    kept: FloatArray = roots[roots <= thickness + _END_TOLERANCE_NM]
    return kept


@formatting.recorded
@dataclass(frozen=True)
class Termination:
    """A simulated coating run: the thicknesses the monitoring rule realised, errors included.

    ``cut_nm`` is where the rule stopped each layer before its error was added, ``realised`` the
    stack deposited (thicknesses ``cut_nm + errors_nm``, at least 0); all per layer in
    :attr:`Stack.layers` order. ``curve`` is the realised run's monitoring curve.
    """

    design: Stack
    realised: Stack
    strategy: str
    errors_nm: FloatArray
    cut_nm: FloatArray
    curve: MonitoringCurve

    @property
    def thickness_errors_nm(self) -> FloatArray:
        """Realised minus designed thickness of every layer."""
        out: FloatArray = np.array([a.thickness_nm - b.thickness_nm
                                    for a, b in zip(self.realised.layers, self.design.layers)])
        return out


def terminate(stack: Stack, errors_nm: npt.ArrayLike, wavelength_nm: npt.ArrayLike,
              angle: float = 0.0, polarisation: Any = "unpolarised", quantity: Quantity = "T",
              strategy: Literal["level", "thickness"] = "level", steps: int = 100,
              progress: Optional[Callable[[int, int], None]] = None) -> Termination:
    """Deposit ``stack`` layer by layer, cutting each by ``strategy`` and adding its termination
    error (nm, one per layer in :attr:`Stack.layers` order).

    See the module's note for the two strategies. Where the level is never reached (the errors
    below moved the extremum past it), the layer is cut at the turning point nearest the
    designed thickness instead, as an operator would; where neither comes within 1.5 times the
    designed thickness plus a half-wave, at the designed thickness. ``progress(layers cut,
    layers)`` is called after each layer.
    """
    theta = _checked(stack, quantity, steps, angle, polarisation)
    if strategy not in ("level", "thickness"):
        raise ValueError(f"strategy must be 'level' or 'thickness', got {strategy!r}")
    errors = np.array(errors_nm, dtype=np.float64, ndmin=1)
    if errors.size == 1:
        errors = np.full(len(stack.layers), float(errors[0]))
    if errors.shape != (len(stack.layers),) or not np.all(np.isfinite(errors)):
        raise ValueError(f"give one finite termination error or one per layer ({len(stack.layers)})")
    waves = _per_layer_wavelengths(stack, wavelength_nm)
    realised: List[Layer] = []  # outermost first, as Stack.layers
    cut = np.empty(len(stack.layers))
    for i in range(len(stack.layers) - 1, -1, -1):
        layer = stack.layers[i]
        if strategy == "thickness":
            cut[i] = layer.thickness_nm
        else:
            cut[i] = _level_cut(stack, i, realised, waves[i], theta, polarisation, quantity, steps)
        realised.insert(0, Layer(layer.material, max(cut[i] + errors[i], 0.0)))
        if progress is not None:
            progress(len(realised), len(stack.layers))
    done = Stack(stack.incidence, tuple(realised), exit=stack.exit, substrate=stack.substrate, name=stack.name)
    return Termination(stack, done, strategy, errors, cut,
                       monitoring_curve(done, waves, theta, polarisation, quantity, steps))


def _level_cut(stack: Stack, i: int, realised: Sequence[Layer], wavelength: float, theta: float,
               polarisation: Any, quantity: Quantity, steps: int) -> float:
    """Where the level rule stops layer i growing on the realised layers beneath."""
    layer = stack.layers[i]
    thickness = layer.thickness_nm
    if thickness <= 0.0:
        return 0.0
    design = _Grower(stack, layer.material, stack.layers[i + 1:], wavelength, theta, polarisation, quantity)
    grid = np.linspace(0.0, thickness, steps + 1, dtype=np.float64)
    design_roots = _layer_turning_points(design, grid, thickness)
    on_turning_point = bool(design_roots.size) and design_roots[-1] >= thickness - _END_TOLERANCE_NM
    level = float(design.signal(thickness)[0])
    rising = float(design.slope(thickness)[0]) > 0

    actual = _Grower(stack, layer.material, realised, wavelength, theta, polarisation, quantity)
    n = float(np.real(layer.material.index(np.array([wavelength]))[0]))
    reach = 1.5 * thickness + wavelength / (2.0 * max(n, 1e-3))
    # The design's spacing, but for a layer far thinner than the reach no more than _SEARCH_SPAN
    # layers' worth of points: turning points lie a quarter-wave apart.
    count = min(steps * reach / thickness, float(steps * _SEARCH_SPAN))
    search = np.linspace(0.0, reach, int(math.ceil(count)) + 1, dtype=np.float64)
    roots = actual.turning_points(search)
    if not on_turning_point:
        # Between turning points the signal is monotonic, so with them among the points every
        # crossing of the level lies between two neighbours, even one just short of an extremum.
        points = np.union1d(search, roots)
        offset = actual.signal(points) - level
        crossings = []
        for k in np.nonzero((offset[1:] == 0.0) | (np.sign(offset[:-1]) * np.sign(offset[1:]) < 0))[0]:
            # Only where the signal passes the level the way the design's does at its end.
            if (offset[k + 1] > offset[k]) != rising:
                continue
            crossings.append(float(points[k + 1]) if offset[k + 1] == 0.0 else _bisect(
                lambda x: float(actual.signal(x)[0]) - level, float(points[k]), float(points[k + 1]),
                float(offset[k])))
        if crossings:
            return min(crossings, key=lambda x: abs(x - thickness))
    if roots.size:
        return float(min(roots, key=lambda x: abs(x - thickness)))
    return thickness
