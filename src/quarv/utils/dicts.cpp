// quarv.utils.dicts: merges, casts and key-path setting of nested dictionaries, the duplicate-free
// merge, key and value length limits, and the text-to-dictionary loaders.
#include "list_extend.hpp"
#include "native/collections.hpp"

namespace {
using namespace native;

// LIST_EXTEND_PATTERN as this module's body compiled it, when list-extending keys may be matched
// natively while the module-level name still holds it.
struct State {
    object list_extend_pattern;
    template <typename Visit>
    void visit(Visit& v) {
        v(list_extend_pattern);
    }
};

namespace doc {
const char* recursive_update = R"(recursive_update
Recursively updates on nested dictionary a with dictionary b.

Every mapping of b is merged into the mapping that a holds under the same key (a new mapping of
b's type when a holds none); every other value of b replaces a's value. With list_extend true, a
key "%EXTEND_LIST{name}" whose value is a list extends the list that a holds under name.

Returns a, changed in place, or b itself when a or b is not a mapping.)";

const char* recursive_setdefault = R"(recursive_setdefault
Recursively calls setdefault on nested dictionary a with dictionary b.

Only what a lacks is added; values already in a are kept. Returns a, changed in place.)";

const char* recursive_cast = R"(recursive_cast
Recursively cast a nested dictionary to the provided class type

Returns type_(d), with every mapping reached through mappings converted the same way.)";

const char* set_dict_by_key_path = R"(set_dict_by_key_path
Utility to set an element in a nested dictionary by indexing it with a list of keys, creating any keys that don't exist.

Example
-------
>>> d = {}
>>> set_dict_by_key_path(d, ['a', 'b', 'c'], 1)
1
>>> d
{'a': {'b': {'c': 1}}}

Arguments
---------
d: the nested dictionary to set the element in
keys: a list of keys
val: the value to set
append_list: append val to a list found at the key, inserting a list when there is none;
    raises a ValueError when the element found is not a list

Returns
-------
the value which was set, or None if no value was set)";

const char* create_extended_dict = R"(create_extended_dict
Merge source_dict into a copy of dest_dict without overwriting anything.

A key already present with a different value is stored again under a generated name (the key,
"_" and a number) when rename_keys is true, and dropped otherwise. Returns a new dict.)";

const char* generate_unique_key_name = R"(generate_unique_key_name
Find the first name "<key>_<n>" (n = 1, 2, ...) that dictionary does not hold.

Returns None when a name on the way already holds an equal value and allow_match is false.)";

const char* enforce_max_key_value_length = R"(enforce_max_key_value_length
Check every key and value of a nested dictionary, or of a list of dictionaries, against the
maximum key and value lengths; raise an Exception for the first one that is too long.)";

const char* load_dict_from_json_string = R"(load_dict_from_json_string
Load a dictionary from a JSON object text, optionally URL-safe base64 encoded.)";

const char* load_dict_from_kv_string = R"(load_dict_from_kv_string
Load a dictionary from "key=value" words separated by white space (shell quoting applies),
optionally URL-safe base64 encoded. Keys and values are texts.)";

const char* load_dict_from_list = R"(load_dict_from_list
Load a dictionary from the text of a list literal whose items are JSON object texts, merged
without overwriting (see create_extended_dict).)";
}  // namespace doc

// ----- recursive_update(a, b, *, list_extend=False) ------------------------------------------

object recursive_update(Frame& f, handle a, handle b, handle list_extend);

object call_recursive_update(Frame& f, handle a, handle b, handle list_extend) {
    object self = NATIVE_GLOBAL(f, "recursive_update");
    if (f.is_self(self)) return recursive_update(f, a, b, list_extend);
    return call_kw(self, {a, b}, {{"list_extend", list_extend}});
}

// An empty mapping of the value's own type, built by calling that type without arguments.
object empty_like(handle value) { return call(type_of(value)); }

// Whether k is a list-extending key ("%EXTEND_LIST{name}"): the match of LIST_EXTEND_PATTERN,
// whose first group is stored in `name`.
bool is_list_extending_key(Frame& f, handle k, object& name) {
    return PyUnicode_Check(k.ptr()) && shared::match_list_extend_key(f.state<State>().list_extend_pattern,
                                                                     NATIVE_GLOBAL(f, "LIST_EXTEND_PATTERN"), k, name);
}

void extend_listed(Frame& f, handle a, handle key, handle v) {
    object existing = mapping_setdefault(a, key, new_list());
    if (isinstance_abc(existing, NATIVE_GLOBAL(f, "MutableSequence"))) {
        call_method(get_item(a, key), "extend", v);
    } else {
        set_item(a, key, v);
    }
}

object recursive_update(Frame& f, handle a, handle b, handle list_extend) {
    object Mapping = NATIVE_GLOBAL(f, "Mapping");
    if (!isinstance_abc(a, Mapping)) return borrow(b.ptr());
    if (!isinstance_abc(b, Mapping)) return borrow(b.ptr());
    RecursionGuard guard;
    AbcSnapshot abc_state;
    for_each_item(b, [&](handle k, handle v) {
        if (isinstance_abc(v, NATIVE_GLOBAL(f, "Mapping"))) {
            // for an exact dict v, building an empty dict that a's own get would not return is not
            // observable, and is skipped
            object target =
                PyDict_CheckExact(v.ptr()) ? mapping_get_or_new_dict(a, k) : mapping_get(a, k, empty_like(v));
            set_item(a, k, call_recursive_update(f, target, v, list_extend));
            return;
        }
        if (isinstance_abc(v, NATIVE_GLOBAL(f, "MutableSequence")) && truth(list_extend)) {
            object name;
            if (is_list_extending_key(f, k, name)) {
                extend_listed(f, a, name, v);
                return;
            }
        }
        set_item(a, k, v);
    });
    return borrow(a.ptr());
}

// ----- recursive_setdefault(a, b) --------------------------------------------------------------

object recursive_setdefault(Frame& f, handle a, handle b) {
    RecursionGuard guard;
    AbcSnapshot abc_state;
    for_each_item(b, [&](handle k, handle v) {
        if (isinstance_abc(v, NATIVE_GLOBAL(f, "Mapping")) &&
            isinstance_abc(mapping_get_or_new_dict(a, k), NATIVE_GLOBAL(f, "Mapping"))) {
            object target = mapping_get_or_new_dict(a, k);
            object self = NATIVE_GLOBAL(f, "recursive_setdefault");
            object merged = f.is_self(self) ? recursive_setdefault(f, target, v) : call(self, target, v);
            set_item(a, k, merged);
        } else {
            mapping_setdefault(a, k, v);
        }
    });
    return borrow(a.ptr());
}

// ----- recursive_cast(d, type_) ----------------------------------------------------------------

object recursive_cast(Frame& f, handle d, handle type_) {
    RecursionGuard guard;
    AbcSnapshot abc_state;
    object converted = call(type_, d);
    for_each_item(converted, [&](handle k, handle v) {
        if (!isinstance_abc(v, NATIVE_GLOBAL(f, "Mapping"))) return;
        object value = mapping_get_or_new_dict(converted, k);
        object self = NATIVE_GLOBAL(f, "recursive_cast");
        set_item(converted, k, f.is_self(self) ? recursive_cast(f, value, type_) : call(self, value, type_));
    });
    return converted;
}

// ----- set_dict_by_key_path(d, keys, val, *, append_list=False) -------------------------------

// `keys[-1]`, through the object's own subscription (a sequence protocol call would turn -1 into
// len(keys) - 1 before a user's __getitem__ sees it).
object last_key(handle keys) {
    object minus_one = integer(-1);
    return steal(PyObject_GetItem(keys.ptr(), minus_one.ptr()));
}

object set_dict_by_key_path(Frame&, handle d, handle keys, handle val, handle append_list) {
    if (!truth(keys)) return py::none();
    object slice = steal(PySlice_New(nullptr, integer(-1).ptr(), nullptr));
    object leading = steal(PyObject_GetItem(keys.ptr(), slice.ptr()));
    object level = borrow(d.ptr());
    for_each(leading, [&](handle key) { level = call_method(level, "setdefault", key, new_dict()); });
    if (truth(append_list)) {
        object existing = call_method(level, "get", last_key(keys), py::none());
        if (existing.is_none()) {
            check(PyObject_SetItem(level.ptr(), last_key(keys).ptr(), list_of(val).ptr()));
        } else if (PyList_Check(existing.ptr())) {
            call_method(existing, "append", val);
        } else {
            object message = steal(PyUnicode_FromFormat("expected list for element given by key %U. Got %U",
                                                        format_of(keys).ptr(), format_of(type_of(existing)).ptr()));
            raise(call(handle(PyExc_ValueError), message));
        }
    } else {
        check(PyObject_SetItem(level.ptr(), last_key(keys).ptr(), val.ptr()));
    }
    return borrow(val.ptr());
}

// ----- create_extended_dict(source_dict, dest_dict={}, rename_keys=True) ---------------------

object create_extended_dict(Frame& f, handle source_dict, handle dest_dict, handle rename_keys) {
    object unique_dict = call(handle(reinterpret_cast<PyObject*>(&PyDict_Type)), dest_dict);
    for_each_item(source_dict, [&](handle key, handle value) {
        if (contains(unique_dict, key) && not_equal(get_item(unique_dict, key), value)) {
            if (!truth(rename_keys)) return;
            object alt_key = call(f.global("generate_unique_key_name"), key, value, unique_dict);
            if (!alt_key.is_none()) set_item(unique_dict, alt_key, value);
        } else {
            set_item(unique_dict, key, value);
        }
    });
    return unique_dict;
}

// ----- generate_unique_key_name(key, value, dictionary, allow_match=False) -> 'str' ----------

object generate_unique_key_name(Frame& f, handle key, handle value, handle dictionary, handle allow_match) {
    // the bound of range(1, sys.maxsize), taken as range takes it
    object stop = steal(PyNumber_Index(attr(f.global("sys"), "maxsize").ptr()));
    object key_num = integer(1);
    object one = integer(1);
    while (truth(steal(PyObject_RichCompare(key_num.ptr(), stop.ptr(), Py_LT)))) {
        object alt_key = steal(PyUnicode_FromFormat("%U_%U", str_of(key).ptr(), str_of(key_num).ptr()));
        // `==` itself, not the identity shortcut of a container comparison: a stored value that is the
        // very object given still decides through its own __eq__ (NaN is not equal to itself)
        if (contains(dictionary, alt_key) && equal(get_item(dictionary, alt_key), value) && !truth(allow_match)) {
            return py::none();
        }
        if (!contains(dictionary, alt_key)) {
            object message =
                steal(PyUnicode_FromFormat("Renaming repeated key from %U to %U", str_of(key).ptr(), alt_key.ptr()));
            call_method(f.global("logger"), "debug", message);
            return alt_key;
        }
        key_num = steal(PyNumber_Add(key_num.ptr(), one.ptr()));
    }
    return py::none();
}

// ----- enforce_max_key_value_length(dict_to_check, max_key_length=..., max_value_length=...) --

struct LengthLimits {
    Frame& frame;
    handle max_key_length;
    handle max_value_length;

    enum class Checked { key, value };

    void check_length(handle item, Checked checked) const {
        object item_text = str_of(item);
        Py_ssize_t length = check_value(PyUnicode_GetLength(item_text.ptr()));
        bool is_key = checked == Checked::key;
        const char* type_ = is_key ? "key" : "value";
        handle max_length = is_key ? max_key_length : max_value_length;
        object length_obj = steal(PyLong_FromSsize_t(length));
        if (!truth(steal(PyObject_RichCompare(length_obj.ptr(), max_length.ptr(), Py_GT)))) return;
        object message = steal(PyUnicode_FromFormat(
            "\nThe following %s has a length that is too long.\n%s:\n %U\nMaximum length for %ss is %U characters "
            "long (yours is %zd)",
            type_, is_key ? "Key" : "Value", format_of(item).ptr(), type_, format_of(max_length).ptr(), length));
        raise(call(handle(PyExc_Exception), message));
    }

    void check_dict(handle dict_) const {
        for_each_item(dict_, [&](handle key, handle value) {
            check_length(key, Checked::key);
            if (isinstance_abc(value, NATIVE_GLOBAL(frame, "Mapping"))) {
                call_kw(NATIVE_GLOBAL(frame, "enforce_max_key_value_length"), {value},
                        {{"max_key_length", max_key_length}, {"max_value_length", max_value_length}});
            } else if (isinstance_abc(value, NATIVE_GLOBAL(frame, "MutableSequence"))) {
                for_each(value, [&](handle element) { check_length(element, Checked::value); });
            } else {
                check_length(value, Checked::value);
            }
        });
    }
};

object enforce_max_key_value_length(Frame& f, handle dict_to_check, handle max_key_length, handle max_value_length) {
    RecursionGuard guard;
    AbcSnapshot abc_state;
    LengthLimits limits{f, max_key_length, max_value_length};
    if (isinstance_abc(dict_to_check, NATIVE_GLOBAL(f, "Mapping"))) {
        limits.check_dict(dict_to_check);
    } else if (isinstance_abc(dict_to_check, NATIVE_GLOBAL(f, "MutableSequence"))) {
        for_each(dict_to_check, [&](handle element) { limits.check_dict(element); });
    } else {
        object message =
            steal(PyUnicode_FromFormat("Not a dictionary or list, got %U, skipping length enforcement check",
                                       str_of(type_of(dict_to_check)).ptr()));
        call_method(f.global("logger"), "debug", message);
    }
    return py::none();
}

// ----- the text loaders ---------------------------------------------------------------------------

object load_dict_from_json_string(Frame& f, handle loadable) {
    object decoded = call(f.global("decode_cli_string"), loadable);
    object loaded_json = call_method(f.global("json"), "loads", decoded);
    if (!PyDict_Check(loaded_json.ptr())) {
        object message = steal(PyUnicode_FromFormat(
            "The meta JSON data did not load into a dictionary. \nExpected <class 'dict'>, received %U.\n\nLoaded "
            "JSON Data:\n%U",
            str_of(type_of(loaded_json)).ptr(), str_of(loaded_json).ptr()));
        raise(call(handle(PyExc_ValueError), message));
    }
    return loaded_json;
}

object load_dict_from_kv_string(Frame& f, handle loadable) {
    object kv_dict = new_dict();
    object decoded = call(f.global("decode_cli_string"), loadable);
    object words = call_method(f.global("shlex"), "split", decoded);
    for_each(words, [&](handle kv) {
        object pieces = call_kw(attr(kv, "split"), {text("=")}, {{"maxsplit", integer(1)}});
        auto [k, v] = unpack2(pieces);
        check(PyDict_SetItem(kv_dict.ptr(), k.ptr(), v.ptr()));
    });
    return kv_dict;
}

object load_dict_from_list(Frame& f, handle loadable, handle unique_keys) {
    object loaded_json = new_dict();
    object loadable_list = call(f.global("literal_eval"), loadable);
    for_each(loadable_list, [&](handle loadable_str) {
        object source = call(f.global("load_dict_from_json_string"), loadable_str);
        loaded_json = call_kw(f.global("create_extended_dict"), {source, loaded_json}, {{"rename_keys", unique_keys}});
    });
    return loaded_json;
}

// ----- the module body -------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("re");
    m.import_("sys");
    m.import_("json");
    m.import_("shlex");
    m.import_("logging");
    m.from_("ast").import_("literal_eval");
    m.from_("collections.abc").import_("Mapping", "MutableSequence");
    m.from_("quarv.utils.strings").import_("decode_cli_string");
    m.from_("quarv.configuration").import_as("configuration", "cfg");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    object pattern = call_method(m.get("re"), "compile", text(shared::list_extend_source));
    if (shared::is_list_extend_pattern(pattern)) m.state<State>().list_extend_pattern = pattern;
    m.set("LIST_EXTEND_PATTERN", pattern);
    m.set("MAX_KEY_LENGTH", call_method(m.get("cfg"), "get", text("limits.dicts.max_key_length"), integer(40)));
    m.set("MAX_VALUE_LENGTH", call_method(m.get("cfg"), "get", text("limits.dicts.max_value_length"), integer(512)));

    m.def("recursive_update", "(a, b, *, list_extend=False)", &recursive_update, doc::recursive_update);
    m.def("recursive_setdefault", "(a, b)", &recursive_setdefault, doc::recursive_setdefault);
    m.def("recursive_cast", "(d, type_)", &recursive_cast, doc::recursive_cast);
    m.def("set_dict_by_key_path", "(d, keys, val, *, append_list=False)", &set_dict_by_key_path,
          doc::set_dict_by_key_path);
    m.def("create_extended_dict", "(source_dict, dest_dict={}, rename_keys=True)", &create_extended_dict,
          doc::create_extended_dict);
    m.def("generate_unique_key_name", "(key, value, dictionary, allow_match=False) -> 'str'", &generate_unique_key_name,
          doc::generate_unique_key_name);
    m.def("enforce_max_key_value_length",
          "(dict_to_check, max_key_length=MAX_KEY_LENGTH, max_value_length=MAX_VALUE_LENGTH)",
          &enforce_max_key_value_length, doc::enforce_max_key_value_length);
    m.def("load_dict_from_json_string", "(loadable) -> 'dict'", &load_dict_from_json_string,
          doc::load_dict_from_json_string);
    m.def("load_dict_from_kv_string", "(loadable) -> 'dict'", &load_dict_from_kv_string, doc::load_dict_from_kv_string);
    m.def("load_dict_from_list", "(loadable, unique_keys=True) -> 'dict'", &load_dict_from_list,
          doc::load_dict_from_list);
}
}  // namespace

QUARV_MODULE(dicts, "quarv.utils.dicts", body, State)
