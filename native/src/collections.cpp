// Mapping and sequence helpers with exact-type fast paths.
#include "native/collections.hpp"

namespace native {

std::pair<object, object> unpack2(handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        return {borrow(PyTuple_GET_ITEM(item.ptr(), 0)), borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    }
    PyObject* raw_iterator = PyObject_GetIter(item.ptr());
    if (!raw_iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter && !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw_error();
    }
    object iterator = steal(raw_iterator);
    object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_error();
        }
        values[i] = steal(next);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw_error();
    return {values[0], values[1]};
}

object mapping_get(handle mapping, handle key, handle default_) {
    if (uses_dict_method(mapping, "get")) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw_error();
        return borrow(default_.ptr());
    }
    return call_method(mapping, "get", key, default_);
}

object mapping_get_or_new_dict(handle mapping, handle key) {
    if (uses_dict_method(mapping, "get")) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw_error();
        return steal(PyDict_New());
    }
    return call_method(mapping, "get", key, steal(PyDict_New()));
}

object mapping_setdefault(handle mapping, handle key, handle default_) {
    if (uses_dict_method(mapping, "setdefault"))
        return borrow(PyDict_SetDefault(mapping.ptr(), key.ptr(), default_.ptr()));
    return call_method(mapping, "setdefault", key, default_);
}

namespace {

handle cache_token_function() {
    constinit static ProcessValue token_fn;
    return token_fn.get([] { return attr(steal(PyImport_ImportModule("abc")), "get_cache_token"); });
}

long long current_token() { return check_value(PyLong_AsLongLong(call(cache_token_function()).ptr())); }

// The four ABCs of collections.abc, kept for the process as the interpreter keeps them.
void load_abc_table() {
    detail::AbcTable& table = detail::abc_table;
    if (table.abcs[0]) return;
    object module = steal(PyImport_ImportModule("collections.abc"));
    object abcs[4] = {attr(module, "Mapping"), attr(module, "MutableMapping"), attr(module, "Sequence"),
                      attr(module, "MutableSequence")};
    if (table.abcs[0]) return;  // another thread made it meanwhile
    for (auto& row : table.confirmed)
        for (long long& token : row) token = -1;
    for (int i = 0; i < 4; ++i) table.abcs[i] = abcs[i].release().ptr();
}

}  // namespace

namespace detail {

bool isinstance_abc_slow(handle obj, handle cls) {
    load_abc_table();
    AbcTable& table = abc_table;
    int abc_index = -1;
    for (int i = 0; i < 4; ++i)
        if (cls.ptr() == table.abcs[i]) abc_index = i;
    int type_index = abc_index < 0 ? -1 : builtin_index(Py_TYPE(obj.ptr()));
    if (type_index < 0) return is_instance(obj, cls);
    if (builtin_is(type_index, abc_index)) return true;
    long long token = abc_snapshot_token >= 0 ? abc_snapshot_token : current_token();
    long long& confirmed = table.confirmed[type_index][abc_index];
    if (token == confirmed) return false;
    bool result = is_instance(obj, cls);
    if (!result) confirmed = token;
    return result;
}

}  // namespace detail

AbcSnapshot::AbcSnapshot() : previous_(detail::abc_snapshot_token) {
    // nested snapshots (a recursive walk) keep the outermost one's reading
    if (detail::abc_snapshot_token < 0) detail::abc_snapshot_token = current_token();
}

AbcSnapshot::~AbcSnapshot() { detail::abc_snapshot_token = previous_; }

}  // namespace native
