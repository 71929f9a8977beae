"""Optical quantities of a stack: spectra, thick substrates and incoherent layers, fields inside,
phases, Ψ and Δ, group delay and GDD, batches of spectra, the admittance locus and the index
profile.

The names of the phase module (``lamina_design.optics`` before it became this folder) are
answered here too, on first use, so that importing a stack does not load the native engine.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from lamina_design.optics.phase import (
        C_NM_PER_FS as C_NM_PER_FS,
        PhaseSpectrum as PhaseSpectrum,
        coherent_media as coherent_media,
        engine_arrays as engine_arrays,
        front_layers as front_layers,
        phase_spectrum as phase_spectrum,
        psi_delta as psi_delta,
    )

_PHASE = ("C_NM_PER_FS", "PhaseSpectrum", "coherent_media", "engine_arrays", "front_layers", "phase_spectrum",
          "psi_delta")


def __getattr__(name: str) -> Any:
    if name in _PHASE:
        from lamina_design.optics import phase

        return getattr(phase, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_PHASE))
