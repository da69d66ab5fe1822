"""Times quarv.utils.locations against its peers, side by side in one process.

- Loading a YAML document of about 1 MB (nested mappings, lists, anchors and merge keys) with
  LocSafeLoader and a fresh Location, against PyYAML's own SafeLoader and its CSafeLoader on the
  compiled libyaml parser (neither records positions) and against ruamel.yaml's round-trip loader
  (which records line and column of keys and items). LocSafeLoader composes on libyaml's parser
  where PyYAML has it; a subclass that changes the parser's settings keeps the pure parser, and is
  timed against SafeLoader.
- Both location-aware merges on two documents of about 10,000 keys each, against a straightforward
  pure-Python rendering of the same algorithms.

Run: python benchmarks/bench_locations.py   (ruamel.yaml comes with the "bench" extra)
"""

import copy
import gc
import io
import random
import re
import sys
import time
from collections.abc import MutableMapping, MutableSequence

import yaml

from quarv.utils.locations import (LocSafeLoader, Location, location_deepcopy, recursive_location_setdefault,
                                   recursive_location_update)

try:
    from ruamel.yaml import YAML
except ImportError:  # pragma: no cover - the peer is optional
    YAML = None


# ----- the documents -----------------------------------------------------------------------------

def make_document(target_size=1_000_000, seed=7):
    """A configuration-like YAML text: shared anchored defaults, many services with nested
    mappings and lists of scalars and of mappings."""
    rng = random.Random(seed)
    parts = [
        "defaults: &defaults\n  retries: 3\n  timeout: 30.5\n  enabled: true\n  owner: platform\n",
        "ports: &ports [80, 443, 8080]\n",
        "services:\n",
    ]
    size = sum(map(len, parts))
    index = 0
    while size < target_size:
        lines = [
            f"  service_{index}:\n",
            "    <<: *defaults\n",
            f"    host: host-{rng.randrange(10**6)}.example.org\n",
            "    ports: *ports\n",
            f"    weight: {rng.random():.6f}\n",
            "    labels:\n",
            *(f"      label_{j}: value-{rng.randrange(1000)}\n" for j in range(4)),
            f"    tags: [{', '.join(f'tag{rng.randrange(50)}' for _ in range(5))}]\n",
            "    endpoints:\n",
            *(f"      - path: /api/v{j}/items\n        methods: [GET, POST]\n        limit: {rng.randrange(100)}\n"
              for j in range(3)),
            f"    note: \"service number {index}, created by the benchmark\"\n",
        ]
        chunk = "".join(lines)
        parts.append(chunk)
        size += len(chunk)
        index += 1
    return "".join(parts)


def make_merge_documents(keys=10_000, seed=11):
    """Two YAML texts of about `keys` keys each, overlapping in most sections, with list-extending keys."""
    rng = random.Random(seed)

    def document(offset, extend):
        lines = []
        for section in range(keys // 50):
            lines.append(f"section_{section}:\n")
            lines.append(f"  items: [{rng.randrange(100)}, {rng.randrange(100)}]\n")
            if extend:
                lines.append(f"  '%EXTEND_LIST{{items}}': [{rng.randrange(100)}]\n")
            lines.append("  nested:\n")
            for key in range(offset, offset + 23):
                lines.append(f"    key_{key}: {rng.randrange(10**6)}\n")
            for key in range(offset, offset + 23):
                lines.append(f"  flat_{key}: text-{rng.randrange(10**6)}\n")
        return "".join(lines)

    return document(0, extend=False), document(5, extend=True)


def load_with_locations(text, loader=LocSafeLoader):
    locations = Location()
    data = loader(text, locations=locations).get_single_data()
    return data, locations


class PureLocSafeLoader(LocSafeLoader):
    """Its own copy of the parser's default tags keeps it on the pure parser, at no cost of its own."""

    DEFAULT_TAGS = dict(yaml.parser.Parser.DEFAULT_TAGS)


def count_keys(data):
    if isinstance(data, dict):
        return len(data) + sum(count_keys(v) for v in data.values())
    if isinstance(data, list):
        return sum(count_keys(v) for v in data)
    return 0


# ----- the pure-Python renderings of the merges ----------------------------------------------------

LIST_EXTEND_PATTERN = re.compile("^%EXTEND_LIST{ *(.+?) *}$")


def py_recursive_location_update(data, new_data, locations, new_locations, list_extend=False):
    if not isinstance(data, MutableMapping) or not isinstance(new_data, MutableMapping):
        raise TypeError("recursive_location_update takes two dicts")
    for k, v in new_data.items():
        if isinstance(v, MutableMapping) and isinstance(data.get(k, None), MutableMapping):
            py_recursive_location_update(data[k], v, locations.get(k, {}), new_locations.get(k, {}),
                                         list_extend=list_extend)
            continue
        if isinstance(v, MutableSequence) and list_extend:
            match = LIST_EXTEND_PATTERN.match(k)
            if match:
                key = match.group(1)
                if isinstance(data.get(key, None), MutableSequence):
                    max_idx = -1
                    entry = locations.setdefault(key, {})
                    if entry:
                        max_idx = max(entry.keys())
                    for i, l in new_locations.get(k, {}).items():
                        entry[max_idx + i + 1] = l
                    data[key].extend(v)
                    continue
                new_locations[key] = new_locations.pop(k)
                k = key
        locations[k] = new_locations.get(k, {})
        data[k] = v
    return data


def py_recursive_location_setdefault(data, new_data, locations, new_locations):
    if not isinstance(data, MutableMapping) or not isinstance(new_data, MutableMapping):
        raise TypeError("recursive_location_setdefault takes two dicts")
    for k, v in new_data.items():
        if isinstance(v, MutableMapping) and isinstance(data.get(k, None), MutableMapping):
            py_recursive_location_setdefault(data[k], v, locations[k], new_locations[k])
        elif k in data:
            pass
        else:
            locations[k] = new_locations[k]
            data[k] = v
    return data


# ----- timing ----------------------------------------------------------------------------------------

def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def best_merge_time(merge, first, second, repeat, **kwargs):
    """Each run merges fresh copies, made outside the timed part; the collector stays off while the
    merge runs, so neither side pays for a collection of the other's garbage."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        args = (copy.deepcopy(first[0]), copy.deepcopy(second[0]), location_deepcopy(first[1]),
                location_deepcopy(second[1]))
        gc.disable()
        try:
            start = time.perf_counter()
            merge(*args, **kwargs)
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best


def bench_load(repeat):
    text = make_document()
    print(f"load: a document of {len(text) / 1e6:.2f} MB, {text.count(chr(10))} lines; best of {repeat}")
    assert yaml.load(text, Loader=yaml.SafeLoader) == load_with_locations(text)[0]
    assert load_with_locations(text) == load_with_locations(text, PureLocSafeLoader)
    compiled = getattr(yaml, "__with_libyaml__", False)
    loaders = {
        "yaml.SafeLoader (no positions)": lambda: yaml.load(text, Loader=yaml.SafeLoader),
        "LocSafeLoader + Location": lambda: load_with_locations(text),
    }
    if compiled:
        loaders["yaml.CSafeLoader (no positions)"] = lambda: yaml.load(text, Loader=yaml.CSafeLoader)
        loaders["LocSafeLoader, pure parser"] = lambda: load_with_locations(text, PureLocSafeLoader)
    if YAML is not None:
        round_trip = YAML(typ="rt")
        loaders["ruamel.yaml round-trip loader"] = lambda: round_trip.load(io.StringIO(text))
    # The loaders take turns, so that a busy machine slows them alike.
    best = dict.fromkeys(loaders, float("inf"))
    for _ in range(repeat):
        for name, load in loaders.items():
            best[name] = min(best[name], best_time(load, 1))
    plain, located = best["yaml.SafeLoader (no positions)"], best["LocSafeLoader + Location"]
    print(f"  yaml.SafeLoader (no positions)      {plain * 1e3:9.1f} ms")
    if compiled:
        fast, pure = best["yaml.CSafeLoader (no positions)"], best["LocSafeLoader, pure parser"]
        print(f"  yaml.CSafeLoader (no positions)     {fast * 1e3:9.1f} ms")
        print(f"  LocSafeLoader + Location            {located * 1e3:9.1f} ms   "
              f"{located / fast:.2f}x CSafeLoader's time (target: at most 1.3x)")
        print(f"  LocSafeLoader, pure parser          {pure * 1e3:9.1f} ms   "
              f"{pure / plain:.2f}x SafeLoader's time (target: at most 1.3x)")
    else:
        print(f"  LocSafeLoader + Location            {located * 1e3:9.1f} ms   "
              f"{located / plain:.2f}x SafeLoader's time (target: at most 1.3x; PyYAML has no libyaml here)")
    if YAML is None:
        print("  ruamel.yaml round-trip loader       not installed (pip install '.[bench]')")
        return
    ruamel = best["ruamel.yaml round-trip loader"]
    print(f"  ruamel.yaml round-trip loader       {ruamel * 1e3:9.1f} ms   "
          f"LocSafeLoader is {ruamel / located:.2f}x faster (target: above 1x)")


def bench_merges(repeat):
    first_text, second_text = make_merge_documents()
    first, second = load_with_locations(first_text), load_with_locations(second_text)
    print(f"merges: documents of {count_keys(first[0])} and {count_keys(second[0])} keys; best of {repeat}")
    cases = [
        ("recursive_location_update", recursive_location_update, py_recursive_location_update, {"list_extend": True}),
        ("recursive_location_setdefault", recursive_location_setdefault, py_recursive_location_setdefault, {}),
    ]
    for name, native, python, kwargs in cases:
        native_time = best_merge_time(native, first, second, repeat, **kwargs)
        python_time = best_merge_time(python, first, second, repeat, **kwargs)
        print(f"  {name:31s} native {native_time * 1e3:7.2f} ms   pure Python {python_time * 1e3:7.2f} ms   "
              f"{python_time / native_time:5.1f}x faster (target: at least 10x)")


def main():
    quick = "--quick" in sys.argv
    bench_load(repeat=1 if quick else 5)
    if "--load" not in sys.argv:
        bench_merges(repeat=3 if quick else 20)


if __name__ == "__main__":
    main()
