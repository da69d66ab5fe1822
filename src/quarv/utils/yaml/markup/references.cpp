// The reference markup %{path} and the list-extension markup %EXTEND_LIST{path, ...}.
#include "markup.hpp"

namespace markup {
namespace {

// `utils.chainget(tree, path)`, fetched from the module bound as `utils` at each use.
object chainget(Frame& f, handle tree, handle path) {
    return call(attr(NATIVE_GLOBAL(f, "utils"), "chainget"), tree, path);
}

[[noreturn]] void raise_recursion(Frame& f, handle index, handle markup) {
    object path = key_path_text(index);
    object shown = str_of(markup);
    object message =
        steal(PyUnicode_FromFormat("Detected recursion markup: \nIndex:  %U\nMarkup: %U\n", path.ptr(), shown.ptr()));
    raise(call(NATIVE_GLOBAL(f, "MarkupError"), message));
}

// The reference leads back to the text that holds it: its value is the text's own entry, or its
// path names the text's own place or one of its ancestors.
bool is_recursive(Frame& f, handle original, handle value, handle path_text, handle index) {
    object own;
    try {
        own = chainget(f, original, index);
    } catch (...) {
        // the text's own key path is not in the caller's data (a key changed by its own markup
        // leads to it): no entry there to be equal to
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
    }
    if (own && equal(value, own)) return true;
    Snapshot pieces(call_method(path_text, "split", handle(intern("."))));
    Snapshot steps(index);
    if (steps.size() < pieces.size()) return false;
    for (Py_ssize_t i = 0; i < pieces.size(); ++i) {
        handle piece = pieces[i];
        handle step = steps[i];
        // a list position is written in a path as its decimal digits
        if (PyLong_CheckExact(step.ptr()) && PyUnicode_Check(piece.ptr())) {
            if (!equal(piece, str_of(step))) return false;
        } else if (!equal(piece, step)) {
            return false;
        }
    }
    return true;
}

}  // namespace

object p_reference_markup(Frame& f, handle self, handle match, handle data, handle index, handle) {
    object current = borrow(data.ptr());
    object found = borrow(match.ptr());
    bool keys = false;
    object keys_request = text(".keys()");
    if (contains(data, keys_request)) {
        current = replaced(data, keys_request, handle(intern("")));
        found = call_method(NATIVE_GLOBAL(f, "REFERENCE_PATTERN"), "search", current);
        keys = true;
    }
    if (found.is_none()) return py::none();
    object path_text = group(found, 2);
    object markup = group(found, 0);
    object original = attr(self, "original");
    object value;
    try {
        value = chainget(f, original, path_text);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
        Handling handling(failure.value());
        raise_short(f, index, markup, failure.value());
    }
    if (is_recursive(f, original, value, path_text, index)) raise_recursion(f, index, markup);

    object placeholder = replaced(markup, handle(intern("%{")), handle(intern("${")));
    object spanned = spanned_part(current, call_method(found, "span"));
    if (equal(spanned, current)) {
        if (keys) value = call_method(value, "keys");
        mapping_setdefault(attr(self, "markup_already_seen"), placeholder, value);
        return value;
    }
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == &PyList_Type || type == &PyDict_Type) {
        object result = replaced(current, markup, placeholder);
        mapping_setdefault(attr(self, "markup_already_seen"), placeholder, value);
        return result;
    }
    return expanded(f, index, current, markup, PyUnicode_Check(value.ptr()) ? value : str_of(value));
}

object p_extend_list_markup(Frame& f, handle self, handle match, handle, handle index, handle locations) {
    object values = new_list();
    if (!truth(match)) return values;
    object pieces = call_method(group(match, 1), "split", handle(intern(",")));
    // every path is read from the caller's data as it stands before this markup: nothing that one
    // path resolves is written back where the next one's recursion test would read it
    object quiet = quiet_copy(f, index);
    for_each(pieces, [&](handle piece) {
        object path = call_method(piece, "strip");
        // `"%{" + path + "}"`: only a text joins texts
        if (!PyUnicode_Check(path.ptr()))
            raise_format(PyExc_TypeError, "can only concatenate str (not \"%s\") to str", Py_TYPE(path.ptr())->tp_name);
        if (PyUnicode_GET_LENGTH(path.ptr()) == 0) return;  // an empty piece names nothing
        object reference = steal(PyUnicode_FromFormat("%%{%U}", path.ptr()));
        object resolved = call_kw(attr(self, "_recurse"), {reference, quiet}, {{"locations", locations}});
        call_method(values, "extend", resolved);
    });
    write_back(f, self, index, values);
    return values;
}

}  // namespace markup
