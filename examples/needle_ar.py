"""Needle synthesis of a broadband AR coating: Ta₂O₅/SiO₂ on N-BK7, R < 1 % wanted over 420–680 nm.

Nobody gives the design: the synthesis starts from one 100 nm SiO₂ layer, finds where a thin
"needle" of Ta₂O₅ or SiO₂ would lower the merit most (the needle function, from the exact
derivative of R for a layer inserted at every depth), inserts it, refines every thickness with
the exact Jacobian and repeats, within 12 layers and 700 nm, until no needle lowers the merit.
Layers that thin away are removed. Needles alone rarely add much thickness: gradual evolution
(lamina_design.synthesis.gradual_evolution), which grows the design a layer at a time, goes
further (benchmarks/synthesis.py). The plot shows the merit against the total thickness after
every step, and the final spectrum.

    python examples/needle_ar.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import numpy as np

from lamina_design import materials, merit
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.synthesis import SynthesisResult, needle
from plotting import load_pyplot, parse_args, print_table, save

BAND = (420.0, 680.0)
TARGET = Target("R", np.linspace(BAND[0], BAND[1], 53, dtype=np.float64), 0.0, 0.01)
WAVELENGTHS = np.linspace(380.0, 760.0, 381, dtype=np.float64)
MAX_LAYERS = 12
MAX_TOTAL_NM = 700.0

AIR = materials.Constant(1.0, "air")


def synthesise() -> tuple[Stack, SynthesisResult]:
    high, low, glass = materials.get("Ta2O5"), materials.get("SiO2"), materials.get("N-BK7")
    start = Stack(AIR, (Layer(low, 100.0),), exit=glass)
    result = needle(start, [TARGET], [high, low], max_layers=MAX_LAYERS, max_total_nm=MAX_TOTAL_NM,
                    executor="serial")
    return Stack(AIR, (), exit=glass), result


def plot(plt: Any, bare: Stack, result: SynthesisResult) -> Any:
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.2))
    left.plot(result.total_nm, result.merits, "o-", color="#1f4e79")
    for step in result.steps:
        left.annotate(str(step.layers), (step.total_nm, step.merit), textcoords="offset points", xytext=(4, 4),
                      fontsize=8)
    left.set_yscale("log")
    left.set_xlabel("total thickness (nm)")
    left.set_ylabel("merit (rms of R / 1 %)")
    left.set_title("needle steps (labels: layers)")
    left.grid(alpha=0.3, which="both")
    wl = WAVELENGTHS
    right.axvspan(*BAND, color="#1f4e79", alpha=0.07, lw=0)
    right.plot(wl, 100 * bare.spectrum(wl).r, color="0.5", lw=1.4, label="bare N-BK7")
    right.plot(wl, 100 * result.stack.spectrum(wl).r, color="#1f4e79", lw=1.6,
               label=f"{len(result.stack.layers)} layers")
    right.set_xlabel("wavelength (nm)")
    right.set_ylabel("reflectance of one face (%)")
    right.set_ylim(0, 6)
    right.set_title("final design, normal incidence")
    right.grid(alpha=0.3)
    right.legend(frameon=False)
    fig.tight_layout()
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    bare, result = synthesise()
    print(f"Ta2O5/SiO2 on N-BK7, R target 0 ± 1 % over {BAND[0]:.0f}-{BAND[1]:.0f} nm, "
          f"at most {MAX_LAYERS} layers and {MAX_TOTAL_NM:.0f} nm")
    print_table(["step", "kind", "layers", "total nm", "merit", "engine sweeps"],
                [[str(i), s.kind, str(s.layers), f"{s.total_nm:.1f}", f"{s.merit:.4f}", str(s.sweeps)]
                 for i, s in enumerate(result.steps)])
    band = (WAVELENGTHS >= BAND[0]) & (WAVELENGTHS <= BAND[1])
    r = result.stack.spectrum(WAVELENGTHS).r
    print(f"\nmean R {100 * merit.band_mean(WAVELENGTHS, r, *BAND):.3f} %, max R {100 * float(r[band].max()):.3f} % "
          f"in the band; {result.summary()}")
    print("\nfinal design, from the air side (nm):")
    print_table(["layer", "material", "thickness"],
                [[str(i + 1), layer.material.name, f"{layer.thickness_nm:.1f}"]
                 for i, layer in enumerate(result.stack.layers)])
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, bare, result), args, "needle_ar.png")


if __name__ == "__main__":
    main()
