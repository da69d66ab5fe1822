"""Stands in for the host framework's configuration object `configuration`."""

import json
import os

__all__ = ["Configuration", "configuration"]

_MISSING = object()


class Section(dict):
    """A section of the configuration: a mapping whose dotted option names are nested level by level."""

    def get(self, key, default=None):
        node = self
        for part in str(key).split("."):
            if not isinstance(node, dict) or part not in node:
                return default
            node = dict.__getitem__(node, part)
        return node


class Configuration:
    """Settings by dotted key ("email.smtp.host") or by section ("secrets").

    Values are set with `set`, `update` or `load` (a JSON or YAML file); the environment variable
    QUARV_CONF names a file that is loaded when this module is first imported.
    """

    def __init__(self):
        self._root = Section()

    def get(self, key, default=None):
        return self._root.get(key, default)

    def set(self, key, value):
        _store(self._root, key, value)

    def update(self, mapping):
        for key, value in mapping.items():
            if isinstance(value, dict) and isinstance(self._root.get(key), Section):
                for inner_key, inner_value in _flatten(value):
                    self.set(f"{key}.{inner_key}", inner_value)
            else:
                self.set(key, value)

    def load(self, path):
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
        if path.endswith(".json"):
            data = json.loads(text)
        else:
            import yaml

            data = yaml.safe_load(text) or {}
        self.update(data)

    def clear(self):
        self._root = Section()


def _store(node, key, value):
    """Stores `value` under a dotted `key` below `node`, one level per name; mappings become sections."""
    parts = str(key).split(".")
    for part in parts[:-1]:
        child = dict.get(node, part)
        if not isinstance(child, Section):
            child = _as_section(child) if isinstance(child, dict) else Section()
            node[part] = child
        node = child
    node[parts[-1]] = _as_section(value) if isinstance(value, dict) else value


def _as_section(mapping):
    # a dotted option name inside a mapping ("string.key") is nested level by level too
    section = Section()
    for key, value in mapping.items():
        _store(section, key, value)
    return section


def _flatten(mapping, prefix=""):
    for key, value in mapping.items():
        if isinstance(value, dict) and value:
            yield from _flatten(value, f"{prefix}{key}.")
        else:
            yield f"{prefix}{key}", value


configuration = Configuration()
if os.environ.get("QUARV_CONF"):
    configuration.load(os.environ["QUARV_CONF"])
