// Recognising this module's own classes, small object helpers.
#include "veltrane.hpp"

namespace veltrane {

namespace {

bool found_as(PyTypeObject* type, const char* name, PyObject* expected) {
    return _PyType_Lookup(type, intern(name)) == expected;
}

// A class is judged again only after it changed: its version tag is renewed by every change.
struct Verdict {
    PyObject* cls = nullptr;
    unsigned int tag = 0;
    bool untouched = false;
};

bool still_valid(const Verdict& v, PyTypeObject* type) {
    return v.cls == reinterpret_cast<PyObject*>(type) && v.tag != 0 &&
           (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == v.tag;
}

void remember(Verdict& v, PyTypeObject* type, bool untouched) {
    v.cls = reinterpret_cast<PyObject*>(type);
    v.tag = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    v.untouched = untouched;
}

bool plain_type(PyTypeObject* type) {
    return Py_IS_TYPE(type, &PyType_Type) && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

}  // namespace


Made& made() {
    static Made instance;
    return instance;
}

bool schema_class_untouched(handle cls) {
    Made& m = made();
    if (cls.ptr() != m.Schema) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    static Verdict verdict;
    if (still_valid(verdict, type)) return verdict.untouched;
    bool untouched = plain_type(type) && type->tp_new == PyBaseObject_Type.tp_new &&
                     found_as(type, "__init__", m.schema_init) && found_as(type, "validate", m.schema_validate) &&
                     found_as(type, "__str__", m.schema_str);
    remember(verdict, type, untouched);
    return untouched;
}

bool path_class_untouched(handle cls) {
    Made& m = made();
    if (cls.ptr() != m.Path) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    static Verdict verdict;
    if (still_valid(verdict, type)) return verdict.untouched;
    bool untouched = plain_type(type) && type->tp_new == PyTuple_Type.tp_new &&
                     type->tp_init == PyBaseObject_Type.tp_init && found_as(type, "__eq__", m.path_eq) &&
                     found_as(type, "is_dynamic", m.path_is_dynamic) &&
                     found_as(type, "missing_from", m.path_missing_from);
    remember(verdict, type, untouched);
    return untouched;
}

object own_copy(handle path) {
    if (PyList_CheckExact(path.ptr())) return steal(PyList_GetSlice(path.ptr(), 0, PyList_GET_SIZE(path.ptr())));
    if (!truth(path)) return new_list();
    return call_method(path, "copy");
}

object extended(handle path, handle key) {
    if (PyList_CheckExact(path.ptr())) {
        object result = steal(PyList_GetSlice(path.ptr(), 0, PyList_GET_SIZE(path.ptr())));
        check(PyList_Append(result.ptr(), key.ptr()));
        return result;
    }
    object tail = steal(PyList_New(1));
    PyList_SET_ITEM(tail.ptr(), 0, Py_NewRef(key.ptr()));
    return steal(PyNumber_Add(path.ptr(), tail.ptr()));
}

bool is_wildcard(Frame& f, handle obj) { return is_instance(obj, NATIVE_GLOBAL(f, "Any")); }

object unwrap_optional(Frame& f, handle obj) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == NATIVE_GLOBAL(f, "Optional").ptr()) return attr(obj, "schema");
    return borrow(obj.ptr());
}

int priority_of(Frame& f, handle obj) {
    if (is_instance(obj, NATIVE_GLOBAL(f, "Any"))) return 3;
    if (is_instance(obj, NATIVE_GLOBAL(f, "Optional"))) return 2;
    return 1;
}

}  // namespace veltrane
