"""Deep merges of a large nested configuration: quarv.utils.dicts against the peers a user would pick.

Peers: mergedeep.merge, deepmerge's always_merger.merge and a plain Python rendering of the same
algorithm. Same data, same process; prints the best time of several runs and the ratios.
Run: python benchmarks/bench_dicts.py   (needs: pip install mergedeep deepmerge)
"""

import copy
import time
from collections.abc import Mapping, MutableSequence

import re

from quarv.utils.dicts import recursive_setdefault, recursive_update

try:
    import mergedeep
except ImportError:
    mergedeep = None
try:
    from deepmerge import always_merger
except ImportError:
    always_merger = None

PATTERN = re.compile("^%EXTEND_LIST{ *(.+?) *}$")


def py_recursive_update(a, b, *, list_extend=False):
    if not isinstance(a, Mapping) or not isinstance(b, Mapping):
        return b
    for k, v in b.items():
        if isinstance(v, Mapping):
            a[k] = py_recursive_update(a.get(k, type(v)()), v, list_extend=list_extend)
        elif isinstance(v, MutableSequence) and list_extend and isinstance(k, str) and PATTERN.match(k):
            key = PATTERN.match(k).group(1)
            if isinstance(a.setdefault(key, []), MutableSequence):
                a[key].extend(v)
            else:
                a[key] = v
        else:
            a[k] = v
    return a


def py_recursive_setdefault(a, b):
    for k, v in b.items():
        if isinstance(v, Mapping) and isinstance(a.get(k, {}), Mapping):
            a[k] = py_recursive_setdefault(a.get(k, {}), v)
        else:
            a.setdefault(k, v)
    return a


def configuration(seed, extend=False):
    """About 100,000 leaves: 20 sections x 20 groups x 25 devices x 10 settings, some of them lists."""
    data = {}
    for s in range(20):
        section = data[f"section{s}"] = {}
        for g in range(20):
            group = section[f"group{g}"] = {}
            for d in range(25):
                device = group[f"device{d}"] = {}
                for k in range(8):
                    device[f"setting{k}"] = (seed * 7 + s + g + d + k) % 1000
                device["name"] = f"dev-{seed}-{s}-{g}-{d}"
                key = "%EXTEND_LIST{ports}" if extend and d % 2 else "ports"
                device[key] = [seed, d]
    return data


def best_of(runs, make_inputs, work):
    best = float("inf")
    result = None
    for _ in range(runs):
        inputs = make_inputs()
        start = time.perf_counter()
        result = work(*inputs)
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(title, ours, peers, make_inputs, runs=5):
    print(f"\n{title}")
    ours_time, ours_result = best_of(runs, make_inputs, ours)
    print(f"  {'quarv.utils.dicts':<28} {ours_time * 1000:9.1f} ms")
    for name, (work, same_semantics) in peers.items():
        if work is None:
            print(f"  {name:<28} (not installed)")
            continue
        peer_time, peer_result = best_of(runs, make_inputs, work)
        check = ("results equal" if peer_result == ours_result else "RESULTS DIFFER") if same_semantics \
            else "not compared: different list semantics"
        print(f"  {name:<28} {peer_time * 1000:9.1f} ms   ours is {peer_time / ours_time:5.1f}x faster   ({check})")


def main():
    a, b, b_extend = configuration(1), configuration(2), configuration(2, extend=True)
    copies = lambda *items: tuple(copy.deepcopy(x) for x in items)  # noqa: E731

    compare("recursive_update(a, b)", recursive_update, {
        "pure Python": (py_recursive_update, True),
        "mergedeep.merge": (mergedeep and mergedeep.merge, True),
        "deepmerge always_merger": (always_merger and always_merger.merge, False),
    }, lambda: copies(a, b))

    compare("recursive_update(a, b, list_extend=True)",
            lambda x, y: recursive_update(x, y, list_extend=True), {
                "pure Python": (lambda x, y: py_recursive_update(x, y, list_extend=True), True),
                "mergedeep.merge (ADDITIVE)": (mergedeep and (lambda x, y: mergedeep.merge(
                    x, y, strategy=mergedeep.Strategy.ADDITIVE)), False),
                "deepmerge always_merger": (always_merger and always_merger.merge, False),
            }, lambda: copies(a, b_extend))

    # The peers have no set-default mode: merging a into a copy of b gives the same result.
    compare("recursive_setdefault(a, b)", recursive_setdefault, {
        "pure Python": (py_recursive_setdefault, True),
        "mergedeep.merge(b, a)": (mergedeep and (lambda x, y: mergedeep.merge(y, x)), True),
        "deepmerge always_merger(b, a)": (always_merger and (lambda x, y: always_merger.merge(y, x)), False),
    }, lambda: copies(a, b))


if __name__ == "__main__":
    main()
