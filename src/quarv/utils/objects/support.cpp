// Small helpers of quarv.utils.objects.
#include "objects.hpp"

namespace objects {

bool is_iterable(Frame& f, handle obj) {
    object iterable = NATIVE_GLOBAL(f, "Iterable");
    if (iterable.ptr() == f.state<State>().iterable_abc.ptr()) {
        // the built-in containers are iterable by their own nature, whatever is registered later
        PyObject* o = obj.ptr();
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o) || PyUnicode_CheckExact(o) ||
            PyAnySet_CheckExact(o))
            return true;
    }
    return is_instance(obj, iterable);
}

bool is_instance_of(handle obj, handle cls) {
    // a class made by `type` itself answers by the object's type and its __class__, which for the
    // runtime's built-in types is their type: none of them derives from a class of ours or the caller's
    if (Py_TYPE(cls.ptr()) == &PyType_Type && builtin::has(obj, builtin::known))
        return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr())) != 0;
    return is_instance(obj, cls);
}

bool is_operator(Frame& f, handle obj) { return is_instance_of(obj, NATIVE_GLOBAL(f, "Operator")); }
bool is_not_exists(Frame& f, handle obj) { return is_instance_of(obj, NATIVE_GLOBAL(f, "NotExists")); }

bool is_pattern_text(handle obj) {
    if (!PyUnicode_Check(obj.ptr())) return false;
    if (PyUnicode_CheckExact(obj.ptr()))
        return PyUnicode_GET_LENGTH(obj.ptr()) > 0 && PyUnicode_READ_CHAR(obj.ptr(), 0) == '(';
    return truth(call_method(obj, "startswith", handle(intern("("))));
}

bool text_form_opens_pattern(handle obj) {
    object shown = str_of(obj);
    return PyUnicode_GET_LENGTH(shown.ptr()) > 0 && PyUnicode_READ_CHAR(shown.ptr(), 0) == '(';
}

object compile_pattern(Frame& f, handle source) {
    object re = NATIVE_GLOBAL(f, "re");
    return call(attr(re, "compile"), source);
}

object compile_or_refuse(Frame& f, handle source, handle shown) {
    try {
        return compile_pattern(f, source);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        Handling handling(failure.value());
        object message = steal(PyUnicode_FromFormat("'%U' is not a valid regex expression", format_of(shown).ptr()));
        raise_from(call(handle(PyExc_ValueError), message), failure.value());
    }
}

bool pattern_matches(handle pattern, handle text) { return truth(call_method(pattern, "match", text)); }
bool matcher_accepts(handle match, handle text) { return truth(call(match, text)); }

object first_group_name(handle pattern) {
    object first;
    for_each(attr(pattern, "groupindex"), [&](handle name) {
        first = borrow(name.ptr());
        return false;
    });
    if (!first) raise(PyExc_IndexError, "list index out of range");
    return first;
}

object next_of(handle iterator) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (item) return steal(item);
    if (PyErr_Occurred()) throw_error();
    return object();
}

object dict_lookup(handle dict, handle key) {
    // checked: no call into Python between the look-up's return and taking the value as a strong reference
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw_error();
    return object();
}

object slice_from(handle sequence, Py_ssize_t start) {
    return steal(PySequence_GetSlice(sequence.ptr(), start, PY_SSIZE_T_MAX));
}

object pair_of(handle value, handle key) { return tuple_of(value, list_of(key)); }

void insert_front(handle path, handle key) {
    if (PyList_CheckExact(path.ptr())) {
        check(PyList_Insert(path.ptr(), 0, key.ptr()));
        return;
    }
    call_method(path, "insert", integer(0), key);
}

}  // namespace objects
