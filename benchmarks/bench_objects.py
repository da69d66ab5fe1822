"""The object finder: quarv.utils.objects against jmespath, a hand-written list comprehension and a plain
Python rendering of the same finder.

Three searches, each run the same way by every contender and checked to give equal results:
- keyword: the devices (16,000 dictionaries of a name, an OS, a status and four interfaces) whose
  os is "nxos" and whose status is "down", written as keyword requirements;
- filter: the devices (16,000 dictionaries of eight interfaces each) that have an interface whose key
  matches "(Eth.*)" and whose status is "down";
- value: over 4,000 devices, the interfaces with the MTU 9000, reported by the finder as (value, key
  path) pairs and grouped by the named group of the pattern step; the other contenders give the
  interface names directly.
jmespath has no regular expressions: every interface key of the data starts with "Eth", so taking all
values of `interfaces` is the same query. Prints the best time of several runs and the ratios.
Run: python benchmarks/bench_objects.py

Errors set per examined item (what the search raises and catches itself), counted with a probe on the
interpreter's _PyErr_SetObject (perf probe -x libpython3.11.so _PyErr_SetObject; perf stat -e
probe_libpython3:_PyErr_SetObject) over one search of the 16,000 items, less a run without it: the
keyword search set two (failed unpackings of keys without "__") per item before the grouping was done
natively, none since; the filter and value searches set none.
"""

import random
import re
import time
from collections.abc import Iterable

import jmespath

from quarv.utils.objects import GroupKeys, R, find


def devices(count, seed):
    rng = random.Random(seed)
    return [{"name": f"dev{i}", "role": rng.choice(["leaf", "spine"]),
             "interfaces": {f"Ethernet{j}": {"name": f"Ethernet{j}", "status": "down" if rng.random() < 0.03 else "up",
                                             "mtu": 9000 if rng.random() < 0.05 else 1500}
                            for j in range(8)}}
            for i in range(count)]


def keyword_devices(count, seed):
    rng = random.Random(seed)
    return [{"name": f"dev{i}", "os": rng.choice(["nxos", "eos", "iosxr"]),
             "status": "down" if rng.random() < 0.1 else "up",
             "interfaces": {f"Eth{j}": {"status": rng.choice(["up", "down"])} for j in range(4)}}
            for i in range(count)]


# ----- a plain Python rendering of the finder's search paths used here ----------------------------------------

class PyFind:
    def _match(self, obj, wanted, use__syntax=True, filter_=True):
        if obj == None:  # noqa: E711 (the interpreter's equality, as the finder uses)
            return False
        recorded, plain_key = None, None
        for key, expected in wanted.items():
            plain_key = None
            if isinstance(obj, dict):
                if isinstance(expected, str) and expected.startswith("("):
                    pattern = re.compile(expected)
                    hit = None
                    for k, v in obj.items():
                        if k != key:
                            continue
                        if pattern.match(str(v)):
                            hit = (v, [key])
                    if not hit:
                        return False if filter_ else []
                    recorded = hit
                    continue
                if key not in obj:
                    return False
                actual = obj[key]
                if not expected == actual:
                    return False
                recorded, plain_key = (actual, [key]), key
            else:
                if not isinstance(key, str) or not hasattr(obj, key):
                    return False
                actual = getattr(obj, key)
                if not expected == actual:
                    return False if filter_ else []
                recorded = (actual, [key])
        if filter_:
            return (True, [plain_key]) if plain_key is not None else True
        return recorded

    def _gather(self, item, step):
        try:
            if isinstance(item, dict):
                if isinstance(step, str) and step.startswith("("):
                    pattern = re.compile(step)
                    return [(k, v) for k, v in item.items() if pattern.match(str(k))]
                return [(step, item[step])]
            return [(step, getattr(item, step))]
        except Exception:
            return None

    def find(self, from_, *requirements, type_=None, filter_=True, _first=True):
        if not from_:
            return []
        if not isinstance(from_, (dict, Iterable)):
            from_ = [from_]
        r_return_objs = []
        for req in requirements:
            hits = []
            for item in from_:
                if type_ and not isinstance(item, type_):
                    continue
                if not req.args:
                    result = self._match(item, req.kwargs, filter_=filter_)
                    if result:
                        hits.append(item if filter_ else result)
                    continue
                kept = True
                for path in req.args:
                    if len(path) == 2:
                        result = self._match(item, {path[0]: path[1]}, use__syntax=False, filter_=filter_)
                        if filter_ and not result:
                            kept = False
                            break
                        if not filter_ and result:
                            hits.append(result)
                        continue
                    children = self._gather(item, path[0])
                    if children is None:
                        kept = False
                        break
                    if filter_:
                        if not any(self.find([child], R(path[1:]), filter_=True, _first=False)
                                   for _, child in children):
                            kept = False
                            break
                        continue
                    for key, child in children:
                        for found in self.find([child], R(path[1:]), filter_=False, _first=False):
                            for pair in (found if isinstance(found, list) else [found]):
                                pair[1].insert(0, key)
                                hits.append(pair)
                if filter_ and kept:
                    hits.append(item)
            r_return_objs.append(hits)
        seen, result = set(), []
        for hit in r_return_objs[0]:
            if id(hit) not in seen:
                seen.add(id(hit))
                result.append(hit)
        return result


py_find = PyFind().find


# ----- the searches -----------------------------------------------------------------------------------------

DOWN = R(["interfaces", "(Eth.*)", "status", "down"])
JUMBO = R(["interfaces", "(?P<intf>Eth.*)", "mtu", 9000])
ETH = re.compile("(Eth.*)")
JMES_DOWN = jmespath.compile("[?values(interfaces)[?status=='down']]")
JMES_JUMBO = jmespath.compile("[].values(interfaces)[] | [?mtu==`9000`].name")


KEYWORD = R(os="nxos", status="down")
JMES_KEYWORD = jmespath.compile("[?os=='nxos' && status=='down']")


def keyword_native(data):
    return find(data, KEYWORD)


def keyword_python(data):
    return py_find(data, KEYWORD)


def keyword_jmespath(data):
    return JMES_KEYWORD.search(data)


def keyword_comprehension(data):
    return [d for d in data if d.get("os") == "nxos" and d.get("status") == "down"]


def filter_native(data):
    return find(data, DOWN)


def filter_python(data):
    return py_find(data, DOWN)


def filter_jmespath(data):
    return JMES_DOWN.search(data)


def filter_comprehension(data):
    return [d for d in data
            if any(ETH.match(k) and v["status"] == "down" for k, v in d["interfaces"].items())]


def jumbo_names(pairs):
    return [row["intf"] for row in GroupKeys.group_keys(pairs, JUMBO.args)]


def value_native(data):
    return jumbo_names(find(data, JUMBO, filter_=False))


def value_python(data):
    return jumbo_names(py_find(data, JUMBO, filter_=False))


def value_jmespath(data):
    return JMES_JUMBO.search(data)


def value_comprehension(data):
    return [k for d in data for k, v in d["interfaces"].items() if ETH.match(k) and v["mtu"] == 9000]


def best(fn, data, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn(data)
        times.append(time.perf_counter() - start)
    return min(times)


def compare(title, data, contenders, runs):
    results = [fn(data) for _, fn in contenders]
    assert all(result == results[0] for result in results), f"{title}: the contenders disagree"
    print(f"\n{title}: {len(data)} devices, {len(results[0])} results")
    times = [best(fn, data, runs) for _, fn in contenders]
    native = times[0]
    for (name, _), seconds in zip(contenders, times):
        print(f"  {name:<22} {seconds * 1000:9.2f} ms   x{seconds / native:6.2f} of objects.find")


def main():
    compare("keyword search", keyword_devices(16000, 3), [
        ("objects.find", keyword_native), ("jmespath", keyword_jmespath),
        ("list comprehension", keyword_comprehension), ("plain Python finder", keyword_python)], runs=5)
    compare("filter search", devices(16000, 1), [
        ("objects.find", filter_native), ("jmespath", filter_jmespath),
        ("list comprehension", filter_comprehension), ("plain Python finder", filter_python)], runs=5)
    compare("value search and groups", devices(4000, 2), [
        ("objects.find", value_native), ("jmespath", value_jmespath),
        ("list comprehension", value_comprehension), ("plain Python finder", value_python)], runs=5)


if __name__ == "__main__":
    main()
