// validate of And, Or, Use, PathAwareUse and ListOf.
#include "veltrane.hpp"

namespace veltrane {

namespace {

// `self.path + [data]`: the path of the value's own record in a location tree.
object record_path(handle self, handle data) { return extended(attr(self, "path"), data); }

bool matches_any(const Caught& error, std::initializer_list<PyObject*> types) {
    for (PyObject* type : types)
        if (error.matches(type)) return true;
    return false;
}

// `chainget(locations, self.path + [data])`, or an empty object when that raised one of `skipped`.
object record_of(Frame& f, handle self, handle data, handle locations, std::initializer_list<PyObject*> skipped) {
    object path;
    try {
        path = record_path(self, data);
    } catch (...) {
        Caught error;
        if (!matches_any(error, skipped)) error.rethrow();
        return object();
    }
    return call_skipping(NATIVE_GLOBAL(f, "chainget"), locations, path, skipped);
}

// The name a failure text gives the callable: its __name__, or its repr when it has none.
object callable_name(handle fn) {
    if (object name = optional_attr(fn, "__name__")) return name;
    return repr_of(fn);
}

// The SchemaError that replaces the callable's exception, raised with it as its cause.
[[noreturn]] void conversion_failed(Frame& f, handle self, handle fn, handle data, handle locations, Caught& raised,
                                    bool skip_type_error) {
    Handling handling(raised.value());
    object records = new_list();
    object name = callable_name(fn);
    object message = steal(PyUnicode_FromFormat("%S(%R) raised %R", name.ptr(), data.ptr(), raised.value().ptr()));
    try {
        object record = skip_type_error ? record_of(f, self, data, locations,
                                                    {PyExc_AttributeError, PyExc_KeyError, PyExc_TypeError})
                                        : record_of(f, self, data, locations, {PyExc_AttributeError, PyExc_KeyError});
        if (record) {
            message = steal(PyUnicode_FromFormat("%S\n  %U", record.ptr(), message.ptr()));
            append(records, record);
        }
    } catch (...) {
        // the record's own text form is one of the skipped steps too
        Caught error;
        if (!matches_any(error, {PyExc_AttributeError, PyExc_KeyError}) &&
            !(skip_type_error && error.matches(PyExc_TypeError)))
            error.rethrow();
    }
    object error = call_kw(NATIVE_GLOBAL(f, "SchemaError"), {message}, {{"locations", records}});
    raise_from(error, raised.value());
}

Result convert(Frame& f, handle self, handle data, handle locations, bool path_aware) {
    object fn = attr(self, "schema");
    Result converted = attempt([&] {
        if (!path_aware) return Result::of(PyObject_CallOneArg(fn.ptr(), data.ptr()));
        object path = attr(self, "path");
        PyObject* args[] = {nullptr, path.ptr(), data.ptr()};
        return Result::of(PyObject_Vectorcall(fn.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    });
    if (converted) return converted;
    Caught raised;
    if (raised.matches(NATIVE_GLOBAL(f, "SchemaError")) || !raised.matches(PyExc_Exception)) return pass_on(raised);
    conversion_failed(f, self, fn, data, locations, raised, !path_aware);
}

// One failed alternative of Or: "<wrapper> does not match <data>(<record>)\n<error>".
object alternative_text(Frame& f, Wrappers& wrappers, size_t i, handle self, handle data, handle locations,
                        handle records, Caught& failed) {
    Handling handling(failed.value());
    object message = steal(PyUnicode_FromFormat("%S does not match %S", wrappers.text(i).ptr(), data.ptr()));
    object record = record_of(f, self, data, locations, {PyExc_AttributeError, PyExc_KeyError});
    if (record) {
        try {
            object with_record = steal(PyUnicode_FromFormat("%U(%S)", message.ptr(), record.ptr()));
            append(records, record);
            message = with_record;
        } catch (...) {
            // the record's own text form is one of the skipped steps too
            Caught error;
            if (!matches_any(error, {PyExc_AttributeError, PyExc_KeyError})) error.rethrow();
        }
    }
    return steal(PyUnicode_FromFormat("%U\n%S", message.ptr(), failed.value().ptr()));
}

// The slot at the end of a ListOf's path that holds the position of the element being validated,
// and the path put back as it was when the call began.
class PositionSlot {
public:
    PositionSlot(handle self, handle path) : self_(self), path_(path), size_(check_value(PyObject_Size(path.ptr()))) {
        append(path_, handle(Py_None));
    }
    void set(Py_ssize_t position) { set_item(path_, integer(-1), integer(position)); }
    void restore() {
        if (PyList_Check(path_.ptr())) {
            if (PyList_GET_SIZE(path_.ptr()) > size_)
                check(PyList_SetSlice(path_.ptr(), size_, PY_SSIZE_T_MAX, nullptr));
        } else {
            call_method(path_, "pop");
        }
        object now = attr(self_, "path");
        if (now.ptr() != path_.ptr()) set_attr(self_, "path", path_);
    }

private:
    handle self_;
    handle path_;
    Py_ssize_t size_;
};

struct ListOfRun {
    Validation& validation;
    handle path;
    PositionSlot& slot;
    std::unique_ptr<PathRef> view = PathRef::view(path);  // every element's wrapper starts from the list
    object valid = new_list();
    object errors = new_list();
    object records = new_list();

    void element(Py_ssize_t position, handle element, handle sub, handle top) {
        slot.set(position);
        Result result = attempt([&] {
            PathRef element_path(*view, handle());
            return validate_with(validation, sub, element_path, element, top);
        });
        if (result) {
            append(valid, result.get());
            return;
        }
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(validation.f, "SchemaError"))) error.rethrow();
        Handling handling(error.value());
        append(errors, error.value());
        object record =
            call_skipping(NATIVE_GLOBAL(validation.f, "chainget"), validation.locations, path, {PyExc_KeyError});
        if (record && is_instance(record, NATIVE_GLOBAL(validation.f, "Location"))) append(records, record);
    }

    Result finish() {
        if (!truth(errors)) return valid;
        object texts = new_list();
        for_each(errors, [&](handle error) { append(texts, str_of(error)); });
        object joined = steal(PyUnicode_Join(text("\n").ptr(), texts.ptr()));
        object message = steal(PyUnicode_FromFormat("Bad elements in list:\n%U", joined.ptr()));
        return raised(call_kw(NATIVE_GLOBAL(validation.f, "SchemaError"), {message}, {{"locations", records}}));
    }
};

}  // namespace

Result and_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    Validation validation{f, locations, advanced};
    object schemas = attr(self, "schemas");
    Wrappers wrappers(validation, schemas, attr(self, "path"), top);
    object value = borrow(data.ptr());
    for (size_t i = 0; i < wrappers.size(); ++i) {
        Result result = wrappers.validate(i, value);
        if (!result) return result;
        value = std::move(result).take();
    }
    return value;
}

Result or_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    Validation validation{f, locations, advanced};
    object messages = new_list();
    object records = new_list();
    object schemas = attr(self, "schemas");
    Wrappers wrappers(validation, schemas, attr(self, "path"), top);
    for (size_t i = 0; i < wrappers.size(); ++i) {
        Result result = attempt([&] { return wrappers.validate(i, data); });
        if (result) return result;
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(f, "SchemaError"))) return pass_on(error);
        append(messages, alternative_text(f, wrappers, i, self, data, locations, records, error));
    }
    object message = steal(PyUnicode_Join(text("\nAND\n").ptr(), messages.ptr()));
    return raised(call_kw(NATIVE_GLOBAL(f, "SchemaError"), {message}, {{"locations", records}}));
}

Result use_validate(Frame& f, handle self, handle data, handle, handle locations, handle) {
    return convert(f, self, data, locations, false);
}

Result pathaware_validate(Frame& f, handle self, handle data, handle, handle locations, handle) {
    return convert(f, self, data, locations, true);
}

Result listof_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    if (!is_instance(data, NATIVE_GLOBAL(f, "list"))) {
        object path = attr(self, "path");
        return raised(
            call_kw(NATIVE_GLOBAL(f, "SchemaTypeError"), {path, text("list"), data}, {{"locations", locations}}));
    }
    Validation validation{f, locations, advanced};
    object path = attr(self, "path");
    object sub = attr(self, "schema");
    PositionSlot slot(self, path);
    return try_finally(
        [&] {
            ListOfRun run{validation, path, slot};
            Py_ssize_t position = 0;
            for_each(data, [&](handle element) { run.element(position++, element, sub, top); });
            return run.finish();
        },
        [&] { slot.restore(); });
}

}  // namespace veltrane
