// Path: key paths whose equality lets wildcards match, unwraps Optional keys and reads texts as
// patterns, and the expansion of their wildcards against known key paths.
#include <optional>

#include "veltrane.hpp"

namespace veltrane {

namespace {

// The elements of a key path, held in a tuple: a tuple itself, anything else copied. User code run
// meanwhile (an element's __eq__, a pattern compile) may change or empty a list, but not this.
class Items {
public:
    explicit Items(handle seq)
        : tuple_(PyTuple_Check(seq.ptr()) ? borrow(seq.ptr()) : steal(PySequence_Tuple(seq.ptr()))) {}
    // checked: type checked above: tuple_ is a tuple, checked or made in the constructor, and held
    Py_ssize_t size() const { return PyTuple_GET_SIZE(tuple_.ptr()); }
    // Item i (0 <= i < size()), which lives as long as the held, immutable tuple.
    handle operator[](Py_ssize_t i) const {
        if (i < 0 || i >= size()) [[unlikely]]
            raise(PyExc_IndexError, "tuple index out of range");
        return PyTuple_GET_ITEM(tuple_.ptr(), i);  // checked: type checked above, and the index too
    }
    const object& tuple() const { return tuple_; }

private:
    object tuple_;
};

bool pair_matches(Frame& f, handle left, handle right) {
    object a = unwrap_optional(f, left);
    object b = unwrap_optional(f, right);
    bool match;
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        object pattern = call_method(NATIVE_GLOBAL(f, "re"), "compile", a);
        match = !call_method(pattern, "match", b).is_none();
    } else {
        match = equal(a, b);
    }
    return match || is_wildcard(f, a) || is_wildcard(f, b);
}

// `Path(left[:left_size]) == Path(right[:right_size])`.
bool items_equal(Frame& f, const Items& left, Py_ssize_t left_size, const Items& right, Py_ssize_t right_size) {
    if (left_size != right_size) return false;
    for (Py_ssize_t i = 0; i < left_size; ++i)
        if (!pair_matches(f, left[i], right[i])) return false;
    return true;
}

// Whether the first `length` elements of two paths are the very same objects.
bool same_elements(const Items& a, const Items& b, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; ++i)
        if (a[i].ptr() != b[i].ptr()) return false;
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

object base_case(KnownPaths& known, handle elements) {
    object probe = steal(PySequence_Tuple(elements.ptr()));
    object result = new_list();
    if (!known.contains(probe)) append(result, probe);
    return result;
}

// The expansion of a path's wildcards: every wildcard is filled from one and the same known path, so
// that a concrete path comes out only where the data holds its keys up to the last wildcard; filling
// each wildcard from a different known path would invent key paths the data never had.
struct Expansion {
    Frame& f;
    KnownPaths& known;
    bool untouched;
    const Items& path;
    bool plain_keys = false;
    std::vector<object> unwrapped;  // the path's elements, Optional keys unwrapped
    std::vector<Py_ssize_t> wild;   // the wildcards' positions among them
    object found = steal(PySet_New(nullptr));

    bool prefixes_equal(handle entry, const Items& entry_items, Py_ssize_t length) {
        Py_ssize_t taken = entry_items.size() < length ? entry_items.size() : length;
        if (plain_keys) {
            if (taken != length) return false;
            for (Py_ssize_t i = 0; i < length; ++i)
                if (!keys_match(f, entry_items[i], path[i])) return false;
            return true;
        }
        if (untouched) return items_equal(f, entry_items, taken, path, length);
        object path_cls = NATIVE_GLOBAL(f, "Path");
        object left = call(path_cls, steal(PySequence_GetSlice(entry.ptr(), 0, length)));
        object right = call(path_cls, steal(PyTuple_GetSlice(path.tuple().ptr(), 0, length)));
        return equal(left, right);
    }

    // The concrete path the entry fills in, or an empty object when one of its keys is a wildcard
    // itself. `same_keys` tells whether the keys read are the entry's items as compared.
    object filled(handle entry, const Items& entry_items, bool& same_keys) {
        std::vector<object> keys = unwrapped;
        same_keys = true;
        for (Py_ssize_t position : wild) {
            // read afresh: the comparison may have run user code that changed the entry
            object key = steal(PySequence_GetItem(entry.ptr(), position));
            same_keys = same_keys && position < entry_items.size() && key.ptr() == entry_items[position].ptr();
            if (wildcard_behind_wrappers(f, key)) return object();
            keys[static_cast<size_t>(position)] = std::move(key);
        }
        object result = steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
        for (size_t j = 0; j < keys.size(); ++j)
            PyTuple_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(j), keys[j].release().ptr());
        return result;
    }

    // A known path whose prefix holds the very same key objects as the one before gives the same
    // answer. The one before is held, so that none of its keys can be freed and another object take
    // its place.
    void run() {
        Py_ssize_t length = wild.back() + 1;
        std::optional<Items> previous;  // the last entry whose answer a same prefix repeats
        for (const object& entry : known.entries()) {
            Items entry_items(entry);
            bool long_enough = entry_items.size() >= length;
            if (untouched && long_enough && previous && same_elements(*previous, entry_items, length)) continue;
            previous.reset();
            if (!prefixes_equal(entry, entry_items, length)) {
                if (long_enough) previous = entry_items;
                continue;
            }
            bool same_keys = false;
            object concrete = filled(entry, entry_items, same_keys);
            if (long_enough && same_keys) previous = entry_items;
            if (concrete && !known.contains(concrete)) check(PySet_Add(found.ptr(), concrete.ptr()));
        }
    }
};

// The concrete key paths that the wildcards of `path` stand for among the known paths.
object expand_wildcards(Frame& f, KnownPaths& known, bool untouched, const Items& path, bool plain_keys) {
    Expansion expansion{f, known, untouched, path, plain_keys};
    for (Py_ssize_t i = 0; i < path.size(); ++i) {
        object element = unwrap_optional(f, path[i]);
        if (is_wildcard(f, element)) expansion.wild.push_back(i);
        expansion.unwrapped.push_back(std::move(element));
    }
    if (!expansion.wild.empty()) expansion.run();
    return steal(PySequence_List(expansion.found.ptr()));
}

}  // namespace

bool elements_dynamic(Frame& f, handle elements) {
    // true at the first wildcard, with no look at the elements after it
    return !for_each(elements, [&](handle element) { return !is_wildcard(f, element); });
}

object missing_from(Frame& f, handle elements, KnownPaths& known, bool untouched, bool plain_keys) {
    RecursionGuard guard;
    if (!elements_dynamic(f, elements)) return base_case(known, elements);
    return expand_wildcards(f, known, untouched, Items(elements), untouched && plain_keys);
}

object path_hash(Frame&, handle self) {
    RecursionGuard guard;  // the elements' hashes may be those of paths inside it
    return steal(PyLong_FromSsize_t(check_value(PyTuple_Type.tp_hash(self.ptr()))));
}

object path_eq(Frame& f, handle self, handle other) {
    RecursionGuard guard;
    if (!is_instance(other, NATIVE_GLOBAL(f, "Path"))) return py::bool_(false);
    if (check_value(PyObject_Size(self.ptr())) != check_value(PyObject_Size(other.ptr()))) return py::bool_(false);
    Items left(self);
    Items right(other);
    Py_ssize_t size = left.size() < right.size() ? left.size() : right.size();
    return py::bool_(items_equal(f, left, size, right, size));
}

object path_is_dynamic(Frame& f, handle self) { return py::bool_(elements_dynamic(f, self)); }

object path_missing_from(Frame& f, handle self, handle paths) {
    KnownPaths known(f, paths);
    bool untouched = path_class_untouched(f, NATIVE_GLOBAL(f, "Path"));
    bool own_type = untouched && reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())) == f.state<State>().own.Path.ptr();
    bool dynamic = own_type ? elements_dynamic(f, self) : truth(call_method(self, "is_dynamic"));
    if (!dynamic) return base_case(known, self);
    if (own_type) return missing_from(f, self, known, true);
    // A subclass: expand its elements as this class would, the rest through the module's Path.
    return expand_wildcards(f, known, untouched, Items(self), false);
}

}  // namespace veltrane
