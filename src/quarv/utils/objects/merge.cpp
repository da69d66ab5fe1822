// Find.find's merge: the results of several requirements that have nothing in common, combined
// through the values that the named groups of their steps took.
#include "objects.hpp"

namespace objects {
namespace {

// The pairs of one requirement's results, a list of pairs taken apart.
object flattened(handle results) {
    object pairs = new_list();
    for_each(results, [&](handle entry) {
        if (PyList_Check(entry.ptr())) {
            for_each(entry, [&](handle pair) { append(pairs, pair); });
        } else {
            append(pairs, entry);
        }
    });
    return pairs;
}

// A group value as the merge compares it: a dictionary by the text of its keys.
object comparable_group_value(handle value, bool keep_on_error) {
    if (!PyDict_Check(value.ptr())) return borrow(value.ptr());
    if (!keep_on_error) return str_of(call_method(value, "keys"));
    try {
        return str_of(call_method(value, "keys"));
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return borrow(value.ptr());
    }
}

// Whether `gkeys` admits the value under the name.
bool admits(handle gkeys, handle name, handle value) {
    // checked: no call into Python between: the entry is taken as a strong reference at once
    PyObject* values = PyDict_GetItemWithError(gkeys.ptr(), name.ptr());
    if (!values) {
        if (PyErr_Occurred()) throw_error();
        return true;
    }
    object held = borrow(values);
    return contains(held, value);
}

// Results that do not intersect are combined through the values that the named groups of their
// steps took: each requirement's pairs are grouped, the group values every requirement accepts are
// kept, and the first requirement's own pairs (with all_keys, every requirement's) holding only
// admitted values are the result.
void merge(Frame& f, handle all_keys, handle records, handle requirements, handle return_objs) {
    object group_keys_fn = attr(NATIVE_GLOBAL(f, "GroupKeys"), "group_keys");
    object gkeys = new_dict();
    std::vector<object> all_outputs;
    // records is the finder's found_objects, which the user code called below can see and change:
    // the merge reads the records, and each record's pairs, as they were when it began
    Snapshot record_list(records);
    Py_ssize_t count = record_list.size();
    for (Py_ssize_t i = 0; i < count; ++i) {
        handle record = record_list[i];
        object req = steal(PySequence_GetItem(requirements.ptr(), i));
        object outputs = call_kw(group_keys_fn, {record, attr(req, "args")}, {{"ret_num", new_dict()}});
        outputs = steal(PySequence_List(outputs.ptr()));
        all_outputs.push_back(outputs);
        object temp = new_dict();
        for_each(outputs, [&](handle output) {
            for_each_item(output, [&](handle name, handle raw) {
                object value = comparable_group_value(raw, true);
                if (!admits(gkeys, name, value)) return;
                object values = mapping_setdefault(temp, name, steal(PySet_New(nullptr)));
                check(PySet_Add(values.ptr(), value.ptr()));
            });
        });
        for_each_item(temp, [&](handle name, handle values) {
            // checked: no call into Python between: the entry is taken as a strong reference before
            // anything else runs
            PyObject* held = PyDict_GetItemWithError(gkeys.ptr(), name.ptr());
            if (!held && PyErr_Occurred()) throw_error();
            if (!held) {
                set_item(gkeys, name, values);
            } else {
                object before = borrow(held);
                set_item(gkeys, name, call_method(values, "intersection", before));
            }
        });
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Snapshot record_pairs(record_list[i]);
        Snapshot outputs(all_outputs[static_cast<size_t>(i)]);
        object pairs = new_list();
        Py_ssize_t shared = std::min(record_pairs.size(), outputs.size());
        for (Py_ssize_t j = 0; j < shared; ++j) {
            handle pair = record_pairs[j];
            handle output = outputs[j];
            bool kept = true;
            for_each_item(output, [&](handle name, handle raw) {
                if (kept && !admits(gkeys, name, comparable_group_value(raw, false))) kept = false;
            });
            if (kept) append(pairs, pair);
        }
        if (!truth(all_keys)) {
            call_method(return_objs, "extend", pairs);
            return;
        }
        append(return_objs, pairs);
    }
}

// Records each requirement's results of a value search with several requirements and, when they have
// nothing in common, merges them. Only the outermost call of a search does this.
}  // namespace

void record_and_merge(Frame& f, handle self, bool filter, handle all_keys, handle requirements, handle r_return_objs,
                      handle return_objs) {
    if (filter || length(r_return_objs) < 2) return;
    object first = steal(PySequence_GetItem(requirements.ptr(), 0));
    if (!truth(attr(first, "args"))) return;
    // the results as they are now: the code called while flattening them may change the list
    Snapshot all_results(r_return_objs);
    Py_ssize_t count = all_results.size();
    object records = new_list();
    for (handle results : all_results)
        if (truth(results)) append(records, flattened(results));
    // checked: made here: records is this function's own list, not yet seen by user code
    Py_ssize_t recorded = PyList_GET_SIZE(records.ptr());
    if (recorded == 0) return;
    // checked: made here, as above
    set_attr(self, "initial_found_objects", borrow(PyList_GET_ITEM(records.ptr(), 0)));
    set_attr(self, "found_objects", records);
    if (truth(return_objs) || recorded != count) return;
    merge(f, all_keys, records, requirements, return_objs);
}

}  // namespace objects
