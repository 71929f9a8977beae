"""Writing a design file back with new layer thicknesses."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, List, Mapping, Optional, Sequence

from lamina_design.io.locate import BARE_KEY
from lamina_design.materials.catalogue import DATABASE_PREFIX

__all__ = ["design_toml"]

_MATERIAL_FILES = (".csv", ".yml", ".yaml")
_TOML_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def _toml_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in _TOML_ESCAPES:
            out.append(_TOML_ESCAPES[ch])
        elif ch < " " or ch == "\x7f":
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _toml_key(key: str) -> str:
    return key if BARE_KEY.fullmatch(key) else _toml_string(key)


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return _toml_string(value)
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{ " + ", ".join(f"{_toml_key(k)} = {_toml_value(v)}" for k, v in value.items()) + " }"
    raise TypeError(f"cannot write {value!r} as TOML")


def _moved_material(value: Any, source_dir: Optional[Path], target_dir: Optional[Path]) -> Any:
    """A material reference as it must read from `target_dir` when the file was read from `source_dir`."""
    if not isinstance(value, str) or source_dir is None or target_dir is None:
        return value
    text = value.strip()
    if Path(text).suffix.lower() not in _MATERIAL_FILES or text.startswith(DATABASE_PREFIX):
        return value
    path = Path(text).expanduser()
    if path.is_absolute() or text.startswith("~"):
        return value
    absolute = os.path.abspath(os.path.join(source_dir, text))
    try:
        return os.path.relpath(absolute, os.path.abspath(target_dir))
    except ValueError:  # another drive
        return absolute


def design_toml(data: Mapping[str, Any], thicknesses: Sequence[float], source_dir: Optional[Path] = None,
                target_dir: Optional[Path] = None) -> str:
    """The design file's content with new layer thicknesses (front layers, then back layers).

    Material files named relative to `source_dir` (where the design was read) are rewritten to
    resolve from `target_dir` (where the new file goes).
    """
    lines: List[str] = []
    values = iter(thicknesses)
    media = ("incidence", "exit", "material", "back_medium")

    def scalars(table: Mapping[str, Any]) -> None:
        for key, value in table.items():
            if not (isinstance(value, dict) and key in ("substrate", "spectrum")) and key != "layer":
                if key in media:
                    value = _moved_material(value, source_dir, target_dir)
                lines.append(f"{_toml_key(key)} = {_toml_value(value)}")

    def layers(name: str, entries: Sequence[Mapping[str, Any]]) -> None:
        for entry in entries:
            lines.extend(["", f"[[{name}]]"])
            lines.append(f"material = {_toml_value(_moved_material(entry['material'], source_dir, target_dir))}")
            lines.append(f"thickness_nm = {float(next(values))!r}")
            if "coherent" in entry:
                lines.append(f"coherent = {_toml_value(entry['coherent'])}")

    scalars(data)
    layers("layer", data.get("layer", []))
    if "substrate" in data:
        lines.extend(["", "[substrate]"])
        scalars(data["substrate"])
        layers("substrate.layer", data["substrate"].get("layer", []))
    if "spectrum" in data:
        lines.extend(["", "[spectrum]"])
        scalars(data["spectrum"])
    return "\n".join(lines) + "\n"
