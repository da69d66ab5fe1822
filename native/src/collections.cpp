// Mapping and sequence helpers with exact-type fast paths.
#include "native/collections.hpp"

namespace native {

namespace detail {

void unpack_into(handle item, object* values, int count) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == count) {
        // checked: an exact tuple's size was checked just above, and its items are taken as strong
        // references with no call into Python between
        for (int i = 0; i < count; ++i) values[i] = borrow(PyTuple_GET_ITEM(item.ptr(), i));
        return;
    }
    PyObject* raw_iterator = PyObject_GetIter(item.ptr());
    if (!raw_iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter && !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw_error();
    }
    object iterator = steal(raw_iterator);
    for (int i = 0; i < count; ++i) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw_error();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", count, i);
        }
        values[i] = steal(next);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", count);
    }
    if (PyErr_Occurred()) throw_error();
}

}  // namespace detail

Snapshot::Snapshot(handle iterable)
    : tuple_(PyTuple_CheckExact(iterable.ptr())  ? borrow(iterable.ptr())
             : PyList_CheckExact(iterable.ptr()) ? steal(PyList_AsTuple(iterable.ptr()))
                                                 : steal(PySequence_Tuple(iterable.ptr()))),
      size_(PyTuple_GET_SIZE(tuple_.ptr())) {}  // checked: tuple_ is a tuple made or checked just above

void Snapshot::out_of_range() { raise(PyExc_IndexError, "tuple index out of range"); }

Py_ssize_t slice_position(handle position, Py_ssize_t length, bool as_stop) {
    object slice = as_stop ? steal(PySlice_New(nullptr, position.ptr(), nullptr))
                           : steal(PySlice_New(position.ptr(), nullptr, nullptr));
    Py_ssize_t start = 0, stop = 0, step = 1;
    check(PySlice_Unpack(slice.ptr(), &start, &stop, &step));
    PySlice_AdjustIndices(length, &start, &stop, step);
    return as_stop ? stop : start;
}

std::pair<Py_ssize_t, Py_ssize_t> span_within(handle span, Py_ssize_t length) {
    auto [start, end] = unpack<2>(span);
    // slicing takes None and integers, and anything else with __index__
    for (handle position : {handle(start), handle(end)}) {
        if (!position.is_none() && !PyIndex_Check(position.ptr()))
            raise_format(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
    }
    // one slice of both, as `text[start:end]` reads them: a missing end is the text's end
    object slice = steal(PySlice_New(start.ptr(), end.ptr(), nullptr));
    Py_ssize_t first = 0, last = 0, step = 1;
    check(PySlice_Unpack(slice.ptr(), &first, &last, &step));
    PySlice_AdjustIndices(length, &first, &last, step);
    return {first, last};
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

bool AbcMemo::isinstance(handle obj, handle cls) {
    if (cls.ptr() != cls_.ptr()) {
        cls_ = borrow(cls.ptr());
        for (long long& token : confirmed_) token = -1;
    }
    int type_index = detail::builtin_index(Py_TYPE(obj.ptr()));
    if (type_index < 0) return is_instance(obj, cls);
    long long token = detail::abc_snapshot_token >= 0 ? detail::abc_snapshot_token : current_token();
    if (confirmed_[type_index] == token) return false;
    bool result = is_instance(obj, cls);
    if (!result && cls.ptr() == cls_.ptr()) confirmed_[type_index] = token;
    return result;
}

AbcSnapshot::AbcSnapshot() : previous_(detail::abc_snapshot_token) {
    // nested snapshots (a recursive walk) keep the outermost one's reading
    if (detail::abc_snapshot_token < 0) detail::abc_snapshot_token = current_token();
}

AbcSnapshot::~AbcSnapshot() { detail::abc_snapshot_token = previous_; }

}  // namespace native
