// Find._match, the test of one object against a requirement mapping, and Find._formalize_loopable.
#include "objects.hpp"

namespace objects {

Finder::Finder(Frame& frame, handle finder_self) : f(frame), self(finder_self) {
    uint32_t own = f.state<State>().find_methods.instance_bits(self, own_match | own_formalize_loopable);
    match_is_own = own & own_match;
    formalize_is_own = own & own_formalize_loopable;
}

namespace {

// `obj == None`, answered without a call for the built-in types, whose answer is always no.
bool equals_none(handle obj) {
    if (obj.is_none()) return true;
    if (builtin::has(obj, builtin::unequal_to_none)) return false;
    return equal(obj, handle(Py_None));
}

// `obj[key]` of a dictionary, empty where it raises KeyError.
object item_or_missing(handle obj, handle key) {
    if (PyDict_CheckExact(obj.ptr())) return dict_lookup(obj, key);
    try {
        return get_item(obj, key);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
        return object();
    }
}

// `getattr(obj, key)` of any other object, empty where the attribute is missing. A key that is not a
// text names no attribute: such an object simply does not match.
object attribute_or_missing(handle obj, handle key) {
    if (!PyUnicode_Check(key.ptr())) return object();
    return optional_attr(obj, key);
}

// `k != key`, natively for two exact texts.
bool keys_differ(handle k, handle key) {
    if (PyUnicode_CheckExact(k.ptr()) && PyUnicode_CheckExact(key.ptr()))
        return k.ptr() != key.ptr() && PyUnicode_Compare(k.ptr(), key.ptr()) != 0;
    return not_equal(k, key);
}

bool is_callable_key(handle key) {
    if (PyUnicode_CheckExact(key.ptr())) return PyUnicode_CompareWithASCIIString(key.ptr(), "callable_") == 0;
    return equal(key, handle(intern("callable_")));
}

// An operator expected value whose pattern is set.
bool is_pattern_operator(Frame& f, handle expected) {
    return is_operator(f, expected) && truth(attr(expected, "regex"));
}

bool no_match_error(Caught& failure) {
    return failure.matches(PyExc_KeyError) || failure.matches(PyExc_AssertionError) ||
           failure.matches(PyExc_AttributeError);
}

object false_() { return py::bool_(false); }
object failed_test(bool filter) { return filter ? false_() : new_list(); }

// Puts the recording entry's key in front of the key path of a nested result, which keeps its shape: a
// pair stays a pair, a list of pairs a list.
object prefixed(handle recorded, handle key) {
    if (PyList_Check(recorded.ptr())) {
        object entries = borrow(recorded.ptr());
        for_each(entries, [&](handle entry) {
            auto [value, path] = unpack<2>(entry);
            insert_front(path, key);
        });
        return entries;
    }
    auto [value, path] = unpack<2>(recorded);
    insert_front(path, key);
    return tuple_of(value, path);
}

// The iteration of a nested value that is not a dictionary.
object loopable(Finder& finder, handle value) {
    if (finder.formalize_is_own) return formalize_loopable(finder.f, value);
    return call_method(finder.self, "_formalize_loopable", value);
}

// A group entry: the nested value must meet the entry's dictionary one level down. Returns the
// nested result when it is true, else nothing.
object group_entry(Finder& finder, handle obj, bool is_dict, const Entry& entry, handle use_syntax, handle filter_) {
    object nested;
    if (is_dict) {
        nested = item_or_missing(obj, entry.key);
        if (!nested) return object();
    } else {
        try {
            nested = attr(obj, entry.key);
        } catch (...) {
            Caught failure;
            if (!failure.matches(PyExc_Exception)) failure.rethrow();
            return object();
        }
    }
    object result;
    try {
        if (PyDict_Check(nested.ptr())) {
            result = match_via(finder, nested, entry.expected, use_syntax, filter_);
        } else {
            object found;
            // the first element that meets the entry's dictionary
            for_each(loopable(finder, nested), [&](handle element) {
                object candidate = match_via(finder, element, entry.expected, use_syntax, filter_);
                if (!truth(candidate)) return true;
                found = candidate;
                return false;
            });
            result = found;
        }
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_TypeError)) failure.rethrow();
        result = match_via(finder, nested, entry.expected, use_syntax, filter_);
    }
    if (!result || !truth(result)) return object();
    return result;
}

// What one entry did: failed (the call returns `early` at once) or passed, recording a value or not.
struct Verdict {
    object early;
    object record;
    bool needs_prefix = false;
    bool plain_dict_hit = false;
};

Verdict fail(object value) {
    Verdict verdict;
    verdict.early = std::move(value);
    return verdict;
}
Verdict pass(object record = object()) {
    Verdict verdict;
    verdict.record = std::move(record);
    return verdict;
}

Verdict logic_entry(handle obj, bool is_dict, const Entry& entry, bool filter) {
    try {
        object actual = is_dict ? item_or_missing(obj, entry.key) : attribute_or_missing(obj, entry.key);
        if (!actual) return fail(false_());
        if (!truth(call(entry.expected, actual))) return fail(false_());
        return pass(filter ? object() : pair_of(actual, entry.key));
    } catch (...) {
        Caught failure;
        if (!no_match_error(failure)) failure.rethrow();
        return fail(false_());
    }
}

Verdict callable_entry(handle obj, bool is_dict, const Entry& entry, bool filter) {
    try {
        if (is_callable_key(entry.key)) {
            // the whole object is tested: nothing is recorded, also in value mode
            if (!truth(call(entry.expected, obj))) return fail(false_());
            return pass();
        }
        object actual = is_dict ? get_item(obj, entry.key) : attr(obj, entry.key);
        if (!truth(call(entry.expected, actual))) return fail(false_());
        if (filter) return pass();
        if (is_dict) return pass(list_of(pair_of(actual, entry.key)));
        return pass(pair_of(actual, entry.key));
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return fail(false_());
    }
}

// The hits of a key that is an operator: the items whose key it accepts and whose value meets the
// expected value.
object operator_key_hits(Finder& finder, handle obj, handle key, handle expected) {
    Frame& f = finder.f;
    set_attr(key, "parent", obj);
    object hits = new_list();
    if (is_pattern_operator(f, expected)) {
        for_each_item(obj, [&](handle k, handle v) {
            if (equal(key, str_of(k)) && equal(expected, str_of(v))) append(hits, pair_of(v, k));
        });
    } else if (is_pattern_text(expected)) {
        object pattern = compile_or_refuse(f, expected, expected);
        bool key_is_absence = is_not_exists(f, key);
        for_each_item(obj, [&](handle k, handle v) {
            if (key_is_absence) {
                if (equal(key, str_of(k))) append(hits, pair_of(v, k));
            } else if (equal(key, str_of(k)) && pattern_matches(pattern, str_of(v))) {
                append(hits, pair_of(v, k));
            }
        });
    } else {
        for_each_item(obj, [&](handle k, handle v) {
            if (equal(key, k) && equal(v, expected)) append(hits, pair_of(v, k));
        });
    }
    return hits;
}

// The hits of a key that is a pattern text.
object pattern_key_hits(Finder& finder, handle obj, handle key, handle expected) {
    Frame& f = finder.f;
    object key_pattern = compile_or_refuse(f, key, key);
    object hits = new_list();
    if (is_pattern_text(expected)) {
        object value_pattern = compile_or_refuse(f, expected, expected);
        for_each_item(obj, [&](handle k, handle v) {
            if (pattern_matches(key_pattern, str_of(k)) && pattern_matches(value_pattern, str_of(v)))
                append(hits, pair_of(v, k));
        });
    } else {
        bool absence = is_not_exists(f, expected);
        for_each_item(obj, [&](handle k, handle v) {
            if (!pattern_matches(key_pattern, str_of(k))) return;
            if (absence) set_attr(expected, "parent", v);
            if (equal(expected, v)) append(hits, pair_of(v, k));
        });
    }
    return hits;
}

Verdict dict_entry(Finder& finder, handle obj, const Entry& entry, bool filter) {
    Frame& f = finder.f;
    handle key = entry.key;
    handle expected = entry.expected;
    try {
        bool operator_key = is_operator(f, key);
        if (operator_key || is_pattern_text(key)) {
            object hits = operator_key ? operator_key_hits(finder, obj, key, expected)
                                       : pattern_key_hits(finder, obj, key, expected);
            if (length(hits) == 0) return fail(false_());
            return pass(hits);
        }
        if (is_pattern_operator(f, expected)) {
            bool absence = is_not_exists(f, expected);
            object hit;
            for_each_item(obj, [&](handle k, handle v) {
                if (keys_differ(k, key)) return;
                if (absence) set_attr(expected, "parent", get_item(obj, key));
                if (equal(expected, str_of(v))) hit = borrow(v.ptr());
            });
            if (!hit) return fail(failed_test(filter));
            return pass(pair_of(hit, key));
        }
        if (is_pattern_text(expected)) {
            object pattern = compile_or_refuse(f, expected, expected);
            object hit;
            for_each_item(obj, [&](handle k, handle v) {
                if (keys_differ(k, key)) return;
                if (pattern_matches(pattern, str_of(v))) hit = borrow(v.ptr());
            });
            if (!hit) return fail(failed_test(filter));
            return pass(pair_of(hit, key));
        }
        object actual = item_or_missing(obj, key);
        if (!actual) return fail(false_());
        if (is_not_exists(f, expected)) set_attr(expected, "parent", actual);
        if (!equal(expected, actual)) return fail(false_());
        Verdict verdict = pass(filter ? object() : pair_of(actual, key));
        verdict.plain_dict_hit = true;
        return verdict;
    } catch (...) {
        Caught failure;
        if (!no_match_error(failure)) failure.rethrow();
        return fail(false_());
    }
}

Verdict object_entry(Finder& finder, handle obj, const Entry& entry, bool filter) {
    Frame& f = finder.f;
    handle expected = entry.expected;
    try {
        object actual = attribute_or_missing(obj, entry.key);
        if (!actual) return fail(false_());
        bool hit;
        if (is_pattern_operator(f, expected)) {
            hit = equal(expected, str_of(actual));
        } else if (is_pattern_text(expected)) {
            object pattern = compile_or_refuse(f, expected, expected);
            hit = pattern_matches(pattern, str_of(actual));
        } else {
            hit = equal(expected, actual);
        }
        if (!hit) return fail(failed_test(filter));
        return pass(filter ? object() : pair_of(actual, entry.key));
    } catch (...) {
        Caught failure;
        if (!no_match_error(failure)) failure.rethrow();
        return fail(false_());
    }
}

// Where each key of the grouped mapping has its entry, found as a dictionary finds keys. While every key
// is an exact text, equality of texts is what a dictionary would test, so the entries are scanned and
// no dictionary is made; the first other key (whose __hash__ and __eq__ decide) makes one.
class EntryIndex {
public:
    explicit EntryIndex(std::vector<Entry>& entries) : entries_(entries) {}

    // The entry of `key`, or null.
    Entry* find(handle key) {
        if (!index_ && PyUnicode_CheckExact(key.ptr()) && entries_.size() < scan_limit) {
            for (Entry& entry : entries_)
                if (same_text(entry.key, key)) return &entry;
            return nullptr;
        }
        make_index();
        object position = dict_lookup(index_, key);
        return position ? &entries_[static_cast<size_t>(as_long(position))] : nullptr;
    }
    Entry& add(Entry entry) {
        if (index_)
            check(
                PyDict_SetItem(index_.ptr(), entry.key.ptr(), integer(static_cast<long long>(entries_.size())).ptr()));
        entries_.push_back(std::move(entry));
        return entries_.back();
    }

private:
    static constexpr size_t scan_limit = 16;

    static bool same_text(handle a, handle b) {
        if (a.ptr() == b.ptr()) return true;
        return PyUnicode_CheckExact(a.ptr()) && PyUnicode_GET_LENGTH(a.ptr()) == PyUnicode_GET_LENGTH(b.ptr()) &&
               PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    }
    void make_index() {
        if (index_) return;
        index_ = new_dict();
        for (size_t i = 0; i < entries_.size(); ++i)
            check(PyDict_SetItem(index_.ptr(), entries_[i].key.ptr(), integer(static_cast<long long>(i)).ptr()));
    }

    std::vector<Entry>& entries_;
    object index_;
};

// `head, rest = key.split("__", 1)` of a text key; false where the key does not split in two. An exact
// text is split here, so a key without "__" costs no failed unpacking; for a str subclass its own split
// runs, and the ValueError of unpacking what it gives means the same.
bool split_grouped_key(handle key, object& head, object& rest) {
    if (PyUnicode_CheckExact(key.ptr())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(key.ptr());
        Py_ssize_t at = PyUnicode_Find(key.ptr(), intern("__"), 0, length, 1);
        if (at == -2) throw_error();
        if (at < 0) return false;
        head = steal(PyUnicode_Substring(key.ptr(), 0, at));
        rest = steal(PyUnicode_Substring(key.ptr(), at + 2, length));
        return true;
    }
    try {
        auto [h, r] = unpack<2>(call_method(key, "split", handle(intern("__")), integer(1)));
        head = std::move(h);
        rest = std::move(r);
        return true;
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return false;
    }
}

// Stores `expected` under the head of a "__" key, one level further down.
void store_grouped(Frame& f, EntryIndex& index, handle head, handle rest, handle expected) {
    if (Entry* entry = index.find(head)) {
        if (entry->owned) {
            set_item(entry->expected, rest, expected);
            return;
        }
        // a plain entry's expected value belongs to the caller: it is written to as a copy
        object copied = PyDict_CheckExact(entry->expected.ptr())
                            ? steal(PyDict_Copy(entry->expected.ptr()))
                            : call(attr(NATIVE_GLOBAL(f, "copy"), "copy"), entry->expected);
        set_item(copied, rest, expected);
        entry->expected = copied;
        entry->owned = true;
        return;
    }
    object group = new_dict();
    set_item(group, rest, expected);
    index.add(Entry{borrow(head.ptr()), group, false, true});
}

void store_plain(EntryIndex& index, handle key, handle expected) {
    if (Entry* entry = index.find(key)) {
        entry->expected = borrow(expected.ptr());
        entry->plain = true;
        entry->owned = false;
        return;
    }
    index.add(Entry{borrow(key.ptr()), borrow(expected.ptr()), true, false});
}

object match_wanted(Finder& finder, handle obj, handle wanted, handle use_syntax, handle filter_) {
    if (equals_none(obj)) return false_();
    std::vector<Entry> entries = group_entries(finder, wanted, truth(use_syntax));
    return match_entries(finder, obj, entries, use_syntax, filter_);
}

}  // namespace

std::vector<Entry> group_entries(Finder& finder, handle wanted, bool use_syntax, bool* pure) {
    std::vector<Entry> entries;
    EntryIndex index(entries);
    if (pure) *pure = true;
    for_each_item(wanted, [&](handle key, handle expected) {
        if (pure && (!PyUnicode_CheckExact(key.ptr()) || PyDict_Check(expected.ptr()))) *pure = false;
        object head, rest;
        if (use_syntax && PyUnicode_Check(key.ptr()) && split_grouped_key(key, head, rest)) {
            try {
                store_grouped(finder.f, index, head, rest, expected);
                return;
            } catch (...) {
                Caught failure;
                if (!failure.matches(PyExc_Exception)) failure.rethrow();
            }
        }
        store_plain(index, key, expected);
    });
    return entries;
}

object match_grouped(Finder& finder, handle obj, handle wanted, GroupedWanted& grouped, handle filter_) {
    if (!PyDict_CheckExact(wanted.ptr())) return match_wanted(finder, obj, wanted, handle(Py_True), filter_);
    if (equals_none(obj)) return false_();
    if (!grouped.kept || internals::dict_version(wanted.ptr()) != grouped.version) {
        bool pure = false;
        std::vector<Entry> entries = group_entries(finder, wanted, true, &pure);
        grouped.kept = false;
        if (!pure) return match_entries(finder, obj, entries, handle(Py_True), filter_);
        grouped.entries = std::move(entries);
        grouped.version = internals::dict_version(wanted.ptr());
        grouped.kept = true;
    }
    return match_entries(finder, obj, grouped.entries, handle(Py_True), filter_);
}

object match_entries(Finder& finder, handle obj, std::span<const Entry> entries, handle use_syntax, handle filter_) {
    RecursionGuard guard;
    Frame& f = finder.f;
    bool filter = truth(filter_);
    bool is_dict = PyDict_Check(obj.ptr());
    object recorded;
    object recorded_key;
    bool needs_prefix = false;
    object plain_dict_key;
    for (const Entry& entry : entries) {
        plain_dict_key = object();
        if (!entry.plain && PyDict_Check(entry.expected.ptr()) && PyDict_GET_SIZE(entry.expected.ptr()) > 0) {
            object nested = group_entry(finder, obj, is_dict, entry, use_syntax, filter_);
            if (!nested) return false_();
            recorded = nested;
            recorded_key = entry.key;
            needs_prefix = true;
            continue;
        }
        Verdict verdict;
        if (is_instance_of(entry.expected, NATIVE_GLOBAL(f, "BaseLogic"))) {
            verdict = logic_entry(obj, is_dict, entry, filter);
        } else if (PyCallable_Check(entry.expected.ptr())) {
            verdict = callable_entry(obj, is_dict, entry, filter);
        } else if (is_dict) {
            verdict = dict_entry(finder, obj, entry, filter);
        } else {
            verdict = object_entry(finder, obj, entry, filter);
        }
        if (verdict.early) return verdict.early;
        if (verdict.plain_dict_hit) plain_dict_key = entry.key;
        if (verdict.record) {
            recorded = verdict.record;
            needs_prefix = false;
        }
    }
    if (filter) {
        if (plain_dict_key) return tuple_of(handle(Py_True), list_of(plain_dict_key));
        return py::bool_(true);
    }
    if (!recorded) return py::none();
    if (needs_prefix) return prefixed(recorded, recorded_key);
    return recorded;
}

object match_via(Finder& finder, handle obj, handle wanted, handle use_syntax, handle filter_) {
    if (finder.match_is_own) return match_wanted(finder, obj, wanted, use_syntax, filter_);
    return call_kw(attr(finder.self, "_match"), {obj, wanted, use_syntax}, {{"filter_", filter_}});
}

object match_one(Finder& finder, handle obj, handle key, handle expected, handle filter_) {
    if (!finder.match_is_own) {
        object wanted = new_dict();
        set_item(wanted, key, expected);
        return call_kw(attr(finder.self, "_match"), {obj, wanted},
                       {{"use__syntax", handle(Py_False)}, {"filter_", filter_}});
    }
    // the one-entry mapping is not made, but its key is hashed as making it would
    if (!PyUnicode_CheckExact(key.ptr()) && !PyLong_CheckExact(key.ptr())) check_value(PyObject_Hash(key.ptr()));
    if (equals_none(obj)) return false_();
    const Entry entry{borrow(key.ptr()), borrow(expected.ptr()), true, false};
    return match_entries(finder, obj, std::span<const Entry>(&entry, 1), handle(Py_False), filter_);
}

object find_match(Frame& f, handle self, handle obj, handle wanted, handle use_syntax, handle filter_) {
    Finder finder(f, self);
    return match_wanted(finder, obj, wanted, use_syntax, filter_);
}

object formalize_loopable(Frame& f, handle obj) {
    if (PyUnicode_Check(obj.ptr()))
        raise_format(PyExc_TypeError, "object '%U' is a string which is not allowed.", format_of(obj).ptr());
    if (PyDict_Check(obj.ptr())) return call_method(obj, "values");
    if (is_iterable(f, obj) && !is_instance(obj, NATIVE_GLOBAL(f, "TopologyObject"))) return borrow(obj.ptr());
    raise_format(PyExc_TypeError, "object '%U' of type %U is not allowed.", format_of(obj).ptr(),
                 format_of(type_of(obj)).ptr());
}

object find_formalize_loopable(Frame& f, handle, handle obj) { return formalize_loopable(f, obj); }

}  // namespace objects
