// recursive_location_update and recursive_location_setdefault: deep merges of a second document into
// a first one that move the second document's records into the first tree along with the data.
#include "locations.hpp"

namespace locations {

namespace {

// `mapping.get(key, default)`; a missing default stands for a new empty dict, made only when needed.
object get_or(handle mapping, handle key, handle default_ = handle()) {
    if (plain_dict(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return default_ ? borrow(default_.ptr()) : steal(PyDict_New());
    }
    object fallback = default_ ? borrow(default_.ptr()) : steal(PyDict_New());
    return call_method(mapping, "get", key, fallback);
}

// `mapping[key]`.
object item_of(handle mapping, handle key) {
    if (plain_dict(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// `mapping.setdefault(key, {})`.
object setdefault_dict(handle mapping, handle key) {
    object empty = steal(PyDict_New());
    if (plain_dict(mapping)) return borrow(PyDict_SetDefault(mapping.ptr(), key.ptr(), empty.ptr()));
    return call_method(mapping, "setdefault", key, empty);
}

// `max(mapping.keys())`, comparing as the built-in max does.
object largest_key(handle mapping) {
    object largest;
    for_each(plain_dict(mapping) ? borrow(mapping.ptr()) : call_method(mapping, "keys"), [&](handle key) {
        if (!largest || check(PyObject_RichCompareBool(key.ptr(), largest.ptr(), Py_GT))) largest = borrow(key.ptr());
    });
    if (!largest) raise(PyExc_ValueError, "max() arg is an empty sequence");
    return largest;
}

// isinstance(obj, MutableMapping) and isinstance(obj, MutableSequence), with the module-level names
// looked up once per merge level. While those names are still the standard ABCs, the answers for the
// exact built-in types that fill loaded documents come from a table that is rebuilt whenever the
// ABC cache token shows a new registration; the token is read once per level, so a registration made
// by user code in the middle of one level's loop takes effect from the next level on.
class AbcTests {
public:
    explicit AbcTests(Frame& f) : abcs_{f.global("MutableMapping"), f.global("MutableSequence")} {
        Standard& standard = standard_abcs();
        for (int i = 0; i < 2; ++i) fast_[i] = abcs_[i].ptr() == standard.abcs[i].ptr();
        if (fast_[0] || fast_[1]) standard.refresh();
    }
    bool is_mapping(handle obj) const { return test(obj, 0); }
    bool is_sequence(handle obj) const { return test(obj, 1); }

private:
    static constexpr int builtin_count = 9;

    struct Standard {
        object abcs[2];
        object cache_token;
        long long token = -1;
        bool answers[builtin_count][2] = {};

        void refresh() {
            long long now = PyLong_AsLongLong(call(cache_token).ptr());
            if (now == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (now == token) return;
            object samples[builtin_count] = {steal(PyDict_New()),     steal(PyList_New(0)),   steal(PyTuple_New(0)),
                                             borrow(intern("")),        steal(PyBytes_FromString("")),
                                             py::int_(0),               py::float_(0.0),         py::bool_(false),
                                             py::none()};
            for (int t = 0; t < builtin_count; ++t)
                for (int a = 0; a < 2; ++a) answers[t][a] = is_instance(samples[t], abcs[a]);
            token = now;
        }
    };

    static Standard& standard_abcs() {
        static Standard* loaded = [] {
            auto* standard = new Standard();
            object module = steal(PyImport_ImportModule("collections.abc"));
            standard->abcs[0] = attr(module, "MutableMapping");
            standard->abcs[1] = attr(module, "MutableSequence");
            standard->cache_token = attr(steal(PyImport_ImportModule("abc")), "get_cache_token");
            return standard;
        }();
        return *loaded;
    }

    static int builtin_index(PyTypeObject* type) {
        PyTypeObject* const builtins[builtin_count] = {&PyDict_Type,  &PyList_Type,  &PyTuple_Type,
                                                       &PyUnicode_Type, &PyBytes_Type, &PyLong_Type,
                                                       &PyFloat_Type, &PyBool_Type,  Py_TYPE(Py_None)};
        for (int i = 0; i < builtin_count; ++i)
            if (builtins[i] == type) return i;
        return -1;
    }

    bool test(handle obj, int which) const {
        if (fast_[which]) {
            int index = builtin_index(Py_TYPE(obj.ptr()));
            if (index >= 0) return standard_abcs().answers[index][which];
        }
        return is_instance(obj, abcs_[which]);
    }

    object abcs_[2];
    bool fast_[2] = {false, false};
};

// The extend path of a list-extending key: the extending list's records follow the largest position
// already recorded for the list, and the list itself grows in place.
void extend_recorded_list(handle data, handle locations, handle new_locations, handle k, handle v, handle name) {
    object max_idx = py::int_(-1);
    object entry = setdefault_dict(locations, name);
    if (truth(entry)) max_idx = largest_key(entry);
    object one = py::int_(1);
    each_item(get_or(new_locations, k), [&](handle i, handle record) {
        object shifted = steal(PyNumber_Add(max_idx.ptr(), i.ptr()));
        store(entry, steal(PyNumber_Add(shifted.ptr(), one.ptr())), record);
    });
    call_method(item_of(data, name), "extend", v);
}

object update_in(Frame& f, handle data, handle new_data, handle locations, handle new_locations, handle list_extend);

void update_nested(Frame& f, handle target, handle v, handle locations, handle new_locations, handle k,
                   handle list_extend) {
    object first = get_or(locations, k);
    object second = get_or(new_locations, k);
    object self = f.global("recursive_location_update");
    if (f.is_self(self)) {
        update_in(f, target, v, first, second, list_extend);
    } else {
        call_kw(self, {target, v, first, second}, {{"list_extend", list_extend}});
    }
}

object update_in(Frame& f, handle data, handle new_data, handle locations, handle new_locations, handle list_extend) {
    AbcTests abc(f);
    if (!abc.is_mapping(data) || !abc.is_mapping(new_data)) {
        raise(PyExc_TypeError, "recursive_location_update takes two dicts");
    }
    RecursionGuard guard;
    each_item(new_data, [&](handle k, handle v) {
        if (abc.is_mapping(v) && abc.is_mapping(get_or(data, k, Py_None))) {
            return update_nested(f, item_of(data, k), v, locations, new_locations, k, list_extend);
        }
        object key = borrow(k.ptr());
        if (abc.is_sequence(v) && truth(list_extend)) {
            object match = call_method(f.global("LIST_EXTEND_PATTERN"), "match", k);
            if (truth(match)) {
                object name = call_method(match, "group", py::int_(1));
                if (abc.is_sequence(get_or(data, name, Py_None))) {
                    return extend_recorded_list(data, locations, new_locations, k, v, name);
                }
                object record = call_method(new_locations, "pop", k);
                store(new_locations, name, record);
                key = name;
            }
        }
        store(locations, key, get_or(new_locations, key));
        store(data, key, v);
    });
    return borrow(data.ptr());
}

object setdefault_in(Frame& f, handle data, handle new_data, handle locations, handle new_locations) {
    AbcTests abc(f);
    if (!abc.is_mapping(data) || !abc.is_mapping(new_data)) {
        raise(PyExc_TypeError, "recursive_location_setdefault takes two dicts");
    }
    RecursionGuard guard;
    each_item(new_data, [&](handle k, handle v) {
        if (abc.is_mapping(v) && abc.is_mapping(get_or(data, k, Py_None))) {
            object target = item_of(data, k);
            object first = item_of(locations, k);
            object second = item_of(new_locations, k);
            object self = f.global("recursive_location_setdefault");
            if (f.is_self(self)) {
                setdefault_in(f, target, v, first, second);
            } else {
                call(self, target, v, first, second);
            }
            return;
        }
        if (contains(data, k)) return;
        store(locations, k, item_of(new_locations, k));
        store(data, k, v);
    });
    return borrow(data.ptr());
}

}  // namespace

object recursive_location_update(Frame& f, handle data, handle new_data, handle locations, handle new_locations,
                                 handle list_extend) {
    return update_in(f, data, new_data, locations, new_locations, list_extend);
}

object recursive_location_setdefault(Frame& f, handle data, handle new_data, handle locations,
                                     handle new_locations) {
    return setdefault_in(f, data, new_data, locations, new_locations);
}

}  // namespace locations
