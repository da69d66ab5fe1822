"""Every extension module copes with what a Python module copes with: errors raised at the recursion
limit, being imported afresh, and user code that changes a list while native code walks it. Each case
runs in a fresh interpreter, so a crash fails the one test instead of the session."""

import os
import textwrap

import pytest
from fresh import run_fresh


def run_child(code, *, env=None, path=(), timeout=120):
    """Runs `code` in a fresh interpreter and gives its output, once it has exited normally."""
    full_env = dict(env or {})
    if path:
        full_env["PYTHONPATH"] = os.pathsep.join([*map(str, path), *filter(None, [os.environ.get("PYTHONPATH")])])
    return run_fresh(code, env=full_env, timeout=timeout).stdout


def probe_path(request, module):
    """Where a child finds the module: the runtime's test module is built by a fixture."""
    return [request.getfixturevalue("probe_dir")] if module == "_runtime_probe" else []


# ----- errors at the recursion limit ------------------------------------------------------------------

# (module, set-up, a call raising from inside the native code, the error it raises). The set-up makes
# every object the call needs, so that only native code runs while the interpreter is at its limit.
AT_THE_LIMIT = [
    ("ansi", "from quarv.utils.ansi import escape", "escape(1)", "TypeError"),
    ("dicts", "import types; from quarv.utils.dicts import recursive_update; frozen = types.MappingProxyType({})",
     "recursive_update(frozen, {'a': 1})", "TypeError"),
    ("locations", "from quarv.utils.locations import Location; record = Location(); record.line = 'x'",
     "record.__str__()", "TypeError"),
    ("veltrane", "from quarv.utils.veltrane import Schema; schema = Schema(int)", "schema.validate('x')",
     "SchemaTypeError"),
    ("veltrane", "from quarv.utils.veltrane import Schema, Or, Optional; schema = Schema({'a': Or(1, 2), "
     "Optional('b'): int})", "schema.validate({'a': 3})", "SchemaError"),
    ("veltrane", "from quarv.utils.veltrane import Schema, Any; schema = Schema({Any(): {'n': int}})",
     "schema.validate({'x': {}})", "SchemaMissingKeyError"),
    ("yaml.dumper", "from collections import OrderedDict; from quarv.utils.yaml.dumper import OrderedSafeDumper; "
     "represent = OrderedSafeDumper.ordereddict_representer; empty = OrderedDict()",
     "represent(None, empty)", "AttributeError"),
    ("tomblet", "from quarv.utils.tomblet import enable_double_ctrl_c", "enable_double_ctrl_c(1, 2)", "TypeError"),
    ("parvix", "from quarv.utils.parvix import expand_nargs_list", "expand_nargs_list(5)", "TypeError"),
    ("mirrane", "from quarv.utils.mirrane import SecretString", "SecretString('x', representer_cls=int)",
     "Exception"),
    ("email", "from quarv.utils.email import EmailMsg", "EmailMsg.convert_to_address('user', None)", "ValueError"),
    ("import_utils.legacy", "from quarv.utils.import_utils import LegacyImporter", "LegacyImporter.register(1)",
     "ValueError"),
    ("import_utils.flex", "from quarv.utils.import_utils.flex import FlexImporter; loader = FlexImporter()",
     "loader.load('no_such_module_here')", "Exception"),
    ("dorvex", "from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex; plugin = Dorvex()",
     "plugin.deletefile(1, 5)", "TypeError"),
    ("dorvex", "from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import filemode_to_mode",
     "filemode_to_mode(None)", "TypeError"),
    ("objects", "from quarv.utils.objects import Find; finder = Find()", "finder._formalize_loopable(5)",
     "TypeError"),
    ("objects", "from quarv.utils.objects import find, R; item = [{'a': 1}]; req = R(('a', 1))",
     "find(item, req)", "TypeError"),
    ("yaml.markup", "from quarv.utils.yaml.markup import Processor; p = Processor()", "p._process_str(5, [])",
     "TypeError"),
    ("yaml.markup", "from quarv.utils.yaml.markup import Processor; p = Processor(); d = {'a': ['%{missing}']}",
     "p(d)", "MarkupError"),
    ("_runtime_probe", "import _runtime_probe as p; original = KeyError('k')", "p.raise_chained('cause', original)",
     "ValueError"),
    ("_runtime_probe", "import types, _runtime_probe as p; scratch = types.ModuleType('scratch')",
     "p.import_into(scratch, 'json', 'nope')", "ImportError"),
]


@pytest.mark.parametrize("module, setup, call, error", AT_THE_LIMIT,
                         ids=[f"{row[0]}-{row[2].split('(')[0]}" for row in AT_THE_LIMIT])
def test_the_first_error_at_the_recursion_limit_is_an_ordinary_exception(request, module, setup, call, error):
    code = f"""
        {setup}
        def dive():
            try:
                dive()
            except RecursionError:
                try:
                    {call}
                except Exception:
                    pass
        dive()
        print("survived")
        try:
            {call}
        except Exception as error:
            print(type(error).__name__)
    """
    assert run_child(code, path=probe_path(request, module)).split() == ["survived", error]


# ----- modules imported afresh --------------------------------------------------------------------------

# module -> (the names each copy keeps, a function using them, what it gives back)
REIMPORTED = {
    "quarv.utils.ansi": ("escape", "return escape('\\x1b[1;31merror\\x1b[0m: disk full')", "error: disk full"),
    "quarv.utils.dicts": ("recursive_update", "return recursive_update({'a': {'b': 1}}, {'a': {'c': 2}})",
                          {"a": {"b": 1, "c": 2}}),
    "quarv.utils.locations": ("Location, LocSafeLoader", """
        tree = Location()
        loader = LocSafeLoader('a:\\n  b: 1\\n', locations=tree, file_name='/etc/app/c.yaml')
        try:
            data = loader.get_single_data()
        finally:
            loader.dispose()
        return data, str(tree['a']['b']), type(tree['a']['b']) is Location
        """, ({"a": {"b": 1}}, "c.yaml line:2 column:3", True)),
    "quarv.utils.yaml.dumper": ("OrderedSafeDumper", """
        import collections, yaml
        return yaml.dump(collections.OrderedDict(b=1, a=2), Dumper=OrderedSafeDumper)
        """, "b: 1\na: 2\n"),
    "quarv.utils.veltrane": ("Schema, Use", """
        valid = Schema({'port': Use(int)}).validate({'port': '80'})
        try:
            Schema(int).validate('x')
        except Exception as error:
            return valid, type(error).__name__, str(error)
        """, ({"port": 80}, "SchemaTypeError", "Key path []: expected <class 'int'>, got 'x' of type str")),
    "quarv.utils.tomblet": ("enable_double_ctrl_c, restore_sigint_handler", """
        import signal
        enable_double_ctrl_c()
        handler = signal.getsignal(signal.SIGINT)
        armed = handler.__qualname__, handler.__globals__ is enable_double_ctrl_c.__globals__
        del handler
        restore_sigint_handler()
        return armed, signal.getsignal(signal.SIGINT) is signal.default_int_handler
        """, (("enable_double_ctrl_c.<locals>.sigint_handler", True), True)),
    "quarv.utils.parvix": ("expand_nargs_list", "return sorted(expand_nargs_list(['b a', '\"c', 'a']))",
                           ["a", "b", "c"]),
    "quarv.utils.dorvex.plugins.localhost.ftp.dorvex": ("filemode_to_mode, Dorvex", """
        plugin = Dorvex()
        try:
            plugin.getspace('ftp://h/x', 5)
        except NotImplementedError as error:
            refused = str(error)
        return filemode_to_mode('drwxr-xr-x'), plugin._normalize_filename('a/b', 'p'), refused
        """, (0o40755, "/p/b", "The dorvex module quarv.utils.dorvex.plugins.localhost.ftp.dorvex does not "
              "implement getspace.")),
    "quarv.utils.objects": ("find, R, Operator", """
        devices = [{"name": "leaf", "info": {"Ethernet1": {"status": "up"}, "Loopback0": {"status": "up"}}}]
        return (find(devices, R(["info", Operator("Ethernet1"), "status", "up"])) == devices,
                find(devices, R(["info", "(Eth.*)", "status", "up"]), filter_=False))
        """, (True, [("up", ["info", "Ethernet1", "status"])])),
    "quarv.utils.yaml.markup": ("Processor", "return Processor()({'n': 5, 't': 'n=%{n}', 'l': ['%{n}', {'k': 'x'}]})",
                                {"n": 5, "t": "n=5", "l": [5, {"k": "x"}]}),
    "_runtime_probe": ("f2, make_counter", "return f2(1, 2), make_counter(5)()", ((1, 2), 6)),
}


@pytest.mark.parametrize("module", REIMPORTED)
def test_a_module_imported_afresh_works_and_the_dropped_copy_is_freed(request, module):
    names, body, expected = REIMPORTED[module]
    body = textwrap.indent(textwrap.dedent(body).strip(), " " * 12)
    code = f"""
        import gc, importlib, sys, weakref
        import {module}

        class Marker:
            pass

        def use({names}):
{body}

        copies = []
        for _ in range(3):
            sys.modules.pop({module!r})  # the module under test only: what it imports stays
            fresh = importlib.import_module({module!r})
            marker = fresh.__dict__["_marker"] = Marker()
            copies.append((weakref.ref(fresh), weakref.ref(marker), [getattr(fresh, n) for n in {names.split(", ")!r}]))
            del fresh, marker
        kept = [objects for _, _, objects in copies]
        assert all(a is not b for a, b in zip(kept[0] + kept[1], kept[1] + kept[2])), "not a fresh copy"
        del kept
        print(repr([use(*objects) for _, _, objects in copies]))

        newest = copies.pop()
        del copies[0][2][:], copies[1][2][:]
        gc.collect()
        print(repr([(module() is None, marker() is None) for module, marker, _ in copies]))
        print(repr(use(*newest[2])))
    """
    lines = run_child(code, path=probe_path(request, module)).splitlines()
    assert lines[0] == repr([expected] * 3), "a copy gives a wrong answer"
    assert lines[1] == repr([(True, True)] * 2), "(module freed, namespace freed) of the two dropped copies"
    assert lines[2] == repr(expected), "the newest copy fails once the dropped ones are freed"


# ----- lists changed by user code during a native walk ----------------------------------------------------

# Each case's user code empties or regrows the list that native code is walking and allocates right away,
# so that a walk still reading the old item array reads memory that belongs to something else.
CHANGED_DURING_WALK = {
    "path-entry-emptied": """
        from quarv.utils.veltrane import Path, Any
        entry, keep = [], []
        class Evil:
            def __eq__(self, other):
                entry.clear()
                keep.extend(bytearray(b"A" * 24) for _ in range(64))
                return True
            __hash__ = object.__hash__
        entry.extend([Evil(), 5, 6])
        outcome = lambda: Path((1, Any())).missing_from([entry])
    """,
    "path-entry-regrown": """
        from quarv.utils.veltrane import Path, Any
        entry, keep = [], []
        class Evil:
            def __eq__(self, other):
                entry.extend(range(256))
                keep.extend(bytearray(b"A" * 24) for _ in range(256))
                return True
            __hash__ = object.__hash__
        entry.extend([Evil(), 5, 6])
        outcome = lambda: Path((1, Any())).missing_from([entry])
    """,
    "listof-elements": """
        from quarv.utils.veltrane import ListOf
        data, keep = [], []
        class Evil:
            def __eq__(self, other):
                data.clear()
                keep.extend(bytearray(b"A" * 24) for _ in range(64))
                return True
            __hash__ = object.__hash__
        data.extend([Evil(), 5, 6])
        outcome = lambda: ListOf(5).validate(data)
    """,
    "dicts-length-check": """
        from quarv.utils.dicts import enforce_max_key_value_length
        values, keep = [], []
        class Evil:
            def __str__(self):
                values.clear()
                keep.extend(bytearray(b"A" * 24) for _ in range(64))
                return "short"
        values.extend([Evil(), "a", "b"])
        outcome = lambda: enforce_max_key_value_length({"key": values})
    """,
    "locations-extended-records": """
        from quarv.utils.locations import Location, recursive_location_update
        records, keep = {}, []
        class Evil(int):
            def __gt__(self, other):
                records.clear()
                keep.extend(bytearray(b"A" * 24) for _ in range(64))
                return True
            __hash__ = int.__hash__
        records.update({0: Location(), Evil(1): Location()})
        outcome = lambda: recursive_location_update({"x": [1, 2]}, {"%EXTEND_LIST{x}": [3]}, {"x": records},
                                                    {"%EXTEND_LIST{x}": {0: Location()}}, list_extend=True)
    """,
    "markup-list-emptied": """
        import os
        from quarv.utils.yaml import markup
        from quarv.utils.yaml.markup import Processor
        data, keep = [], []
        def evil(prompt_text):
            data.clear()
            keep.extend(bytearray(b"A" * 24) for _ in range(64))
            return "x"
        markup.ask_for_input = evil
        data.extend(["%ASK{}", "b", "c", {"k": ["%ASK{}", "d"]}])
        outcome = lambda: Processor()(data)
    """,
    "markup-mapping-emptied": """
        from quarv.utils.yaml import markup
        from quarv.utils.yaml.markup import Processor
        data, keep = {}, []
        def evil(prompt_text):
            data.clear()
            keep.extend(bytearray(b"A" * 24) for _ in range(64))
            return "x"
        markup.ask_for_input = evil
        data.update({"a": "%ASK{}", "b": ["c"], "%ASK{}": 1})
        outcome = lambda: Processor()(data)
    """,
    "objects-collection-emptied": """
        from quarv.utils.objects import find, R
        items, keep = [], []
        def evil(value):
            items.clear()
            keep.extend(bytearray(b"A" * 24) for _ in range(64))
            return True
        items.extend([{"a": 1}, {"a": 2}, {"a": 3}])
        outcome = lambda: find(items, R(["a", evil]), filter_=False)
    """,
    "objects-path-emptied": """
        from quarv.utils.objects import find, R
        path, keep = [], []
        def evil(value):
            path.clear()
            keep.extend(bytearray(b"A" * 24) for _ in range(64))
            return True
        path.extend(["a", "(b.*)", evil])
        outcome = lambda: find([{"a": {"b1": 1, "b2": 2}}, {"a": {"b3": 3}}], R(path), filter_=False)
    """,
}


@pytest.mark.parametrize("allocator", [None, "malloc"], ids=["pymalloc", "malloc"])
@pytest.mark.parametrize("case", CHANGED_DURING_WALK)
def test_a_list_changed_by_user_code_is_not_read_after_it_was_freed(case, allocator):
    code = textwrap.dedent(CHANGED_DURING_WALK[case]) + textwrap.dedent("""
        try:
            outcome()
            print("returned")
        except Exception as error:
            print("raised", type(error).__name__)
    """)
    output = run_child(code, env={"PYTHONMALLOC": allocator} if allocator else None)
    assert output.split()[0] in ("returned", "raised")
