"""quarv.utils.import_utils: the legacy-name hook (legacy), the module loader (flex) and the bootstrap
(quarv.utils.__zendrel__) that fills the hook from the entry points of installed distributions.

Whatever installs the hook in sys.meta_path or imports the bootstrap runs in a child interpreter;
the translation tests work on a fresh copy of the legacy module, whose class-level maps start empty.
"""

import abc
import builtins
import importlib.abc
import importlib.util
import inspect
import json
import logging
import os
import sys
import textwrap
import types
from pathlib import Path

import pytest
from fresh import run_fresh

import quarv.utils.import_utils
from quarv.utils.import_utils import flex, legacy

UNPACK_FIRST = "Must supply two functions to register: \n  - one to translate from legacy to modern"
UNPACK_SECOND = "  - one to translate from modern to legacy\nGot: "
FAILURE = "failure to load %s.\n> Did you provide a valid file or module name?"
BANNER = ("+-------------------------------------+\n"
          "|   You have zendrel enabled   |\n"
          "+-------------------------------------+")
GROUP = "quarv.utils.__zendrel__"


def fresh(module_name):
    """A new copy of an extension module: its classes, and their class-level state, are its own."""
    spec = importlib.util.find_spec(module_name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_with_path(code, *paths, env=None):
    """run_fresh with `paths` in front of the module search path (env adds to the environment)."""
    search = os.pathsep.join([*map(str, paths), *filter(None, [os.environ.get("PYTHONPATH")])])
    return run_fresh(code, env={"PYTHONPATH": search, **(env or {})}, check=False)


def child_result(code, *paths, env=None):
    """What a child interpreter prints on its last line, read as JSON."""
    proc = run_with_path(code, *paths, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def same_error_as_python(call_native, call_python, native_name, python_name):
    with pytest.raises(TypeError) as native:
        call_native()
    with pytest.raises(TypeError) as python:
        call_python()
    assert str(native.value) == str(python.value).replace(python_name, native_name)


# =====================================================================================================
# legacy: LegacyImporter and LegacyLoader
# =====================================================================================================

@pytest.fixture
def fresh_legacy():
    return fresh("quarv.utils.import_utils.legacy")


@pytest.fixture
def importer(fresh_legacy):
    return fresh_legacy.LegacyImporter


def test_the_package_offers_the_legacy_class():
    assert quarv.utils.import_utils.LegacyImporter is legacy.LegacyImporter
    assert "LegacyImporter" in quarv.utils.import_utils.__all__


def test_legacy_module_namespace_and_classes():
    names = [n for n in vars(legacy) if not n.startswith("__")]
    assert names == ["sys", "logging", "find_spec", "Loader", "MetaPathFinder", "ModuleSpec", "logger",
                     "LegacyLoader", "LegacyImporter"]
    assert not hasattr(legacy, "__all__")
    assert legacy.find_spec is importlib.util.find_spec
    assert legacy.logger is logging.getLogger("quarv.utils.import_utils.legacy")

    importer = legacy.LegacyImporter
    assert type(importer) is abc.ABCMeta and importer.__bases__ == (importlib.abc.MetaPathFinder,)
    members = [n for n in vars(importer) if not n.startswith("__") and n != "_abc_impl"]
    assert members == ["_importmap", "_reverse_importmap", "_custom_translators", "_custom_reverse_translators",
                       "translate", "reverse_translate", "register", "find_spec", "invalidate_caches", "install"]
    assert all(isinstance(vars(importer)[n], classmethod) for n in members[4:])
    assert importer.__doc__.splitlines()[0] == "LegacyImporter"
    assert importer.register.__doc__.splitlines()[0] == "LegacyImporter.register"
    assert importer.translate.__doc__ == "translates an old import string to a new import string"
    assert importer.reverse_translate.__doc__ == "translates a new import string to an old import string"
    for name in ("find_spec", "invalidate_caches", "install"):
        assert getattr(importer, name).__doc__ == "undocumented, do not use"
    assert str(inspect.signature(importer.find_spec)) == "(name, path=None, target=None)"
    assert str(inspect.signature(importer.register)) == "(*args, **kwargs)"

    loader_class = legacy.LegacyLoader
    assert loader_class.__bases__ == (importlib.abc.Loader,)
    assert [n for n in vars(loader_class) if n in ("__init__", "exec_module", "create_module")] == [
        "__init__", "exec_module", "create_module"]
    assert loader_class.__doc__.splitlines()[0] == "LegacyLoader" and loader_class.__init__.__doc__ is None
    assert loader_class.create_module.__doc__ == loader_class.exec_module.__doc__ == "undocumented, do not use"
    assert vars(loader_class("new.name")) == {"_module_name": "new.name"}


class PlainImporter:
    @classmethod
    def translate(cls, name):
        pass

    @classmethod
    def find_spec(cls, name, path=None, target=None):
        pass


class PlainLoader:
    def __init__(self, module_name):
        pass


@pytest.mark.parametrize("call", [
    lambda c: c.translate(), lambda c: c.translate("a", "b"), lambda c: c.translate(nm="a"),
    lambda c: c.find_spec("a", 1, 2, 3), lambda c: c.find_spec(path=None),
], ids=["missing", "surplus", "keyword", "find_spec-surplus", "find_spec-missing"])
def test_wrong_calls_raise_the_interpreters_errors(call):
    same_error_as_python(lambda: call(legacy.LegacyImporter), lambda: call(PlainImporter), "LegacyImporter",
                         "PlainImporter")
    same_error_as_python(lambda: legacy.LegacyLoader(), lambda: PlainLoader(), "LegacyLoader", "PlainLoader")


# registrations (one keyword dict per call, in order), then legacy name -> translation
TRANSLATIONS = [
    ([{"a": "x"}], {"a": "x", "a.b": "x.b", "a.b.c": "x.b.c", "a.a": "x.a", "ab": None, "b.a": None, "x": None}),
    ([{"a": "x"}, {"a.b": "y"}], {"a.b": "y", "a.b.c": "x.b.c"}),
    ([{"a": "x", "a.b": "y"}], {"a.b": "y", "a.b.c": "x.b.c"}),
    ([{"a.b": "y"}, {"a": "x"}], {"a.b.c": "y.c", "a.c": "x.c", "a": "x"}),
    ([{"a": "x"}, {"a": "z"}], {"a": "z", "a.q": "z.q"}),
    ([{"pkg.mod": "new"}], {"pkg.mod.sub": "new.sub", "pkg.module": None, "pkg": None}),
]


@pytest.mark.parametrize("registrations, expected", TRANSLATIONS)
def test_translate_takes_the_exact_name_then_the_earliest_prefix(importer, registrations, expected):
    for keywords in registrations:
        importer.register(**keywords)
    assert {name: importer.translate(name) for name in expected} == expected


def test_reverse_translation_and_the_order_of_the_maps(importer):
    importer.register(a="x")
    assert importer.reverse_translate("x") == "a" and importer.reverse_translate("x.b") == "a.b"
    importer.register(b="y")
    importer.register(a="z")
    # a registered again keeps its place; the reverse entry of its earlier name stays
    assert list(importer._importmap.items()) == [("a", "z"), ("b", "y")]
    assert importer._reverse_importmap == {"x": "a", "y": "b", "z": "a"}
    importer.register(c="w", d="w")
    assert importer.reverse_translate("w") == "d" and importer.translate("c") == importer.translate("d") == "w"


def test_translators_are_consulted_after_the_maps_and_the_first_answer_decides(importer):
    calls = []

    def first(name):
        calls.append(("first", name))
        return {"t.empty": "", "t.one": "json"}.get(name)

    def second(name):
        calls.append(("second", name))
        return "second:" + name

    importer.register(first, lambda name: None)
    importer.register(second, lambda name: "legacy:" + name)
    importer.register(a="x")
    assert importer.translate("a.b") == "x.b" and calls == []
    assert importer.translate("t.empty") == "" and calls == [("first", "t.empty")]
    calls.clear()
    assert importer.translate("other") == "second:other" and calls == [("first", "other"), ("second", "other")]
    assert importer.reverse_translate("x") == "a" and importer.reverse_translate("q") == "legacy:q"
    # a pair registered twice is consulted twice
    importer.register(first, lambda name: None)
    calls.clear()
    importer.translate("other")
    assert calls == [("first", "other"), ("second", "other")]
    importer._custom_translators.insert(0, first)
    calls.clear()
    importer.translate("nothing")
    assert [who for who, _ in calls] == ["first", "first", "second"]


def test_a_translator_that_raises_fails_the_translation(importer):
    def broken(name):
        raise LookupError(name)

    importer.register(broken, broken)
    with pytest.raises(LookupError):
        importer.translate("any.name")
    with pytest.raises(LookupError):
        importer.reverse_translate("any.name")


def test_translation_follows_text_methods_of_subclasses(importer):
    class Name(str):
        def startswith(self, prefix):
            return prefix == "other."

        def replace(self, old, new, count):
            return f"replaced {old} by {new} {count} time"

    importer.register(a="x", other="y")
    assert importer.translate(Name("a.b")) == "replaced other by y 1 time"


def test_keys_of_other_types_are_tried_through_their_own_methods(importer):
    class Key(str):
        def __add__(self, other):
            return "x" + other

    importer.register(first="one")
    importer._importmap[Key("k")] = "new"
    assert importer.translate("x.name") == "x.name".replace(Key("k"), "new", 1)
    assert importer.translate("first.b") == "one.b" and importer.translate("k.b") is None


@pytest.mark.parametrize("args, context", [
    ((len,), (ValueError, "not enough values to unpack (expected 2, got 1)")),
    ((len, len, len), (ValueError, "too many values to unpack (expected 2)")),
    ((len, 5), (AssertionError, "")),
    (("a", len), (AssertionError, "")),
])
def test_register_refuses_what_is_not_a_translator_pair(importer, args, context):
    with pytest.raises(ValueError) as raised:
        importer.register(*args, legacy="new")
    error = raised.value
    assert error.args == (UNPACK_FIRST, UNPACK_SECOND + repr(args))
    assert error.__cause__ is None and not error.__suppress_context__
    assert (type(error.__context__), str(error.__context__)) == context
    # nothing of the call is recorded, not even its keywords
    assert importer._importmap == {} and importer._custom_translators == importer._custom_reverse_translators == []


def test_with_assertions_disabled_any_pair_is_recorded():
    result = child_result("""
        import json
        from quarv.utils.import_utils.legacy import LegacyImporter
        LegacyImporter.register(1, "two")
        print(json.dumps([LegacyImporter._custom_translators, LegacyImporter._custom_reverse_translators]))
    """, env={"PYTHONOPTIMIZE": "1"})
    assert result == [[1], ["two"]]


def test_register_records_pairs_and_names_in_place(importer):
    containers = [importer._importmap, importer._reverse_importmap, importer._custom_translators,
                  importer._custom_reverse_translators]
    assert importer.register() is None
    assert containers == [{}, {}, [], []]
    to_new, to_legacy = (lambda name: None), (lambda name: None)
    assert importer.register(to_new, to_legacy, **{"old.pkg": "new.pkg"}) is None
    assert containers == [{"old.pkg": "new.pkg"}, {"new.pkg": "old.pkg"}, [to_new], [to_legacy]]
    assert [importer._importmap, importer._reverse_importmap, importer._custom_translators,
            importer._custom_reverse_translators] == containers
    assert all(a is b for a, b in zip(containers, [importer._importmap, importer._reverse_importmap,
                                                   importer._custom_translators,
                                                   importer._custom_reverse_translators]))


def test_register_tests_no_keyword_value(importer):
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        importer.register(a=["x"])
    assert importer._importmap == {"a": ["x"]} and importer._reverse_importmap == {}
    importer.register(b=5)
    with pytest.raises(TypeError) as raised:
        importer.translate("b.c")
    with pytest.raises(TypeError) as python:
        "b.c".replace("b", 5, 1)
    assert str(raised.value) == str(python.value)


def test_find_spec_hands_out_a_legacy_loader_for_names_that_exist(importer, fresh_legacy, monkeypatch):
    importer.register(oldjson="json", gone="json.no_such_module", lost="no_such_package_q.sub")
    spec = importer.find_spec("oldjson.decoder", ["ignored"], None)
    assert (spec.name, spec.origin, spec.submodule_search_locations, spec.parent) == (
        "oldjson.decoder", None, None, "oldjson")
    assert type(spec.loader) is fresh_legacy.LegacyLoader and vars(spec.loader) == {"_module_name": "json.decoder"}
    assert importer.find_spec("gone") is None
    with pytest.raises(ModuleNotFoundError, match="No module named 'no_such_package_q'"):
        importer.find_spec("lost")
    monkeypatch.setitem(sys.modules, "specless_q", types.ModuleType("specless_q"))
    importer.register(q="specless_q")
    with pytest.raises(ValueError, match=r"specless_q.__spec__ is None"):
        importer.find_spec("q")
    assert importer.invalidate_caches() is None


def test_find_spec_looks_up_only_what_translates_and_uses_the_module_names(importer, fresh_legacy, monkeypatch):
    asked = []
    monkeypatch.setattr(fresh_legacy, "find_spec", lambda name: asked.append(name) or "found")
    monkeypatch.setattr(fresh_legacy, "ModuleSpec", lambda **keywords: ("spec", keywords))
    monkeypatch.setattr(fresh_legacy, "LegacyLoader", lambda name: ("loader", name))
    importer.register(old="new")
    assert importer.find_spec("unrelated") is None and asked == []
    assert importer.find_spec("old.mod") == ("spec", {"name": "old.mod", "loader": ("loader", "new.mod")})
    assert asked == ["new.mod"]

    class Derived(importer):
        @classmethod
        def translate(cls, name):
            return "by." + name

    assert Derived.find_spec("x") == ("spec", {"name": "x", "loader": ("loader", "by.x")})


def test_a_name_resolved_on_another_thread_is_no_reentry(importer, fresh_legacy, monkeypatch):
    import threading

    first_inside, second_done = threading.Event(), threading.Event()
    answers = {}

    def presence_test(name):
        if threading.current_thread().name == "first":
            first_inside.set()
            assert second_done.wait(20)
        return "found"

    def ask(label):
        answers[label] = importer.find_spec("old.mod")

    monkeypatch.setattr(fresh_legacy, "find_spec", presence_test)
    importer.register(old="new")
    first = threading.Thread(target=ask, args=("first",), name="first")
    first.start()
    assert first_inside.wait(20)
    ask("second")  # while the first thread is still resolving the same name
    second_done.set()
    first.join(20)
    assert {label: spec.loader._module_name for label, spec in answers.items()} == {"first": "new.mod",
                                                                                   "second": "new.mod"}


def test_loader_imports_the_new_module_and_writes_the_aliases(importer, fresh_legacy, monkeypatch):
    imported = []
    monkeypatch.setattr(fresh_legacy, "__import__", lambda name: imported.append(name) or "ignored", raising=False)
    loader = fresh_legacy.LegacyLoader("new.pkg")
    assert loader.create_module(None) is None and imported == ["new.pkg"]

    new_pkg, new_sub, other = (types.ModuleType(n) for n in ("new.pkg", "new.pkg.sub", "other"))
    table = {"other": other, "new.pkg": new_pkg, "new.pkg.sub": new_sub}
    monkeypatch.setattr(fresh_legacy, "sys", types.SimpleNamespace(modules=table))

    def reverse(name):
        table.setdefault("late.one", other)  # added during the walk: not visited
        return {"other": "aliased.other", "late.one": "never"}.get(name)

    importer.register(lambda name: None, reverse, **{"old.pkg": "new.pkg"})
    legacy_module = types.ModuleType("old.pkg")
    table["old.pkg"] = legacy_module  # as the interpreter enters it before exec_module
    assert loader.exec_module(legacy_module) is None
    assert table == {"other": other, "new.pkg": new_pkg, "new.pkg.sub": new_sub, "old.pkg": new_pkg,
                     "old.pkg.sub": new_sub, "aliased.other": other, "late.one": other}
    assert vars(legacy_module)["__name__"] == "old.pkg" and len(vars(legacy_module)) <= 5

    del table["new.pkg"]
    with pytest.raises(KeyError):
        loader.exec_module(legacy_module)


def test_importing_legacy_names_through_the_installed_hook(tmp_path):
    package = tmp_path / "newpkg_q"
    package.mkdir()
    (package / "__init__.py").write_text("from . import eager\n")
    (package / "eager.py").write_text("E = 1\n")
    (package / "lazy.py").write_text("Z = 2\n")
    result = child_result("""
        import importlib, json, sys
        from quarv.utils.import_utils import LegacyImporter as L

        class Other:
            @classmethod
            def find_spec(cls, *args):
                return None

        L.register(oldpkg_q="newpkg_q", oldjson_q="json")
        L.install()
        L.install()
        out = {"first": sys.meta_path.index(L), "count": sys.meta_path.count(L)}
        import oldpkg_q
        out["eager"] = sys.modules["oldpkg_q.eager"] is sys.modules["newpkg_q.eager"]
        import oldpkg_q.lazy
        out["lazy"] = [oldpkg_q.lazy.__name__, sys.modules["oldpkg_q.lazy"] is sys.modules["newpkg_q.lazy"]]
        out["same"] = [oldpkg_q is sys.modules["newpkg_q"], oldpkg_q.__name__, oldpkg_q.__spec__.name]
        import oldjson_q
        out["json"] = [oldjson_q is json, sys.modules["oldjson_q.decoder"] is sys.modules["json.decoder"]]
        try:
            import oldpkg_q.absent
        except ModuleNotFoundError as e:
            out["absent"] = str(e)
        sys.meta_path.insert(0, Other)
        L.install()
        importlib.invalidate_caches()
        out["after_other"] = [sys.meta_path.index(L), sys.meta_path.count(L)]
        print(json.dumps(out))
    """, tmp_path)
    assert result == {"first": 0, "count": 1, "eager": True, "lazy": ["newpkg_q.lazy", True],
                      "same": [True, "newpkg_q", "newpkg_q"], "json": [True, True],
                      "absent": "No module named 'oldpkg_q.absent'", "after_other": [1, 1]}


# Registrations that lead back to their own name: a name on such a cycle is left to the other
# finders, as if it had no translation, and never ends in a RecursionError or a clobbered module.
CYCLES = [
    ("L.register(real_q='real_q')", "import real_q", ["real_q", 1]),
    ("L.register(lambda n: n, lambda n: n)", "import decimal, real_q", ["real_q", 1]),
    ("L.register(ghost_q='ghost_q')", "import ghost_q", ["ModuleNotFoundError", "No module named 'ghost_q'"]),
    ("L.register(ga_q='gb_q', gb_q='ga_q')", "import ga_q", ["ModuleNotFoundError", "No module named 'ga_q'"]),
    ("L.register(alias_q='real_q', real_q='alias_q')", "import real_q", ["real_q", 1]),
    ("L.register(alias_q='real_q', real_q='alias_q')", "import alias_q",
     ["ModuleNotFoundError", "No module named 'alias_q'"]),
    ("L.register(deep_q='deep_q.sub')", "import deep_q", ["ModuleNotFoundError", "No module named 'deep_q'"]),
    # no cycle: a chain of translations is followed to its end
    ("L.register(a_q='b_q', b_q='c_q', c_q='real_q')", "import a_q as real_q", ["real_q", 1]),
    # the new module imports its legacy name while it loads, and gets itself, partly loaded
    ("L.register(circ_old_q='circ_new_q')", "import circ_old_q as real_q", ["circ_new_q", 1]),
]


@pytest.mark.parametrize("registration, statement, expected", CYCLES)
def test_translations_leading_back_to_their_own_name(tmp_path, registration, statement, expected):
    (tmp_path / "real_q.py").write_text("VALUE = 1\n")
    (tmp_path / "circ_new_q.py").write_text("import circ_old_q\nVALUE = int(circ_old_q.__name__ == 'circ_new_q')\n")
    result = child_result(f"""
        import json
        from quarv.utils.import_utils import LegacyImporter as L
        L.install()
        {registration}
        try:
            {statement}
            print(json.dumps([real_q.__name__, real_q.VALUE]))
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e)]))
    """, tmp_path)
    assert result == expected


@pytest.mark.parametrize("setup", ["", "sys.setrecursionlimit(10**6)"])
def test_a_long_chain_of_translations_raises_recursion_error(setup):
    result = child_result(f"""
        import json, sys
        from quarv.utils.import_utils import LegacyImporter as L
        {setup}
        L.register(**{{f"chain{{i}}_q": f"chain{{i + 1}}_q" for i in range(200_000)}})
        L.install()
        try:
            import chain0_q
        except RecursionError as e:
            print(json.dumps("RecursionError"))
    """)
    assert result == "RecursionError"


# =====================================================================================================
# both modules: fresh copies, errors at the recursion limit
# =====================================================================================================

@pytest.mark.parametrize("module, use", [
    ("quarv.utils.import_utils.legacy", "m.LegacyImporter.register(a='x'); return m.LegacyImporter.translate('a.b')"),
    ("quarv.utils.import_utils.flex", "return m.FlexImporter('p').load('json').__name__"),
])
def test_a_module_imported_afresh_works_and_the_dropped_copy_is_freed(module, use):
    result = child_result(f"""
        import gc, importlib, json, sys, weakref

        def use(m):
            {use}

        import {module}  # the package keeps what it imported of this first copy
        refs, answers = [], []
        for _ in range(3):
            sys.modules.pop({module!r}, None)
            fresh = importlib.import_module({module!r})
            answers.append(use(fresh))
            refs.append(weakref.ref(fresh))
            del fresh
        newest = sys.modules[{module!r}]
        gc.collect()
        print(json.dumps([answers, [ref() is None for ref in refs[:2]], use(newest)]))
    """)
    answer = result[0][0]
    assert result == [[answer] * 3, [True, True], answer] and answer in ("x.b", "json")


@pytest.mark.parametrize("setup, call, error", [
    ("from quarv.utils.import_utils.legacy import LegacyImporter as L", "L.register(1)", "ValueError"),
    ("from quarv.utils.import_utils.legacy import LegacyImporter as L; L.register(a=5)", "L.translate('a.b')",
     "TypeError"),
    ("from quarv.utils.import_utils.flex import FlexImporter; f = FlexImporter()", "f.load('no_such_module_q')",
     "Exception"),
])
def test_errors_at_the_recursion_limit(setup, call, error):
    proc = run_with_path(f"""
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
        try:
            {call}
        except Exception as e:
            print(type(e).__name__)
    """)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == [error]


# =====================================================================================================
# flex: FlexImporter
# =====================================================================================================

LOGGER = "quarv.utils.import_utils.flex"


@pytest.fixture
def isolated(monkeypatch):
    """sys.path as it was, and no module added to sys.modules, after the test."""
    monkeypatch.setattr(sys, "path", list(sys.path))
    before = dict(sys.modules)
    yield
    for name in set(sys.modules) - set(before):
        del sys.modules[name]
    sys.modules.update({n: m for n, m in before.items() if sys.modules.get(n) is not m})


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)

    def taken():
        ours = [r for r in caplog.records if r.name == LOGGER]
        assert all(not r.args for r in ours), "texts are complete before the logger is called"
        return [(r.levelname, r.getMessage()) for r in ours]

    return taken


def source(folder, name, code="", runs=True):
    """A module source file whose code counts its runs in <name>.runs beside it."""
    path = folder / name
    counter = f"open(__file__ + '.runs', 'a').write('x')\n" if runs else ""
    path.write_text(counter + textwrap.dedent(code))
    return path


def runs(path):
    counter = Path(str(path) + ".runs")
    return len(counter.read_text()) if counter.exists() else 0


def test_flex_module_namespace_and_class():
    assert [n for n in vars(flex) if not n.startswith("__")] == [
        "os", "sys", "types", "logging", "import_module", "SourceFileLoader", "logger", "FlexImporter"]
    assert flex.logger is logging.getLogger(LOGGER) and not hasattr(flex, "__all__")
    importer = flex.FlexImporter
    assert importer.__bases__ == (object,)
    assert [n for n in vars(importer) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "load", "load_module_from_file"]
    assert importer.__doc__.splitlines()[0] == "FlexImporter"
    assert importer.load.__doc__.startswith("Load object into module")
    assert importer.load_module_from_file.__doc__.startswith("load module from file")
    assert str(inspect.signature(importer)) == "(module_prefix='')"


class PlainFlex:
    def __init__(self, module_prefix=''):
        pass

    def load(self, obj):
        pass

    def load_module_from_file(self, target):
        pass


@pytest.mark.parametrize("call", [
    lambda c: c("a", "b"), lambda c: c(prefix="a"), lambda c: c().load(), lambda c: c().load(1, 2),
    lambda c: c().load(target=1), lambda c: c().load_module_from_file(),
])
def test_flex_wrong_calls_raise_the_interpreters_errors(call):
    same_error_as_python(lambda: call(flex.FlexImporter), lambda: call(PlainFlex), "FlexImporter", "PlainFlex")


@pytest.mark.parametrize("given, stored", [("", ""), ("p", "p."), ("p.", "p."), ("a.b", "a.b."), (None, None)])
def test_the_prefix_ends_in_a_point(given, stored):
    importer = flex.FlexImporter(given)
    assert vars(importer) == {"module_prefix": stored}
    assert flex.FlexImporter(module_prefix=given).module_prefix == stored


def test_a_prefix_of_none_fails_the_file_load(tmp_path, isolated):
    path = source(tmp_path, "stem_q.py")
    with pytest.raises(TypeError):
        flex.FlexImporter(None).load_module_from_file(path)
    assert runs(path) == 0


def test_loading_a_loaded_module_or_a_module_object(isolated, records, capsys, tmp_path):
    importer = flex.FlexImporter()
    assert importer.load("json") is sys.modules["json"]
    floating = types.ModuleType("floating_q")
    assert importer.load(floating) is floating and "floating_q" not in sys.modules

    class Special(types.ModuleType):
        pass

    special = Special("special_q")
    assert importer.load(special) is special
    # a name that is also the path of a file: the loaded module, the file is not run
    path = source(tmp_path, "both_q.py")
    stored = sys.modules[str(path)] = types.ModuleType("stored_q")
    assert importer.load(str(path)) is stored and runs(path) == 0
    assert capsys.readouterr().out == ""
    assert records() == [("DEBUG", "Loading: json"), ("DEBUG", f"Loaded: {sys.modules['json']!r}"),
                         ("DEBUG", f"Loading: {floating}"), ("DEBUG", f"Loaded: {floating!r}"),
                         ("DEBUG", f"Loading: {special}"), ("DEBUG", f"Loaded: {special!r}"),
                         ("DEBUG", f"Loading: {path}"), ("DEBUG", f"Loaded: {stored!r}")]


def test_loading_a_file(tmp_path, isolated, records, capsys):
    path = source(tmp_path, "stem_q.py", "VALUE = __name__\n")
    importer = flex.FlexImporter("pre")
    module = importer.load(str(path))
    assert runs(path) == 1 and module.VALUE == "pre.stem_q" and sys.modules["pre.stem_q"] is module
    assert module.__file__ == str(path) and module.__spec__ is None and module.__loader__ is None
    assert sys.path[-1] == str(tmp_path)
    assert capsys.readouterr().out == f"{module}\n"
    assert records() == [("DEBUG", f"Loading: {path}"), ("DEBUG", f"Loaded: {module!r}")]

    again = importer.load(path)
    assert runs(path) == 2 and again is not module and sys.modules["pre.stem_q"] is again
    assert sys.path.count(str(tmp_path)) == 1

    importer.module_prefix = "later"  # used as assigned
    assert importer.load_module_from_file(path).__name__ == "laterstem_q"


@pytest.mark.parametrize("name, stem", [("plain_q.py", "plain_q"), ("two.ext_q.py", "two.ext_q"),
                                        ("noext_q", "noext_q"), ("other_q.txt", "other_q")])
@pytest.mark.parametrize("form", ["absolute", "relative", "home", "pathlike"])
def test_file_paths_and_stems(tmp_path, isolated, monkeypatch, capsys, name, stem, form):
    folder = tmp_path / "mods"
    folder.mkdir()
    path = source(folder, name, "VALUE = 7\n")
    given = {"absolute": str(path), "relative": os.path.join("mods", name), "home": os.path.join("~", "mods", name),
             "pathlike": path}[form]
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path))
    importer = flex.FlexImporter()
    # load tests the path as given, in which "~" names no file: the file load itself expands it
    module = importer.load_module_from_file(given) if form == "home" else importer.load(given)
    assert (module.__name__, module.VALUE, module.__file__) == (stem, 7, str(path))
    assert sys.modules[stem] is module and sys.path[-1] == str(folder)


def write_package_modules(folder):
    source(folder, "needs_missing_q.py", "import no_such_module_q\n", runs=False)
    source(folder, "raises_q.py", "raise ValueError('own code')\n", runs=False)
    source(folder, "bad_name_q.py", "from json import no_such_name_q\n", runs=False)


@pytest.mark.parametrize("obj", ["no_such_module_q", "needs_missing_q", "directory", "no_such_pkg_q.sub"])
def test_a_name_that_cannot_be_found(tmp_path, isolated, records, capsys, monkeypatch, obj):
    write_package_modules(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    if obj == "directory":
        (tmp_path / "folder_q").mkdir()
        obj = str(tmp_path / "folder_q")
    with pytest.raises(Exception) as raised:
        flex.FlexImporter().load(obj)
    error = raised.value
    assert type(error) is Exception and error.args == (FAILURE % obj,)
    assert error.__cause__ is None and error.__suppress_context__
    assert isinstance(error.__context__, ModuleNotFoundError)
    assert records() == [("DEBUG", f"Loading: {obj}")] and capsys.readouterr().out == ""


@pytest.mark.parametrize("obj, error", [("raises_q", ValueError), ("bad_name_q", ImportError), (".relative_q", TypeError),
                                        ([1], TypeError), (("json", "x"), TypeError)])
def test_other_errors_pass_through(tmp_path, isolated, records, monkeypatch, obj, error):
    write_package_modules(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(error) as raised:
        flex.FlexImporter().load(obj)
    assert type(raised.value) is error
    if obj == ("json", "x"):  # the tuple is the format's argument list: nothing is looked up
        assert "not all arguments converted" in str(raised.value) and records() == []


def test_a_one_element_tuple_is_logged_as_its_element(records):
    with pytest.raises(TypeError):
        flex.FlexImporter().load(("json",))
    assert records() == [("DEBUG", "Loading: json")]


def test_a_file_whose_code_fails_leaves_no_module_behind(tmp_path, isolated):
    path = source(tmp_path, "failing_q.py", "PARTIAL = 1\nraise KeyError('inside')\n")
    with pytest.raises(KeyError, match="inside"):
        flex.FlexImporter().load(str(path))
    assert "failing_q" not in sys.modules and runs(path) == 1
    assert sys.path[-1] == str(tmp_path)  # the directory stays
    earlier = sys.modules["failing_q"] = types.ModuleType("failing_q")
    with pytest.raises(KeyError):
        flex.FlexImporter().load_module_from_file(path)
    assert sys.modules["failing_q"] is earlier
    source(tmp_path, "syntax_q.py", "def (:\n", runs=False)
    with pytest.raises(SyntaxError):
        flex.FlexImporter().load_module_from_file(tmp_path / "syntax_q.py")
    assert "syntax_q" not in sys.modules
    with pytest.raises(FileNotFoundError):
        flex.FlexImporter().load_module_from_file(tmp_path / "absent_q.py")


def test_load_uses_overrides_and_the_module_names_of_each_call(tmp_path, isolated, monkeypatch, capsys):
    class Recording(flex.FlexImporter):
        def load_module_from_file(self, target):
            return types.ModuleType(f"made from {os.path.basename(target)}")

    path = source(tmp_path, "over_q.py")
    assert Recording().load(str(path)).__name__ == "made from over_q.py" and runs(path) == 0
    # the built-in print was taken when the module was imported
    monkeypatch.setattr(builtins, "print", lambda *args: pytest.fail("print looked up again"))
    assert capsys.readouterr().out == "<module 'made from over_q.py'>\n"
    monkeypatch.undo()
    monkeypatch.setattr(flex, "import_module", lambda name: types.ModuleType("imported " + name))
    assert flex.FlexImporter().load("anything_q").__name__ == "imported anything_q"


# =====================================================================================================
# __zendrel__: the bootstrap, with entry points of a real installed distribution
# =====================================================================================================

@pytest.fixture
def distribution(tmp_path):
    """make(objects): a site folder holding an installed distribution whose entry points, in the group
    quarv.utils.__zendrel__, load the given objects (Python expressions) in order."""

    def make(*objects, name="zendrel_contrib_q"):
        site = tmp_path / name
        (site / f"{name}-1.0.dist-info").mkdir(parents=True)
        (site / f"{name}-1.0.dist-info" / "METADATA").write_text(
            f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        lines = [f"[{GROUP}]"] + [f"entry{i} = {name}:OBJECT{i}" for i in range(len(objects))]
        (site / f"{name}-1.0.dist-info" / "entry_points.txt").write_text("\n".join(lines) + "\n")
        module = ["def to_new(name):", "    return 'decimal' if name == 'olddecimal_q' else None",
                  "def to_legacy(name):", "    return 'olddecimal_q' if name == 'decimal' else None"]
        module += [f"OBJECT{i} = {obj}" for i, obj in enumerate(objects)]
        (site / f"{name}.py").write_text("\n".join(module) + "\n")
        return site

    return make


REPORT = """
import json, sys, warnings
from quarv.utils.import_utils import LegacyImporter as L

def report(**extra):
    print(json.dumps(dict(importmap=L._importmap, translators=len(L._custom_translators),
                          installed=sys.meta_path.count(L), first=sys.meta_path[0] is L, **extra)))
"""


def test_the_bootstrap_module_namespace():
    result = child_result(REPORT + """
import inspect
import quarv.utils.__zendrel__ as z
import quarv.utils.import_utils as package
report(names=[n for n in vars(z) if not n.startswith("__")], doc=z.__doc__, group=z.LEGACY_IMPORT_ENTRYPOINT,
       same=[z.LegacyImporter is package.LegacyImporter, z.on_import is package.on_import],
       function=[z._initialize.__name__, str(inspect.signature(z._initialize))])
""")
    assert result.pop("names") == ["warnings", "pkg_resources", "Mapping", "LegacyImporter", "on_import",
                                   "LEGACY_IMPORT_ENTRYPOINT", "_initialize"]
    assert result == {"importmap": {}, "translators": 0, "installed": 1, "first": True, "doc": None, "group": GROUP,
                      "same": [True, True], "function": ["_initialize", "()"]}


def test_without_contributions_the_banner_is_issued_and_the_hook_installed():
    result = child_result(REPORT + """
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import quarv.utils.__zendrel__
report(banners=[[w.category.__name__, str(w.message)] for w in caught if str(w.message) == %r])
""" % BANNER)
    assert result == {"importmap": {}, "translators": 0, "installed": 1, "first": True,
                      "banners": [["ImportWarning", BANNER]]}


@pytest.mark.parametrize("warnings, shown", [(None, False), ("always::ImportWarning", True)])
def test_the_banner_follows_the_warning_filters(warnings, shown):
    proc = run_with_path("import quarv.utils.__zendrel__", env=warnings and {"PYTHONWARNINGS": warnings})
    assert proc.returncode == 0, proc.stderr
    assert (BANNER in proc.stderr) is shown


def test_an_error_filter_raises_the_banner_before_anything_is_registered(distribution):
    site = distribution("{'before_q': 'json'}")
    result = child_result(REPORT + """
try:
    import quarv.utils.__zendrel__
except ImportWarning as e:
    report(error=str(e))
""", site, env={"PYTHONWARNINGS": "error::ImportWarning"})
    assert result == {"importmap": {}, "translators": 0, "installed": 0, "first": False, "error": BANNER}


def test_contributions_of_an_installed_distribution_are_registered(distribution):
    site = distribution("{'oldjson_q': 'json', 'dup_q': 'first'}", "None", "[]", "{}", "(to_new, to_legacy)",
                        "{'dup_q': 'second', 'old.pkg_q': 'new.pkg_q'}")
    result = child_result(REPORT + """
import quarv.utils.__zendrel__
import oldjson_q, olddecimal_q
report(imports=[oldjson_q.__name__, olddecimal_q.__name__])
""", site)
    assert result == {"importmap": {"oldjson_q": "json", "dup_q": "second", "old.pkg_q": "new.pkg_q"},
                      "translators": 1, "installed": 1, "first": True, "imports": ["json", "decimal"]}


@pytest.mark.parametrize("obj, error", [
    ("'abc'", ["ValueError", str((UNPACK_FIRST, UNPACK_SECOND + repr(("a", "b", "c"))))]),
    ("{1: 'x'}", ["TypeError", "keywords must be strings"]),
    ("5", ["TypeError", "quarv.utils.import_utils.legacy.LegacyImporter.register() argument after * must be an "
                        "iterable, not int"]),
    ("unused", None),
])
def test_a_failing_contribution_stops_the_walk_before_the_hook_is_installed(distribution, obj, error):
    site = distribution("{'before_q': 'json'}", *([obj] if error else []), "{'after_q': 'json'}")
    if error is None:  # the entry point itself cannot be loaded
        entry_points = site / "zendrel_contrib_q-1.0.dist-info" / "entry_points.txt"
        entry_points.write_text(entry_points.read_text().replace("entry1 = zendrel_contrib_q:OBJECT1",
                                                                 "entry1 = no_such_module_q:THING"))
        error = ["ModuleNotFoundError", "No module named 'no_such_module_q'"]
    result = child_result(REPORT + """
try:
    import quarv.utils.__zendrel__
except Exception as e:
    report(error=[type(e).__name__, str(e)], loaded="quarv.utils.__zendrel__" in sys.modules)
""", site)
    assert result == {"importmap": {"before_q": "json"}, "translators": 0, "installed": 0, "first": False,
                      "error": error, "loaded": False}


def test_a_second_run_registers_again_and_installs_once(distribution):
    site = distribution("(to_new, to_legacy)", "{'oldjson_q': 'json'}")
    result = child_result(REPORT + """
import builtins
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import quarv.utils.__zendrel__ as z
    builtins.ImportWarning = UserWarning  # the category was taken when the module was imported
    z._initialize()
report(banners=[w.category.__name__ for w in caught if str(w.message) == %r])
""" % BANNER, site)
    assert result == {"importmap": {"oldjson_q": "json"}, "translators": 2, "installed": 1, "first": True,
                      "banners": ["ImportWarning", "ImportWarning"]}


def test_the_bootstrap_looks_its_names_up_at_each_run():
    result = child_result(REPORT + """
import types
import quarv.utils.__zendrel__ as z

class EntryPoint:
    def __init__(self, obj):
        self.obj = obj
    def load(self):
        return self.obj

asked = []
z.pkg_resources = types.SimpleNamespace(iter_entry_points=lambda group: asked.append(group) or iter(
    [EntryPoint({"from_fake_q": "json"}), EntryPoint((str.upper, str.lower))]))
z.LEGACY_IMPORT_ENTRYPOINT = "another.group"
z.warnings = types.SimpleNamespace(warn=lambda **keywords: asked.append(sorted(keywords)))
z._initialize()
report(asked=asked)
""")
    assert result == {"importmap": {"from_fake_q": "json"}, "translators": 1, "installed": 1, "first": True,
                      "asked": [["category", "message"], "another.group"]}
