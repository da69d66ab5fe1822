// Pieces of quarv.utils.veltrane shared by its translation units.
#pragma once

#include <memory>
#include <vector>

#include "native/collections.hpp"

namespace veltrane {
using namespace native;

// ----- the module's state and small helpers (support.cpp) ---------------------------------------------

// The classes and functions that this copy of the module made, to recognise them when a looked-up
// name or a method still refers to them (then the work is done here instead of through the call
// protocol).
struct OwnObjects {
    object Schema;
    object Path;
    object schema_init;
    object schema_str;
    object schema_validate;
    object priority;  // the function inside the classmethod
    object apply_defaults;
    object apply_fallback;
    object default_validate;
    object and_validate;
    object or_validate;
    object use_validate;
    object listof_validate;
    object pathaware_validate;
    object path_eq;
    object path_is_dynamic;
    object path_missing_from;

    template <typename Visit>
    void visit(Visit& v) {
        for (object* member : {&Schema, &Path, &schema_init, &schema_str, &schema_validate, &priority, &apply_defaults,
                               &apply_fallback, &default_validate, &and_validate, &or_validate, &use_validate,
                               &listof_validate, &pathaware_validate, &path_eq, &path_is_dynamic, &path_missing_from})
            v(*member);
    }
};

// Whether a class still has the methods this module made it with. It is judged again only after it
// changed: its version tag is renewed by every change of it or its bases.
struct ClassVerdict {
    object cls;
    unsigned int version = 0;
    bool untouched = false;
};

struct State {
    OwnObjects own;
    ClassVerdict schema_verdict;
    ClassVerdict path_verdict;
    object validate_keywords;  // ("locations", "advanced_datatypes"), the keywords of a nested validate call

    template <typename Visit>
    void visit(Visit& v) {
        own.visit(v);
        v(schema_verdict.cls);
        v(path_verdict.cls);
        v(validate_keywords);
    }
};

// `bound` is `self.<method>` and still this module's function `fn`.
inline bool is_bound_to(handle bound, handle self, handle fn) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == self.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn.ptr();
}
// `cls` is this module's Schema class with the methods it was made with: a wrapper of it that
// nobody else can see need not be made at all.
bool schema_class_untouched(Frame& f, handle cls);
// The same for Path, whose objects are then compared and expanded without being made.
bool path_class_untouched(Frame& f, handle cls);

// `path.copy() if path else []`: the key path a schema object keeps of its argument.
object own_copy(handle path);
// `path + [key]`.
object extended(handle path, handle key);
// `isinstance(obj, Any)` and `type(obj) is Optional` with the names looked up now.
bool is_wildcard(Frame& f, handle obj);
object unwrap_optional(Frame& f, handle obj);
// 3 for wildcards, 2 for optional keys, 1 for everything else (Schema.priority).
int priority_of(Frame& f, handle obj);

// ----- failures that travel as Results -----------------------------------------------------------------

// Puts a caught error back, for a caller that takes a Result.
inline Result pass_on(Caught& error) {
    error.restore();
    return Result::failure();
}

// ----- key paths of wrappers (engine.cpp) -------------------------------------------------------------

// The key path of a wrapper `Schema(sub, <path>)` that only the engine sees: built when something
// reads it, from the enclosing object's path, which nobody changes meanwhile.
class PathRef {
public:
    // The object's own path list itself (no copy): the parent of the wrappers it makes.
    static std::unique_ptr<PathRef> view(handle list);
    // Schema(sub, parent) or, with a key, Schema(sub, parent + [key]).
    PathRef(const PathRef& parent, handle key);
    PathRef(const PathRef&) = delete;
    PathRef& operator=(const PathRef&) = delete;
    // The wrapper's own list.
    object get() const;
    // The argument that `Schema(sub, ...)` receives when the wrapper is really made.
    object argument() const;

private:
    PathRef() = default;
    const PathRef* parent_ = nullptr;
    handle key_;
    object view_;         // for a view: the list itself
    mutable object own_;  // built on first use (or at once, when the parent is not a plain list)
    object argument_;     // kept when built at once
    bool lazy_ = false;
};

// ----- the validation engine (engine.cpp, dict_rule.cpp) ------------------------------------------
//
// A validation fails with a failed Result (the error pending), not a throw: callers such as Or, ListOf
// and the key tests of the dictionary rule see many failures, and throwing a C++ exception costs
// several times more than validating a value. What fails unexpectedly may still throw; those callers
// catch both kinds through attempt().

// The arguments every nested validation receives unchanged.
struct Validation {
    Frame& f;
    handle locations;
    handle advanced;
};

// The schema object the rule ladder runs on: a real one, or a wrapper only the engine sees.
struct SchemaTarget {
    handle self;  // null for an unseen wrapper
    object schema;
    object schema_type;
    const PathRef* path = nullptr;  // the unseen wrapper's path
    object path_now() const { return self ? attr(self, "path") : path->get(); }
};

// Rules 1 to 6 of Schema.validate, after the top-level step.
Result run_ladder(Validation& validation, SchemaTarget& target, handle data);
// The dictionary rule.
Result dict_rule(Validation& validation, SchemaTarget& target, handle data);
// `obj.validate(data, top, locations=..., advanced_datatypes=...)`.
Result validate_nested(Validation& validation, handle obj, handle data, handle top);
// `Schema(sub, path).validate(data, top, locations=..., advanced_datatypes=...)`; the wrapper is not
// made when nobody could tell.
Result validate_with(Validation& validation, handle sub, const PathRef& path, handle data, handle top);
// `fn(a, b)`, or an empty object when the call raised one of `skipped` (that error dropped).
object call_skipping(handle fn, handle a, handle b, std::initializer_list<PyObject*> skipped);
// The text form of `Schema(sub, path)` (Schema.__str__).
object schema_text(handle cls, handle path, handle schema_type, handle schema);

// The wrappers `[Schema(sub, self.path) for sub in subs]` of And and Or, all made before the first
// validates.
class Wrappers {
public:
    Wrappers(Validation& validation, handle subs, handle path, handle top);
    size_t size() const { return subs_.size(); }
    Result validate(size_t i, handle value);
    object text(size_t i) const;

private:
    Validation& validation_;
    handle top_;
    bool unseen_ = false;
    std::vector<object> subs_;
    std::vector<object> real_;
    std::unique_ptr<PathRef> view_;
    std::vector<std::unique_ptr<PathRef>> paths_;
};

// ----- methods (classes.cpp, engine.cpp, combinators.cpp, defaults.cpp, path.cpp) -------------------

object schema_init(Frame& f, handle self, handle schema, handle path);
object schema_str(Frame& f, handle self);
object schema_repr(Frame& f, handle self);
object schema_priority(Frame& f, handle cls, handle obj);
Result schema_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object any_init(Frame& f, handle self, handle path);
object group_init(Frame& f, handle self, handle path, handle args);
object group_str(Frame& f, handle self);
Result and_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
Result or_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object default_init(Frame& f, handle self, handle schema, handle default_, handle path);
Result default_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object fallback_init(Frame& f, handle self, handle schema, handle fallback);
Result use_validate(Frame& f, handle self, handle data, handle top, handle locations, handle kwargs);
Result listof_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
Result pathaware_validate(Frame& f, handle self, handle data, handle top, handle locations, handle kwargs);
// `method(data, top, locations=..., advanced_datatypes=...)` through the call protocol.
Result call_validate(Frame& f, handle method, handle data, handle top, handle locations, handle advanced);

object collect_defaults(Frame& f, handle self);
object collect_fallbacks(Frame& f, handle self);
object apply_defaults(Frame& f, handle self, handle data);
object apply_fallback(Frame& f, handle self, handle data);

object path_hash(Frame& f, handle self);
object path_eq(Frame& f, handle self, handle other);
object path_is_dynamic(Frame& f, handle self);
object path_missing_from(Frame& f, handle self, handle paths);

// ----- key paths of data (known.cpp, path.cpp) ----------------------------------------------------------

// The key paths of some data (the `paths` list of the defaults and fallbacks), with the look-ups
// that filling in defaults needs, answered by hash where that gives the same answer as a scan.
class KnownPaths {
public:
    KnownPaths(Frame& f, handle paths);
    handle list() const { return paths_; }
    // `probe in paths`, for a plain tuple.
    bool contains(handle probe);
    // Whether the data already holds the schema key path `path`: element by element, with plain
    // equality, an Optional key standing for the key it wraps and Any matching any key.
    bool holds(handle path);
    // `paths.index(path)`, or -1 when absent.
    Py_ssize_t index(handle path);
    // Every entry, in order.
    const std::vector<object>& entries();

private:
    void build_plain();
    void build_clean();
    bool entry_holds(handle entry, handle wanted);

    Frame& f_;
    object paths_;
    bool sequence_ = false;  // an exact list or tuple
    std::vector<object> entries_;
    bool have_entries_ = false;
    object plain_;                 // exact tuple -> first position
    std::vector<Py_ssize_t> odd_;  // positions the plain index cannot answer for
    bool have_plain_ = false;
    object clean_;  // exact tuples of plain keys -> True
    std::vector<Py_ssize_t> special_;
    bool have_clean_ = false;
};

// `Path(elements).is_dynamic()` and `Path(elements).missing_from(known)`; `untouched` tells
// whether the module's Path is still this module's own class, so that no Path objects need making.
// With `plain_keys` (only with `untouched`) the known paths' keys are compared as keys, as filling in
// defaults needs, instead of being read as patterns.
bool elements_dynamic(Frame& f, handle elements);
object missing_from(Frame& f, handle elements, KnownPaths& known, bool untouched, bool plain_keys = false);
// A data key against a schema key: plain equality, an Optional standing for the key it wraps, Any
// matching any key.
bool keys_match(Frame& f, handle data_key, handle schema_key);

}  // namespace veltrane
