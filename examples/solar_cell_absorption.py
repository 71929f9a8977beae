"""Where the light goes in a thin-film solar cell: absorption per layer and the field inside.

Light enters through a 1 mm glass superstrate (an incoherent layer: its fringes are far too
fine for any real source to resolve), crosses an 80 nm ITO front contact, and is absorbed in a
300 nm amorphous-silicon layer backed by a silver contact that sends what is left back through
it. The a-Si is a Tauc–Lorentz medium (gap 1.2 eV, so it stops absorbing beyond about 1030 nm);
ITO and silver come from the package's catalogue. Every photon is accounted for: reflected,
absorbed in one of the layers (the glass included), or transmitted, R + T + ΣA = 1.

The field plot shows the standing wave that the silver mirror sets up in the absorber at a
weakly absorbed red wavelength, with the layers' boundaries marked.

    python examples/solar_cell_absorption.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import numpy as np

from lamina_design import Layer, Stack
from lamina_design.fields import Absorption, Field
from lamina_design.materials import Constant, TaucLorentz, get
from plotting import load_pyplot, parse_args, print_table, save

GLASS = Constant(1.52 + 2e-8j, "glass")
ITO = get("ITO")
#: Amorphous silicon: Jellison and Modine's Tauc–Lorentz parameters (eV).
A_SI = TaucLorentz(122.0, 3.45, 2.54, 1.20, 1.15, name="a-Si")
SILVER = get("Ag")
GLASS_NM, ITO_NM, ABSORBER_NM, SILVER_NM = 1e6, 80.0, 300.0, 150.0
WAVELENGTHS = np.linspace(350.0, 1000.0, 261)
FIELD_NM = 700.0


def cell(absorber_nm: float = ABSORBER_NM) -> Stack:
    """Air | glass (incoherent) | ITO | a-Si | Ag | air."""
    return Stack(
        layers=(Layer(GLASS, GLASS_NM, coherent=False), Layer(ITO, ITO_NM), Layer(A_SI, absorber_nm),
                Layer(SILVER, SILVER_NM)),
        exit=Constant(1.0, "air"),
        name="a-Si cell",
    )


def absorption(stack: Optional[Stack] = None) -> Absorption:
    """R, T and each layer's share of the incident power, unpolarised at normal incidence."""
    return (stack or cell()).absorption(WAVELENGTHS)


def field(stack: Optional[Stack] = None, wavelength_nm: float = FIELD_NM) -> Field:
    """|E|² from 150 nm inside the glass to 50 nm beyond the silver."""
    front = GLASS_NM - 150.0
    depth = np.linspace(front, GLASS_NM + ITO_NM + ABSORBER_NM + SILVER_NM + 50.0, 1201)
    return (stack or cell()).field(depth, [wavelength_nm])


def plot(plt: Any, result: Absorption, profile: Field) -> Any:
    fig, (ax_a, ax_e) = plt.subplots(1, 2, figsize=(12, 4.3))
    ax_a.stackplot(WAVELENGTHS, *result.layers, result.r, result.t,
                   labels=[*result.labels, "reflected", "transmitted"],
                   colors=["#d9d9d9", "#8cb4d9", "#b5542f", "#7f7f7f", "#f2e394", "#2a6f4e"])
    ax_a.set(xlabel="wavelength (nm)", ylabel="fraction of incident power", xlim=(WAVELENGTHS[0], WAVELENGTHS[-1]),
             ylim=(0.0, 1.0), title="Where the light goes (normal incidence, unpolarised)")
    ax_a.legend(fontsize=8, loc="lower left", framealpha=0.9)
    profile.plot(ax_e, origin_nm=GLASS_NM)
    ax_e.set_xlabel("depth behind the glass (nm)")
    ax_e.grid(alpha=0.3)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    result = absorption()
    absorber = result.labels.index("a-Si")
    rows = []
    for wl in (400.0, 500.0, 600.0, 700.0, 800.0, 900.0):
        i = int(np.argmin(abs(WAVELENGTHS - wl)))
        balance = result.r[i] + result.t[i] + result.total[i]
        rows.append([f"{WAVELENGTHS[i]:.0f}", f"{result.r[i]:.3f}", *(f"{a:.3f}" for a in result.layers[:, i]),
                     f"{result.t[i]:.1e}", f"{balance - 1:+.0e}"])
    print(f"{cell().name}: 1 mm glass, {ITO_NM:.0f} nm ITO, {ABSORBER_NM:.0f} nm a-Si, {SILVER_NM:.0f} nm Ag")
    print_table(["λ (nm)", "R", "A glass", "A ITO", "A a-Si", "A Ag", "T", "R+T+ΣA−1"], rows)
    print(f"mean absorbed in the a-Si over {WAVELENGTHS[0]:.0f}–{WAVELENGTHS[-1]:.0f} nm: "
          f"{result.layers[absorber].mean():.3f}")
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, result, field()), args, "solar_cell_absorption.png")


if __name__ == "__main__":
    main()
