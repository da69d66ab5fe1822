// quarv.utils.veltrane: schemas that state what input data must look like, validation of data
// against them, defaults and fallbacks filled in, failures reported with key paths and locations.
#include "veltrane.hpp"

namespace {
using namespace native;
using namespace veltrane;

namespace doc {
const char* schema = R"(Defines a schema, the requirements for input data, and validates whether input data meets them.

A schema is any value: a type, a literal value, a dictionary whose keys and values are schemas, a
callable, or an object of this module's schema classes.)";
const char* optional = "Marks an optional part of a schema.";
const char* any = R"(Marks a part of a schema that matches anything: a wildcard, written as "*".

An Any is also an Optional.)";
const char* and_ = R"(An AND relationship: the data must pass the validation of all of the requirements given as
positional arguments, each on the value that the one before produced.)";
const char* or_ = R"(An OR relationship: the data must pass the validation of one of the requirements given as
positional arguments; the first that validates gives the value.)";
const char* default_ = R"(A schema with a default value, added to the data when the data lacks it, so that the validated
data can differ from the input.

A Default is also an Optional. When a Default lies inside a dictionary schema, the keys that lead
to it are not to be marked with other schema objects such as Optional: they are always present
after validation, since the default is filled in whatever the input.)";
const char* fallback = R"(A schema whose missing value falls back to another value of the same data, named by a text of
keys joined by ".", one key per dictionary level: the fallback "a.b.c" takes the value found under
the key a, then b, then c.

A Fallback is also an Optional. Fallbacks work only when both the schema and the data are
dictionaries; the validated data then holds the copied values.)";
const char* path = R"(A tuple-like key path used with ListDict, whose comparison also lets Any objects match, lets an
Optional key stand for the key it wraps and reads texts as patterns.)";

const char* priority = R"(The sort key of dictionary keys: plain keys are tried first (1), then optional ones (2), and
wildcards last (3).)";
const char* collect_defaults =
    R"(The defaults of the schema: for a dictionary schema a new nested dictionary holding each Default's
value at its key path, for a schema that is one Default its value, else None.)";
const char* collect_fallbacks =
    R"(The fallbacks of the schema: for a dictionary schema a new nested dictionary holding each Fallback
at its key path, every chain of fallbacks resolved to its far end; for a schema that is one
Fallback that object, else None. Raises SchemaFallbackLoopError for a chain that closes on itself.)";
const char* apply_defaults =
    R"(Returns the data with the defaults that it lacks filled in: a new dictionary when defaults were
merged in, the collected defaults for None, otherwise the data itself.)";
const char* apply_fallback =
    R"(Returns the data with the fallback values that it lacks copied in: a new dictionary when the
schema has fallbacks, otherwise the data itself. Raises SchemaFallbackError when a fallback's
target is absent.)";
const char* validate = R"(Validates data against the schema and returns the validated data.

With top true, defaults and then fallbacks are filled in first. locations, the root of the data's
location tree or None, is handed to nested validations and to the errors raised. With
advanced_datatypes true, a callable schema's result replaces the data.)";
const char* missing_from =
    R"(The concrete key paths, among those that the wildcards of this path stand for in paths, that
paths does not hold yet: a list of tuples, in no particular order.)";
}  // namespace doc

handle builtin(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

using ValidateFn = NativeResultFn<handle, handle, handle, handle, handle>;

object define_schema(ModuleBody& m, OwnObjects& own) {
    ClassBuilder builder = m.class_("Schema", {}, handle(), doc::schema);
    builder.def("__init__", "(self, schema, path=None)", &schema_init);
    builder.def("__str__", "(self)", &schema_str);
    builder.def("__repr__", "(self)", &schema_repr);
    builder.classmethod("priority", "(cls, obj)", &schema_priority, doc::priority);
    builder.def("collect_defaults", "(self)", &collect_defaults, doc::collect_defaults);
    builder.def("collect_fallbacks", "(self)", &collect_fallbacks, doc::collect_fallbacks);
    builder.def("apply_defaults", "(self, data)", &apply_defaults, doc::apply_defaults);
    builder.def("apply_fallback", "(self, data)", &apply_fallback, doc::apply_fallback);
    builder.def("validate", "(self, data, top=True, locations=None, advanced_datatypes=True)", &schema_validate,
                doc::validate);
    object cls = builder.create();
    own.Schema = cls;
    own.schema_validate = class_member(cls, "validate");
    own.apply_defaults = class_member(cls, "apply_defaults");
    own.apply_fallback = class_member(cls, "apply_fallback");
    // in the order of the bits of schema_method
    m.state<State>().schema_methods.record(cls, {"__init__", "validate", "__str__", "__new__", "priority"});
    return cls;
}

object define_group(ModuleBody& m, const char* name, handle base, const char* doc_text, ValidateFn validate_fn) {
    ClassBuilder builder = m.class_(name, {borrow(base.ptr())}, handle(), doc_text);
    builder.def("__init__", "(self, *args, path=None)", &group_init);
    builder.def("__str__", "(self)", &group_str);
    builder.def("validate", "(self, data, top=False, locations=None, advanced_datatypes=True)", validate_fn);
    return builder.create();
}

object define_plain(ModuleBody& m, const char* name, handle base, const char* signature, ValidateFn validate_fn) {
    ClassBuilder builder = m.class_(name, {borrow(base.ptr())});
    builder.def("validate", signature, validate_fn);
    return builder.create();
}

void define_classes(ModuleBody& m, OwnObjects& own) {
    object schema = define_schema(m, own);
    ClassBuilder optional_builder = m.class_("Optional", {schema}, handle(), doc::optional);
    object optional = optional_builder.create();
    own.Optional = optional;

    ClassBuilder any_builder = m.class_("Any", {optional}, handle(), doc::any);
    any_builder.def("__init__", "(self, path=None)", &any_init);
    own.Any = any_builder.create();

    own.and_validate = class_member(define_group(m, "And", schema, doc::and_, &and_validate), "validate");
    own.or_validate = class_member(define_group(m, "Or", schema, doc::or_, &or_validate), "validate");

    ClassBuilder default_builder = m.class_("Default", {optional}, handle(), doc::default_);
    default_builder.def("__init__", "(self, schema, default, path=None)", &default_init);
    default_builder.def("validate", "(self, data, top=False, locations=None, advanced_datatypes=True)",
                        &default_validate);
    own.Default = default_builder.create();
    own.default_validate = class_member(own.Default, "validate");

    ClassBuilder fallback_builder = m.class_("Fallback", {optional}, handle(), doc::fallback);
    fallback_builder.def("__init__", "(self, schema, fallback)", &fallback_init);
    fallback_builder.create();

    const char* use_signature = "(self, data, top=False, locations=None, **kwargs)";
    const char* listof_signature = "(self, data, top=False, locations=None, advanced_datatypes=True)";
    own.use_validate = class_member(define_plain(m, "Use", schema, use_signature, &use_validate), "validate");
    own.listof_validate =
        class_member(define_plain(m, "ListOf", schema, listof_signature, &listof_validate), "validate");
    own.pathaware_validate =
        class_member(define_plain(m, "PathAwareUse", schema, use_signature, &pathaware_validate), "validate");

    ClassBuilder path_builder = m.class_("Path", {borrow(builtin(&PyTuple_Type).ptr())}, handle(), doc::path);
    path_builder.def("__hash__", "(self)", &path_hash);
    path_builder.def("__eq__", "(self, other)", &path_eq);
    path_builder.def("is_dynamic", "(self)", &path_is_dynamic);
    path_builder.def("missing_from", "(self, paths)", &path_missing_from, doc::missing_from);
    object path_cls = path_builder.create();
    own.Path = path_cls;
    // in the order of the bits of path_method
    m.state<State>().path_methods.record(path_cls, {"__eq__", "is_dynamic", "missing_from", "__new__", "__init__"});
}

void body(ModuleBody& m) {
    m.import_("re");
    m.from_("collections").import_("OrderedDict");
    m.from_("quarv.datastructures").import_("ListDict");
    m.from_(".exceptions")
        .import_("SchemaClassError", "SchemaEmptyParserError", "SchemaError", "SchemaFallbackError",
                 "SchemaFallbackLoopError", "SchemaMissingKeyError", "SchemaTypeError", "SchemaUnsupportedKeyError",
                 "SchemaValueError");
    m.from_(".locations").import_("Location");
    m.from_(".utils").import_("chainget");
    object names = new_list();
    for (const char* name : {"Schema", "Optional", "Any", "Or", "ListOf", "Default", "Fallback", "Use", "And"})
        append(names, text(name));
    m.set("__all__", names);
    State& state = m.state<State>();
    // the framework's objects as imported, to know them again when a call finds them unchanged
    OwnObjects& own = state.own;
    own.SchemaError = m.get("SchemaError");
    own.SchemaMissingKeyError = m.get("SchemaMissingKeyError");
    own.SchemaTypeError = m.get("SchemaTypeError");
    own.SchemaValueError = m.get("SchemaValueError");
    own.chainget = m.get("chainget");
    own.Location = m.get("Location");
    state.validate_keywords = tuple_of(handle(intern("locations")), handle(intern("advanced_datatypes")));
    define_classes(m, state.own);
}
}  // namespace

QUARV_MODULE(veltrane, "quarv.utils.veltrane", body, State)
