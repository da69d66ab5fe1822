// The include markup %INCLUDE{path}: the content of a YAML file, loaded by the caller's loader class
// (with a processor like this one and a location tree grafted into the caller's) or by safe_load.
#include "markup.hpp"

namespace markup {
namespace {

// The caller's loader class reads the file: `type(self)(**self.kwargs)` is handed to it, and the
// location tree it fills is grafted into the caller's under the text that held the markup.
object load_with_loader(Frame& f, handle self, handle path, handle data, handle index, handle locations) {
    object new_locations = locations.is_none() ? object(py::none()) : new_dict();
    object processor = call_forward(type_of(self), {}, handle(), attr(self, "kwargs"));
    object loader = call_kw(attr(self, "_yaml_loader_cls"), {}, {{"markupprocessor", processor}});
    object value = call_kw(attr(loader, "load"), {path}, {{"locations", new_locations}});
    try {
        object record = call(attr(NATIVE_GLOBAL(f, "utils"), "chainget"), locations, index);
        set_item(record, data, new_locations);
    } catch (...) {
        // no record at this key path (or no tree at all): nothing to graft into
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
    }
    return value;
}

object safe_load(Frame& f, handle path) {
    object opened = call(f.global("open"), path);
    object value;
    with(opened, [&](handle file) { value = call_method(NATIVE_GLOBAL(f, "yaml"), "safe_load", file); });
    return value;
}

}  // namespace

object p_file_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations) {
    if (!truth(match)) return borrow(data.ptr());
    object path = group(match, 2);
    object value;
    try {
        if (truth(attr(self, "_yaml_loader_cls"))) {
            value = load_with_loader(f, self, path, data, index, locations);
        } else {
            value = safe_load(f, path);
        }
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
        Handling handling(failure.value());
        raise_short(f, index, group(match, 0), failure.value());
    }
    if (!PyUnicode_Check(value.ptr())) return value;
    object markup = spanned_part(data, call_method(match, "span"));
    return expanded(f, index, data, markup, str_of(value));
}

}  // namespace markup
