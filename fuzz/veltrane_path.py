"""Path equality of quarv.utils.veltrane against a plain rendering of its
rule: Optional unwrapped once, texts read as patterns anchored at the start,
Any matching anything, everything else compared with ==."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils.veltrane import Any, Optional, Path  # noqa: E402

PATTERN_CHARS = "ab.*+?()[]|^$\\{}1,0"
WILDCARD = Any()


def reference_eq(left, right):
    if not isinstance(right, Path) or len(left) != len(right):
        return False
    for a, b in zip(left, right):
        if type(a) is Optional:
            a = a.schema
        if type(b) is Optional:
            b = b.schema
        if type(a) is str and type(b) is str:
            matched = re.compile(a).match(b) is not None
        else:
            matched = bool(a == b)
        if not matched and not isinstance(a, Any) and not isinstance(b, Any):
            return False
    return True


def element(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.ConsumeIntInRange(-2, 3)
    if kind == 1:
        return WILDCARD
    if kind == 2:
        return Optional(element(fdp)) if fdp.ConsumeBool() else Optional("a")
    if kind == 3:
        return fdp.ConsumeUnicodeNoSurrogates(6)
    return "".join(PATTERN_CHARS[b % len(PATTERN_CHARS)] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6)))


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except re.error:
        return ("err", re.error)
    except RecursionError:
        return ("err", RecursionError)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    left = Path(element(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    right = Path(element(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    if fdp.ConsumeBool():
        right = Path(left)
    got = outcome(left.__eq__, right)
    want = outcome(reference_eq, left, right)
    assert got == want, (left, right, got, want)
    assert (left == tuple(right)) is False
    try:
        assert hash(left) == hash(tuple(left))
    except TypeError:
        pass
    assert left.is_dynamic() == any(isinstance(e, Any) for e in left)


if __name__ == "__main__":
    run(test_one_input)
