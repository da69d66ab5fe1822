// recursive_location_update and recursive_location_setdefault: deep merges of a second document into
// a first one that move the second document's records into the first tree along with the data.
#include "list_extend.hpp"
#include "locations.hpp"

namespace locations {

namespace {

// `max(mapping.keys())`, comparing as the built-in max does.
object largest_key(handle mapping) {
    object largest;
    // an exact dict iterates its keys; anything else is asked for its keys()
    for_each(PyDict_CheckExact(mapping.ptr()) ? borrow(mapping.ptr()) : call_method(mapping, "keys"), [&](handle key) {
        if (!largest || check(PyObject_RichCompareBool(key.ptr(), largest.ptr(), Py_GT))) largest = borrow(key.ptr());
    });
    if (!largest) raise(PyExc_ValueError, "max() arg is an empty sequence");
    return largest;
}

bool is_mapping(Frame& f, handle obj) { return isinstance_abc(obj, NATIVE_GLOBAL(f, "MutableMapping")); }
bool is_sequence(Frame& f, handle obj) { return isinstance_abc(obj, NATIVE_GLOBAL(f, "MutableSequence")); }

// The extend path of a list-extending key: the extending list's records follow the largest position
// already recorded for the list, and the list itself grows in place.
void extend_recorded_list(handle data, handle locations, handle new_locations, handle k, handle v, handle name) {
    object max_idx = integer(-1);
    object entry = mapping_setdefault_new_dict(locations, name);
    if (truth(entry)) max_idx = largest_key(entry);
    object one = integer(1);
    for_each_item(mapping_get_or_new_dict(new_locations, k), [&](handle i, handle record) {
        object shifted = steal(PyNumber_Add(max_idx.ptr(), i.ptr()));
        set_item(entry, steal(PyNumber_Add(shifted.ptr(), one.ptr())), record);
    });
    call_method(get_item(data, name), "extend", v);
}

void update_nested(Frame& f, handle target, handle v, handle locations, handle new_locations, handle k,
                   handle list_extend) {
    object first = mapping_get_or_new_dict(locations, k);
    object second = mapping_get_or_new_dict(new_locations, k);
    object self = NATIVE_GLOBAL(f, "recursive_location_update");
    if (f.is_self(self)) {
        recursive_location_update(f, target, v, first, second, list_extend);
    } else {
        call_kw(self, {target, v, first, second}, {{"list_extend", list_extend}});
    }
}

void setdefault_nested(Frame& f, handle target, handle v, handle locations, handle new_locations, handle k) {
    object first = get_item(locations, k);
    object second = get_item(new_locations, k);
    object self = NATIVE_GLOBAL(f, "recursive_location_setdefault");
    if (f.is_self(self)) {
        recursive_location_setdefault(f, target, v, first, second);
    } else {
        call(self, target, v, first, second);
    }
}

}  // namespace

object recursive_location_update(Frame& f, handle data, handle new_data, handle locations, handle new_locations,
                                 handle list_extend) {
    AbcSnapshot abc_state;
    if (!is_mapping(f, data) || !is_mapping(f, new_data)) {
        raise(PyExc_TypeError, "recursive_location_update takes two dicts");
    }
    RecursionGuard guard;
    for_each_item(new_data, [&](handle k, handle v) {
        if (is_mapping(f, v) && is_mapping(f, mapping_get(data, k, Py_None))) {
            return update_nested(f, get_item(data, k), v, locations, new_locations, k, list_extend);
        }
        object key = borrow(k.ptr());
        object name;
        if (is_sequence(f, v) && truth(list_extend) &&
            shared::match_list_extend_key(f.state<State>().list_extend_pattern, NATIVE_GLOBAL(f, "LIST_EXTEND_PATTERN"),
                                          k, name)) {
            if (is_sequence(f, mapping_get(data, name, Py_None))) {
                return extend_recorded_list(data, locations, new_locations, k, v, name);
            }
            object record = call_method(new_locations, "pop", k);
            set_item(new_locations, name, record);
            key = name;
        }
        set_item(locations, key, mapping_get_or_new_dict(new_locations, key));
        set_item(data, key, v);
    });
    return borrow(data.ptr());
}

object recursive_location_setdefault(Frame& f, handle data, handle new_data, handle locations, handle new_locations) {
    AbcSnapshot abc_state;
    if (!is_mapping(f, data) || !is_mapping(f, new_data)) {
        raise(PyExc_TypeError, "recursive_location_setdefault takes two dicts");
    }
    RecursionGuard guard;
    for_each_item(new_data, [&](handle k, handle v) {
        if (is_mapping(f, v) && is_mapping(f, mapping_get(data, k, Py_None))) {
            return setdefault_nested(f, get_item(data, k), v, locations, new_locations, k);
        }
        if (contains(data, k)) return;
        set_item(locations, k, get_item(new_locations, k));
        set_item(data, k, v);
    });
    return borrow(data.ptr());
}

}  // namespace locations
