// Recognising this module's own classes, small object helpers.
#include "veltrane.hpp"

namespace veltrane {

namespace {

bool found_as(PyTypeObject* type, Name name, handle expected) {
    return internals::type_lookup(type, intern(name)) == expected.ptr();
}

bool still_valid(const ClassVerdict& verdict, PyTypeObject* type) {
    return verdict.cls.ptr() == reinterpret_cast<PyObject*>(type) && verdict.version != 0 &&
           internals::type_version(type) == verdict.version;
}

void remember(ClassVerdict& verdict, PyTypeObject* type, bool untouched) {
    verdict.cls = borrow(reinterpret_cast<PyObject*>(type));
    verdict.version = internals::type_version(type);
    verdict.untouched = untouched;
}

bool plain_type(PyTypeObject* type) {
    return Py_IS_TYPE(type, &PyType_Type) && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

}  // namespace

bool schema_class_untouched(Frame& f, handle cls) {
    State& state = f.state<State>();
    const OwnObjects& own = state.own;
    if (cls.ptr() != own.Schema.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (still_valid(state.schema_verdict, type)) return state.schema_verdict.untouched;
    bool untouched = plain_type(type) && type->tp_new == PyBaseObject_Type.tp_new &&
                     found_as(type, "__init__", own.schema_init) && found_as(type, "validate", own.schema_validate) &&
                     found_as(type, "__str__", own.schema_str);
    remember(state.schema_verdict, type, untouched);
    return untouched;
}

bool path_class_untouched(Frame& f, handle cls) {
    State& state = f.state<State>();
    const OwnObjects& own = state.own;
    if (cls.ptr() != own.Path.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (still_valid(state.path_verdict, type)) return state.path_verdict.untouched;
    bool untouched = plain_type(type) && type->tp_new == PyTuple_Type.tp_new &&
                     type->tp_init == PyBaseObject_Type.tp_init && found_as(type, "__eq__", own.path_eq) &&
                     found_as(type, "is_dynamic", own.path_is_dynamic) &&
                     found_as(type, "missing_from", own.path_missing_from);
    remember(state.path_verdict, type, untouched);
    return untouched;
}

bool priority_untouched(Frame& f, handle cls) {
    return Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
           found_as(reinterpret_cast<PyTypeObject*>(cls.ptr()), "priority", f.state<State>().own.priority);
}

PyObject* class_function(handle obj, Name name) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* key = intern(name);
    // a native function is no data descriptor: an instance attribute of that name would win. Asked
    // first: a key's equality may run code, and what the class gives is borrowed
    if (instance_shadows(obj, key)) return nullptr;
    PyObject* found = internals::type_lookup(type, key);
    if (!found || !is_native_function(found)) return nullptr;
    return found;
}

bool plain_value(handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           obj.is_none() || type == &PyBytes_Type;
}

object own_copy(handle path) {
    if (PyList_CheckExact(path.ptr())) return steal(PyList_GetSlice(path.ptr(), 0, PY_SSIZE_T_MAX));
    if (!truth(path)) return new_list();
    return call_method(path, "copy");
}

object extended(handle path, handle key) {
    if (PyList_CheckExact(path.ptr())) {
        object result = steal(PyList_GetSlice(path.ptr(), 0, PY_SSIZE_T_MAX));
        check(PyList_Append(result.ptr(), key.ptr()));
        return result;
    }
    return steal(PyNumber_Add(path.ptr(), list_of(key).ptr()));
}

bool is_wildcard(Frame& f, handle obj) { return is_instance(obj, NATIVE_GLOBAL(f, "Any")); }

object unwrap_optional(Frame& f, handle obj) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == NATIVE_GLOBAL(f, "Optional").ptr())
        return attr(obj, "schema");
    return borrow(obj.ptr());
}

int priority_of(Frame& f, handle obj) {
    if (is_instance(obj, NATIVE_GLOBAL(f, "Any"))) return 3;
    if (is_instance(obj, NATIVE_GLOBAL(f, "Optional"))) return 2;
    return 1;
}

}  // namespace veltrane
