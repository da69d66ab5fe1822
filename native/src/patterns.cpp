// Recognising compiled regular expressions.
#include "native/patterns.hpp"

namespace native {

namespace {
PyObject* pattern_type() {
    constinit static ProcessValue type;
    return type.get([] { return attr(steal(PyImport_ImportModule("re")), "Pattern"); }).ptr();
}
}  // namespace

bool is_compiled_pattern(handle pattern, const char* source) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(pattern.ptr())) != pattern_type()) return false;
    object pattern_source = attr(pattern, "pattern");
    if (!PyUnicode_Check(pattern_source.ptr()) || PyUnicode_CompareWithASCIIString(pattern_source.ptr(), source) != 0)
        return false;
    return as_long(attr(pattern, "flags")) == 32;  // re.UNICODE alone: compiled without flags
}

}  // namespace native
