// Raising with causes and contexts, catching, the error boundary and the recursion guard.
#include "native/errors.hpp"

#include <pthread.h>

#include <cstdarg>
#include <new>

namespace native {

void raise(handle exc_type, std::string_view message) {
    object text_obj = text(message);
    PyErr_SetObject(exc_type.ptr(), text_obj.ptr());
    throw_error();
}

void raise_format(handle exc_type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(exc_type.ptr(), format, arguments);
    va_end(arguments);
    throw_error();
}

void raise(handle exc) {
    if (PyExceptionClass_Check(exc.ptr())) {
        PyErr_SetNone(exc.ptr());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    }
    throw_error();
}

namespace {

// An instance to raise: an exception class is called without arguments, as `raise` does.
object instance_of(handle exc) {
    if (PyExceptionClass_Check(exc.ptr())) return call(exc);
    return borrow(exc.ptr());
}

}  // namespace

void raise_again(handle instance) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr()))), Py_NewRef(instance.ptr()),
                  PyException_GetTraceback(instance.ptr()));
    throw_error();
}

void raise_from(handle exc, handle cause) {
    object instance = instance_of(exc);
    object cause_instance = cause.is_none() ? borrow(Py_None) : instance_of(cause);
    PyException_SetContext(instance.ptr(), cause.is_none() ? nullptr : Py_NewRef(cause_instance.ptr()));
    PyException_SetCause(instance.ptr(), cause.is_none() ? nullptr : Py_NewRef(cause_instance.ptr()));
    raise_again(instance);
}

void raise_with_context(handle exc, handle context) {
    object instance = instance_of(exc);
    PyException_SetContext(instance.ptr(), Py_NewRef(context.ptr()));
    raise_again(instance);
}

void raise_from_none(handle exc, handle context) {
    object instance = instance_of(exc);
    PyException_SetContext(instance.ptr(), Py_NewRef(context.ptr()));
    PyException_SetCause(instance.ptr(), nullptr);  // also sets __suppress_context__
    raise_again(instance);
}

// ----- catching ---------------------------------------------------------------------------------

namespace {
// Inside a catch block: a pybind11 error_already_set carries its error itself; put it back into the
// indicator, where every other failure already is.
void error_into_indicator() {
    if (PyErr_Occurred() || !std::current_exception()) return;
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        set_error_from_current_exception();
    }
}
}  // namespace

Caught::Caught() {
    error_into_indicator();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        type = Py_NewRef(PyExc_SystemError);
        value = PyUnicode_FromString("error caught without an exception set");
    }
    type_ = py::reinterpret_steal<object>(type);
    value_ = py::reinterpret_steal<object>(value);
    traceback_ = py::reinterpret_steal<object>(traceback);
}

handle Caught::value() {
    if (!normalized_) {
        PyObject* type = type_.release().ptr();
        PyObject* value = value_.release().ptr();
        PyObject* traceback = traceback_.release().ptr();
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback && value) PyException_SetTraceback(value, traceback);
        type_ = py::reinterpret_steal<object>(type);
        value_ = py::reinterpret_steal<object>(value);
        traceback_ = py::reinterpret_steal<object>(traceback);
        normalized_ = true;
    }
    return value_;
}

void Caught::restore() { PyErr_Restore(type_.release().ptr(), value_.release().ptr(), traceback_.release().ptr()); }

// ----- the boundary -------------------------------------------------------------------------------

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code failed without setting an error");
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
}

// ----- the native stack and the recursion guard --------------------------------------------------

namespace detail {

constinit __attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor = 0;

uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
    }
    // Keep a reserve for the interpreter and for user code called from native code.
    const size_t reserve = size / 4 < (size_t{256} << 10) ? size / 4 : (size_t{256} << 10);
    // never 0, which means "not found yet": an unknown stack is not checked
    stack_floor = reinterpret_cast<uintptr_t>(low) + reserve + (low ? 0 : 1);
    return stack_floor;
}

void raise_stack_exhausted(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    throw_error();
}

}  // namespace detail

RecursionGuard::RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw_error();
    if (native_stack_exhausted()) {
        Py_LeaveRecursiveCall();
        detail::raise_stack_exhausted(where);
    }
}

}  // namespace native

namespace native {

object new_cell() { return steal(PyCell_New(nullptr)); }

object cell_get(handle cell, const char* name) {
    PyObject* value = PyCell_Get(cell.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            raise_format(PyExc_NameError,
                         "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                         name);
        throw_error();
    }
    return py::reinterpret_steal<object>(value);
}

void cell_set(handle cell, handle value) { check(PyCell_Set(cell.ptr(), value.ptr())); }

}  // namespace native
