// The list-extending key "%EXTEND_LIST{name}", matched without the regular expression engine.
#include "native/patterns.hpp"

#include <cstring>

namespace native {

bool is_compiled_pattern(handle pattern, const char* source) {
    static PyObject* pattern_type = [] {
        object re = steal(PyImport_ImportModule("re"));
        return attr(re, "Pattern").release().ptr();
    }();
    if (reinterpret_cast<PyObject*>(Py_TYPE(pattern.ptr())) != pattern_type) return false;
    object pattern_source = attr(pattern, "pattern");
    if (!PyUnicode_Check(pattern_source.ptr()) || PyUnicode_CompareWithASCIIString(pattern_source.ptr(), source) != 0)
        return false;
    return PyLong_AsLong(attr(pattern, "flags").ptr()) == 32;  // re.UNICODE alone: compiled without flags
}

namespace {

constexpr const char* list_extend_source = "^%EXTEND_LIST{ *(.+?) *}$";

// The last pattern found to be a list-extending key pattern (with a reference, so its address
// cannot be reused): makes the common check one comparison.
bool is_list_extend_pattern(handle pattern) {
    static PyObject* verified = nullptr;
    if (pattern.ptr() == verified) return true;
    if (!is_compiled_pattern(pattern, list_extend_source)) return false;
    Py_XSETREF(verified, Py_NewRef(pattern.ptr()));
    return true;
}

enum class Match { no, yes, unknown };

// The list-extending key pattern's answer, or `unknown` for any other pattern or key.
Match match_list_extend_key(handle pattern, handle key, object& name) {
    if (!PyUnicode_CheckExact(key.ptr()) || !is_list_extend_pattern(pattern)) return Match::unknown;
    PyObject* k = key.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(k);
    const int kind = PyUnicode_KIND(k);
    const void* data = PyUnicode_DATA(k);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    static const char prefix[] = "%EXTEND_LIST{";
    const Py_ssize_t prefix_length = static_cast<Py_ssize_t>(std::strlen(prefix));
    if (length < prefix_length) return Match::no;
    for (Py_ssize_t i = 0; i < prefix_length; ++i)
        if (at(i) != static_cast<Py_UCS4>(prefix[i])) return Match::no;
    // "$" accepts the very end or a line break that ends the key, so the closing brace is the last
    // character or the one before a final line break.
    Py_ssize_t close = length - 1;
    if (close >= prefix_length && at(close) == '\n') --close;
    if (close < prefix_length || at(close) != '}') return Match::no;
    Py_ssize_t begin = prefix_length;
    Py_ssize_t end = close;
    for (Py_ssize_t i = begin; i < end; ++i)
        if (at(i) == '\n') return Match::no;  // neither "." nor " " spans a line break
    if (begin == end) return Match::no;       // the name holds at least one character
    Py_ssize_t first = begin;
    while (first < end && at(first) == ' ') ++first;
    if (first == end) {
        // only blanks: the greedy blanks give one back to the name
        name = steal(PyUnicode_Substring(k, end - 1, end));
        return Match::yes;
    }
    Py_ssize_t last = end;
    while (last > first && at(last - 1) == ' ') --last;
    name = steal(PyUnicode_Substring(k, first, last));
    return Match::yes;
}

}  // namespace

bool match_first_group(handle pattern, handle key, object& name) {
    switch (match_list_extend_key(pattern, key, name)) {
        case Match::yes:
            return true;
        case Match::no:
            return false;
        case Match::unknown:
            break;
    }
    object match = call_method(pattern, "match", key);
    if (!truth(match)) return false;
    name = call_method(match, "group", py::int_(1));
    return true;
}

}  // namespace native
