"""And, Or, Use, PathAwareUse and ListOf, with records looked up in a real location tree."""

import functools

import pytest

from quarv.utils import veltrane
from quarv.utils.exceptions import SchemaError, SchemaTypeError
from quarv.utils.locations import Location, LocSafeLoader
from quarv.utils.veltrane import And, ListOf, Or, Schema, Use

PathAwareUse = veltrane.PathAwareUse


@pytest.fixture
def loaded():
    """A document loaded with its location tree: (data, tree)."""
    tree = Location()
    loader = LocSafeLoader("a: 7\nb: [x, 1, 2.5]\nc:\n  d: 5\n", locations=tree, file_name="/srv/conf.yaml")
    try:
        return loader.get_single_data(), tree
    finally:
        loader.dispose()


def test_and_chains_its_steps():
    data = object()
    assert And().validate(data) is data
    assert And(str, Use(len)).validate("abc") == 3
    with pytest.raises(SchemaTypeError) as caught:
        And(int, str).validate(5)
    assert caught.value.schema is str


def test_or_takes_the_first_alternative_that_validates():
    calls = []
    assert Or(str, Use(calls.append)).validate("t") == "t" and calls == []
    assert Or(int, Use(int)).validate("4") == 4
    with pytest.raises(SchemaError) as caught:
        Or().validate(1)
    assert str(caught.value) == "" and caught.value.locations == []


def test_or_reports_every_alternative():
    with pytest.raises(SchemaError) as caught:
        Or(int, str).validate(1.5)
    first, second = str(caught.value).split("\nAND\n")
    assert first == ("Schema  (type) <class 'int'> does not match 1.5\n"
                     + str(SchemaTypeError([], int, 1.5, locations=None)))
    assert second.startswith("Schema  (type) <class 'str'> does not match 1.5\n")
    assert caught.value.locations == [] and caught.value.__cause__ is None and caught.value.__context__ is None


def test_or_builds_each_failure_text_when_the_alternative_fails(monkeypatch):
    # the record look-up and the texts of a failed alternative run before the next one is tried,
    # also when a later alternative validates
    looked_up = []

    def chainget(tree, path):
        looked_up.append(list(path))
        raise KeyError(path)

    class Loud:
        def __str__(self):
            looked_up.append("text")
            return "loud"

    monkeypatch.setattr(veltrane, "chainget", chainget)
    loud = Loud()
    assert Or(int, Use(lambda v: v)).validate(loud) is loud
    assert looked_up == ["text", [loud]]
    looked_up.clear()
    assert Or(1, "x").validate("x") == "x" and looked_up == [["x"]]


def test_or_names_the_record_of_the_value(loaded):
    data, tree = loaded
    with pytest.raises(SchemaError) as caught:
        Schema({"a": Or(str, list), "b": list, "c": dict}).validate(data, locations=tree)
    record = tree["a"][7]
    texts = str(caught.value).split("\nAND\n")
    assert all(f"does not match 7({record})\n" in t for t in texts) and str(record) == "conf.yaml line:1 column:4"
    assert caught.value.locations == [record, record] and caught.value.locations[0] is record


def test_use_converts_and_reports_failures(loaded):
    assert Use(int).validate("12") == 12
    assert Use(int).validate("12", advanced_datatypes=False) == 12
    with pytest.raises(SchemaError) as caught:
        Use(int).validate("x")
    error = caught.value
    assert str(error) == "int('x') raised " + repr(error.__cause__) and isinstance(error.__cause__, ValueError)
    assert error.locations == []
    data, tree = loaded
    with pytest.raises(SchemaError) as caught:
        Schema({"a": Use(lambda v: 1 / v - 1 / 7 + 1 / 0), "b": list, "c": dict}).validate(data, locations=tree)
    assert str(caught.value).startswith(f"{tree['a'][7]}\n  <lambda>(7) raised ZeroDivisionError(")
    assert caught.value.locations == [tree["a"][7]]


class Unprintable:
    """A record whose text form fails."""

    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error("no text")


def _path_aware_int(path, value):
    return int(value)


@pytest.mark.parametrize("make", [lambda: Or(int), lambda: Use(int), lambda: PathAwareUse(_path_aware_int)])
@pytest.mark.parametrize("error", [AttributeError, KeyError, TypeError])
def test_record_without_a_text_form_is_left_out(monkeypatch, make, error):
    monkeypatch.setattr(veltrane, "chainget", lambda tree, path: Unprintable(error))
    schema = make()
    if error is TypeError and not isinstance(schema, Use):
        # only Use skips a TypeError of its record steps; the others let it out
        with pytest.raises(TypeError, match="no text") as caught:
            schema.validate("x", locations={})
        assert isinstance(caught.value.__context__, (SchemaError, ValueError))
        return
    with pytest.raises(SchemaError) as caught:
        schema.validate("x", locations={})
    assert caught.value.locations == [] and "no text" not in str(caught.value)


def test_use_lets_schema_errors_and_interrupts_through():
    failure = SchemaError("mine")

    def refusing(value):
        raise failure

    with pytest.raises(SchemaError) as caught:
        Use(refusing).validate(1)
    assert caught.value is failure

    def interrupted(value):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Use(interrupted).validate(1)


class Callable:
    def __call__(self, value):
        raise ValueError("no")

    def __repr__(self):
        return "<the callable>"


@pytest.mark.parametrize("fn, name", [(functools.partial(int, base=2), repr(functools.partial(int, base=2))),
                                      (Callable(), "<the callable>")])
def test_callables_without_a_name_are_named_by_repr(fn, name):
    with pytest.raises(SchemaError) as caught:
        Use(fn).validate("x")
    assert str(caught.value).startswith(f"{name}('x') raised ValueError(")
    assert isinstance(caught.value.__cause__, ValueError)
    with pytest.raises(SchemaError) as caught:
        PathAwareUse(fn).validate("x")
    assert str(caught.value).startswith(f"{name}('x') raised TypeError(")
    # the failure is a schema error, so alternatives and lists still collect it
    assert Or(Use(fn), str).validate("x") == "x"
    with pytest.raises(SchemaError, match="Bad elements in list"):
        ListOf(Use(fn)).validate(["x"])


def test_path_aware_use_receives_the_key_path():
    seen = []

    def record(path, value):
        seen.append((list(path), value))
        return value * 2

    assert Schema({"a": {"b": PathAwareUse(record)}}).validate({"a": {"b": 5}}) == {"a": {"b": 10}}
    assert seen == [(["a", "b"], 5)]
    with pytest.raises(SchemaError) as caught:
        PathAwareUse(len).validate("x")
    assert str(caught.value).startswith("len('x') raised TypeError(")


def test_list_of_validates_every_element(loaded):
    source = [1, 2]
    result = ListOf(int).validate(source)
    assert result == source and result is not source and ListOf(int).validate([]) == []

    class Items(list):
        pass

    assert type(ListOf(int).validate(Items([1]))) is list
    for wrong in ((1,), "ab", {"a": 1}):
        with pytest.raises(SchemaTypeError) as caught:
            ListOf(int).validate(wrong)
        assert caught.value.schema == "list"
    data, tree = loaded
    with pytest.raises(SchemaError) as caught:
        Schema({"a": int, "b": ListOf(str), "c": dict}).validate(data, locations=tree)
    error = caught.value
    lines = str(error).split("\n")
    assert lines[0] == "Bad elements in list:" and len(lines) == 3
    assert "['b', 1]" in lines[1] and "['b', 2]" in lines[2]
    assert error.locations == [tree["b"][1], tree["b"][2]] and error.__cause__ is None
    with pytest.raises(SchemaError) as caught:
        ListOf(int).validate(["a"], locations={0: {"not": "a record"}})
    assert caught.value.locations == []


def test_list_of_leaves_its_path_as_it_found_it():
    elements = ListOf(int, ["items"])
    elements.validate([1, 2])
    assert elements.path == ["items"]
    with pytest.raises(SchemaError):
        elements.validate([1, "x"])
    assert elements.path == ["items"]
    with pytest.raises(SchemaError) as caught:
        elements.validate(["y"])
    assert "['items', 0]" in str(caught.value)
    assert str(elements) == "ListOf items (type) <class 'int'>"

    def interrupted(value):
        raise KeyboardInterrupt

    escaping = ListOf(Use(interrupted), ["items"])
    with pytest.raises(KeyboardInterrupt):
        escaping.validate([1])
    assert escaping.path == ["items"]
