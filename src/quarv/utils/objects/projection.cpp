// The index projection: in a value search over one item, each value is replaced by the container that a
// number of steps down its key path reach from the item (Find._build_dict).
#include "objects.hpp"

namespace objects {
namespace {

// One step down from `from_` by the keys from `start` on: the container reached and the number of keys
// the step took.
object build_step(handle from_, handle keys, Py_ssize_t start, Py_ssize_t& taken) {
    if (PyDict_Check(from_.ptr())) {
        taken = 1;
        return get_item(from_, item_at(keys, start));
    }
    // the first key names attributes, "." between them; the second key is the item of what they hold
    object names = item_at(keys, start);
    if (!PyUnicode_Check(names.ptr()))
        raise_format(PyExc_TypeError, "can only concatenate str (not \"%s\") to str", Py_TYPE(names.ptr())->tp_name);
    object key = item_at(keys, start + 1);
    object reached = borrow(from_.ptr());
    object parts = steal(PyUnicode_Split(names.ptr(), intern("."), -1));
    for_each(parts, [&](handle name) { reached = attr(reached, name); });
    taken = 2;
    return get_item(reached, key);
}

// `(self._build_dict(from_=top, keys=path, index=index), path)` for one (value, path) pair.
object projected(Frame& f, handle self, handle entry, handle top, handle index) {
    auto [value, path] = unpack<2>(entry);
    if (less(integer(length(path)), index))
        raise_format(PyExc_ValueError, "Cannot use index of size '%U' on '%U'", format_of(index).ptr(),
                     format_of(path).ptr());
    object container = has_own(f, self, own_build_dict)
                           ? find_build_dict(f, self, top, path, index)
                           : call_kw(attr(self, "_build_dict"), {}, {{"from_", top}, {"keys", path}, {"index", index}});
    return tuple_of(container, path);
}

}  // namespace

object find_build_dict(Frame& f, handle self, handle from_, handle keys, handle index) {
    // the steps follow one another here while _build_dict is this module's own; the rest of the keys
    // is sliced off only for a method that replaces it
    bool indexed = PyList_Check(keys.ptr()) || PyTuple_Check(keys.ptr());
    object current = borrow(from_.ptr());
    object remaining = borrow(keys.ptr());
    Py_ssize_t start = 0;
    object steps_left = borrow(index.ptr());
    object zero = integer(0);
    object one = integer(1);
    while (true) {
        bool empty = indexed ? check_value(PyObject_Length(remaining.ptr())) <= start : !truth(remaining);
        if (empty || equal(steps_left, zero)) return current;
        object next_index = steal(PyNumber_Subtract(steps_left.ptr(), one.ptr()));
        Py_ssize_t taken = 0;
        object reached = build_step(current, remaining, start, taken);
        if (indexed) {
            start += taken;
        } else {
            remaining = slice_from(remaining, taken);
        }
        if (!has_own(f, self, own_build_dict)) {
            object rest = indexed ? slice_from(remaining, start) : remaining;
            return call_kw(attr(self, "_build_dict"), {reached, rest}, {{"index", next_index}});
        }
        current = reached;
        steps_left = next_index;
    }
}

object projection(Frame& f, handle self, handle from_, handle return_objs, handle index) {
    object ret = new_list();
    object top;
    for_each(return_objs, [&](handle entry) {
        if (!top) top = steal(PySequence_GetItem(from_.ptr(), 0));
        if (PyList_Check(entry.ptr())) {
            object pairs = new_list();
            for_each(entry, [&](handle pair) { append(pairs, projected(f, self, pair, top, index)); });
            append(ret, pairs);
        } else {
            append(ret, projected(f, self, entry, top, index));
        }
    });
    return ret;
}

}  // namespace objects
