// The walk over the data: every kind of value, mapping keys and values, the markup loop of one
// text, the write-back of resolved references, and the one MarkupError a failure becomes.
//
// While the processor's class still has this module's walk methods, the walk calls its own C++
// instead of fetching each method from the instance, and key paths are lists only where someone
// can see them (a markup handler, an overriding method, an error message): along the walk they are
// a chain of nodes on the C++ stack.
#include <algorithm>

#include "markup.hpp"

namespace markup {
namespace {

// Far more passes than any text of a document needs: a text that keeps changing after them is
// growing without end (an environment variable holding its own markup after other text).
constexpr int pass_limit = 10000;

PyObject* instance_dict(handle obj) {
    PyObject** slot = internals::instance_dict_slot(obj.ptr());
    return slot ? *slot : nullptr;
}

enum class Kind : unsigned char { unknown, keep, text, mapping, iterable };

// A key path along the walk: the node of a value, its parent's node and the item that leads from
// the parent to it. The root holds the key path that the walk was handed.
struct PathNode {
    const PathNode* parent = nullptr;
    handle base;  // the root's key path
    handle key;   // the mapping key leading here; none for a list position
    Py_ssize_t position = 0;
    bool quiet = false;  // nothing is written back for texts here
    mutable object list;
    // the characters of the texts that handlers gave for the value here (the passes of a reference
    // that gives a text run at this same node)
    mutable Py_ssize_t made = 0;
};

PathNode child_of(const PathNode& parent, handle key) { return PathNode{&parent, handle(), key, 0, parent.quiet, {}}; }
// The node of a mapping value whose key was `found` in the data and is `key` after its markups: a key
// that its markup changed names no entry of the caller's data (or another one), so nothing is
// written back below it.
PathNode child_under(const PathNode& parent, handle found, handle key) {
    PathNode child = child_of(parent, key);
    bool kept = found.ptr() == key.ptr() || (PyUnicode_CheckExact(found.ptr()) && PyUnicode_CheckExact(key.ptr()) &&
                                             PyUnicode_Compare(found.ptr(), key.ptr()) == 0);
    if (!kept) child.quiet = true;
    return child;
}
PathNode child_at(const PathNode& parent, Py_ssize_t position) {
    return PathNode{&parent, handle(), handle(), position, parent.quiet, {}};
}
// The same key path as `node`, under which nothing is written back.
PathNode quiet_alias(const PathNode& node) {
    return PathNode{node.parent, node.base, node.key, node.position, true, {}};
}

class Walk {
public:
    Walk(Frame& frame, handle self, handle locations)
        : f(frame), state(frame.state<State>()), self(self), locations(locations) {}

    Frame& f;
    State& state;
    handle self;
    handle locations;

    // The walk method is this module's own for this processor now.
    bool native(Method method) { return (bits() & method) != 0; }

    // The key path of a node as a list (the root's is the very object the walk was handed).
    handle index_of(const PathNode& node) {
        if (node.list) return node.list;
        if (!node.parent && (!node.quiet || is_quiet(f, node.base))) {
            node.list = borrow(node.base.ptr());
            return node.list;
        }
        std::vector<const PathNode*> chain;
        const PathNode* start = &node;
        while (start->parent && !start->list) {
            chain.push_back(start);
            start = start->parent;
        }
        handle from = start->list ? handle(start->list) : start->base;
        object items = steal(PySequence_List(from.ptr()));
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const PathNode* step = *it;
            object item = step->key ? borrow(step->key.ptr()) : integer(step->position);
            check(PyList_Append(items.ptr(), item.ptr()));
        }
        node.list = node.quiet ? call(state.quiet_key_path, items) : items;
        return node.list;
    }

    Kind kind_of(handle data, handle credentials) {
        int slot = builtin_index(Py_TYPE(data.ptr()));
        object secret = NATIVE_GLOBAL(f, "SecretString");
        object mutable_mapping = NATIVE_GLOBAL(f, "MutableMapping");
        object iterable = NATIVE_GLOBAL(f, "Iterable");
        if (slot >= 0) {
            if (credentials.ptr() != kind_keys_[0].ptr() || secret.ptr() != kind_keys_[1].ptr() ||
                mutable_mapping.ptr() != kind_keys_[2].ptr() || iterable.ptr() != kind_keys_[3].ptr()) {
                kind_keys_[0] = borrow(credentials.ptr());
                kind_keys_[1] = secret;
                kind_keys_[2] = mutable_mapping;
                kind_keys_[3] = iterable;
                for (Kind& kind : kinds_) kind = Kind::unknown;
            } else if (kinds_[slot] != Kind::unknown) {
                return kinds_[slot];
            }
        }
        Kind kind = classify(data, credentials, secret, mutable_mapping, iterable);
        if (slot >= 0) kinds_[slot] = kind;
        return kind;
    }

private:
    Kind classify(handle data, handle credentials, handle secret, handle mutable_mapping, handle iterable) {
        if (is_instance(data, credentials) || is_instance(data, secret)) return Kind::keep;
        if (PyUnicode_Check(data.ptr())) return Kind::text;
        // bytes (PyYAML's !!binary) and texts of other classes are values, not collections to rebuild
        if (PyBytes_Check(data.ptr()) || PyByteArray_Check(data.ptr())) return Kind::keep;
        if (is_instance(data, state.user_string)) return Kind::keep;
        if (isinstance_abc(data, mutable_mapping)) return Kind::mapping;
        if (is_instance(data, iterable)) return Kind::iterable;
        return Kind::keep;
    }

    // The runtime's verdict for this processor, kept for the walk while neither its class nor its
    // own __dict__ changed (a method set on the instance mid-walk takes part from then on).
    uint32_t bits() {
        PyTypeObject* type = Py_TYPE(self.ptr());
        PyObject* dict = instance_dict(self);
        if (known_ && type == type_ && type_version_ != 0 && internals::type_version(type) == type_version_ &&
            dict == dict_ && (!dict || internals::dict_version(dict) == dict_version_))
            return bits_;
        uint32_t bits = state.own_methods.instance_bits(self);
        known_ = true;
        type_ = type;
        type_version_ = internals::type_version(type);
        dict_ = instance_dict(self);
        dict_version_ = dict_ ? internals::dict_version(dict_) : 0;
        bits_ = bits;
        return bits;
    }

    bool known_ = false;
    PyTypeObject* type_ = nullptr;
    unsigned type_version_ = 0;
    PyObject* dict_ = nullptr;
    uint64_t dict_version_ = 0;
    uint32_t bits_ = 0;
    object kind_keys_[4];
    Kind kinds_[builtin_count] = {};
};

object walk_value(Walk& w, handle data, const PathNode& path);
object markup_loop(Walk& w, handle data, const PathNode& path);
object mapping_step(Walk& w, handle data, const PathNode& path);
object iterable_step(Walk& w, handle data, const PathNode& path);

// `self.<method>(data, index, locations=locations)`
object call_walk_method(Walk& w, Name method, handle data, const PathNode& path) {
    return call_kw(attr(w.self, method), {data, w.index_of(path)}, {{"locations", w.locations}});
}

// `self._recurse(value, index, locations=locations)`
object recurse_step(Walk& w, handle value, const PathNode& path) {
    if (w.native(RECURSE)) return walk_value(w, value, path);
    return call_walk_method(w, method_name(RECURSE), value, path);
}

// ----- failures --------------------------------------------------------------------------------------

// Containers nested deeper than any document: their full text form is not even tried, as the
// interpreter's own text forms of such data can overflow the native stack under a raised recursion
// limit.
constexpr int shown_depth_limit = 200;
// The native stack a level of nesting may take in the interpreter's text forms (an ordered
// mapping's takes three of its functions: its own, its item list's and each pair's), with room to
// spare: a failure found near the end of the stack is shown only with the room for every level.
constexpr size_t stack_per_shown_level = 4096;

// How deep dicts, lists and tuples nest in `value` (a plain value is 0), counted up to `limit + 1`.
// Reads the containers directly and runs no Python code, so nothing can change them meanwhile.
int nesting_depth(handle value, int limit) {
    int deepest = 0;
    std::vector<std::pair<PyObject*, int>> pending{{value.ptr(), 0}};
    while (!pending.empty()) {
        auto [obj, depth] = pending.back();
        pending.pop_back();
        bool container = PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
        if (!container) continue;
        deepest = std::max(deepest, depth + 1);
        if (depth >= limit) return limit + 1;
        if (PyDict_Check(obj)) {
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            // checked: no call into Python between taking the items and their use: this function runs none
            while (PyDict_Next(obj, &pos, &key, &item)) {
                pending.emplace_back(key, depth + 1);
                pending.emplace_back(item, depth + 1);
            }
        } else {
            // checked: no call into Python between taking the items and their use: this function runs none
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i)
                pending.emplace_back(PySequence_Fast_GET_ITEM(obj, i), depth + 1);  // checked: as above
        }
    }
    return deepest;
}

// Whether the interpreter's own text form of `value` has room to be built here.
bool room_to_show(handle value) {
    int depth = nesting_depth(value, shown_depth_limit);
    return depth <= shown_depth_limit && native_stack_room() > static_cast<size_t>(depth + 1) * stack_per_shown_level;
}

// The text form of a value for the message, or reprlib's shortened form when the full one cannot be
// built (data nested as deep as the recursion limit); an empty object when neither can.
// Whether reprlib's shortened form of `value` stays short on the native stack too: it cuts off
// containers of the built-in kinds it knows at a few levels, but hands any other object to the
// interpreter's full text form, whose depth only the recursion limit bounds. Reads the first items of
// each container directly and runs no Python code.
bool reprlib_keeps_short(handle value, int levels) {
    PyObject* obj = value.ptr();
    unsigned traits = builtin::traits(Py_TYPE(obj));
    if (!(traits & builtin::known)) return false;
    if ((traits & builtin::scalar) || levels <= 0) return true;
    constexpr Py_ssize_t looked_at = 30;  // more than reprlib shows of any container
    if (PyDict_CheckExact(obj)) {
        Py_ssize_t pos = 0, seen = 0;
        PyObject *key, *item;
        // checked: no call into Python between taking the items and their use: this function runs none
        while (seen++ < looked_at && PyDict_Next(obj, &pos, &key, &item)) {
            if (!reprlib_keeps_short(key, levels - 1) || !reprlib_keeps_short(item, levels - 1)) return false;
        }
        return true;
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // checked: no call into Python between taking the items and their use: this function runs none
        for (Py_ssize_t i = 0; i < std::min(PySequence_Fast_GET_SIZE(obj), looked_at); ++i) {
            // checked: no call into Python between taking the item and its use
            if (!reprlib_keeps_short(PySequence_Fast_GET_ITEM(obj, i), levels - 1)) return false;
        }
        return true;
    }
    return false;  // a frozenset: its items are not read here
}

// reprlib's maximal depth
constexpr int reprlib_levels = 6;

// The text form of a value for the message: in full where it has room, else reprlib's shortened
// form where that stays short, else the name of the value's class with "(...)"; an empty object when
// even that cannot be built (at the recursion limit).
object shown_in_message(Walk& w, handle value) {
    if (room_to_show(value)) {
        try {
            return format_of(value);
        } catch (...) {
            Caught failure;
            if (!failure.matches(PyExc_Exception)) failure.rethrow();
        }
    }
    try {
        if (reprlib_keeps_short(value, reprlib_levels)) return call(w.state.reprlib_repr, value);
        object name = steal(PyType_GetName(Py_TYPE(value.ptr())));
        return steal(PyUnicode_FromFormat("%U(...)", name.ptr()));
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
    }
    return object();
}

[[noreturn]] void report(Walk& w, Caught& failure, handle data, const PathNode& path) {
    if (!failure.matches(PyExc_Exception)) failure.rethrow();
    Handling handling(failure.value());
    if (truth(attr(w.self, "_inhibit_recurse_exception"))) failure.rethrow();
    object shown_index, shown_data;
    try {
        shown_index = shown_in_message(w, w.index_of(path));
        if (shown_index) shown_data = shown_in_message(w, data);
    } catch (...) {
        Caught unshown;
        if (!unshown.matches(PyExc_Exception)) unshown.rethrow();
    }
    // no room left here even for the shortened form: the level above, further from the recursion
    // limit, reports the failure instead
    if (!shown_data) failure.rethrow();
    set_attr(w.self, "_inhibit_recurse_exception", handle(Py_True));
    object message = steal(PyUnicode_FromFormat("Caught error while processing markups: \nIndex:  %U\nMarkup: %U\n",
                                                shown_index.ptr(), shown_data.ptr()));
    object error = call(NATIVE_GLOBAL(w.f, "MarkupError"), message);
    raise_from(error, failure.value());
}

// ----- the kinds of value ---------------------------------------------------------------------------

object text_step(Walk& w, handle data, const PathNode& path) {
    if (w.native(PROCESS_STR)) return markup_loop(w, data, path);
    return call_walk_method(w, method_name(PROCESS_STR), data, path);
}

object mapping_dispatch(Walk& w, handle data, const PathNode& path) {
    if (w.native(PROCESS_MAPPING)) return mapping_step(w, data, path);
    return call_walk_method(w, method_name(PROCESS_MAPPING), data, path);
}

object iterable_dispatch(Walk& w, handle data, const PathNode& path) {
    if (w.native(PROCESS_ITERABLE)) return iterable_step(w, data, path);
    return call_walk_method(w, method_name(PROCESS_ITERABLE), data, path);
}

object walk_value(Walk& w, handle data, const PathNode& path) {
    object credentials = import_credentials(w.f);
    RecursionGuard guard;
    try {
        switch (w.kind_of(data, credentials)) {
            case Kind::text:
                return text_step(w, data, path);
            case Kind::mapping:
                return mapping_dispatch(w, data, path);
            case Kind::iterable:
                return iterable_dispatch(w, data, path);
            default:
                return borrow(data.ptr());
        }
    } catch (...) {
        Caught failure;
        report(w, failure, data, path);
    }
}

// ----- the markup loop ---------------------------------------------------------------------------------

object markup_loop(Walk& w, handle data, const PathNode& path) {
    object current = borrow(data.ptr());
    object last_match;
    for (int pass = 0;; ++pass) {
        object base = NATIVE_GLOBAL(w.f, "BASE_PATTERN");
        if (base.ptr() == w.state.base_pattern.ptr() && without_marker(current)) return current;
        if (!truth(call_method(base, "search", current))) return current;
        if (pass == pass_limit) raise_short(w.f, w.index_of(path), group(last_match, 0), handle());
        object actions = attr(w.self, "_actions");
        object outcome;  // the value that takes the text's place, once a handler gave one
        bool changed = false;
        for_each(actions, [&](handle pair) {
            auto [matcher, handler] = unpack<2>(pair);
            object match = call(matcher, current);
            if (!truth(match)) return true;
            object result = call_kw(handler, {match, current, w.index_of(path)}, {{"locations", w.locations}});
            // a handler that gives the text back as it was found nothing to resolve
            if (PyUnicode_Check(result.ptr()) && PyUnicode_Check(current.ptr()) &&
                PyUnicode_Compare(result.ptr(), current.ptr()) == 0)
                return true;
            if (PyUnicode_Check(result.ptr())) {
                Py_ssize_t length = PyUnicode_GET_LENGTH(result.ptr());
                if (length > max_expanded_length) raise_expansion(w.f, w.index_of(path), group(match, 0));
                path.made += length;
                if (path.made > max_expansion_work) raise_expansion(w.f, w.index_of(path), group(match, 0), true);
            }
            if (equal(matcher, attr(w.self, "match_reference_markup")) && is_container(w.f, result)) {
                write_back(w.f, w.self, w.index_of(path), result);
                outcome = recurse_step(w, result, path);
            } else if (!PyUnicode_Check(result.ptr())) {
                outcome = recurse_step(w, result, path);
            } else {
                current = result;
                last_match = match;
                changed = true;
            }
            return false;
        });
        if (outcome) return outcome;
        if (!changed) return current;
    }
}

// ----- mappings -----------------------------------------------------------------------------------------

// `typing.Hashable` is still the class the body found, whose answer for the built-in hashable types
// is yes: known without a look-up while the typing module's namespace is unchanged.
bool hashable_is_own(Walk& w) {
    State& state = w.state;
    object typing = NATIVE_GLOBAL(w.f, "typing");
    if (typing.ptr() != state.typing_module.ptr() || !PyModule_CheckExact(typing.ptr())) return false;
    PyObject* names = PyModule_GetDict(typing.ptr());
    if (state.typing_version != 0 && internals::dict_version(names) == state.typing_version) return true;
    if (attr(typing, "Hashable").ptr() != state.hashable.ptr()) return false;
    state.typing_version = internals::dict_version(names);
    return true;
}

// A mapping key as the new mapping holds it: a text's markups resolved (a list-extension key left
// for the merges), with the mapping's own key path, under which nothing is written back.
object key_step(Walk& w, handle key, const PathNode& path) {
    if (!PyUnicode_Check(key.ptr())) return borrow(key.ptr());
    bool plain = without_marker(key);
    bool own_extend_list = plain && w.native(MATCH_EXTEND_LIST) &&
                           NATIVE_GLOBAL(w.f, "EXTEND_LIST_PATTERN").ptr() == w.state.extend_list_pattern.ptr();
    if (!own_extend_list && truth(call_method(w.self, method_name(MATCH_EXTEND_LIST), key))) return borrow(key.ptr());
    PathNode quiet = quiet_alias(path);
    object new_key =
        w.native(PROCESS_STR) ? markup_loop(w, key, quiet) : call_walk_method(w, method_name(PROCESS_STR), key, quiet);
    if (builtin::has(new_key, builtin::hashable) && hashable_is_own(w)) return new_key;
    object hashable = attr(NATIVE_GLOBAL(w.f, "typing"), "Hashable");
    if (!is_instance(new_key, hashable))
        raise_format(PyExc_ValueError, "Value %R for %S is not hashable", new_key.ptr(), key.ptr());
    return new_key;
}

// The pairs of a mapping, each computed when asked for: what the generator of _iter_mutable_mapping
// yields.
struct Pairs {
    object fn;  // this module's _iter_mutable_mapping, whose frame the steps run in
    object self;
    object data;
    object index;
    object locations;
    object items;

    template <typename Visit>
    void visit(Visit& v) {
        v(fn);
        v(self);
        v(data);
        v(index);
        v(locations);
        v(items);
    }

    object next() {
        Frame frame = frame_of(fn);
        if (!items) items = steal(PyObject_GetIter(call_method(data, "items").ptr()));
        PyObject* raw = PyIter_Next(items.ptr());
        if (!raw) {
            if (PyErr_Occurred()) throw_error();
            return object();
        }
        object pair = steal(raw);
        auto [key, value] = unpack2(pair);
        Walk w(frame, self, locations);
        PathNode root{nullptr, index, handle(), 0, is_quiet(frame, index), {}};
        object new_key = key_step(w, key, root);
        PathNode child = child_under(root, key, new_key);
        object new_value = recurse_step(w, value, child);
        return tuple_of(new_key, new_value);
    }
};

// The generator that _iter_mutable_mapping gives: a Python generator over the native pairs, so that
// it has send, throw and close, and is one for inspect.isgenerator and for the mapping's constructor.
object pairs_of(Walk& w, handle data, handle index) {
    object pairs = make_iterator(Pairs{w.state.own_iter_mapping_fn, borrow(w.self.ptr()), borrow(data.ptr()),
                                       borrow(index.ptr()), borrow(w.locations.ptr()), object()});
    return call(w.state.generator_of, pairs);
}

object mapping_step(Walk& w, handle data, const PathNode& path) {
    RecursionGuard guard;
    bool own_pairs = w.native(ITER_MAPPING);
    if (own_pairs && PyDict_CheckExact(data.ptr())) {
        // dict(pairs) without the pairs: the same entries, in the same order, as they are computed
        object result = new_dict();
        for_each_item(data, [&](handle key, handle value) {
            object new_key = key_step(w, key, path);
            PathNode child = child_under(path, key, new_key);
            object new_value = recurse_step(w, value, child);
            check(PyDict_SetItem(result.ptr(), new_key.ptr(), new_value.ptr()));
        });
        return result;
    }
    object pairs =
        own_pairs ? pairs_of(w, data, w.index_of(path)) : call_walk_method(w, method_name(ITER_MAPPING), data, path);
    return call(type_of(data), pairs);
}

// ----- other iterables ------------------------------------------------------------------------------------

object iterable_step(Walk& w, handle data, const PathNode& path) {
    RecursionGuard guard;
    object result = new_list();
    Py_ssize_t position = 0;
    for_each(data, [&](handle item) {
        PathNode child = child_at(path, position++);
        object processed = recurse_step(w, item, child);
        check(PyList_Append(result.ptr(), processed.ptr()));
    });
    return result;
}

PathNode root_of(Frame& f, handle index) { return PathNode{nullptr, index, handle(), 0, is_quiet(f, index), {}}; }

}  // namespace

// ----- the methods --------------------------------------------------------------------------------------

object recurse(Frame& f, handle self, handle data, handle index, handle locations) {
    AbcSnapshot snapshot;
    Walk w(f, self, locations);
    PathNode root = root_of(f, index);
    return walk_value(w, data, root);
}

object iter_mutable_mapping(Frame& f, handle self, handle data, handle index, handle locations) {
    Walk w(f, self, locations);
    return pairs_of(w, data, index);
}

object process_mutable_mapping(Frame& f, handle self, handle data, handle index, handle locations) {
    AbcSnapshot snapshot;
    Walk w(f, self, locations);
    PathNode root = root_of(f, index);
    return mapping_step(w, data, root);
}

object process_iterable(Frame& f, handle self, handle data, handle index, handle locations) {
    AbcSnapshot snapshot;
    Walk w(f, self, locations);
    PathNode root = root_of(f, index);
    return iterable_step(w, data, root);
}

object process_str(Frame& f, handle self, handle data, handle index, handle locations) {
    AbcSnapshot snapshot;
    Walk w(f, self, locations);
    PathNode root = root_of(f, index);
    return markup_loop(w, data, root);
}

}  // namespace markup
