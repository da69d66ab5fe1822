// Module bodies (multi-phase initialisation), import statements and a module's own state.
#include "native/module.hpp"

#include <cstring>

namespace native {

namespace {

// The interpreter's `__import__`, looked up as an import statement does.
object builtin_import(handle name, handle globals, handle fromlist, int level) {
    PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), intern("__import__"));
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    object import_fn = borrow(found);  // held: the import may rebind builtins.__import__
    return call(import_fn, name, globals, globals, fromlist, integer(level));
}

// Errors on the way are dropped, as the interpreter drops them while it words an ImportError.
bool module_is_initializing(handle module) {
    object spec = py::reinterpret_steal<object>(PyObject_GetAttr(module.ptr(), intern("__spec__")));
    int initializing = spec ? internals::spec_is_initializing(spec.ptr()) : -1;
    if (initializing < 0) PyErr_Clear();
    return initializing == 1;
}

// `from module import name` once the module is imported: the attribute, else the submodule from
// sys.modules, else the interpreter's ImportError.
object import_from(handle module, handle name) {
    if (object found = optional_attr(module, name)) return found;
    // failures while the error is worded are dropped, as the interpreter drops them
    object package_name = py::reinterpret_steal<object>(PyObject_GetAttr(module.ptr(), intern("__name__")));
    if (package_name && PyUnicode_Check(package_name.ptr())) {
        object full = steal(PyUnicode_FromFormat("%U.%U", package_name.ptr(), name.ptr()));
        if (PyObject* submodule = PyImport_GetModule(full.ptr())) return steal(submodule);
        if (PyErr_Occurred()) throw_error();
    } else {
        package_name = object();
        PyErr_Clear();
    }
    object shown_name = package_name ? package_name : text("<unknown module name>");
    object path = py::reinterpret_steal<object>(PyModule_GetFilenameObject(module.ptr()));
    if (!path || !PyUnicode_Check(path.ptr())) {
        PyErr_Clear();
        object message = steal(
            PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(), shown_name.ptr()));
        PyErr_SetImportError(message.ptr(), package_name.ptr(), nullptr);
    } else {
        const char* format = module_is_initializing(module)
                                 ? "cannot import name %R from partially initialized module %R "
                                   "(most likely due to a circular import) (%S)"
                                 : "cannot import name %R from %R (%S)";
        object message = steal(PyUnicode_FromFormat(format, name.ptr(), shown_name.ptr(), path.ptr()));
        PyErr_SetImportError(message.ptr(), package_name.ptr(), path.ptr());
    }
    throw_error();
}

// The interpreter's own __import__: its answer for a module in sys.modules depends on nothing but
// what an ImportMemo's versions cover.
bool is_builtin_import(handle fn) {
    if (!PyCFunction_Check(fn.ptr())) return false;
    auto* cfunction = reinterpret_cast<PyCFunctionObject*>(fn.ptr());
    if (std::strcmp(cfunction->m_ml->ml_name, "__import__") != 0) return false;
    PyObject* owner = cfunction->m_self;
    if (!owner || !PyModule_Check(owner)) return false;
    const char* owner_name = PyModule_GetName(owner);
    if (!owner_name) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(owner_name, "builtins") == 0;
}

// The __dict__ of an object (a module's __spec__), or null.
PyObject* dict_of(handle obj) {
    PyObject** slot = internals::instance_dict_slot(obj.ptr());
    return slot ? *slot : nullptr;
}

}  // namespace

// ----- from x import y, in a function ------------------------------------------------------------

object import_name(handle globals, const char* dotted, Name name) {
    object name_obj = borrow(intern(name));
    object module = builtin_import(text(dotted), globals, tuple_of(name_obj), 0);
    return import_from(module, name_obj);
}

bool ImportMemo::valid(PyObject* modules, PyObject* builtins) const {
    if (!value_ || modules_.ptr() != modules || builtins_.ptr() != builtins) return false;
    if (internals::dict_version(modules) != modules_version_) return false;
    if (internals::dict_version(builtins) != builtins_version_) return false;
    if (internals::dict_version(PyModule_GetDict(module_.ptr())) != module_dict_version_) return false;
    return internals::dict_version(spec_dict_.ptr()) == spec_dict_version_;
}

object ImportMemo::get(handle globals, const char* dotted, Name name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* builtins = PyEval_GetBuiltins();
    if (valid(modules, builtins)) return value_;

    object module_name = text(dotted);
    object name_obj = borrow(intern(name));
    // checked: no call into Python between taking __import__ and holding it
    PyObject* found = PyDict_GetItemWithError(builtins, intern("__import__"));
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    object import_fn = borrow(found);  // held: the import may rebind builtins.__import__
    object module = call(import_fn, module_name, globals, globals, tuple_of(name_obj), integer(0));
    object value = import_from(module, name_obj);
    // remembered only where the statement's answer is known to stay the same while nothing it reads
    // changes: the built-in __import__, and a plain module in sys.modules with a __spec__
    value_ = object();
    // checked: no call into Python between taking the entry and comparing its address
    PyObject* in_modules = PyDict_GetItemWithError(modules, module_name.ptr());
    if (!in_modules && PyErr_Occurred()) throw_error();
    if (in_modules != module.ptr() || !PyModule_CheckExact(module.ptr()) || !is_builtin_import(import_fn)) return value;
    object spec = optional_attr(module, "__spec__");
    PyObject* spec_dict = spec ? dict_of(spec) : nullptr;
    if (!spec_dict) return value;
    module_ = module;
    modules_ = borrow(modules);
    builtins_ = borrow(builtins);
    spec_dict_ = borrow(spec_dict);
    modules_version_ = internals::dict_version(modules);
    builtins_version_ = internals::dict_version(builtins);
    module_dict_version_ = internals::dict_version(PyModule_GetDict(module.ptr()));
    spec_dict_version_ = internals::dict_version(spec_dict);
    value_ = value;
    return value;
}

// ----- module bodies ------------------------------------------------------------------------------

ModuleBody::ModuleBody(PyObject* module) : module_(module), globals_(PyModule_GetDict(module)) {}

object ModuleBody::name() const { return get("__name__"); }

object ModuleBody::import_(const char* dotted) {
    object top = builtin_import(text(dotted), globals_, handle(Py_None), 0);
    const char* dot = std::strchr(dotted, '.');
    std::string bound = dot ? std::string(dotted, static_cast<size_t>(dot - dotted)) : std::string(dotted);
    check(PyDict_SetItemString(globals_.ptr(), bound.c_str(), top.ptr()));
    return top;
}

object ModuleBody::import_as(const char* dotted, const char* as) {
    object module = builtin_import(text(dotted), globals_, handle(Py_None), 0);
    std::string_view rest(dotted);
    size_t dot = rest.find('.');
    while (dot != std::string_view::npos) {
        rest.remove_prefix(dot + 1);
        dot = rest.find('.');
        module = import_from(module, text(rest.substr(0, dot)));
    }
    check(PyDict_SetItemString(globals_.ptr(), as, module.ptr()));
    return module;
}

FromImport ModuleBody::from_(const char* dotted) { return FromImport(*this, dotted); }

void ModuleBody::set(std::string_view name, handle value) {
    check(PyDict_SetItem(globals_.ptr(), name_of(name).ptr(), value.ptr()));
}

object ModuleBody::get(std::string_view name) const {
    object key = name_of(name);
    PyObject* value = PyDict_GetItemWithError(globals_.ptr(), key.ptr());
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw_error();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
    if (value) return borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw_error();
}

void ModuleBody::doc(const char* text_) { set("__doc__", text(text_)); }

object ModuleBody::define(const FunctionDef& def) {
    object fn = make_function(def, *this);
    set(def.name, fn);
    return fn;
}

FromImport::FromImport(ModuleBody& body, const char* dotted) : body_(body) {
    int level = 0;
    while (dotted[level] == '.') ++level;
    source_ = text(dotted + level);
    level_ = level;
}

FromImport& FromImport::import_as(const char* name, const char* as) {
    object name_obj = text(name);
    object fromlist = steal(PyTuple_Pack(1, name_obj.ptr()));
    object module = builtin_import(source_, body_.globals(), fromlist, level_);
    body_.set(as, import_from(module, name_obj));
    return *this;
}

// ----- module state and execution -------------------------------------------------------------

namespace detail {

namespace {
StateCell* cell_of(PyObject* module) { return static_cast<StateCell*>(PyModule_GetState(module)); }
}  // namespace

int exec_module(PyObject* module, const ModuleSpec& spec) noexcept {
    return boundary_status([&] {
        // pybind11 makes its shared state when first needed, which may be deep in a recursion or in
        // an error path; made here, no later error needs Python calls to be reported.
        py::detail::get_internals();
        StateCell* cell = cell_of(module);
        if (!cell) throw_error();
        if (!cell->state) {
            *cell = {spec.create_state(), spec.traverse, spec.clear, spec.destroy};
        }
        ModuleBody m(module);
        // as for a module run from source: its namespace names the built-ins it was run with
        PyObject* globals = m.globals().ptr();
        if (!PyDict_GetItemWithError(globals, intern("__builtins__"))) {
            if (PyErr_Occurred()) throw_error();
            check(PyDict_SetItem(globals, intern("__builtins__"), PyEval_GetBuiltins()));
        }
        spec.body(m);
    });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    StateCell* cell = cell_of(module);
    return cell && cell->state ? cell->traverse(cell->state, visit, arg) : 0;
}

int clear_module(PyObject* module) {
    StateCell* cell = cell_of(module);
    if (cell && cell->state) cell->clear(cell->state);
    return 0;
}

void free_module(void* module) {
    StateCell* cell = cell_of(static_cast<PyObject*>(module));
    if (!cell || !cell->state) return;
    cell->clear(cell->state);
    cell->destroy(cell->state);
    cell->state = nullptr;
}

}  // namespace detail

void* module_state(handle module) {
    auto* cell = static_cast<detail::StateCell*>(PyModule_GetState(module.ptr()));
    if (!cell || !cell->state) raise(PyExc_SystemError, "native module state is missing");
    return cell->state;
}

}  // namespace native
