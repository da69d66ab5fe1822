"""The native runtime behaves like the interpreter's own functions, classes, modules, generators and
statements."""

import collections
import gc
import inspect
import itertools
import shutil
import sys
import textwrap
import threading
import time
import types
import weakref

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


def test_a_nested_class_is_bound_in_its_class_with_its_qualified_name(probe):
    lid = probe.Box.Lid
    assert "Lid" in vars(probe.Box) and not hasattr(probe, "Lid")
    assert lid.__qualname__ == "Box.Lid" and lid.__module__ == "_runtime_probe" and lid.__doc__ == "A lid."
    assert lid.kind.__qualname__ == "Box.Lid.kind" and lid.__mro__[1] is list and lid.__slots__ == ()
    assert lid([1]).kind() == "base-kind" and repr(lid) == "<class '_runtime_probe.Box.Lid'>"


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
        except Exception as error:
            print(type(error).__name__, error, '_runtime_probe' in sys.modules)
    """)
    result = run_python(code, env={"QUARV_PROBE_FAIL": "1"})
    assert result.stdout.strip() == "RuntimeError probe body failed on purpose False", result.stderr
    result = run_python(code, env={"QUARV_PROBE_FAIL": "c++"})
    assert result.stdout.strip() == "SystemError probe body threw on purpose False", result.stderr


# Every way native code fails becomes one Python error at the boundary, for a function and for a type
# slot alike: (how it fails, the error, its text).
FAILURES = [
    ("error", KeyError, "'set in the indicator'"),
    ("error without indicator", SystemError, "native code failed without setting an error"),
    ("error_already_set", LookupError, "carried by pybind11"),
    ("pybind11 builtin", ValueError, "a pybind11 builtin exception"),
    ("bad_alloc", MemoryError, ""),
    ("std::exception", SystemError, "a standard exception"),
    ("anything", SystemError, "unknown C++ exception in native code"),
]


@pytest.mark.parametrize("kind, error, message", FAILURES, ids=[row[0] for row in FAILURES])
def test_every_failure_becomes_one_python_error_at_the_boundary(probe, kind, error, message):
    with pytest.raises(error) as caught:
        probe.fail_as(kind)
    assert type(caught.value) is error and str(caught.value) == message
    steps = probe.failing_iterator(kind)
    assert next(steps) == 1
    with pytest.raises(error) as caught:
        next(steps)
    assert type(caught.value) is error and str(caught.value) == message
    assert list(steps) == []


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


@pytest.mark.parametrize("in_thread", [False, True])
def test_a_native_function_called_again_through_python_code_meets_the_end_of_the_stack(run_python, in_thread):
    # forward() holds no recursion guard of its own: the check at every native call stops it
    code = textwrap.dedent(f"""
        import sys, threading, _runtime_probe as p
        sys.setrecursionlimit(10**7)
        def again(n):
            return p.forward(again, n - 1) if n else 0
        def run():
            try:
                again(10**7)
            except RecursionError as error:
                print('RecursionError:', error)
        if {in_thread}:
            threading.stack_size(1 << 20)
            t = threading.Thread(target=run); t.start(); t.join()
        else:
            run()
        print(again(100))
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


# ----- class statements -------------------------------------------------------------------------


def test_special_methods_are_wrapped_as_type_new_wraps_python_functions(probe):
    registry = probe.Registry
    assert isinstance(vars(registry)["__new__"], staticmethod)
    assert all(isinstance(vars(registry)[name], classmethod) for name in ("__init_subclass__", "__class_getitem__"))
    made = registry(5)
    assert type(made) is registry and made.value == 5

    class Tagged(registry, tag="t"):
        pass

    assert probe.REGISTERED[-1] == (Tagged, "t")
    assert type(Tagged(6)) is Tagged and Tagged(6).value == 6
    assert registry[int] == (registry, int) and Tagged[str] == (Tagged, str)

    received = []

    class Cooperative:
        def __init_subclass__(cls, **kwargs):
            received.append((cls.__name__, kwargs))

    class Mixed(registry, Cooperative, tag="m", extra=1):
        pass

    assert probe.REGISTERED[-1] == (Mixed, "m") and received == [("Mixed", {"extra": 1})]
    with pytest.raises(TypeError, match=r"\.Bad\.__init_subclass__\(\) takes no keyword arguments$"):
        class Bad(registry, extra=1):
            pass


def test_properties_get_set_and_delete_through_native_accessors(probe):
    box = probe.Box()
    box.content = [1]
    assert box.content == [1] and vars(box) == {"_content": [1]}
    del box.content
    with pytest.raises(AttributeError):
        box.content
    content, readonly = vars(probe.Box)["content"], vars(probe.Box)["readonly"]
    assert content.__doc__ == "What the box holds."
    assert content.fset.__qualname__ == content.fdel.__qualname__ == "Box.content"
    assert readonly.fset is None and readonly.fdel is not None
    with pytest.raises(AttributeError, match="^property 'readonly' of 'Box' object has no setter$"):
        box.readonly = 1


def test_decorators_apply_bottom_up_before_the_member_is_stored(probe):
    with pytest.raises(TypeError, match="^Can't instantiate abstract class Shape with abstract methods area, sides$"):
        probe.Shape()

    class Square(probe.Shape):
        def area(self):
            return 4

        sides = 4

    square = Square()
    assert square.measured is square.measured and square.measurements == 1 and "measured" in vars(square)
    del square.measured
    assert square.measured == [] and square.measurements == 2

    class Twin:
        @probe.mark_a
        @probe.mark_b
        def marked(self):
            pass

    assert probe.Shape.marked.marks == Twin.marked.marks == ["b", "a"]
    # staticmethod, classmethod and property stay outermost, where Python code writes them
    assert vars(probe.Shape)["make"].__func__.marks == ["a"] and probe.Shape.make(1) == (probe.Shape, 1)


# ----- lazy results ----------------------------------------------------------------------------------


def lazy_map_twin(fn, items):
    index = 0
    while index < len(items):
        yield fn(items[index])
        index += 1


def raise_at_two(x, items, it):
    if x == 2:
        raise ValueError("two")
    return x


def next_of_itself(x, items, it):
    return next(it) if x == 2 else x


def refill(x, items, it):
    if x == 1:
        items[:] = [bytearray(b"A" * 24) for _ in range(3)]
        items.append(4)
    return x


# (how each call of fn changes the list it walks, on [1, 2, 3])
LIST_CHANGES = {
    "unchanged": lambda x, items, it: x,
    "appended": lambda x, items, it: items.append(x + 10) or x if x < 10 else x,
    "truncated": lambda x, items, it: items.clear() or x,
    "refilled": refill,
    "raises": raise_at_two,
    "calls-next-on-itself": next_of_itself,
}


def steps(make, change, count=6):
    """What `count` calls of next() give, and what fn saw before the first of them."""
    items, seen, this = [1, 2, 3], [], []

    def fn(x):
        seen.append(x)
        return change(x, items, this[0])

    it = make(fn, items)
    this.append(it)
    before = list(seen)
    taken = []
    for _ in range(count):
        try:
            item = next(it)
            taken.append(("item", item if isinstance(item, int) else len(item)))
        except StopIteration:
            taken.append(("stop",))
        except ValueError as error:
            taken.append(("raised", type(error).__name__))
    return before, taken, iter(it) is it


@pytest.mark.parametrize("change", LIST_CHANGES)
def test_a_lazy_result_steps_as_a_generator_does(probe, change):
    assert steps(probe.lazy_map, LIST_CHANGES[change]) == steps(lazy_map_twin, LIST_CHANGES[change])


def test_an_ended_lazy_result_frees_its_state(probe):
    class Items(list):
        pass

    def fail(x):
        raise KeyError(x)

    for make, end in [(lambda held: probe.lazy_map(str, held), list), (lambda held: probe.countdown(2, held), list),
                      (lambda held: probe.lazy_map(fail, held), lambda it: pytest.raises(KeyError, next, it))]:
        held = Items([1])
        it, alive = make(held), weakref.ref(held)
        del held
        end(it)
        assert alive() is None and list(it) == []


def test_a_cycle_through_a_lazy_result_is_collected(probe):
    class Items(list):
        pass

    gc.disable()
    try:
        items = Items([1])
        items.append(probe.lazy_map(str, items))
        keep = types.SimpleNamespace()
        keep.it = probe.countdown(3, keep)
        alive = [weakref.ref(items[1]), weakref.ref(keep.it)]
        del items, keep
        assert [ref() is not None for ref in alive] == [True, True], "only the collector can free a cycle"
        gc.collect()
        assert [ref() for ref in alive] == [None, None]
    finally:
        gc.enable()


# ----- with statements -----------------------------------------------------------------------------------


class Unbooleable:
    def __bool__(self):
        raise RuntimeError("no truth")


class Recorder:
    """A context manager noting what the statement hands it."""

    def __init__(self, exit_returns=None, exit_raises=None, enter_raises=None):
        self.exit_returns, self.exit_raises, self.enter_raises = exit_returns, exit_raises, enter_raises
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")
        if self.enter_raises:
            raise self.enter_raises
        return self

    def __exit__(self, exc_type, exc, tb):
        innermost = tb
        while innermost and innermost.tb_next:
            innermost = innermost.tb_next
        self.calls.append(("exit", exc_type, type(exc).__name__, tb is (exc.__traceback__ if exc else None),
                           innermost and innermost.tb_frame.f_code.co_name, sys.exc_info()[1] is exc))
        if self.exit_raises:
            raise self.exit_raises
        return self.exit_returns


def python_with(manager, body):
    with manager as value:
        body(value)
        return True
    return False


# (the manager's behaviour, whether the body fails)
WITH_CASES = {
    "completes": ({}, False),
    "fails": ({}, True),
    "fails-swallowed": ({"exit_returns": True}, True),
    "fails-swallowed-by-a-true-object": ({"exit_returns": [0]}, True),
    "fails-kept-by-a-false-object": ({"exit_returns": ""}, True),
    "exit-raises-after-a-failure": ({"exit_raises": ValueError}, True),
    "exit-raises-after-success": ({"exit_raises": ValueError}, False),
    "exit-result-has-no-truth": ({"exit_returns": Unbooleable()}, True),
    "enter-raises": ({"enter_raises": OSError}, False),
}


def observe(run_with, options, fails):
    manager = Recorder(**options)
    failure = KeyError("from the body")

    def body(value):
        manager.calls.append(("body", value is manager))
        if fails:
            raise failure

    try:
        outcome = ("returned", run_with(manager, body))
    except Exception as error:
        context = error.__context__
        outcome = ("raised", type(error).__name__, error is failure, context and type(context).__name__)
    return outcome, manager.calls


@pytest.mark.parametrize("case", WITH_CASES)
def test_with_runs_as_the_statement_does(probe, case):
    assert observe(probe.run_with, *WITH_CASES[case]) == observe(python_with, *WITH_CASES[case])


def test_with_hands_a_cpp_failure_to_exit_as_the_error_it_becomes(probe):
    kept, swallowed = Recorder(), Recorder(exit_returns=True)
    with pytest.raises(SystemError, match="^native failure$"):
        probe.run_with(kept, "native failure")
    assert probe.run_with(swallowed, "native failure") is False
    assert kept.calls == swallowed.calls == ["enter", ("exit", SystemError, "SystemError", True, None, True)]


class OnlyEnter:
    calls = []

    def __enter__(self):
        self.calls.append("enter")


class OnlyExit:
    def __exit__(self, *exc):
        pass


def on_the_instance():
    manager = types.SimpleNamespace()
    manager.__enter__, manager.__exit__ = (lambda: None), (lambda *exc: None)
    return manager


@pytest.mark.parametrize("make", [object, OnlyEnter, OnlyExit, on_the_instance])
def test_with_refuses_what_the_statement_refuses(probe, make):
    refusals = []
    for run_with in (probe.run_with, python_with):
        with pytest.raises(TypeError) as caught:
            run_with(make(), print)
        refusals.append(str(caught.value))
    assert refusals[0] == refusals[1] and OnlyEnter.calls == []


# ----- forwarded calls ---------------------------------------------------------------------------------


def test_forwarded_calls_bind_and_fail_as_direct_calls(probe):
    for target in (probe.f_all, python_twin("f_all", SIGNATURES["f_all"])):
        for args, kwargs in itertools.product(POSITIONAL, KEYWORDS):
            forwarded = outcome(lambda *a, **k: probe.forward(target, *a, **k), args, kwargs)
            assert forwarded == outcome(target, args, kwargs), (target, args, kwargs)


def test_keyword_calls_pass_each_value_under_its_own_name(probe):
    def target(*args, **kwargs):
        return args, kwargs

    for x, y in [(1, 2), ("p", None), (2, 1)]:
        assert probe.keyword_calls(target, x, y) == [
            ((), {"a": x, "b": y}), ((), {"b": x, "a": y}), ((x,), {"a": y}),
            ((), {"a": x, "b": y, "c": "1", "d": "1", "e": "1", "f": "1"}), ((x, y), {})]


def test_forwarding_after_leading_arguments_takes_any_iterable_and_mapping(probe):
    def target(*args, **kwargs):
        return args, kwargs

    cases = [(None, None), ((), {}), ([2, 3], None), (None, {"x": 1}), ((2,), collections.OrderedDict(y=2, x=1)),
             (None, types.MappingProxyType({"x": 1})), ("ab", collections.UserDict(x=1))]
    for args, kwargs in cases:
        assert probe.forward_after(target, 1, args, kwargs) == target(1, *(args or ()), **(kwargs or {}))
    refused = [(None, {1: 2}), (5, None), (None, 5), (None, [("x", 1)])]
    for args, kwargs in refused:
        texts = []
        for call in (lambda: probe.forward_after(target, 1, args, kwargs),
                     lambda: target(1, *(() if args is None else args), **({} if kwargs is None else kwargs))):
            with pytest.raises(TypeError) as caught:
                call()
            texts.append(str(caught.value))
        assert texts[0] == texts[1], (args, kwargs)


def test_forwarded_values_outlive_code_that_empties_the_callers_mapping(probe):
    class Key(str):
        # a native callee compares each keyword with its parameter names while the later values are
        # still only in the caller's hands
        def __eq__(self, other):
            values.clear()
            garbage.extend(bytearray(b"A" * 24) for _ in range(64))
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    garbage = []
    values = {Key("x"): [1], Key("y"): [2], Key("z"): [3]}
    received = probe.forward_after(probe.f_var, 0, None, values)[3]
    assert sorted((str(k), v) for k, v in received.items()) == [("x", [1]), ("y", [2]), ("z", [3])]


# ----- the GIL --------------------------------------------------------------------------------------------


def test_native_code_without_the_gil_lets_python_threads_run(probe):
    stop = threading.Event()

    def poke():
        while not stop.is_set():
            probe.poke()
            time.sleep(0.001)

    worker = threading.Thread(target=poke)
    worker.start()
    try:
        # only a thread that ran while the native code slept can have poked it
        assert probe.sleep_until_poked(60.0) is True
    finally:
        stop.set()
        worker.join()


# ----- checked reading of what user code hands back, and own methods ------------------------------

@pytest.mark.parametrize("item, outcome", [
    ((1, 2, 3), (1, 2, 3)),
    ([1, 2, 3], (1, 2, 3)),
    (iter("abc"), ("a", "b", "c")),
    ((1, 2), ValueError("not enough values to unpack (expected 3, got 2)")),
    ([1, 2, 3, 4], ValueError("too many values to unpack (expected 3)")),
    (object(), TypeError("cannot unpack non-iterable object object")),
    (None, TypeError("cannot unpack non-iterable NoneType object")),
])
def test_unpack_reads_as_assignment_does(probe, item, outcome):
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as raised:
            probe.unpack3(item)
        assert str(raised.value) == str(outcome)
    else:
        assert probe.unpack3(item) == outcome


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("span", [(1, 3), (-2, 10), (2 ** 70, -(2 ** 70)), (None, None), (5, 1), [0, 1],
                                  (Index(), Index()), (True, False)])
def test_a_span_from_user_code_lands_where_slicing_puts_it(probe, span):
    text = "abcdef"
    start, end = probe.span_in(span, len(text))
    assert 0 <= start <= len(text) and 0 <= end <= len(text)
    assert text[start:end] == text[span[0]:span[1]]


@pytest.mark.parametrize("span, error", [
    (object(), TypeError), ((1,), ValueError), ((1, 2, 3), ValueError), (("a", 1), TypeError),
    ((1.5, 2), TypeError), (None, TypeError),
])
def test_a_span_that_is_no_pair_of_positions_raises(probe, span, error):
    with pytest.raises(error):
        probe.span_in(span, 6)


def test_a_snapshot_walk_is_not_disturbed_by_code_that_empties_the_list(probe):
    items = [object() for _ in range(5)]
    expected = list(items)
    assert probe.snapshot_walk(items, lambda item: items.clear()) == expected
    assert items == []


def test_for_each_stops_where_its_body_says(probe):
    assert probe.items_until([1, 2, 3, 4], 3) == ([1, 2], False)
    assert probe.items_until(iter([1, 2]), 3) == ([1, 2], True)
    assert probe.items_until({"a": 1, "b": 2}, "b") == (["a"], False)


def test_own_methods_follow_overrides_on_classes_and_instances(probe):
    step, finish, init = 1, 2, 4
    walker = probe.Walker()
    assert probe.own_bits(walker) == (7, 7)

    class Plain(probe.Walker):
        pass

    class Overriding(probe.Walker):
        def finish(self):
            return "mine"

    class Initialising(probe.Walker):
        def __init__(self):
            pass

    class Looking(probe.Walker):
        def __getattribute__(self, name):
            return object.__getattribute__(self, name)

    assert probe.own_bits(Plain()) == (7, 7)
    assert probe.own_bits(Overriding()) == (step | init, step | init)
    assert probe.own_bits(Initialising()) == (step | finish, step | finish)
    assert probe.own_bits(Looking()) == (0, 0)
    shadowed = Plain()
    shadowed.step = lambda: "instance"
    assert probe.own_bits(shadowed) == (7, finish | init)
    # a change of the class (or a base) after a verdict was kept is seen at once
    Plain.finish = lambda self: "later"
    assert probe.own_bits(Plain()) == (step | init, step | init)
    del Plain.finish
    assert probe.own_bits(Plain()) == (7, 7)
    original = probe.Walker.step
    try:
        probe.Walker.step = lambda self: "patched"
        assert probe.own_bits(Plain()) == (finish | init, finish | init)
    finally:
        probe.Walker.step = original
    assert probe.own_bits(Plain()) == (7, 7)


def test_a_nonlocal_cell_reads_as_a_closure_variable_does(probe):
    assert probe.cell_round(5) == (
        "cannot access free variable 'late' where it is not associated with a value in enclosing scope", 5)
