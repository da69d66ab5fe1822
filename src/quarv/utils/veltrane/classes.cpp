// Constructors, text forms and the key priority of the schema classes.
#include "veltrane.hpp"

namespace veltrane {

object schema_init(Frame&, handle self, handle schema, handle path) {
    set_attr(self, "schema", schema);
    set_attr(self, "schemaType", type_of(schema));
    set_attr(self, "missed", new_list());
    set_attr(self, "path", own_copy(path));
    return py::none();
}

object schema_str(Frame&, handle self) {
    RecursionGuard guard;  // a schema's text holds the texts of the schema objects inside it
    object cls = attr(self, "__class__");
    object path = attr(self, "path");
    object schema_type = attr(self, "schemaType");
    object schema = attr(self, "schema");
    return schema_text(cls, path, schema_type, schema);
}

object schema_repr(Frame&, handle self) {
    RecursionGuard guard;  // the text of a schema object nested in itself goes through here at every level
    return call_method(self, "__str__");
}

object schema_priority(Frame& f, handle, handle obj) { return integer(priority_of(f, obj)); }

object any_init(Frame& f, handle self, handle path) {
    call_kw(attr(f.super_(self), "__init__"), {}, {{"schema", text("*")}, {"path", path}});
    return py::none();
}

object group_init(Frame&, handle self, handle path, handle args) {
    set_attr(self, "schemas", args);
    set_attr(self, "path", own_copy(path));
    return py::none();
}

object group_str(Frame&, handle self) {
    RecursionGuard guard;  // the texts of the sub-schemas are part of it
    object class_name = format_of(attr(attr(self, "__class__"), "__name__"));
    object schemas = format_of(attr(self, "schemas"));
    return steal(PyUnicode_FromFormat("%U %U", class_name.ptr(), schemas.ptr()));
}

object default_init(Frame& f, handle self, handle schema, handle default_, handle path) {
    set_attr(self, "default", default_);
    call(attr(f.super_(self), "__init__"), schema, path);
    return py::none();
}

object fallback_init(Frame& f, handle self, handle schema, handle fallback) {
    object pieces = call_method(fallback, "split", text("."));
    set_attr(self, "fallback", steal(PySequence_Tuple(pieces.ptr())));
    call(attr(f.super_(self), "__init__"), schema);
    return py::none();
}

}  // namespace veltrane
