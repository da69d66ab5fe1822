// Working on mappings and sequences as Python code does (`for k, v in m.items()`, `m.get(k, d)`,
// `isinstance(x, Mapping)`), with exact-type fast paths that change nothing observable.
#pragma once

#include "native/native.hpp"

namespace native {

// `a, b = item`, with the interpreter's errors for the wrong number of values.
std::pair<object, object> unpack2(handle item);

// `for key, value in mapping.items(): fn(key, value)`. An exact dict is walked directly; a change of
// its size during the walk raises the RuntimeError that iterating its items would raise.
template <typename Fn>
void for_each_item(handle mapping, Fn&& fn) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            object k = borrow(key);
            object v = borrow(value);
            fn(k, v);
            if (PyDict_GET_SIZE(mapping.ptr()) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    object items = call_method(mapping, "items");
    object iterator = steal(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        object item = steal(raw);
        auto [k, v] = unpack2(item);
        fn(k, v);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// `for item in iterable: fn(item)`.
template <typename Fn>
void for_each(handle iterable, Fn&& fn) {
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr())) {
        // index-based like the list iterator, so items appended during the walk are seen
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable.ptr()); ++i) {
            object item = borrow(PySequence_Fast_GET_ITEM(iterable.ptr(), i));
            fn(item);
        }
        return;
    }
    object iterator = steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        object item = steal(raw);
        fn(item);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// `mapping.get(key, default)`.
object mapping_get(handle mapping, handle key, handle default_);
// `mapping[key]`.
inline object get_item(handle mapping, handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}
// `mapping[key] = value`.
inline void set_item(handle mapping, handle key, handle value) {
    if (PyDict_CheckExact(mapping.ptr())) {
        check(PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
        return;
    }
    check(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}
// `mapping.setdefault(key, default)`.
object mapping_setdefault(handle mapping, handle key, handle default_);
// `key in container`.
inline bool contains(handle container, handle key) { return check(PySequence_Contains(container.ptr(), key.ptr())) != 0; }
// `a == b` and `a != b`, truth taken.
inline bool equal(handle a, handle b) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0; }
inline bool not_equal(handle a, handle b) {
    object result = steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE));
    return truth(result);
}

// `isinstance(obj, cls)`. When `cls` is still the standard library's own Mapping, MutableMapping,
// Sequence or MutableSequence, the built-in containers and scalars are answered without the ABC
// machinery (their answer cannot change: ABC registrations are permanent).
bool isinstance_abc(handle obj, handle cls);

}  // namespace native
