// The list-extending key matched without the regular expression engine.
#include "list_extend.hpp"

#include <cstring>

#include "native/patterns.hpp"

namespace shared {

bool is_list_extend_pattern(handle pattern) { return is_compiled_pattern(pattern, list_extend_source); }

namespace {

enum class Match { no, yes };

Match match_natively(handle key, object& name) {
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

bool match_list_extend_key(handle accepted, handle pattern, handle key, object& name) {
    if (accepted && pattern.ptr() == accepted.ptr() && PyUnicode_CheckExact(key.ptr()))
        return match_natively(key, name) == Match::yes;
    object match = call_method(pattern, "match", key);
    if (!truth(match)) return false;
    name = call_method(match, "group", integer(1));
    return true;
}

}  // namespace shared
