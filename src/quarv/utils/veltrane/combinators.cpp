// validate of And, Or, Use, PathAwareUse and ListOf.
#include "veltrane.hpp"

namespace veltrane {

namespace {

// `self.path + [data]`: the path of the value's own record in a location tree.
object record_path(handle self, handle data) { return extended(attr(self, "path"), data); }

bool matches_any(py::error_already_set& e, std::initializer_list<PyObject*> types) {
    for (PyObject* type : types)
        if (e.matches(type)) return true;
    return false;
}

// `chainget(locations, self.path + [data])`, or null when that raised one of `skipped`.
object record_of(Frame& f, handle self, handle data, handle locations, std::initializer_list<PyObject*> skipped) {
    object path;
    try {
        path = record_path(self, data);
    } catch (py::error_already_set& e) {
        if (!matches_any(e, skipped)) throw;
        return object();
    }
    object record = call_skipping(NATIVE_GLOBAL(f, "chainget"), locations, path, skipped);
    if (!record) PyErr_Clear();
    return record;
}

// The name a failure text gives the callable: its __name__, or its repr when it has none.
object callable_name(handle fn) {
    PyObject* name = nullptr;
    check(_PyObject_LookupAttr(fn.ptr(), intern("__name__"), &name));
    if (name) return steal(name);
    return repr_of(fn);
}

// The SchemaError that replaces the callable's exception `x`, raised with `x` as its cause.
[[noreturn]] void conversion_failed(Frame& f, handle self, handle fn, handle data, handle locations,
                                    py::error_already_set& x, bool skip_type_error) {
    Handling handling(x.value());
    object records = new_list();
    object name = callable_name(fn);
    object message = steal(PyUnicode_FromFormat("%S(%R) raised %R", name.ptr(), data.ptr(), x.value().ptr()));
    try {
        object record = skip_type_error
                            ? record_of(f, self, data, locations, {PyExc_AttributeError, PyExc_KeyError, PyExc_TypeError})
                            : record_of(f, self, data, locations, {PyExc_AttributeError, PyExc_KeyError});
        if (record) {
            message = steal(PyUnicode_FromFormat("%S\n  %U", record.ptr(), message.ptr()));
            append(records, record);
        }
    } catch (py::error_already_set& e) {
        // the record's own text form is one of the skipped steps too
        if (!matches_any(e, {PyExc_AttributeError, PyExc_KeyError}) && !(skip_type_error && e.matches(PyExc_TypeError)))
            throw;
    }
    object error = call_kw(NATIVE_GLOBAL(f, "SchemaError"), {message}, {{"locations", records}});
    raise_from(error, x.value());
}

object convert(Frame& f, handle self, handle data, handle locations, bool path_aware) {
    object fn = attr(self, "schema");
    try {
        if (path_aware) return call(fn, attr(self, "path"), data);
        return call(fn, data);
    } catch (py::error_already_set& e) {
        if (e.matches(NATIVE_GLOBAL(f, "SchemaError"))) throw;
        if (!e.matches(PyExc_Exception)) throw;
        conversion_failed(f, self, fn, data, locations, e, !path_aware);
    }
}

// One failed alternative of Or: "<wrapper> does not match <data>(<record>)\n<error>".
object alternative_text(Frame& f, Wrappers& wrappers, size_t i, handle self, handle data, handle locations,
                        handle records, py::error_already_set& e) {
    Handling handling(e.value());
    object message = steal(PyUnicode_FromFormat("%S does not match %S", wrappers.text(i).ptr(), data.ptr()));
    object record = record_of(f, self, data, locations, {PyExc_AttributeError, PyExc_KeyError});
    if (record) {
        try {
            object with_record = steal(PyUnicode_FromFormat("%U(%S)", message.ptr(), record.ptr()));
            append(records, record);
            message = with_record;
        } catch (py::error_already_set& failure) {
            // the record's own text form is one of the skipped steps too
            if (!matches_any(failure, {PyExc_AttributeError, PyExc_KeyError})) throw;
        }
    }
    return steal(PyUnicode_FromFormat("%U\n%S", message.ptr(), e.value().ptr()));
}

// Puts a ListOf's path back as it was when the call began, however the call ends.
class PathSlot {
public:
    PathSlot(handle self, handle path) : self_(self), path_(path), size_(PyObject_Size(path.ptr())) {
        if (size_ < 0) throw py::error_already_set();
        append(path_, handle(Py_None));
    }
    void set(Py_ssize_t i) {
        object position = steal(PyLong_FromSsize_t(i));
        check(PyObject_SetItem(path_.ptr(), steal(PyLong_FromLong(-1)).ptr(), position.ptr()));
    }
    void restore(bool quiet) {
        int status = 0;
        if (PyList_Check(path_.ptr())) {
            if (PyList_GET_SIZE(path_.ptr()) > size_) status = PyList_SetSlice(path_.ptr(), size_, PY_SSIZE_T_MAX, nullptr);
        } else {
            PyObject* popped = PyObject_CallMethod(path_.ptr(), "pop", nullptr);
            status = popped ? 0 : -1;
            Py_XDECREF(popped);
        }
        PyObject* now = status == 0 ? PyObject_GetAttr(self_.ptr(), intern("path")) : nullptr;
        if (now && now != path_.ptr()) status = PyObject_SetAttr(self_.ptr(), intern("path"), path_.ptr());
        if (!now) status = -1;
        Py_XDECREF(now);
        if (status < 0 && quiet) PyErr_Clear();
        if (status < 0 && !quiet) throw py::error_already_set();
    }

private:
    handle self_;
    handle path_;
    Py_ssize_t size_;
};

struct ListOfRun {
    Call& c;
    handle path;
    PathSlot& slot;
    std::unique_ptr<PathRef> view = PathRef::view(path);  // every element's wrapper starts from the list
    object valid = new_list();
    object errors = new_list();
    object records = new_list();

    void element(Py_ssize_t i, handle element, handle sub, handle top) {
        slot.set(i);
        object result;
        try {
            PathRef element_path(*view, handle());
            result = validate_with(c, sub, element_path, element, top, true);
        } catch (py::error_already_set& e) {
            failed(e);
            return;
        }
        if (result) {
            append(valid, result);
            return;
        }
        py::error_already_set e = pending_error();
        failed(e);
    }

    void failed(py::error_already_set& e) {
        if (!e.matches(NATIVE_GLOBAL(c.f, "SchemaError"))) throw e;
        Handling handling(e.value());
        append(errors, e.value());
        object record = call_skipping(NATIVE_GLOBAL(c.f, "chainget"), c.locations, path, {PyExc_KeyError});
        if (!record) {
            PyErr_Clear();
            return;
        }
        if (is_instance(record, NATIVE_GLOBAL(c.f, "Location"))) append(records, record);
    }

    object finish() {
        if (!truth(errors)) return valid;
        object texts = new_list();
        for_each(errors, [&](handle error) { append(texts, str_of(error)); });
        object joined = steal(PyUnicode_Join(text("\n").ptr(), texts.ptr()));
        object message = steal(PyUnicode_FromFormat("Bad elements in list:\n%U", joined.ptr()));
        raise(call_kw(NATIVE_GLOBAL(c.f, "SchemaError"), {message}, {{"locations", records}}));
    }
};

}  // namespace

object and_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    Call c{f, locations, advanced};
    object schemas = attr(self, "schemas");
    Wrappers wrappers(c, schemas, attr(self, "path"), top);
    object value = borrow(data.ptr());
    for (size_t i = 0; i < wrappers.size(); ++i) value = wrappers.validate(i, value);
    return value;
}

object or_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    Call c{f, locations, advanced};
    object messages = new_list();
    object records = new_list();
    object schemas = attr(self, "schemas");
    Wrappers wrappers(c, schemas, attr(self, "path"), top);
    auto failed = [&](size_t i, py::error_already_set& e) {
        if (!e.matches(NATIVE_GLOBAL(f, "SchemaError"))) throw e;
        append(messages, alternative_text(f, wrappers, i, self, data, locations, records, e));
    };
    for (size_t i = 0; i < wrappers.size(); ++i) {
        object result;
        try {
            result = wrappers.validate(i, data, true);
        } catch (py::error_already_set& e) {
            failed(i, e);
            continue;
        }
        if (result) return result;
        py::error_already_set e = pending_error();
        failed(i, e);
    }
    object message = steal(PyUnicode_Join(text("\nAND\n").ptr(), messages.ptr()));
    raise(call_kw(NATIVE_GLOBAL(f, "SchemaError"), {message}, {{"locations", records}}));
}

object use_validate(Frame& f, handle self, handle data, handle, handle locations, handle) {
    return convert(f, self, data, locations, false);
}

object pathaware_validate(Frame& f, handle self, handle data, handle, handle locations, handle) {
    return convert(f, self, data, locations, true);
}

object listof_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    Call c{f, locations, advanced};
    if (!is_instance(data, NATIVE_GLOBAL(f, "list"))) {
        object path = attr(self, "path");
        raise(call_kw(NATIVE_GLOBAL(f, "SchemaTypeError"), {path, text("list"), data}, {{"locations", locations}}));
    }
    object path = attr(self, "path");
    object sub = attr(self, "schema");
    PathSlot slot(self, path);
    ListOfRun run{c, path, slot};
    object result;
    try {
        Py_ssize_t i = 0;
        for_each(data, [&](handle element) { run.element(i++, element, sub, top); });
        result = run.finish();
    } catch (...) {
        slot.restore(true);
        throw;
    }
    slot.restore(false);
    return result;
}

}  // namespace veltrane
