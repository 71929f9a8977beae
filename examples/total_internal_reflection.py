"""Total internal reflection inside N-BK7 glass, and its frustration by a second prism.

Light inside glass (n ≈ 1.515 at 633 nm) meeting glass/air is totally reflected beyond the
critical angle arcsin(1/n) ≈ 41.3°. The field then decays evanescently into the air; put a
second glass block a fraction of a wavelength away and part of the light tunnels across the gap
(frustrated TIR, the optical analogue of quantum tunnelling), less the wider the gap.

The angle is the outer loop here: one DataPy per angle of incidence, at one wavelength.

    python examples/total_internal_reflection.py [--out DIR]
"""

from __future__ import annotations

import math
from typing import Any, Optional, Sequence

import numpy as np

import lamina
from materials import FloatArray, bk7, stack_indices
from plotting import load_pyplot, parse_args, print_table, save

WAVELENGTH_NM = 633.0
GAPS_NM = [100.0, 250.0, 500.0]
ANGLES_DEG = np.linspace(0.0, 89.5, 359, dtype=np.float64)  # 0.25° steps
S, P = 0.0, math.pi / 2


def glass_index() -> float:
    return float(bk7(np.array([WAVELENGTH_NM]))[0].real)


def versus_angle(gap_nm: Optional[float], phi: float, angles_deg: FloatArray = ANGLES_DEG) -> tuple[FloatArray, FloatArray]:
    """R and T versus angle inside the glass: glass/air when `gap_nm` is None, else glass/air gap/glass."""
    wl = np.array([WAVELENGTH_NM])
    media: list[complex | float] = [glass_index(), 1.0] if gap_nm is None else [glass_index(), 1.0, glass_index()]
    n = stack_indices(wl, media)
    d = np.array([] if gap_nm is None else [gap_nm])
    r, t = np.empty(len(angles_deg)), np.empty(len(angles_deg))
    for i, angle in enumerate(angles_deg):
        result = lamina.DataPy(d, n, wl, math.radians(angle), phi).simulate()
        r[i], t[i] = result.r[0], result.t[0]
    return r, t


def plot(plt: Any, bare: dict[str, FloatArray], frustrated: dict[float, dict[str, FloatArray]]) -> Any:
    n_glass = glass_index()
    critical = math.degrees(math.asin(1.0 / n_glass))
    brewster = math.degrees(math.atan(1.0 / n_glass))
    fig, (ax_r, ax_t) = plt.subplots(1, 2, figsize=(11, 4.2), sharex=True)
    ax_r.plot(ANGLES_DEG, bare["s"], color="#1f4e79", lw=1.8, label="s")
    ax_r.plot(ANGLES_DEG, bare["p"], color="#c0504d", lw=1.8, label="p")
    ax_r.axvline(critical, color="0.4", ls=":", lw=1)
    ax_r.annotate(f"critical {critical:.1f}°", (critical + 1, 0.55), color="0.3")
    ax_r.annotate(f"Brewster {brewster:.1f}°", (brewster, 0.0), xytext=(brewster - 22, 0.25), color="0.3",
                  arrowprops={"arrowstyle": "->", "color": "0.5"})
    ax_r.set(ylabel="reflectance R", title=f"Glass → air, {WAVELENGTH_NM:.0f} nm", ylim=(-0.02, 1.04))
    ax_r.legend(frameon=False, loc="center left")
    colours = ["#1f4e79", "#4f81bd", "#95b3d7"]
    for colour, gap in zip(colours, GAPS_NM):
        ax_t.plot(ANGLES_DEG, frustrated[gap]["s"], color=colour, lw=1.8, label=f"{gap:.0f} nm, s")
        ax_t.plot(ANGLES_DEG, frustrated[gap]["p"], color=colour, lw=1.2, ls="--", label=f"{gap:.0f} nm, p")
    ax_t.axvline(critical, color="0.4", ls=":", lw=1)
    ax_t.set(ylabel="transmittance T", title="Glass / air gap / glass: frustrated TIR", ylim=(-0.02, 1.04))
    ax_t.legend(frameon=False, ncol=1, loc="lower left", fontsize=9)
    for ax in (ax_r, ax_t):
        ax.set_xlabel("angle of incidence in the glass (°)")
        ax.set_xlim(0, 90)
        ax.grid(alpha=0.3)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    bare = {"s": versus_angle(None, S)[0], "p": versus_angle(None, P)[0]}
    frustrated = {gap: {"s": versus_angle(gap, S)[1], "p": versus_angle(gap, P)[1]} for gap in GAPS_NM}
    n_glass = glass_index()
    print(f"N-BK7 n = {n_glass:.4f} at {WAVELENGTH_NM:.0f} nm: critical angle "
          f"{math.degrees(math.asin(1 / n_glass)):.2f}°, Brewster angle {math.degrees(math.atan(1 / n_glass)):.2f}°")
    probe = [30.0, 45.0, 60.0]
    columns = [int(np.argmin(abs(ANGLES_DEG - a))) for a in probe]
    rows = [["glass/air R_s", *(f"{bare['s'][c]:.4f}" for c in columns)]]
    rows += [[f"gap {gap:.0f} nm T_s", *(f"{frustrated[gap]['s'][c]:.4f}" for c in columns)] for gap in GAPS_NM]
    print_table(["", *(f"{ANGLES_DEG[c]:.1f}°" for c in columns)], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, bare, frustrated), args, "total_internal_reflection.png")


if __name__ == "__main__":
    main()
