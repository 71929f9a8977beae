"""The module paths of the flat layout, kept as names of the modules that moved into folders.

``import lamina_design.refine`` gives the module ``lamina_design.optimize.refine`` itself (the
same object, so ``from lamina_design.refine import Target`` and monkeypatching through either
name agree). Nothing is imported until an old name is asked for: ``import lamina_design`` stays
free of SciPy and Matplotlib.
"""
from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import sys
from types import ModuleType
from typing import Dict, Optional, Sequence

__all__ = ["MOVED", "install"]

#: Old dotted name → the module that now answers to it.
MOVED: Dict[str, str] = {
    "lamina_design.common": "lamina_design.core.checks",
    "lamina_design.executor": "lamina_design.core.executor",
    "lamina_design.limits": "lamina_design.core.limits",
    "lamina_design.results": "lamina_design.core.results",
    "lamina_design.stack": "lamina_design.optics.stack",
    "lamina_design.substrate": "lamina_design.optics.substrate",
    "lamina_design.incoherent": "lamina_design.optics.incoherent",
    "lamina_design.fields": "lamina_design.optics.fields",
    "lamina_design.refine": "lamina_design.optimize.refine",
    "lamina_design.synthesis": "lamina_design.optimize.synthesis",
    "lamina_design.search": "lamina_design.optimize.search",
    "lamina_design.tolerance": "lamina_design.production.tolerance",
    "lamina_design.monitoring": "lamina_design.production.monitoring",
    "lamina_design.ellipsometry": "lamina_design.metrology.ellipsometry",
    "lamina_design.files": "lamina_design.io.files",
}


class _Moved(importlib.abc.Loader):
    """Hands the import system the module at the new path instead of creating one."""

    def __init__(self, target: str) -> None:
        self.target = target
        self.own: Optional[importlib.machinery.ModuleSpec] = None

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> ModuleType:
        module = importlib.import_module(self.target)
        self.own = module.__spec__
        return module

    def exec_module(self, module: ModuleType) -> None:
        # The import system stamped the old name's spec on the module; give it back its own, so
        # that reloading and introspection see where it lives.
        module.__spec__ = self.own


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname: str, path: Optional[Sequence[str]],
                  target: Optional[ModuleType] = None) -> Optional[importlib.machinery.ModuleSpec]:
        moved = MOVED.get(fullname)
        if moved is None:
            return None
        return importlib.util.spec_from_loader(fullname, _Moved(moved))


_FINDER = _Finder()


def install() -> None:
    """Answer the old names ahead of the path finders (a stale flat install may sit on the path)."""
    if not any(isinstance(finder, _Finder) for finder in sys.meta_path):
        sys.meta_path.insert(0, _FINDER)
