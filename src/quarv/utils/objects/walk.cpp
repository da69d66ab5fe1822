// Find.find, the search walk: requirement paths followed step by step, keyword requirements tested by
// the matcher, the requirements' results combined; then merged through their named groups (merge.cpp)
// and projected (projection.cpp).
#include "objects.hpp"

namespace objects {
namespace {

// A search: the Find object it runs on, the mode, and which collaborators are still this module's own.
struct Search {
    Finder finder;
    handle filter_;
    bool filter;
    handle all_keys;
    // self.find, _normalize_r and the result-set methods are this module's, and so is R: a step down a
    // path is then walked here instead of by a call of find on a one-item list
    bool own_recursion;
    // the `match` of the compiled step patterns of this search, while re.compile is the standard
    // library's own
    bool cache_patterns;
    std::vector<std::pair<object, object>> matchers;

    Search(Frame& f, handle self, handle filter_arg, handle all_keys_arg)
        : finder(f, self), filter_(filter_arg), filter(truth(filter_arg)), all_keys(all_keys_arg) {
        State& state = f.state<State>();
        own_recursion =
            has_own(f, self, own_find | own_normalize_r | own_unhashable_intersection | own_unhashable_remove) &&
            NATIVE_GLOBAL(f, "R").ptr() == state.R.ptr();
        cache_patterns = attr(NATIVE_GLOBAL(f, "re"), "compile").ptr() == state.re_compile.ptr();
    }
    Frame& f() { return finder.f; }
    handle self() { return finder.self; }

    // `re.compile(step).match`; the same text object gives the same pattern during the search.
    object matcher(handle step) {
        if (!cache_patterns) return attr(compile_pattern(f(), step), "match");
        for (auto& [source, match] : matchers)
            if (source.ptr() == step.ptr()) return match;
        object match = attr(compile_pattern(f(), step), "match");
        if (matchers.size() < 64) matchers.emplace_back(borrow(step.ptr()), match);
        return match;
    }
};

using Children = std::vector<std::pair<object, object>>;

// The children of an item for one step, each with the key to report for it; false when gathering
// raised an exception of the Exception family (the item then does not match this path).
bool gather(Search& s, handle item, handle step, Children& children) {
    try {
        if (PyDict_Check(item.ptr())) {
            if (is_pattern_text(step)) {
                object match = s.matcher(step);
                for_each_item(item, [&](handle k, handle v) {
                    if (matcher_accepts(match, str_of(k))) children.emplace_back(borrow(k.ptr()), borrow(v.ptr()));
                });
            } else {
                if (is_operator(s.f(), step)) set_attr(step, "parent", item);
                children.emplace_back(borrow(step.ptr()), get_item(item, step));
            }
        } else {
            children.emplace_back(borrow(step.ptr()), attr(item, step));
        }
        return true;
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return false;
    }
}

// `self.find([child], R(steps[offset:]), filter_=..., _first=False, all_keys=...)`.
object find_below(Search& s, handle child, const Snapshot& steps, Py_ssize_t offset) {
    object rest = steal(PySequence_List(steal(PyTuple_GetSlice(steps.tuple().ptr(), offset, PY_SSIZE_T_MAX)).ptr()));
    object requirement = call(NATIVE_GLOBAL(s.f(), "R"), rest);
    return call_kw(attr(s.self(), "find"), {list_of(child), requirement},
                   {{"filter_", s.filter_}, {"_first", handle(Py_False)}, {"all_keys", s.all_keys}});
}

// Filter mode: whether the item meets the rest of the path, steps[offset:]. A gathered step holds when
// at least one child meets what follows it.
bool holds(Search& s, handle item, const Snapshot& steps, Py_ssize_t offset) {
    RecursionGuard guard;
    Py_ssize_t left = steps.size() - offset;
    if (left == 2) return truth(match_one(s.finder, item, steps[offset], steps[offset + 1], s.filter_));
    Children children;
    if (!gather(s, item, steps[offset], children)) return false;
    for (auto& [key, child] : children) {
        bool found =
            s.own_recursion ? holds(s, child, steps, offset + 1) : truth(find_below(s, child, steps, offset + 1));
        if (found) return true;
    }
    return false;
}

// Value mode: the elements from `mark` on are what a step below gave for the child reached by `key`;
// they become pairs with the key in front of their key paths (a list of pairs taken apart, anything
// else left out).
void take_found(std::vector<object>& out, size_t mark, handle key) {
    std::vector<object> found(std::make_move_iterator(out.begin() + static_cast<std::ptrdiff_t>(mark)),
                              std::make_move_iterator(out.end()));
    out.resize(mark);
    for (object& element : found) {
        if (PyList_Check(element.ptr())) {
            for_each(element, [&](handle entry) {
                auto [value, path] = unpack<2>(entry);
                insert_front(path, key);
                out.push_back(borrow(entry.ptr()));
            });
        } else if (PyTuple_Check(element.ptr())) {
            auto [value, path] = unpack<2>(element);
            insert_front(path, key);
            out.push_back(std::move(element));
        }
    }
}

// Value mode: the hits of the rest of the path for the item, added to `out`; false when the step could
// not be gathered.
bool collect(Search& s, handle item, const Snapshot& steps, Py_ssize_t offset, std::vector<object>& out) {
    RecursionGuard guard;
    Py_ssize_t left = steps.size() - offset;
    if (left == 2) {
        object result = match_one(s.finder, item, steps[offset], steps[offset + 1], s.filter_);
        if (truth(result)) out.push_back(result);
        return true;
    }
    Children children;
    if (!gather(s, item, steps[offset], children)) return false;
    for (auto& [key, child] : children) {
        size_t mark = out.size();
        if (s.own_recursion) {
            collect(s, child, steps, offset + 1, out);
        } else {
            object found = find_below(s, child, steps, offset + 1);
            for_each(found, [&](handle element) { out.push_back(borrow(element.ptr())); });
        }
        take_found(out, mark, key);
    }
    return true;
}

// The requirement path as the walk reads it, checked: its steps as they are now, whatever user code
// does to the caller's list during the walk.
Snapshot checked_path(handle path, handle args) {
    if (!PyList_Check(path.ptr()))
        raise_format(PyExc_TypeError,
                     "'args' has to be list. Instead %U in %U was provided. Examples of acceptable requirement:\n"
                     "find(iterable, R(['a','b', 1]) ",
                     str_of(path).ptr(), str_of(args).ptr());
    Snapshot steps(path);
    if (steps.size() < 2)
        raise_format(PyExc_ValueError,
                     "R object expected *args list with at least 2 values that the last one will be used as the "
                     "expected value but instead received %U within %U",
                     str_of(path).ptr(), str_of(args).ptr());
    return steps;
}

bool admitted(const std::vector<object>& types, handle item) {
    if (types.empty()) return true;
    for (const object& type : types)
        if (is_instance_of(item, type)) return true;
    return false;
}

// The hits of one requirement over the collection.
object walk_requirement(Search& s, handle from_, const std::vector<object>& types, handle req) {
    object hits = new_list();
    object args = attr(req, "args");
    if (!truth(args)) {
        object wanted = attr(req, "kwargs");
        GroupedWanted grouped;
        for_each(from_, [&](handle item) {
            if (!admitted(types, item)) return;
            object result = s.finder.match_is_own
                                ? match_grouped(s.finder, item, wanted, grouped, s.filter_)
                                : call_kw(attr(s.self(), "_match"), {item, wanted}, {{"filter_", s.filter_}});
            if (!truth(result)) return;
            append(hits, s.filter ? borrow(item.ptr()) : result);
        });
        return hits;
    }
    Snapshot paths(args);
    std::vector<object> values;
    for_each(from_, [&](handle item) {
        if (!admitted(types, item)) return;
        bool kept = true;
        values.clear();
        for (handle path : paths) {
            Snapshot steps = checked_path(path, args);
            if (s.filter) {
                if (!holds(s, item, steps, 0)) {
                    kept = false;
                    break;
                }
            } else if (!collect(s, item, steps, 0, values)) {
                break;
            }
        }
        if (s.filter && kept) append(hits, item);
        for (object& value : values) append(hits, value);
    });
    return hits;
}

bool is_unhashable_error(Caught& failure) {
    if (!failure.matches(PyExc_TypeError)) return false;
    object shown = str_of(failure.value());
    return truth(call_method(shown, "startswith", handle(intern("unhashable type"))));
}

// The hits every requirement returned: through the interpreter's sets, or for unhashable hits through
// _unhashable_intersection.
object combined(Search& s, handle r_return_objs) {
    bool own_intersection = has_own(s.f(), s.self(), own_unhashable_intersection);
    object own_result;  // this module's intersection gives the same list each time it is asked
    object return_objs = item_at(r_return_objs, 0);
    // an overriding _unhashable_intersection is given the list and may change it: it is walked as
    // the list iterator walks it
    for_each(r_return_objs, [&](handle results) {
        try {
            object mine = steal(PySet_New(return_objs.ptr()));
            object theirs = steal(PySet_New(results.ptr()));
            return_objs = steal(PySequence_List(call_method(mine, "intersection", theirs).ptr()));
        } catch (...) {
            Caught failure;
            if (!is_unhashable_error(failure)) failure.rethrow();
            if (!own_intersection) {
                return_objs = call_method(s.self(), "_unhashable_intersection", r_return_objs);
            } else {
                if (!own_result) own_result = unhashable_intersection(s.f(), s.self(), r_return_objs);
                return_objs = steal(PySequence_List(own_result.ptr()));
            }
        }
    });
    return return_objs;
}

object own_or_call_reset(Frame& f, handle self) {
    if (has_own(f, self, own_reset_keys)) return find_reset_keys(f, self);
    return call_method(self, "reset_keys");
}

}  // namespace

object find_reset_keys(Frame&, handle self) {
    for (Name name :
         {Name("found_objects"), Name("initial_object"), Name("initial_requirements"), Name("initial_found_objects")}) {
        if (optional_attr(self, name)) check(PyObject_DelAttr(self.ptr(), intern(name)));
    }
    return py::none();
}

object search_collection(Frame& f, handle self, handle from_arg, handle type_, handle filter_, handle index,
                         handle first, handle all_keys, handle requirements_arg, handle kwargs) {
    RecursionGuard guard;
    State& state = f.state<State>();
    if (truth(first)) own_or_call_reset(f, self);
    if (!truth(from_arg)) return new_list();
    object from_ = borrow(from_arg.ptr());
    if (!PyDict_Check(from_.ptr()) && !is_iterable(f, from_)) from_ = list_of(from_);
    std::vector<object> types;
    if (!type_.is_none()) {
        if (PyList_Check(type_.ptr())) {
            for_each(type_, [&](handle entry) { types.push_back(borrow(entry.ptr())); });
        } else {
            types.push_back(borrow(type_.ptr()));
        }
    }
    object requirements;
    if (length(requirements_arg) == 0) {
        object empty = steal(PyTuple_New(0));
        requirements = list_of(steal(PyObject_Call(NATIVE_GLOBAL(f, "R").ptr(), empty.ptr(), kwargs.ptr())));
    } else {
        if (PyDict_GET_SIZE(kwargs.ptr()) > 0)
            call_method(NATIVE_GLOBAL(f, "logger"), "warning",
                        text("Requirements were provided by using both *requirements and kwargs. Ignoring kwargs."));
        requirements = borrow(requirements_arg.ptr());
    }
    requirements = has_own(f, self, own_normalize_r) ? normalize_r(f, requirements)
                                                     : call_method(self, "_normalize_r", requirements);

    bool outermost = false;
    if (!optional_attr(self, "initial_object")) {
        outermost = true;
        set_attr(self, "initial_object", call(attr(NATIVE_GLOBAL(f, "copy"), "copy"), from_));
        set_attr(self, "initial_requirements", requirements);
        // only a sequence is probed by position
        if (isinstance_abc(from_, state.sequence_abc)) {
            object element = steal(PyObject_GetItem(from_.ptr(), integer(0).ptr()));
            if (PyDict_Check(element.ptr())) set_attr(self, "to_find_dict", handle(Py_True));
        }
    }

    Search s(f, self, filter_, all_keys);
    object r_return_objs = new_list();
    for_each(requirements, [&](handle req) {
        if (!is_instance(req, NATIVE_GLOBAL(f, "R")))
            raise_format(PyExc_TypeError,
                         "Requirements list can only contain R objects. Another type was found: %U in %U",
                         str_of(type_of(req)).ptr(), str_of(requirements).ptr());
        append(r_return_objs, walk_requirement(s, from_, types, req));
    });

    object return_objs = new_list();
    if (length(r_return_objs) > 0) return_objs = combined(s, r_return_objs);
    if (outermost && !s.filter) record_and_merge(f, self, all_keys, requirements, r_return_objs, return_objs);
    if (filter_.ptr() == Py_False && !index.is_none() && length(from_) == 1)
        return_objs = projection(f, self, from_, return_objs, index);
    return return_objs;
}

}  // namespace objects