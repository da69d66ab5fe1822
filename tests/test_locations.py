"""quarv.utils.locations: the Location record tree, its deep copy, the position-recording loader and
the location-aware merges."""

import copy
import io
import pickle
import textwrap
import types
from collections import OrderedDict

import pytest
import yaml
from fresh import run_fresh

from quarv.utils import dicts, locations
from quarv.utils.locations import (LocSafeLoader, Location, location_deepcopy, recursive_location_setdefault,
                                   recursive_location_update)


def load(text, **kwargs):
    """Loads one document with a fresh root; returns the data and the root."""
    root = kwargs.pop("locations", None)
    root = Location() if root is None else root
    data = LocSafeLoader(text, locations=root, **kwargs).get_single_data()
    return data, root


def pos(record):
    return record.line, record.column


def record(line, column, file="", **entries):
    made = Location(**entries)
    made.file, made.line, made.column = file, line, column
    return made


# ----- the module ------------------------------------------------------------------------------------


def test_module_namespace_in_order_of_creation():
    names = [name for name in vars(locations) if not name.startswith("__")]
    assert names == ["os", "re", "MutableMapping", "MutableSequence", "MappingNode", "SafeLoader", "ScalarNode",
                     "SequenceNode", "LIST_EXTEND_PATTERN", "Location", "location_deepcopy",
                     "recursive_location_update", "recursive_location_setdefault", "LocSafeLoader"]
    assert locations.LIST_EXTEND_PATTERN is dicts.LIST_EXTEND_PATTERN
    assert locations.SafeLoader is yaml.SafeLoader and issubclass(LocSafeLoader, yaml.SafeLoader)
    assert not hasattr(locations, "__all__") and locations.__doc__ is None
    assert Location.__module__ == LocSafeLoader.__module__ == "quarv.utils.locations"


def test_signatures_are_those_of_python_functions():
    import inspect

    assert str(inspect.signature(recursive_location_update)) == \
        "(data, new_data, locations, new_locations, list_extend=False)"
    assert str(inspect.signature(recursive_location_setdefault)) == "(data, new_data, locations, new_locations)"
    assert str(inspect.signature(LocSafeLoader.__init__)) == "(self, stream, *, locations=None, file_name=None)"
    assert str(inspect.signature(LocSafeLoader.construct_object)) == "(self, node, deep=False)"
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        LocSafeLoader("a: 1", Location())
    assert recursive_location_update.__doc__ is None and recursive_location_setdefault.__doc__ is None


# ----- Location ------------------------------------------------------------------------------------------


def test_new_location_has_no_position_and_no_entries():
    loc = Location()
    assert (loc.file, loc.line, loc.column) == ("", -1, -1)
    assert loc == {} and len(loc) == 0
    assert str(loc) == " line:0 column:0"
    assert loc.extract() == {"file": "", "line": -1, "column": -1}
    assert list(loc.extract()) == ["file", "line", "column"]


def test_location_entries_and_attributes_are_apart():
    loc = Location({"a": 1}, b=2)
    assert loc == {"a": 1, "b": 2} and type(loc) is Location and isinstance(loc, dict)
    loc.file, loc.line, loc.column = "/srv/conf/a.yaml", 4, 2
    assert "file" not in loc and loc.extract() == {"file": "/srv/conf/a.yaml", "line": 4, "column": 2}
    other = Location(a=1, b=2)
    assert loc == other  # positions take no part in equality
    with pytest.raises(TypeError, match="unhashable"):
        hash(loc)
    loc.note = "free attributes still work"
    assert loc.note == "free attributes still work"


def test_dict_initialiser_errors_pass_through():
    with pytest.raises(TypeError):
        Location(1)
    with pytest.raises(ValueError):
        Location([(1, 2, 3)])


class IndexOnly:
    def __init__(self, number):
        self.number = number

    def __add__(self, other):
        return IndexOnly(self.number + other)

    def __index__(self):
        return self.number


@pytest.mark.parametrize("file, line, column, text", [
    ("/srv/conf/a.yaml", 4, 2, "a.yaml line:5 column:3"),
    ("conf.yaml", 0, 0, "conf.yaml line:1 column:1"),
    ("dir/", 1, 1, " line:2 column:2"),
    ("", 2.9, 7.2, " line:3 column:8"),  # floats are truncated
    ("", True, False, " line:2 column:1"),
    (b"/x/bytes.yaml", 0, 0, "b'bytes.yaml' line:1 column:1"),
    ("", IndexOnly(4), IndexOnly(0), " line:5 column:1"),  # an integer conversion through __index__
])
def test_text_form(file, line, column, text):
    assert str(record(line, column, file)) == text


class NoInt:
    def __radd__(self, other):
        return self

    __add__ = __radd__


class BadInt(NoInt):
    def __int__(self):
        return "3"


@pytest.mark.parametrize("file, line, error, message", [
    ("", NoInt(), TypeError, "an integer is required"),
    ("", 2j, TypeError, "^an integer is required$"),  # a number without an integer conversion
    ("", BadInt(), TypeError, "non-int"),
    ("", "3", TypeError, None),  # "3" + 1
    (None, 0, TypeError, None),  # os.path.basename(None)
])
def test_text_form_errors(file, line, error, message):
    with pytest.raises(error, match=message):
        str(record(line, 0, file))


def test_text_form_reads_attributes_and_module_os_at_each_call(monkeypatch):
    loc = record(0, 0, "/a/b.yaml")
    assert str(loc) == "b.yaml line:1 column:1"
    loc.line = 9
    assert str(loc) == "b.yaml line:10 column:1"
    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(basename=lambda name: "BASE"))
    monkeypatch.setattr(locations, "os", fake_os)
    assert str(loc) == "BASE line:10 column:1"


def test_subclasses_copies_and_pickles_keep_positions():
    class Tagged(Location):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.tag = "t"

    tagged = Tagged(a=1)
    assert (tagged, tagged.tag, tagged.line) == ({"a": 1}, "t", -1)
    tagged.line = 3
    assert str(tagged) == " line:4 column:0"
    original = record(4, 2, "/srv/a.yaml", child=record(5, 6))
    for clone in (copy.copy(original), copy.deepcopy(original), pickle.loads(pickle.dumps(original))):
        assert type(clone) is Location and clone == original
        assert clone.extract() == original.extract()
        assert clone["child"].extract() == original["child"].extract()
    assert copy.deepcopy(tagged).extract() == tagged.extract() and copy.deepcopy(tagged).tag == "t"


# ----- location_deepcopy -----------------------------------------------------------------------------------


def test_location_deepcopy_copies_records_and_mappings():
    inner = record(1, 4, "/a.yaml")
    inner["x"] = record(1, 4, "/a.yaml")
    tree = {"a": record(0, 0, "/a.yaml", **{"1": record(0, 3)}), "b": inner,
            "od": OrderedDict(k=record(7, 7))}
    copied = location_deepcopy(tree)
    assert type(copied) is dict and copied == tree and copied is not tree
    assert type(copied["b"]) is Location and copied["b"] is not inner
    assert copied["b"].extract() == inner.extract() and copied["b"]["x"].extract() == inner["x"].extract()
    assert type(copied["od"]) is dict and copied["od"]["k"].extract()["line"] == 7
    copied["b"]["x"].line = 99
    copied["b"]["new"] = 1
    assert inner["x"].line == 1 and "new" not in inner
    key = ("shared", "key")
    assert next(iter(location_deepcopy({key: 1}))) is key


def test_location_deepcopy_of_a_record_subclass_gives_a_record():
    class Sub(Location):
        pass

    source = Sub(a=1)
    source.line = 3
    copied = location_deepcopy(source)
    assert type(copied) is Location and copied == {"a": 1} and copied.line == 3


@pytest.mark.parametrize("value", [[1, {"a": 1}], 5, "text", None, types.MappingProxyType({"a": {}})])
def test_location_deepcopy_returns_other_values_themselves(value):
    assert location_deepcopy(value) is value


def test_location_deepcopy_of_self_containing_tree_raises_recursion_error():
    tree = Location()
    tree["self"] = tree
    with pytest.raises(RecursionError):
        location_deepcopy(tree)


# ----- LocSafeLoader: the worked example and what documents enter ---------------------------------------------


def test_worked_example():
    root = Location()
    data = LocSafeLoader("a: 1\nb: [x, y]\n", locations=root, file_name="conf.yaml").get_single_data()
    assert data == {"a": 1, "b": ["x", "y"]}
    assert list(root) == ["a", "b"]
    assert (root.file, root.line, root.column) == ("", -1, -1)
    a, b = root["a"], root["b"]
    assert a.extract() == {"file": "conf.yaml", "line": 0, "column": 0}
    assert b.extract() == {"file": "conf.yaml", "line": 1, "column": 0}
    assert list(a) == [1] and a[1].extract() == {"file": "conf.yaml", "line": 0, "column": 3}
    assert list(b) == [0, 1]
    assert pos(b[0]) == (1, 4) and pos(b[1]) == (1, 7)
    assert list(b[0]) == ["x"] and pos(b[0]["x"]) == (1, 4) and b[0]["x"] is not b[0]
    assert list(b[1]) == ["y"] and pos(b[1]["y"]) == (1, 7)
    assert b[1]["y"].file == "conf.yaml"
    assert all(type(r) is Location for r in (a, b, a[1], b[0], b[1], b[0]["x"], b[1]["y"]))
    assert a[1] == {} and b[0]["x"] == {}  # no record for the mapping or the sequence as such
    assert str(b[1]["y"]) == "conf.yaml line:2 column:8"


@pytest.mark.parametrize("text, data, tree", [
    ("hello", "hello", {"hello": {}}),
    ("- 1\n- two\n", [1, "two"], {0: {1: {}}, 1: {"two": {}}}),
    ("key:\n", {"key": None}, {"key": {None: {}}}),
    ("22: a\ntrue: b\n", {22: "a", True: "b"}, {22: {"a": {}}, True: {"b": {}}}),
    ("1: first\ntrue: second\n", {1: "second"}, {1: {"second": {}}}),  # equal keys share one entry
    ("a: &x 5\nb: *x\n", {"a": 5, "b": 5}, {"a": {}, "b": {5: {}}}),
    # an aliased list is linked again at each construction: its elements go where the alias is
    ("a: &s [1]\nb: *s\n", {"a": [1], "b": [1]}, {"a": {}, "b": {0: {1: {}}}}),
    ("a: {}\nb: []\n", {"a": {}, "b": []}, {"a": {}, "b": {}}),
    ("a: [[1, 2], {k: v}]\n", {"a": [[1, 2], {"k": "v"}]},
     {"a": {0: {0: {1: {}}, 1: {2: {}}}, 1: {"k": {"v": {}}}}}),
])
def test_what_documents_enter(text, data, tree):
    loaded, root = load(text)
    assert loaded == data
    assert root == tree


def test_positions_of_keys_nested_values_and_the_later_key_on_equal_keys():
    _, root = load("top:\n  inner: [a]\n1: x\ntrue: y\n")
    assert pos(root["top"]) == (0, 0) and pos(root["top"]["inner"]) == (1, 2)
    assert pos(root["top"]["inner"][0]) == (1, 10) and pos(root["top"]["inner"][0]["a"]) == (1, 10)
    assert pos(root[1]) == (3, 0)  # the later key's record replaces the earlier one


def test_scalars_are_keyed_by_their_constructed_values():
    _, root = load("d: 2001-12-14\nf: 1.5\nn: ~\nb: !!binary aGVsbG8=\nt: yes\n")
    import datetime

    assert list(root["d"]) == [datetime.date(2001, 12, 14)]
    assert list(root["f"]) == [1.5] and list(root["n"]) == [None]
    assert list(root["b"]) == [b"hello"] and list(root["t"]) == [True]


def test_without_locations_nothing_is_recorded_and_data_is_safe_loaders():
    text = "a: &x [1, {b: c}]\nd: *x\ne: !!omap [k: v]\n"
    for loader in (LocSafeLoader(text), LocSafeLoader(text, locations=None)):
        node = loader.get_single_node()
        assert loader.construct_document(node) == yaml.load(text, Loader=yaml.SafeLoader)
        stack = [node]
        while stack:
            current = stack.pop()
            assert not hasattr(current, "_location") and not hasattr(current, "_parent")
            if isinstance(current, yaml.MappingNode):
                stack.extend(n for pair in current.value for n in pair)
            elif isinstance(current, yaml.SequenceNode):
                stack.extend(current.value)


def test_file_names(tmp_path):
    path = tmp_path / "named.yaml"
    path.write_text("a: 1\n")
    cases = [({}, "a: 1\n", ""), ({}, io.StringIO("a: 1\n"), ""), ({"file_name": "given.yaml"}, "a: 1\n", "given.yaml")]
    with open(path) as stream:
        cases.append(({}, stream, str(path)))
        with open(path) as other:
            cases.append(({"file_name": ""}, other, str(path)))  # an empty name falls through
            for kwargs, stream_, expected in cases:
                loader = LocSafeLoader(stream_, locations=Location(), **kwargs)
                assert loader._file == expected
                root = loader._locations
                loader.get_single_data()
                assert root["a"].file == expected and root["a"][1].file == expected


def test_only_a_missing_name_is_tolerated():
    class Exploding(io.StringIO):
        @property
        def name(self):
            raise OSError("no name today")

    with pytest.raises(OSError, match="no name today"):
        LocSafeLoader(Exploding("a: 1"))


def test_loader_keeps_the_root_and_its_attributes():
    root = Location()
    loader = LocSafeLoader("a: 1", locations=root)
    assert loader._locations is root
    loader.get_single_data()
    assert (root.file, root.line, root.column) == ("", -1, -1)


def test_every_document_of_a_stream_enters_the_same_root():
    root = Location()
    docs = list(yaml.load_all("a: 1\nb: 2\n---\na: 3\n", Loader=lambda s: LocSafeLoader(s, locations=root)))
    assert docs == [{"a": 1, "b": 2}, {"a": 3}]
    assert pos(root["a"]) == (3, 0) and list(root["a"]) == [3] and pos(root["b"]) == (1, 0)


def test_plain_dict_and_user_mapping_roots():
    data, root = load("a: [1]\n", locations={})
    assert type(root) is dict and pos(root["a"][0]) == (0, 4)

    class Recording(dict):
        def __init__(self):
            super().__init__()
            self.keys_set = []

        def __setitem__(self, key, value):
            self.keys_set.append(key)
            super().__setitem__(key, value)

    recording = Recording()
    load("- x\n- y\n", locations=recording)
    assert recording.keys_set == [0, 1]


def test_a_root_refusing_the_first_entry_stops_the_load():
    with pytest.raises(TypeError):
        load("a: 1", locations=())


def test_a_sequence_as_mapping_key_enters_elements_where_the_keys_go():
    root = Location()
    with pytest.raises(yaml.constructor.ConstructorError, match="found unhashable key"):
        LocSafeLoader("? [a, b]\n: 1\n", locations=root).get_single_data()
    assert list(root) == [0, 1] and pos(root[0]) == (0, 3) and pos(root[1]) == (0, 6)


def test_an_unhashable_constructed_scalar_stops_the_load_keeping_earlier_records():
    class ListScalars(LocSafeLoader):
        pass

    ListScalars.add_constructor("!list", lambda loader, node: [node.value])
    root = Location()
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        ListScalars("a: 1\nb: !list x\n", locations=root).get_single_data()
    assert list(root) == ["a", "b"] and list(root["a"]) == [1]


def test_yaml_errors_propagate_and_earlier_records_stay():
    root = Location()
    with pytest.raises(yaml.YAMLError):
        LocSafeLoader("a: 1\nb: [unclosed\n", locations=root).get_single_data()
    with pytest.raises(ValueError, match="invalid literal"):  # the base's own error, unchanged
        LocSafeLoader("a: 1\nb: !!int nope\n", locations=root).get_single_data()
    assert list(root) == ["a", "b"] and list(root["a"]) == [1]


@pytest.mark.parametrize("text", [
    "pairs: !!omap\n  - one: 1\n  - two: 2\n",
    "pairs: !!pairs\n  - one: 1\n  - one: 2\n",
    "!!omap [a: 1, b: [x]]\n",
    "top:\n  list: !!pairs [a: {k: v}]\n  after: 3\n",
])
def test_ordered_maps_and_pairs_load_as_safe_loader_loads_them(text):
    """The base builds the pairs of these without constructing their one-pair mappings, so their
    keys and values have no parent record: they record nothing, and the rest is recorded as usual."""
    data, root = load(text)
    assert data == yaml.load(text, Loader=yaml.SafeLoader)
    if "top" in root:
        assert pos(root["top"]["after"]) == (2, 2) and list(root["top"]["after"]) == [3]


def test_ordered_map_records_its_elements_but_not_their_pairs():
    _, root = load("m: !!omap\n  - one: 1\n  - two: 2\n")
    assert list(root["m"]) == [0, 1]
    assert pos(root["m"][0]) == (1, 4) and pos(root["m"][1]) == (2, 4)
    assert root["m"][0] == {} and root["m"][1] == {}


def test_sets_and_merge_keys_load_as_safe_loader_loads_them():
    text = "base: &b {x: 1, y: [2]}\nderived:\n  <<: *b\n  z: 3\ns: !!set {p, q}\n"
    data, root = load(text)
    assert data == yaml.load(text, Loader=yaml.SafeLoader)
    assert pos(root["derived"]["z"]) == (3, 2) and set(root["s"]) == {"p", "q"}
    assert list(root["s"]["p"]) == [None]


# ----- LocSafeLoader: cooperation with subclasses and mixins ---------------------------------------------------


def test_subclasses_and_mixins_are_reached_through_super():
    calls = []

    class Counting(yaml.SafeLoader):
        def __init__(self, stream):
            calls.append("init")
            super().__init__(stream)

        def construct_document(self, node):
            calls.append("document")
            return super().construct_document(node)

        def construct_object(self, node, deep=False):
            calls.append(("object", deep))
            return super().construct_object(node, deep=deep)

    class Mixed(LocSafeLoader, Counting):
        pass

    root = Location()
    assert Mixed("a: [1]", locations=root).get_single_data() == {"a": [1]}
    assert calls[:2] == ["init", "document"] and ("object", False) in calls
    assert pos(root["a"][0]) == (0, 4)

    class Deep(LocSafeLoader):
        def __init__(self, stream, **kwargs):
            super().__init__(stream, locations=Location(), **kwargs)

        def construct_object(self, node, deep=False):
            return super().construct_object(node, deep=True)

    deep = Deep("a: {b: [c]}", file_name="deep.yaml")
    assert deep.get_single_data() == {"a": {"b": ["c"]}}
    assert deep._locations["a"]["b"][0]["c"].file == "deep.yaml"


def test_module_level_names_are_looked_up_at_each_call(monkeypatch):
    made = []

    class Counted(Location):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(locations, "Location", Counted)
    _, root = load("a: [x]\n")
    assert made and type(root["a"]) is Counted and type(root["a"][0]["x"]) is Counted
    assert pos(root["a"][0]) == (0, 4)
    monkeypatch.setattr(locations, "ScalarNode", type("Nothing", (), {}))
    _, root = load("- x\n")
    assert list(root) == [0] and list(root[0]) == []  # no scalar (key or value) is entered any more


def test_deep_nesting_raises_recursion_error_in_a_fresh_interpreter():
    code = textwrap.dedent("""
        import sys
        from quarv.utils.locations import LocSafeLoader, Location, location_deepcopy, \\
            recursive_location_update, recursive_location_setdefault
        for text in ("[" * 5000 + "]" * 5000, "{a: " * 5000 + "1" + "}" * 5000):
            try:
                LocSafeLoader(text, locations=Location()).get_single_data()
            except RecursionError:
                print("RecursionError")
        # far past what the native stack holds: the guard must stop it, not the stack's end
        sys.setrecursionlimit(1000000)
        deep = current = {}
        for _ in range(500000):
            current["k"] = current = {}
        for call in (lambda: location_deepcopy(deep),
                     lambda: recursive_location_update(deep, deep, {}, {}),
                     lambda: recursive_location_setdefault(deep, deep, deep, deep)):
            try:
                call()
            except RecursionError:
                print("RecursionError")
    """)
    result = run_fresh(code, timeout=300)
    assert result.stdout.split() == ["RecursionError"] * 5


def test_deep_construction_stops_before_the_native_stack_ends():
    """A loader that constructs deeply nests native and Python frames once per level; on a small stack
    and with no effective recursion limit the guard must raise before the stack runs out."""
    code = textwrap.dedent("""
        import resource, sys
        # a small stack for the main thread, set before anything measures it
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))
        from quarv.utils.locations import LocSafeLoader, Location

        class Deep(LocSafeLoader):
            def construct_object(self, node, deep=False):
                return super().construct_object(node, deep=True)

        sys.setrecursionlimit(1000000)
        try:
            Deep("[" * 1500 + "]" * 1500, locations=Location()).get_single_data()
        except RecursionError:
            print("RecursionError")
    """)
    result = run_fresh(code, timeout=300)
    assert result.stdout.split() == ["RecursionError"]


# ----- recursive_location_update ------------------------------------------------------------------------------------

R0, R1, R2 = record(0, 0), record(1, 0), record(2, 0)


@pytest.mark.parametrize("merge, message", [
    (recursive_location_update, "recursive_location_update takes two dicts"),
    (recursive_location_setdefault, "recursive_location_setdefault takes two dicts"),
])
@pytest.mark.parametrize("data, new_data", [
    ([], {}), ({}, []), (None, {}), ({}, None), (types.MappingProxyType({}), {}), ({}, types.MappingProxyType({})),
])
def test_merges_demand_mutable_mappings(merge, message, data, new_data):
    with pytest.raises(TypeError, match=f"^{message}$"):
        merge(data, new_data, {}, {})


def test_empty_new_data_touches_nothing():
    data, tree = {"a": 1}, {"a": R0}
    for merge in (recursive_location_update, recursive_location_setdefault):
        assert merge(data, {}, tree, None) is data
        assert data == {"a": 1} and tree == {"a": R0}


def test_update_moves_values_and_records_by_reference():
    nested, listed = {"y": 1}, [1]
    data = {"keep": 0, "scalar": 1, "map_over_scalar": 2, "scalar_over_map": {"z": 1}}
    tree = {"keep": R0, "scalar": R0, "map_over_scalar": R0, "scalar_over_map": R0}
    new_data = {"scalar": 5, "map_over_scalar": nested, "scalar_over_map": 3, "new": listed}
    new_tree = {"scalar": R1, "map_over_scalar": R2, "scalar_over_map": R1, "new": R2}
    assert recursive_location_update(data, new_data, tree, new_tree) is data
    assert data == {"keep": 0, "scalar": 5, "map_over_scalar": {"y": 1}, "scalar_over_map": 3, "new": [1]}
    assert data["map_over_scalar"] is nested and data["new"] is listed
    assert tree["keep"] is R0 and tree["scalar"] is R1 and tree["map_over_scalar"] is R2 and tree["new"] is R2
    assert new_tree == {"scalar": R1, "map_over_scalar": R2, "scalar_over_map": R1, "new": R2}


def test_update_merges_nested_mappings_in_place():
    inner, inner_record = {"x": 1, "y": 1}, record(0, 0, x=R0, y=R0)
    data, tree = {"a": inner}, {"a": inner_record}
    recursive_location_update(data, {"a": {"y": 2, "z": 3}}, tree, {"a": {"y": R1, "z": R2}})
    assert data["a"] is inner and inner == {"x": 1, "y": 2, "z": 3}
    assert tree["a"] is inner_record and inner_record["x"] is R0 and inner_record["y"] is R1
    assert inner_record["z"] is R2


def test_update_with_missing_tree_entries():
    data, tree = {"a": {"x": 1}}, {}
    recursive_location_update(data, {"a": {"y": 2}}, tree, {"a": {"y": R1}})
    assert data == {"a": {"x": 1, "y": 2}} and tree == {}  # merged into a mapping that is not kept
    data, tree = {"a": {"x": 1}, "b": 0}, {"a": {}, "b": R0}
    recursive_location_update(data, {"a": {"y": 2}, "b": 1}, tree, {})
    assert tree == {"a": {"y": {}}, "b": {}} and type(tree["b"]) is dict


@pytest.mark.parametrize("first_tree, expected", [
    ({"l": {0: R0, 1: R1}}, {0: R0, 1: R1, 2: R2}),
    ({}, {0: R2}),  # a new plain dict, although the list already had two items
    ({"l": {0: R0, 5: R1}}, {0: R0, 5: R1, 6: R2}),
])
def test_update_extends_lists_and_their_records(first_tree, expected):
    listed = [1, 2]
    data = {"l": listed}
    new_tree = {"%EXTEND_LIST{l}": {0: R2}}
    recursive_location_update(data, {"%EXTEND_LIST{l}": [3]}, first_tree, new_tree, True)
    assert data == {"l": [1, 2, 3]} and data["l"] is listed
    assert first_tree == {"l": expected} and all(first_tree["l"][i] is r for i, r in expected.items())
    assert new_tree == {"%EXTEND_LIST{l}": {0: R2}}


def test_update_extension_asks_a_record_mapping_for_its_keys():
    class OddIteration(dict):
        def __iter__(self):
            return iter([0])

    entry = OddIteration({0: R0, 5: R1})
    data, tree = {"l": [1, 2]}, {"l": entry}
    recursive_location_update(data, {"%EXTEND_LIST{l}": [3]}, tree, {"%EXTEND_LIST{l}": {0: R2}}, True)
    assert entry[6] is R2 and 1 not in entry


def test_update_extension_without_records_in_the_second_tree():
    data, tree = {"l": [1]}, {"l": {0: R0}}
    recursive_location_update(data, {"%EXTEND_LIST{ l }": [2, 3]}, tree, {}, list_extend=1)
    assert data == {"l": [1, 2, 3]} and tree == {"l": {0: R0}}


def test_update_replaces_a_missing_list_under_its_name():
    extending = [3]
    record_of_list = record(4, 0, **{"0": R2})
    data, tree = {"l": "text"}, {"l": R0}
    new_tree = {"%EXTEND_LIST{l}": record_of_list}
    recursive_location_update(data, {"%EXTEND_LIST{l}": extending}, tree, new_tree, list_extend=True)
    assert data == {"l": [3]} and data["l"] is extending
    assert tree["l"] is record_of_list and new_tree == {"l": record_of_list}
    data, tree = {}, {}
    with pytest.raises(KeyError):
        recursive_location_update(data, {"%EXTEND_LIST{l}": [3]}, tree, {}, list_extend=True)
    assert data == {} and tree == {}


def test_update_list_extending_keys_without_list_extend_and_odd_keys():
    data, tree = {"l": [1]}, {"l": R0}
    recursive_location_update(data, {"%EXTEND_LIST{l}": [2]}, tree, {"%EXTEND_LIST{l}": R1})
    assert data == {"l": [1], "%EXTEND_LIST{l}": [2]} and tree["%EXTEND_LIST{l}"] is R1
    recursive_location_update(data, {"%EXTEND_LIST{l": (2,)}, tree, {}, list_extend=True)
    assert data["%EXTEND_LIST{l"] == (2,)
    with pytest.raises(TypeError):
        recursive_location_update({}, {3: [1]}, {}, {}, list_extend=True)
    with pytest.raises(TypeError):  # positions that are not numbers cannot be shifted
        recursive_location_update({"l": [1]}, {"%EXTEND_LIST{l}": [2]}, {"l": {"a": R0}},
                                  {"%EXTEND_LIST{l}": {0: R1}}, list_extend=True)


def test_update_passes_list_extend_down_and_accepts_ordered_and_record_mappings():
    data = OrderedDict(a=OrderedDict(l=[1]))
    tree = Location(a=Location(l=Location({0: R0})))
    recursive_location_update(data, {"a": {"%EXTEND_LIST{l}": [2]}}, tree, {"a": {"%EXTEND_LIST{l}": {0: R1}}},
                              list_extend=True)
    assert data == {"a": {"l": [1, 2]}} and tree["a"]["l"] == {0: R0, 1: R1}


# ----- recursive_location_setdefault --------------------------------------------------------------------------------


def test_setdefault_adds_only_what_is_missing():
    nested = {"q": 1}
    data = {"keep": 1, "scalar_under_map": 2, "m": {"x": 1}}
    tree = {"keep": R0, "scalar_under_map": R0, "m": record(0, 0, x=R0)}
    new_data = {"keep": 9, "scalar_under_map": {"z": 1}, "m": {"x": 2, "y": 3}, "new": nested}
    new_tree = {"keep": R1, "scalar_under_map": R1, "m": {"x": R1, "y": R2}, "new": R2}
    assert recursive_location_setdefault(data, new_data, tree, new_tree) is data
    assert data == {"keep": 1, "scalar_under_map": 2, "m": {"x": 1, "y": 3}, "new": {"q": 1}}
    assert data["new"] is nested and tree["new"] is R2 and tree["keep"] is R0
    assert tree["m"]["x"] is R0 and tree["m"]["y"] is R2
    assert data["keep"] == 1 and tree["scalar_under_map"] is R0


@pytest.mark.parametrize("tree, new_tree", [({}, {"m": {}}), ({"m": {}}, {})])
def test_setdefault_needs_tree_entries_of_nested_mappings(tree, new_tree):
    with pytest.raises(KeyError):
        recursive_location_setdefault({"m": {}}, {"m": {"x": 1}}, tree, new_tree)


def test_setdefault_needs_the_record_of_a_new_key_before_storing_it():
    data = {}
    with pytest.raises(KeyError):
        recursive_location_setdefault(data, {"new": 1}, {}, {})
    assert data == {}


def test_merges_look_module_level_names_up_at_each_call(monkeypatch):
    seen = []
    original = locations.recursive_location_update

    def spy(*args, **kwargs):
        seen.append(kwargs)
        return original(*args, **kwargs)

    monkeypatch.setattr(locations, "recursive_location_update", spy)
    original({"a": {}}, {"a": {"b": 1}}, {}, {}, list_extend="yes")
    assert seen == [{"list_extend": "yes"}]
    monkeypatch.setattr(locations, "MutableMapping", list)
    with pytest.raises(TypeError, match="takes two dicts"):
        original({}, {}, {}, {})
    with pytest.raises(AttributeError, match="items"):  # a list now passes the test
        recursive_location_setdefault([], [], {}, {})


# ----- loading and merging together -------------------------------------------------------------------------------


def test_merged_documents_lead_to_the_records_of_both_files():
    base_text = "server:\n  host: localhost\n  ports: [80]\nname: base\n"
    override_text = "server:\n  ports_extra: 1\n  '%EXTEND_LIST{ports}': [443, 8443]\nname: override\nnew: [1]\n"
    base, base_tree = load(base_text, file_name="base.yaml")
    override, override_tree = load(override_text, file_name="override.yaml")
    recursive_location_update(base, override, base_tree, override_tree, list_extend=True)
    assert base == {"server": {"host": "localhost", "ports": [80, 443, 8443], "ports_extra": 1},
                    "name": "override", "new": [1]}
    ports = base_tree["server"]["ports"]
    assert [str(ports[i]) for i in range(3)] == [
        "base.yaml line:3 column:11", "override.yaml line:3 column:27", "override.yaml line:3 column:32"]
    assert str(base_tree["name"]) == "override.yaml line:4 column:1" and list(base_tree["name"]) == ["override"]
    assert str(base_tree["server"]["host"]) == "base.yaml line:2 column:3"
    assert base_tree["new"] is override_tree["new"]

    defaults, defaults_tree = load("name: ignored\nextra: {a: 1}\n", file_name="defaults.yaml")
    recursive_location_setdefault(base, defaults, base_tree, defaults_tree)
    assert base["name"] == "override" and base["extra"] == {"a": 1}
    assert str(base_tree["extra"]["a"]) == "defaults.yaml line:2 column:9"
    assert location_deepcopy(base_tree) == base_tree
