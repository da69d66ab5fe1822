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
    Caught error;  // a C++ failure arrives as the Python error the boundary would make of it
    handle value = error.value();
    handle traceback = error.traceback() ? error.traceback() : handle(Py_None);
    {
        // as in the statement's handler: sys.exc_info() shows the error to __exit__, and what is
        // raised meanwhile gets it as its context
        Handling handling(value);
        if (truth(call(exit_, error.type(), value, traceback))) return;
    }
    error.rethrow();
}

}  // namespace detail

}  // namespace native
