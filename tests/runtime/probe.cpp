// A test-only extension module: a table of signatures and small uses of every runtime facility.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

template <typename... H>
object echo(Frame&, H... args) {
    return py::make_tuple(args...);
}

object lookup(Frame& f, handle name) { return f.global(name); }

object deep(Frame& f, handle n) {
    RecursionGuard guard;
    long depth = PyLong_AsLong(n.ptr());
    if (depth <= 0) return py::int_(0);
    object next = steal(PyLong_FromLong(depth - 1));
    return call(f.global("deep"), next);
}

object raise_chained(Frame&, handle how, handle original) {
    object replacement = call(handle(PyExc_ValueError), text("replacement"));
    std::string kind = utf8(how);
    if (kind == "cause") raise_from(replacement, original);
    if (kind == "context") raise_with_context(replacement, original);
    if (kind == "none") raise_from_none(replacement, original);
    raise(replacement);
}

object import_into(Frame&, handle module, handle dotted, handle name) {
    ModuleBody body(module.ptr());
    std::string source = utf8(dotted);
    if (name.is_none()) return body.import_(source.c_str());
    std::string wanted = utf8(name);
    body.from_(source.c_str()).import_(wanted.c_str());
    return body.get(wanted);
}

// What the module keeps of its own: the prototype of make_counter's inner function, made once by
// the body, so that each copy of the module has its own and the collector sees it; and how often
// poke() was called, which a thread without the GIL may read.
struct State {
    FunctionTemplate counter;
    std::atomic<long> pokes{0};
    OwnMethods walker_own;  // Walker's step, finish and inherited __init__
    template <class V>
    void visit(V& v) {
        v(counter);
        v(walker_own);
    }
};

object counter_step(Frame& f, handle step) { return steal(PyNumber_Add(f.closure(0).ptr(), step.ptr())); }

object make_counter(Frame& f, handle start) { return f.state<State>().counter.make(tuple_of(start)); }

object base_greet(Frame&, handle self, handle name) { return py::make_tuple(text("base"), self, name); }
object base_make(Frame&, handle cls, handle value) { return py::make_tuple(cls, value); }
object base_twice(Frame&, handle value) { return steal(PyNumber_Add(value.ptr(), value.ptr())); }
object base_kind(Frame&, handle) { return text("base-kind"); }
object child_greet(Frame& f, handle self, handle name) {
    object inherited = f.super_call(self, "greet", name);
    return py::make_tuple(text("child"), inherited);
}
object mydict_init(Frame& f, handle self, handle args, handle kwargs) {
    object init = attr(f.super_(self), "__init__");
    steal(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
    check(PyObject_SetAttrString(self.ptr(), "tag", Py_None));
    return py::none();
}

// class Registry: __new__, __init_subclass__ and __class_getitem__ written as plain methods.
object registry_new(Frame& f, handle cls, handle value) {
    object self = f.super_call(cls, "__new__", cls);
    set_attr(self, "value", value);
    return self;
}
object registry_init_subclass(Frame& f, handle cls, handle tag, handle kwargs) {
    call_forward(attr(f.super_(cls), "__init_subclass__"), {}, handle(), kwargs);
    append(f.global("REGISTERED"), tuple_of(cls, tag));
    return py::none();
}
object registry_class_getitem(Frame&, handle cls, handle item) { return tuple_of(cls, item); }

// class Box: a property with all three accessors, over an instance attribute.
object box_get(Frame&, handle self) { return attr(self, "_content"); }
object box_set(Frame&, handle self, handle value) {
    set_attr(self, "_content", value);
    return py::none();
}
object box_delete(Frame&, handle self) {
    check(PyObject_DelAttr(self.ptr(), intern("_content")));
    return py::none();
}

// class Shape: decorated members.
object shape_measured(Frame&, handle self) {
    object count = optional_attr(self, "measurements");
    set_attr(self, "measurements", integer(count ? as_long(count) + 1 : 1));
    return new_list();
}
// A decorator of the module's own: notes its letter on the function, in the order of application.
template <char Letter>
object mark(Frame&, handle fn) {
    object marks = optional_attr(fn, "marks");
    if (!marks) {
        marks = new_list();
        set_attr(fn, "marks", marks);
    }
    append(marks, text(std::string(1, Letter)));
    return borrow(fn.ptr());
}

// lazy_map(fn, items): fn(items[i]) for each index, the length of items read again at every step,
// as a generator looping over the indices would.
struct LazyMap {
    object fn;
    object items;
    Py_ssize_t index = 0;
    template <typename V>
    void visit(V& v) {
        v(fn);
        v(items);
    }
    object next() {
        if (index >= check_value(PySequence_Size(items.ptr()))) return object();
        object item = steal(PySequence_GetItem(items.ptr(), index++));
        return call(fn, item);
    }
};
object lazy_map(Frame&, handle fn, handle items) {
    return make_iterator(LazyMap{borrow(fn.ptr()), borrow(items.ptr())});
}

// countdown(start, keep): start, start - 1, ..., 1, the step given apart from its state; `keep` is
// held by the state and nothing else.
struct Countdown {
    object current;
    object keep;
    template <typename V>
    void visit(V& v) {
        v(current);
        v(keep);
    }
};
object countdown(Frame&, handle start, handle keep) {
    return make_iterator(Countdown{borrow(start.ptr()), borrow(keep.ptr())}, [](Countdown& state) -> object {
        if (!truth(state.current)) return object();
        object value = state.current;
        state.current = steal(PyNumber_Subtract(value.ptr(), integer(1).ptr()));
        return value;
    });
}

// run_with(manager, body): `with manager as value: body(value)`, true when the body ran to its end;
// a text as body is thrown as a C++ exception instead.
object run_with(Frame&, handle manager, handle body) {
    bool completed = with(manager, [&](handle value) {
        if (PyUnicode_Check(body.ptr())) throw std::runtime_error(utf8(body));
        call(body, value);
    });
    return py::bool_(completed);
}

object forward(Frame&, handle target, handle args, handle kwargs) { return call_forward(target, {}, args, kwargs); }
object forward_after(Frame&, handle target, handle first, handle args, handle kwargs) {
    return call_forward(target, {first}, args, kwargs);
}

// Keyword calls: the same names in another order, a longer list, names after positional ones.
object keyword_calls(Frame&, handle target, handle x, handle y) {
    object one = text("1");
    return list_of(call_kw(target, {}, {{"a", x}, {"b", y}}), call_kw(target, {}, {{"b", x}, {"a", y}}),
                   call_kw(target, {x}, {{"a", y}}),
                   call_kw(target, {}, {{"a", x}, {"b", y}, {"c", one}, {"d", one}, {"e", one}, {"f", one}}),
                   call_kw(target, {x, y}, {}));
}

object poke(Frame& f) {
    ++f.state<State>().pokes;
    return py::none();
}
// Sleeps without the GIL, in short naps, until some thread calls poke() or `seconds` have passed;
// returns whether it was poked. Only a thread that got the GIL meanwhile can have poked it.
object sleep_until_poked(Frame& f, handle seconds) {
    std::atomic<long>& pokes = f.state<State>().pokes;
    long before = pokes.load();
    std::chrono::duration<double> limit(check_value(PyFloat_AsDouble(seconds.ptr())));
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool poked = false;
    {
        ReleaseGil released;
        while (!(poked = pokes.load() != before) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return py::bool_(poked);
}

// Fails in one of the ways native code can, for the error boundary to translate.
object fail_in_way(handle kind) {
    std::string how = utf8(kind);
    if (how == "error") raise(PyExc_KeyError, "set in the indicator");
    if (how == "error without indicator") throw Error{};
    if (how == "error_already_set") {
        PyErr_SetString(PyExc_LookupError, "carried by pybind11");
        throw py::error_already_set();
    }
    if (how == "pybind11 builtin") throw py::value_error("a pybind11 builtin exception");
    if (how == "bad_alloc") throw std::bad_alloc();
    if (how == "std::exception") throw std::runtime_error("a standard exception");
    if (how == "anything") throw 42;
    return py::none();
}

// A lazy sequence whose second step fails as fail_as(kind) does: the iterator's slot is an entry
// point of its own.
struct FailingSteps {
    object kind;
    int step = 0;
    template <typename Visit>
    void visit(Visit& v) {
        v(kind);
    }
    object next() {
        if (step++ == 0) return integer(1);
        return fail_in_way(kind);
    }
};
object fail_as(Frame&, handle kind) { return fail_in_way(kind); }
object failing_iterator(Frame&, handle kind) { return make_iterator(FailingSteps{borrow(kind.ptr())}); }

// ----- checked reading and own methods

object unpack3(Frame&, handle item) {
    auto [a, b, c] = unpack<3>(item);
    return tuple_of(a, b, c);
}

object span_in(Frame&, handle span, handle length) {
    auto [start, end] = span_within(span, as_long(length));
    return tuple_of(integer(start), integer(end));
}

// calls fn(item) for each item of a snapshot of seq, and gives the items it saw
object snapshot_walk(Frame&, handle seq, handle fn) {
    Snapshot items(seq);
    object seen = new_list();
    for (handle item : items) {
        call(fn, item);
        append(seen, item);
    }
    return seen;
}

// the items of iterable up to the first that equals stop, and whether the walk ran to the end
object items_until(Frame&, handle iterable, handle stop) {
    object seen = new_list();
    bool ended = for_each(iterable, [&](handle item) {
        if (equal(item, stop)) return false;
        append(seen, item);
        return true;
    });
    return tuple_of(seen, py::bool_(ended));
}

// a cell read before and after its first assignment: (NameError text, value)
object cell_round(Frame&, handle value) {
    object cell = new_cell();
    object before;
    try {
        cell_get(cell, "late");
    } catch (...) {
        Caught e;
        if (!e.matches(PyExc_NameError)) e.rethrow();
        before = str_of(e.value());
    }
    cell_set(cell, value);
    return tuple_of(before, cell_get(cell, "late"));
}

object walker_step(Frame&, handle) { return text("step"); }
object walker_finish(Frame&, handle) { return text("finish"); }
// the bits of Walker's own methods that obj still has (1 step, 2 finish, 4 __init__), as a class
// and as an instance
object own_bits(Frame& f, handle obj) {
    OwnMethods& own = f.state<State>().walker_own;
    return tuple_of(integer(own.class_bits(Py_TYPE(obj.ptr()))), integer(own.instance_bits(obj)));
}

void body(ModuleBody& m) {
    m.doc("Runtime probe.");
    m.import_("os");
    m.import_("os.path");
    m.import_as("os.path", "ospath");
    m.from_("collections.abc").import_("Mapping", "MutableSequence");
    m.from_("collections").import_as("OrderedDict", "OD");
    if (truth(m.get("__package__"))) m.from_(".sibling").import_("SIBLING");
    m.set("CONSTANT", py::int_(7));
    m.def("f0", "()", &echo<>);
    m.def("f1", "(a)", &echo<handle>);
    m.def("f2", "(a, b)", &echo<handle, handle>);
    m.def("f_def", "(a, b=2, c=3)", &echo<handle, handle, handle>);
    m.def("f_kw", "(a, b, *, c)", &echo<handle, handle, handle>);
    m.def("f_kwdef", "(a, *, c=1, d)", &echo<handle, handle, handle>);
    m.def("f_var", "(a, *args, b=1, **kwargs)", &echo<handle, handle, handle, handle>);
    m.def("f_posonly", "(a, /, b)", &echo<handle, handle>);
    m.def("f_all", "(a, b=1, /, c=2, *args, d, e=5, **kw)",
          &echo<handle, handle, handle, handle, handle, handle, handle>);
    m.def("f_const", "(x=CONSTANT, y=OD)", &echo<handle, handle>);
    m.def("f_ann", "(a: int, b: 'str' = 'x') -> 'dict'", &echo<handle, handle>, "f_ann\n\nAnnotated.");
    m.def("f_shared", "(d={})", &echo<handle>);
    m.def("lookup", "(name)", &lookup);
    m.def("deep", "(n)", &deep);
    m.def("raise_chained", "(how, original)", &raise_chained);
    m.def("import_into", "(module, dotted, name=None)", &import_into);
    m.state<State>().counter =
        FunctionTemplate(function_def("counter", "make_counter.<locals>.counter", "(step=1)", &counter_step), m);
    m.def("make_counter", "(start)", &make_counter);

    ClassBuilder base = m.class_("Base", {}, handle(), "A base class.");
    base.set("KIND", text("base"));
    base.def("greet", "(self, name=KIND)", &base_greet);
    base.classmethod("make", "(cls, value)", &base_make);
    base.staticmethod("twice", "(value)", &base_twice);
    base.property("kind", &base_kind);
    object base_cls = base.create();

    ClassBuilder child = m.class_("Child", {base_cls});
    child.def("greet", "(self, name='c')", &child_greet);
    child.create();

    ClassBuilder mydict = m.class_("MyDict", {borrow(reinterpret_cast<PyObject*>(&PyDict_Type))});
    mydict.def("__init__", "(self, *args, **kwargs)", &mydict_init);
    mydict.create();

    object abc = steal(PyImport_ImportModule("abc"));
    ClassBuilder abstract = m.class_("Abstract", {}, attr(abc, "ABCMeta"));
    abstract.def("run", "(self)", &base_kind);
    abstract.create();

    m.set("REGISTERED", new_list());
    ClassBuilder registry = m.class_("Registry");
    registry.def("__new__", "(cls, value)", &registry_new);
    registry.def("__init_subclass__", "(cls, /, tag=None, **kwargs)", &registry_init_subclass);
    registry.def("__class_getitem__", "(cls, item)", &registry_class_getitem);
    registry.create();

    ClassBuilder box = m.class_("Box");
    box.property("content", &box_get, &box_set, &box_delete, "What the box holds.");
    box.property("readonly", &box_get, nullptr, &box_delete);
    ClassBuilder lid = box.nested("Lid", {borrow(reinterpret_cast<PyObject*>(&PyList_Type))}, handle(), "A lid.");
    lid.set("__slots__", steal(PyTuple_New(0)));
    lid.def("kind", "(self)", &base_kind);
    lid.create();
    box.create();

    m.def("mark_a", "(fn)", &mark<'a'>);
    m.def("mark_b", "(fn)", &mark<'b'>);
    object abstractmethod = attr(abc, "abstractmethod");
    object cached_property = attr(steal(PyImport_ImportModule("functools")), "cached_property");
    ClassBuilder shape = m.class_("Shape", {attr(abc, "ABC")});
    shape.decorated({abstractmethod}).def("area", "(self)", &base_kind);
    shape.decorated({abstractmethod}).property("sides", &base_kind);
    shape.decorated({cached_property}).def("measured", "(self)", &shape_measured);
    shape.decorated({m.get("mark_a"), m.get("mark_b")}).def("marked", "(self)", &base_kind);
    shape.decorated({m.get("mark_a")}).classmethod("make", "(cls, value)", &base_make);
    shape.create();

    m.def("lazy_map", "(fn, items)", &lazy_map);
    m.def("countdown", "(start, keep=None)", &countdown);
    m.def("run_with", "(manager, body)", &run_with);
    m.def("forward", "(target, /, *args, **kwargs)", &forward);
    m.def("forward_after", "(target, first, args=None, kwargs=None)", &forward_after);
    m.def("keyword_calls", "(target, x, y)", &keyword_calls);
    m.def("poke", "()", &poke);
    m.def("sleep_until_poked", "(seconds)", &sleep_until_poked);

    m.def("fail_as", "(kind)", &fail_as);
    m.def("failing_iterator", "(kind)", &failing_iterator);
    m.def("unpack3", "(item)", &unpack3);
    m.def("span_in", "(span, length)", &span_in);
    m.def("snapshot_walk", "(seq, fn)", &snapshot_walk);
    m.def("items_until", "(iterable, stop)", &items_until);
    m.def("own_bits", "(obj)", &own_bits);
    m.def("cell_round", "(value)", &cell_round);
    ClassBuilder walker = m.class_("Walker");
    walker.def("step", "(self)", &walker_step);
    walker.def("finish", "(self)", &walker_finish);
    m.state<State>().walker_own.record(walker.create(), {"step", "finish", "__init__"});

    object fail = call_method(attr(m.get("os"), "environ"), "get", text("QUARV_PROBE_FAIL"));
    if (truth(fail) && utf8(fail) == "c++") throw std::runtime_error("probe body threw on purpose");
    if (truth(fail)) raise(PyExc_RuntimeError, "probe body failed on purpose");
    m.set("AFTER_FAIL_POINT", py::bool_(true));
}
}  // namespace

QUARV_MODULE(_runtime_probe, "_runtime_probe", body, State)
