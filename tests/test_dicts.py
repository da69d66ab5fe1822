"""quarv.utils.dicts: deep merges, casts, key paths, duplicate-free merges, limits, text loaders."""

import base64
import inspect
import json
import logging
from collections import OrderedDict

import pytest
from fresh import run_fresh

from quarv.utils import dicts
from quarv.utils.dicts import (create_extended_dict, enforce_max_key_value_length, generate_unique_key_name,
                               load_dict_from_json_string, load_dict_from_kv_string, load_dict_from_list,
                               recursive_cast, recursive_setdefault, recursive_update, set_dict_by_key_path)


class RecordingDict(dict):
    """A user mapping whose own methods must be used."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def __setitem__(self, key, value):
        self.calls.append(("set", key))
        super().__setitem__(key, value)

    def get(self, key, default=None):
        self.calls.append(("get", key))
        return super().get(key, default)

    def setdefault(self, key, default=None):
        self.calls.append(("setdefault", key))
        return super().setdefault(key, default)

    def items(self):
        self.calls.append(("items",))
        return super().items()


# ----- the module ------------------------------------------------------------------------------

def test_module_namespace_in_body_order():
    names = [n for n in vars(dicts) if not n.startswith("__")]
    assert names == ["re", "sys", "json", "shlex", "logging", "literal_eval", "Mapping", "MutableSequence",
                     "decode_cli_string", "cfg", "logger", "LIST_EXTEND_PATTERN", "MAX_KEY_LENGTH",
                     "MAX_VALUE_LENGTH", "recursive_update", "recursive_setdefault", "recursive_cast",
                     "set_dict_by_key_path", "create_extended_dict", "generate_unique_key_name",
                     "enforce_max_key_value_length", "load_dict_from_json_string", "load_dict_from_kv_string",
                     "load_dict_from_list"]
    assert not hasattr(dicts, "__all__")
    assert dicts.logger is logging.getLogger("quarv.utils.dicts")
    assert dicts.LIST_EXTEND_PATTERN.pattern == "^%EXTEND_LIST{ *(.+?) *}$" and dicts.LIST_EXTEND_PATTERN.flags == 32
    assert (dicts.MAX_KEY_LENGTH, dicts.MAX_VALUE_LENGTH) == (40, 512)
    from quarv.configuration import configuration
    assert dicts.cfg is configuration


SIGNATURES = {
    "recursive_update": "(a, b, *, list_extend=False)",
    "recursive_setdefault": "(a, b)",
    "recursive_cast": "(d, type_)",
    "set_dict_by_key_path": "(d, keys, val, *, append_list=False)",
    "create_extended_dict": "(source_dict, dest_dict={}, rename_keys=True)",
    "generate_unique_key_name": "(key, value, dictionary, allow_match=False) -> 'str'",
    "enforce_max_key_value_length": "(dict_to_check, max_key_length=40, max_value_length=512)",
    "load_dict_from_json_string": "(loadable) -> 'dict'",
    "load_dict_from_kv_string": "(loadable) -> 'dict'",
    "load_dict_from_list": "(loadable, unique_keys=True) -> 'dict'",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures_defaults_and_docstrings(name):
    fn = getattr(dicts, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__module__ == "quarv.utils.dicts" and fn.__qualname__ == name
    assert fn.__doc__.splitlines()[0] == name


def test_annotations_and_documented_summaries():
    assert generate_unique_key_name.__annotations__ == {"return": "str"}
    assert load_dict_from_list.__annotations__ == {"return": "dict"}
    assert create_extended_dict.__annotations__ == {} == enforce_max_key_value_length.__annotations__
    # the name on a line of its own, the summary right below it
    for fn, summary in [
        (recursive_update, "Recursively updates on nested dictionary a with dictionary b."),
        (recursive_setdefault, "Recursively calls setdefault on nested dictionary a with dictionary b."),
        (recursive_cast, "Recursively cast a nested dictionary to the provided class type"),
        (set_dict_by_key_path, "Utility to set an element in a nested dictionary by indexing it with a list of keys, "
                               "creating any keys that don't exist."),
    ]:
        assert [line.strip() for line in fn.__doc__.strip().splitlines()[:2]] == [fn.__name__, summary]
    doc = set_dict_by_key_path.__doc__
    for section in ("Example\n-------", "Arguments\n---------", "Returns\n-------"):
        assert section in doc
    assert "a list of keys" in doc and "the value which was set, or None if no value was set" in doc


def test_wrong_calls_raise_the_interpreters_errors():
    scratch = {}
    exec("def recursive_update(a, b, *, list_extend=False): pass", scratch)
    twin = scratch["recursive_update"]
    for args, kwargs in [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2), {"x": 1}), ((1,), {"a": 2, "b": 3})]:
        with pytest.raises(TypeError) as expected:
            twin(*args, **kwargs)
        with pytest.raises(TypeError) as actual:
            recursive_update(*args, **kwargs)
        assert str(actual.value) == str(expected.value)


def test_limits_are_read_from_configuration_once_at_import(tmp_path):
    conf = tmp_path / "quarv.json"
    conf.write_text(json.dumps({"limits": {"dicts": {"max_key_length": 3, "max_value_length": 4}}}))
    out = run_fresh("""
        from quarv.configuration import configuration
        from quarv.utils import dicts
        configuration.set("limits.dicts.max_key_length", 100)
        print(dicts.MAX_KEY_LENGTH, dicts.MAX_VALUE_LENGTH, dicts.enforce_max_key_value_length.__defaults__)
    """, env={"QUARV_CONF": str(conf)}).stdout.strip()
    assert out == "3 4 (3, 4)"


def test_import_fails_and_leaves_no_module_when_configuration_fails():
    out = run_fresh("""
        import sys
        from quarv.configuration import configuration
        def broken(key, default=None):
            raise LookupError("no configuration")
        configuration.get = broken
        try:
            import quarv.utils.dicts
        except LookupError as error:
            print(error, 'quarv.utils.dicts' in sys.modules)
    """).stdout.strip()
    assert out == "no configuration False"


def test_defaults_are_fixed_at_import(monkeypatch):
    monkeypatch.setattr(dicts, "MAX_KEY_LENGTH", 1)
    assert enforce_max_key_value_length.__defaults__ == (40, 512)
    enforce_max_key_value_length({"long key": 1})


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    seen = []
    original = dicts.recursive_update

    def spy(a, b, **kwargs):
        seen.append((a, b, kwargs))
        return original(a, b, **kwargs)

    monkeypatch.setattr(dicts, "recursive_update", spy)
    original({"x": {"y": 1}}, {"x": {"y": 2}}, list_extend=True)
    assert seen == [({"y": 2}, {"y": 2}, {"list_extend": True})]

    monkeypatch.setattr(dicts, "Mapping", list)
    with pytest.raises(AttributeError, match="'list' object has no attribute 'items'"):
        original([1], [2])  # lists now count as mappings, and are walked through items()
    monkeypatch.undo()

    class NoMapping:
        pass
    monkeypatch.setattr(dicts, "Mapping", NoMapping)
    b = {"x": 1}
    assert original({}, b) is b


# ----- recursive_update ---------------------------------------------------------------------------

def test_update_returns_b_when_either_is_not_a_mapping():
    b = {"a": 1}
    assert recursive_update(1, b) is b
    assert recursive_update({"a": 1}, 5) == 5
    assert recursive_update({"a": 1}, None) is None


def test_update_rebuilds_nested_mappings_and_shares_other_values():
    inner, lst = {"y": 1}, [1]
    a = recursive_update({}, {"x": inner, "l": lst})
    assert a["x"] == inner and a["x"] is not inner and a["l"] is lst

    ordered = OrderedDict(y=1)
    assert type(recursive_update({}, {"x": ordered})["x"]) is OrderedDict

    assert recursive_update({"x": 3}, {"x": inner})["x"] is inner

    held = {"a": 1}
    a = recursive_update({"x": held}, {"x": {"b": 2}})
    assert a["x"] is held and held == {"a": 1, "b": 2}


def test_update_builds_an_empty_mapping_of_each_type_even_when_a_holds_the_key():
    class NeedsArgument(dict):
        def __init__(self, required):
            super().__init__(required)

    with pytest.raises(TypeError):
        recursive_update({"x": {}}, {"x": NeedsArgument({"y": 1})})


def test_update_goes_through_user_mapping_methods():
    a = RecordingDict(x={"a": 1})
    recursive_update(a, {"x": {"b": 2}, "y": 3})
    assert a.calls == [("get", "x"), ("set", "x"), ("set", "y")]
    b = RecordingDict(k=1)
    recursive_update({}, b)
    assert b.calls == [("items",)]


def test_update_hashes_each_key_as_often_as_get_and_assignment_do():
    class Key:
        hashed = 0

        def __init__(self, n):
            self.n = n

        def __hash__(self):
            Key.hashed += 1
            return hash(self.n)

        def __eq__(self, other):
            return isinstance(other, Key) and other.n == self.n

    a, b = {Key(1): {}}, {Key(1): {"x": 1}, Key(2): {"y": 2}}
    Key.hashed = 0
    recursive_update(a, b)
    assert Key.hashed == 4  # a.get(k, ...) and a[k] = ... for each key, held or not


def test_dict_subclasses_keep_their_own_methods_and_attributes():
    class Plain(dict):
        pass

    a = Plain(x={"a": 1})
    recursive_update(a, {"x": {"b": 2}})
    assert a == {"x": {"a": 1, "b": 2}}
    shadowed = Plain(x=1)
    seen = []
    shadowed.get = lambda key, default=None: seen.append(key) or default
    recursive_update(shadowed, {"x": {"b": 2}})
    assert seen == ["x"] and shadowed == {"x": {"b": 2}}


@pytest.mark.parametrize("key, target", [
    ("%EXTEND_LIST{l}", "l"),
    ("%EXTEND_LIST{  a b  }", "a b"),
    ("%EXTEND_LIST{   }", " "),
    ("%EXTEND_LIST{a}b}", "a}b"),
    ("%EXTEND_LIST{x}\n", "x"),
])
def test_list_extending_keys(key, target):
    existing = [1, 2]
    a = recursive_update({target: existing}, {key: [3]}, list_extend=True)
    assert a == {target: [1, 2, 3]} and a[target] is existing


@pytest.mark.parametrize("key", ["%EXTEND_LIST{}", "x%EXTEND_LIST{l}", "%EXTEND_LIST{l} ", 5])
def test_keys_that_are_not_list_extending_are_stored(key):
    value = [3]
    a = recursive_update({"l": [1]}, {key: value}, list_extend=True)
    assert a[key] is value and a["l"] == [1]


def test_list_extending_keys_agree_with_the_pattern(monkeypatch):
    import random
    import re
    rng = random.Random(7)
    alphabet = ["%EXTEND_LIST{", "}", " ", "\n", "a", "b", "{", "é", "\U0001f600", "%"]
    keys = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 7))) for _ in range(3000)]
    keys += ["%EXTEND_LIST{" + "".join(rng.choice(alphabet[1:]) for _ in range(rng.randrange(0, 6)))
             for _ in range(3000)]
    pattern = re.compile("^%EXTEND_LIST{ *(.+?) *}$")

    def expected(key):
        match = pattern.match(key)
        return {match.group(1) if match else key: [1, 2]}

    for key in keys:
        assert recursive_update({}, {key: [1, 2]}, list_extend=True) == expected(key), repr(key)
    # an equal pattern compiled anew, and one with other semantics, are honoured as well
    monkeypatch.setattr(dicts, "LIST_EXTEND_PATTERN", re.compile("^%EXTEND_LIST{ *(.+?) *}$"))
    assert recursive_update({}, {"%EXTEND_LIST{ x }": [1]}, list_extend=True) == {"x": [1]}
    monkeypatch.setattr(dicts, "LIST_EXTEND_PATTERN", re.compile("^\\+(.*)$"))
    assert recursive_update({"l": [0]}, {"+l": [1], "%EXTEND_LIST{l}": [2]}, list_extend=True) == {
        "l": [0, 1], "%EXTEND_LIST{l}": [2]}


def test_list_extension_cases():
    new = [3]
    assert recursive_update({}, {"%EXTEND_LIST{l}": new}, list_extend=True)["l"] == [3]
    assert recursive_update({}, {"%EXTEND_LIST{l}": new}, list_extend=True)["l"] is not new
    assert recursive_update({"l": "text"}, {"%EXTEND_LIST{l}": new}, list_extend=True)["l"] is new
    t = (1,)
    assert recursive_update({}, {"%EXTEND_LIST{l}": t}, list_extend=True) == {"%EXTEND_LIST{l}": t}
    assert recursive_update({"l": [1]}, {"%EXTEND_LIST{l}": new}) == {"l": [1], "%EXTEND_LIST{l}": [3]}
    nested = recursive_update({"s": {"l": [1]}}, {"s": {"%EXTEND_LIST{l}": [2]}}, list_extend=True)
    assert nested == {"s": {"l": [1, 2]}}


def test_list_extend_is_only_tested_for_sequence_values():
    class Truth:
        tested = 0

        def __bool__(self):
            Truth.tested += 1
            return True

    recursive_update({}, {"a": 1, "b": {"c": 2}}, list_extend=Truth())
    assert Truth.tested == 0
    recursive_update({}, {"a": [1]}, list_extend=Truth())
    assert Truth.tested == 1


def test_update_changes_a_in_place_and_keeps_earlier_changes_on_failure():
    a = {}
    with pytest.raises(TypeError):
        recursive_update(a, {"ok": 1, "bad": NotConstructible({"x": 1})})
    assert a == {"ok": 1}


class NotConstructible(dict):
    def __init__(self, *args):
        if not args:
            raise TypeError("needs an argument")
        super().__init__(*args)


def test_deep_nesting_raises_recursion_error():
    deep = {}
    node = deep
    for _ in range(100_000):
        node["k"] = {}
        node = node["k"]
    for merge in (lambda: recursive_update({}, deep), lambda: recursive_setdefault({}, deep),
                  lambda: recursive_cast(deep, dict), lambda: enforce_max_key_value_length(deep)):
        with pytest.raises(RecursionError):
            merge()


def test_deep_nesting_with_a_raised_limit_does_not_crash():
    out = run_fresh("""
        import sys
        from quarv.utils.dicts import recursive_update
        sys.setrecursionlimit(10**8)
        deep = {}
        node = deep
        for _ in range(2_000_000):
            node["k"] = {}
            node = node["k"]
        try:
            recursive_update({}, deep)
        except RecursionError as error:
            print("RecursionError")
    """).stdout.strip()
    assert out == "RecursionError"


# ----- recursive_setdefault and recursive_cast -----------------------------------------------------

def test_setdefault_cases():
    assert recursive_setdefault({"x": 1}, {"x": 2, "y": 3}) == {"x": 1, "y": 3}
    assert recursive_setdefault({"x": None}, {"x": {"a": 1}}) == {"x": None}
    assert type(recursive_setdefault({}, {"x": OrderedDict(a=1)})["x"]) is dict
    held, lst = {"a": 1}, [1]
    a = recursive_setdefault({"x": held, "l": [0]}, {"x": {"a": 2, "b": 2}, "l": lst, "m": lst})
    assert a["x"] is held and held == {"a": 1, "b": 2} and a["l"] == [0] and a["m"] is lst
    with pytest.raises(AttributeError):
        recursive_setdefault({}, None)


def test_cast_converts_mappings_reached_through_mappings_only():
    source = {"a": {"b": 1}, "l": [{"c": 2}]}
    result = recursive_cast(source, OrderedDict)
    assert type(result) is OrderedDict and type(result["a"]) is OrderedDict and type(result["l"][0]) is dict
    assert source == {"a": {"b": 1}, "l": [{"c": 2}]} and type(source["a"]) is dict


# ----- set_dict_by_key_path ---------------------------------------------------------------------

def test_set_by_key_path():
    d = {}
    assert set_dict_by_key_path(d, [], 1) is None and d == {}
    assert set_dict_by_key_path(d, None, 1) is None
    assert set_dict_by_key_path(d, ["a", "b", "c"], 1) == 1 and d == {"a": {"b": {"c": 1}}}
    set_dict_by_key_path(d, ["z"], 2)
    assert d["z"] == 2


def test_append_by_key_path():
    d = {"none": None, "list": [1], "text": "t", "tuple": (1,)}
    v = object()
    assert set_dict_by_key_path(d, ["missing"], v, append_list=True) is v and d["missing"] == [v]
    set_dict_by_key_path(d, ["none"], 1, append_list=True)
    set_dict_by_key_path(d, ["list"], 2, append_list=True)
    assert d["none"] == [1] and d["list"] == [1, 2]
    for key, shown in (("text", "<class 'str'>"), ("tuple", "<class 'tuple'>")):
        with pytest.raises(ValueError) as caught:
            set_dict_by_key_path(d, [key], 1, append_list=True)
        assert str(caught.value) == f"expected list for element given by key ['{key}']. Got {shown}"
    with pytest.raises(ValueError, match=r"^expected list for element given by key \['a', 'b'\]\. Got <class 'str'>$"):
        set_dict_by_key_path({"a": {"b": "x"}}, ["a", "b"], 1, append_list=True)


def test_key_path_is_indexed_through_the_keys_own_subscription():
    class Keys:
        def __init__(self, *keys):
            self.keys, self.seen = list(keys), []

        def __len__(self):
            return len(self.keys)

        def __getitem__(self, index):
            self.seen.append(index)
            return self.keys[index]

    keys, d = Keys("a", "b"), {}
    assert set_dict_by_key_path(d, keys, 1, append_list=True) == 1 and d == {"a": {"b": [1]}}
    assert keys.seen == [slice(None, -1), -1, -1]  # keys[:-1], then keys[-1] for d.get and for d[...] = [val]


def test_set_by_key_path_errors_pass_through():
    with pytest.raises(AttributeError):
        set_dict_by_key_path({"a": 1}, ["a", "b", "c"], 1)
    with pytest.raises(TypeError):
        set_dict_by_key_path({"a": 1}, ["a", "b"], 1)
    with pytest.raises(TypeError):
        set_dict_by_key_path({}, 5, 1)


# ----- create_extended_dict and generate_unique_key_name ----------------------------------------

@pytest.mark.parametrize("source, dest, result, logged", [
    ({"a": 1}, {"a": 1}, {"a": 1}, []),
    ({"a": 2}, {"a": 1}, {"a": 1, "a_1": 2}, ["Renaming repeated key from a to a_1"]),
    ({"a": 2}, {"a": 1, "a_1": 2}, {"a": 1, "a_1": 2}, []),
    ({"a": 3}, {"a": 1, "a_1": 2}, {"a": 1, "a_1": 2, "a_2": 3}, ["Renaming repeated key from a to a_2"]),
    ({"a": 3}, {"a": 1, "a_2": 3}, {"a": 1, "a_2": 3, "a_1": 3}, ["Renaming repeated key from a to a_1"]),
    ({"a": 2, "a_1": 3}, {"a": 1}, {"a": 1, "a_1": 2, "a_1_1": 3},
     ["Renaming repeated key from a to a_1", "Renaming repeated key from a_1 to a_1_1"]),
    ({5: "y"}, {5: "x"}, {5: "x", "5_1": "y"}, ["Renaming repeated key from 5 to 5_1"]),
])
def test_extended_dict(caplog, source, dest, result, logged):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.dicts")
    source_copy, dest_copy = dict(source), dict(dest)
    merged = create_extended_dict(source, dest)
    assert list(merged.items()) == list(result.items())
    assert [r.getMessage() for r in caplog.records] == logged
    assert all(r.levelno == logging.DEBUG and not r.args for r in caplog.records)
    assert source == source_copy and dest == dest_copy and merged is not dest


def test_extended_dict_equal_values_and_dropping():
    merged = create_extended_dict({"a": 1.0}, {"a": 1})
    assert list(merged) == ["a"] and type(merged["a"]) is float
    assert create_extended_dict({"a": 2, "b": 3}, {"a": 1, "b": 4}, rename_keys=False) == {"a": 1, "b": 4}
    first = create_extended_dict({"a": 1})
    second = create_extended_dict({"b": 2})
    assert first == {"a": 1} and second == {"b": 2} and create_extended_dict.__defaults__[0] == {}


def test_unique_key_name(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.dicts")
    assert generate_unique_key_name("a", 2, {"a_1": 2}, allow_match=True) == "a_2"
    assert [r.getMessage() for r in caplog.records] == ["Renaming repeated key from a to a_2"]
    caplog.clear()
    assert generate_unique_key_name("a", 2, {"a_1": 2}) is None and caplog.records == []
    assert generate_unique_key_name("a", 2, {"a_1": 1, "a_2": 1}) == "a_3"


class NeverEqual:
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


@pytest.mark.parametrize("value", [float("nan"), NeverEqual()], ids=["nan", "never-equal"])
def test_a_stored_value_is_compared_with_eq_even_when_it_is_the_same_object(value):
    assert generate_unique_key_name("a", value, {"a_1": value}) == "a_2"
    merged = create_extended_dict({"a": value}, {"a": 1, "a_1": value})
    assert list(merged) == ["a", "a_1", "a_2"] and merged["a_2"] is value


def test_unique_key_names_end_with_the_range_of_sys_maxsize(monkeypatch):
    import types
    monkeypatch.setattr(dicts, "sys", types.SimpleNamespace(maxsize=3))
    assert generate_unique_key_name("a", 9, {"a_1": 1, "a_2": 2}) is None
    monkeypatch.setattr(dicts, "sys", types.SimpleNamespace(maxsize=3.5))
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        generate_unique_key_name("a", 9, {})


# ----- enforce_max_key_value_length --------------------------------------------------------------

def test_limits_boundaries_and_message():
    enforce_max_key_value_length({"abcde": "12345"}, 5, 5)
    with pytest.raises(Exception) as caught:
        enforce_max_key_value_length({"abcdef": 1}, 5)
    assert type(caught.value) is Exception and caught.value.__cause__ is None
    assert str(caught.value).split("\n") == [
        "", "The following key has a length that is too long.", "Key:", " abcdef",
        "Maximum length for keys is 5 characters long (yours is 6)"]
    with pytest.raises(Exception, match="Value:\n 123456\nMaximum length for values is 5 characters long "
                                        r"\(yours is 6\)$"):
        enforce_max_key_value_length({"k": "123456"}, max_value_length=5)


@pytest.mark.parametrize("data, raises", [
    ({"k": 123}, None),
    ({"k": 1234}, "1234"),
    ({"k": (1, 2)}, r"\(1, 2\)"),
    ({"n": {"abcdef": 1}}, "abcdef"),
    ({"n": {"k": "abcd"}}, "abcd"),
    ({"l": ["ok", "toolong"]}, "toolong"),
    ({"l": [{"k": 1}]}, r"\{'k': 1\}"),
    ({"toolong": "toolong2"}, "The following key"),
    ([{"k": 1}, {"k": "12345"}], "12345"),
])
def test_limits_walk(data, raises):
    if raises is None:
        enforce_max_key_value_length(data, 3, 3)
    else:
        with pytest.raises(Exception, match=raises):
            enforce_max_key_value_length(data, 3, 3)


def test_limits_on_other_input(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.dicts")
    assert enforce_max_key_value_length((1, 2)) is None
    assert [r.getMessage() for r in caplog.records] == [
        "Not a dictionary or list, got <class 'tuple'>, skipping length enforcement check"]
    with pytest.raises(AttributeError):
        enforce_max_key_value_length(["text"])
    with pytest.raises(TypeError):
        enforce_max_key_value_length({"k": 1}, "5")


# ----- the text loaders -------------------------------------------------------------------------

def encode(text):
    return base64.urlsafe_b64encode(text.encode()).decode()


def test_json_loader():
    assert load_dict_from_json_string('{"a": [1, 2]}') == {"a": [1, 2]}
    assert load_dict_from_json_string(encode('{"a": "é?"}')) == {"a": "é?"}
    with pytest.raises(ValueError) as caught:
        load_dict_from_json_string("[1, 2]")
    assert str(caught.value).split("\n") == [
        "The meta JSON data did not load into a dictionary. ", "Expected <class 'dict'>, received <class 'list'>.",
        "", "Loaded JSON Data:", "[1, 2]"]
    assert caught.value.__cause__ is None
    with pytest.raises(json.JSONDecodeError):
        load_dict_from_json_string("")


@pytest.mark.parametrize("text, result", [
    ("a=1 b=2", {"a": "1", "b": "2"}),
    ("a=b=c", {"a": "b=c"}),
    ("a='hello world'", {"a": "hello world"}),
    ("a=1 a=2", {"a": "2"}),
    ("=x", {"": "x"}),
    ("a=", {"a": ""}),
    ("", {}),
    ("x=#1", {"x": "#1"}),
])
def test_kv_loader(text, result):
    assert load_dict_from_kv_string(text) == result


def test_kv_loader_errors_and_encoding():
    assert load_dict_from_kv_string(encode("host=a port=2")) == {"host": "a", "port": "2"}
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
        load_dict_from_kv_string("a")
    with pytest.raises(ValueError):
        load_dict_from_kv_string("a='open")


def test_list_loader(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.dicts")
    assert load_dict_from_list("[]") == {}
    items = ['{"a": 1}', '{"a": 2}', encode('{"a": 2}')]
    assert load_dict_from_list(repr(items)) == {"a": 1, "a_1": 2}
    assert [r.getMessage() for r in caplog.records] == ["Renaming repeated key from a to a_1"]
    assert load_dict_from_list(repr(items), unique_keys=False) == {"a": 1}
    with pytest.raises(TypeError):
        load_dict_from_list("5")
    with pytest.raises((ValueError, SyntaxError)):
        load_dict_from_list("not a literal")
