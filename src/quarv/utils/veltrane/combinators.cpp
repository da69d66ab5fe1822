// validate of And, Or, Use, PathAwareUse and ListOf.
#include "veltrane.hpp"

namespace veltrane {

namespace {

bool matches_any(const Caught& error, std::initializer_list<PyObject*> types) {
    for (PyObject* type : types)
        if (error.matches(type)) return true;
    return false;
}

// `chainget(locations, path + [data])`, or an empty object when that raised one of `skipped`.
// `path` is the object's path as its validation read it; without one, the object is asked now.
object record_of(Frame& f, handle self, handle path, handle data, handle locations,
                 std::initializer_list<PyObject*> skipped) {
    object record_path;
    try {
        record_path = extended(path ? borrow(path.ptr()) : attr(self, "path"), data);
    } catch (...) {
        Caught error;
        if (!matches_any(error, skipped)) error.rethrow();
        return object();
    }
    return call_skipping(NATIVE_GLOBAL(f, "chainget"), locations, record_path, skipped);
}

// The name a failure text gives the callable: its __name__, or its repr when it has none.
object callable_name(handle fn) {
    if (object name = optional_attr(fn, "__name__")) return name;
    return repr_of(fn);
}

// The SchemaError that replaces the callable's exception, raised with it as its cause.
[[noreturn]] void conversion_failed(Walk& walk, handle self, handle path, handle fn, handle data, Caught& raised,
                                    bool skip_type_error) {
    Frame& f = walk.f;
    Handling handling(raised.value());
    object records = new_list();
    object name = callable_name(fn);
    object message = steal(PyUnicode_FromFormat("%S(%R) raised %R", name.ptr(), data.ptr(), raised.value().ptr()));
    try {
        object record = skip_type_error
                            ? record_of(f, self, path, data, walk.locations,
                                        {PyExc_AttributeError, PyExc_KeyError, PyExc_TypeError})
                            : record_of(f, self, path, data, walk.locations, {PyExc_AttributeError, PyExc_KeyError});
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

Result convert(Walk& walk, handle self, handle data, bool path_aware) {
    RecursionGuard guard;  // the callable may validate with this very object again
    object fn = attr(self, "schema");
    object path = optional_attr(self, "path");  // the path this call validates at
    Result converted = attempt([&] {
        if (!path_aware) {
            // int(text) is the text read in base 10, with the same errors
            if (fn.ptr() == reinterpret_cast<PyObject*>(&PyLong_Type) && PyUnicode_CheckExact(data.ptr()))
                return Result::of(PyLong_FromUnicodeObject(data.ptr(), 10));
            return Result::of(PyObject_CallOneArg(fn.ptr(), data.ptr()));
        }
        object given = path ? path : attr(self, "path");
        PyObject* args[] = {nullptr, given.ptr(), data.ptr()};
        return Result::of(PyObject_Vectorcall(fn.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    });
    if (converted) return converted;
    Caught raised;
    if (raised.matches(NATIVE_GLOBAL(walk.f, "SchemaError")) || !raised.matches(PyExc_Exception))
        return pass_on(raised);
    conversion_failed(walk, self, path, fn, data, raised, !path_aware);
}

// ----- Or ----------------------------------------------------------------------------------------------

// One failed alternative of Or: "<wrapper> does not match <data>(<record>)\n<error>".
object alternative_text(Walk& walk, Wrappers& wrappers, size_t i, handle self, handle path, handle data, handle records,
                        handle failed) {
    Handling handling(failed);
    object message = steal(PyUnicode_FromFormat("%S does not match %S", wrappers.text(i).ptr(), data.ptr()));
    object record = record_of(walk.f, self, path, data, walk.locations, {PyExc_AttributeError, PyExc_KeyError});
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
    return steal(PyUnicode_FromFormat("%U\n%S", message.ptr(), failed.ptr()));
}

// A failed alternative: its text, or what makes its error and text when every alternative failed.
struct Failure {
    size_t index;
    object message;      // null while deferred
    handle error_class;  // of a deferred failure
};

// An alternative that is a plain value or one of the nine built-in types fails with an error that
// the framework's own class makes from the wrapper's path, the alternative and the data, and whose
// text (like the data's and the wrapper's) runs no user code; without a location tree the record
// look-up is the framework's own KeyError. Such a failure is only made once every alternative
// failed: when a later one validates, nobody could have seen it. Any other failure has its text
// made at once, as its own code may be watched.
class LeafAlternatives {
public:
    LeafAlternatives(Walk& walk, handle data) : walk_(walk) {
        const OwnObjects& own = walk.f.state<State>().own;
        usable_ = plain_value(data) && walk.locations.is_none() &&
                  NATIVE_GLOBAL(walk.f, "chainget").ptr() == own.chainget.ptr() &&
                  NATIVE_GLOBAL(walk.f, "SchemaError").ptr() == own.SchemaError.ptr();
    }

    // The error class a leaf alternative raises when it fails, or null when it is no such leaf.
    handle leaf_class(Wrappers& wrappers, size_t i) {
        if (!usable_ || !wrappers.unseen()) return handle();
        handle sub = wrappers.sub(i);
        bool settled = false;
        Rule rule = rule_of(walk_.f, sub, type_of(sub), &settled);
        if (!settled || !wrappers.path(i).plain_elements()) return handle();
        const OwnObjects& own = walk_.f.state<State>().own;
        object error_class;
        if (rule == Rule::literal) {
            error_class = NATIVE_GLOBAL(walk_.f, "SchemaValueError");
            if (error_class.ptr() != own.SchemaValueError.ptr()) return handle();
        } else if (rule == Rule::builtin_type) {
            error_class = NATIVE_GLOBAL(walk_.f, "SchemaTypeError");
            if (error_class.ptr() != own.SchemaTypeError.ptr()) return handle();
        } else {
            return handle();
        }
        rule_ = rule;
        return error_class;
    }

    // The rule of the leaf found by leaf_class: whether `data` passes it.
    bool passes(handle sub, handle data) const {
        return rule_ == Rule::literal ? equal(sub, data) : is_instance(data, sub);
    }

private:
    Walk& walk_;
    bool usable_ = false;
    Rule rule_ = Rule::unknown;
};

// ----- ListOf ------------------------------------------------------------------------------------------

// The slot at the end of a ListOf's path that holds the position of the element being validated,
// and the path put back as it was when the call began.
class PositionSlot {
public:
    PositionSlot(handle self, handle path) : self_(self), path_(path), size_(check_value(PyObject_Size(path.ptr()))) {
        append(path_, handle(Py_None));
    }
    void set(Py_ssize_t position) {
        object index = steal(PyLong_FromSsize_t(position));
        // checked: no call into Python between reading the exact list's size and storing the item
        Py_ssize_t size = PyList_CheckExact(path_.ptr()) ? PyList_GET_SIZE(path_.ptr()) : 0;
        if (size > 0) {
            check(PyList_SetItem(path_.ptr(), size - 1, index.release().ptr()));
        } else {
            set_item(path_, integer(-1), index);
        }
    }
    void restore() {
        if (PyList_Check(path_.ptr())) {
            // checked: type checked above, and nothing runs between reading the size and cutting
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

class ListOfRun {
public:
    ListOfRun(Walk& walk, handle path, PositionSlot& slot) : walk_(walk), path_(path), slot_(slot), view_(path) {}

    void element(Py_ssize_t position, handle element, handle sub, handle top) {
        slot_.set(position);
        Result result = attempt([&] {
            PathRef element_path(view_, handle());  // every element's wrapper starts from the list
            return validate_with(walk_, sub, element_path, element, top);
        });
        if (result) {
            append(valid_, result.get());
            return;
        }
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(walk_.f, "SchemaError"))) error.rethrow();
        Handling handling(error.value());
        if (!errors_) errors_ = new_list();
        append(errors_, error.value());
        object record = call_skipping(NATIVE_GLOBAL(walk_.f, "chainget"), walk_.locations, path_, {PyExc_KeyError});
        if (record && is_instance(record, NATIVE_GLOBAL(walk_.f, "Location"))) append(records(), record);
    }

    Result finish() {
        if (!errors_) return valid_;
        object texts = new_list();
        for_each(errors_, [&](handle error) { append(texts, str_of(error)); });
        object joined = steal(PyUnicode_Join(text("\n").ptr(), texts.ptr()));
        object message = steal(PyUnicode_FromFormat("Bad elements in list:\n%U", joined.ptr()));
        return raised(call_kw(NATIVE_GLOBAL(walk_.f, "SchemaError"), {message}, {{"locations", records()}}));
    }

private:
    handle records() {
        if (!records_) records_ = new_list();
        return records_;
    }

    Walk& walk_;
    handle path_;
    PositionSlot& slot_;
    PathRef view_;
    object valid_ = new_list();
    object errors_;
    object records_;
};

}  // namespace

// ----- the walks ------------------------------------------------------------------------------------------

Result and_walk(Walk& walk, handle self, handle data, handle top) {
    RecursionGuard guard;
    object schemas = attr(self, "schemas");
    Wrappers wrappers(walk, schemas, attr(self, "path"), top);
    object value = borrow(data.ptr());
    for (size_t i = 0; i < wrappers.size(); ++i) {
        Result result = wrappers.validate(i, value);
        if (!result) return result;
        value = std::move(result).take();
    }
    return value;
}

Result or_walk(Walk& walk, handle self, handle data, handle top) {
    RecursionGuard guard;
    object schemas = attr(self, "schemas");
    object path = attr(self, "path");  // the path this call validates at, for the record look-ups
    Wrappers wrappers(walk, schemas, path, top);
    LeafAlternatives leaves(walk, data);
    std::vector<Failure> failures;
    object records = new_list();
    for (size_t i = 0; i < wrappers.size(); ++i) {
        if (handle error_class = leaves.leaf_class(wrappers, i)) {
            if (leaves.passes(wrappers.sub(i), data)) return borrow(data.ptr());
            failures.push_back({i, object(), error_class});
            continue;
        }
        Result result = attempt([&] { return wrappers.validate(i, data); });
        if (result) return result;
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(walk.f, "SchemaError"))) return pass_on(error);
        failures.push_back(
            {i, alternative_text(walk, wrappers, i, self, path, data, records, error.value()), handle()});
    }
    object messages = new_list();
    for (Failure& failure : failures) {
        if (!failure.message) {
            object wrapper_path = wrappers.path(failure.index).get();
            object error = call_kw(failure.error_class, {wrapper_path, wrappers.sub(failure.index), data},
                                   {{"locations", walk.locations}});
            failure.message = alternative_text(walk, wrappers, failure.index, self, path, data, records, error);
        }
        append(messages, failure.message);
    }
    object message = steal(PyUnicode_Join(text("\nAND\n").ptr(), messages.ptr()));
    return raised(call_kw(NATIVE_GLOBAL(walk.f, "SchemaError"), {message}, {{"locations", records}}));
}

Result use_walk(Walk& walk, handle self, handle data, handle) { return convert(walk, self, data, false); }

Result pathaware_walk(Walk& walk, handle self, handle data, handle) { return convert(walk, self, data, true); }

Result listof_walk(Walk& walk, handle self, handle data, handle top) {
    RecursionGuard guard;
    Frame& f = walk.f;
    if (!is_instance(data, NATIVE_GLOBAL(f, "list"))) {
        object path = attr(self, "path");
        return raised(
            call_kw(NATIVE_GLOBAL(f, "SchemaTypeError"), {path, text("list"), data}, {{"locations", walk.locations}}));
    }
    object path = attr(self, "path");
    object sub = attr(self, "schema");
    PositionSlot slot(self, path);
    return try_finally(
        [&] {
            ListOfRun run(walk, path, slot);
            Py_ssize_t position = 0;
            for_each(data, [&](handle element) { run.element(position++, element, sub, top); });
            return run.finish();
        },
        [&] { slot.restore(); });
}

// ----- the entry points -------------------------------------------------------------------------------

namespace {

template <Result (*walk_fn)(Walk&, handle, handle, handle)>
Result enter(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    WalkMemo memo;
    Walk walk{f, locations, advanced, memo};
    return walk_fn(walk, self, data, top);
}

}  // namespace

Result and_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    return enter<&and_walk>(f, self, data, top, locations, advanced);
}

Result or_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    return enter<&or_walk>(f, self, data, top, locations, advanced);
}

Result use_validate(Frame& f, handle self, handle data, handle top, handle locations, handle) {
    return enter<&use_walk>(f, self, data, top, locations, handle(Py_True));
}

Result pathaware_validate(Frame& f, handle self, handle data, handle top, handle locations, handle) {
    return enter<&pathaware_walk>(f, self, data, top, locations, handle(Py_True));
}

Result listof_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    return enter<&listof_walk>(f, self, data, top, locations, advanced);
}

}  // namespace veltrane
