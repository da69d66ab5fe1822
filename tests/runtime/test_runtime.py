"""The native runtime behaves like the interpreter's own functions, classes and modules."""

import inspect
import itertools
import shutil
import sys
import textwrap

import pytest

SIGNATURES = {
    "f0": "()",
    "f1": "(a)",
    "f2": "(a, b)",
    "f_def": "(a, b=2, c=3)",
    "f_kw": "(a, b, *, c)",
    "f_kwdef": "(a, *, c=1, d)",
    "f_var": "(a, *args, b=1, **kwargs)",
    "f_posonly": "(a, /, b)",
    "f_all": "(a, b=1, /, c=2, *args, d, e=5, **kw)",
}

POSITIONAL = [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)]
KEYWORDS = [{}, {"a": 10}, {"b": 20}, {"c": 30}, {"d": 40}, {"x": 90}, {"a": 10, "b": 20},
            {"c": 30, "d": 40}, {"b": 20, "c": 30, "d": 40, "e": 50}, {"a": 10, "x": 90}]


def python_twin(name, signature):
    """A plain `def` of the same signature returning its parameters in the native slot order."""
    scratch = {}
    exec(f"def {name}{signature}: pass", scratch)
    params = inspect.signature(scratch[name]).parameters.values()
    kinds = inspect.Parameter
    order = ([p.name for p in params if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)]
             + [p.name for p in params if p.kind == kinds.KEYWORD_ONLY]
             + [p.name for p in params if p.kind == kinds.VAR_POSITIONAL]
             + [p.name for p in params if p.kind == kinds.VAR_KEYWORD])
    exec(f"def {name}{signature}: return ({''.join(n + ', ' for n in order)})", scratch)
    return scratch[name]


def outcome(fn, args, kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except TypeError as error:
        return "TypeError", str(error)


@pytest.mark.parametrize("name", SIGNATURES)
def test_calls_bind_and_fail_exactly_like_python(probe, name):
    native, twin = getattr(probe, name), python_twin(name, SIGNATURES[name])
    for args, kwargs in itertools.product(POSITIONAL, KEYWORDS):
        assert outcome(native, args, kwargs) == outcome(twin, args, kwargs), (args, kwargs)


@pytest.mark.parametrize("name", SIGNATURES)
def test_introspection_matches_python(probe, name):
    native, twin = getattr(probe, name), python_twin(name, SIGNATURES[name])
    assert inspect.signature(native) == inspect.signature(twin) == native.__signature__
    assert native.__defaults__ == twin.__defaults__
    assert native.__kwdefaults__ == twin.__kwdefaults__
    assert (native.__name__, native.__qualname__, native.__module__) == (name, name, "_runtime_probe")


def test_function_attributes(probe):
    f = probe.f_ann
    assert f.__doc__ == "f_ann\n\nAnnotated."
    assert f.__annotations__ == {"a": int, "b": "str", "return": "dict"}
    assert str(inspect.signature(f)) == "(a: int, b: 'str' = 'x') -> 'dict'"
    assert repr(f).startswith("<function f_ann at 0x")
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        f.__defaults__ = [1]
    probe.f_def.__defaults__ = (7, 8)
    try:
        assert probe.f_def(1) == (1, 7, 8)
        assert str(inspect.signature(probe.f_def)) == "(a, b=7, c=8)"
    finally:
        probe.f_def.__defaults__ = (2, 3)
    assert type(f).__flags__ & (1 << 11), "vectorcall"


def test_defaults_are_evaluated_once_when_defined(probe):
    first, second = probe.f_shared()[0], probe.f_shared()[0]
    assert first == {} and first is second
    saved = probe.CONSTANT
    probe.CONSTANT = 99
    try:
        assert probe.f_const() == (7, probe.OD)
        assert probe.f_const.__defaults__[0] == 7
    finally:
        probe.CONSTANT = saved


def test_module_namespace_names_its_builtins(probe):
    import builtins
    assert probe.__builtins__ is vars(builtins) and probe.lookup.__builtins__ is vars(builtins)


def test_module_names_are_looked_up_at_each_call(probe, monkeypatch):
    assert probe.lookup("CONSTANT") == 7
    monkeypatch.setattr(probe, "CONSTANT", 8)
    assert probe.lookup("CONSTANT") == 8
    assert probe.lookup("len") is len
    with pytest.raises(NameError, match="^name 'nope' is not defined$") as caught:
        probe.lookup("nope")
    assert caught.value.name == "nope"


def test_method_binding_through_the_descriptor_protocol(probe):
    class Host:
        plain = probe.f2
        static = staticmethod(probe.f2)
        klass = classmethod(probe.f2)
        prop = property(probe.f1)

    host = Host()
    assert host.plain(1) == (host, 1)
    assert Host.plain(1, 2) == (1, 2)
    assert host.static(1, 2) == (1, 2)
    assert host.klass(1) == (Host, 1)
    assert host.prop == (host,)
    with pytest.raises(TypeError, match=r"^f2\(\) takes 2 positional arguments but 3 were given$"):
        host.plain(1, 2)
    assert inspect.signature(host.plain) == inspect.signature(lambda b: None)


def test_classes_are_ordinary_python_classes(probe):
    base, child = probe.Base(), probe.Child()
    assert base.greet() == ("base", base, "base")
    assert child.greet() == ("child", ("base", child, "c"))
    assert probe.Base.make(3) == (probe.Base, 3) and probe.Child.make(4) == (probe.Child, 4)
    assert probe.Base.twice(4) == 8 and base.kind == "base-kind"
    assert probe.Base.__doc__ == "A base class." and probe.Base.__module__ == "_runtime_probe"
    assert probe.Base.greet.__qualname__ == "Base.greet"
    with pytest.raises(TypeError, match=r"^Base\.greet\(\) takes from 1 to 2 positional arguments"):
        base.greet(1, 2)

    class UserChild(probe.Child):
        def greet(self, name="u"):
            return ("user", super().greet(name))

    user = UserChild()
    assert user.greet() == ("user", ("child", ("base", user, "u")))
    base.extra = 1
    assert vars(base) == {"extra": 1}


def test_classes_derive_from_builtin_and_abstract_bases(probe):
    mapping = probe.MyDict({"a": 1}, b=2)
    assert mapping == {"a": 1, "b": 2} and isinstance(mapping, dict) and mapping.tag is None
    assert type(probe.Abstract).__name__ == "ABCMeta"

    seen = []

    class Registering:
        def __init_subclass__(cls, **kwargs):
            seen.append(cls.__name__)

    class Later(probe.Base, Registering):
        pass

    assert seen == ["Later"]


@pytest.mark.parametrize("how, cause, suppressed", [("cause", True, True), ("context", False, False),
                                                    ("none", False, True)])
def test_raising_with_cause_context_or_neither(probe, how, cause, suppressed):
    original = KeyError("k")
    with pytest.raises(ValueError, match="replacement") as caught:
        probe.raise_chained(how, original)
    assert caught.value.__context__ is original
    assert (caught.value.__cause__ is original) == cause
    assert caught.value.__suppress_context__ == suppressed


def test_import_helpers_raise_the_interpreters_import_errors(probe):
    import types

    module = types.ModuleType("scratch")
    with pytest.raises(ImportError) as native_error:
        probe.import_into(module, "json", "nope")
    with pytest.raises(ImportError) as python_error:
        from json import nope  # noqa: F401
    assert str(native_error.value) == str(python_error.value)
    assert native_error.value.name == "json"
    assert probe.import_into(module, "os.path", None) is sys.modules["os"] and module.os is sys.modules["os"]
    assert probe.import_into(module, "collections", "abc") is sys.modules["collections.abc"]


def test_module_body_runs_in_order_with_relative_imports(probe_dir, tmp_path, run_python):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "sibling.py").write_text("SIBLING = 'from the package'\n")
    for built in probe_dir.glob("_runtime_probe*.so"):
        shutil.copy(built, package)
    code = textwrap.dedent(f"""
        import sys; sys.path.insert(0, {str(tmp_path)!r})
        from pkg import _runtime_probe as p
        print(p.SIBLING, p.__name__, p.__package__)
        names = [n for n in vars(p) if not n.startswith('__')]
        print(names[:8])
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first == "from the package pkg._runtime_probe pkg"
    assert second == str(["os", "ospath", "Mapping", "MutableSequence", "OD", "SIBLING", "CONSTANT", "f0"])


def test_a_failing_body_leaves_no_module(run_python):
    code = textwrap.dedent("""
        import sys
        try:
            import _runtime_probe
        except RuntimeError as error:
            print(error, '_runtime_probe' in sys.modules)
    """)
    result = run_python(code, env={"QUARV_PROBE_FAIL": "1"})
    assert result.stdout.strip() == "probe body failed on purpose False", result.stderr


@pytest.mark.parametrize("in_thread", [False, True])
def test_deep_native_recursion_raises_instead_of_overflowing(run_python, in_thread):
    code = textwrap.dedent(f"""
        import sys, threading, _runtime_probe as p
        sys.setrecursionlimit(10**7)
        def run():
            try:
                p.deep(10**7)
            except RecursionError as error:
                print('RecursionError:', error)
        if {in_thread}:
            threading.stack_size(1 << 20)
            t = threading.Thread(target=run); t.start(); t.join()
        else:
            run()
        print(p.deep(100))
    """)
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RecursionError: maximum recursion depth exceeded", "0"]


def test_inner_functions_close_over_their_values(probe):
    counter = probe.make_counter(5)
    assert counter() == 6 and counter(step=10) == 15
    assert counter.__qualname__ == "make_counter.<locals>.counter"
    assert [cell.cell_contents for cell in counter.__closure__] == [5] and probe.f0.__closure__ is None
    assert probe.make_counter(1) is not probe.make_counter(1)
