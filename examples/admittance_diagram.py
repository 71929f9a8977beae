"""Admittance diagrams of three antireflection coatings on N-BK7 at 550 nm, and their colours.

Every quarter wave of index n carries the admittance behind it, Y, to n²/Y along a half circle
centred on the real axis; a half wave goes once round and changes nothing at its own
wavelength. A single MgF₂ quarter ends at n_MgF₂²/n_glass ≈ 1.25, short of the air's 1
(R ≈ 1.25 %); a quarter of Al₂O₃ beneath it first raises Y to n_Al₂O₃²/n_glass ≈ 2.06, so the
MgF₂ quarter ends at n_MgF₂²·n_glass/n_Al₂O₃² ≈ 0.92 (R ≈ 0.17 %) but the reflectance climbs
to 2.8 % at the band's edge; a half wave of TiO₂ between the two (quarter-half-quarter) leaves
that end unchanged and keeps the whole of 450–650 nm below 0.9 %. The swatches show the
reflected colour of each coating under D65.

    python examples/admittance_diagram.py [--out DIR]
"""

from __future__ import annotations

from typing import Any, Dict

import numpy as np

from lamina_design import materials
from lamina_design.optics.admittance import admittance_locus
from lamina_design.stack import Layer, Stack
from plotting import load_pyplot, parse_args, print_table, save

DESIGN_NM = 550.0
AIR = materials.Constant(1.0, "air")
GLASS = materials.get("N-BK7")
MGF2 = materials.get("MgF2")
AL2O3 = materials.get("Al2O3")
TIO2 = materials.get("TiO2")


def index(material: materials.Material) -> float:
    return float(material.index(np.array([DESIGN_NM]))[0].real)


def quarter(material: materials.Material, waves: float = 0.25) -> Layer:
    return Layer(material, waves * DESIGN_NM / index(material))


COATINGS: Dict[str, Stack] = {
    "MgF2 quarter": Stack(AIR, (quarter(MGF2),), exit=GLASS, name="MgF2 quarter"),
    "quarter-quarter": Stack(AIR, (quarter(MGF2), quarter(AL2O3)), exit=GLASS, name="quarter-quarter"),
    "quarter-half-quarter": Stack(AIR, (quarter(MGF2), quarter(TIO2, 0.5), quarter(AL2O3)), exit=GLASS,
                                  name="quarter-half-quarter"),
}

#: The admittance each coating ends at, in closed form from the indices at DESIGN_NM.
CLOSED_FORMS = {
    "MgF2 quarter": lambda: index(MGF2) ** 2 / index(GLASS),
    "quarter-quarter": lambda: index(MGF2) ** 2 * index(GLASS) / index(AL2O3) ** 2,
    "quarter-half-quarter": lambda: index(MGF2) ** 2 * index(GLASS) / index(AL2O3) ** 2,
}


def plot(plt: Any) -> Any:
    from lamina_design.plotting import plot_admittance, plot_swatches

    fig, axes = plt.subplots(1, 4, figsize=(17, 4.4), gridspec_kw={"width_ratios": [1, 1, 1, 0.8]})
    for ax, (name, stack) in zip(axes, COATINGS.items()):
        plot_admittance(stack, DESIGN_NM, ax=ax, circles=[0.01, 0.04, 0.1])
        ax.set_title(f"{name}, {DESIGN_NM:g} nm", fontsize=9)
    plot_swatches(list(COATINGS.values()), axes[3], quantities=["R"])
    fig.tight_layout()
    return fig


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    band = np.linspace(450.0, 650.0, 201)
    rows = []
    for name, stack in COATINGS.items():
        locus = admittance_locus(stack, DESIGN_NM)
        r_band = stack.spectrum(band).r
        rows.append([name, f"{locus.admittance.real:.4f}", f"{CLOSED_FORMS[name]():.4f}",
                     f"{100 * locus.reflectance:.3f}", f"{100 * r_band.mean():.3f}", f"{100 * r_band.max():.3f}"])
    print_table(["coating", "Y at 550 nm", "closed form", "R (%)", "mean R 450-650 (%)", "max R (%)"], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt), args, "admittance_diagram.png")


if __name__ == "__main__":
    main()
