"""``lamina-design synthesize``: a design created by needle optimisation or gradual evolution."""
from __future__ import annotations

import argparse
import math
import warnings
from dataclasses import replace
from pathlib import Path
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np

from lamina_design import materials
from lamina_design.cli import options
from lamina_design.cli.output import print_report, check_band, evaluate, fixed, outputs, printable, pyplot, table, targets_span, warn
from lamina_design.io.files import Design, DesignFileError, design_toml, load_design, load_targets, material_warnings
from lamina_design.materials.base import Constant, Material, MaterialError, RangeWarning

EXIT_OK = 0


def add(commands: Any) -> None:
    synthesize = options.add_command(commands, "synthesize", "create a design: needle optimisation or gradual evolution",
                             "Needle optimisation (or gradual evolution) from the design towards the "
                             "targets (R, T and A): thin layers of the chosen materials are inserted where "
                             "they lower the merit most, every thickness is refined, layers that thin away "
                             "are removed. Writes DESIGN_synthesized.toml, .csv and .png, and "
                             "DESIGN_synthesized_merit.png (merit against total thickness) to --out. "
                             "Needs SciPy.")
    synthesize.add_argument("design", type=Path, help=options.DESIGN_HELP + " (a half-infinite exit, no [substrate])")
    synthesize.add_argument("targets", type=Path,
                            help=f"a targets file (TOML) with R, T or A targets; [refine] max_evaluations bounds "
                                 f"each refinement; see {options.DOCS}")
    synthesize.add_argument("--material", action="append", metavar="NAME",
                            help="a material to insert (catalogue name, file, refractiveindex: page or a constant index); repeat "
                                 "for several (default: the design's layer materials)")
    synthesize.add_argument("--method", choices=("needle", "gradual"), default="needle",
                            help="needle optimisation from the design, or gradual evolution (a layer at a time "
                                 "on the front face)")
    synthesize.add_argument("--max-layers", type=options.layer_count, default=None, metavar="N", help="layer budget")
    synthesize.add_argument("--max-total", type=options.positive, default=None, metavar="NM",
                            help="total thickness budget in nm")
    synthesize.add_argument("--min-thickness", type=options.non_negative, default=1.0, metavar="NM",
                            help="layers thinner than this are removed (default 1 nm)")
    synthesize.add_argument("--trials", type=options.count, default=1, metavar="K",
                            help="needle places tried per step, in parallel (default 1)")
    synthesize.add_argument("--workers", type=options.workers, default="serial", metavar="N|serial",
                            help="processes for the trials (default: serial)")
    synthesize.add_argument("--grow", choices=("auto", "both", "front", "back", "none"), default=None,
                            help="where new layers grow when no needle helps: needle's auto grows on both faces "
                                 "when --max-total is given; gradual grows on both faces by default")
    options.add_progress(synthesize)
    options.add_time_budget(synthesize)
    options.add_outputs(synthesize)
    options.add_spectrum_plot(synthesize)
    synthesize.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from lamina_design.core.targets import Target
    from lamina_design.optimize.synthesis import gradual_evolution, needle

    design = load_design(args.design)
    check_band(args, design)
    if design.stack.substrate is not None:
        raise DesignFileError(f"{design.path}: synthesize designs a coating on a half-infinite medium: give exit = "
                              f"... instead of a [substrate] table")
    request = load_targets(args.targets, len(design.stack.layers))
    for i, target in enumerate(request.targets):
        if not isinstance(target, Target) or target.quantity not in ("R", "T", "A"):
            place = request.places[i] if i < len(request.places) else str(args.targets)
            raise DesignFileError(f"{place}: synthesize designs towards R, T and A targets only")
    chosen, refs = material_refs(design, args.material or [])
    warn(material_warnings(design))
    executor: Any = args.workers if args.workers == "serial" else int(args.workers)
    method = needle if args.method == "needle" else gradual_evolution
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            result = method(design.stack, list(request.targets), chosen, max_layers=args.max_layers,
                            max_total_nm=args.max_total, min_thickness_nm=args.min_thickness,
                            max_nfev=request.max_evaluations, trials=args.trials, executor=executor,
                            progress=True if args.progress else None, time_budget=args.time_budget,
                            **growth(args))
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{args.targets}: cannot synthesize: {' '.join(str(exc).split())}") from None
    print(result.summary())
    print(f"{'step':>4}  {'kind':<6}  {'layers':>6}  {'total nm':>9}  {'merit':>10}  {'sweeps':>7}")
    print(f"{'-' * 4}  {'-' * 6}  {'-' * 6}  {'-' * 9}  {'-' * 10}  {'-' * 7}")
    for i, step in enumerate(result.steps):
        print(f"{i:>4}  {step.kind:<6}  {step.layers:>6}  {fixed(step.total_nm, 9, 1)}  "
              f"{fixed(step.merit, 10, 5)}  {step.sweeps:>7}")
    layers = result.stack.layers
    names = [printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'thickness nm':>12}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 12}")
    for i, (name, layer) in enumerate(zip(names, layers)):
        print(f"{i + 1:>5}  {name:<{width}}  {fixed(layer.thickness_nm, 12, 2)}")
    results = evaluate(design, result.stack)
    shown = replace(design, stack=result.stack)
    table(shown, results, targets_span(request.targets))
    print_report(result)
    stem = f"{design.path.stem}_synthesized"
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    data = dict(design.data)
    data["layer"] = [{"material": reference(layer.material, refs)} for layer in layers]
    text = design_toml(data, [layer.thickness_nm for layer in layers], design.path.parent, out)
    toml_path = out / f"{stem}.toml"
    toml_path.write_text(text, encoding="utf-8")
    print(f"synthesized design written to {toml_path}")
    outputs(args, shown, results, stem, targets=request.targets)
    png = out / f"{stem}_merit.png"
    if not args.no_plot and merit_plot(png, result, printable(design.stack.name)):
        print(f"plot written to {png}")
    return EXIT_OK



def growth(args: argparse.Namespace) -> Dict[str, Any]:
    """The --grow choice as the chosen method takes it (gradual evolution always grows)."""
    if args.grow is None:
        return {}
    if args.method == "gradual" and args.grow in ("auto", "none"):
        raise DesignFileError(f"--grow {args.grow}: gradual evolution grows on a face: give both, front or back")
    return {"grow": args.grow}


def material_refs(design: Design, extra: Sequence[str]) -> Tuple[List[Material], List[Tuple[Material, Any]]]:
    """The materials to insert and, for each material a layer may end up with, how a file names it."""
    refs: List[Tuple[Material, Any]] = []
    for layer, entry in zip(design.stack.layers, design.data.get("layer", [])):
        refs.append((layer.material, entry["material"]))
    chosen: List[Material] = []
    for text in extra:
        try:
            index = float(text)
        except ValueError:
            pass
        else:
            if not (index > 0 and math.isfinite(index)):
                raise DesignFileError(f"--material {text!r}: a constant index must be finite and > 0")
            chosen.append(Constant(index, f"n={index:g}"))
            refs.append((chosen[-1], index))
            continue
        try:
            material = materials.resolve(text, base_dir=Path.cwd())
        except Exception as exc:  # noqa: BLE001 - whatever a material file holds is the user's input
            raise DesignFileError(f"--material {text!r}: {str(exc) or type(exc).__name__}") from None
        chosen.append(material)
        path = Path(text).expanduser()
        files = (".csv", ".yml", ".yaml")
        ref: Any = str(path.resolve()) if path.suffix.lower() in files and not text.startswith("refractiveindex:") else text
        refs.append((material, ref))
    if not extra:
        for layer in design.stack.layers:
            if not any(layer.material is m for m in chosen):
                chosen.append(layer.material)
    if not chosen:
        raise DesignFileError(f"{design.path}: the design has no layers: name the materials to insert with --material")
    return chosen, refs


def reference(material: Material, refs: Sequence[Tuple[Material, Any]]) -> Any:
    for known, ref in refs:
        if known is material:
            return ref
    for known, ref in refs:
        try:
            if bool(known == material):
                return ref
        except (TypeError, ValueError):
            continue
    return material.name



def merit_plot(path: Path, result: Any, title: str) -> bool:
    """The merit against the total thickness after every step; False without matplotlib."""
    plt = pyplot()
    if plt is None:
        return False

    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    ax.plot(result.total_nm, result.merits, "o-", color="#1f4e79")
    for step in result.steps:
        ax.annotate(str(step.layers), (step.total_nm, step.merit), textcoords="offset points", xytext=(4, 4),
                    fontsize=8)
    if np.all(result.merits > 0):
        ax.set_yscale("log")
    ax.set_xlabel("total thickness (nm)")
    ax.set_ylabel("merit (rms of residual / tolerance)")
    ax.set_title(f"{title}: synthesis steps (labels: layers)" if title else "synthesis steps (labels: layers)")
    ax.grid(alpha=0.3, which="both")
    fig.savefig(path, dpi=150, bbox_inches="tight")
    plt.close(fig)
    return True
