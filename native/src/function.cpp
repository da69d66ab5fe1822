// The native function type: a C++ implementation behind a Python function's face (signature,
// defaults, attributes, descriptor binding, the interpreter's own argument errors).
#include <memory>
#include <vector>

#include "native/module.hpp"

namespace native {

namespace {

// What every function object made from one definition shares: the parsed parameter list.
struct Signature {
    Py_ssize_t argcount = 0;  // positional parameters, positional-only ones included
    Py_ssize_t posonly = 0;
    Py_ssize_t kwonly = 0;
    bool varargs = false;
    bool varkw = false;
    std::vector<object> names;  // every parameter, in slot order; interned by the compiler

    Py_ssize_t total() const { return argcount + kwonly + (varargs ? 1 : 0) + (varkw ? 1 : 0); }
    Py_ssize_t varargs_slot() const { return argcount + kwonly; }
    Py_ssize_t varkw_slot() const { return argcount + kwonly + (varargs ? 1 : 0); }
};

// Holds no object that could lead back to the function or its module: the capsule that owns it is
// not seen by the garbage collector.
struct Shared {
    FunctionDef def;
    Signature sig;
    object code;
};

}  // namespace

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* shared_capsule;
    const Shared* shared;
    PyObject* home;  // the module the function was defined in
    PyObject* globals;
    PyObject* builtins;  // the built-ins dict the function was made with, as a Python function keeps
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* closure;
    PyObject* defining_class;
    PyObject* weakreflist;
};

namespace {

// ----- argument errors, worded as the interpreter words them -----------------------------------

void format_missing(FunctionObject* fn, const char* kind, const std::vector<PyObject*>& names) {
    // names are reprs
    object joined;
    size_t count = names.size();
    if (count == 1) {
        joined = borrow(names[0]);
    } else if (count == 2) {
        joined = steal(PyUnicode_FromFormat("%U and %U", names[0], names[1]));
    } else {
        object tail = steal(PyUnicode_FromFormat("%U, and %U", names[count - 2], names[count - 1]));
        object head = steal(PyList_New(0));
        for (size_t i = 0; i + 2 < count; ++i) check(PyList_Append(head.ptr(), names[i]));
        check(PyList_Append(head.ptr(), tail.ptr()));
        joined = steal(PyUnicode_Join(intern(", "), head.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", fn->qualname,
                 static_cast<Py_ssize_t>(count), kind, count == 1 ? "" : "s", joined.ptr());
    throw_error();
}

void missing_arguments(FunctionObject* fn, PyObject* const* slots, Py_ssize_t start, Py_ssize_t end, const char* kind) {
    std::vector<object> reprs;
    for (Py_ssize_t i = start; i < end; ++i)
        if (!slots[i]) reprs.push_back(repr_of(fn->shared->sig.names[static_cast<size_t>(i)]));
    std::vector<PyObject*> names;
    for (const object& name : reprs) names.push_back(name.ptr());
    format_missing(fn, kind, names);
}

void too_many_positional(FunctionObject* fn, PyObject* const* slots, Py_ssize_t given) {
    const Signature& sig = fn->shared->sig;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = sig.argcount; i < sig.argcount + sig.kwonly; ++i)
        if (slots[i]) ++kwonly_given;
    Py_ssize_t defcount = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    bool plural = defcount || sig.argcount != 1;
    object shape = defcount ? steal(PyUnicode_FromFormat("from %zd to %zd", sig.argcount - defcount, sig.argcount))
                            : steal(PyUnicode_FromFormat("%zd", sig.argcount));
    object kwonly_text =
        kwonly_given ? steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                  given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                     : text("");
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", fn->qualname, shape.ptr(),
                 plural ? "s" : "", given, kwonly_text.ptr(), given == 1 && !kwonly_given ? "was" : "were");
    throw_error();
}

Py_ssize_t find_keyword(const Signature& sig, PyObject* key) {
    Py_ssize_t end = sig.argcount + sig.kwonly;
    for (Py_ssize_t i = sig.posonly; i < end; ++i)
        if (sig.names[static_cast<size_t>(i)].ptr() == key) return i;
    for (Py_ssize_t i = sig.posonly; i < end; ++i) {
        int eq = PyObject_RichCompareBool(sig.names[static_cast<size_t>(i)].ptr(), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// The interpreter's error for positional-only parameters passed by keyword, thrown; false when none was.
bool positional_only_passed_as_keyword(FunctionObject* fn, PyObject* kwnames) {
    const Signature& sig = fn->shared->sig;
    object passed = steal(PyList_New(0));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        for (Py_ssize_t i = 0; i < sig.posonly; ++i) {
            int eq = PyObject_RichCompareBool(sig.names[static_cast<size_t>(i)].ptr(), key, Py_EQ);
            check(eq);
            if (eq) {
                check(PyList_Append(passed.ptr(), key));
                break;
            }
        }
    }
    if (PyList_GET_SIZE(passed.ptr()) == 0) return false;
    object joined = steal(PyUnicode_Join(intern(", "), passed.ptr()));
    PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                 fn->qualname, joined.ptr());
    throw_error();
}

// Fills `slots` (new references) from a vectorcall; a wrong call throws the interpreter's error.
void bind_arguments(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Signature& sig = fn->shared->sig;
    if (sig.varkw) {
        slots[sig.varkw_slot()] = PyDict_New();
        if (!slots[sig.varkw_slot()]) throw_error();
    }
    Py_ssize_t n = nargs < sig.argcount ? nargs : sig.argcount;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = Py_NewRef(args[i]);
    if (sig.varargs) {
        PyObject* rest = PyTuple_New(nargs > n ? nargs - n : 0);
        if (!rest) throw_error();
        for (Py_ssize_t i = n; i < nargs; ++i) PyTuple_SET_ITEM(rest, i - n, Py_NewRef(args[i]));
        slots[sig.varargs_slot()] = rest;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            throw_error();
        }
        Py_ssize_t index = find_keyword(sig, key);
        if (index == -2) throw_error();
        if (index < 0) {
            if (!sig.varkw) {
                if (sig.posonly) positional_only_passed_as_keyword(fn, kwnames);
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
                throw_error();
            }
            check(PyDict_SetItem(slots[sig.varkw_slot()], key, value));
            continue;
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
            throw_error();
        }
        slots[index] = Py_NewRef(value);
    }
    if (nargs > sig.argcount && !sig.varargs) {
        too_many_positional(fn, slots, nargs);
    }
    if (nargs < sig.argcount) {
        Py_ssize_t defcount = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
        Py_ssize_t first_default = sig.argcount - defcount;
        for (Py_ssize_t i = nargs; i < first_default; ++i) {
            if (!slots[i]) {
                missing_arguments(fn, slots, 0, first_default, "positional");
            }
        }
        for (Py_ssize_t i = n > first_default ? n - first_default : 0; i < defcount; ++i) {
            if (!slots[first_default + i]) slots[first_default + i] = Py_NewRef(PyTuple_GET_ITEM(fn->defaults, i));
        }
    }
    bool kwonly_missing = false;
    for (Py_ssize_t i = sig.argcount; i < sig.argcount + sig.kwonly; ++i) {
        if (slots[i]) continue;
        if (fn->kwdefaults) {
            PyObject* value = PyDict_GetItemWithError(fn->kwdefaults, sig.names[static_cast<size_t>(i)].ptr());
            if (value) {
                slots[i] = Py_NewRef(value);
                continue;
            }
            if (PyErr_Occurred()) throw_error();
        }
        kwonly_missing = true;
    }
    if (kwonly_missing) missing_arguments(fn, slots, sig.argcount, sig.argcount + sig.kwonly, "keyword-only");
}

// The parameter slots of one call: new references, released however the call ends.
class Slots {
public:
    explicit Slots(Py_ssize_t count) : count_(count) {
        if (count > static_cast<Py_ssize_t>(std::size(small_))) {
            large_.assign(static_cast<size_t>(count), nullptr);
            slots_ = large_.data();
        }
    }
    ~Slots() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    PyObject** data() { return slots_; }

private:
    Py_ssize_t count_;
    PyObject* small_[12] = {};
    std::vector<PyObject*> large_;
    PyObject** slots_ = small_;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        // a native function called again through user code, or with a raised recursion limit,
        // meets the end of the native stack here rather than past it
        check_native_stack();
        // held for the call, as a running Python function's frame holds it: a caller with only a
        // borrowed reference (a signal handler being replaced) may drop the last one meanwhile
        object held = borrow(callable);
        auto* fn = reinterpret_cast<FunctionObject*>(callable);
        Slots slots(fn->shared->sig.total());
        bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, slots.data());
        Frame frame(fn, fn->globals, fn->builtins, fn->home);
        return fn->shared->def.trampoline(frame, slots.data(), fn->shared->def.target);
    });
}

// ----- the type -----------------------------------------------------------------------------

int function_traverse(FunctionObject* fn, visitproc visit, void* arg) {
    Py_VISIT(fn->shared_capsule);
    Py_VISIT(fn->home);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->defining_class);
    return 0;
}

int function_clear(FunctionObject* fn) {
    Py_CLEAR(fn->home);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->closure);
    Py_CLEAR(fn->defining_class);
    return 0;
}

void function_dealloc(FunctionObject* fn) {
    PyObject_GC_UnTrack(fn);
    if (fn->weakreflist) PyObject_ClearWeakRefs(reinterpret_cast<PyObject*>(fn));
    function_clear(fn);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->shared_capsule);
    PyObject_GC_Del(fn);
}

PyObject* function_repr(FunctionObject* fn) { return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, fn); }

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(FunctionObject* fn, void*) { return Py_NewRef(fn->name); }
int set_name(FunctionObject* fn, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(fn->name, Py_NewRef(value));
    return 0;
}
PyObject* get_qualname(FunctionObject* fn, void*) { return Py_NewRef(fn->qualname); }
int set_qualname(FunctionObject* fn, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(fn->qualname, Py_NewRef(value));
    return 0;
}
PyObject* get_defaults(FunctionObject* fn, void*) { return Py_NewRef(fn->defaults ? fn->defaults : Py_None); }
int set_defaults(FunctionObject* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(fn->defaults, Py_XNewRef(value));
    return 0;
}
PyObject* get_kwdefaults(FunctionObject* fn, void*) { return Py_NewRef(fn->kwdefaults ? fn->kwdefaults : Py_None); }
int set_kwdefaults(FunctionObject* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(fn->kwdefaults, Py_XNewRef(value));
    return 0;
}
PyObject* get_annotations(FunctionObject* fn, void*) {
    if (!fn->annotations) fn->annotations = PyDict_New();
    return Py_XNewRef(fn->annotations);
}
int set_annotations(FunctionObject* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(fn->annotations, Py_XNewRef(value));
    return 0;
}
PyObject* get_code(FunctionObject* fn, void*) { return Py_NewRef(fn->shared->code.ptr()); }
// The captured values, shown as cells the way a Python closure shows them.
PyObject* get_closure(FunctionObject* fn, void*) {
    if (!fn->closure || !PyTuple_Check(fn->closure)) Py_RETURN_NONE;
    Py_ssize_t size = PyTuple_GET_SIZE(fn->closure);
    PyObject* cells = PyTuple_New(size);
    if (!cells) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* cell = PyCell_New(PyTuple_GET_ITEM(fn->closure, i));
        if (!cell) {
            Py_DECREF(cells);
            return nullptr;
        }
        PyTuple_SET_ITEM(cells, i, cell);
    }
    return cells;
}
PyObject* get_builtins(FunctionObject* fn, void*) { return Py_NewRef(fn->builtins); }
// Built from the function's current attributes at each access, as inspect builds it for a function.
PyObject* get_signature(FunctionObject* fn, void*) {
    return boundary([&] {
        object inspect = steal(PyImport_ImportModule("inspect"));
        return call(attr(inspect, "_signature_from_function"), attr(inspect, "Signature"),
                    handle(reinterpret_cast<PyObject*>(fn)))
            .release()
            .ptr();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", reinterpret_cast<getter>(get_name), reinterpret_cast<setter>(set_name), nullptr, nullptr},
    {"__qualname__", reinterpret_cast<getter>(get_qualname), reinterpret_cast<setter>(set_qualname), nullptr, nullptr},
    {"__defaults__", reinterpret_cast<getter>(get_defaults), reinterpret_cast<setter>(set_defaults), nullptr, nullptr},
    {"__kwdefaults__", reinterpret_cast<getter>(get_kwdefaults), reinterpret_cast<setter>(set_kwdefaults), nullptr,
     nullptr},
    {"__annotations__", reinterpret_cast<getter>(get_annotations), reinterpret_cast<setter>(set_annotations), nullptr,
     nullptr},
    {"__code__", reinterpret_cast<getter>(get_code), nullptr, nullptr, nullptr},
    {"__closure__", reinterpret_cast<getter>(get_closure), nullptr, nullptr, nullptr},
    {"__builtins__", reinterpret_cast<getter>(get_builtins), nullptr, nullptr, nullptr},
    {"__signature__", reinterpret_cast<getter>(get_signature), nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// Pickled by reference, as plain functions are.
PyObject* function_reduce(FunctionObject* fn, PyObject*) { return Py_NewRef(fn->qualname); }

PyMethodDef function_methods[] = {{"__reduce__", reinterpret_cast<PyCFunction>(function_reduce), METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyTypeObject make_function_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = reinterpret_cast<destructor>(function_dealloc);
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = reinterpret_cast<reprfunc>(function_repr);
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = reinterpret_cast<traverseproc>(function_traverse);
    t.tp_clear = reinterpret_cast<inquiry>(function_clear);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}

PyTypeObject function_type_object = make_function_type();

// ----- definitions ----------------------------------------------------------------------------

void destroy_shared(PyObject* capsule) {
    delete static_cast<Shared*>(PyCapsule_GetPointer(capsule, "native.function.shared"));
}

// The namespace's `__builtins__` (a module stands for its dict), else the running ones: what a
// Python function made in that namespace would use.
object builtins_of(handle globals) {
    PyObject* named = PyDict_GetItemWithError(globals.ptr(), intern("__builtins__"));
    if (!named && PyErr_Occurred()) throw_error();
    if (named && PyModule_Check(named)) return borrow(PyModule_GetDict(named));
    if (named && PyDict_Check(named)) return borrow(named);
    return borrow(PyEval_GetBuiltins());
}

FunctionObject* allocate_function() {
    if (PyType_Ready(&function_type_object) < 0) throw_error();
    auto* fn = PyObject_GC_New(FunctionObject, &function_type_object);
    if (!fn) throw_error();
    // every field starts empty, so that a failure below frees a consistent object
    fn->vectorcall = function_vectorcall;
    fn->shared_capsule = nullptr;
    fn->shared = nullptr;
    fn->home = fn->globals = fn->builtins = nullptr;
    fn->name = fn->qualname = fn->module = fn->doc = nullptr;
    fn->defaults = fn->kwdefaults = fn->annotations = fn->dict = nullptr;
    fn->closure = fn->defining_class = fn->weakreflist = nullptr;
    return fn;
}

PyObject* copy_dict_or_null(PyObject* dict) {
    if (!dict) return nullptr;
    PyObject* copy = PyDict_Copy(dict);
    if (!copy) throw_error();
    return copy;
}

// The first function object of a definition. The signature text is compiled as the header of a
// `def` with an empty body, in the module's namespace (and the class namespace for methods), so
// that defaults and annotations are evaluated exactly as the interpreter evaluates them when a `def`
// statement runs.
object create_prototype(const FunctionDef& def, handle module, handle class_namespace) {
    handle globals = PyModule_GetDict(module.ptr());
    object module_name = borrow(PyDict_GetItemWithError(globals.ptr(), intern("__name__")));
    auto shared = std::make_unique<Shared>();
    shared->def = def;
    std::string source = "def " + def.name + def.signature + ": pass\n";
    object filename = steal(PyUnicode_FromFormat("<%U>", module_name.ptr()));
    object code = steal(Py_CompileStringObject(source.c_str(), filename.ptr(), Py_file_input, nullptr, -1));
    object scratch = class_namespace ? steal(PyDict_Copy(class_namespace.ptr())) : new_dict();
    steal(PyEval_EvalCode(code.ptr(), globals.ptr(), scratch.ptr()));
    object stub = borrow(PyDict_GetItemString(scratch.ptr(), def.name.c_str()));
    object stub_code = attr(stub, "__code__");
    internals::CodeShape shape = internals::code_shape(stub_code.ptr());
    Signature& sig = shared->sig;
    sig.argcount = shape.argcount;
    sig.posonly = shape.posonly;
    sig.kwonly = shape.kwonly;
    sig.varargs = shape.varargs;
    sig.varkw = shape.varkw;
    object varnames = attr(stub_code, "co_varnames");
    for (Py_ssize_t i = 0; i < sig.total(); ++i) sig.names.push_back(borrow(PyTuple_GET_ITEM(varnames.ptr(), i)));
    if (static_cast<size_t>(sig.total()) != def.arity) {
        throw std::logic_error("native function " + def.qualname + ": signature " + def.signature +
                               " does not match the arity of its implementation");
    }
    shared->code =
        call_kw(attr(stub_code, "replace"), {}, {{"co_name", text(def.name)}, {"co_qualname", text(def.qualname)}});
    object capsule = steal(PyCapsule_New(shared.get(), "native.function.shared", destroy_shared));
    const Shared* raw = shared.release();

    object defaults = attr(stub, "__defaults__");
    object kwdefaults = attr(stub, "__kwdefaults__");
    object annotations = attr(stub, "__annotations__");
    object builtins = builtins_of(globals);
    FunctionObject* fn = allocate_function();
    object result = py::reinterpret_steal<object>(reinterpret_cast<PyObject*>(fn));
    fn->shared_capsule = capsule.release().ptr();
    fn->shared = raw;
    fn->home = Py_NewRef(module.ptr());
    fn->globals = Py_NewRef(globals.ptr());
    fn->builtins = builtins.release().ptr();
    fn->name = text(def.name).release().ptr();
    fn->qualname = text(def.qualname).release().ptr();
    fn->module = module_name.release().ptr();
    fn->doc = def.doc ? text(def.doc).release().ptr() : Py_NewRef(Py_None);
    fn->defaults = defaults.is_none() ? nullptr : defaults.release().ptr();
    fn->kwdefaults = kwdefaults.is_none() ? nullptr : kwdefaults.release().ptr();
    fn->annotations = annotations.release().ptr();
    PyObject_GC_Track(fn);
    return result;
}

FunctionObject* as_function(handle obj) {
    if (Py_TYPE(obj.ptr()) != &function_type_object) throw std::logic_error("not a native function");
    return reinterpret_cast<FunctionObject*>(obj.ptr());
}

// Another function object of the prototype's definition, with its defaults as they were made and
// a closure of its own.
object clone_function(handle prototype_obj, handle closure) {
    FunctionObject* prototype = as_function(prototype_obj);
    FunctionObject* fn = allocate_function();
    object result = py::reinterpret_steal<object>(reinterpret_cast<PyObject*>(fn));
    fn->shared_capsule = Py_NewRef(prototype->shared_capsule);
    fn->shared = prototype->shared;
    fn->home = Py_NewRef(prototype->home);
    fn->globals = Py_NewRef(prototype->globals);
    fn->builtins = Py_NewRef(prototype->builtins);
    fn->name = text(fn->shared->def.name).release().ptr();
    fn->qualname = text(fn->shared->def.qualname).release().ptr();
    fn->module = Py_XNewRef(prototype->module);
    fn->doc = fn->shared->def.doc ? text(fn->shared->def.doc).release().ptr() : Py_NewRef(Py_None);
    fn->defaults = Py_XNewRef(prototype->defaults);
    fn->kwdefaults = copy_dict_or_null(prototype->kwdefaults);
    fn->annotations = copy_dict_or_null(prototype->annotations);
    fn->closure = closure ? Py_NewRef(closure.ptr()) : nullptr;
    PyObject_GC_Track(fn);
    return result;
}

}  // namespace

FunctionTemplate::FunctionTemplate(const FunctionDef& def, ModuleBody& module, handle class_namespace)
    : prototype_(create_prototype(def, module.module(), class_namespace)) {}

object FunctionTemplate::make(handle closure) const { return clone_function(prototype_, closure); }

object make_function(const FunctionDef& def, ModuleBody& module, handle class_namespace) {
    return create_prototype(def, module.module(), class_namespace);
}

void set_defining_class(handle function, handle cls) {
    FunctionObject* fn = as_function(function);
    Py_XSETREF(fn->defining_class, Py_NewRef(cls.ptr()));
}

bool is_native_function(handle obj) { return Py_TYPE(obj.ptr()) == &function_type_object; }

// ----- the frame ------------------------------------------------------------------------------

object Frame::global(Name name) const { return global(handle(intern(name))); }

object Frame::global(handle name) const {
    PyObject* value = PyDict_GetItemWithError(fn_->globals, name.ptr());
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw_error();
    value = PyDict_GetItemWithError(builtins_, name.ptr());
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw_error();
    object message = steal(PyUnicode_FromFormat("name '%U' is not defined", name.ptr()));
    object error = call(handle(PyExc_NameError), message);
    set_attr(error, "name", name);
    raise(error);
}

object Frame::refresh(GlobalSlot& slot) const {
    PyObject* name = intern(slot.name);
    PyObject* value = PyDict_GetItemWithError(globals_, name);
    PyObject* builtins = nullptr;
    if (!value) {
        if (PyErr_Occurred()) throw_error();
        builtins = builtins_;
        value = PyDict_GetItemWithError(builtins, name);
        if (!value) return global(handle(name));  // an error, or the NameError
    }
    slot.dict = globals_;
    slot.version = internals::dict_version(globals_);
    slot.builtins = builtins;
    slot.builtins_version = builtins ? internals::dict_version(builtins) : 0;
    slot.value = value;
    return borrow(value);
}

Frame frame_of(handle function) {
    FunctionObject* fn = as_function(function);
    return Frame(fn, fn->globals, fn->builtins, fn->home);
}

handle Frame::closure(size_t index) const { return PyTuple_GET_ITEM(fn_->closure, static_cast<Py_ssize_t>(index)); }

handle Frame::function() const { return reinterpret_cast<PyObject*>(fn_); }

object Frame::super_(handle obj) const {
    if (!fn_->defining_class) raise(PyExc_RuntimeError, "super(): __class__ cell not found");
    return call(handle(reinterpret_cast<PyObject*>(&PySuper_Type)), handle(fn_->defining_class), obj);
}

bool Frame::is_self(handle obj) const { return obj.ptr() == reinterpret_cast<PyObject*>(fn_); }

}  // namespace native
