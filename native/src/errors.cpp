// Raising with causes and contexts, interned names, keyword calls and the recursion guard.
#include <pthread.h>

#include <unordered_map>

#include "native/native.hpp"

namespace native {

void throw_error_already_set() { throw py::error_already_set(); }

PyObject* intern(const char* text) {
    // A direct-mapped memory of recent literals in front of the map: names are asked for at every
    // attribute access and call, and one comparison usually answers.
    struct Recent {
        const char* text;
        PyObject* name;
    };
    static Recent recent[512];
    Recent& slot = recent[(reinterpret_cast<uintptr_t>(text) >> 3) & 511];
    if (slot.text == text) return slot.name;
    static std::unordered_map<const char*, PyObject*> names;
    auto found = names.find(text);
    PyObject* name = found != names.end() ? found->second : nullptr;
    if (!name) {
        name = PyUnicode_InternFromString(text);
        if (!name) throw py::error_already_set();
        names.emplace(text, name);
    }
    slot = {text, name};
    return name;
}

object call_kw(handle callable, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + args.size() + kwargs.size());
    argv.push_back(nullptr);
    for (handle arg : args) argv.push_back(arg.ptr());
    object names = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t index = 0;
    for (const Kw& kw : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), index++, Py_NewRef(intern(kw.name)));
        argv.push_back(kw.value.ptr());
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwargs.size() ? names.ptr() : nullptr));
}

void raise(handle exc_type, std::string_view message) {
    object text_obj = text(message);
    PyErr_SetObject(exc_type.ptr(), text_obj.ptr());
    throw py::error_already_set();
}

void raise(handle exc) {
    if (PyExceptionClass_Check(exc.ptr())) {
        PyErr_SetNone(exc.ptr());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    }
    throw py::error_already_set();
}

namespace {
// An instance to raise: an exception class is called without arguments, as `raise` does.
object instance_of(handle exc) {
    if (PyExceptionClass_Check(exc.ptr())) return call(exc);
    return borrow(exc.ptr());
}
}  // namespace

void raise_from(handle exc, handle cause) {
    object instance = instance_of(exc);
    object cause_instance = cause.is_none() ? borrow(Py_None) : instance_of(cause);
    PyException_SetContext(instance.ptr(), cause.is_none() ? nullptr : Py_NewRef(cause_instance.ptr()));
    PyException_SetCause(instance.ptr(), cause.is_none() ? nullptr : Py_NewRef(cause_instance.ptr()));
    // PyErr_SetObject would attach the exception being handled, if any, as context: restore directly.
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr()))), Py_NewRef(instance.ptr()),
                  PyException_GetTraceback(instance.ptr()));
    throw py::error_already_set();
}

void raise_with_context(handle exc, handle context) {
    object instance = instance_of(exc);
    PyException_SetContext(instance.ptr(), Py_NewRef(context.ptr()));
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr()))), Py_NewRef(instance.ptr()),
                  PyException_GetTraceback(instance.ptr()));
    throw py::error_already_set();
}

void raise_from_none(handle exc, handle context) {
    object instance = instance_of(exc);
    PyException_SetContext(instance.ptr(), Py_NewRef(context.ptr()));
    PyException_SetCause(instance.ptr(), nullptr);  // also sets __suppress_context__
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr()))), Py_NewRef(instance.ptr()),
                  PyException_GetTraceback(instance.ptr()));
    throw py::error_already_set();
}

namespace {

// Native frames below this address would eat into the last part of the thread's stack.
uintptr_t stack_floor() {
    __attribute__((tls_model("initial-exec"))) thread_local uintptr_t floor = 0;
    if (floor) return floor;
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
    }
    // Keep a reserve for the interpreter and for user code called from native code.
    const size_t reserve = size / 4 < (size_t{256} << 10) ? size / 4 : (size_t{256} << 10);
    floor = reinterpret_cast<uintptr_t>(low) + reserve;
    return floor;
}

}  // namespace

RecursionGuard::RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor()) {
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw py::error_already_set();
    }
}

}  // namespace native
