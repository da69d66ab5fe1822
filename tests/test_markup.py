"""quarv.utils.yaml.markup: the module body and its patterns, the processor's construction and call,
the walk over every kind of value, the write-back of resolved references and the one MarkupError a
failure becomes."""

import collections
import inspect
import re
import sys
import types

import pytest

from fresh import run_fresh
from quarv.topology.credentials import Credentials
from quarv.utils import utils as framework_utils
from quarv.utils.mirrane import PlainTextSecretStringRepresenter, SecretString
from quarv.utils.yaml import markup
from quarv.utils.yaml.exceptions import MarkupError
from quarv.utils.yaml.markup import Processor

ACTIONS = [("match_reference_markup", "p_reference_markup"), ("match_env_markup", "p_environ_markup"),
           ("match_include_file_markup", "p_file_markup"), ("match_ask_markup", "p_ask_markup"),
           ("match_enc_markup", "p_enc_markup"), ("match_cli_markup", "p_cli_markup"),
           ("match_callable_markup", "p_callable_markup"), ("match_extend_list_markup", "p_extend_list_markup")]
FLAGS = ["reference", "callable", "env_var", "include_file", "ask", "encode", "cli_var", "extend_list"]
FLAG_OF_ACTION = ["reference", "env_var", "include_file", "ask", "encode", "cli_var", "callable", "extend_list"]


def action_names(processor):
    return [(m.__name__, h.__name__) for m, h in processor._actions]


def failure(fn, *args, **kwargs):
    with pytest.raises(Exception) as caught:
        fn(*args, **kwargs)
    return caught.value


# ----- the module body ---------------------------------------------------------------------------------

def test_module_namespace_in_body_order():
    names = [n for n in vars(markup) if not n.startswith("__")]
    assert names == ["sys", "os", "logging", "re", "ast", "yaml", "typing", "Iterable", "MutableMapping",
                     "MarkupError", "utils", "import_utils", "wrap_split", "SecretString", "logger",
                     "BASE_PATTERN", "REFERENCE_PATTERN", "STORED_REFERENCE_PATTERN", "CALLABLE_PATTERN",
                     "INCLUDE_FILE_PATTERN", "ENV_PATTERN", "ASK_PATTERN", "ENC_PATTERN", "CLI_PATTERN",
                     "EXTEND_LIST_PATTERN", "_LIST_PATTERN", "ask_for_input", "Processor"]
    import quarv.utils.import_utils as import_utils
    import quarv.utils.strings as strings
    import yaml

    assert markup.utils is framework_utils and markup.import_utils is import_utils and markup.yaml is yaml
    assert markup.MarkupError is MarkupError and markup.SecretString is SecretString
    assert markup.wrap_split is strings.wrap_split
    assert markup.logger.name == "quarv.utils.yaml.markup"


PATTERNS = {
    "BASE_PATTERN": r"%\w*{.*}",
    "REFERENCE_PATTERN": r"(%{ *(.+?) *})",
    "STORED_REFERENCE_PATTERN": r"[^\"\']?(\${ *(.+?) *})[^\"\']",
    "CALLABLE_PATTERN": r"(%CALLABLE{ *(?P<method_name>.+?)(\((?P<arguments>.*)\))* *})",
    "INCLUDE_FILE_PATTERN": r"(%INCLUDE{ *(.+?) *})",
    "ENV_PATTERN": r"(%ENV{ *([0-9a-zA-Z\_]+) *})",
    "ASK_PATTERN": r"(%ASK{ *(.*?) *})",
    "ENC_PATTERN": r"(%ENC{ *(.*?) *(, *prefix *= *([0-9a-zA-Z\_]+))? *})",
    "CLI_PATTERN": r"(%CLI{ *(?P<cli_key>.*?) *(, *default *= *(?P<default>.*?))?})",
    "EXTEND_LIST_PATTERN": r"%EXTEND_LIST{ *(.+?) *}",
    "_LIST_PATTERN": r"\[(.*?)\]",
}


@pytest.mark.parametrize("name", PATTERNS)
def test_patterns_are_compiled_from_their_texts_without_flags(name):
    pattern = getattr(markup, name)
    assert isinstance(pattern, re.Pattern) and pattern.pattern == PATTERNS[name] and pattern.flags == re.UNICODE


@pytest.mark.parametrize("pattern, text, groups", [
    ("REFERENCE_PATTERN", "%{}", None),
    ("REFERENCE_PATTERN", "%{ }", ("%{ }", " ")),
    ("REFERENCE_PATTERN", "x %{ a.b } y", ("%{ a.b }", "a.b")),
    ("ENV_PATTERN", "%ENV{A-B}", None),
    ("ENV_PATTERN", "%ENV{}", None),
    ("ENV_PATTERN", "%env{A}", None),
    ("ENV_PATTERN", "%ENV{ HOME }", ("%ENV{ HOME }", "HOME")),
    ("ENC_PATTERN", "%ENC{abc , prefix = p1 }", ("%ENC{abc , prefix = p1 }", "abc", ", prefix = p1", "p1")),
    ("ENC_PATTERN", "%ENC{abc,prefix=p-1}", ("%ENC{abc,prefix=p-1}", "abc,prefix=p-1", None, None)),
    ("CLI_PATTERN", "%CLI{key}", ("%CLI{key}", "key", None, None)),
    ("CLI_PATTERN", "%CLI{key,default=}", ("%CLI{key,default=}", "key", ",default=", "")),
    ("CLI_PATTERN", "%CLI{ key , default = 5 }", ("%CLI{ key , default = 5 }", "key", ", default = 5 ", "5 ")),
    ("CALLABLE_PATTERN", "%CALLABLE{m.f}", ("%CALLABLE{m.f}", "m.f", None, None)),
    ("CALLABLE_PATTERN", "%CALLABLE{m.f()}", ("%CALLABLE{m.f()}", "m.f", "()", "")),
    ("CALLABLE_PATTERN", "%CALLABLE{m.f({'a': 1})}", ("%CALLABLE{m.f({'a': 1})}", "m.f", "({'a': 1})", "{'a': 1}")),
    ("CALLABLE_PATTERN", "x %CALLABLE{m.f(1)} y %CALLABLE{n.g(2)} z",
     ("%CALLABLE{m.f(1)} y %CALLABLE{n.g(2)}", "m.f", "(1)} y %CALLABLE{n.g(2)", "1)} y %CALLABLE{n.g(2")),
    ("EXTEND_LIST_PATTERN", "%EXTEND_LIST{a.b, c.d}", ("a.b, c.d",)),
    ("ASK_PATTERN", "%ASK{\nx}", None),
    ("BASE_PATTERN", "%ENV{\nA}", None),
    ("STORED_REFERENCE_PATTERN", "f(${a.b})", ("${a.b}", "a.b")),
    ("STORED_REFERENCE_PATTERN", "f ${a.b}", None),
    ("STORED_REFERENCE_PATTERN", "'${a.b}'", None),
    ("_LIST_PATTERN", "[1, 2]", ("1, 2",)),
    ("_LIST_PATTERN", "[a]b]", ("a",)),
])
def test_markup_syntax(pattern, text, groups):
    found = getattr(markup, pattern).search(text)
    assert (found.groups() if found else None) == groups


def test_argv_is_copied_once_at_import():
    lines = run_fresh("""
        import sys
        from quarv.utils.yaml.markup import Processor
        print(Processor.argv)
        sys.argv.append("--later")
        print(Processor.argv, Processor.argv is sys.argv)
    """, "--port", "80").stdout.splitlines()
    assert lines == ["['--port', '80']", "['--port', '80'] False"]


# ----- construction --------------------------------------------------------------------------------------

def test_the_default_processor_has_every_action_in_table_order():
    processor = Processor()
    assert action_names(processor) == ACTIONS
    assert all(m.__self__ is processor and h.__self__ is processor for m, h in processor._actions)
    assert processor.kwargs == {**dict.fromkeys(FLAGS, True), "yaml_loader_cls": None}
    assert list(processor.kwargs) == FLAGS + ["yaml_loader_cls"]
    assert processor.arguments == framework_utils.get_argv_args(Processor.argv)
    assert processor._inhibit_recurse_exception is False and processor._yaml_loader_cls is None


@pytest.mark.parametrize("off", FLAGS)
def test_each_flag_switches_one_action_off(off, monkeypatch):
    calls = []
    monkeypatch.setattr(framework_utils, "get_argv_args", lambda argv: calls.append(argv) or {"k": "v"})
    processor = Processor(**{off: False})
    assert action_names(processor) == [a for a, flag in zip(ACTIONS, FLAG_OF_ACTION) if flag != off]
    assert hasattr(processor, "arguments") == (off != "cli_var")
    assert calls == ([] if off == "cli_var" else [Processor.argv])


def test_flags_count_by_truth_and_are_kept_as_given():
    processor = Processor(True, 0, ask="")
    assert [flag for flag in FLAG_OF_ACTION if flag not in ("callable", "ask")] == [
        FLAG_OF_ACTION[ACTIONS.index(a)] for a in action_names(processor)]
    assert processor.kwargs["callable"] == 0 and processor.kwargs["ask"] == ""
    nothing = Processor(*[False] * 8)
    assert nothing._actions == []
    assert nothing({"a": "%{b}", "b": "%ENV{HOME}"}) == {"a": "%{b}", "b": "%ENV{HOME}"}


def test_wrong_calls_raise_the_interpreters_errors():
    class Processor_:
        def __init__(self, reference=True, callable=True, env_var=True, include_file=True, ask=True, encode=True,
                      cli_var=True, extend_list=True, yaml_loader_cls=None):
            pass

        def __call__(self, data, locations=None):
            pass

    for args, kwargs in [((1,) * 10, {}), ((), {"nope": 1})]:
        expected = str(failure(Processor_, *args, **kwargs)).split(".<locals>.")[1].replace("Processor_", "Processor")
        assert str(failure(Processor, *args, **kwargs)) == expected
    expected = str(failure(Processor_())).split(".<locals>.")[1].replace("Processor_", "Processor")
    assert str(failure(Processor())) == expected


def test_a_subclass_takes_part_with_its_own_methods_and_argv(monkeypatch):
    seen = []
    monkeypatch.setattr(framework_utils, "get_argv_args", lambda argv: seen.append(argv) or {})

    class Mine(Processor):
        argv = ["--mine", "1"]

        def match_env_markup(self, data):
            return super().match_env_markup(data)

        def p_environ_markup(self, match, data, index, locations=None):
            return data.replace(match.group(0), "ENV")

    processor = Mine()
    matcher, handler = processor._actions[1]
    assert matcher.__func__ is Mine.match_env_markup and handler.__func__ is Mine.p_environ_markup
    assert seen == [["--mine", "1"]]
    assert processor({"a": "%ENV{HOME}/x"}) == {"a": "ENV/x"}


def test_the_constructor_fails_as_its_calls_fail(monkeypatch):
    class Unsure:
        def __bool__(self):
            raise ZeroDivisionError

    assert type(failure(Processor, env_var=Unsure())) is ZeroDivisionError
    monkeypatch.setattr(framework_utils, "get_argv_args", lambda argv: 1 / 0)
    assert type(failure(Processor)) is ZeroDivisionError


# ----- the call --------------------------------------------------------------------------------------------

def test_each_call_sets_original_and_a_new_markup_already_seen():
    processor = Processor()
    first = {"l": [1], "t": "x %{l}"}
    processor(first)
    seen = processor.markup_already_seen
    assert seen == {"${l}": [1]} and processor.original is first
    second = {"a": 1}
    processor(second, None)
    assert processor.markup_already_seen == {} and processor.markup_already_seen is not seen
    assert processor.original is second


def test_scalars_come_back_as_the_very_objects():
    values = {"a": 1, "b": None, "c": True, "d": 2.5, "e": "text", "f": object()}
    result = Processor()(values)
    assert result == values and result is not values
    assert all(result[k] is values[k] for k in values)


def test_every_kind_of_value():
    secret = SecretString("s3", representer_cls=PlainTextSecretStringRepresenter)
    credentials = Credentials("u", "p")
    ordered = collections.OrderedDict([("z", "%{n}"), ("a", 1)])
    data = {"n": 5, "tuple": (1, "%{n}"), "set": {3}, "frozen": frozenset([4]), "gen": (i for i in (1, 2)),
            "bytes": b"\x01\x02", "bytearray": bytearray(b"ab"), "secret": secret, "credentials": credentials,
            "user": collections.UserString("%{n}"), "proxy": types.MappingProxyType({"k": "%{n}"}),
            "ordered": ordered, "view": {"x": 1}.keys()}
    result = Processor()(data)
    assert result["tuple"] == [1, 5] and result["set"] == [3] and result["frozen"] == [4] and result["gen"] == [1, 2]
    for kept in ("bytes", "bytearray", "secret", "credentials", "user"):
        assert result[kept] is data[kept], kept
    assert result["proxy"] == ["k"] and result["view"] == ["x"]
    assert type(result["ordered"]) is collections.OrderedDict and list(result["ordered"].items()) == [("z", 5), ("a", 1)]


def test_the_credentials_class_is_imported_as_the_statement_runs_at_each_step(monkeypatch):
    import builtins

    processor = Processor()
    data = {"a": [Credentials("u", "p"), "x"]}
    assert processor(data)["a"][0] is data["a"][0]
    # another module under the name: its class is the one instance tests ask about
    other = types.ModuleType("quarv.topology.credentials")
    other.__spec__ = sys.modules["quarv.topology.credentials"].__spec__
    other.Credentials = str
    monkeypatch.setitem(sys.modules, "quarv.topology.credentials", other)
    assert processor({"a": ["%{b}"], "b": 1}) == {"a": ["%{b}"], "b": 1}
    del other.Credentials
    with pytest.raises(ImportError, match="cannot import name 'Credentials' from 'quarv.topology.credentials'"):
        processor({"a": 1})
    monkeypatch.setitem(sys.modules, "quarv.topology.credentials", None)
    with pytest.raises(ImportError):
        processor({"a": 1})
    monkeypatch.undo()
    # an __import__ of the user's is called at every step of the walk
    seen = []
    real_import = builtins.__import__

    def counting(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", counting)
    assert processor({"a": [1, 2]}) == {"a": [1, 2]}
    assert seen.count("quarv.topology.credentials") == 4


def test_a_text_without_markup_is_the_same_object_and_unknown_markups_stay():
    text = "".join(["plain ", "text"])
    processor = Processor()
    assert processor(text) is text
    assert processor({"a": "%{}", "b": "%FOO{x}", "c": "100%"}) == {"a": "%{}", "b": "%FOO{x}", "c": "100%"}


def test_table_order_decides_which_markup_is_resolved_first(monkeypatch):
    monkeypatch.setenv("A", "%{b}")
    order = []

    class Tracing(Processor):
        def p_reference_markup(self, match, data, index, locations=None):
            order.append(("reference", data))
            return super().p_reference_markup(match, data, index, locations=locations)

        def p_environ_markup(self, match, data, index, locations=None):
            order.append(("env", data))
            return super().p_environ_markup(match, data, index, locations=locations)

    assert Tracing()({"b": "B", "t": "%ENV{A}-%{b}"})["t"] == "B-B"
    assert order == [("reference", "%ENV{A}-%{b}"), ("env", "%ENV{A}-B"), ("reference", "%{b}-B")]


def test_handlers_get_the_key_path_and_the_root_location_tree():
    seen = []

    class Recording(Processor):
        def p_environ_markup(self, match, data, index, locations=None):
            seen.append((list(index), locations))
            return "done"

    tree = {"root": True}
    result = Recording()({"a": [0, {"b": "%ENV{X}"}], "%ENV{Y}": 1}, locations=tree)
    assert result == {"a": [0, {"b": "done"}], "done": 1}
    assert seen == [(["a", 1, "b"], tree), ([], tree)]
    assert all(locations is tree for _, locations in seen)


# ----- mapping keys ------------------------------------------------------------------------------------------

def test_key_markups(monkeypatch):
    monkeypatch.setenv("NAME", "k1")
    paths = []

    class Recording(Processor):
        def p_reference_markup(self, match, data, index, locations=None):
            paths.append(list(index))
            return super().p_reference_markup(match, data, index, locations=locations)

    data = {"s": "abc", "%ENV{NAME}": {"v": "%{s}"}, "a %EXTEND_LIST{b} c": 1, "x": 1, "%{s}": 2}
    assert Recording(extend_list=False)(data) == {"s": "abc", "k1": {"v": "abc"}, "a %EXTEND_LIST{b} c": 1,
                                                 "x": 1, "abc": 2}
    assert paths == [["k1", "v"], []]
    # a reference in a key writes nothing back; one below a changed key finds no place to write to
    assert data == {"s": "abc", "%ENV{NAME}": {"v": "%{s}"}, "a %EXTEND_LIST{b} c": 1, "x": 1, "%{s}": 2}


def test_a_reference_in_a_key_leaves_the_callers_mapping_alone():
    data = {"m": {"%{s}": "v", "w": 1}, "s": "k"}
    assert Processor()(data) == {"m": {"k": "v", "w": 1}, "s": "k"}
    assert data == {"m": {"%{s}": "v", "w": 1}, "s": "k"}
    assert Processor()({"%{s}": 1, "s": "k"}) == {"k": 1, "s": "k"}


def test_equal_processed_keys_collapse_into_the_first_place_with_the_last_value(monkeypatch):
    monkeypatch.setenv("K", "b")
    assert list(Processor()({"b": 1, "x": 0, "%ENV{K}": 2}).items()) == [("b", 2), ("x", 0)]


def test_an_unhashable_key_is_reported_with_the_mappings_key_path():
    processor = Processor()
    processor.arguments = {"k": [1, 2]}
    data = {"m": {"%CLI{k}": 1}}
    error = failure(processor, data)
    assert type(error) is MarkupError
    assert str(error) == f"Caught error while processing markups: \nIndex:  ['m']\nMarkup: {data['m']}\n"
    assert type(error.__cause__) is ValueError
    assert str(error.__cause__) == "Value [1, 2] for %CLI{k} is not hashable"


def test_the_hashable_test_follows_the_module_namespace(monkeypatch):
    class Refusing(type):
        def __instancecheck__(cls, obj):
            return False

    class NotHashable(metaclass=Refusing):
        pass

    processor = Processor()
    assert processor({"a": 1}) == {"a": 1}
    monkeypatch.setattr(markup, "typing", types.SimpleNamespace(Hashable=NotHashable))
    assert str(failure(processor, {"a": 1}).__cause__) == "Value 'a' for a is not hashable"
    monkeypatch.undo()
    monkeypatch.setattr(markup.typing, "Hashable", NotHashable)
    assert str(failure(processor, {"b": 1}).__cause__) == "Value 'b' for b is not hashable"


# ----- write-back ---------------------------------------------------------------------------------------------

def test_resolved_references_are_written_back_for_later_references():
    listed = [1, 2]
    data = {"l": listed, "s": "abc", "n": 5, "r": "%{l}", "t": "%{s}", "u": "%{n}", "v": "x %{r}"}
    result = Processor()(data)
    assert result["r"] == [1, 2] and result["r"] is not listed
    assert data["r"] is listed and data["t"] == "abc" and data["u"] == "%{n}"
    assert result["v"] == "x ${r}" and data["v"] == "x ${r}"


def test_no_write_back_through_a_key_that_its_markup_renamed(monkeypatch):
    monkeypatch.setenv("WB_NAME", "alpha")
    data = {"servers": {"%ENV{WB_NAME}": {"host": "%{defaults.host}", "l": "%{defaults.l}"},
                        "alpha": {"host": "10.0.0.9"}},
            "defaults": {"host": "h", "l": [1]}, "kept": {"k": "%{defaults.l}"}}
    result = Processor()(data)
    # the returned tree: the two keys collapse, the place of the first and the value of the last
    assert result["servers"] == {"alpha": {"host": "10.0.0.9"}}
    assert data["servers"] == {"%ENV{WB_NAME}": {"host": "%{defaults.host}", "l": "%{defaults.l}"},
                               "alpha": {"host": "10.0.0.9"}}
    # an unchanged key still leads the write-back
    assert data["kept"]["k"] is data["defaults"]["l"]
    monkeypatch.setenv("WB_NAME", "beta")
    data = {"%ENV{WB_NAME}": {"x": "%{v}"}, "v": "1"}
    assert Processor()(data) == {"beta": {"x": "1"}, "v": "1"} and data["%ENV{WB_NAME}"] == {"x": "%{v}"}


def test_write_back_follows_lists_and_skips_places_the_data_does_not_have():
    data = {"s": "abc", "l": ["%{s}", ("%{n}",)], "n": 5}
    assert Processor()(data) == {"s": "abc", "l": ["abc", [5]], "n": 5}
    assert data["l"][0] == "abc"
    assert Processor()(["%{1}", "x"]) == ["x", "x"]


def test_a_root_text_reference_fails_as_a_look_up():
    error = failure(Processor(), "%{a}")
    assert type(error) is MarkupError and type(error.__cause__) is MarkupError


# ----- failures -------------------------------------------------------------------------------------------------

def test_the_first_failure_is_wrapped_once_at_the_innermost_level():
    error = failure(Processor(), {"a": [{"b": "%INCLUDE{/no/such/file}"}]})
    assert str(error) == ("Caught error while processing markups: \nIndex:  ['a', 0, 'b']\n"
                          "Markup: %INCLUDE{/no/such/file}\n")
    assert type(error.__cause__) is FileNotFoundError


def test_every_call_reports_its_own_failure():
    processor = Processor()
    data = {"a": "%INCLUDE{/no/such/file}"}
    for _ in range(2):
        error = failure(processor, data)
        assert type(error) is MarkupError and type(error.__cause__) is FileNotFoundError


def test_the_flag_set_keeps_later_failures_of_a_direct_walk_unwrapped():
    processor = Processor()
    failure(processor, {"a": "%INCLUDE{/no/such/file}"})
    assert processor._inhibit_recurse_exception is True
    assert type(failure(processor._recurse, "%INCLUDE{/no/such/file}", [])) is FileNotFoundError


def test_interrupts_pass_unwrapped(monkeypatch):
    def interrupted(prompt_text):
        raise KeyboardInterrupt

    monkeypatch.setattr(markup, "ask_for_input", interrupted)
    processor = Processor()
    with pytest.raises(KeyboardInterrupt):
        processor({"a": "%ASK{}"})
    assert processor._inhibit_recurse_exception is False


def test_a_mapping_class_that_cannot_be_built_from_pairs_is_reported():
    class Odd(collections.UserDict):
        def __init__(self, *args):
            if args and not isinstance(args[0], dict):
                raise TypeError("no pairs here")
            super().__init__(*args)

    data = Odd({"a": 1})
    error = failure(Processor(), {"m": data})
    assert str(error).startswith("Caught error while processing markups: \nIndex:  ['m']\n")
    assert type(error.__cause__) is TypeError


def test_markup_loop_without_progress_or_without_end(monkeypatch):
    monkeypatch.setenv("SELF", "%ENV{SELF}")
    monkeypatch.setenv("GROW", "x%ENV{GROW}")
    processor = Processor()
    assert processor({"a": "%ENC{}", "b": "%ENC{ , prefix=p}", "c": "%ENV{SELF}"}) == {
        "a": "%ENC{}", "b": "%ENC{ , prefix=p}", "c": "%ENV{SELF}"}
    error = failure(processor, {"g": ["%ENV{GROW}"]})
    assert type(error) is MarkupError and type(error.__cause__) is MarkupError
    assert str(error.__cause__) == "Caught error while processing markups: \nIndex:  g.0\nMarkup: %ENV{GROW}\n"


# ----- overriding methods -------------------------------------------------------------------------------------------

def test_overridden_walk_methods_take_part():
    calls = collections.Counter()

    class Counting(Processor):
        def _recurse(self, data, index, locations=None):
            calls["_recurse"] += 1
            return super()._recurse(data, index, locations=locations)

        def _process_str(self, data, index, locations=None):
            calls["_process_str"] += 1
            return super()._process_str(data, index, locations=locations).upper()

        def _process_iterable(self, data, index, locations=None):
            calls["_process_iterable"] += 1
            return tuple(super()._process_iterable(data, index, locations=locations))

        def _iter_mutable_mapping(self, data, index, locations=None):
            calls["_iter_mutable_mapping"] += 1
            yield from super()._iter_mutable_mapping(data, index, locations=locations)

    assert Counting()({"a": ["x", {"b": "y"}]}) == {"A": ("X", {"B": "Y"})}
    assert calls == {"_recurse": 5, "_process_str": 4, "_process_iterable": 1, "_iter_mutable_mapping": 2}


def test_a_method_set_on_the_instance_takes_part_even_mid_walk():
    processor = Processor()

    def upper(data, index, locations=None):
        return data.upper()

    processor._process_str = upper
    assert processor({"a": ["x"]}) == {"A": ["X"]}
    del processor._process_str

    class Switching(Processor):
        def p_environ_markup(self, match, data, index, locations=None):
            self._process_str = upper
            return "switched"

    assert Switching()(["%ENV{A}", "later"]) == ["switched", "LATER"]


def test_the_mapping_generator_runs_nothing_until_asked():
    processor = Processor()
    processor.original = {}
    processor.markup_already_seen = {}
    touched = []

    class Watched(dict):
        def items(self):
            touched.append("items")
            return super().items()

    pairs = processor._iter_mutable_mapping(Watched(a="%{a}"), [], locations=None)
    assert touched == []
    assert iter(pairs) is pairs
    with pytest.raises(MarkupError):
        next(pairs)
    assert touched == ["items"]


def test_the_mapping_pairs_are_a_generator():
    processor = Processor()
    processor.original = data = {"a": 1, "b": "%{a}", "c": 3}
    processor.markup_already_seen = {}
    pairs = processor._iter_mutable_mapping(data, [], locations=None)
    assert inspect.isgenerator(pairs) and pairs.__name__ == "_iter_mutable_mapping"
    assert pairs.__qualname__ == "Processor._iter_mutable_mapping"
    assert next(pairs) == ("a", 1) and pairs.send("ignored") == ("b", 1)
    with pytest.raises(ValueError, match="stop"):
        pairs.throw(ValueError("stop"))
    assert list(pairs) == []
    pairs = processor._iter_mutable_mapping(data, [], locations=None)
    assert next(pairs) == ("a", 1)
    pairs.close()
    assert list(pairs) == []
    # a mapping class of the user's is built from that generator
    given = []

    class Kept(collections.UserDict):
        def __init__(self, source=None):
            given.append(source)
            super().__init__(source)

    assert Processor()(Kept({"a": 1, "b": "%{a}"})) == {"a": 1, "b": 1}
    assert inspect.isgenerator(given[-1])


# ----- bounded expansion --------------------------------------------------------------------------------------

def test_markups_that_keep_expanding_end_with_a_markup_error_not_with_memory(tmp_path):
    # each doubles its text at every pass (or grows it by a large step), in a process of 2 GiB
    (tmp_path / "twice.yaml").write_text(f"'%INCLUDE{{{tmp_path}/twice.yaml}}%INCLUDE{{{tmp_path}/twice.yaml}}'\n")
    (tmp_path / "big.yaml").write_text("x" * (6 << 20) + "\n")
    lines = run_fresh("""
        import os, resource, sys, time
        if not os.environ.get("QUARV_SANITIZED"):   # the address sanitizer maps far more address space
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        from quarv.utils.yaml.exceptions import MarkupError
        from quarv.utils.yaml.markup import Processor
        folder = sys.argv[-1]
        references = {f"k{i}": f"%{{k{i+1}}}%{{k{i+1}}}" for i in range(40)}
        references["k40"] = "ha"
        cases = {"references": references, "environment": {"v": "%ENV{TWICE}"}, "steps": {"v": "%ENV{STEPS}"},
                 "include": {"v": f"%INCLUDE{{{folder}/twice.yaml}}"}, "command line": {"v": "%CLI{twice}"}}
        for label, data in cases.items():
            started = time.monotonic()
            try:
                Processor()(data)
                print(label, "no error")
            except MarkupError as error:
                cause = error.__cause__
                print(label, type(cause).__name__, str(cause).split(":")[0], cause.__cause__,
                      time.monotonic() - started < 30)
        # a file of megabytes included into a text, with markups around it, still works
        included = Processor()({"a": 1, "v": f"%{{a}} %INCLUDE{{{folder}/big.yaml}} %{{a}}"})["v"]
        print(len(included) == (6 << 20) + 4, included[:3], included[-3:])
    """, "--twice", "%CLI{twice}%CLI{twice}", tmp_path, timeout=240,
                      env={"TWICE": "%ENV{TWICE}%ENV{TWICE}", "STEPS": "%ENV{STEPS}" + "y" * 100_000}).stdout.splitlines()
    limit = "Markup expansion exceeded the limit of 67108864 characters for one value"
    assert lines == [f"references MarkupError {limit} None True", f"environment MarkupError {limit} None True",
                     "steps MarkupError Markup expansion exceeded the limit of 536870912 characters made for one "
                     "value None True",
                     f"include MarkupError {limit} None True", f"command line MarkupError {limit} None True",
                     "True 1 x x 1"]


def test_the_expansion_error_names_the_key_path_and_the_markup(monkeypatch):
    monkeypatch.setenv("GROWS", "%ENV{GROWS}" * 3)
    with pytest.raises(MarkupError) as caught:
        Processor()({"a": [{"b": "x %ENV{GROWS}"}]})
    assert str(caught.value.__cause__) == (
        "Markup expansion exceeded the limit of 67108864 characters for one value: \nIndex:  a.0.b\n"
        "Markup: %ENV{GROWS}\n")


# ----- deep input -------------------------------------------------------------------------------------------

def test_deep_input_raises_a_wrapped_recursion_error_never_a_crash():
    lines = run_fresh("""
        import sys
        from quarv.utils.yaml.exceptions import MarkupError
        from quarv.utils.yaml.markup import Processor

        def nested(kind, depth):
            data = "leaf"
            for _ in range(depth):
                data = {"k": data} if kind == "dict" else [data]
            return data

        for limit in (1000, 100000):
            sys.setrecursionlimit(limit)
            for kind in ("dict", "list"):
                try:
                    Processor()(nested(kind, 200000))
                except MarkupError as error:
                    cause = error.__cause__
                    while isinstance(cause, MarkupError):
                        cause = cause.__cause__
                    text = str(error)
                    print(kind, type(cause).__name__, text.startswith("Caught error while processing markups"),
                          len(text.split("\\nMarkup: ")[1]) < 1000)
        sys.setrecursionlimit(1000)
        print(Processor()(nested("dict", 100)) == nested("dict", 100))
    """).stdout.splitlines()
    assert lines == ["dict RecursionError True True", "list RecursionError True True"] * 2 + ["True"]
