"""quarv.utils.objects: Find._match, the test of one object against a requirement mapping, and
Find._formalize_loopable."""

import pytest
from fresh import run_fresh

from quarv.datastructures.logic import BaseLogic
from quarv.topology.bases import TopologyObject
from quarv.utils.objects import Contains, Find, Not, NotExists, Operator, R, find


@pytest.fixture
def match():
    return Find()._match


class Obj:
    def __init__(self, **attributes):
        vars(self).update(attributes)


class Positive(BaseLogic):
    def __call__(self, value):
        return value > 0


# ----- documented results ---------------------------------------------------------------------------------

@pytest.mark.parametrize("filter_", [True, False])
def test_none_never_matches(match, filter_):
    assert match(None, {}, filter_=filter_) is False


def test_empty_requirement(match):
    assert match({"a": 1}, {}) is True
    assert match({"a": 1}, {}, filter_=False) is None


def test_nested_keys_through_double_underscore(match):
    assert match({"a": {"b": 1}}, {"a__b": 1}) is True
    assert match({"a": {"b": 1}}, {"a__b": 1}, filter_=False) == (1, ["a", "b"])
    assert match({"a": {"b": {"c": 1}}}, {"a__b__c": 1}, filter_=False) == (1, ["a", "b", "c"])
    assert match({"a": [{"b": 2}, {"b": 1}]}, {"a__b": 1}) is True
    assert match({"a": "text"}, {"a__b": 1}) is False
    assert match(Obj(a=Obj(b=1)), {"a__b": 1}) is True
    assert match({"a": {"b": 1}}, {"a__b": 2}) is False
    # without the syntax, and for a key holding no "__", the whole dictionary is compared
    assert match({"a": {"b": 1}}, {"a": {"b": 1}}) == (True, ["a"])
    assert match({"a__b": 1}, {"a__b": 1}, use__syntax=False) == (True, ["a__b"])
    assert match({"a": {"b": 1}}, {"a__b": 1}, use__syntax=False) is False


def test_plain_entries_on_dictionaries_and_objects(match):
    assert match({"a": 1}, {"a": 1}) == (True, ["a"])
    assert match({"a": 1}, {"a": 1}, filter_=False) == (1, ["a"])
    assert match({"a": 1}, {"a": 2}) is False
    assert match({"a": 1}, {"b": 1}) is False
    assert match(Obj(a=1, b=2), {"a": 1, "b": 2}) is True
    assert match(Obj(a=1, b=3), {"a": 1, "b": 2}) is False
    assert match(Obj(a=1, b=3), {"a": 1, "b": 2}, filter_=False) == []
    assert match(Obj(a=1), {"b": 1}, filter_=False) is False


def test_patterns_and_operators_as_expected_values(match):
    device = {"name": "leaf-1", "mtu": 9000}
    assert match(device, {"name": "(leaf-.*)"}, filter_=False) == ("leaf-1", ["name"])
    assert match(device, {"name": Operator("(leaf-.*)")}, filter_=False) == ("leaf-1", ["name"])
    assert match(device, {"name": "(spine.*)"}, filter_=False) == []
    assert match(device, {"mtu": Not(1500)}) == (True, ["mtu"])
    assert match(Obj(name="leaf-1"), {"name": "(leaf)"}, filter_=False) == ("leaf-1", ["name"])
    assert match(Obj(name="leaf-1"), {"name": Operator("(spine)")}) is False


def test_pattern_keys_and_operator_keys(match):
    interfaces = {"Ethernet1": "up", "Ethernet2": "down", "Loopback0": "up"}
    assert match(interfaces, {"(Eth.*)": "up"}, filter_=False) == [("up", ["Ethernet1"])]
    assert match(interfaces, {"(Eth.*)": "(u.*)"}, filter_=False) == [("up", ["Ethernet1"])]
    assert match(interfaces, {"(Eth.*)": "gone"}) is False
    assert match(interfaces, {Operator("(Eth.*)"): "down"}, filter_=False) == [("down", ["Ethernet2"])]
    assert match(interfaces, {Operator("Loopback0"): "up"}) is True


def test_operator_key_gets_the_dictionary_as_parent(match):
    key = NotExists("gone")
    data = {"a": 1}
    assert match(data, {key: "(.*)"}, filter_=False) == [(1, ["a"])]
    assert key.parent is data


def test_not_exists_as_expected_value(match):
    assert match({"intf": {"status": "up"}}, {"intf": NotExists("shutdown")}) == (True, ["intf"])
    assert match({"intf": {"shutdown": True}}, {"intf": NotExists("shutdown")}) is False
    expected = NotExists("shutdown")
    nested = {"shutdown": True}
    match({"Eth1": {}, "Eth2": nested}, {"(Eth.*)": expected})
    assert expected.parent is nested


def test_invalid_patterns_raise_value_error(match):
    with pytest.raises(ValueError, match=r"^'\(Eth' is not a valid regex expression$") as caught:
        match({"a": 1}, {"(Eth": 1})
    assert caught.value.__cause__ is not None
    with pytest.raises(ValueError, match=r"^'\(up' is not a valid regex expression$"):
        match({"a": 1}, {"a": "(up"})
    with pytest.raises(ValueError):
        match(Obj(a="x"), {"a": "(up"})


def test_callables_and_logic_objects(match):
    assert match({"mtu": 9000}, {"mtu": lambda v: v > 1500}) is True
    assert match({"mtu": 9000}, {"mtu": lambda v: v > 1500}, filter_=False) == [(9000, ["mtu"])]
    assert match({"mtu": 9000}, {"mtu": lambda v: v < 1500}) is False
    assert match({"mtu": 9000}, {"mtu": lambda v: 1 / 0}) is False
    assert match({"mtu": 9000}, {"callable_": lambda item: "mtu" in item}) is True
    assert match({"mtu": 9000}, {"callable_": lambda item: "x" in item}) is False
    assert match({"mtu": 9000}, {"mtu": Positive()}) is True
    assert match({"mtu": -1}, {"mtu": Positive()}) is False
    assert match({}, {"mtu": Positive()}) is False
    assert match(Obj(mtu=5), {"mtu": Positive()}) is True


def test_logic_errors_other_than_no_match_propagate(match):
    class Failing(BaseLogic):
        def __call__(self, value):
            raise ValueError("broken")

    with pytest.raises(ValueError):
        match({"a": 1}, {"a": Failing()})


def test_formalize_loopable():
    loopable = Find()._formalize_loopable
    assert list(loopable({"a": 1})) == [1]
    items = [1, 2]
    assert loopable(items) is items
    with pytest.raises(TypeError, match=r"^object 'abc' is a string which is not allowed\.$"):
        loopable("abc")
    with pytest.raises(TypeError, match=r"^object '5' of type <class 'int'> is not allowed\.$"):
        loopable(5)

    class Group(TopologyObject):
        def __iter__(self):
            return iter([])

        def __str__(self):
            return "group"

    with pytest.raises(TypeError, match="^object 'group' of type .*Group'> is not allowed\\.$"):
        loopable(Group())


def test_overridden_collaborators_are_called():
    calls = []

    class Watching(Find):
        def _formalize_loopable(self, obj):
            calls.append(obj)
            return super()._formalize_loopable(obj)

    assert Watching()._match({"a": [{"b": 1}]}, {"a__b": 1}) is True
    assert calls == [[{"b": 1}]]


# ----- faults mended ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("item, wanted, expected", [
    ({"name": "x", "status": "down"}, {"name": "x", "status": "up"}, False),
    ({"name": "x", "status": "up"}, {"name": "x", "status": "up"}, True),
    ({"Eth1": "up", "name": "y"}, {"(Eth.*)": "up", "name": "x"}, False),
    ({"Eth1": "up", "name": "x"}, {"(Eth.*)": "up", "name": "x"}, True),
    ({"mtu": 9000, "name": "y"}, {"mtu": lambda v: v > 0, "name": "x"}, False),
    ({"a": "x", "b": "y"}, {Operator("a"): "x", "b": "z"}, False),
])
def test_every_entry_must_hold(match, item, wanted, expected):
    assert bool(match(item, wanted)) is expected
    assert bool(match(item, wanted, filter_=False)) is expected


def test_every_keyword_requirement_must_hold():
    assert find([{"name": "x", "status": "down"}], R(name="x", status="up")) == []
    assert find([{"Eth1": "up", "name": "y"}], R(**{"(Eth.*)": "up", "name": "x"})) == []


def test_a_failed_pattern_entry_fails_after_one_that_hit(match):
    item = {"a": "abc", "b": "xyz"}
    assert match(item, {"a": "(ab.*)", "b": "(ab.*)"}) is False
    assert match(item, {"a": Operator("(ab.*)"), "b": Operator("(ab.*)")}) is False
    assert match(item, {"a": "(ab.*)", "b": "(xy.*)"}) is True


def test_value_tests_run_with_assertions_disabled():
    code = """
        from quarv.utils.objects import Find
        from quarv.datastructures.logic import BaseLogic
        class Never(BaseLogic):
            def __call__(self, value):
                return False
        match = Find()._match
        print(match({"a": 1}, {"a": Never()}), match({"a": 1}, {"a": lambda v: False}),
              match({"a": 1}, {"callable_": lambda v: False}), match({"a": 1}, {"a": 2}),
              match({"a": 1}, {"a": 2}, filter_=False))
    """
    # assertions are off (-O), so nothing rests on them
    out = run_fresh(code, env={"PYTHONOPTIMIZE": "1"}).stdout.split()
    assert out == ["False"] * 5


def test_value_mode_finish_prefixes_the_recording_entry(match):
    # a nested list of pairs keeps its shape
    assert match({"a": {"Eth1": "up", "Eth2": "up"}}, {"a__(Eth.*)": "up"}, filter_=False) == [
        ("up", ["a", "Eth1"]), ("up", ["a", "Eth2"])]
    # the recording entry's key, not the last entry's
    assert match({"a": "abc", "z": 1}, {"a": "(ab.*)", "z": lambda v: True}, filter_=False) == [(1, ["z"])]
    assert match({"a": "abc", "z": 1}, {"z": 1, "a": "(ab.*)"}, filter_=False) == ("abc", ["a"])
    # a group entry's head is put in front for objects too
    assert match(Obj(a=Obj(b=1)), {"a__b": 1}, filter_=False) == (1, ["a", "b"])
    assert match(Obj(a={"b": 1}), {"a__b": 1}, filter_=False) == (1, ["a", "b"])


def test_operator_key_tests_the_expected_pattern_against_the_value(match):
    data = {"Ethernet1": "up", "Ethernet2": "down"}
    assert match(data, {Operator("(Eth.*)"): "(up)"}, filter_=False) == [("up", ["Ethernet1"])]
    assert match(data, {Operator("(Eth.*)"): Operator("(do.*)")}, filter_=False) == [("down", ["Ethernet2"])]
    assert match(data, {Operator("(Eth.*)"): "(Eth.*)"}) is False


def test_only_texts_are_patterns(match):
    assert match({"a": ("x", 1)}, {"a": ("x", 1)}) == (True, ["a"])
    assert match({"a": ("x", 1)}, {"a": ("y", 1)}) is False
    assert match(Obj(a=(1,)), {"a": (1,)}) is True
    assert match({("k",): 1}, {("k",): 1}) == (True, [("k",)])


def test_grouping_leaves_the_callers_expected_dictionary_alone(match):
    inner = {"x": 1}
    wanted = {"a": inner, "a__b": 2}
    assert match({"a": {"x": 1, "b": 2}}, wanted) == (True, ["a"])
    assert inner == {"x": 1} and wanted == {"a": inner, "a__b": 2}


def test_value_mode_records_logic_and_callable_matches_on_objects(match):
    assert match({"mtu": 9000}, {"mtu": Positive()}, filter_=False) == (9000, ["mtu"])
    assert match(Obj(mtu=9000), {"mtu": Positive()}, filter_=False) == (9000, ["mtu"])
    assert match(Obj(mtu=9000), {"mtu": lambda v: v > 0}, filter_=False) == (9000, ["mtu"])
    # the whole item's test yields nothing
    assert match({"mtu": 9000}, {"callable_": lambda item: True}, filter_=False) is None
    assert find([{"mtu": 9000}], R(callable_=lambda item: True), filter_=False) == []
    assert find([{"mtu": 9000}], R(callable_=lambda item: True)) == [{"mtu": 9000}]


def test_a_key_that_is_no_text_does_not_match_an_object(match):
    assert match(Obj(), {5: "x"}) is False
    assert match(Obj(), {Operator("a"): 1}) is False
    assert find([Obj(), {5: "x"}], R([5, "x"])) == [{5: "x"}]
