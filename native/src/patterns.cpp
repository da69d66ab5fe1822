// Recognising compiled regular expressions.
#include "native/patterns.hpp"

#include <pybind11/gil_safe_call_once.h>

namespace native {

namespace {
// re.Pattern, imported once for the process (not in a static initialiser: the import may let other
// threads run while the initialiser's lock is held).
PyObject* pattern_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<object> type;
    return type.call_once_and_store_result([] { return attr(steal(PyImport_ImportModule("re")), "Pattern"); })
        .get_stored()
        .ptr();
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
