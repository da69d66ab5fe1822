// Raising, catching, the one boundary where C++ failures become Python errors, and the guards that
// native code keeps across calls into Python (recursion, restore on exit, the handled exception,
// the GIL).
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "native/object.hpp"

namespace native {

// ---------------------------------------------------------------------------------------------
// Raising

// Raises `exc_type(message)`.
[[noreturn]] void raise(handle exc_type, std::string_view message);
// Raises `exc_type(text)` with the text made from a PyUnicode_FromFormat format and its arguments.
[[noreturn]] void raise_format(handle exc_type, const char* format, ...);
// Raises an exception instance (or class) as `raise exc` would, keeping the context the
// interpreter gives it.
[[noreturn]] void raise(handle exc);
// An exception instance raised again as it stands (`raise error` of a caught instance, its
// traceback, cause and context kept; nothing new is attached as its context).
[[noreturn]] void raise_again(handle instance);
// `raise exc from cause`: the cause is kept as __cause__ and as __context__.
[[noreturn]] void raise_from(handle exc, handle cause);
// The replaced exception kept only as the context, as a bare `raise exc` inside `except` does.
[[noreturn]] void raise_with_context(handle exc, handle context);
// `raise exc from None` inside `except`: the context is kept but suppressed.
[[noreturn]] void raise_from_none(handle exc, handle context);

// ---------------------------------------------------------------------------------------------
// `nonlocal` cells: a variable that an inner function and its maker both read and rebind

// A new empty cell (the variable before its first assignment).
object new_cell();
// The variable's value; NameError, as a Python closure gives, while it holds none.
object cell_get(handle cell, const char* name);
// `nonlocal name; name = value`.
void cell_set(handle cell, handle value);

// ---------------------------------------------------------------------------------------------
// Catching

// The error being raised, taken out of the indicator as an `except` clause takes it: inside a
// `catch (...)` block (whatever C++ threw becomes the Python error the boundary would make of it), or
// after a failed Result. Until restored or dropped, nothing is pending, so Python code may run
// meanwhile.
class Caught {
public:
    Caught();
    Caught(Caught&&) = default;
    Caught& operator=(Caught&&) = default;
    // `except cls:` (a class or a tuple of classes).
    bool matches(handle cls) const { return PyErr_GivenExceptionMatches(type_.ptr(), cls.ptr()) != 0; }
    // The exception instance (normalised on first use), its traceback attached as an `except`
    // clause sees it.
    handle value();
    handle type() const { return type_; }
    handle traceback() const { return traceback_; }
    // Puts the error back into the indicator, as a bare `raise` inside `except` does.
    void restore();
    [[noreturn]] void rethrow() {
        restore();
        throw_error();
    }

private:
    object type_, value_, traceback_;
    bool normalized_ = false;
};

// ---------------------------------------------------------------------------------------------
// The error boundary

// Makes the C++ exception being handled (inside a catch block) the pending Python error:
// Error leaves the indicator as it is; pybind11's error_already_set is restored; std::bad_alloc
// becomes MemoryError; pybind11's builtin exceptions become their Python types; anything else
// becomes SystemError with its text.
void set_error_from_current_exception() noexcept;

// Every entry point from the interpreter runs its work through one of these: a function body or
// type slot that returns a new reference (null on failure), and one that returns a status (-1 on
// failure). Nothing thrown gets past them into the interpreter's C frames.
template <typename Fn>
PyObject* boundary(Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}
template <typename Fn>
int boundary_status(Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Guards

namespace detail {
// The lowest address native frames of this thread may reach (0 until first asked for): above the
// end of its stack by a reserve for the interpreter, and for user code called from native code.
extern constinit __attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor;
uintptr_t find_stack_floor() noexcept;
[[noreturn]] void raise_stack_exhausted(const char* where);
}  // namespace detail

// Whether this thread's native stack is nearly used up. The interpreter counts only its own frames
// against the recursion limit: with a raised limit, or where native code calls itself through user
// code, native frames could overflow the C stack before that limit trips.
[[gnu::always_inline]] inline bool native_stack_exhausted() {
    uintptr_t floor = detail::stack_floor;
    if (!floor) [[unlikely]]
        floor = detail::find_stack_floor();
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

// How many bytes of this thread's native stack are left above the reserve that
// native_stack_exhausted keeps (0 once it is reached): for code that is about to hand nested data
// to the interpreter's own recursive functions (text forms, comparisons), which count only the
// recursion limit, to know beforehand whether they have room.
[[gnu::always_inline]] inline size_t native_stack_room() {
    uintptr_t floor = detail::stack_floor;
    if (!floor) [[unlikely]]
        floor = detail::find_stack_floor();
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here > floor ? here - floor : 0;
}

// Raises RecursionError when the native stack is nearly used up. Every call of a native function
// checks this (one comparison), and so does RecursionGuard.
[[gnu::always_inline]] inline void check_native_stack(const char* where = "") {
    if (native_stack_exhausted()) [[unlikely]]
        detail::raise_stack_exhausted(where);
}

// Deep recursion of native code: enters the interpreter's recursion accounting and also checks
// the native stack itself, so a raised recursion limit cannot make native code overflow it.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where = "");
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Runs `restore` however the scope is left. A pending error is kept aside meanwhile and raised again
// afterwards; if `restore` fails while an error is pending, its error replaces that one, with the
// pending one as its context, as an error raised in a `finally:` clause does. A destructor cannot
// fail the scope it ends: when `restore` fails after the scope succeeded, its error is reported as
// unraisable (as an error in __del__ is). Where that failure must fail the scope, use try_finally.
template <typename Fn>
class RestoreOnExit {
public:
    explicit RestoreOnExit(Fn restore) : restore_(std::forward<Fn>(restore)) {}
    RestoreOnExit(const RestoreOnExit&) = delete;
    RestoreOnExit& operator=(const RestoreOnExit&) = delete;
    ~RestoreOnExit() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            restore_();
        } catch (...) {
            set_error_from_current_exception();
            if (type) {
                internals::chain_exceptions(type, value, traceback);
            } else if (!failure_reported_by_caller_) {
                PyErr_WriteUnraisable(nullptr);
            }
            return;
        }
        if (type) PyErr_Restore(type, value, traceback);
    }
    // The scope reports a failure of `restore` itself (see try_finally).
    void report_failure_to_caller() { failure_reported_by_caller_ = true; }

private:
    Fn restore_;
    bool failure_reported_by_caller_ = false;
};

// `try: return body() finally: restore()`: restore runs however body ends, and when it fails after
// body succeeded, the whole fails with its error, as an error raised in a `finally:` clause does.
// body returns a Result (a failure comes back as a failed Result), an object, or nothing.
template <typename Body, typename Restore>
auto try_finally(Body&& body, Restore&& restore) -> decltype(body()) {
    using Outcome = decltype(body());
    if constexpr (std::is_same_v<Outcome, Result>) {
        Result result = [&]() -> Result {
            RestoreOnExit<Restore&> on_exit(restore);
            on_exit.report_failure_to_caller();
            return body();
        }();
        if (result && PyErr_Occurred()) return Result::failure();
        return result;
    } else if constexpr (std::is_void_v<Outcome>) {
        {
            RestoreOnExit<Restore&> on_exit(restore);
            on_exit.report_failure_to_caller();
            body();
        }
        if (PyErr_Occurred()) throw_error();
    } else {
        Outcome outcome = [&]() -> Outcome {
            RestoreOnExit<Restore&> on_exit(restore);
            on_exit.report_failure_to_caller();
            return body();
        }();
        if (PyErr_Occurred()) throw_error();
        return outcome;
    }
}

// ---------------------------------------------------------------------------------------------
// Failing without a throw

// `raise exc`, left pending, for paths that return a Result.
inline Result raised(handle exc) {
    if (PyExceptionClass_Check(exc.ptr())) {
        PyErr_SetNone(exc.ptr());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    }
    return Result::failure();
}
// Runs `fn` (returning a Result); whatever it throws comes back as a failed Result, so that a caller
// handling failures sees both kinds in one place.
template <typename Fn>
Result attempt(Fn&& fn) {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        set_error_from_current_exception();
        return Result::failure();
    }
}

// While alive, `exc` is the exception being handled, as in the body of an `except` clause: what is
// raised meanwhile (here or by Python code called from here) gets it as its context, and
// sys.exc_info() sees it.
class Handling {
public:
    explicit Handling(handle exc) : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc.ptr()); }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;
};

// Releases the GIL around native blocking work that touches no Python object (waiting on a socket,
// sleeping, reading a file into a C++ buffer); other threads run meanwhile.
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace native
