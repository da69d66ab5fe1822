"""Schema.validate: the rule ladder, the dictionary rule, missing and unsupported keys, errors."""

import sys
from collections import OrderedDict

import pytest

from quarv.utils import veltrane
from quarv.utils.exceptions import (SchemaClassError, SchemaError, SchemaMissingKeyError, SchemaTypeError,
                                    SchemaUnsupportedKeyError, SchemaValueError)
from quarv.utils.veltrane import And, Any, Default, ListOf, Optional, Or, Schema, Use


def missing(schema, data, **kwargs):
    with pytest.raises(SchemaMissingKeyError) as caught:
        Schema(schema).validate(data, **kwargs)
    return caught.value.path, caught.value.keys


@pytest.mark.parametrize("schema, data", [
    (int, 5), (int, True), (str, "x"), (list, [1]), (dict, {}), (tuple, ()), (set, set()), (bool, False),
    (float, 1.5), (5, 5), ("a", "a"), ([1, 2], [1, 2]), (None, None), (Any(), object),
])
def test_values_that_pass_come_back_unchanged(schema, data):
    assert Schema(schema).validate(data) is data


@pytest.mark.parametrize("schema, data, error", [
    (float, 1, SchemaTypeError), (int, "1", SchemaTypeError), (dict, [], SchemaTypeError),
    (5, 6, SchemaValueError), ([1, 2], [1], SchemaValueError), ([1], (1,), SchemaValueError),
    ({"a": int}, [("a", 1)], SchemaTypeError), ({}, None, SchemaTypeError),
])
def test_failures(schema, data, error):
    with pytest.raises(error) as caught:
        Schema(schema, ["at"]).validate(data, top=False, locations="tree")
    assert caught.value.path == ["at"] and caught.value.schema is schema and caught.value.data is data
    assert caught.value.locations == "tree"


def test_chr_takes_the_type_rule_and_isinstance_complains():
    with pytest.raises(TypeError):
        Schema(chr).validate("a")


def test_callable_rule():
    calls = []

    def length(value):
        calls.append(value)
        return len(value)

    assert Schema(length).validate("abc") == 3 and calls == ["abc", "abc"]
    assert Schema(length).validate("abc", advanced_datatypes=False) == "abc"
    with pytest.raises(SchemaClassError) as caught:
        Schema(len, ["k"]).validate(5)
    assert isinstance(caught.value.__cause__, TypeError) and caught.value.path == ["k"]
    assert caught.value.data == 5 and caught.value.locations is None

    class Point:
        def __init__(self, value):
            self.value = value

    assert isinstance(Schema(Point).validate(3), Point)

    def interrupted(value):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Schema(interrupted).validate(1)
    second = iter([None, ValueError("second call")])

    def fails_second_time(value):
        error = next(second)
        if error:
            raise error

    with pytest.raises(ValueError, match="second call"):
        Schema(fails_second_time).validate(1)


def test_nested_schema_object_gets_a_copy_of_the_path():
    inner = Schema(int)
    outer = Schema(inner, ["a", 1])
    assert outer.validate(5) == 5
    assert inner.path == ["a", 1] and inner.path is not outer.path and outer.missed == []


def test_dictionary_results_are_new_and_keep_order():
    data = {}
    assert Schema({}).validate(data) == {} and Schema({}).validate(data) is not data
    ordered = OrderedDict([("b", 1), ("a", 2)])
    result = Schema({"a": int, "b": int}).validate(ordered)
    assert type(result) is OrderedDict and list(result) == ["b", "a"]

    class Mine(dict):
        pass

    assert type(Schema({"a": int}).validate(Mine(a=1))) is dict


def test_keys_matched_by_key_tests():
    schema = {"name": str, Optional("port"): int, Any(): str}
    result = Schema(schema).validate({"zz": "w", "port": 22, "name": "n"})
    assert result == {"zz": "w", "port": 22, "name": "n"}
    assert Schema(schema).validate({"name": "n"}) == {"name": "n"}
    with pytest.raises(SchemaTypeError):
        Schema(schema).validate({"name": "n", "other": 1})
    # the first accepting key in priority order decides: here the `str` key with its `int` value
    with pytest.raises(SchemaTypeError):
        Schema({str: int, Any(): str}).validate({"x": "text"})
    assert Schema({Any(): Any()}).validate({1: object}) == {1: object}


def test_key_test_that_changes_the_key():
    assert Schema({Use(str.upper): int}).validate({"a": 1}) == {"A": 1}
    with pytest.raises(SchemaUnsupportedKeyError) as caught:
        Schema({Use(str.lower): int}).validate({"A": 1, "a": 2})
    assert caught.value.wrong_keys == {"A"}


def test_missing_keys_under_one_schema_key_are_tried_under_the_next():
    schema = {str: {"n": int}, Any(): Any()}
    assert missing(schema, {"x": {}}) == ([["x"]], ["n"])


def test_missing_keys_from_every_depth():
    assert missing({"a": {"b": {"c": int}, "d": int}}, {"a": {"b": {}}}) == ([["a"], ["a", "b"]], ["d", "c"])
    assert missing({"a": int}, None) == ([[]], ["a"])
    assert Schema({Optional("a"): int}).validate(None) == {}
    with pytest.raises(SchemaTypeError):
        Schema({"a": int}).validate(None, top=False)


@pytest.mark.parametrize("schema, data, expected", [
    ({"a": {"a": int}}, {"a": {}}, ([["a"]], ["a"])),
    ({"a": {"b": {"b": int}}}, {"a": {"b": {}}}, ([["a", "b"]], ["b"])),
    ({"x": {"y": {"x": int, "y": int}}}, {"x": {"y": {}}}, ([["x", "y"], ["x", "y"]], None)),
])
def test_missing_key_named_like_its_parent_keeps_the_parent_path(schema, data, expected):
    paths, keys = missing(schema, data)
    assert paths == expected[0]
    if expected[1] is not None:
        assert keys == expected[1]
    else:
        assert sorted(keys) == ["x", "y"]


def test_required_and_unsupported_keys():
    assert missing({"a": int, Optional("b"): int, str: int}, {"a": 1}) == ([[]], ["<class 'str'>"])
    with pytest.raises(SchemaUnsupportedKeyError) as caught:
        Schema({"a": int}, ["top"]).validate({"a": 1, "b": 2, "c": 3}, locations={})
    assert caught.value.wrong_keys == {"b", "c"} and caught.value.path == ["top"] and caught.value.locations == {}
    # missing keys are reported before unsupported ones
    assert missing({"a": int}, {"b": 1}) == ([[]], ["a"])


def test_value_failure_ends_the_validation_with_the_nested_error():
    with pytest.raises(SchemaTypeError) as caught:
        Schema({"a": {"b": int}, "c": int}).validate({"a": {"b": "x"}})
    assert caught.value.path == ["a", "b"]


def test_validating_a_schema_object_again_reports_fresh_missing_keys():
    schema = Schema({"a": {"b": int}, "c": {"d": int}})
    assert missing_keys(schema, {"a": {}, "c": {"d": 1}}) == ([["a"]], ["b"])
    assert missing_keys(schema, {"a": {"b": 1}, "c": {}}) == ([["c"]], ["d"])
    assert missing_keys(schema, {"a": {}, "c": {}}) == ([["a"], ["c"]], ["b", "d"])
    assert schema.validate({"a": {"b": 1}, "c": {"d": 2}}) == {"a": {"b": 1}, "c": {"d": 2}}
    assert schema.missed == []
    shared = Optional({"n": int})
    twice = Schema({"x": shared, "y": shared})
    assert missing_keys(twice, {"x": {}, "y": {"n": 1}}) == ([["x"]], ["n"])
    assert missing_keys(twice, {"x": {"n": 1}, "y": {}}) == ([["y"]], ["n"])


def missing_keys(schema, data):
    with pytest.raises(SchemaMissingKeyError) as caught:
        schema.validate(data)
    return caught.value.path, caught.value.keys


def test_schema_nested_inside_itself():
    tree = Schema({"name": str})
    tree.schema[Optional("children")] = ListOf(Optional(tree))
    data = {"name": "r", "children": [{"name": "a", "children": [{"name": "b"}]}, {"name": "c"}]}
    assert tree.validate(data) == data
    with pytest.raises(SchemaError) as caught:
        tree.validate({"name": "r", "children": [{"children": []}]})
    assert "'name'" in str(caught.value)
    assert tree.validate(data) == data and tree.missed == []


@pytest.mark.parametrize("data, paths, keys, deepest", [
    ({"x": 1, "k": {"x": 1}}, [["k"]], ["k"], ["k"]),
    ({"x": 1, "k": {"x": 1, "k": {"k": {"x": 1}}}}, [["k", "k"], ["k", "k", "k"]], ["x", "k"], ["k", "k", "k"]),
])
def test_schema_object_nested_in_itself_reports_each_level_at_its_own_path(data, paths, keys, deepest):
    inner = {"x": int}
    nested = Schema(inner)
    inner["k"] = nested
    with pytest.raises(SchemaMissingKeyError) as caught:
        nested.validate(data)
    assert (caught.value.path, caught.value.keys) == (paths, keys)
    # the engine still gives the nested object the key path of each level it reaches, the last one last
    assert nested.path == deepest and nested.missed == []


def test_schema_dictionary_changed_during_its_own_validation():
    # the second call changes the dictionary while the validation of its inner level still runs;
    # the level below works from the changed one, the outer levels from what they began with
    calls = []

    def change(value):
        calls.append(value)
        if len(calls) == 2:
            schema[Optional("c")] = int
        return value

    schema = {"a": Use(change)}
    schema[Optional("n")] = Schema(schema)
    data = {"a": 0, "n": {"a": 1, "n": {"a": 2, "c": 3}}}
    assert Schema(schema).validate(data) == data and calls == [0, 1, 2]
    with pytest.raises(SchemaError):
        Schema(schema).validate({"a": 0, "c": "x"})


def test_schema_object_changing_class_during_the_validation():
    class Plain:
        def __call__(self, value):
            return "called"

    nested = Schema(int)

    def change(value):
        if value == 2:
            nested.__class__ = Plain  # from now on the value schema is a callable, no schema object
        return value

    schema = Schema({Any(): {"a": Use(change), "b": nested}})
    data = {"x": {"a": 1, "b": 5}, "y": {"a": 2, "b": 5}, "z": {"a": 3, "b": 5}}
    assert schema.validate(data) == {"x": {"a": 1, "b": 5}, "y": {"a": 2, "b": "called"},
                                     "z": {"a": 3, "b": "called"}}


def test_errors_and_exceptions_pass_through():
    def broken(value):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Schema({"a": And(Use(broken))}).validate({"a": 1})
    failure = SchemaError("own")

    def refusing(value):
        raise failure

    with pytest.raises(SchemaError) as caught:
        Schema({"a": Use(refusing)}).validate({"a": 1})
    assert caught.value is failure


def test_deep_nesting_raises_recursion_error():
    schema = {}
    node = schema
    data = {}
    cursor = data
    for _ in range(20000):
        node["k"] = {}
        node = node["k"]
        cursor["k"] = {}
        cursor = cursor["k"]
    with pytest.raises(RecursionError):
        Schema(schema).validate(data, top=False)
    looping = Schema(None)
    looping.schema, looping.schemaType = Optional(looping), Optional
    with pytest.raises(RecursionError):
        looping.validate(1)
    assert sys.getrecursionlimit() > 0


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    class Rejecting(SchemaValueError):
        pass

    monkeypatch.setattr(veltrane, "SchemaValueError", Rejecting)
    with pytest.raises(Rejecting):
        Schema(1).validate(2)
    seen = []

    class Counting(veltrane.Schema):
        def __init__(self, schema, path=None):
            seen.append(schema)
            super().__init__(schema, path)

    monkeypatch.setattr(veltrane, "Schema", Counting)
    assert Or(int, str).validate("x") == "x" and seen == [int, str]
    monkeypatch.setattr(veltrane, "Any", Optional)
    assert Schema.priority(Optional("a")) == 3


def test_subclass_overrides_are_honoured():
    class Doubling(Schema):
        def validate(self, data, top=False, locations=None, advanced_datatypes=True):
            return data * 2

    assert Schema({"a": Doubling(int)}).validate({"a": 2}) == {"a": 4}
    assert And(Doubling(int), Use(str)).validate(3) == "6"

    class Stamped(Schema):
        def apply_defaults(self, data):
            return dict(data, stamp=1)

    assert Stamped({"stamp": int, "a": int}).validate({"a": 1}) == {"a": 1, "stamp": 1}


def test_default_and_other_wrappers_inside_dictionaries():
    schema = {"a": Default(int, 5), "b": Or(int, str), "c": And(int, Use(str)), "d": ListOf(int)}
    assert Schema(schema).validate({"a": None, "b": "x", "c": 1, "d": [1]}) == {"a": 5, "b": "x", "c": "1", "d": [1]}
