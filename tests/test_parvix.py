"""quarv.utils.parvix: clean-up of argparse nargs lists."""

import argparse
import itertools
import random
import types

import pytest

from quarv.utils import parvix
from quarv.utils.parvix import expand_nargs_list, remove_dups_from_multiple_nargs_list

DOC_WORDS = ["4", "5", "6", '"1', "2", "3", '4"', "x", "y", "5"]


def documented_expand(nargs_list):
    """The documented algorithm, step by step, as the oracle for the result's (set) order."""
    if not nargs_list:
        return nargs_list
    per_item = ([piece.strip('"').strip("'") for piece in item.split(" ") if piece] for item in nargs_list if item)
    return list(set(itertools.chain.from_iterable(per_item)))


def test_module_namespace():
    assert parvix.__doc__ == " Utilities to help with tricky CLI command parsing "
    assert parvix.__all__ == ["expand_nargs_list", "remove_dups_from_multiple_nargs_list"]
    assert [n for n in vars(parvix) if not n.startswith("__")] == [
        "itertools", "expand_nargs_list", "remove_dups_from_multiple_nargs_list"]
    assert parvix.itertools is itertools
    star = {}
    exec("from quarv.utils.parvix import *", star)
    assert sorted(n for n in star if n != "__builtins__") == ["expand_nargs_list", "remove_dups_from_multiple_nargs_list"]
    for fn in (expand_nargs_list, remove_dups_from_multiple_nargs_list):
        assert fn.__doc__.startswith(fn.__name__)
    assert "['1', '2', '3', '4', '5', '6', 'x', 'y']" in expand_nargs_list.__doc__
    assert "[['1', '2', '3', '4', '5', '6', 'x', 'y'], ['8']]" in remove_dups_from_multiple_nargs_list.__doc__


@pytest.mark.parametrize("false_input", [None, [], (), "", 0])
def test_false_input_is_handed_back_itself(false_input):
    assert expand_nargs_list(false_input) is false_input
    assert expand_nargs_list(nargs_list=false_input) is false_input


@pytest.mark.parametrize("words, expected", [
    (DOC_WORDS, ["1", "2", "3", "4", "5", "6", "x", "y"]),
    (["1 2 3 4"], ["1", "2", "3", "4"]),
    (["a  b"], ["a", "b"]),                     # two blanks: the empty piece is dropped
    (["a\tb"], ["a\tb"]),                       # only the blank separates
    (['""'], [""]),                             # emptiness is tested before stripping
    (["'\"a\"'"], ['"a"']),                     # single quotes outermost keep the double ones
    (["\"'a'\""], ["a"]),                       # double quotes outermost lose both kinds
    (["ab a"], ["a", "ab"]),
    ("ab a", ["a", "b"]),                       # a text is taken character by character
    ([None, "", 0, "x"], ["x"]),                # false items are skipped
    (("a b", "b c"), ["a", "b", "c"]),
])
def test_expand_documented_cases(words, expected):
    assert sorted(expand_nargs_list(words)) == expected


def test_expand_gives_the_documented_set_order():
    rng = random.Random(7)
    vocabulary = ["a", "b", "x1", "'q'", '"d"', '"e', "f'", "", "  ", "ж", "\U0001F600", "long word here", "a b c"]
    for _ in range(300):
        words = [" ".join(rng.choice(vocabulary) for _ in range(rng.randrange(1, 5))) for _ in range(rng.randrange(1, 30))]
        words = [w if rng.random() > 0.1 else None for w in words]
        result = expand_nargs_list(words)
        assert result == documented_expand(words)
        assert all(type(piece) is str for piece in result)


def test_expand_uses_the_items_own_methods_and_leaves_the_input_alone():
    calls = []

    class Word(str):
        def split(self, sep=None):
            calls.append(("split", sep))
            return [Piece(p) for p in super().split(sep)]

    class Piece(str):
        def strip(self, chars=None):
            calls.append(("strip", chars))
            return Piece(super().strip(chars))

    words = [Word('"a b'), Word("a'")]
    snapshot = list(words)
    assert sorted(expand_nargs_list(words)) == ["a", "b"]
    assert words == snapshot
    assert calls == [("split", " "), ("strip", '"'), ("strip", "'"), ("strip", '"'), ("strip", "'"),
                     ("split", " "), ("strip", '"'), ("strip", "'")]


def test_expand_looks_itertools_up_at_each_call(monkeypatch):
    seen = []

    def from_iterable(per_item):
        per_item = [list(pieces) for pieces in per_item]
        seen.append(per_item)
        return itertools.chain.from_iterable(per_item)

    monkeypatch.setattr(parvix, "itertools", types.SimpleNamespace(chain=types.SimpleNamespace(from_iterable=from_iterable)))
    assert sorted(expand_nargs_list(["b a", "", "'c'"])) == ["a", "b", "c"]
    assert seen == [[["b", "a"], ["c"]]]
    monkeypatch.delattr(parvix, "itertools")
    with pytest.raises(NameError, match="itertools"):
        expand_nargs_list(["a"])


@pytest.mark.parametrize("bad, error", [
    (5, TypeError),                 # not iterable
    ([1], AttributeError),          # no split
    (["a", ["b"]], AttributeError),
    ([b"a b"], TypeError),          # bytes.split with a text separator
])
def test_expand_errors(bad, error):
    with pytest.raises(error):
        expand_nargs_list(bad)


@pytest.mark.parametrize("lists, expected", [
    ([], [[]]),
    ([[], []], [[]]),
    ([[1], [True, 2.0], [2]], [[1], [2.0]]),    # 1 == True and 2 == 2.0 collapse
    (["ab", "bc"], [["a", "b"], ["c"]]),          # text elements are taken character by character
    ([["a", "b", "a"], ["b", "c"], ["c"], ["d"]], [["a", "b"], ["c"], ["d"]]),
    (iter([("x", "y"), iter(["y", "z"])]), [["x", "y"], ["z"]]),
])
def test_remove_dups_cases(lists, expected):
    assert remove_dups_from_multiple_nargs_list(lists) == expected


def test_remove_dups_keeps_the_item_objects_and_leaves_the_input_alone():
    first, second = (1,), (1,)
    lists = [[first, "a"], [second, "b"]]
    result = remove_dups_from_multiple_nargs_list(multiple_nargs_list=lists)
    assert result == [[(1,), "a"], ["b"]]
    assert result[0][0] is first
    assert lists == [[first, "a"], [second, "b"]]
    assert result[0] is not lists[0]


@pytest.mark.parametrize("bad", [None, [None], [["a", ["unhashable"]]], 3])
def test_remove_dups_errors(bad):
    with pytest.raises(TypeError):
        remove_dups_from_multiple_nargs_list(bad)


def test_fed_by_a_real_argparse_parser():
    parser = argparse.ArgumentParser()
    parser.add_argument("--foo", nargs="*", action="append")
    parser.add_argument("--bar", nargs="*")
    # a command line split at every blank, so that quote characters stay in the words
    command_line = '--foo 4 5 6 "1 2 3 4" x y 5 --foo 2 4 6 8 --bar "a b" c'
    args = parser.parse_args(command_line.split(" "))
    assert args.foo == [DOC_WORDS, ["2", "4", "6", "8"]]
    expanded = [sorted(expand_nargs_list(words)) for words in args.foo]
    assert remove_dups_from_multiple_nargs_list(expanded) == [["1", "2", "3", "4", "5", "6", "x", "y"], ["8"]]
    assert sorted(expand_nargs_list(args.bar)) == ["a", "b", "c"]
    # an option given with no words collects empty lists
    empty = parser.parse_args(["--foo", "--foo"])
    assert remove_dups_from_multiple_nargs_list(empty.foo) == [[]]
    assert expand_nargs_list(parser.parse_args(["--bar"]).bar) == []
