// Working on mappings and sequences as Python code does (`for k, v in m.items()`, `m.get(k, d)`,
// `isinstance(x, Mapping)`), with exact-type fast paths that change nothing observable.
#pragma once

#include "native/errors.hpp"

namespace native {

// `a, b = item`, with the interpreter's errors for the wrong number of values.
std::pair<object, object> unpack2(handle item);

// Whether calling the method `name` of obj runs dict's own: obj is an exact dict, or of a dict
// subclass that does not override it. Such objects may be worked on with the PyDict_* functions.
inline bool uses_dict_method(handle obj, Name name) {
    if (PyDict_CheckExact(obj.ptr())) return true;
    if (!PyDict_Check(obj.ptr())) return false;
    PyTypeObject* type = Py_TYPE(obj.ptr());
    PyObject* key = intern(name);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;  // a __getattribute__ decides
    if (internals::type_lookup(type, key) != internals::type_lookup(&PyDict_Type, key)) return false;
    // an instance attribute of that name would shadow the method
    PyObject** instance_dict = type->tp_dictoffset ? internals::instance_dict_slot(obj.ptr()) : nullptr;
    if (!instance_dict || !*instance_dict) return true;
    if (PyDict_GetItemWithError(*instance_dict, key)) return false;
    if (PyErr_Occurred()) throw_error();
    return true;
}

// `for key, value in mapping.items(): fn(key, value)`. A dict whose `items` is dict's own is walked
// directly; a change of its size during the walk raises the RuntimeError that iterating its items
// would raise.
template <typename Fn>
void for_each_item(handle mapping, Fn&& fn) {
    if (uses_dict_method(mapping, "items")) {
        Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            object k = borrow(key);
            object v = borrow(value);
            fn(k, v);
            if (PyDict_GET_SIZE(mapping.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
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
    if (PyErr_Occurred()) throw_error();
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
    if (PyErr_Occurred()) throw_error();
}

// `mapping.get(key, default)`.
object mapping_get(handle mapping, handle key, handle default_);
// `mapping.get(key, {})`, building the empty dict only when a dict's own `get` would return it.
object mapping_get_or_new_dict(handle mapping, handle key);
// `mapping[key]` (a missing key of a dict subclass still reaches its __missing__).
inline object get_item(handle mapping, handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value && uses_dict_method(mapping, "__getitem__")) return borrow(value);
        if (!value && PyErr_Occurred()) throw_error();
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
// `mapping.setdefault(key, {})`.
inline object mapping_setdefault_new_dict(handle mapping, handle key) {
    return mapping_setdefault(mapping, key, steal(PyDict_New()));
}
// `key in container`.
inline bool contains(handle container, handle key) {
    return check(PySequence_Contains(container.ptr(), key.ptr())) != 0;
}

// `isinstance(obj, cls)`. When `cls` is still the standard library's own Mapping, MutableMapping,
// Sequence or MutableSequence, the built-in containers and scalars are answered without the ABC
// machinery: a "yes" of a built-in type never changes, and a "no" holds until some class is
// registered with an ABC, which the ABC cache token reveals.
bool isinstance_abc(handle obj, handle cls);

// While one is alive, isinstance_abc reads the ABC registrations' state once (when the outermost
// one is made) instead of at every "no" answer: for one walk of nested data, during which only
// absurd code could register a class with an ABC.
class AbcSnapshot {
public:
    AbcSnapshot();
    ~AbcSnapshot();
    AbcSnapshot(const AbcSnapshot&) = delete;
    AbcSnapshot& operator=(const AbcSnapshot&) = delete;

private:
    long long previous_;
};

namespace detail {
constexpr int builtin_count = 9;
struct AbcTable {
    PyObject* abcs[4] = {};                 // Mapping, MutableMapping, Sequence, MutableSequence; null until loaded
    long long confirmed[builtin_count][4];  // the token at which each "no" was last confirmed
};
inline AbcTable abc_table;
inline __attribute__((tls_model("initial-exec"))) thread_local long long abc_snapshot_token = -1;

[[gnu::always_inline]] inline int builtin_index(PyTypeObject* type) {
    if (type == &PyDict_Type) return 0;
    if (type == &PyList_Type) return 1;
    if (type == &PyUnicode_Type) return 2;
    if (type == &PyLong_Type) return 3;
    if (type == &PyTuple_Type) return 4;
    if (type == &PyFloat_Type) return 5;
    if (type == &PyBool_Type) return 6;
    if (type == Py_TYPE(Py_None)) return 7;
    if (type == &PyBytes_Type) return 8;
    return -1;
}
// Whether a built-in type is an instance of the ABC by its own nature.
[[gnu::always_inline]] inline bool builtin_is(int type_index, int abc_index) {
    bool mapping_abc = abc_index < 2;
    bool mutable_abc = abc_index % 2 == 1;
    switch (type_index) {
        case 0:
            return mapping_abc;
        case 1:
            return !mapping_abc;
        case 2:
        case 4:
        case 8:
            return !mapping_abc && !mutable_abc;
        default:
            return false;
    }
}
bool isinstance_abc_slow(handle obj, handle cls);
}  // namespace detail

// The exact built-in types dict, list, str, int, tuple, float, bool, None and bytes numbered from 0
// to builtin_count - 1, and -1 for every other type: the index of a table that remembers a verdict
// per built-in type.
using detail::builtin_count;
using detail::builtin_index;

[[gnu::always_inline]] inline bool isinstance_abc(handle obj, handle cls) {
    detail::AbcTable& table = detail::abc_table;
    PyObject* c = cls.ptr();
    int abc_index = c == table.abcs[0]   ? 0
                    : c == table.abcs[3] ? 3
                    : c == table.abcs[1] ? 1
                    : c == table.abcs[2] ? 2
                                         : -1;
    if (abc_index >= 0) {
        int type_index = detail::builtin_index(Py_TYPE(obj.ptr()));
        if (type_index >= 0) {
            if (detail::builtin_is(type_index, abc_index)) return true;
            long long token = detail::abc_snapshot_token;
            if (token >= 0 && table.confirmed[type_index][abc_index] == token) return false;
        }
    }
    return detail::isinstance_abc_slow(obj, cls);
}

}  // namespace native
