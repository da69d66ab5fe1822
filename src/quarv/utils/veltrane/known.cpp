// The key paths of data, searched while defaults and fallbacks are filled in. Data of some
// thousand leaves and a few wildcard defaults would otherwise mean millions of comparisons; a hash
// index answers exactly as the scan would for plain tuples of hashable keys, the only kind that
// the framework's ListDict gives.
#include "veltrane.hpp"

namespace veltrane {

namespace {

bool hashable(handle obj) {
    if (PyObject_Hash(obj.ptr()) != -1) return true;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
    return false;
}

bool same(handle a, handle b) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0; }

// An element that the sound comparison treats specially: an Optional wrapper or a wildcard.
bool special_element(Frame& f, handle element) {
    return reinterpret_cast<PyObject*>(Py_TYPE(element.ptr())) == NATIVE_GLOBAL(f, "Optional").ptr() ||
           is_wildcard(f, element);
}

}  // namespace

bool keys_match(Frame& f, handle data_key, handle schema_key) {
    object key = unwrap_optional(f, data_key);
    object wanted = unwrap_optional(f, schema_key);
    if (equal(key, wanted)) return true;
    return is_wildcard(f, key) || is_wildcard(f, wanted);
}

KnownPaths::KnownPaths(Frame& f, handle paths) : f_(f), paths_(borrow(paths.ptr())) {
    sequence_ = PyList_CheckExact(paths.ptr()) || PyTuple_CheckExact(paths.ptr());
}

const std::vector<object>& KnownPaths::entries() {
    if (!have_entries_) {
        for_each(paths_, [&](handle entry) { entries_.push_back(borrow(entry.ptr())); });
        have_entries_ = true;
    }
    return entries_;
}

void KnownPaths::build_plain() {
    if (have_plain_) return;
    plain_ = steal(PyDict_New());
    const std::vector<object>& all = entries();
    for (size_t i = 0; i < all.size(); ++i) {
        if (!PyTuple_CheckExact(all[i].ptr()) || !hashable(all[i])) {
            odd_.push_back(static_cast<Py_ssize_t>(i));
            continue;
        }
        object position = steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
        if (!PyDict_SetDefault(plain_.ptr(), all[i].ptr(), position.ptr())) throw_error();
    }
    have_plain_ = true;
}

void KnownPaths::build_members() {
    if (have_members_) return;
    members_ = steal(PySet_New(nullptr));
    const std::vector<object>& all = entries();
    for (size_t i = 0; i < all.size(); ++i) {
        if (!PyTuple_CheckExact(all[i].ptr()) || !hashable(all[i])) {
            odd_members_.push_back(static_cast<Py_ssize_t>(i));
            continue;
        }
        check(PySet_Add(members_.ptr(), all[i].ptr()));
    }
    have_members_ = true;
}

bool KnownPaths::contains(handle probe) {
    if (!sequence_) return native::contains(paths_, probe);
    const std::vector<object>& all = entries();
    if (!hashable(probe)) {
        for (const object& entry : all)
            if (same(entry, probe)) return true;
        return false;
    }
    build_members();
    if (check(PySet_Contains(members_.ptr(), probe.ptr()))) return true;
    for (Py_ssize_t position : odd_members_)
        if (same(all[static_cast<size_t>(position)], probe)) return true;
    return false;
}

Py_ssize_t KnownPaths::index(handle path) {
    if (!sequence_) return -1;
    const std::vector<object>& all = entries();
    Py_ssize_t found = static_cast<Py_ssize_t>(all.size());
    if (PyTuple_CheckExact(path.ptr()) && hashable(path)) {
        build_plain();
        // checked: no call into Python between taking the position and reading it (the index's own dict)
        PyObject* position = PyDict_GetItemWithError(plain_.ptr(), path.ptr());
        if (!position && PyErr_Occurred()) throw_error();
        if (position) found = PyLong_AsSsize_t(position);
        for (Py_ssize_t odd : odd_) {
            if (odd >= found) break;
            if (same(all[static_cast<size_t>(odd)], path)) return odd;
        }
        return found < static_cast<Py_ssize_t>(all.size()) ? found : -1;
    }
    for (size_t i = 0; i < all.size(); ++i)
        if (same(all[i], path)) return static_cast<Py_ssize_t>(i);
    return -1;
}

void KnownPaths::build_clean() {
    if (have_clean_) return;
    clean_ = steal(PySet_New(nullptr));
    const std::vector<object>& all = entries();
    for (size_t i = 0; i < all.size(); ++i) {
        bool clean = PyTuple_CheckExact(all[i].ptr()) && hashable(all[i]);
        if (clean) {
            // an exact tuple is its own snapshot: nothing is copied
            for (handle element : Snapshot(all[i])) {
                if (special_element(f_, element)) {
                    clean = false;
                    break;
                }
            }
        }
        if (clean) {
            check(PySet_Add(clean_.ptr(), all[i].ptr()));
        } else {
            special_.push_back(static_cast<Py_ssize_t>(i));
        }
    }
    have_clean_ = true;
}

// `wanted` is a tuple of the schema path's keys, Optional ones unwrapped.
// The entry's items are read from its tuple storage, which no code can change: both tuples are held.
bool KnownPaths::entry_holds(handle entry, handle wanted) {
    if (!PyTuple_Check(entry.ptr()) || !PyTuple_CheckExact(wanted.ptr())) return false;
    // checked: type checked above (two tuples, held by the caller and immutable)
    Py_ssize_t size = PyTuple_GET_SIZE(wanted.ptr());
    if (PyTuple_GET_SIZE(entry.ptr()) != size) return false;  // checked: type checked above
    for (Py_ssize_t j = 0; j < size; ++j) {
        // checked: type checked above; the items live as long as their held tuples, whatever keys_match runs
        if (!keys_match(f_, PyTuple_GET_ITEM(entry.ptr(), j), PyTuple_GET_ITEM(wanted.ptr(), j))) return false;
    }
    return true;
}

bool KnownPaths::holds(handle path) {
    object unwrapped = new_list();
    bool wild = false;
    for_each(path, [&](handle element) {
        object key = unwrap_optional(f_, element);
        wild = wild || is_wildcard(f_, key);
        append(unwrapped, key);
    });
    object wanted = steal(PyList_AsTuple(unwrapped.ptr()));
    const std::vector<object>& all = entries();
    if (wild || !hashable(wanted)) {
        for (const object& entry : all)
            if (entry_holds(entry, wanted)) return true;
        return false;
    }
    build_clean();
    if (check(PySet_Contains(clean_.ptr(), wanted.ptr()))) return true;
    for (Py_ssize_t position : special_)
        if (entry_holds(all[static_cast<size_t>(position)], wanted)) return true;
    return false;
}

}  // namespace veltrane
