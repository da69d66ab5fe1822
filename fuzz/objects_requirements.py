"""Requirement parsing of the object finder (quarv.utils.objects): requirement
paths and keyword requirements built from fuzz data, run through
Find._normalize_r and find in both modes. Nothing may crash, the searched
data is never changed, and filter mode returns only items of the collection."""

import copy
import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils.objects import Contains, Find, Not, NotExists, R, find  # noqa: E402

KEY_CHARS = "ab.*_1[]()|?+^$\\ -"
EXPECTED = (Exception, RecursionError)


def key(fdp):
    if fdp.ConsumeProbability() < 0.2:
        return fdp.ConsumeIntInRange(0, 3)
    return "".join(KEY_CHARS[b % len(KEY_CHARS)] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)))


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 5 if depth < 3 else 2)
    if kind == 0:
        return fdp.ConsumeIntInRange(-1, 3)
    if kind == 1:
        return key(fdp)
    if kind == 2:
        return None
    if kind == 3:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return {key(fdp): value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}


def expected(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return Not(value(fdp, 3))
    if kind == 1:
        return Contains(key(fdp))
    if kind == 2:
        return NotExists()
    return value(fdp, 2)


def requirement(fdp):
    if fdp.ConsumeProbability() < 0.3:
        return R(**{str(key(fdp)) or "k": expected(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))})
    paths = []
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        path = [key(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        path.append(expected(fdp))
        paths.append(path)
    return R(*paths)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    collection = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if fdp.ConsumeBool():
        collection = {key(fdp): value(fdp) for _ in range(3)}
    before = copy.deepcopy(collection)
    reqs = [requirement(fdp) for _ in range(fdp.ConsumeIntInRange(1, 3))]
    filter_ = fdp.ConsumeBool()
    try:
        Find()._normalize_r(list(reqs))
    except EXPECTED:
        pass
    try:
        result = find(collection, *reqs, filter_=filter_, all_keys=fdp.ConsumeBool())
    except re.error:
        result = None
    except (TypeError, ValueError, KeyError, AttributeError, IndexError, RecursionError):
        result = None
    assert collection == before, (before, collection)
    if filter_ and isinstance(result, list) and isinstance(collection, list):
        ids = {id(item) for item in collection}
        assert all(id(item) in ids for item in result), (collection, result)


if __name__ == "__main__":
    run(test_one_input)
