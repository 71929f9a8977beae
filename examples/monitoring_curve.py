"""The optical monitoring curve of a quarter-wave mirror, and what termination errors do to it.

A (HL)³H quarter-wave stack of TiO₂ (n = 2.35) and SiO₂ (1.46) for 600 nm is deposited on glass
while a monitor reads T at 600 nm: every layer ends on a turning point of the signal, the
classic turning-point curve. Every layer is then cut 1.5 nm long and, separately, with random
errors (σ = 2 nm); a crystal monitor (cut by thickness) keeps each error in its own layer, the
optical monitor (cut at the turning point) lets the next layer absorb part of the error beneath
it. The table lists the realised thickness errors of both and the shift of the mirror's centre.

    python examples/monitoring_curve.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

from typing import Any, Literal, Tuple

import numpy as np

from lamina_design.materials import Constant
from lamina_design.monitoring import MonitoringCurve, Termination, monitoring_curve, terminate
from lamina_design.stack import Layer, Stack
from plotting import load_pyplot, parse_args, print_table, save

MONITOR_NM = 600.0
HIGH, LOW = Constant(2.35, "TiO2"), Constant(1.46, "SiO2")


def design() -> Stack:
    layers = tuple(Layer(m, MONITOR_NM / (4 * m.value.real)) for m in [HIGH, LOW] * 3 + [HIGH])
    return Stack(Constant(1.0, "air"), layers, exit=Constant(1.52, "glass"), name="(HL)3H")


STRATEGIES: Tuple[Literal["thickness", "level"], ...] = ("thickness", "level")


def runs(stack: Stack) -> dict[str, Termination]:
    rng = np.random.default_rng(600)
    random_errors = rng.normal(0.0, 2.0, len(stack.layers))
    return {f"{strategy}, {label}": terminate(stack, errors, MONITOR_NM, quantity="T", strategy=strategy)
            for label, errors in (("all +1.5 nm", np.full(len(stack.layers), 1.5)), ("σ = 2 nm", random_errors))
            for strategy in STRATEGIES}


def centre(stack: Stack) -> float:
    """The wavelength of the mirror's lowest transmission near 600 nm."""
    wl = np.linspace(520.0, 680.0, 3201)
    return float(wl[np.argmin(stack.spectrum(wl).t)])


def plot(plt: Any, curve: MonitoringCurve, done: dict[str, Termination]) -> Any:
    fig, (ax_curve, ax_spec) = plt.subplots(1, 2, figsize=(11, 4.2), gridspec_kw={"wspace": 0.25})
    curve.plot(ax_curve, label="design", color="black")
    done["level, σ = 2 nm"].curve.plot(ax_curve, label="cut at turning points, σ = 2 nm", layers=False,
                                       color="tab:red", lw=0.9)
    ax_curve.set_title("T at 600 nm while (HL)³H grows; circles: turning points")
    ax_curve.legend(frameon=False, loc="lower left")
    wl = np.linspace(450.0, 800.0, 701)
    ax_spec.plot(wl, curve.stack.spectrum(wl).t, color="black", label="design")
    for name, colour in (("thickness, σ = 2 nm", "tab:blue"), ("level, σ = 2 nm", "tab:red")):
        ax_spec.plot(wl, done[name].realised.spectrum(wl).t, color=colour, lw=1.0, label=name)
    ax_spec.set_xlabel("wavelength (nm)")
    ax_spec.set_ylabel("T")
    ax_spec.set_title("the realised mirrors")
    ax_spec.legend(frameon=False)
    return fig


def main() -> None:
    args = parse_args("Monitoring curve of a quarter-wave stack and its termination errors.")
    stack = design()
    curve = monitoring_curve(stack, MONITOR_NM, quantity="T", steps=120)
    print(f"{curve.turning_nm.size} turning points for {len(stack.layers)} layers, at the layer ends: "
          f"{np.allclose(curve.turning_nm, curve.ends_nm, atol=1e-6)}")
    done = runs(stack)
    rows = [[name, " ".join(f"{e:+.2f}" for e in run.thickness_errors_nm), f"{centre(run.realised) - 600:+.2f}"]
            for name, run in done.items()]
    print_table(["cut by, errors", "realised errors per layer (nm, air side first)", "centre shift (nm)"], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, curve, done), args, "monitoring_curve.png")


if __name__ == "__main__":
    main()
