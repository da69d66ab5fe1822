// The merge of several requirements: a value search whose requirements' results have nothing in common
// combines them through the values that the named groups of their steps took.
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
    object held = dict_lookup(gkeys, name);
    return !held || contains(held, value);
}

// Results that do not intersect are combined through the values that the named groups of their
// steps took: each requirement's pairs are grouped, the group values every requirement accepts are
// kept, and the first requirement's own pairs (with all_keys, every requirement's) holding only
// admitted values are the result.
void merge(Frame& f, handle all_keys, handle records, handle requirements, handle return_objs) {
    object group_keys_fn = attr(NATIVE_GLOBAL(f, "GroupKeys"), "group_keys");
    object gkeys = new_dict();
    std::vector<object> all_outputs;
    // the records are found_objects, which the caller can see and group_keys may change: they are read
    // as they were when the merge began
    Snapshot recorded(records);
    Py_ssize_t count = recorded.size();
    for (Py_ssize_t i = 0; i < count; ++i) {
        handle record = recorded[i];
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
            object before = dict_lookup(gkeys, name);
            set_item(gkeys, name, before ? call_method(values, "intersection", before) : borrow(values.ptr()));
        });
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        // each pair goes with the grouped output at its position; both are read from copies, since the
        // comparisons below run user code
        Snapshot record(recorded[i]);
        Snapshot outputs(all_outputs[static_cast<size_t>(i)]);
        object pairs = new_list();
        Py_ssize_t shared = std::min(record.size(), outputs.size());
        for (Py_ssize_t j = 0; j < shared; ++j) {
            handle pair = record[j];
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

}  // namespace

// Records each requirement's results of a value search with several requirements and, when they have
// nothing in common, merges them. Only the outermost call of a search does this.
void record_and_merge(Frame& f, handle self, handle all_keys, handle requirements, handle r_return_objs,
                      handle return_objs) {
    // an overriding _unhashable_intersection may have changed the list of results
    Snapshot results_lists(r_return_objs);
    Py_ssize_t count = results_lists.size();
    if (count < 2) return;
    object first = steal(PySequence_GetItem(requirements.ptr(), 0));
    if (!truth(attr(first, "args"))) return;
    object records = new_list();
    for (handle results : results_lists)
        if (truth(results)) append(records, flattened(results));
    Py_ssize_t recorded = length(records);
    if (recorded == 0) return;
    object initial = item_at(records, 0);
    set_attr(self, "initial_found_objects", initial);
    set_attr(self, "found_objects", records);
    if (truth(return_objs) || recorded != count) return;
    merge(f, all_keys, records, requirements, return_objs);
}

}  // namespace objects
