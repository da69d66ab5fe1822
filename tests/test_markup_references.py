"""quarv.utils.yaml.markup: references, list extensions and callables."""

import collections
import logging
import sys
import textwrap

import pytest

from quarv.utils.yaml.exceptions import MarkupError
from quarv.utils.yaml.markup import Processor


def base():
    return {"a": {"x": 1, "y": 2}, "l": [1, 2], "s": "abc", "n": 5}


def resolved(text, **extra):
    processor = Processor()
    data = {**base(), **extra, "t": text}
    result = processor(data)
    return result["t"], processor, data


def failure_of(data, processor=None):
    with pytest.raises(MarkupError) as caught:
        (processor or Processor())(data)
    return caught.value


# ----- references ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("%{n}", 5), ("%{s}", "abc"), ("%{ l }", [1, 2]), ("%{a.keys()}", ["x", "y"]), ("n=%{n}", "n=5"),
    ("%{n}+%{n}", "5+5"), ("%{n} %{ n }", "5 5"), ("f(%{l})", "f(${l})"), ("s=%{a}", "s=${a}"),
    ("%{a.keys()} and b.keys()", "${a} and b"), ("%{.keys()}", None), ("%{a.x}", 1), ("%{l.1}", 2),
])
def test_references(text, expected):
    assert resolved(text)[0] == expected


def test_placeholders_remember_the_very_objects_once():
    _, processor, data = resolved("%{ l }")
    assert processor.markup_already_seen == {"${ l }": [1, 2]}
    assert processor.markup_already_seen["${ l }"] is data["l"]
    _, processor, data = resolved("%{a.keys()}")
    assert processor.markup_already_seen["${a}"] == {"x": 1, "y": 2}.keys()
    _, processor, data = resolved("f(%{l}) g(%{l})")
    assert processor.markup_already_seen == {"${l}": data["l"]}


def test_only_plain_lists_and_dicts_become_placeholders():
    text, processor, _ = resolved("s=%{o}", o=collections.OrderedDict(k=1))
    assert text == "s=OrderedDict([('k', 1)])" and processor.markup_already_seen == {}


def test_how_many_passes_a_text_needs():
    calls = []

    class Counting(Processor):
        def p_reference_markup(self, match, data, index, locations=None):
            calls.append(data)
            return super().p_reference_markup(match, data, index, locations=locations)

    assert Counting()({"n": 5, "t": "%{n}+%{n}"})["t"] == "5+5" and calls == ["%{n}+%{n}"]
    calls.clear()
    assert Counting()({"n": 5, "t": "%{n} %{ n }"})["t"] == "5 5" and len(calls) == 2


def test_a_missing_path_raises_the_short_message_with_the_key_error_as_cause():
    error = failure_of({"k": ["%{missing}"]})
    assert str(error) == "Caught error while processing markups: \nIndex:  ['k', 0]\nMarkup: %{missing}\n"
    short = error.__cause__
    assert type(short) is MarkupError
    assert str(short) == "Caught error while processing markups: \nIndex:  k.0\nMarkup: %{missing}\n"
    assert type(short.__cause__) is KeyError


@pytest.mark.parametrize("data, index", [
    ({"v": "%{v}"}, "v"), ({"p": {"q": "%{p}"}}, "p.q"), ({"p": {"q": ["%{p.q}"]}}, "p.q.0"),
    ({"a": "%{b}", "b": "%{a}"}, "a"),
])
def test_recursive_references(data, index):
    cause = failure_of(data).__cause__
    assert type(cause) is MarkupError and cause.__cause__ is None
    assert str(cause).startswith(f"Detected recursion markup: \nIndex:  {index}\nMarkup: %{{")


def test_a_reference_to_an_ancestor_through_a_list_position_is_recursive_and_changes_nothing():
    for data, index in [({"l": [["a", "%{l.0}"]]}, "l.0.1"), ({"l": ["%{l.0}"]}, "l.0"),
                        ({"p": {"q": ["%{p.q}"]}}, "p.q.0"), ({"l": [{"m": ["%{l.0.m}"]}]}, "l.0.m.0")]:
        before = repr(data)
        error = failure_of(data)
        assert str(error.__cause__).startswith(f"Detected recursion markup: \nIndex:  {index}\n"), data
        assert repr(data) == before
    # a position that is not an ancestor's is an ordinary reference
    assert Processor()({"l": [["a", "b"], "%{l.0}"]})["l"][1] == ["a", "b"]


def test_keys_of_a_value_without_keys_fail_with_the_interpreters_error():
    assert type(failure_of({"l": [1], "t": "%{l.keys()}"}).__cause__) is AttributeError


def test_a_reference_below_a_key_that_changed_is_resolved(monkeypatch):
    monkeypatch.setenv("K", "changed")
    data = {"s": "abc", "%ENV{K}": {"v": "%{s}", "w": ["%{s}"]}}
    assert Processor()(data) == {"s": "abc", "changed": {"v": "abc", "w": ["abc"]}}
    assert data == {"s": "abc", "%ENV{K}": {"v": "%{s}", "w": ["%{s}"]}}


# ----- list extension ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("%EXTEND_LIST{ l , s }", [1, 2, "a", "b", "c"]), ("%EXTEND_LIST{a}", ["x", "y"]),
    ("x %EXTEND_LIST{l} y", [1, 2]), ("%EXTEND_LIST{l, l}", [1, 2, 1, 2]), ("%EXTEND_LIST{l, m}", [1, 2, 1, 2]),
    ("%EXTEND_LIST{e, e}", []), ("%EXTEND_LIST{l,}", [1, 2]), ("%EXTEND_LIST{l,,l}", [1, 2, 1, 2]),
    ("%EXTEND_LIST{ , }", []),
])
def test_list_extension(text, expected):
    assert resolved(text, m=[1, 2], e=[])[0] == expected


def test_the_concatenation_is_what_the_callers_data_keeps():
    _, _, data = resolved("%EXTEND_LIST{l, s}")
    assert data["t"] == [1, 2, "a", "b", "c"]
    assert data["l"] == [1, 2] and data["s"] == "abc"


def test_list_extension_failures():
    assert type(failure_of({"n": 5, "t": "%EXTEND_LIST{n}"}).__cause__) is TypeError
    error = failure_of({"t": "%EXTEND_LIST{nope}"})
    assert str(error) == "Caught error while processing markups: \nIndex:  ['t']\nMarkup: %{nope}\n"
    assert "Detected recursion" in str(failure_of({"t": "%EXTEND_LIST{t}"}).__cause__)


def test_list_extension_elements_are_walked_and_their_references_resolved():
    data = {"s": "abc", "l": ["%{s}", 1], "t": "%EXTEND_LIST{l, l}"}
    assert Processor()(data)["t"] == ["abc", 1, "abc", 1]


# ----- callables --------------------------------------------------------------------------------------------

@pytest.fixture
def callee(tmp_path, monkeypatch):
    (tmp_path / "markup_callee.py").write_text(textwrap.dedent("""
        calls = []
        result = None
        fail = 0

        def f(*args, **kwargs):
            global fail
            calls.append((args, kwargs))
            if fail:
                fail -= 1
                raise failure
            return result

        failure = RuntimeError("boom")
    """))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("markup_callee", None)
    import markup_callee

    yield markup_callee
    sys.modules.pop("markup_callee", None)


def calls_for(callee, text, **stored):
    callee.calls.clear()
    processor = Processor()
    processor({**stored, "t": text})
    return callee.calls


@pytest.mark.parametrize("text, calls", [
    ("%CALLABLE{markup_callee.f}", [((), {})]),
    ("%CALLABLE{markup_callee.f()}", [((), {})]),
    ("%CALLABLE{markup_callee.f(1, 'x', True, None)}", [((1, "x", True, None), {})]),
    ("%CALLABLE{markup_callee.f(abc, k=v, j=2)}", [(("abc",), {"k": "v", "j": 2})]),
    ("%CALLABLE{markup_callee.f([1, 'a'], {'k': 2})}", [(([1, "a"], {"k": 2}), {})]),
    ("%CALLABLE{markup_callee.f(-1, 2)}", [((-1, 2), {})]),
    ("%CALLABLE{markup_callee.f((1, 2))}", [(((1, 2),), {})]),
    ("%CALLABLE{markup_callee.f(hello world)}", [(("hello world",), {})]),
    ("%CALLABLE{markup_callee.f(1, k=g(2))}", [((1, "k=g(2)"), {})]),
    ("%CALLABLE{markup_callee.f(x=[1])}", [(("x=[1]",), {})]),
])
def test_callable_arguments(callee, text, calls):
    assert calls_for(callee, text) == calls


@pytest.mark.parametrize("text, calls", [
    ("%CALLABLE{markup_callee.f(%{b})}", [(([1, 2],), {})]),
    ("%CALLABLE{markup_callee.f(%{e})}", [((), {})]),
    ("%CALLABLE{markup_callee.f(%{b}, 1)}", [(([1, 2], 1), {})]),
    ("%CALLABLE{markup_callee.f(1, %{b})}", [((1, [1, 2]), {})]),
    ("%CALLABLE{markup_callee.f([%{b}], 1)}", [((["${b}"], 1), {})]),
    ("%CALLABLE{markup_callee.f(k=%{b}, j=1)}", [((), {"k": "${b}", "j": 1})]),
    ("%CALLABLE{markup_callee.f(%{b}, -1)}", [(("${b}", -1), {})]),
    ("%CALLABLE{markup_callee.f(%{b}, %{b}, 1)}", [(([1, 2], [1, 2], 1), {})]),
])
def test_callable_arguments_with_stored_references(callee, text, calls):
    assert calls_for(callee, text, b=[1, 2], e=[]) == calls
    assert all(arg is not None for args, _ in calls for arg in args)


def test_a_callable_failing_twice_is_called_a_third_time_with_the_text(callee, caplog):
    callee.fail = 2
    with caplog.at_level(logging.DEBUG, logger="quarv.utils.yaml.markup"):
        assert calls_for(callee, "%CALLABLE{markup_callee.f(1, 2)}") == [((1, 2), {}), ((1, 2), {}), (("1, 2",), {})]
    assert [r.getMessage() for r in caplog.records] == ["boom\nUnable to parse markup_callee.f(1, 2), using as-is"]
    assert all(r.levelno == logging.DEBUG for r in caplog.records)


@pytest.mark.parametrize("result, text, expected", [
    ([1, 2], "%CALLABLE{markup_callee.f()}", [1, 2]), (None, "%CALLABLE{markup_callee.f()}", None),
    (5, "x=%CALLABLE{markup_callee.f()}", "x=5"), ("%{n}", "%CALLABLE{markup_callee.f()}", 5),
    ("r", "pre %CALLABLE{markup_callee.f(1)} post %CALLABLE{markup_callee.f(1)}", "pre r"),
])
def test_callable_results(callee, result, text, expected):
    callee.result = result
    assert Processor()({"n": 5, "t": text})["t"] == expected


def test_callable_key_errors(callee):
    callee.failure = KeyError("k")
    callee.fail = 1
    error = failure_of({"t": "%CALLABLE{markup_callee.f}"})
    assert str(error.__cause__) == ("Caught error while processing markups: \nIndex:  t\n"
                                    "Markup: %CALLABLE{markup_callee.f}\n")
    assert type(error.__cause__.__cause__) is KeyError
    callee.fail = 1
    callee.calls.clear()
    Processor()({"t": "%CALLABLE{markup_callee.f(1)}"})
    assert callee.calls == [((1,), {}), ((1,), {})]
    assert type(failure_of({"t": "%CALLABLE{markup_callee.nope}"}).__cause__) is ImportError


@pytest.mark.parametrize("text, expected", [
    ("1, 2", [1, 2]), ("(1, 2)", [(1, 2)]), ("a b, 'x, y', 3", ["a b", "x, y", 3]), ("1,,2", [1, "", 2]),
    ("1, 'unterminated", [1, "'unterminated"]), ("${a.b}, x y", [[1, 2], "x y"]), ("${a.b} , 1", ["${a.b}", 1]),
    ("", []), (None, []),
])
def test_the_fall_back_splitter(text, expected):
    processor = Processor()
    processor.markup_already_seen = {"${a.b}": [1, 2]}
    assert processor._parse_callable_arguments(text) == expected
    assert processor._parse_callable_arguments(args_str=text) == expected


def test_callables_are_off_with_the_flag(callee):
    assert Processor(callable=False)({"t": "%CALLABLE{markup_callee.f}"}) == {"t": "%CALLABLE{markup_callee.f}"}
    assert callee.calls == []


# ----- what an overridden matcher hands back -------------------------------------------------------------------

class HugeIndex:
    def __index__(self):
        return 2 ** 70


class SpanOf:
    """A real match whose span() gives what a test asks for."""

    def __init__(self, match, span):
        self.match, self.given = match, span

    def span(self, *group):
        return self.given

    def __getattr__(self, name):
        return getattr(self.match, name)


def with_span(matcher, span):
    class Overriding(Processor):
        pass

    def match(self, value):
        found = getattr(Processor, matcher)(self, value)
        return SpanOf(found, span) if found else found

    setattr(Overriding, matcher, match)
    return Overriding()


# a span of the wrong kind fails as unpacking or slicing fails; positions outside the text are
# adjusted as slicing adjusts them, so the markup covers the whole text, or nothing of it
WRONG_SPANS = [(object(), TypeError), ((1,), ValueError), ((1, 2, 3), ValueError), (("a", 1), TypeError),
               ((1.5, 2), TypeError), (None, TypeError)]
WHOLE_SPANS = [(None, None), (-100, 100), (0, HugeIndex())]
EMPTY_SPANS = [(2 ** 70, -(2 ** 70)), (5, 1), (HugeIndex(), HugeIndex()), (-1, 0)]


@pytest.fixture
def handler_cases(callee, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "five.yaml").write_text("5\n")
    (tmp_path / "hello.yaml").write_text("hello\n")
    callee.result = 7
    # matcher, text, what the whole text gives, what the markup inside the text gives
    return [("match_reference_markup", "x%{n}y", 5, "x5y"),
            ("match_callable_markup", "x %CALLABLE{markup_callee.f} y", 7, "x 7 y"),
            ("match_include_file_markup", "say %INCLUDE{hello.yaml}!", "hello", "say hello!")]


def test_spans_handed_back_by_matchers_are_checked(handler_cases):
    for matcher, text, whole, inside in handler_cases:
        assert Processor()({"n": 5, "t": text})["t"] == inside
        for span, error in WRONG_SPANS:
            with pytest.raises(MarkupError) as caught:
                with_span(matcher, span)({"n": 5, "t": text})
            assert type(caught.value.__cause__) is error, (matcher, span)
        for span in WHOLE_SPANS:
            assert with_span(matcher, span)({"n": 5, "t": text})["t"] == whole, (matcher, span)


def test_a_span_outside_the_text_marks_nothing_of_it(handler_cases):
    # a reference replaces its markup text; a callable and an include replace what the span marks:
    # nothing, here, which the text's own replace puts at every position
    for span in EMPTY_SPANS:
        assert with_span("match_reference_markup", span)({"n": 5, "t": "x%{n}y"})["t"] == "x5y", span
        for matcher, text, _, value in [("match_callable_markup", "%CALLABLE{markup_callee.f}", None, "7"),
                                        ("match_include_file_markup", "%INCLUDE{hello.yaml}", None, "hello")]:
            assert with_span(matcher, span)({"t": text})["t"] == text.replace("", value), (matcher, span)


def test_list_extension_pieces_must_strip_to_texts():
    class Piece(str):
        def strip(self, *chars):
            return self.stripped

    class Group(str):
        def split(self, *args):
            return [piece]

    class Match:
        def group(self, n):
            return Group("l")

    processor = Processor()
    processor({"l": [1]})
    piece = Piece("l")
    for stripped, outcome in [(12345, TypeError), (b"l", TypeError), (None, TypeError), ("", []),
                              (Piece("l"), [1])]:
        piece.stripped = stripped
        if isinstance(outcome, list):
            assert processor.p_extend_list_markup(Match(), "x", ["t"]) == outcome
        else:
            with pytest.raises(outcome, match="can only concatenate str"):
                processor.p_extend_list_markup(Match(), "x", ["t"])
