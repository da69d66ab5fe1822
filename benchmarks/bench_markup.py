"""YAML markup processor: quarv.utils.yaml.markup against a plain Python rendering of the same
processor, against OmegaConf's resolution of the equivalent tree (when omegaconf is installed),
and against copy.deepcopy of the tree (both rebuild every container).

The tree has about 20,000 nodes with a few hundred references and environment markups, as loaded
configuration data does; a second tree has no markup at all. Each run processes a fresh copy (the
processor writes resolved references back into the data it is given); copies are made outside the
timing. Prints the best time of several runs and the ratios.
Run: python benchmarks/bench_markup.py
"""

import ast
import copy
import os
import re
import time
import typing
from collections.abc import Iterable, MutableMapping

from quarv.topology.credentials import Credentials
from quarv.utils import utils
from quarv.utils.mirrane import SecretString
from quarv.utils.yaml.exceptions import MarkupError
from quarv.utils.yaml.markup import Processor

try:
    from omegaconf import OmegaConf
except Exception:  # not installed, or a runtime it cannot load
    OmegaConf = None

BASE_PATTERN = re.compile(r"%\w*{.*}")
REFERENCE_PATTERN = re.compile(r"(%{ *(.+?) *})")
ENV_PATTERN = re.compile(r"(%ENV{ *([0-9a-zA-Z\_]+) *})")
EXTEND_LIST_PATTERN = re.compile(r"%EXTEND_LIST{ *(.+?) *}")


class PyProcessor:
    """The walk, the markup loop and the reference and environment handlers as Python code."""

    def __init__(self):
        self._inhibit_recurse_exception = False
        self._actions = [(self.match_reference_markup, self.p_reference_markup),
                         (self.match_env_markup, self.p_environ_markup)]

    def __call__(self, data, locations=None):
        self._inhibit_recurse_exception = False
        self.original = data
        self.markup_already_seen = {}
        return self._recurse(data, [], locations=locations)

    def _recurse(self, data, index, locations=None):
        try:
            if isinstance(data, (Credentials, SecretString)):
                return data
            if isinstance(data, str):
                return self._process_str(data, index, locations=locations)
            if isinstance(data, (bytes, bytearray)):
                return data
            if isinstance(data, MutableMapping):
                return self._process_mutable_mapping(data, index, locations=locations)
            if isinstance(data, Iterable):
                return self._process_iterable(data, index, locations=locations)
            return data
        except Exception as error:
            if self._inhibit_recurse_exception:
                raise
            self._inhibit_recurse_exception = True
            raise MarkupError("Caught error while processing markups: \nIndex:  {}\nMarkup: {}\n".format(
                index, data)) from error

    def _iter_mutable_mapping(self, data, index, locations=None):
        for key, value in data.items():
            if isinstance(key, str) and not self.match_extend_list_markup(key):
                key = self._process_str(key, index, locations=locations)
                if not isinstance(key, typing.Hashable):
                    raise ValueError(f"Value {key!r} is not hashable")
            yield key, self._recurse(value, index + [key], locations=locations)

    def _process_mutable_mapping(self, data, index, locations=None):
        return type(data)(self._iter_mutable_mapping(data, index, locations=locations))

    def _process_iterable(self, data, index, locations=None):
        return [self._recurse(item, index + [i], locations=locations) for i, item in enumerate(data)]

    def match_reference_markup(self, data):
        return REFERENCE_PATTERN.search(data)

    def match_env_markup(self, data):
        return ENV_PATTERN.search(data)

    def match_extend_list_markup(self, data):
        return EXTEND_LIST_PATTERN.search(data)

    def _process_str(self, data, index, locations=None):
        while BASE_PATTERN.search(data):
            for matcher, handler in self._actions:
                match = matcher(data)
                if match:
                    break
            else:
                return data
            result = handler(match, data, index, locations=locations)
            if matcher == self.match_reference_markup and isinstance(result, (MutableMapping, Iterable)):
                container = self.original
                for item in index[:-1]:
                    container = container[item]
                container[index[-1]] = result
                return self._recurse(result, index, locations=locations)
            if not isinstance(result, str):
                return self._recurse(result, index, locations=locations)
            data = result
        return data

    def p_reference_markup(self, match, data, index, locations=None):
        path = match.group(2)
        value = utils.chainget(self.original, path)
        if value == utils.chainget(self.original, index) or path.split(".") == index[:len(path.split("."))]:
            raise MarkupError("Detected recursion markup")
        placeholder = match.group(0).replace("%{", "${")
        if match.group(0) == data:
            self.markup_already_seen.setdefault(placeholder, value)
            return value
        if type(value) in (list, dict):
            self.markup_already_seen.setdefault(placeholder, value)
            return data.replace(match.group(0), placeholder)
        return data.replace(match.group(0), str(value))

    def p_environ_markup(self, match, data, index, locations=None):
        return data.replace(match.group(0), os.environ.get(match.group(2), ""))


def make_tree(sections=300, with_markups=True):
    """About 50 nodes per section: a few texts, numbers, a list of texts and a nested mapping."""
    tree = {"defaults": {"domain": "example.org", "port": 8443, "user": "admin"}, "sections": {}}
    for i in range(sections):
        reference = with_markups and i % 2 == 0
        tree["sections"][f"s{i}"] = {
            "name": f"section {i}",
            "host": "%{defaults.domain}" if reference else f"host{i}.example.org",
            "port": 8000 + i,
            "enabled": i % 3 == 0,
            "path": "%ENV{BENCH_HOME}/data" if with_markups and i % 4 == 1 else f"/srv/data/{i}",
            "tags": [f"tag{j}" for j in range(8)],
            "limits": {"cpu": 2.5, "memory": 1024, "disk": [10, 20, 30, 40], "notes": "plain text, 100% ok"},
            "servers": [{"address": f"10.0.{i % 256}.{j}", "weight": j, "backup": j == 3} for j in range(4)],
        }
    return tree


def to_omegaconf(value):
    if isinstance(value, dict):
        return {k: to_omegaconf(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_omegaconf(v) for v in value]
    if isinstance(value, str):
        return value.replace("%ENV{BENCH_HOME}", "${oc.env:BENCH_HOME}").replace("%{", "${")
    return value


def count_nodes(value):
    if isinstance(value, dict):
        return 1 + sum(count_nodes(v) for v in value.values()) + len(value)
    if isinstance(value, list):
        return 1 + sum(count_nodes(v) for v in value)
    return 1


def best_of(fn, make_input, runs=7):
    best = float("inf")
    for _ in range(runs):
        data = make_input()
        start = time.perf_counter()
        fn(data)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    os.environ["BENCH_HOME"] = "/home/bench"
    for label, with_markups in (("tree with few markups", True), ("tree without markup", False)):
        tree = make_tree(with_markups=with_markups)
        markups = sum(1 for s in tree["sections"].values() for v in (s["host"], s["path"]) if "%" in v)
        native, python = Processor(), PyProcessor()
        assert native(copy.deepcopy(tree)) == python(copy.deepcopy(tree))
        times = {
            "native": best_of(native, lambda: copy.deepcopy(tree)),
            "python rendering": best_of(python, lambda: copy.deepcopy(tree)),
            "copy.deepcopy": best_of(copy.deepcopy, lambda: tree),
        }
        if OmegaConf is not None:
            plain = to_omegaconf(tree)
            resolved = OmegaConf.to_container(OmegaConf.create(plain), resolve=True)
            assert resolved == native(copy.deepcopy(tree))
            times["OmegaConf to_container"] = best_of(lambda cfg: OmegaConf.to_container(cfg, resolve=True),
                                                       lambda: OmegaConf.create(plain), runs=3)
            times["OmegaConf create + to_container"] = best_of(
                lambda data: OmegaConf.to_container(OmegaConf.create(data), resolve=True), lambda: plain, runs=3)
        print(f"{label}: {count_nodes(tree)} nodes, {markups} markups")
        for name, seconds in times.items():
            ratio = "" if name == "native" else f"   native is {seconds / times['native']:6.2f}x faster"
            print(f"  {name:<34} {seconds * 1e3:9.2f} ms{ratio}")
    if OmegaConf is None:
        print("(omegaconf is not installed: pip install omegaconf to compare with it)")


if __name__ == "__main__":
    main()
