// Path: key paths whose equality lets wildcards match, unwraps Optional keys and reads texts as
// patterns, and the expansion of their wildcards against known key paths.
#include "veltrane.hpp"

namespace veltrane {

namespace {

// The items of a tuple or list directly, of anything else through a list made from it.
class Items {
public:
    explicit Items(handle seq) {
        if (PyTuple_Check(seq.ptr()) || PyList_CheckExact(seq.ptr())) {
            holder_ = borrow(seq.ptr());
        } else {
            holder_ = steal(PySequence_List(seq.ptr()));
        }
        bool tuple = PyTuple_Check(holder_.ptr());
        items_ = tuple ? &PyTuple_GET_ITEM(holder_.ptr(), 0) : PySequence_Fast_ITEMS(holder_.ptr());
        size_ = tuple ? PyTuple_GET_SIZE(holder_.ptr()) : PyList_GET_SIZE(holder_.ptr());
    }
    PyObject* const* items() const { return items_; }
    Py_ssize_t size() const { return size_; }

private:
    object holder_;
    PyObject* const* items_ = nullptr;
    Py_ssize_t size_ = 0;
};

bool pair_matches(Frame& f, handle left, handle right) {
    object a = unwrap_optional(f, left);
    object b = unwrap_optional(f, right);
    bool match;
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        object pattern = call_method(NATIVE_GLOBAL(f, "re"), "compile", a);
        match = !call_method(pattern, "match", b).is_none();
    } else {
        match = truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
    }
    return match || is_wildcard(f, a) || is_wildcard(f, b);
}

// `Path(left) == Path(right)` for item arrays.
bool items_equal(Frame& f, PyObject* const* left, Py_ssize_t left_size, PyObject* const* right,
                 Py_ssize_t right_size) {
    if (left_size != right_size) return false;
    for (Py_ssize_t i = 0; i < left_size; ++i)
        if (!pair_matches(f, left[i], right[i])) return false;
    return true;
}

// A known key that would fill a wildcard with a wildcard (also behind Optional wrappers): the
// expansion would never end.
bool wildcard_behind_wrappers(Frame& f, handle element) {
    object current = borrow(element.ptr());
    for (int depth = 0; depth < 1000; ++depth) {
        object inner = unwrap_optional(f, current);
        if (inner.ptr() == current.ptr()) return is_wildcard(f, current);
        current = inner;
    }
    return true;
}

object as_tuple(PyObject* const* items, Py_ssize_t size) {
    object result = steal(PyTuple_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) PyTuple_SET_ITEM(result.ptr(), i, Py_NewRef(items[i]));
    return result;
}

object base_case(KnownPaths& known, handle elements) {
    object probe = steal(PySequence_Tuple(elements.ptr()));
    object result = new_list();
    if (!known.contains(probe)) append(result, probe);
    return result;
}

// The path with Optional keys unwrapped and the wildcard at `position` replaced by `key`.
object filled(Frame& f, const Items& self, Py_ssize_t position, handle key) {
    object result = steal(PyList_New(self.size()));
    for (Py_ssize_t j = 0; j < self.size(); ++j) {
        object element = j == position ? borrow(key.ptr()) : unwrap_optional(f, self.items()[j]);
        PyList_SET_ITEM(result.ptr(), j, element.release().ptr());
    }
    return result;
}

struct Expansion {
    Frame& f;
    KnownPaths& known;
    bool untouched;
    const Items& self;
    bool plain_keys = false;
    object found = steal(PySet_New(nullptr));

    bool prefixes_equal(handle entry, const Items& entry_items, Py_ssize_t length) {
        Py_ssize_t taken = entry_items.size() < length ? entry_items.size() : length;
        if (plain_keys) {
            if (taken != length) return false;
            for (Py_ssize_t i = 0; i < length; ++i)
                if (!keys_match(f, entry_items.items()[i], self.items()[i])) return false;
            return true;
        }
        if (untouched) return items_equal(f, entry_items.items(), taken, self.items(), length);
        object path_cls = NATIVE_GLOBAL(f, "Path");
        object left = call(path_cls, steal(PySequence_GetSlice(entry.ptr(), 0, length)));
        object right = call(path_cls, as_tuple(self.items(), length));
        return truth(steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
    }

    void expand(Py_ssize_t position, handle key) {
        object path = filled(f, self, position, key);
        object more = untouched ? missing_from(f, path, known, true, plain_keys)
                                : call_method(call(NATIVE_GLOBAL(f, "Path"), path), "missing_from", known.list());
        for_each(more, [&](handle concrete) { check(PySet_Add(found.ptr(), concrete.ptr())); });
    }

    // Known paths beginning with the very same key objects as the one before give the same answers.
    void at(Py_ssize_t position) {
        Py_ssize_t length = position + 1;
        std::vector<PyObject*> previous;
        for (const object& entry : known.entries()) {
            Items entry_items(entry);
            bool stable = PyTuple_Check(entry.ptr()) || PyList_CheckExact(entry.ptr());
            if (untouched && stable && entry_items.size() >= length && previous.size() == static_cast<size_t>(length) &&
                std::equal(previous.begin(), previous.end(), entry_items.items())) {
                continue;
            }
            bool usable = stable && entry_items.size() >= length;
            previous.assign(entry_items.items(), entry_items.items() + (usable ? length : 0));
            if (!prefixes_equal(entry, entry_items, length)) continue;
            handle key = entry_items.items()[position];
            if (wildcard_behind_wrappers(f, key)) continue;
            expand(position, key);
        }
    }
};

// The concrete key paths that the wildcards of `self` stand for among the known paths.
object expand_wildcards(Frame& f, KnownPaths& known, bool untouched, const Items& self, bool plain_keys) {
    Expansion expansion{f, known, untouched, self, plain_keys};
    for (Py_ssize_t i = 0; i < self.size(); ++i) {
        if (is_wildcard(f, self.items()[i])) expansion.at(i);
    }
    return steal(PySequence_List(expansion.found.ptr()));
}

}  // namespace

bool elements_dynamic(Frame& f, handle elements) {
    bool dynamic = false;
    for_each(elements, [&](handle element) { dynamic = dynamic || is_wildcard(f, element); });
    return dynamic;
}

object missing_from(Frame& f, handle elements, KnownPaths& known, bool untouched, bool plain_keys) {
    RecursionGuard guard;
    if (!elements_dynamic(f, elements)) return base_case(known, elements);
    return expand_wildcards(f, known, untouched, Items(elements), untouched && plain_keys);
}

object path_hash(Frame&, handle self) {
    Py_hash_t hash = PyTuple_Type.tp_hash(self.ptr());
    if (hash == -1 && PyErr_Occurred()) throw py::error_already_set();
    return steal(PyLong_FromSsize_t(hash));
}

object path_eq(Frame& f, handle self, handle other) {
    if (!is_instance(other, NATIVE_GLOBAL(f, "Path"))) return py::bool_(false);
    if (PyObject_Size(self.ptr()) != PyObject_Size(other.ptr())) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::bool_(false);
    }
    Items left(self);
    Items right(other);
    Py_ssize_t size = left.size() < right.size() ? left.size() : right.size();
    return py::bool_(items_equal(f, left.items(), size, right.items(), size));
}

object path_is_dynamic(Frame& f, handle self) { return py::bool_(elements_dynamic(f, self)); }

object path_missing_from(Frame& f, handle self, handle paths) {
    KnownPaths known(f, paths);
    bool untouched = path_class_untouched(NATIVE_GLOBAL(f, "Path"));
    bool own_type = untouched && reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())) == made().Path;
    bool dynamic = own_type ? elements_dynamic(f, self) : truth(call_method(self, "is_dynamic"));
    if (!dynamic) return base_case(known, self);
    if (own_type) return missing_from(f, self, known, true);
    // A subclass: expand its elements as this class would, the rest through the module's Path.
    return expand_wildcards(f, known, untouched, Items(self), false);
}

}  // namespace veltrane
