// Defaults and fallbacks: Default.validate, their collection from a schema and their application
// to data through the framework's ListDict.
#include "veltrane.hpp"

namespace veltrane {

namespace {

// `[p for p, _ in pairs]`
object key_paths(handle pairs) {
    object paths = new_list();
    for_each(pairs, [&](handle pair) { append(paths, unpack<2>(pair)[0]); });
    return paths;
}

// Adds `value` at `path` and at every key path it stands for that the data lacks; the data's own
// keys are compared as keys, never read as patterns.
void fill_in(Frame& f, KnownPaths& known, handle data, handle path, handle value) {
    object path_cls = NATIVE_GLOBAL(f, "Path");
    bool untouched = path_class_untouched(f, path_cls);
    bool dynamic;
    object path_obj;
    if (untouched) {
        dynamic = elements_dynamic(f, path);
    } else {
        path_obj = call(path_cls, path);
        dynamic = truth(call_method(path_obj, "is_dynamic"));
    }
    if (dynamic) {
        object missing = untouched ? missing_from(f, steal(PySequence_Tuple(path.ptr())), known, true, true)
                                   : call_method(path_obj, "missing_from", known.list());
        for_each(missing, [&](handle concrete) { call_method(data, "append", tuple_of(concrete, value)); });
    } else if (!known.holds(path)) {
        call_method(data, "append", tuple_of(path, value));
    }
}

bool is_dict_schema(Frame& f, handle self) { return is_subclass(attr(self, "schemaType"), NATIVE_GLOBAL(f, "dict")); }

void check_own_key(Frame& f, handle fallback_obj, handle path) {
    object target = attr(fallback_obj, "fallback");
    if (equal(target, path)) {
        raise(call(NATIVE_GLOBAL(f, "SchemaFallbackLoopError"), target, path));
    }
}

// One pass over the collected fallbacks; false when no fallback names another fallback's key.
bool resolve_pass(Frame& f, handle fallbacks) {
    object paths = new_list();
    object objs = new_list();
    object targets = new_list();
    for_each(fallbacks, [&](handle pair) {
        auto [path, obj] = unpack<2>(pair);
        append(paths, path);
        append(objs, obj);
        append(targets, attr(obj, "fallback"));
    });
    object common = steal(PyNumber_And(steal(PySet_New(paths.ptr())).ptr(), steal(PySet_New(targets.ptr())).ptr()));
    if (!truth(common)) return false;
    for_each(objs, [&](handle obj) {
        object target = attr(obj, "fallback");
        if (!contains(paths, target)) return;
        object index = call_method(paths, "index", target);
        object far = attr(get_item(objs, index), "fallback");
        if (equal(target, far)) {
            object own_path = get_item(paths, call_method(objs, "index", obj));
            raise(call(NATIVE_GLOBAL(f, "SchemaFallbackLoopError"), target, own_path));
        }
        set_attr(obj, "fallback", far);
    });
    return true;
}

// The target value of a fallback, found among the data's leaves, or SchemaFallbackError.
object fallback_value(Frame& f, KnownPaths& known, handle data, handle fallback_obj) {
    object target = attr(fallback_obj, "fallback");
    Py_ssize_t found = known.index(target);
    object index;
    if (found >= 0) {
        index = integer(found);
    } else {
        try {
            index = call_method(known.list(), "index", target);
        } catch (...) {
            Caught error;
            if (!error.matches(PyExc_ValueError)) error.rethrow();
            Handling handling(error.value());
            raise(call(NATIVE_GLOBAL(f, "SchemaFallbackError"), target, call_method(data, "reconstruct")));
        }
    }
    object pair = get_item(data, index);
    return get_item(pair, integer(1));
}

// `flat = ListDict(data)`, then `fill(known, flat, path, item)` for every pair of ListDict(source),
// `known` being the key paths of flat; the data rebuilt from flat.
template <typename Fill>
object fill_each(Frame& f, handle source, handle data, Fill&& fill) {
    object list_dict = NATIVE_GLOBAL(f, "ListDict");
    object pairs = call(list_dict, source);
    object flat = call(list_dict, data);
    KnownPaths known(f, key_paths(flat));
    for_each(pairs, [&](handle pair) {
        auto [path, item] = unpack<2>(pair);
        fill(known, flat, path, item);
    });
    return call_method(flat, "reconstruct");
}

}  // namespace

namespace {

// Whether `super(cls, obj).validate` finds `expected`: the first `validate` in the namespace of a
// class after `cls` in the MRO of obj's type. The MRO and each namespace are held while they are
// read: a key's equality could run code that changes the class's bases.
bool validate_after_is(handle obj, handle cls, handle expected) {
    PyObject* raw_mro = Py_TYPE(obj.ptr())->tp_mro;
    if (!raw_mro || !PyTuple_Check(raw_mro)) return false;
    Snapshot mro(raw_mro);
    Py_ssize_t i = 0;
    while (i < mro.size() && mro[i].ptr() != cls.ptr()) ++i;
    for (++i; i < mro.size(); ++i) {
        if (!PyType_Check(mro[i].ptr())) continue;
        PyObject* raw_dict = reinterpret_cast<PyTypeObject*>(mro[i].ptr())->tp_dict;
        if (!raw_dict) continue;
        object type_dict = borrow(raw_dict);
        // checked: no call into Python between taking the entry and comparing its address
        PyObject* found = PyDict_GetItemWithError(type_dict.ptr(), intern("validate"));
        if (found) return found == expected.ptr();
        if (PyErr_Occurred()) throw_error();
    }
    return false;
}

}  // namespace

Result default_walk(Walk& walk, handle self, handle data, handle top) {
    if (data.is_none()) return attr(self, "default");
    const OwnObjects& own = walk.f.state<State>().own;
    if (validate_after_is(self, own.Default, own.schema_validate)) return schema_walk(walk, self, data, top);
    Frame frame = frame_of(own.default_validate);
    object method = attr(frame.super_(self), "validate");
    return call_validate(walk.f, method, data, top, walk.locations, walk.advanced);
}

Result default_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    WalkMemo memo;
    Walk walk{f, locations, advanced, memo};
    return default_walk(walk, self, data, top);
}

object collect_defaults(Frame& f, handle self) {
    if (is_dict_schema(f, self)) {
        object list_dict = NATIVE_GLOBAL(f, "ListDict");
        object defaults = call(list_dict);
        for_each(call(list_dict, attr(self, "schema")), [&](handle pair) {
            auto [path, obj] = unpack<2>(pair);
            if (is_instance(obj, NATIVE_GLOBAL(f, "Default"))) {
                call_method(defaults, "append", tuple_of(path, call_method(obj, "validate", handle(Py_None))));
            }
        });
        return call_method(defaults, "reconstruct");
    }
    if (is_subclass(attr(self, "schemaType"), NATIVE_GLOBAL(f, "Default"))) {
        return call_method(attr(self, "schema"), "validate", handle(Py_None));
    }
    return py::none();
}

object collect_fallbacks(Frame& f, handle self) {
    if (is_dict_schema(f, self)) {
        object list_dict = NATIVE_GLOBAL(f, "ListDict");
        object fallbacks = call(list_dict);
        for_each(call(list_dict, attr(self, "schema")), [&](handle pair) {
            auto [path, obj] = unpack<2>(pair);
            if (!is_instance(obj, NATIVE_GLOBAL(f, "Fallback"))) return;
            check_own_key(f, obj, path);
            call_method(fallbacks, "append", tuple_of(path, obj));
        });
        while (resolve_pass(f, fallbacks)) {
        }
        return call_method(fallbacks, "reconstruct");
    }
    if (is_subclass(attr(self, "schemaType"), NATIVE_GLOBAL(f, "Fallback"))) return attr(self, "schema");
    return py::none();
}

object apply_defaults(Frame& f, handle self, handle data) {
    object defaults = call_method(self, "collect_defaults");
    if (data.is_none()) return defaults;
    if (!is_instance(defaults, NATIVE_GLOBAL(f, "dict")) || !truth(defaults)) return borrow(data.ptr());
    return fill_each(f, defaults, data, [&](KnownPaths& known, handle flat, handle path, handle value) {
        fill_in(f, known, flat, path, value);
    });
}

object apply_fallback(Frame& f, handle self, handle data) {
    object fallbacks = call_method(self, "collect_fallbacks");
    if (!truth(fallbacks)) return borrow(data.ptr());
    return fill_each(f, fallbacks, data, [&](KnownPaths& known, handle flat, handle path, handle obj) {
        object value = fallback_value(f, known, flat, obj);
        fill_in(f, known, flat, path, value);
    });
}

}  // namespace veltrane
