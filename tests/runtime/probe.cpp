// A test-only extension module: a table of signatures and small uses of every runtime facility.
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
// the body, so that each copy of the module has its own and the collector sees it.
struct State {
    FunctionTemplate counter;
    template <class V>
    void visit(V& v) {
        v(counter);
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
    m.def("f_all", "(a, b=1, /, c=2, *args, d, e=5, **kw)", &echo<handle, handle, handle, handle, handle, handle, handle>);
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

    object fail = call_method(attr(m.get("os"), "environ"), "get", text("QUARV_PROBE_FAIL"));
    if (truth(fail)) raise(PyExc_RuntimeError, "probe body failed on purpose");
    m.set("AFTER_FAIL_POINT", py::bool_(true));
}
}  // namespace

QUARV_MODULE(_runtime_probe, "_runtime_probe", body, State)
