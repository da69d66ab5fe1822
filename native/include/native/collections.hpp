// Working on mappings and sequences as Python code does (`for k, v in m.items()`, `m.get(k, d)`,
// `isinstance(x, Mapping)`), with exact-type fast paths that change nothing observable.
#pragma once

#include <array>
#include <type_traits>

#include "native/errors.hpp"

namespace native {

// ---------------------------------------------------------------------------------------------
// Checked reading of what user code hands back
//
// A list may change, and a borrowed item die, during any call into Python. These read sequences so
// that nothing borrowed outlives such a call, and check the type and length of what they read.

namespace detail {
void unpack_into(handle item, object* values, int count);
}

// `a, b, ... = item` (N names), with the interpreter's errors for a non-iterable and for the wrong
// number of values. Whatever item is, what comes back is N strong references.
template <int N>
std::array<object, N> unpack(handle item) {
    static_assert(N > 0);
    std::array<object, N> values;
    detail::unpack_into(item, values.data(), N);
    return values;
}

// The items of an iterable as they are now, held by a tuple of its own (`tuple(iterable)`; an exact
// tuple is itself): a walk that calls Python code between items reads them from here, unaffected by
// what that code does to the original.
class Snapshot {
public:
    explicit Snapshot(handle iterable);
    Py_ssize_t size() const { return size_; }
    // Item i, borrowed from the snapshot's own tuple, which keeps it alive: valid as long as the
    // snapshot, across any call. IndexError outside 0..size-1.
    handle operator[](Py_ssize_t i) const {
        if (i < 0 || i >= size_) [[unlikely]]
            out_of_range();
        // checked: the tuple is the snapshot's own and immutable, and i was checked against its size
        return PyTuple_GET_ITEM(tuple_.ptr(), i);
    }
    handle tuple() const { return tuple_; }

    // `for (handle item : snapshot)`
    class Iterator {
    public:
        Iterator(const Snapshot& s, Py_ssize_t i) : s_(&s), i_(i) {}
        handle operator*() const { return (*s_)[i_]; }
        Iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return i_ != other.i_; }

    private:
        const Snapshot* s_;
        Py_ssize_t i_;
    };
    Iterator begin() const { return Iterator(*this, 0); }
    Iterator end() const { return Iterator(*this, size_); }

private:
    [[noreturn]] static void out_of_range();
    object tuple_;
    Py_ssize_t size_;
};

// `len(obj)`, with its checks (TypeError, OverflowError for a huge __len__).
inline Py_ssize_t length(handle obj) { return check_value(PyObject_Length(obj.ptr())); }

// `seq[i]` as a strong reference: for an exact list, its item now (IndexError when the list has
// shrunk below i); for anything else, its own __getitem__.
inline object item_at(handle seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq.ptr())) {
        // checked: the size is read and the item taken with no call into Python between them
        if (i < 0 || i >= PyList_GET_SIZE(seq.ptr())) raise(PyExc_IndexError, "list index out of range");
        return py::reinterpret_borrow<object>(PyList_GET_ITEM(seq.ptr(), i));  // checked: as above
    }
    return steal(PySequence_GetItem(seq.ptr(), i));
}

// The positions `text[:start]` and `text[end:]` take for a `(start, end)` pair handed back by user
// code (an overridden match's span()): unpacked as `start, end = span`, each an integer or a
// TypeError, and adjusted as slicing adjusts them (negative counts from the end, each clamped to
// 0..length; None is the text's start or end). Whatever the pair holds, both positions lie within
// the text (the end may lie before the start: the slice is then empty).
std::pair<Py_ssize_t, Py_ssize_t> span_within(handle span, Py_ssize_t length);
// One slice position adjusted as `text[:position]` (as_stop) or `text[position:]` adjusts it.
Py_ssize_t slice_position(handle position, Py_ssize_t length, bool as_stop);

// `a, b = item`.
inline std::pair<object, object> unpack2(handle item) {
    auto [a, b] = unpack<2>(item);
    return {std::move(a), std::move(b)};
}

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

namespace detail {
// Calls a loop body; a body that returns bool says whether to go on (`break` is false).
template <typename Fn, typename... Args>
[[gnu::always_inline]] inline bool go_on(Fn& fn, Args&... args) {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn&, Args&...>, bool>) {
        return fn(args...);
    } else {
        fn(args...);
        return true;
    }
}
}  // namespace detail

// `for key, value in mapping.items(): fn(key, value)`. A dict whose `items` is dict's own is walked
// directly; a change of its size during the walk raises the RuntimeError that iterating its items
// would raise. A body returning bool stops the walk with false (`break`); for_each_item returns
// false when it was stopped so.
template <typename Fn>
bool for_each_item(handle mapping, Fn&& fn) {
    if (uses_dict_method(mapping, "items")) {
        Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // checked: key and value are taken as strong references before any call into Python
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            object k = borrow(key);
            object v = borrow(value);
            if (!detail::go_on(fn, k, v)) return false;
            if (PyDict_GET_SIZE(mapping.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return true;
    }
    object items = call_method(mapping, "items");
    object iterator = steal(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        object item = steal(raw);
        auto [k, v] = unpack<2>(item);
        if (!detail::go_on(fn, k, v)) return false;
    }
    if (PyErr_Occurred()) throw_error();
    return true;
}

// `for item in iterable: fn(item)`. A body returning bool stops the walk with false (`break`);
// for_each returns false when it was stopped so.
template <typename Fn>
bool for_each(handle iterable, Fn&& fn) {
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr())) {
        // index-based like the list iterator, so items appended during the walk are seen
        for (Py_ssize_t i = 0; i < Py_SIZE(iterable.ptr()); ++i) {
            // checked: the size is read anew at each step and the item taken as a strong reference
            // before any call into Python
            object item = borrow(PySequence_Fast_GET_ITEM(iterable.ptr(), i));
            if (!detail::go_on(fn, item)) return false;
        }
        return true;
    }
    object iterator = steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        object item = steal(raw);
        if (!detail::go_on(fn, item)) return false;
    }
    if (PyErr_Occurred()) throw_error();
    return true;
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
constexpr int builtin_count = 10;
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
    if (type == &PyFrozenSet_Type) return 9;
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

// The exact built-in types dict, list, str, int, tuple, float, bool, None, bytes and frozenset
// numbered from 0 to builtin_count - 1, and -1 for every other type: the index of a table that
// remembers a verdict per built-in type.
using detail::builtin_count;
using detail::builtin_index;

// What a module may know of the built-in types of that table without asking them: the one list of
// them, in place of lists of type comparisons in each module. None of them lets its instances
// change their __class__, and none derives from a class of a module or of its caller.
namespace builtin {
enum Trait : unsigned {
    known = 1u << 0,            // one of the table's types
    scalar = 1u << 1,           // str, int, float, bool, None, bytes: a value without items
    hashable = 1u << 2,         // the type's instances have __hash__ (a tuple's items may still refuse it)
    unequal_to_none = 1u << 3,  // `x == None` is False for every instance but None itself
};
constexpr unsigned traits_by_index[detail::builtin_count] = {
    known | unequal_to_none,                      // dict
    known | unequal_to_none,                      // list
    known | scalar | hashable | unequal_to_none,  // str
    known | scalar | hashable | unequal_to_none,  // int
    known | hashable | unequal_to_none,           // tuple
    known | scalar | hashable | unequal_to_none,  // float
    known | scalar | hashable | unequal_to_none,  // bool
    known | scalar | hashable,                    // None
    known | scalar | hashable | unequal_to_none,  // bytes
    known | hashable | unequal_to_none,           // frozenset
};
// The traits of an exact type (0 for any type outside the table).
[[gnu::always_inline]] inline unsigned traits(PyTypeObject* type) {
    int index = detail::builtin_index(type);
    return index < 0 ? 0u : traits_by_index[index];
}
[[gnu::always_inline]] inline bool has(handle obj, unsigned trait) {
    return (traits(Py_TYPE(obj.ptr())) & trait) == trait;
}
}  // namespace builtin

// `isinstance(obj, cls)` for a class of a module's own that is an ABC (its metaclass answers
// isinstance through registrations): a "no" for a built-in type is kept at the ABC cache token it
// was confirmed at, as isinstance_abc keeps it for the standard ABCs, and given again while no class
// was registered with an ABC since. A module keeps one per class in its state; asked about another
// class, it forgets what it kept.
class AbcMemo {
public:
    bool isinstance(handle obj, handle cls);
    template <typename Visit>
    void visit(Visit& v) {
        v(cls_);
    }

private:
    object cls_;
    long long confirmed_[detail::builtin_count] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

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
