// The methods of Find around the walk: requirement normalisation, result sets of unhashable items and
// the path expansion; and GroupKeys.group_keys.
#include <unordered_set>

#include "objects.hpp"

namespace objects {
namespace {

object item_at(handle sequence, Py_ssize_t index) { return steal(PySequence_GetItem(sequence.ptr(), index)); }

// `R(path, *further_paths)`.
object requirement_of(Frame& f, handle path, handle args) {
    object further = slice_from(args, 1);
    object positional = steal(PySequence_Tuple(further.ptr()));
    object all = steal(PySequence_Concat(tuple_of(path).ptr(), positional.ptr()));
    return steal(PyObject_Call(NATIVE_GLOBAL(f, "R").ptr(), all.ptr(), nullptr));
}

object rebuilt(Frame& f, const std::vector<object>& paths, const std::vector<object>& args) {
    object result = new_list();
    for (size_t i = 0; i < paths.size(); ++i) append(result, requirement_of(f, paths[i], args[i]));
    return result;
}

bool text_starts_with(handle obj, const char* prefix) {
    if (!PyUnicode_Check(obj.ptr())) return false;
    return truth(call_method(obj, "startswith", text(prefix)));
}

}  // namespace

// ----- requirement normalisation ------------------------------------------------------------------------

object normalize_r(Frame& f, handle requirements) {
    if (!truth(requirements) || !truth(slice_from(requirements, 1))) return borrow(requirements.ptr());
    // a requirement that is not an R (neither the module-level R now nor this module's own class) is left
    // to the walk, which reports it; the normalised requirements are made through the module-level R
    object R = NATIVE_GLOBAL(f, "R");
    handle own_R = f.state<State>().R;
    Snapshot snapshot(requirements);
    for (handle req : snapshot)
        if (!is_instance(req, R) && (R.ptr() == own_R.ptr() || !is_instance(req, own_R)))
            return borrow(requirements.ptr());
    object first = item_at(requirements, 0);
    object first_args = attr(first, "args");
    if (!truth(first_args)) return borrow(requirements.ptr());
    Py_ssize_t min_len = check_value(PyObject_Length(item_at(first_args, 0).ptr()));
    std::vector<object> paths, args;
    for (handle req : snapshot) {
        object req_args = attr(req, "args");
        if (!truth(req_args)) return borrow(requirements.ptr());
        object path = item_at(req_args, 0);
        min_len = std::min(min_len, check_value(PyObject_Length(path.ptr())));
        paths.push_back(path);
        args.push_back(req_args);
    }
    // the caller's lists are never written to: a path that takes a value is copied first
    std::vector<bool> copied(paths.size(), false);
    for (Py_ssize_t index = 0; index < min_len; ++index) {
        object values = steal(PySet_New(nullptr));
        std::vector<object> column;
        for (object& path : paths) column.push_back(item_at(path, index));
        for (object& value : column) check(PySet_Add(values.ptr(), value.ptr()));
        if (PySet_GET_SIZE(values.ptr()) == 1) continue;
        // the one plain value of the column, up to its first pattern; a second one ends the normalisation
        bool recorded = false;
        bool second_plain = false;
        object plain;
        for_each(values, [&](handle value) {
            if (text_form_opens_pattern(value)) return false;
            if (recorded) {
                second_plain = true;
                return false;
            }
            recorded = true;
            plain = borrow(value.ptr());
            return true;
        });
        if (second_plain) return rebuilt(f, paths, args);
        if (!recorded) continue;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (!copied[i]) {
                paths[i] = slice_from(paths[i], 0);
                copied[i] = true;
            }
            check(PySequence_SetItem(paths[i].ptr(), index, plain.ptr()));
        }
    }
    return rebuilt(f, paths, args);
}

object find_normalize_r(Frame& f, handle, handle requirements) { return normalize_r(f, requirements); }

// ----- result sets of unhashable items --------------------------------------------------------------------

object unhashable_remove(handle unhashables) {
    object result = new_list();
    // the result keeps every object it holds alive, so their identities cannot be reused meanwhile
    std::unordered_set<PyObject*> seen;
    for_each(unhashables, [&](handle item) {
        if (seen.insert(item.ptr()).second) append(result, item);
    });
    return result;
}

object find_unhashable_remove(Frame&, handle, handle unhashables) { return unhashable_remove(unhashables); }

object unhashable_intersection(Frame& f, handle self, handle unhashables_lists) {
    object result = new_list();
    if (!truth(unhashables_lists)) return result;
    object first = slice_from(item_at(unhashables_lists, 0), 0);
    result = has_own(f, self, own_unhashable_remove) ? unhashable_remove(first)
                                                     : call_method(self, "_unhashable_remove", first);
    object snapshot = slice_from(result, 0);
    object others = slice_from(unhashables_lists, 1);
    for_each(snapshot, [&](handle item) {
        for_each(others, [&](handle other) {
            if (!contains(other, item) && contains(result, item)) call_method(result, "remove", item);
        });
    });
    return result;
}

object find_unhashable_intersection(Frame& f, handle self, handle unhashables_lists) {
    return unhashable_intersection(f, self, unhashables_lists);
}

// ----- the path expansion ------------------------------------------------------------------------------------

namespace {

enum class Step { kept, dropped, abandoned };

// The value a pattern's first named group has in `key`, when it has one there: kept when it fits
// (`fits` says whether it does), else the path is abandoned.
template <typename Fits>
Step take_group_value(handle pattern, handle key, handle loc, handle element, Fits&& fits) {
    object name = first_group_name(pattern);
    if (!contains(key, name)) {
        append(loc, element);
        return Step::kept;
    }
    object value = get_item(key, name);
    if (!fits(value)) return Step::abandoned;
    append(loc, value);
    return Step::kept;
}

Step expanded(Frame& f, handle item, handle key, handle device, handle loc) {
    if (is_operator(f, item)) {
        if (is_not_exists(f, item)) return Step::dropped;
        object value = attr(item, "value");
        if (!PyUnicode_Check(value.ptr())) {
            append(loc, value);
            return Step::kept;
        }
        if (equal(value, handle(intern("{uut}")))) {
            append(loc, device);
            return Step::kept;
        }
        object regex = attr(item, "regex");
        if (truth(regex) && text_starts_with(value, "(")) {
            return take_group_value(regex, key, loc, value, [&](handle found) { return equal(item, str_of(found)); });
        }
        append(loc, value);
        return Step::kept;
    }
    if (!PyUnicode_Check(item.ptr())) {
        append(loc, item);
        return Step::kept;
    }
    if (equal(item, handle(intern("{uut}")))) {
        append(loc, device);
        return Step::kept;
    }
    if (text_starts_with(item, "(")) {
        object pattern = compile_or_refuse(f, item, item);
        return take_group_value(pattern, key, loc, item,
                                [&](handle found) { return pattern_matches(pattern, str_of(found)); });
    }
    append(loc, item);
    return Step::kept;
}

}  // namespace

object find_populate_path(Frame& f, handle, handle path, handle keys, handle device, handle, handle) {
    if (!truth(path)) return borrow(path.ptr());
    object paths = new_list();
    for_each(keys, [&](handle key) {
        for_each(path, [&](handle requirement_path) {
            object loc = new_list();
            bool complete = for_each(
                requirement_path, [&](handle item) { return expanded(f, item, key, device, loc) != Step::abandoned; });
            if (complete) append(paths, loc);
        });
    });
    object distinct = steal(PySet_New(nullptr));
    for_each(paths, [&](handle loc) { check(PySet_Add(distinct.ptr(), steal(PyList_AsTuple(loc.ptr())).ptr())); });
    object result = new_list();
    for_each(distinct, [&](handle members) { append(result, steal(PySequence_List(members.ptr()))); });
    return result;
}

// ----- GroupKeys.group_keys -------------------------------------------------------------------------------------

object group_keys(Frame& f, handle, handle source, handle reqs, handle, handle all_keys) {
    object result_lists = truth(all_keys) ? borrow(source.ptr()) : list_of(source);
    // each list of full paths goes with its requirement path, also when the lists are sorted
    object columns = new_list();
    object req_iterator = steal(PyObject_GetIter(reqs.ptr()));
    for_each(result_lists, [&](handle results) {
        object full_paths = new_list();
        for_each(results, [&](handle pair) {
            object value = item_at(pair, 0);
            object path = item_at(pair, 1);
            append(full_paths, steal(PyNumber_Add(path.ptr(), list_of(value).ptr())));
        });
        append(columns, full_paths);
    });
    object paired = new_list();
    for (handle full_paths : Snapshot(columns)) {
        object req = next_of(req_iterator);
        if (!req) break;
        append(paired, tuple_of(full_paths, req));
    }
    if (length(paired) > 1) {
        object first_of = attr(steal(PyImport_ImportModule("operator")), "itemgetter");
        call_kw(attr(paired, "sort"), {}, {{"key", call(first_of, integer(0))}});
    }
    object result = new_list();
    for_each(paired, [&](handle pair) {
        object full_paths = item_at(pair, 0);
        object req_path = item_at(pair, 1);
        for_each(full_paths, [&](handle full_path) {
            object ret_source = new_dict();
            object req_iter = steal(PyObject_GetIter(req_path.ptr()));
            // `for element, req_element in zip(full_path, req_path)`
            for_each(full_path, [&](handle element) {
                object req_element = next_of(req_iter);
                if (!req_element) return false;
                object operator_pattern = is_operator(f, req_element) ? attr(req_element, "regex") : object();
                bool has_pattern = operator_pattern && truth(operator_pattern);
                if (!has_pattern && equal(element, req_element)) return true;
                object pattern;
                if (PyUnicode_Check(req_element.ptr()) && text_starts_with(req_element, "(?P<")) {
                    pattern = compile_or_refuse(f, req_element, req_element);
                } else if (has_pattern && text_starts_with(attr(req_element, "value"), "(?P<")) {
                    pattern = operator_pattern;
                } else {
                    return true;
                }
                set_item(ret_source, first_group_name(pattern), element);
                return true;
            });
            append(result, ret_source);
        });
    });
    return result;
}

}  // namespace objects