// Recognising this module's own classes, small object helpers.
#include "veltrane.hpp"

namespace veltrane {

namespace {

// The class's metaclass is type, and neither it nor its instances have attribute access of their
// own: what the recorded names give is what look-up gives. Asked directly at each use, as a class's
// __class__ can change without a new version tag.
bool plain_type(PyTypeObject* type) {
    return Py_IS_TYPE(type, &PyType_Type) && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

}  // namespace

bool schema_class_untouched(Frame& f, handle cls) {
    State& state = f.state<State>();
    if (cls.ptr() != state.own.Schema.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return plain_type(type) && state.schema_methods.class_has(type, schema_method::wrapper);
}

bool path_class_untouched(Frame& f, handle cls) {
    State& state = f.state<State>();
    if (cls.ptr() != state.own.Path.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return plain_type(type) && state.path_methods.class_has(type, path_method::all);
}

bool priority_untouched(Frame& f, handle cls) {
    // `cls.priority` is the metaclass's look-up: type's own finds what the MRO holds
    return Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
           f.state<State>().schema_methods.class_has(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                                     schema_method::priority);
}

bool schema_class_usable(Frame& f, handle cls) {
    State& state = f.state<State>();
    if (cls.ptr() != state.own.Schema.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return plain_type(type) && state.schema_methods.class_has(type, schema_method::wrapper | schema_method::priority);
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
