// Mapping and sequence helpers with exact-type fast paths.
#include "native/collections.hpp"

namespace native {

std::pair<object, object> unpack2(handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        return {borrow(PyTuple_GET_ITEM(item.ptr(), 0)), borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    }
    PyObject* raw_iterator = PyObject_GetIter(item.ptr());
    if (!raw_iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter &&
            !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    object iterator = steal(raw_iterator);
    object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        values[i] = steal(next);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {values[0], values[1]};
}

object mapping_get(handle mapping, handle key, handle default_) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return borrow(default_.ptr());
    }
    return call_method(mapping, "get", key, default_);
}

object mapping_setdefault(handle mapping, handle key, handle default_) {
    if (PyDict_CheckExact(mapping.ptr())) return borrow(PyDict_SetDefault(mapping.ptr(), key.ptr(), default_.ptr()));
    return call_method(mapping, "setdefault", key, default_);
}

namespace {

struct StandardAbcs {
    object abcs[4];  // Mapping, MutableMapping, Sequence, MutableSequence
    object cache_token;
    // The ABC cache token at which each "no" answer (builtin type x ABC) was last confirmed.
    long long confirmed[9][4];
};

StandardAbcs& standard_abcs() {
    static StandardAbcs* loaded = [] {
        auto* abcs = new StandardAbcs();
        object module = steal(PyImport_ImportModule("collections.abc"));
        const char* names[4] = {"Mapping", "MutableMapping", "Sequence", "MutableSequence"};
        for (int i = 0; i < 4; ++i) abcs->abcs[i] = attr(module, names[i]);
        abcs->cache_token = attr(steal(PyImport_ImportModule("abc")), "get_cache_token");
        for (auto& row : abcs->confirmed)
            for (long long& token : row) token = -1;
        return abcs;
    }();
    return *loaded;
}

int builtin_index(PyTypeObject* type) {
    PyTypeObject* builtins[9] = {&PyDict_Type,  &PyList_Type,  &PyTuple_Type, &PyUnicode_Type,        &PyBytes_Type,
                                 &PyLong_Type,  &PyFloat_Type, &PyBool_Type,  Py_TYPE(Py_None)};
    for (int i = 0; i < 9; ++i)
        if (builtins[i] == type) return i;
    return -1;
}

// Whether a built-in type is an instance of the ABC by its own nature. A "yes" never changes; a
// "no" holds until some class is registered with an ABC, which the ABC cache token reveals.
bool builtin_is(int type_index, int abc_index) {
    bool mapping_abc = abc_index < 2;
    bool mutable_abc = abc_index % 2 == 1;
    switch (type_index) {
        case 0: return mapping_abc;
        case 1: return !mapping_abc;
        case 2:
        case 3:
        case 4: return !mapping_abc && !mutable_abc;
        default: return false;
    }
}

}  // namespace

bool isinstance_abc(handle obj, handle cls) {
    StandardAbcs& abcs = standard_abcs();
    int abc_index = -1;
    for (int i = 0; i < 4; ++i)
        if (cls.ptr() == abcs.abcs[i].ptr()) abc_index = i;
    int type_index = abc_index < 0 ? -1 : builtin_index(Py_TYPE(obj.ptr()));
    if (type_index < 0) return is_instance(obj, cls);
    if (builtin_is(type_index, abc_index)) return true;
    long long token = PyLong_AsLongLong(call(abcs.cache_token).ptr());
    long long& confirmed = abcs.confirmed[type_index][abc_index];
    if (token == confirmed) return false;
    bool result = is_instance(obj, cls);
    if (!result) confirmed = token;
    return result;
}

}  // namespace native
