// Small helpers of the markup handlers: messages, texts, the write-back into the caller's data and
// the import of the framework's credentials class.
#include <algorithm>
#include <cstring>

#include "markup.hpp"

namespace markup {

object key_path_text(handle index) {
    object pieces = new_list();
    for_each(index, [&](handle item) { append(pieces, str_of(item)); });
    return steal(PyUnicode_Join(intern("."), pieces.ptr()));
}

object short_message(handle index, handle markup) {
    object path = key_path_text(index);
    object shown = str_of(markup);
    return steal(PyUnicode_FromFormat("Caught error while processing markups: \nIndex:  %U\nMarkup: %U\n", path.ptr(),
                                      shown.ptr()));
}

void raise_short(Frame& f, handle index, handle markup, handle cause) {
    object error = call(NATIVE_GLOBAL(f, "MarkupError"), short_message(index, markup));
    if (cause) raise_from(error, cause);
    raise(error);
}

object replaced(handle data, handle old, handle new_) {
    if (PyUnicode_CheckExact(data.ptr()) && PyUnicode_Check(old.ptr()) && PyUnicode_Check(new_.ptr()))
        return steal(PyUnicode_Replace(data.ptr(), old.ptr(), new_.ptr(), -1));
    return call_method(data, "replace", old, new_);
}

void raise_expansion(Frame& f, handle index, handle markup, bool work) {
    object path = key_path_text(index);
    object shown = str_of(markup);
    object message = steal(PyUnicode_FromFormat(
        work ? "Markup expansion exceeded the limit of %zd characters made for one value: \nIndex:  %U\nMarkup: %U\n"
             : "Markup expansion exceeded the limit of %zd characters for one value: \nIndex:  %U\nMarkup: %U\n",
        work ? max_expansion_work : max_expanded_length, path.ptr(), shown.ptr()));
    raise(call(NATIVE_GLOBAL(f, "MarkupError"), message));
}

object expanded(Frame& f, handle index, handle data, handle old, handle new_) {
    if (PyUnicode_Check(data.ptr()) && PyUnicode_Check(old.ptr()) && PyUnicode_Check(new_.ptr())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(data.ptr());
        Py_ssize_t growth = PyUnicode_GET_LENGTH(new_.ptr()) - PyUnicode_GET_LENGTH(old.ptr());
        if (growth > 0) {
            // str.replace's own count: an empty `old` matches between every two characters
            Py_ssize_t count = check_value(PyUnicode_Count(data.ptr(), old.ptr(), 0, PY_SSIZE_T_MAX));
            if (count > 0 && (growth > (max_expanded_length - length) / count || length > max_expanded_length))
                raise_expansion(f, index, old);
        }
    }
    object result = replaced(data, old, new_);
    if (PyUnicode_Check(result.ptr()) && PyUnicode_GET_LENGTH(result.ptr()) > max_expanded_length)
        raise_expansion(f, index, old);
    return result;
}

object group(handle match, int n) { return call_method(match, "group", integer(n)); }

std::pair<Py_ssize_t, Py_ssize_t> span_positions(handle span, Py_ssize_t length) {
    auto [start, end] = span_within(span, length);
    return {start, std::max(start, end)};
}

object spanned_part(handle data, handle span) {
    if (PyUnicode_Check(data.ptr())) {
        auto [start, end] = span_positions(span, PyUnicode_GET_LENGTH(data.ptr()));
        return steal(PyUnicode_Substring(data.ptr(), start, end));
    }
    // not a text (a handler called directly): the value's own slicing decides
    auto [start, end] = unpack<2>(span);
    object slice = steal(PySlice_New(start.ptr(), end.ptr(), nullptr));
    return steal(PyObject_GetItem(data.ptr(), slice.ptr()));
}

bool without_marker(handle text_obj) {
    if (!PyUnicode_Check(text_obj.ptr())) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text_obj.ptr());
    if (PyUnicode_KIND(text_obj.ptr()) == PyUnicode_1BYTE_KIND)
        return std::memchr(PyUnicode_1BYTE_DATA(text_obj.ptr()), '%', static_cast<size_t>(length)) == nullptr;
    return PyUnicode_FindChar(text_obj.ptr(), '%', 0, length, 1) == -1;
}

bool is_container(Frame& f, handle value) {
    return isinstance_abc(value, NATIVE_GLOBAL(f, "MutableMapping")) ||
           is_instance(value, NATIVE_GLOBAL(f, "Iterable"));
}

object quiet_copy(Frame& f, handle index) {
    handle quiet = f.state<State>().quiet_key_path;
    if (Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(quiet.ptr())) return borrow(index.ptr());
    return call(quiet, index);
}

bool is_quiet(Frame& f, handle index) {
    return Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(f.state<State>().quiet_key_path.ptr());
}

namespace {

// `container[item]`, or an empty object when the caller's data has no such entry.
object entry_of(handle container, handle item) {
    if (PyUnicode_Check(container.ptr()) || PyBytes_Check(container.ptr()) || PyByteArray_Check(container.ptr()))
        return object();  // the path names a character: no place for a value
    try {
        return get_item(container, item);
    } catch (...) {
        Caught failure;
        if (failure.matches(PyExc_KeyError) || failure.matches(PyExc_IndexError) || failure.matches(PyExc_TypeError))
            return object();
        failure.rethrow();
    }
}

}  // namespace

void write_back(Frame& f, handle self, handle index, handle result) {
    if (is_quiet(f, index)) return;
    Snapshot items(index);
    Py_ssize_t size = items.size();
    if (size == 0) return;  // the root has no place in a container
    object container = attr(self, "original");
    for (Py_ssize_t i = 0; i < size - 1; ++i) {
        container = entry_of(container, items[i]);
        if (!container) return;
    }
    handle last = items[size - 1];
    if (!entry_of(container, last)) return;
    set_item(container, last, result);
}

// ----- from quarv.topology.credentials import Credentials ----------------------------------------

object import_credentials(Frame& f) {
    return f.state<State>().credentials.get(f.globals(), "quarv.topology.credentials", "Credentials");
}

}  // namespace markup
