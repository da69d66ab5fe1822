"""Stands in for the host framework's package `quarv.utils.import_utils` and its helpers."""

import importlib

# The legacy-name hook is a native module of this package, offered here under its class name.
from .legacy import LegacyImporter

__all__ = ["import_from_name", "on_import", "LegacyImporter"]


def import_from_name(name):
    """The attribute named by the last part of a dotted `name`, from the module named by the rest."""
    module_name, _, attribute = name.rpartition(".")
    if not module_name:
        raise ImportError(f"{name!r} does not name a module attribute")
    module = importlib.import_module(module_name)
    try:
        return getattr(module, attribute)
    except AttributeError:
        raise ImportError(f"cannot import name {attribute!r} from {module_name!r}") from None


def on_import(function):
    """Decorator: runs `function` (which takes no arguments) now, while the decorated module is
    imported, and gives it back; an exception of `function` fails that import."""
    function()
    return function
