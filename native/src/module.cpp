// Module bodies (multi-phase initialisation), import statements and class statements.
#include <cstring>

#include "native/native.hpp"

namespace native {

namespace {

// The interpreter's `__import__`, looked up as an import statement does.
object builtin_import(handle name, handle globals, handle fromlist, int level) {
    PyObject* import_fn = PyDict_GetItemWithError(PyEval_GetBuiltins(), intern("__import__"));
    if (!import_fn) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    object level_obj = steal(PyLong_FromLong(level));
    return call(handle(import_fn), name, globals, globals, fromlist, level_obj);
}

bool module_is_initializing(handle module) {
    PyObject* module_spec = PyObject_GetAttr(module.ptr(), intern("__spec__"));
    if (!module_spec) {
        PyErr_Clear();
        return false;
    }
    int result = _PyModuleSpec_IsInitializing(module_spec);
    Py_DECREF(module_spec);
    return result == 1;
}

// `from module import name` once the module is imported: the attribute, else the submodule from
// sys.modules, else the interpreter's ImportError.
object import_from(handle module, handle name) {
    PyObject* found = nullptr;
    if (check(_PyObject_LookupAttr(module.ptr(), name.ptr(), &found))) return steal(found);
    object package_name;
    PyObject* raw_name = PyObject_GetAttr(module.ptr(), intern("__name__"));
    if (raw_name && PyUnicode_Check(raw_name)) {
        package_name = steal(raw_name);
        object full = steal(PyUnicode_FromFormat("%U.%U", package_name.ptr(), name.ptr()));
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule) return steal(submodule);
        if (PyErr_Occurred()) throw py::error_already_set();
    } else {
        Py_XDECREF(raw_name);
        PyErr_Clear();
    }
    object shown_name = package_name ? package_name : text("<unknown module name>");
    PyObject* path = PyModule_GetFilenameObject(module.ptr());
    object message;
    if (!path || !PyUnicode_Check(path)) {
        Py_XDECREF(path);
        PyErr_Clear();
        message = steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(),
                                             shown_name.ptr()));
        PyErr_SetImportError(message.ptr(), package_name ? package_name.ptr() : nullptr, nullptr);
    } else {
        object path_obj = steal(path);
        const char* format = module_is_initializing(module)
                                 ? "cannot import name %R from partially initialized module %R "
                                   "(most likely due to a circular import) (%S)"
                                 : "cannot import name %R from %R (%S)";
        message = steal(PyUnicode_FromFormat(format, name.ptr(), shown_name.ptr(), path_obj.ptr()));
        PyErr_SetImportError(message.ptr(), package_name ? package_name.ptr() : nullptr, path_obj.ptr());
    }
    throw py::error_already_set();
}

}  // namespace

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

void ModuleBody::set(const char* name, handle value) { check(PyDict_SetItemString(globals_.ptr(), name, value.ptr())); }

object ModuleBody::get(const char* name) const {
    PyObject* value = PyDict_GetItemWithError(globals_.ptr(), intern(name));
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), intern(name));
    if (value) return borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

void ModuleBody::doc(const char* text_) { set("__doc__", text(text_)); }

object ModuleBody::define(const FunctionDef& def) {
    object fn = make_function(def, globals_, name());
    set(def.name.c_str(), fn);
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

int run_module_body(PyObject* module, BodyFn body) {
    try {
        ModuleBody m(module);
        // as for a module run from source: its namespace names the built-ins it was run with
        PyObject* globals = m.globals().ptr();
        if (!PyDict_GetItemWithError(globals, intern("__builtins__"))) {
            if (PyErr_Occurred()) throw py::error_already_set();
            check(PyDict_SetItem(globals, intern("__builtins__"), PyEval_GetBuiltins()));
        }
        body(m);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return -1;
}

// ----- class statements ------------------------------------------------------------------------

namespace {

// The most derived metaclass of the bases, as the class statement computes it.
object derive_metaclass(handle explicit_meta, handle bases) {
    object winner = explicit_meta ? borrow(explicit_meta.ptr()) : borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    if (!PyType_Check(winner.ptr())) return winner;
    for (handle base : py::reinterpret_borrow<py::tuple>(bases)) {
        object base_meta = type_of(base);
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner.ptr()),
                             reinterpret_cast<PyTypeObject*>(base_meta.ptr())))
            continue;
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base_meta.ptr()),
                             reinterpret_cast<PyTypeObject*>(winner.ptr()))) {
            winner = base_meta;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return winner;
}

}  // namespace

ClassBuilder::ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases, handle metaclass,
                           const char* doc)
    : module_(module), name_(std::move(name)) {
    bases_ = steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    for (size_t i = 0; i < bases.size(); ++i)
        PyTuple_SET_ITEM(bases_.ptr(), static_cast<Py_ssize_t>(i), bases[i].inc_ref().ptr());
    metaclass_ = derive_metaclass(metaclass, bases_);
    PyObject* prepare = nullptr;
    check(_PyObject_LookupAttr(metaclass_.ptr(), intern("__prepare__"), &prepare));
    if (prepare) {
        object prepare_fn = steal(prepare);
        namespace__ = call(prepare_fn, text(name_), bases_);
    } else {
        namespace__ = steal(PyDict_New());
    }
    set("__module__", module_.name());
    set("__qualname__", text(name_));
    if (doc) set("__doc__", text(doc));
}

ClassBuilder& ClassBuilder::set(const char* name, handle value) {
    check(PyObject_SetItem(namespace__.ptr(), intern(name), value.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::add_function(const char* name, const FunctionDef& def, Wrap wrap) {
    object ns = PyDict_Check(namespace__.ptr()) ? namespace__ : steal(PyDict_New());
    object fn = make_function(def, module_.globals(), module_.name(), ns);
    functions_.push_back(fn);
    object member = fn;
    switch (wrap) {
        case Wrap::none:
            break;
        case Wrap::static_:
            member = steal(PyStaticMethod_New(fn.ptr()));
            break;
        case Wrap::class_:
            member = steal(PyClassMethod_New(fn.ptr()));
            break;
        case Wrap::property:
            member = call(handle(reinterpret_cast<PyObject*>(&PyProperty_Type)), fn);
            break;
    }
    return set(name, member);
}

object ClassBuilder::create() {
    object cls = call(metaclass_, text(name_), bases_, namespace__);
    for (const object& fn : functions_) set_defining_class(fn, cls);
    module_.set(name_.c_str(), cls);
    return cls;
}

}  // namespace native
