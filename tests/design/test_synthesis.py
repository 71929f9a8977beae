"""Needle function, needle synthesis and global searches against independent references.

The reference for every derivative and cost is tmm (coh_tmm), with the needle as a real thin
layer of the stack; closed forms check what synthesis finds.
"""

from __future__ import annotations

import math
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

pytest.importorskip("scipy")
tmm = pytest.importorskip("tmm")

from lamina_design import materials
from lamina_design.materials import Constant
from lamina_design.refine import Target, refine
from lamina_design.search import differential_evolution, multistart
from lamina_design.stack import Layer, Stack
from lamina_design.synthesis import Merit, gradual_evolution, needle, needle_function

from design_stacks import AIR, GLASS, LOW

HIGH = Constant(2.3 + 0.01j, "high")
NEEDLE = Constant(1.9 + 0.003j, "needle")
CLEAR_HIGH = Constant(2.3, "clear high")
CLEAR_NEEDLE = Constant(1.9, "clear needle")


def tmm_cost(stack, targets):
    """The targets' cost with every R and T from tmm (T as the power flux)."""
    ns = [complex(stack.incidence.index(np.array([500.0]))[0])]
    ns += [complex(layer.material.index(np.array([500.0]))[0]) for layer in stack.layers]
    ns += [complex(stack.exit.index(np.array([500.0]))[0])]
    ds = [np.inf] + [layer.thickness_nm for layer in stack.layers] + [np.inf]
    cost = 0.0
    for target in targets:
        wl, value, tol = target.arrays()
        w_s = {"s": 1.0, "p": 0.0}.get(target.polarisation, 0.5)
        for w, v, t in zip(wl, value, tol):
            got = {}
            for pol in "sp":
                out = tmm.coh_tmm(pol, ns, ds, target.angle_rad, w)
                got[pol] = {"R": out["R"], "T": out["T"], "A": 1 - out["R"] - out["T"]}[target.quantity]
            q = w_s * got["s"] + (1 - w_s) * got["p"]
            cost += 0.5 * ((q - v) / t) ** 2
    return cost


def with_needle(stack, layer, offset, width, material):
    """The stack with [offset, offset + width] of a layer replaced by a needle (faces: a new layer)."""
    layers = list(stack.layers)
    if layer < 0:
        return Stack(stack.incidence, (Layer(material, width), *layers), exit=stack.exit)
    if layer >= len(layers):
        return Stack(stack.incidence, (*layers, Layer(material, width)), exit=stack.exit)
    host = layers[layer]
    parts = (Layer(host.material, offset), Layer(material, width),
             Layer(host.material, host.thickness_nm - offset - width))
    return Stack(stack.incidence, (*layers[:layer], *parts, *layers[layer + 1:]), exit=stack.exit)


def random_case(seed, lossy):
    rng = np.random.default_rng(seed)
    high, film = (HIGH, NEEDLE) if lossy else (CLEAR_HIGH, CLEAR_NEEDLE)
    layers = tuple(Layer(high if i % 2 else LOW, float(rng.uniform(20, 160))) for i in range(int(rng.integers(1, 5))))
    stack = Stack(AIR, layers, exit=GLASS)
    angle = float(rng.uniform(0, 1.2))
    quantity = ("R", "T", "A")[seed % 3] if lossy else "R"
    pol = ("s", "p", "unpolarised")[seed % 3]
    wl = np.sort(rng.uniform(420, 700, 4))
    targets = [Target(quantity, wl, rng.uniform(0, 0.3, 4), 0.02, angle, pol),
               Target("R", wl[:2], 0.05, 0.01, 0.0, "unpolarised")]
    return stack, targets, film


@pytest.mark.parametrize("lossy", [False, True], ids=["clear", "absorbing"])
@pytest.mark.parametrize("seed", range(6))
def test_needle_function_against_tmm_thin_layer(seed, lossy):
    stack, targets, film = random_case(seed, lossy)
    methods = ["insertion"] + ([] if lossy else ["fields"])
    found = {m: needle_function(stack, targets, film, step_nm=25.0, method=m) for m in methods}
    f = found["insertion"]
    base = tmm_cost(stack, targets)
    h = 1e-3
    reference = []
    for j, off in zip(f.layer, f.offset):
        off = min(off, stack.layers[j].thickness_nm - 2 * h) if 0 <= j < len(stack.layers) else off
        f1 = (tmm_cost(with_needle(stack, j, off, h, film), targets) - base) / h
        f2 = (tmm_cost(with_needle(stack, j, off, 2 * h, film), targets) - base) / (2 * h)
        reference.append(2 * f1 - f2)  # Richardson: second order in h
    reference = np.array(reference)
    scale = np.max(np.abs(reference))
    for method, values in found.items():
        np.testing.assert_allclose(values.value, reference, rtol=0, atol=1e-6 * scale, err_msg=method)
    assert {-1, len(stack.layers)} <= set(f.layer.tolist())  # both faces are candidates


def test_cost_matches_tmm_for_mixed_targets():
    stack, targets, _ = random_case(4, True)
    merit = Merit(stack.incidence, stack.exit, [layer.material for layer in stack.layers], targets)
    codes = [merit.code(layer.material) for layer in stack.layers]
    assert merit.cost(codes, stack.thicknesses()) == pytest.approx(tmm_cost(stack, targets), rel=1e-10)


def test_needle_turns_a_single_layer_into_a_zero_reflection_coating():
    # One layer of 1.46 on 1.52 cannot go below R = ((1.52 − 1.46²)/(1.52 + 1.46²))² = 2.8 % (its
    # quarter wave); a high-index needle makes a V-coat with R = 0 at the wavelength.
    target = Target("R", [550.0], 0.0, 0.001)
    start = Stack(AIR, (Layer(LOW, 100.0),), exit=GLASS)
    floor = ((1.52 - 1.46**2) / (1.52 + 1.46**2)) ** 2
    result = needle(start, [target], [CLEAR_HIGH, LOW], executor="serial")
    assert result.steps[0].merit == pytest.approx(floor / 0.001, rel=1e-6)
    assert result.stack.spectrum([550.0]).r[0] < 1e-8
    assert CLEAR_HIGH in [layer.material for layer in result.stack.layers]


def test_bare_face_has_no_first_order_needle():
    # A thin film on a bare interface only turns the phase of r (lossless media, normal incidence).
    target = Target("R", [480.0, 550.0], 0.0, 0.01)
    f = needle_function(Stack(AIR, (), exit=GLASS), [target], CLEAR_HIGH)
    np.testing.assert_allclose(f.value, 0.0, atol=1e-9)


def test_thin_layers_are_removed_and_neighbours_merged():
    start = Stack(AIR, (Layer(LOW, 60.0), Layer(CLEAR_HIGH, 0.3), Layer(LOW, 40.0)), exit=GLASS)
    target = Target("R", np.linspace(450, 650, 11), 0.0, 0.01)
    result = needle(start, [target], [CLEAR_HIGH, LOW], max_steps=0, min_thickness_nm=1.0, executor="serial")
    assert [layer.material for layer in result.stack.layers] == [LOW]


AR_TARGETS = [Target("R", np.linspace(420.0, 680.0, 53), 0.0, 0.01)]


def ar_materials():
    return materials.get("Ta2O5"), materials.get("SiO2"), materials.get("N-BK7")


@pytest.mark.parametrize("method", [needle, gradual_evolution])
def test_synthesis_keeps_its_budgets_and_records_every_step(method):
    high, low, glass = ar_materials()
    result = method(Stack(AIR, (Layer(low, 100.0),), exit=glass), AR_TARGETS, [high, low], max_layers=6,
                    max_total_nm=300.0, executor="serial")
    assert len(result.stack.layers) <= 6 and result.stack.thicknesses().sum() <= 300.0 * (1 + 1e-12)
    assert result.merit < 0.5 * result.steps[0].merit
    assert result.merit == pytest.approx(math.sqrt(2 * tmm_like_cost(result.stack) / 53), rel=1e-9)
    assert all(s.layers <= 6 and s.total_nm <= 300.0 * (1 + 1e-12) for s in result.steps)


def tmm_like_cost(stack):
    r = stack.spectrum(AR_TARGETS[0].arrays()[0]).r
    return 0.5 * float(np.sum((r / 0.01) ** 2))


@pytest.mark.heavy
def test_searches_give_the_same_bits_on_any_executor():
    high, low, glass = ar_materials()
    stack = Stack(AIR, (Layer(low, 90.0), Layer(high, 40.0), Layer(low, 20.0)), exit=glass)
    serial = differential_evolution(stack, AR_TARGETS, max_thickness_nm=200.0, maxiter=15, executor="serial")
    starts_serial = multistart(stack, AR_TARGETS, 4, max_total_nm=300.0, executor="serial")
    with ProcessPoolExecutor(2) as pool:
        pooled = differential_evolution(stack, AR_TARGETS, max_thickness_nm=200.0, maxiter=15, executor=pool)
        starts_pooled = multistart(stack, AR_TARGETS, 4, max_total_nm=300.0, executor=pool)
        trials_pooled = needle(stack, AR_TARGETS, [high, low], max_layers=5, max_steps=2, trials=2, executor=pool)
    trials_serial = needle(stack, AR_TARGETS, [high, low], max_layers=5, max_steps=2, trials=2, executor="serial")
    np.testing.assert_array_equal(serial.stack.thicknesses(), pooled.stack.thicknesses())
    np.testing.assert_array_equal(starts_serial.merits, starts_pooled.merits)
    np.testing.assert_array_equal(trials_serial.stack.thicknesses(), trials_pooled.stack.thicknesses())
    assert trials_serial.sweeps == trials_pooled.sweeps


@pytest.mark.parametrize("maxiter", [3, 5])
def test_polish_bounds_each_layer_not_the_total(maxiter):
    # Four layers of at most 100 nm each: DE's best is well over 100 nm in all, which is allowed.
    high, low, glass = ar_materials()
    stack = Stack(AIR, (Layer(low, 90.0), Layer(high, 40.0), Layer(low, 20.0), Layer(high, 30.0)), exit=glass)
    rough = differential_evolution(stack, AR_TARGETS, max_thickness_nm=100.0, maxiter=maxiter, polish=False,
                                   executor="serial")
    polished = differential_evolution(stack, AR_TARGETS, max_thickness_nm=100.0, maxiter=maxiter, executor="serial")
    assert rough.stack.thicknesses().sum() > 150.0
    assert np.all(polished.stack.thicknesses() <= 100.0)
    assert polished.stack.thicknesses().sum() > 100.0
    refined = refine(rough.stack, AR_TARGETS, bounds=(0.0, 100.0), progress=False)
    assert polished.merit < 0.9 * rough.merit
    assert polished.merit <= refined.merit * (1 + 1e-6)
    assert polished.merit == pytest.approx(math.sqrt(2 * tmm_like_cost(polished.stack) / 53), rel=1e-9)


@pytest.mark.parametrize("search", ["differential_evolution", "gradual_evolution"])
def test_global_methods_find_the_quarter_wave_of_a_matched_film(search):
    # R = 0 at 550 nm needs a film of index √1.52 an odd number of quarter waves thick.
    film = Constant(math.sqrt(1.52), "matched")
    target = [Target("R", [550.0], 0.0, 0.001)]
    if search == "differential_evolution":
        found = differential_evolution(Stack(AIR, (Layer(film, 50.0),), exit=GLASS), target,
                                       max_thickness_nm=200.0, maxiter=30, executor="serial").stack
    else:
        found = gradual_evolution(Stack(AIR, (), exit=GLASS), target, [film], max_layers=1,
                                  executor="serial").stack
    quarter = 550.0 / (4 * math.sqrt(1.52))
    assert len(found.layers) == 1
    assert found.layers[0].thickness_nm == pytest.approx(quarter, rel=1e-5)


@pytest.mark.parametrize("case, message", [
    ("substrate", "half-infinite"),
    ("psi", "R, T and A"),
    ("fields with loss", "method='insertion'"),
])
def test_refuses_what_it_cannot_compute(plate, coating, case, message):
    transmit = [Target("T", [500.0, 600.0], 1.0)]
    with pytest.raises(ValueError, match=message):
        if case == "substrate":
            needle(plate, transmit, [LOW], executor="serial")
        elif case == "psi":
            needle(coating, [Target("psi", [500.0], 30.0, 1.0, 1.0, "s")], [LOW], executor="serial")
        else:
            needle_function(coating, transmit, LOW, method="fields")


@pytest.mark.heavy
def test_synthesis_matches_100_random_multistarts_with_far_fewer_sweeps():
    # benchmarks/synthesis.py's AR problem and settings.
    high, low, glass = ar_materials()
    result = gradual_evolution(Stack(AIR, (), exit=glass), AR_TARGETS, [high, low], max_layers=16,
                               max_total_nm=1000.0, trials=2, grow="both", executor="serial")
    start = Stack(AIR, tuple(Layer(low if i % 2 == 0 else high, 50.0) for i in range(16)), exit=glass)
    baseline = multistart(start, AR_TARGETS, 100, max_total_nm=1000.0, seed=1)
    assert len(result.stack.layers) <= 16 and result.stack.thicknesses().sum() <= 1000.0 * (1 + 1e-12)
    # Growing a design from nothing on both faces comes close to the best of 100 refined random
    # starts or beats it (the path is chaotic: 0.088-0.109 against 0.094-0.096 as settings and
    # films change); what it does reliably is spend far fewer sweeps. benchmarks/synthesis.py reports both.
    assert result.merit < 1.10 * baseline.merit
    assert 2 * result.sweeps < baseline.sweeps


CLI_DESIGN = """name = "start"
exit = 1.52

[[layer]]
material = 1.46
thickness_nm = 100.0

[spectrum]
wavelength_nm = [500.0, 550.0, 600.0]
"""

CLI_TARGETS = """[[target]]
quantity = "R"
wavelength_nm = [550.0]
value = 0.0
tolerance = 0.001
"""


def test_synthesize_command_writes_the_design_needle_finds(tmp_path, capsys):
    from lamina_design.cli import main
    from lamina_design.files import load_design

    (tmp_path / "d.toml").write_text(CLI_DESIGN)
    (tmp_path / "t.toml").write_text(CLI_TARGETS)
    status = main(["synthesize", str(tmp_path / "d.toml"), str(tmp_path / "t.toml"), "--material", "2.3",
                   "--material", "1.46", "--out", str(tmp_path / "out"), "--no-plot"])
    assert status == 0, capsys.readouterr().err
    written = load_design(tmp_path / "out" / "d_synthesized.toml").stack
    direct = needle(Stack(Constant(1.0), (Layer(Constant(1.46), 100.0),), exit=Constant(1.52)),
                    [Target("R", [550.0], 0.0, 0.001)], [Constant(2.3), Constant(1.46)], max_nfev=200,
                    executor="serial")
    np.testing.assert_array_equal(written.thicknesses(), direct.stack.thicknesses())
    assert [layer.material.index([550.0])[0] for layer in written.layers] == \
        [layer.material.index([550.0])[0] for layer in direct.stack.layers]
    assert written.spectrum([550.0]).r[0] < 1e-8


@pytest.mark.parametrize("change, message", [
    (("design", "exit = 1.52\n", "[substrate]\nmaterial = 1.52\nthickness_mm = 1.0\n"), "half-infinite"),
    (("targets", 'quantity = "R"', 'quantity = "psi"\npolarisation = "s"\nangle_deg = 60'), "R, T and A"),
])
def test_synthesize_command_refuses_what_it_cannot_design(tmp_path, capsys, change, message):
    from lamina_design.cli import main

    texts = {"design": CLI_DESIGN, "targets": CLI_TARGETS}
    which, old, new = change
    texts[which] = texts[which].replace(old, new)
    if which == "design":  # the substrate table must follow the top-level keys
        texts[which] = texts[which].replace(new, "") + "\n" + new
    (tmp_path / "d.toml").write_text(texts["design"])
    (tmp_path / "t.toml").write_text(texts["targets"])
    status = main(["synthesize", str(tmp_path / "d.toml"), str(tmp_path / "t.toml"), "--out", str(tmp_path)])
    assert status == 2
    assert message in capsys.readouterr().err
    assert not list(tmp_path.glob("*_synthesized*"))


@pytest.mark.heavy
def test_searches_on_the_kept_pool_give_the_serial_bits(monkeypatch):
    import multiprocessing

    from lamina_design.core import executor

    # Start-up taken as free so that even these small searches go to the workers.
    monkeypatch.setattr(executor, "_costs", executor._Costs(startup=0.0, per_chunk=0.0, slowdown=0.5))
    monkeypatch.setattr(executor, "_free_processors", lambda: 2.0)
    high, low, glass = ar_materials()
    stack = Stack(AIR, (Layer(low, 90.0), Layer(high, 40.0), Layer(low, 20.0)), exit=glass)
    runs = {
        "de": lambda ex: differential_evolution(stack, AR_TARGETS, max_thickness_nm=200.0, maxiter=5,
                                                executor=ex).stack.thicknesses(),
        "multistart": lambda ex: multistart(stack, AR_TARGETS, 4, max_total_nm=300.0, executor=ex).merits,
        "needle": lambda ex: needle(stack, AR_TARGETS, [high, low], max_layers=5, max_steps=2, trials=2,
                                    executor=ex).stack.thicknesses(),
    }
    for name, search in runs.items():
        np.testing.assert_array_equal(search(2), search("serial"), err_msg=name)
    assert multiprocessing.active_children(), "no search went to the workers"


@pytest.mark.parametrize("polarisation", ["p", "s", "unpolarised"])
@pytest.mark.parametrize("jacobian", [False, True], ids=["values", "with-jacobian"])
def test_transmitted_flux_into_an_absorbing_exit_at_oblique_incidence_matches_tmm(polarisation, jacobian):
    # An absorbing exit medium makes T the power flux Re(n cos θ*)·|E|² for p, not η·|t|².
    metal = Constant(0.9 + 1.6j, "lossy exit")
    design = Stack(AIR, (Layer(HIGH, 83.0), Layer(LOW, 121.0), Layer(HIGH, 47.0)), exit=metal)
    angle = math.radians(55.0)
    wl = np.array([420.0, 500.0, 610.0, 730.0])
    target = Target("T", wl, 0.0, 1.0, angle, polarisation)
    merit = Merit(AIR, metal, [HIGH, LOW], [target])
    codes = [merit.code(layer.material) for layer in design.layers]
    res, _ = merit.residuals(codes, design.thicknesses(), jacobian=jacobian)
    ns = [1.0, 2.3 + 0.01j, complex(LOW.index(np.array([500.0]))[0]), 2.3 + 0.01j, 0.9 + 1.6j]
    ds = [np.inf, 83.0, 121.0, 47.0, np.inf]
    w_s = {"s": 1.0, "p": 0.0, "unpolarised": 0.5}[polarisation]
    expected = [w_s * tmm.coh_tmm("s", ns, ds, angle, w)["T"] + (1 - w_s) * tmm.coh_tmm("p", ns, ds, angle, w)["T"]
                for w in wl]
    np.testing.assert_allclose(res, expected, rtol=1e-10, atol=1e-13)
