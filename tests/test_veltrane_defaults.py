"""Defaults and fallbacks filled in by the top-level step, and the ListDict they work through."""

from collections import OrderedDict

import pytest

from quarv.datastructures import ListDict
from quarv.utils.exceptions import (SchemaFallbackError, SchemaFallbackLoopError, SchemaMissingKeyError,
                                    SchemaTypeError)
from quarv.utils.veltrane import Any, Default, Fallback, ListOf, Optional, Schema


def test_list_dict_contract():
    nested = {"a": {"b": 1, "c": [2]}, "d": {}, "e": None}
    pairs = ListDict(nested)
    assert list(pairs) == [(("a", "b"), 1), (("a", "c"), [2]), (("d",), {}), (("e",), None)]
    assert pairs[1] == (("a", "c"), [2]) and all(type(path) is tuple for path, _ in pairs)
    assert pairs.reconstruct() == nested and ListDict().reconstruct() == {}
    pairs.append((("d", "x"), 3))
    pairs.append((("a", "b", "deeper"), 4))
    pairs.append((("e",), "replaced"))
    assert pairs.reconstruct() == {"a": {"b": 1, "c": [2]}, "d": {"x": 3}, "e": None}
    assert nested == {"a": {"b": 1, "c": [2]}, "d": {}, "e": None}
    ordered = ListDict(OrderedDict([("z", OrderedDict([("y", 1)]))])).reconstruct()
    assert type(ordered) is OrderedDict and type(ordered["z"]) is OrderedDict
    for wrong in (None, 5, [("a", 1)], "ab"):
        with pytest.raises(TypeError):
            ListDict(wrong)


@pytest.mark.parametrize("schema, data, expected", [
    ({"a": {"b": Default(str, "x")}}, {}, {"a": {"b": "x"}}),
    ({"a": {"b": Default(str, "x")}}, {"a": {"c": 1}}, {"a": {"c": 1, "b": "x"}}),
    ({"a": Default(int, 5)}, {"a": None}, {"a": None}),
    ({"a": Default(dict, {"x": 1})}, {"a": {"y": 2}}, {"a": {"y": 2, "x": 1}}),
    ({Any(): {"b": Default(str, "x")}}, {"k1": {"c": 1}, "k2": {"b": "y"}},
     {"k1": {"c": 1, "b": "x"}, "k2": {"b": "y"}}),
    ({Any(): {"b": Default(str, "x")}}, {}, {}),
    # two wildcards in one default path: only the branches the data has, none made of pieces of two
    ({Any(): {Any(): {"z": Default(int, 0)}}}, {"a": {"b": {}}, "c": {"d": {}}},
     {"a": {"b": {"z": 0}}, "c": {"d": {"z": 0}}}),
    ({Any(): {"x": {Any(): {"z": Default(int, 0)}}}}, {"a": {"x": {"b": {"z": 1}}}, "c": {"x": {"d": {"q": 2}}}},
     {"a": {"x": {"b": {"z": 1}}}, "c": {"x": {"d": {"q": 2, "z": 0}}}}),
    ({Optional("a"): {"b": Default(int, 1)}}, {"a": {"b": 2}}, {"a": {"b": 2}}),
    ({"a": str, "b": Schema({"c": Default(int, 1)})}, {"a": "v", "b": {}}, {"a": "v", "b": {}}),
])
def test_apply_defaults(schema, data, expected):
    assert Schema(schema).apply_defaults(data) == expected


def test_defaults_of_special_schemas():
    plain = {"a": int}
    data = {"a": 1}
    assert Schema(plain).apply_defaults(data) is data and Schema(plain).apply_defaults(None) == {}
    assert Schema(int).apply_defaults(None) is None and Schema(int).collect_defaults() is None
    assert Schema(Default(str, "x")).apply_defaults(None) == "x"
    assert Schema(Default(str, "x")).apply_defaults("y") == "y"
    wildcard = Any()
    collected = Schema({wildcard: {"b": Default(str, "x")}}).apply_defaults(None)
    assert collected == {wildcard: {"b": "x"}}
    optional = Optional("a")
    assert Schema({optional: {"b": Default(int, 1)}}).apply_defaults({}) == {optional: {"b": 1}}
    mixed = Schema({optional: {"b": Default(int, 1)}}).apply_defaults({"a": {"c": 3}})
    assert mixed == {"a": {"c": 3}, optional: {"b": 1}}


def test_defaults_through_validation():
    shared = []
    schema = Schema({"a": Default(int, "x"), Any(): {"tags": Default(list, shared)}})
    with pytest.raises(SchemaTypeError):
        schema.validate({})
    result = Schema({"a": Default(int, "x")}).validate({"a": None})
    assert result == {"a": "x"}
    listed = Schema({"d": {Any(): {"tags": Default(list, shared)}}}).validate({"d": {"x": {}, "y": {}}})
    assert listed["d"]["x"]["tags"] is shared and listed["d"]["y"]["tags"] is shared
    assert Schema({"a": Default(int, 5)}).validate({"a": 1}, top=False) == {"a": 1}
    assert Default(int, 5).validate(None) == 5 and Default(int, 5).validate(3) == 3


def test_caller_data_is_never_written():
    data = {"a": {}, "b": {"c": 1}}
    snapshot = {"a": {}, "b": {"c": 1}}
    schema = Schema({"a": {"x": Default(int, 1)}, "b": {"c": int, "y": Default(int, 2)}, "f": Fallback(int, "b.c")})
    assert schema.validate(data) == {"a": {"x": 1}, "b": {"c": 1, "y": 2}, "f": 1}
    assert data == snapshot


def test_default_under_a_value_that_is_not_a_dictionary_keeps_the_value():
    with pytest.raises(SchemaTypeError) as caught:
        Schema({"a": {"b": Default(int, 1)}}).validate({"a": 5})
    assert caught.value.data == 5
    assert Schema({"a": Default(int, 3)}).apply_defaults({"a": {"x": 1}}) == {"a": {"x": 1}}


@pytest.mark.parametrize("key", ["a+b", "$ref", "a[0]", "a(b)", "*.log", "host", "a.c"])
def test_data_keys_are_compared_as_keys_not_patterns(key):
    schema = Schema({key: Default(str, "default"), "hostname": Default(str, "h"), "abc": Default(str, "d")})
    data = {key: "mine"}
    result = schema.validate(data)
    assert result[key] == "mine" and result["hostname"] == "h" and result["abc"] == "d"
    fallback = Schema({"src": str, key: Fallback(str, "src"), "hostname": Fallback(str, "src")})
    assert fallback.validate({"src": "v", key: "mine"}) == {"src": "v", key: "mine", "hostname": "v"}


@pytest.mark.parametrize("key", ["a+b", "*.log", "x[1]"])
def test_wildcard_defaults_compare_data_keys_as_keys(key):
    schema = Schema({key: {Any(): {"x": Default(int, 1)}}, "logs": {Any(): {"y": Fallback(int, "n")}}, "n": int})
    result = schema.validate({key: {"k": {}}, "logs": {"l": {}}, "n": 4})
    assert result == {key: {"k": {"x": 1}}, "logs": {"l": {"y": 4}}, "n": 4}
    with pytest.raises(SchemaMissingKeyError):
        Schema({"abc": {Any(): {"x": Default(int, 1)}}, Optional("ab"): dict}).validate({"ab": {"k": {}}})


def test_fallbacks():
    assert Schema({"a": str, "b": Fallback(str, "a")}).validate({"a": "v"}) == {"a": "v", "b": "v"}
    dotted = Schema({"a": {"b": str}, "c": Fallback(str, "a.b")})
    assert dotted.validate({"a": {"b": "q"}}) == {"a": {"b": "q"}, "c": "q"}
    assert dotted.validate({"a": {"b": "q"}, "c": "own"}) == {"a": {"b": "q"}, "c": "own"}
    chained = Schema({"a": str, "b": Fallback(str, "a"), "c": Fallback(str, "b")})
    assert chained.validate({"a": "v", "b": "w"}) == {"a": "v", "b": "w", "c": "v"}
    assert chained.schema["c"].fallback == ("a",)
    wildcard = Schema({"src": {"v": str}, Any(): {"y": Fallback(str, "src.v")}})
    result = wildcard.apply_fallback({"src": {"v": "q"}, "k": {"c": 1}})
    assert result == {"src": {"v": "q", "y": "q"}, "k": {"c": 1, "y": "q"}}
    data = {"a": "v"}
    assert Schema({"a": str}).apply_fallback(data) is data and Schema(int).collect_fallbacks() is None


@pytest.mark.parametrize("schema, data, args", [
    ({"a": str, "b": Fallback(str, "a")}, {"b": "w"}, (("a",), {"b": "w"})),
    ({"a": dict, "b": Fallback(dict, "a")}, {"a": {"x": 1}}, (("a",), {"a": {"x": 1}})),
])
def test_fallback_without_target(schema, data, args):
    with pytest.raises(SchemaFallbackError) as caught:
        Schema(schema).validate(data)
    assert caught.value.args == args
    assert isinstance(caught.value.__context__, ValueError) and caught.value.__cause__ is None


def test_fallback_loops():
    closed = Schema({"a": Fallback(str, "b"), "b": Fallback(str, "a")})
    with pytest.raises(SchemaFallbackLoopError) as caught:
        closed.validate({})
    assert caught.value.args == (("a",), ("b",))
    with pytest.raises(SchemaFallbackLoopError) as caught:
        closed.validate({"a": "x", "b": "y"})
    assert caught.value.args == (("a",), ("a",))
    with pytest.raises(SchemaFallbackLoopError) as caught:
        Schema({"a": Fallback(str, "a")}).collect_fallbacks()
    assert caught.value.args == (("a",), ("a",))


def test_single_fallback_schema_hands_the_object_to_list_dict():
    fallback = Fallback(str, "a")
    assert Schema(fallback).collect_fallbacks() is fallback
    with pytest.raises(TypeError):
        Schema(fallback).validate("x")


def test_many_devices_with_wildcard_defaults():
    devices = {f"d{i}": {"ip": f"10.0.0.{i}", "ports": [i]} for i in range(300)}
    devices["d7"]["retries"] = 9
    schema = Schema({"devices": {Any(): {"ip": str, "ports": ListOf(int), "retries": Default(int, 3)}}})
    result = schema.validate({"devices": devices})
    assert result["devices"]["d7"]["retries"] == 9 and result["devices"]["d8"]["retries"] == 3
    assert len(result["devices"]) == 300 and "retries" not in devices["d8"]
