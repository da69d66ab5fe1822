"""quarv.utils.objects: the search walk of Find.find with its requirement normalisation, result sets of
unhashable items, index projection, path expansion, result grouping and merge of several requirements."""

import logging

import pytest
from fresh import run_fresh

from quarv.utils.objects import Find, GroupKeys, Not, NotExists, Operator, R, find


class Obj:
    def __init__(self, **attributes):
        vars(self).update(attributes)

    def __repr__(self):
        return f"Obj({vars(self)})"


def device(name, **interfaces):
    return {"name": name, "interfaces": {intf: {"status": status, "mtu": 1500 if status == "up" else 9000}
                                         for intf, status in interfaces.items()}}


# ----- entry and collections --------------------------------------------------------------------------------

def test_empty_collections_and_wrapped_values():
    assert find([]) == [] and find([], R(("a", 1))) == []
    assert find(5) == [5]
    assert sorted(find("ab")) == ["a", "b"]
    assert find(0) == [] and find(None) == []


def test_type_filter():
    assert sorted(find([1, 2, 1.2, "bla"], type_=int)) == [1, 2]
    assert find([{"a": 1}, [1], "x"], type_=[dict]) == [{"a": 1}]
    assert sorted(find([1, "x", 1.5], type_=(int, str)), key=str) == [1, "x"]
    assert find([{"bla": "blabla"}], R(bla="blabla"), type_=[dict]) == [{"bla": "blabla"}]
    with pytest.raises(TypeError):
        find([1], type_=[5])


def test_keywords_alongside_requirements_are_ignored_with_one_warning(caplog):
    with caplog.at_level(logging.WARNING, logger="quarv.utils.objects"):
        assert find([{"a": {"b": 1}}], R(["a", "b", 1]), a=5) == [{"a": {"b": 1}}]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", "Requirements were provided by using both *requirements and kwargs. Ignoring kwargs.")]


def test_keyword_requirements():
    devices = [device("leaf-1"), device("spine-1")]
    assert find(devices, name="leaf-1") == [devices[0]]
    assert find(devices, R(name="(spine.*)"), filter_=False) == [("spine-1", ["name"])]


# ----- filter mode -------------------------------------------------------------------------------------------

def test_every_path_of_a_requirement_must_hold():
    assert find([{"a": 1, "c": 2}], R(["c", 2], ["a", 9])) == []
    assert find([{"a": 1, "c": 2}], R(["a", 9], ["c", 2])) == []
    item = {"a": 1, "c": 2}
    assert find([item], R(["c", 2], ["a", 1])) == [item]


def test_a_gathered_step_holds_when_one_child_meets_the_rest():
    first_fails = {"interfaces": {"Ethernet1": {"status": "down"}, "Ethernet2": {"status": "up"}}}
    assert find([first_fails], R(["interfaces", "(Eth.*)", "status", "up"])) == [first_fails]
    none_holds = {"interfaces": {"Ethernet1": {"status": "down"}}}
    assert find([none_holds], R(["interfaces", "(Eth.*)", "status", "up"])) == []
    # kept once, however many children hold
    both = {"interfaces": {"Ethernet1": {"status": "up"}, "Ethernet2": {"status": "up"}}}
    assert find([both], R(["interfaces", "(Eth.*)", "status", "up"])) == [both]


def test_filter_search_over_devices_and_objects():
    devices = [device("leaf-1", Ethernet1="up"), device("leaf-2", Ethernet1="down"),
               Obj(name="leaf-3", interfaces={"Ethernet1": {"status": "up"}})]
    assert find(devices, R(["interfaces", "Ethernet1", "status", "up"])) == [devices[0], devices[2]]
    assert find(devices, R(["interfaces", "(Eth.*)", "status", "up"]), type_=dict) == [devices[0]]
    # steps are attribute names on objects: a pattern step is not expanded there
    obj = Obj(info=Obj(Ethernet1=Obj(status="up")))
    assert find([obj], R(["info", "Ethernet1", "status", "up"])) == [obj]
    assert find([obj], R(["info", "(Eth.*)", "status", "up"])) == []


def test_gathering_errors_make_the_path_fail_quietly():
    item = {"a": {"b": {"c": 1}}}
    assert find([item], R(["(a", "b", "c", 1])) == []
    assert find([item], R(["missing", "b", "c", 1])) == []
    assert find([Obj(a=1)], R([5, "b", 1])) == []
    with pytest.raises(ValueError):
        find([item], R(["a", "(b", 1]))


def test_operator_step_gets_the_item_as_parent():
    step = Operator("a")
    item = {"a": {"b": 1}}
    assert find([item], R([step, "b", 1])) == [item]
    assert step.parent is item


def test_results_are_combined_over_requirements():
    a, b, c = {"x": 1, "y": 1}, {"x": 1, "y": 2}, {"x": 2, "y": 1}
    assert find([a, b, c], R(["x", 1]), R(["y", 1])) == [a]
    same = {"x": 1}
    assert find([same, same], R(x=1)) == [same]
    assert sorted(find([1, 2, 3], R(["real", 1]), R(["imag", 0]))) == [1]


# ----- value mode -----------------------------------------------------------------------------------------

def test_value_mode_reports_values_with_their_key_paths():
    assert find([{"a": {"b": 1}}], R(["a", "b", 1]), filter_=False) == [(1, ["a", "b"])]
    devices = [device("leaf-1", Ethernet1="up", Ethernet2="down", Ethernet3="up")]
    assert find(devices, R(["interfaces", "(Eth.*)", "status", "up"]), filter_=False) == [
        ("up", ["interfaces", "Ethernet1", "status"]), ("up", ["interfaces", "Ethernet3", "status"])]
    assert find(devices, R(["interfaces", "(Eth.*)", "(st.*)", "(d.*)"]), filter_=False) == [
        ("down", ["interfaces", "Ethernet2", "status"])]
    assert find(devices, R(["interfaces", "(Eth.*)", "(st.*)", "(d.*)"]), filter_=False) == [
        ("down", ["interfaces", "Ethernet2", "status"])]
    assert find([Obj(a=Obj(b=1))], R(["a", "b", 1]), filter_=False) == [(1, ["a", "b"])]


def test_value_mode_pairs_are_reported_once():
    data = [{"a": {"x1": {"v": 1}, "x2": {"v": 1}}}]
    found = find(data, R(["a", "(x.*)", "v", 1]), filter_=False)
    assert found == [(1, ["a", "x1", "v"]), (1, ["a", "x2", "v"])]


# ----- errors --------------------------------------------------------------------------------------------

def test_malformed_requirements():
    with pytest.raises(TypeError) as caught:
        find([{"a": 1}], R(("a", 1)))
    assert str(caught.value) == ("'args' has to be list. Instead ('a', 1) in (('a', 1),) was provided. Examples of "
                                 "acceptable requirement:\nfind(iterable, R(['a','b', 1]) ")
    with pytest.raises(ValueError) as caught:
        find([{"a": 1}], R(["a"]))
    assert str(caught.value) == ("R object expected *args list with at least 2 values that the last one will be used "
                                 "as the expected value but instead received ['a'] within (['a'],)")
    # only an admitted item reaches a path
    assert find([1], R(["a"]), type_=str) == []


@pytest.mark.parametrize("requirements", [(5,), (R(["a", 1]), 5), (R(["a", 1]), R(["b", 1]), "x")])
def test_a_requirement_that_is_no_r(requirements):
    with pytest.raises(TypeError, match=r"^Requirements list can only contain R objects\. Another type was found: "
                                        r"<class '(int|str)'> in "):
        find([{"a": 1, "b": 1}], *requirements)


# ----- state on the instance -------------------------------------------------------------------------------

def test_first_call_bookkeeping_and_reset():
    finder = Find()
    data = [{"a": {"b": 1}}]
    finder.find(data, R(["a", "b", 1]))
    assert finder.initial_object == data and finder.initial_object is not data
    assert finder.initial_object[0] is data[0]
    assert [r.args for r in finder.initial_requirements] == [(["a", "b", 1],)]
    assert finder.to_find_dict is True
    finder.reset_keys()
    assert not hasattr(finder, "initial_object") and not hasattr(finder, "initial_requirements")
    assert finder.to_find_dict is True
    assert finder.reset_keys() is None
    finder.find([1, 2], R(["real", 1]))
    assert finder.initial_object == [1, 2]


def test_sets_and_dictionaries_as_collections():
    assert find({1, 2}, R(["real", 2])) == [2]
    assert find({"a": 1}, R(["upper", "x"])) == []
    keys = find({"ab": 1, "cd": 2}, R(["(a.*)", 1]))
    assert keys == []
    finder = Find()
    assert finder.find({frozenset({1})}, R(["__len__", "x"])) == []
    assert not hasattr(finder, "to_find_dict")


def test_an_overridden_find_receives_the_recursive_calls():
    calls = []

    class Watching(Find):
        def find(self, from_, *requirements, **kwargs):
            calls.append(([r.args for r in requirements], kwargs))
            return super().find(from_, *requirements, **kwargs)

    item = {"a": {"b": {"c": 1}}}
    assert Watching().find([item], R(["a", "b", "c", 1])) == [item]
    assert calls == [([(["a", "b", "c", 1],)], {}),
                     ([(["b", "c", 1],)], {"filter_": True, "_first": False, "all_keys": False}),
                     ([(["c", 1],)], {"filter_": True, "_first": False, "all_keys": False})]


def test_an_overridden_matcher_is_called():
    class Loose(Find):
        def _match(self, obj, wanted, use__syntax=True, filter_=True):
            return True

    assert Loose().find([{"a": {"b": 2}}], R(["a", "b", 1])) == [{"a": {"b": 2}}]


COLLABORATOR_DEVICE = {"name": "d", "info": {"Eth1": {"status": "up"}, "Eth2": {"status": "down"}},
                       "items": [{"b": 1}]}
UP_PATH = R(["info", "(Eth.*)", "status", "up"])
# a search that runs each collaborator of Find.find, and how many calls of it it makes at least
COLLABORATOR_SEARCHES = {
    "find": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 2),
    "_match": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 1),
    "_normalize_r": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 1),
    "reset_keys": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 1),
    "_unhashable_intersection": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 1),
    "_unhashable_remove": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH), 1),
    "_build_dict": (lambda finder: finder.find([COLLABORATOR_DEVICE], UP_PATH, filter_=False, index=1), 1),
    "_formalize_loopable": (lambda finder: finder.find([COLLABORATOR_DEVICE], items__b=1), 1),
}


def watched_finder(how, name, calls):
    """A Find whose method `name` is replaced `how`, by one that counts its calls and runs Find's own."""
    original = getattr(Find, name)

    def watching(self, *args, **kwargs):
        calls.append(name)
        return original(self, *args, **kwargs)

    if how == "subclass":
        return type("Sub", (Find,), {name: watching})()
    if how == "instance":
        finder = Find()
        setattr(finder, name, watching.__get__(finder))
        return finder
    if how == "__getattribute__":
        class Intercepting(Find):
            def __getattribute__(self, attribute):
                if attribute == name:
                    calls.append(name)
                return super().__getattribute__(attribute)
        return Intercepting()
    # a class attribute replaced after the class was searched with: the earlier verdict does not hold
    Later = type("Later", (Find,), {})
    COLLABORATOR_SEARCHES[name][0](Later())
    setattr(Later, name, watching)
    return Later()


@pytest.mark.parametrize("how", ["subclass", "instance", "__getattribute__", "class attribute set later"])
@pytest.mark.parametrize("name", sorted(COLLABORATOR_SEARCHES))
def test_a_replaced_collaborator_is_called_where_finds_own_would_run(how, name):
    search, at_least = COLLABORATOR_SEARCHES[name]
    calls = []
    finder = watched_finder(how, name, calls)
    assert search(finder) == search(Find())
    assert calls.count(name) >= at_least


def test_a_keyword_requirement_follows_changes_made_during_the_walk():
    # the mapping is grouped again for every item that it could group differently
    data = [{"name": "d1", "os": "nxos"}, {"name": "d2", "os": "nxos"}, {"name": "d3", "os": "eos"}]
    requirement = R(os="nxos")

    def widen(value):
        requirement.kwargs["name"] = "d2"
        return True

    requirement.kwargs["callable_"] = widen
    assert find(data, requirement) == [data[0], data[1]]
    assert requirement.kwargs["name"] == "d2"

    splits = []

    class Key(str):
        __hash__ = str.__hash__

        def split(self, *args):
            splits.append(str(self))
            return str.split(self, *args)

    assert find(data, R(**{Key("os"): "nxos"})) == data[:2]
    assert len(splits) == 3
    nested = [{"info": {"os": os, "up": up}} for os in ("nxos", "eos") for up in (True, False)]
    assert find(nested, info__os="nxos", info__up=True) == [nested[0]]
    assert find(nested, filter_=False, info__os="eos", info__up=False) == [(False, ["info", "up"])]


# ----- normalisation ---------------------------------------------------------------------------------------

def test_normalisation_passes_single_and_keyword_requirements_through():
    normalize = Find()._normalize_r
    single = (R(["a", 1]),)
    assert normalize(single) is single
    keywords = [R(["a", 1]), R(a=1)]
    assert normalize(keywords) is keywords
    first_keywords = [R(a=1), R(["a", 1])]
    assert normalize(first_keywords) is first_keywords
    assert normalize([]) == []


def test_normalisation_lines_up_a_plain_value_without_changing_the_callers_lists():
    first = ["data", "100", "status", "up"]
    second = ["data", "(?P<vlan>.*)", "vl_mode", "CE"]
    result = Find()._normalize_r([R(first), R(second, ["extra", 1], k=1)])
    assert first == ["data", "100", "status", "up"] and second == ["data", "(?P<vlan>.*)", "vl_mode", "CE"]
    order = list({"100", "(?P<vlan>.*)"})
    lined_up = order[0] == "100"
    assert [r.args[0][1] for r in result] == (["100", "100"] if lined_up else ["100", "(?P<vlan>.*)"])
    assert result[1].args[1] == ["extra", 1] and result[1].kwargs == {}
    assert [r.args[0][2] for r in result] == ["status", "vl_mode"]


def test_normalisation_keeps_unchanged_paths_and_further_paths():
    first, second, further = ["a", 1], ["a", 1], ["b", 2]
    result = Find()._normalize_r((R(first, further), R(second)))
    assert result[0].args == (first, further) and result[0].args[0] is first and result[1].args[0] is second
    assert Find()._normalize_r([R([]), R(["a", 1])])[0].args == ([],)


@pytest.mark.parametrize("plain", [0, "", False, None])
def test_a_false_plain_value_counts_as_recorded(plain):
    values = list({plain, "(x)"})
    result = Find()._normalize_r([R([plain, 1]), R(["(x)", 1])])
    expected = [plain, plain] if not isinstance(values[0], str) or values[0] != "(x)" else [plain, "(x)"]
    assert [r.args[0][0] for r in result] == expected
    # a second plain value ends the lining up, also when the first was false
    result = Find()._normalize_r([R([plain, "k", 1]), R(["other", "(k)", 1])])
    assert [r.args[0][1] for r in result] == ["k", "(k)"]


def test_a_reused_requirement_searches_what_it_says():
    up = R(["data", "100", "status", "up"])
    pattern = R(["data", "(?P<vlan>.*)", "status", "up"])
    data = [{"data": {"100": {"status": "up"}, "200": {"status": "up"}}}]
    find(data, up, pattern, filter_=False)
    assert pattern.args[0] == ["data", "(?P<vlan>.*)", "status", "up"]
    assert len(find(data, pattern, filter_=False)) == 2


def test_normalisation_errors():
    with pytest.raises(TypeError):
        Find()._normalize_r([R(["a", [1]]), R(["a", 1])])
    tuples = [R(("a", 1, "x")), R(("a", "(p)", "x"))]
    if list({1, "(p)"})[0] == 1:
        with pytest.raises(TypeError):
            Find()._normalize_r(tuples)
    else:
        assert [r.args[0] for r in Find()._normalize_r(tuples)] == [("a", 1, "x"), ("a", "(p)", "x")]


def test_normalisation_makes_requirements_through_the_module_level_r(monkeypatch):
    import quarv.utils.objects as objects

    class Rebound(objects.R):
        pass

    made_before = [R(["a", 1]), R(["a", 1])]
    monkeypatch.setattr(objects, "R", Rebound)
    normalised = Find()._normalize_r(made_before)
    assert [type(r) for r in normalised] == [Rebound, Rebound]
    assert [r.args for r in normalised] == [(["a", 1],), (["a", 1],)]
    assert find([{"a": 1}, {"a": 2}], *made_before) == [{"a": 1}]
    # what is no requirement at all is still the walk's to report
    with pytest.raises(TypeError, match="Requirements list can only contain R objects"):
        find([{"a": 1}], R(["a", 1]), object())


# ----- result sets of unhashable items -------------------------------------------------------------------

def test_unhashable_intersection_and_remove():
    finder = Find()
    assert finder._unhashable_intersection([]) == []
    a, b, a_equal = {"id": 1}, {"id": 2}, {"id": 1}
    assert finder._unhashable_intersection([[a, a, b]]) == [a, b]
    result = finder._unhashable_intersection([[a, b], [a_equal]])
    assert result == [a] and result[0] is a
    twins = finder._unhashable_intersection([[a, a_equal], [{"id": 1}]])
    assert twins[0] is a and twins[1] is a_equal
    assert finder._unhashable_intersection([[], [a]]) == [] and finder._unhashable_intersection([[a], []]) == []
    first = [a, b]
    finder._unhashable_intersection([first, [b]])
    assert first == [a, b]
    removed = finder._unhashable_remove([a, a_equal, a])
    assert len(removed) == 2 and removed[0] is a and removed[1] is a_equal
    assert finder._unhashable_remove(iter([a])) == [a]


def test_unhashable_intersection_uses_an_overridden_remove():
    class Keeping(Find):
        def _unhashable_remove(self, unhashables):
            return list(unhashables)

    a = {"id": 1}
    assert Keeping()._unhashable_intersection([[a, a]]) == [a, a]


# ----- index projection ------------------------------------------------------------------------------------

def test_build_dict_through_an_overriding_method():
    calls = []

    class Watching(Find):
        def _build_dict(self, from_, keys, index):
            calls.append((keys, index))
            return super()._build_dict(from_, keys, index)

    assert Watching()._build_dict({"a": {"b": {"c": 1}}}, ("a", "b", "c"), 2) == {"c": 1}
    assert calls == [(("a", "b", "c"), 2), (("b", "c"), 1), (("c",), 0)]


def test_build_dict():
    build = Find()._build_dict
    data = {"data": {"100": {"status": "up"}}}
    assert build(data, ["data", "100", "status"], 0) is data
    assert build(data, [], 3) is data
    assert build(data, ["data", "100", "status"], 2) == {"status": "up"}
    assert build(data, ["data"], 5) == {"100": {"status": "up"}}
    obj = Obj(data={"100": {"status": "up"}})
    assert build(obj, ["data", "100", "status"], 1) == {"status": "up"}
    assert build(obj, ["data", "100", "status"], 2) == "up"
    nested = Obj(a=Obj(b={1: "x"}))
    assert build(nested, ["a.b", 1], 1) == "x"
    deep = node = {}
    for _ in range(100000):
        node["a"] = node = {}
    assert build(deep, ["a"] * 100000, -1) is node
    with pytest.raises(IndexError):
        build(obj, ["data"], 1)
    with pytest.raises(KeyError):
        build(data, ["nope"], 1)
    with pytest.raises(TypeError):
        build(obj, [5, 1], 1)


def test_projection_never_runs_a_key_as_code(tmp_path):
    marker = tmp_path / "ran"
    code_key = f"__import__('pathlib').Path({str(marker)!r}).touch()"
    data = Obj(data={code_key: {"v": 1}})
    found = find([data], R(["data", code_key, "v", 1]), filter_=False, index=1)
    assert found == [({"v": 1}, ["data", code_key, "v"])]
    with pytest.raises(AttributeError):
        Find()._build_dict(Obj(), [f"x.{code_key}", 1], 1)
    assert not marker.exists()


def test_index_projection_in_a_search():
    data = [{"data": {"100": {"status": "up"}}}]
    req = R(["data", "100", "status", "up"])
    assert find(data, req, filter_=False, index=2) == [({"status": "up"}, ["data", "100", "status"])]
    assert find(data, req, filter_=False, index=0) == [(data[0], ["data", "100", "status"])]
    assert find(data, req, filter_=0, index=2) == [("up", ["data", "100", "status"])]
    assert find(data * 2, req, filter_=False, index=2) == [("up", ["data", "100", "status"])] * 2
    with pytest.raises(ValueError, match=r"^Cannot use index of size '4' on '\['data', '100', 'status'\]'$"):
        find(data, req, filter_=False, index=4)


def test_index_projection_of_lists_of_pairs():
    data = [{"Eth1": {"up": 1}, "Eth2": {"up": 1}}]
    found = find(data, R(["(Eth.*)", {"up": 1}]), filter_=False, index=1)
    assert found == [[({"up": 1}, ["Eth1"]), ({"up": 1}, ["Eth2"])]]


# ----- path expansion ---------------------------------------------------------------------------------------

def test_populate_path():
    populate = Find()._populate_path
    path = [["interfaces", "(?P<intf>.*)", "status"]]
    assert populate([], [{"intf": "x"}]) == [] and populate(None, [{}]) is None
    assert populate(path, []) == []
    assert populate(path, [{"intf": "Ethernet1"}]) == [["interfaces", "Ethernet1", "status"]]
    assert populate(path, [{"intf": 5}]) == [["interfaces", 5, "status"]]
    assert populate(path, [{"other": "x"}]) == [["interfaces", "(?P<intf>.*)", "status"]]
    assert populate([["a", "(?P<n>[0-9]+)"]], [{"n": "x"}]) == []
    two = populate([["a", "(?P<x>.*)"], ["b", "(?P<x>.*)"]], [{"x": 1}, {"x": 1}])
    assert sorted(two) == [["a", 1], ["b", 1]]
    assert populate([["a", NotExists("b"), Not("c"), Operator(3), "{uut}", Operator("{uut}")]], [{}], device="d") == [
        ["a", "c", 3, "d", "d"]]
    assert populate([["{uut}"]], [{}]) == [[None]]
    assert populate([[Operator("(?P<intf>E.*)")]], [{"intf": "Eth1"}]) == [["Eth1"]]
    assert populate([[Operator("(?P<intf>E.*)")]], [{"intf": "x"}]) == []
    unchanged = [["a", "(?P<x>.*)"]]
    populate(unchanged, [{"x": 1}])
    assert unchanged == [["a", "(?P<x>.*)"]]
    with pytest.raises(IndexError):
        populate([["(.*)"]], [{}])
    with pytest.raises(ValueError, match=r"^'\(\?P<x' is not a valid regex expression$"):
        populate([["(?P<x"]], [{}])
    with pytest.raises(TypeError):
        populate([[Operator([1])]], [{}])


# ----- result grouping -----------------------------------------------------------------------------------------

def test_group_keys():
    group = GroupKeys.group_keys
    pairs = [("up", ["info", "Ethernet1", "status"])]
    assert group(pairs, [["info", "(?P<intf>.*)", "status", "up"]]) == [{"intf": "Ethernet1"}]
    assert group(pairs, [["info", "Ethernet1", "status", "(?P<state>.*)"]]) == [{"state": "up"}]
    assert group(pairs, [["info", Operator("(?P<intf>.*)"), "status"]]) == [{"intf": "Ethernet1"}]
    assert group(pairs, [["info", Not("(?P<intf>.*)"), "status"]]) == [{"intf": "Ethernet1"}]
    assert group(pairs, [["info", Operator("(?P<intf"), "status"]]) == [{}]
    assert group([("y", ["xy"])], [["(?P<a>x)(?P<b>y)"]]) == [{"a": "xy"}]
    assert group(pairs, [["info", "(.*)", "status"]]) == [{}]
    assert group([("v", ["(?P<a>.*)"])], [["(?P<a>.*)"]]) == [{}]
    assert group([], [["a"]]) == [] and group(pairs, []) == []
    assert group(pairs, [["info", "(?P<intf>.*)"]], ret_num=5) == [{"intf": "Ethernet1"}]
    assert Find and GroupKeys().group_keys(pairs, [["info", "(?P<intf>.*)"]]) == [{"intf": "Ethernet1"}]
    with pytest.raises(ValueError, match=r"^'\(\?P<intf' is not a valid regex expression$"):
        group(pairs, [["info", "(?P<intf"]])


def test_group_keys_sorts_each_list_with_its_requirement_path():
    later = [("up", ["b", "x"])]
    earlier = [("up", ["a", "y"])]
    result = GroupKeys.group_keys([later, earlier], [["b", "(?P<first>.*)"], ["a", "(?P<second>.*)"]], all_keys=True)
    assert result == [{"second": "y"}, {"first": "x"}]


# ----- merge of several requirements -----------------------------------------------------------------------

def interfaces(name, **statuses):
    return {"name": name, "info": {intf: {"status": s, "mode": "access" if s == "up" else "trunk"}
                                   for intf, s in statuses.items()}}


UP = R(["info", "(?P<intf>.*)", "status", "up"])
ACCESS = R(["info", "(?P<intf>.*)", "mode", "access"])
TRUNK = R(["info", "(?P<intf>.*)", "mode", "trunk"])


def test_merge_gives_the_first_requirements_own_pairs():
    dev1 = interfaces("dev1", Ethernet1="up", Ethernet2="down")
    found = find([dev1], UP, ACCESS, filter_=False)
    assert found == [("up", ["info", "Ethernet1", "status"])]
    both = find([dev1], UP, ACCESS, filter_=False, all_keys=True)
    assert both == [[("up", ["info", "Ethernet1", "status"])], [("access", ["info", "Ethernet1", "mode"])]]


def test_merge_drops_values_other_requirements_do_not_admit():
    dev = interfaces("dev", Ethernet1="up", Ethernet2="up")
    dev["info"]["Ethernet2"]["mode"] = "trunk"
    assert find([dev], UP, ACCESS, filter_=False) == [("up", ["info", "Ethernet1", "status"])]
    # no shared value for the name: the second requirement does not narrow it
    assert find([interfaces("dev", Ethernet1="up")], UP, TRUNK, filter_=False) == []
    dev3 = interfaces("dev", Ethernet1="up", Ethernet2="down")
    assert find([dev3], UP, TRUNK, filter_=False) == [("up", ["info", "Ethernet1", "status"])]


def test_merge_does_not_depend_on_the_order_of_the_collection():
    dev1 = interfaces("dev1", Ethernet1="up")
    dev2 = {"name": "dev2", "info": {}}
    assert find([dev1, dev2], UP, ACCESS, filter_=False) == find([dev2, dev1], UP, ACCESS, filter_=False) == [
        ("up", ["info", "Ethernet1", "status"])]


def test_merge_reports_real_values_and_copes_with_unnamed_patterns():
    data = [{"a": {"x1": {"v": 10}}, "b": {"x1": {"w": 20}}}]
    assert find(data, R(["a", "(x.*)", "v", "(1.*)"]), R(["b", "(x.*)", "w", "(2.*)"]), filter_=False) == [
        (10, ["a", "x1", "v"])]


def test_merge_only_in_value_mode_and_only_when_nothing_is_shared():
    data = [{"a": {"b": 1, "c": 2}}, {"a": {}}]
    assert find(data, R(["a", "b", 1]), R(["a", "c", 2])) == [data[0]]
    dev1 = interfaces("dev1", Ethernet1="up")
    assert find([dev1], UP, filter_=False) == [("up", ["info", "Ethernet1", "status"])]
    assert find([dev1], R(name="dev1"), UP, filter_=False) == []
    # results in common are returned as they are
    assert find([dev1], UP, UP, filter_=False) == [("up", ["info", "Ethernet1", "status"])]
    finder = Find()
    finder.find([dev1], UP, ACCESS, filter_=False)
    assert len(finder.found_objects) == 2 and finder.initial_found_objects is finder.found_objects[0]


def test_merge_when_a_requirement_found_nothing():
    dev1 = interfaces("dev1", Ethernet1="up")
    assert find([dev1], UP, R(["info", "(?P<intf>.*)", "mode", "none"]), filter_=False) == []


def test_merge_survives_group_keys_that_change_the_recorded_results():
    # found_objects is visible to user code that the merge calls: emptied or refilled meanwhile, the
    # merge goes on with the records as they were when it began
    code = """
        import quarv.utils.objects as mod
        from quarv.utils.objects import Find, R
        finder = Find()
        original = mod.GroupKeys.group_keys
        def changing(change):
            class Changing(mod.GroupKeys):
                @classmethod
                def group_keys(cls, *args, **kwargs):
                    change(finder.found_objects)
                    return original(*args, **kwargs)
            return Changing
        dev = {"info": {"Eth1": {"status": "up", "mode": "access"}}}
        up, access = R(["info", "(?P<intf>.*)", "status", "up"]), R(["info", "(?P<intf>.*)", "mode", "access"])
        for change in (lambda found: found.clear(), lambda found: found.extend([5, None, [object()]] * 100)):
            mod.GroupKeys = changing(change)
            print(finder.find([dev], up, access, filter_=False))
            print(finder.find([dev], up, access, filter_=False, all_keys=True))
        # the recorded lists themselves emptied: nothing is left to merge
        mod.GroupKeys = changing(lambda found: [record.clear() for record in found])
        print(finder.find([dev], up, access, filter_=False))
        class Emptying(mod.GroupKeys):
            @classmethod
            def group_keys(cls, *a, **k):
                finder.found_objects.clear()
                return []
        mod.GroupKeys = Emptying
        print(finder.find([dev], up, access, filter_=False))
    """
    lines = run_fresh(code).stdout.splitlines()
    merged = "[('up', ['info', 'Eth1', 'status'])]"
    both = "[[('up', ['info', 'Eth1', 'status'])], [('access', ['info', 'Eth1', 'mode'])]]"
    assert lines == [merged, both] * 2 + ["[]", "[]"]


# ----- deep input ------------------------------------------------------------------------------------------

def test_deep_input_raises_recursion_error():
    code = """
        import sys
        from quarv.utils.objects import Find, R, find
        deep_dict = {}
        node = deep_dict
        for _ in range(300000):
            node["a"] = {}
            node = node["a"]
        long_path = ["a"] * 300000 + [1]
        cases = [
            lambda: find([deep_dict], R(long_path)),
            lambda: find([deep_dict], R(long_path), filter_=False),
        ]
        for limit in (1000, 10 ** 8):
            sys.setrecursionlimit(limit)
            for case in cases:
                try:
                    case()
                except RecursionError:
                    print("RecursionError")
        # every level of a nested key holds the rest of the key's text: kept short
        sys.setrecursionlimit(1000)
        try:
            Find()._match(deep_dict, {"__".join(["a"] * 5000): 1})
        except RecursionError:
            print("RecursionError")
    """
    assert run_fresh(code, timeout=180).stdout.split() == ["RecursionError"] * 5


def test_nothing_is_recorded_where_nothing_can_be():
    # a first step that is no text, over objects
    assert find([Obj(), {5: "x"}], R([5, "x"]), R([5, "y"]), filter_=False) == []
    assert find([Obj(a={"b": 1, "c": 2})], R(["a", "b", 1]), R(["a", "c", 2]), filter_=False) == [(1, ["a", "b"])]
    # sets and dictionaries are not probed by position
    assert find({(1, 2)}, R(["count", 1]), R(["index", 0]), filter_=False) == []
    assert find({0: "zero", 1: "one"}, R(["real", 1])) == [1]
