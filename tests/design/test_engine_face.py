"""lamina_design.engine is the native _engine's public face: the same functions, documented."""

from __future__ import annotations

import inspect

from lamina_design import _engine, engine


def test_every_native_function_is_the_same_object_under_engine():
    native = {name for name in dir(_engine) if not name.startswith("_")}
    assert native and native == set(engine.__all__)
    for name in native:
        assert getattr(engine, name) is getattr(_engine, name), name


def test_the_docstring_names_the_output_arguments_of_each_function():
    doc = inspect.getdoc(engine) or ""
    for name in engine.__all__:
        assert f":func:`{name}`" in doc, name
    # Every function takes preallocated outputs, and says so in its signature.
    outputs_of = {"amplitudes": ("r=", "t="), "spectra": ("R=", "T="), "transmittance": ("out=",),
                  "ellipsometry": ("psi=", "delta="), "fields": ("out=",), "absorbed": ("out=",),
                  "polarised_spectra": ("R=", "T="), "amplitude_derivatives": ("out=",),
                  "power_jacobian": ("out=",), "wavenumber_derivatives": ("out=",)}
    assert set(outputs_of) == set(engine.__all__)
    for name, outputs in outputs_of.items():
        signature = (getattr(_engine, name).__doc__ or "").splitlines()[0]
        for keyword in outputs:
            assert keyword.rstrip("=") + ":" in signature, (name, keyword)
