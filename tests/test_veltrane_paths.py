"""Path: wildcard equality, hashing, is_dynamic and the expansion of wildcards by missing_from."""

import re
import textwrap

import pytest
from fresh import run_fresh

from quarv.utils import veltrane
from quarv.utils.veltrane import Any, Default, Optional, Schema

Path = veltrane.Path
W = Any()


@pytest.mark.parametrize("left, right, equal", [
    ((1, W, 3), (1, 2, 3), True),
    ((1, 2, 3), (1, W, 3), True),
    ((1, W), (1, 2, 3), False),
    ((Optional("a"),), ("a",), True),
    ((Optional(Optional("a")),), ("a",), False),
    ((Default(int, 1),), (1,), False),
    (("ab",), ("abc",), True),
    (("abc",), ("ab",), False),
    (("a.c",), ("abc",), True),
    (("1",), (1,), False),
    ((Optional(W),), ("x",), True),
    ((), (), True),
])
def test_equality(left, right, equal):
    assert (Path(left) == Path(right)) is equal


def test_equality_against_other_types_and_patterns():
    assert not Path((1, 2)) == (1, 2) and not (1, 2) == Path((1, 2)) and not Path((1, 2)) == [1, 2]
    assert not (Path((1, 2)) != (1, 2))
    odd = Path(("a(b)",))
    assert not odd == Path(("a(b)",)) and odd in {odd} and Path(("a(b)",)) not in {odd}
    with pytest.raises(re.error):
        Path(("a[",)) == Path(("x",))
    special = Default(int, 1)
    assert Path((special,)) == Path((special,))


def test_hash_follows_the_plain_elements():
    assert hash(Path((1, W, 3))) == hash((1, W, 3)) and hash(Path((1, 2))) == hash((1, 2))
    assert len({Path((1, W, 3)), Path((1, 2, 3))}) == 2 and len({Path((1, 2)), (1, 2)}) == 2
    assert Path((1, 2, 3)) in [Path((1, W, 3))] and [Path((1, W, 3))].index(Path((1, 2, 3))) == 0
    with pytest.raises(TypeError):
        hash(Path(([1],)))
    assert type(Path((1, 2))[:1]) is tuple and tuple(Path((1, 2))) == (1, 2)


def test_is_dynamic():
    assert Path((1, W)).is_dynamic() is True
    assert Path(()).is_dynamic() is False and Path((Optional(W),)).is_dynamic() is False


def test_is_dynamic_stops_at_the_first_wildcard():
    class Lazy(Path):
        def __iter__(self):
            yield 1
            yield W
            raise AssertionError("read past the first wildcard")

    assert Lazy(()).is_dynamic() is True


@pytest.mark.parametrize("path, known, expected", [
    ((1, W, 2), [(1, 2, 3), (2, 3, 4)], [(1, 2, 2)]),
    ((1, 2), [(1, 2)], []),
    ((1, 2), [[1, 2]], [(1, 2)]),
    ((1, 2), [Path((1, 2))], [(1, 2)]),
    ((1, W), [(2, 5)], []),
    ((1, W), [(1, 5, 9)], [(1, 5)]),
    # every wildcard is filled from one known path: the present (1, 2) and (3, 4) give nothing, and
    # no (1, 4) or (3, 2) is made up from pieces of both
    ((W, W), [(1, 2), (3, 4)], []),
    ((W, W, "z"), [(1, 2), (3, 4)], [(1, 2, "z"), (3, 4, "z")]),
    ((W, 2, W, "z"), [(1, 2, 3, "q"), (1, 5, 4, "q"), (6, 2)], [(1, 2, 3, "z")]),
    (("abc", W), [("ab", 1)], [("abc", 1)]),
    (("abc", W), [("abcd", 1)], []),
    ((Optional("a"), W), [("a", 1, "z")], [("a", 1)]),
])
def test_missing_from(path, known, expected):
    found = Path(path).missing_from(known)
    assert type(found) is list and sorted(found, key=repr) == sorted(expected, key=repr)
    assert all(type(p) is tuple for p in found)
    assert found == [] or type(found[0][0]) is not Optional


@pytest.mark.parametrize("known", [[(W,)], [(1, W)], [(W, W)], [(Optional(W), 1)], [(Optional(Optional(W)),)],
                                   [(1, 2), (W, 3)]])
def test_missing_from_ends_with_wildcards_among_known_paths(known):
    for path in [(W,), (W, 1), (W, W), (1, W)]:
        found = Path(path).missing_from(known)
        assert all(not any(isinstance(e, Any) for e in p) for p in found)


def test_validating_output_that_holds_a_wildcard_key_again():
    wildcard = Any()
    schema = Schema({wildcard: {"b": Default(str, "x")}})
    first = schema.validate(None)
    assert first == {wildcard: {"b": "x"}}
    assert schema.validate(first) == {wildcard: {"b": "x"}}


def test_missing_from_of_subclasses_and_rebound_names(monkeypatch):
    class Mine(Path):
        def is_dynamic(self):
            return False

    assert Mine((W, 1)).missing_from([(5, 1)]) == [(W, 1)]
    seen = []

    class Counting(Path):
        def __eq__(self, other):
            seen.append(1)
            return Path.__eq__(self, other)

        __hash__ = Path.__hash__

    monkeypatch.setattr(veltrane, "Path", Counting)
    assert Path((1, W)).missing_from([(1, 5, 0), (1, 6)]) == [(1, 5)] and seen


# User code run by the comparison of a known path empties, regrows or rewrites a known path and
# allocates right away: a walk that still read the old items, or trusted an address it saw before, would
# read freed memory or take a new object for an old one. (case, set-up binding `outcome`, what it gives)
CHANGED_DURING_WALK = [
    ("emptied", """
        entry, keep = [], []
        class Evil:
            def __eq__(self, other):
                entry.clear()
                keep.extend(bytearray(b"A" * 24) for _ in range(64))
                return True
            __hash__ = object.__hash__
        entry.extend([Evil(), 5, 6])
        outcome = lambda: Path((1, Any())).missing_from([entry])
     """, "raised IndexError"),
    ("regrown", """
        entry, keep = [], []
        class Evil:
            def __eq__(self, other):
                entry.extend(range(256))
                keep.extend(bytearray(b"A" * 24) for _ in range(256))
                return True
            __hash__ = object.__hash__
        entry.extend([Evil(), 5, 6])
        outcome = lambda: Path((1, Any())).missing_from([entry])
     """, "returned [(1, 5)]"),
    # both entries begin with the same object; the second's key is made right after the first's is
    # freed, so it likely takes that address: it must still be expanded as a key of its own
    ("key-replaced", """
        class Key:
            __slots__ = ("name",)
            def __init__(self, name):
                self.name = name
        class Rewriting:
            done = False
            def __eq__(self, other):
                if not Rewriting.done:
                    Rewriting.done = True
                    first[1] = Key("D")
                    second[1] = Key("B")
                return True
            __hash__ = object.__hash__
        head = Rewriting()
        first, second = [head, Key("C")], [head, Key("E")]
        outcome = lambda: sorted(p[1].name for p in Path((1, Any())).missing_from([first, second]))
     """, "returned ['B', 'D']"),
]


@pytest.mark.parametrize("setup, expected", [row[1:] for row in CHANGED_DURING_WALK],
                         ids=[row[0] for row in CHANGED_DURING_WALK])
def test_known_paths_changed_by_user_code_during_the_walk(setup, expected):
    code = "from quarv.utils.veltrane import Path, Any\n" + textwrap.dedent(setup) + textwrap.dedent("""
        try:
            print("returned", outcome())
        except Exception as error:
            print("raised", type(error).__name__)
    """)
    # the C allocator hands freed memory out again at once, and a crash fails this test alone
    result = run_fresh(code, env={"PYTHONMALLOC": "malloc"})
    assert result.stdout.strip() == expected
