// The dictionary rule of Schema.validate: keys matched literally or by key tests, missing keys
// gathered from every depth, unsupported keys reported last.
#include "veltrane.hpp"

namespace veltrane {

namespace {

object keys_of(handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return steal(PyDict_Keys(mapping.ptr()));
    return steal(PySequence_List(call_method(mapping, "keys").ptr()));
}

Py_ssize_t size_of(handle obj) { return check_value(PyObject_Size(obj.ptr())); }

// `sorted(keys, key=Schema.priority)` of a new list of keys, kept where no Python code can change it
// while the priorities and the validations that follow run.
std::vector<object> by_priority(Frame& f, handle keys) {
    std::vector<object> ordered;
    object priority = attr(NATIVE_GLOBAL(f, "Schema"), "priority");
    if (!PyMethod_Check(priority.ptr()) ||
        PyMethod_GET_FUNCTION(priority.ptr()) != f.state<State>().own.priority.ptr()) {
        for_each(call_kw(NATIVE_GLOBAL(f, "sorted"), {keys}, {{"key", priority}}),
                 [&](handle key) { ordered.push_back(borrow(key.ptr())); });
        return ordered;
    }
    std::vector<object> ranked[3];
    for_each(keys, [&](handle key) { ranked[priority_of(f, key) - 1].push_back(borrow(key.ptr())); });
    ordered = std::move(ranked[0]);
    ordered.insert(ordered.end(), ranked[1].begin(), ranked[1].end());
    ordered.insert(ordered.end(), ranked[2].begin(), ranked[2].end());
    return ordered;
}

// The object's `missed` for one validation of a dictionary: a new list, and the one it replaced
// back afterwards, so no entry outlives the validation and a re-entered object keeps its own.
class FreshMissed {
public:
    explicit FreshMissed(handle self) : self_(self), list_(new_list()) {
        if (!self_) return;
        saved_ = optional_attr(self_, "missed");
        set_attr(self_, "missed", list_);
    }
    handle list() const { return list_; }
    void restore() {
        if (!self_) return;
        if (saved_) {
            set_attr(self_, "missed", saved_);
        } else {
            check(PyObject_DelAttr(self_.ptr(), intern("missed")));
        }
    }

private:
    handle self_;
    object list_;
    object saved_;
};

// What became of a value validated for a data key.
enum class Outcome {
    valid,        // kept among the valid keys
    lacked_keys,  // the keys it lacks were gathered into `missed`
    failed,       // some other error, pending
};

class DictRule {
public:
    DictRule(Validation& validation, SchemaTarget& target, handle data, handle missed)
        : validation_(validation), f_(validation.f), target_(target), data_(data), missed_(missed) {}

    Result run() {
        object ordered_dict = NATIVE_GLOBAL(f_, "OrderedDict");
        valid_ = is_instance(data_, ordered_dict) ? call(ordered_dict) : new_dict();
        coverage_ = steal(PySet_New(nullptr));
        for (const object& key : by_priority(f_, keys_of(data_)))
            if (!one_key(key)) return Result::failure();
        return finish();
    }

private:
    // The path of the enclosing object, as `self.path` reads now.
    const PathRef& owner(std::unique_ptr<PathRef>& holder) {
        if (!target_.self) return *target_.path;
        holder = PathRef::view(attr(target_.self, "path"));
        return *holder;
    }

    // False with the error pending when the key's validation failed.
    bool one_key(handle key) {
        object value = get_item(data_, key);
        std::unique_ptr<PathRef> holder;
        const PathRef& base = owner(holder);
        if (contains(target_.schema, key)) {
            object schema_value = get_item(target_.schema, key);
            return value_rule(schema_value, key, value, base, key, key) != Outcome::failed;
        }
        return key_tests(key, value, base);
    }

    // Validates the value of the data key `key` against `schema_value`: the schema key `covered`
    // counts as covered unless the validation failed, and a valid value is kept under `valid_key`.
    Outcome value_rule(handle schema_value, handle key, handle value, const PathRef& base, handle covered,
                       handle valid_key) {
        Result result = attempt([&] {
            PathRef value_path(base, key);
            return validate_with(validation_, schema_value, value_path, value, handle(Py_False));
        });
        if (result) {
            check(PySet_Add(coverage_.ptr(), covered.ptr()));
            set_item(valid_, valid_key, result.get());
            return Outcome::valid;
        }
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) {
            error.restore();
            return Outcome::failed;
        }
        convert_missing(error);
        check(PySet_Add(coverage_.ptr(), covered.ptr()));
        return Outcome::lacked_keys;
    }

    // The schema keys, in priority order, validate the data key until one accepts it and its value
    // is valid; a key that none accepts stays unsupported. False with the error pending on failure.
    bool key_tests(handle key, handle value, const PathRef& base) {
        for (const object& schema_key : by_priority(f_, keys_of(target_.schema))) {
            object schema_value = get_item(target_.schema, schema_key);
            std::unique_ptr<PathRef> key_holder;
            const PathRef& key_base = target_.self ? owner(key_holder) : base;
            Result accepted = attempt([&] {
                PathRef key_path(key_base, handle());
                return validate_with(validation_, schema_key, key_path, key, handle(Py_False));
            });
            if (!accepted) {
                Caught error;
                if (!key_test_failed(error)) {
                    error.restore();
                    return false;
                }
                continue;
            }
            Outcome outcome = value_rule(schema_value, key, value, base, schema_key, accepted.get());
            if (outcome != Outcome::lacked_keys) return outcome == Outcome::valid;
        }
        return true;
    }

    // A key test that raised a schema error: the next schema key is tried.
    bool key_test_failed(Caught& error) {
        if (error.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) {
            convert_missing(error);
            return true;
        }
        return error.matches(NATIVE_GLOBAL(f_, "SchemaError"));
    }

    // Every missing key the error reports becomes an entry of `missed`: the key path of the
    // dictionary that lacks it, followed by its name.
    void convert_missing(Caught& error) {
        Handling handling(error.value());
        object names = attr(error.value(), "keys");
        object paths = attr(error.value(), "path");
        Py_ssize_t path_count = size_of(paths);
        Py_ssize_t position = 0;
        for_each(names, [&](handle name) {
            if (path_count == 0) return;
            object path = steal(PySequence_GetItem(paths.ptr(), position++ % path_count));
            object entry = PyList_CheckExact(path.ptr())
                               ? steal(PyList_GetSlice(path.ptr(), 0, PyList_GET_SIZE(path.ptr())))
                               : steal(PySequence_List(path.ptr()));
            check(PyList_Append(entry.ptr(), name.ptr()));
            check(PyList_Append(missed_.ptr(), entry.ptr()));
        });
    }

    object without_optional(handle keys) {
        object optional = NATIVE_GLOBAL(f_, "Optional");
        object result = steal(PySet_New(nullptr));
        for_each(keys, [&](handle key) {
            if (!is_subclass(type_of(key), optional)) check(PySet_Add(result.ptr(), key.ptr()));
        });
        return result;
    }

    Result missing_keys(handle coverage, handle required, bool differ) {
        object names = new_list();
        object paths = new_list();
        if (differ) {
            object absent = steal(PyNumber_Subtract(required.ptr(), coverage.ptr()));
            object path = target_.path_now();
            for_each(absent, [&](handle key) {
                append(names, str_of(key));
                append(paths, path);
            });
        }
        for_each(missed_, [&](handle entry) {
            append(names, call_method(entry, "pop"));
            append(paths, entry);
        });
        return raised(call_kw(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"), {paths, names},
                              {{"locations", validation_.locations}}));
    }

    Result finish() {
        object coverage = without_optional(coverage_);
        object required = without_optional(keys_of(target_.schema));
        bool differ = not_equal(coverage, required);
        if (truth(missed_) || differ) return missing_keys(coverage, required, differ);
        if (size_of(valid_) < size_of(data_)) {
            object data_keys = steal(PySet_New(keys_of(data_).ptr()));
            object valid_keys = steal(PySet_New(keys_of(valid_).ptr()));
            object wrong = steal(PyNumber_Subtract(data_keys.ptr(), valid_keys.ptr()));
            object path = target_.path_now();
            return raised(call_kw(NATIVE_GLOBAL(f_, "SchemaUnsupportedKeyError"), {path, wrong},
                                  {{"locations", validation_.locations}}));
        }
        return valid_;
    }

    Validation& validation_;
    Frame& f_;
    SchemaTarget& target_;
    handle data_;
    handle missed_;
    object valid_;
    object coverage_;
};

}  // namespace

Result dict_rule(Validation& validation, SchemaTarget& target, handle data) {
    if (!is_instance(data, NATIVE_GLOBAL(validation.f, "dict"))) {
        object path = target.path_now();
        return raised(call_kw(NATIVE_GLOBAL(validation.f, "SchemaTypeError"), {path, target.schema, data},
                              {{"locations", validation.locations}}));
    }
    FreshMissed missed(target.self);
    return try_finally([&] { return DictRule(validation, target, data, missed.list()).run(); },
                       [&] { missed.restore(); });
}

}  // namespace veltrane
