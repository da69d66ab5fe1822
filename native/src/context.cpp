// `with` statements: the protocol's look-ups, and __exit__ given the error in flight.
#include "native/context.hpp"

namespace native {

namespace {

// `type(obj).<name>` bound to obj, as the interpreter looks up the methods of a protocol: attributes
// of the instance itself do not count. Empty when the type has none.
object special_method(handle obj, Name name) {
    object type = type_of(obj);
    PyObject* found = internals::type_lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), intern(name));
    if (!found) return object();
    object descriptor = borrow(found);  // held: a __get__ may run code that changes the class
    descrgetfunc get = Py_TYPE(descriptor.ptr())->tp_descr_get;
    if (!get) return descriptor;
    return steal(get(descriptor.ptr(), obj.ptr(), type.ptr()));
}

[[noreturn]] void not_a_context_manager(handle manager, const char* missing) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager.ptr())->tp_name, missing);
    throw_error();
}

// The error in flight as an `except` clause holds it: normalised, its traceback attached to it.
struct InFlight {
    object type, value, traceback;

    // Inside a catch block: a C++ failure is first made the Python error the boundary would make it.
    static InFlight take() {
        Caught caught;
        caught.restore();
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback) PyException_SetTraceback(value, traceback);
        return {py::reinterpret_steal<object>(type), py::reinterpret_steal<object>(value),
                py::reinterpret_steal<object>(traceback)};
    }
    [[noreturn]] void raise_again() {
        PyErr_Restore(type.release().ptr(), value.release().ptr(), traceback.release().ptr());
        throw_error();
    }
};

}  // namespace

namespace detail {

WithStatement::WithStatement(handle manager) {
    object enter = special_method(manager, "__enter__");
    if (!enter) not_a_context_manager(manager, "");
    exit_ = special_method(manager, "__exit__");
    if (!exit_) not_a_context_manager(manager, " (missed __exit__ method)");
    value_ = call(enter);
}

void WithStatement::exit_normally() {
    handle none(Py_None);
    call(exit_, none, none, none);
}

void WithStatement::exit_with_current_exception() {
    InFlight error = InFlight::take();
    {
        // as in the statement's handler: sys.exc_info() shows the error to __exit__, and what is
        // raised meanwhile gets it as its context
        Handling handling(error.value);
        object swallowed = call(exit_, error.type, error.value, error.traceback ? error.traceback : handle(Py_None));
        if (truth(swallowed)) return;
    }
    error.raise_again();
}

}  // namespace detail

}  // namespace native
