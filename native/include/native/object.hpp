// Object handling: owned references, names, attribute access, calls and builders, and the two ways
// a failure travels (a thrown Error, or a Result that holds no object).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "native/internals.hpp"

namespace native {

namespace py = pybind11;
using py::handle;
using py::object;

// ---------------------------------------------------------------------------------------------
// Failures

// Thrown when the interpreter's error indicator holds the error being raised. It carries nothing and
// fetches nothing, so throwing it needs no Python call and works at the recursion limit; the error
// boundary of the entry point (errors.hpp) hands the indicator back to the interpreter.
struct Error {};
[[noreturn]] void throw_error();

// Takes ownership of a new reference returned by the C API; a null result means the API set an
// error, which is thrown.
[[gnu::always_inline]] inline object steal(PyObject* result) {
    if (__builtin_expect(!result, 0)) throw_error();
    return py::reinterpret_steal<object>(result);
}
[[gnu::always_inline]] inline object borrow(PyObject* result) {
    if (__builtin_expect(!result, 0)) throw_error();
    return py::reinterpret_borrow<object>(result);
}
// Turns a C API status (-1 with an error set) into a throw; other values pass through.
[[gnu::always_inline]] inline int check(int status) {
    if (__builtin_expect(status < 0, 0)) throw_error();
    return status;
}
// A C API integer result whose error value is -1 with an error set.
template <typename Integer>
[[gnu::always_inline]] inline Integer check_value(Integer value) {
    if (__builtin_expect(value == static_cast<Integer>(-1), 0) && PyErr_Occurred()) throw_error();
    return value;
}

// An object, or a pending Python error (the indicator holds it): what hot paths return to fail
// without a C++ throw. `take()` turns a failure back into a throw where the caller does not handle it.
class [[nodiscard]] Result {
public:
    Result(object value) : value_(std::move(value)) {}  // NOLINT: an object is a success
    // The error indicator already holds the failure.
    static Result failure() { return Result(); }
    // A C API call's new reference, null meaning failure.
    static Result of(PyObject* new_reference) { return Result(py::reinterpret_steal<object>(new_reference)); }
    bool ok() const { return static_cast<bool>(value_); }
    explicit operator bool() const { return ok(); }
    handle get() const { return value_; }
    object take() && {
        if (!value_) throw_error();
        return std::move(value_);
    }
    PyObject* release() && { return value_.release().ptr(); }

private:
    Result() = default;
    object value_;
};

// ---------------------------------------------------------------------------------------------
// Names

// A name written as a string literal in the source. Only literals convert (the constructor runs at
// compile time and accepts arrays of static storage), so the interned text can be remembered by the
// literal's address. A name computed at run time goes through name_of() instead.
class Name {
public:
    template <size_t N>
    consteval Name(const char (&literal)[N]) : text_(literal) {}  // NOLINT: literals convert implicitly
    const char* text() const { return text_; }

private:
    const char* text_;
};

// The interned text object of a literal name: made once per literal and kept for the process, as
// the interpreter keeps the names of its own code objects.
PyObject* intern(Name name);
// The interned text object of a computed name, found by its content.
object name_of(std::string_view text);

// Stores a reference to `value` into a raw reference field of an object's layout (a slot member of
// a native object), releasing what the field held.
inline void store_reference(PyObject*& field, handle value) { Py_XSETREF(field, Py_XNewRef(value.ptr())); }

// ---------------------------------------------------------------------------------------------
// Objects

inline bool is_instance(handle obj, handle cls) { return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0; }
inline bool is_subclass(handle derived, handle cls) {
    return check(PyObject_IsSubclass(derived.ptr(), cls.ptr())) != 0;
}
inline bool truth(handle obj) { return check(PyObject_IsTrue(obj.ptr())) != 0; }
inline object type_of(handle obj) {
    return py::reinterpret_borrow<object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
}
inline object str_of(handle obj) { return steal(PyObject_Str(obj.ptr())); }
inline object repr_of(handle obj) { return steal(PyObject_Repr(obj.ptr())); }
// `format(obj)`: the text an f-string gives for `{obj}`.
inline object format_of(handle obj) { return steal(PyObject_Format(obj.ptr(), nullptr)); }
inline object text(std::string_view s) {
    return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline object integer(long long value) { return steal(PyLong_FromLongLong(value)); }
// `int` of a Python integer that must fit a C long (OverflowError otherwise).
inline long as_long(handle value) { return check_value(PyLong_AsLong(value.ptr())); }
std::string utf8(handle text_obj);

// `a == b` and `a != b`, evaluated as written and their truth taken.
inline bool equal(handle a, handle b) { return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }
inline bool not_equal(handle a, handle b) { return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE))); }
// `a < b`, `a <= b`, ... (op is Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT or Py_GE), its truth taken.
inline bool compare(handle a, handle b, int op) { return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op))); }
inline bool less(handle a, handle b) { return compare(a, b, Py_LT); }

inline object attr(handle obj, handle name) { return steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }
inline object attr(handle obj, Name name) { return attr(obj, handle(intern(name))); }
inline void set_attr(handle obj, handle name, handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}
inline void set_attr(handle obj, Name name, handle value) { set_attr(obj, handle(intern(name)), value); }
// `getattr(obj, name, <missing>)`: an empty object when obj has no such attribute, without an
// AttributeError ever being built; other errors are thrown.
inline object optional_attr(handle obj, handle name) {
    PyObject* found = nullptr;
    check(internals::lookup_attr(obj.ptr(), name.ptr(), &found));
    return py::reinterpret_steal<object>(found);
}
inline object optional_attr(handle obj, Name name) { return optional_attr(obj, handle(intern(name))); }

// ---------------------------------------------------------------------------------------------
// Calls

// `callable(args...)` through vectorcall.
template <typename... Args>
object call(handle callable, const Args&... args) {
    PyObject* argv[] = {nullptr, handle(args).ptr()...};
    return steal(
        PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline object call(handle callable) { return steal(PyObject_CallNoArgs(callable.ptr())); }
// `obj.name(args...)` without making a bound method.
template <typename... Args>
object call_method(handle obj, Name name, const Args&... args) {
    PyObject* argv[] = {obj.ptr(), handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(intern(name), argv, 1 + sizeof...(Args), nullptr));
}
// `callable(*args, name=value, ...)` with keyword arguments given as (name, value) pairs.
struct Kw {
    Name name;
    handle value;
};
object call_kw(handle callable, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs);
// `callable(leading..., *args, **kwargs)`: forwards a function's own `*args` tuple and `**kwargs`
// dict (either may be null or None) after some leading arguments, as one vectorcall.
object call_forward(handle callable, std::initializer_list<handle> leading, handle args, handle kwargs);

// ---------------------------------------------------------------------------------------------
// Process-wide values

// An object of the standard library that native code needs for the whole process (re.Pattern,
// abc.get_cache_token), made on first use by `make` and kept, as the interpreter keeps it. `make` may
// run Python code and so let other threads run: two threads may both make it, and the first value
// stored is kept (for an import, the same object). A failure stores nothing and is raised; the next
// use tries again. No lock is held while `make` runs: a lock held across Python code can deadlock
// against the GIL, and a C++ exception cannot pass through the C library's call-once.
class ProcessValue {
public:
    constexpr ProcessValue() = default;
    ProcessValue(const ProcessValue&) = delete;
    ProcessValue& operator=(const ProcessValue&) = delete;
    template <typename Make>
    handle get(Make&& make) {
        if (value_) return value_;
        object made = make();
        if (!value_) value_ = made.release().ptr();
        return value_;
    }

private:
    PyObject* value_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Builders

// `(a, b, ...)` and `[a, b, ...]` of handles or objects.
template <typename... Items>
object tuple_of(const Items&... items) {
    return steal(PyTuple_Pack(sizeof...(Items), handle(items).ptr()...));
}
template <typename... Items>
object list_of(const Items&... items) {
    object list = steal(PyList_New(sizeof...(Items)));
    Py_ssize_t index = 0;
    (PyList_SET_ITEM(list.ptr(), index++, handle(items).inc_ref().ptr()), ...);
    return list;
}
inline object new_list() { return steal(PyList_New(0)); }
inline object new_dict() { return steal(PyDict_New()); }
// `list.append(value)` for an exact list, else the object's own `append`.
inline void append(handle list, handle value) {
    if (PyList_CheckExact(list.ptr())) {
        check(PyList_Append(list.ptr(), value.ptr()));
    } else {
        call_method(list, "append", value);
    }
}

}  // namespace native
