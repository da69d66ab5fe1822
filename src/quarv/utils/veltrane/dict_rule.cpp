// The dictionary rule of Schema.validate: keys matched literally or by key tests, missing keys
// gathered from every depth, unsupported keys reported last.
#include "veltrane.hpp"

namespace veltrane {

namespace {

object keys_of(handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return steal(PyDict_Keys(mapping.ptr()));
    return steal(PySequence_List(call_method(mapping, "keys").ptr()));
}

Py_ssize_t size_of(handle obj) {
    Py_ssize_t size = PyObject_Size(obj.ptr());
    if (size < 0) throw py::error_already_set();
    return size;
}

// `sorted(keys, key=Schema.priority)`, for a new list of keys.
object by_priority(Frame& f, object keys) {
    object priority = attr(NATIVE_GLOBAL(f, "Schema"), "priority");
    if (!PyMethod_Check(priority.ptr()) || PyMethod_GET_FUNCTION(priority.ptr()) != made().priority) {
        return call_kw(NATIVE_GLOBAL(f, "sorted"), {keys}, {{"key", priority}});
    }
    Py_ssize_t size = PyList_GET_SIZE(keys.ptr());
    std::vector<int> ranks(static_cast<size_t>(size));
    bool all_first = true;
    for (Py_ssize_t i = 0; i < size; ++i) {
        ranks[static_cast<size_t>(i)] = priority_of(f, PyList_GET_ITEM(keys.ptr(), i));
        all_first = all_first && ranks[static_cast<size_t>(i)] == 1;
    }
    if (all_first) return keys;
    object ordered = new_list();
    for (int rank = 1; rank <= 3; ++rank) {
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (ranks[static_cast<size_t>(i)] == rank) append(ordered, PyList_GET_ITEM(keys.ptr(), i));
        }
    }
    return ordered;
}

// The object's `missed` for one validation of a dictionary: a new list, and the one it replaced
// back afterwards, so no entry outlives the validation and a re-entered object keeps its own.
class FreshMissed {
public:
    explicit FreshMissed(handle self) : self_(self), list_(new_list()) {
        if (!self_) return;
        PyObject* old = nullptr;
        check(_PyObject_LookupAttr(self_.ptr(), intern("missed"), &old));
        saved_ = py::reinterpret_steal<object>(old);
        check(PyObject_SetAttr(self_.ptr(), intern("missed"), list_.ptr()));
    }
    handle list() const { return list_; }
    // Puts the replaced list back; `quiet` while another exception is on its way out.
    void restore(bool quiet) {
        if (!self_) return;
        int status = saved_ ? PyObject_SetAttr(self_.ptr(), intern("missed"), saved_.ptr())
                            : PyObject_DelAttr(self_.ptr(), intern("missed"));
        if (status < 0 && quiet) PyErr_Clear();
        if (status < 0 && !quiet) throw py::error_already_set();
    }

private:
    handle self_;
    object list_;
    object saved_;
};

class DictRule {
public:
    DictRule(Call& c, Target& t, handle data, handle missed) : c_(c), f_(c.f), t_(t), data_(data), missed_(missed) {}

    object run() {
        object od = NATIVE_GLOBAL(f_, "OrderedDict");
        valid_ = is_instance(data_, od) ? call(od) : steal(PyDict_New());
        coverage_ = steal(PySet_New(nullptr));
        object keys = by_priority(f_, keys_of(data_));
        for_each(keys, [&](handle k) { one_key(k); });
        return finish();
    }

private:
    // The path of the enclosing object, as `self.path` reads now.
    const PathRef& owner(std::unique_ptr<PathRef>& holder) {
        if (!t_.self) return *t_.path;
        holder = PathRef::view(attr(t_.self, "path"));
        return *holder;
    }

    void one_key(handle k) {
        object v = get_item(data_, k);
        std::unique_ptr<PathRef> holder;
        const PathRef& base = owner(holder);
        if (contains(t_.schema, k)) {
            value_rule(get_item(t_.schema, k), k, v, base, k, k);
            return;
        }
        key_tests(k, v, base);
    }

    // Validates the value `v` of the data key `k` against `sv`: the schema key `covered` counts as
    // covered either way, and a valid value is kept under `valid_key`. False when the value lacked
    // keys (they are gathered into `missed`).
    bool value_rule(handle sv, handle k, handle v, const PathRef& base, handle covered, handle valid_key) {
        try {
            PathRef value_path(base, k);
            object result = validate_with(c_, sv, value_path, v, handle(Py_False));
            check(PySet_Add(coverage_.ptr(), covered.ptr()));
            set_item(valid_, valid_key, result);
            return true;
        } catch (py::error_already_set& e) {
            if (!e.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) throw;
            convert_missing(e);
            check(PySet_Add(coverage_.ptr(), covered.ptr()));
            return false;
        }
    }

    void key_tests(handle k, handle v, const PathRef& base) {
        object schema_keys = by_priority(f_, keys_of(t_.schema));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(schema_keys.ptr()); ++i) {
            handle sk = PyList_GET_ITEM(schema_keys.ptr(), i);
            object sv = get_item(t_.schema, sk);
            object match_key;
            std::unique_ptr<PathRef> key_holder;
            const PathRef& key_base = t_.self ? owner(key_holder) : base;
            try {
                PathRef key_path(key_base, handle());
                match_key = validate_with(c_, sk, key_path, k, handle(Py_False), true);
            } catch (py::error_already_set& e) {
                if (!key_test_failed(e)) throw;
                continue;
            }
            if (!match_key) {
                py::error_already_set e = pending_error();
                if (!key_test_failed(e)) throw e;
                continue;
            }
            if (value_rule(sv, k, v, base, sk, match_key)) return;
        }
    }

    // A key test that raised a schema error: the next schema key is tried.
    bool key_test_failed(py::error_already_set& e) {
        if (e.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) {
            convert_missing(e);
            return true;
        }
        return e.matches(NATIVE_GLOBAL(f_, "SchemaError"));
    }

    // Every missing key the error reports becomes an entry of `missed`: the key path of the
    // dictionary that lacks it, followed by its name.
    void convert_missing(py::error_already_set& e) {
        Handling handling(e.value());
        object keys_list = attr(e.value(), "keys");
        object paths = attr(e.value(), "path");
        Py_ssize_t path_count = size_of(paths);
        Py_ssize_t position = 0;
        for_each(keys_list, [&](handle name) {
            if (path_count == 0) return;
            object p = steal(PySequence_GetItem(paths.ptr(), position++ % path_count));
            object entry = PyList_CheckExact(p.ptr()) ? steal(PyList_GetSlice(p.ptr(), 0, PyList_GET_SIZE(p.ptr())))
                                                      : steal(PySequence_List(p.ptr()));
            check(PyList_Append(entry.ptr(), name.ptr()));
            check(PyList_Append(missed_.ptr(), entry.ptr()));
        });
    }

    object without_optional(handle keys) {
        object optional = NATIVE_GLOBAL(f_, "Optional");
        object result = steal(PySet_New(nullptr));
        for_each(keys, [&](handle key) {
            if (!issubclass(type_of(key), optional)) check(PySet_Add(result.ptr(), key.ptr()));
        });
        return result;
    }

    [[noreturn]] void raise_missing(handle coverage, handle required, bool differ) {
        object names = new_list();
        object paths = new_list();
        if (differ) {
            object absent = steal(PyNumber_Subtract(required.ptr(), coverage.ptr()));
            object path = t_.path_now();
            for_each(absent, [&](handle key) {
                append(names, str_of(key));
                append(paths, path);
            });
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(missed_.ptr()); ++i) {
            handle entry = PyList_GET_ITEM(missed_.ptr(), i);
            append(names, call_method(entry, "pop"));
            append(paths, entry);
        }
        raise(call_kw(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"), {paths, names}, {{"locations", c_.locations}}));
    }

    object finish() {
        object coverage = without_optional(coverage_);
        object required = without_optional(keys_of(t_.schema));
        bool differ = truth(steal(PyObject_RichCompare(coverage.ptr(), required.ptr(), Py_NE)));
        if (truth(missed_) || differ) raise_missing(coverage, required, differ);
        if (size_of(valid_) < size_of(data_)) {
            object data_keys = steal(PySet_New(keys_of(data_).ptr()));
            object valid_keys = steal(PySet_New(keys_of(valid_).ptr()));
            object wrong = steal(PyNumber_Subtract(data_keys.ptr(), valid_keys.ptr()));
            object path = t_.path_now();
            raise(call_kw(NATIVE_GLOBAL(f_, "SchemaUnsupportedKeyError"), {path, wrong}, {{"locations", c_.locations}}));
        }
        return valid_;
    }

    Call& c_;
    Frame& f_;
    Target& t_;
    handle data_;
    handle missed_;
    object valid_;
    object coverage_;
};

}  // namespace

object dict_rule(Call& c, Target& t, handle data) {
    if (!is_instance(data, NATIVE_GLOBAL(c.f, "dict"))) {
        object path = t.path_now();
        raise(call_kw(NATIVE_GLOBAL(c.f, "SchemaTypeError"), {path, t.schema, data}, {{"locations", c.locations}}));
    }
    FreshMissed missed(t.self);
    object result;
    try {
        result = DictRule(c, t, data, missed.list()).run();
    } catch (...) {
        missed.restore(true);
        throw;
    }
    missed.restore(false);
    return result;
}

}  // namespace veltrane
