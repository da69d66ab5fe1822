// Pieces of quarv.utils.veltrane shared by its translation units.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "native/collections.hpp"
#include "native/own.hpp"

namespace veltrane {
using namespace native;

// ----- the module's state and small helpers (support.cpp) ---------------------------------------------

// The classes and functions that this copy of the module made, to recognise them when a looked-up
// name or a method still refers to them (then the work is done here instead of through the call
// protocol).
struct OwnObjects {
    object Schema;
    object Optional;
    object Any;
    object Default;
    object Path;
    object schema_validate;
    object apply_defaults;
    object apply_fallback;
    object default_validate;
    object and_validate;
    object or_validate;
    object use_validate;
    object listof_validate;
    object pathaware_validate;
    // the framework's objects the module imported, to know them again at a call
    object SchemaError;
    object SchemaMissingKeyError;
    object SchemaTypeError;
    object SchemaValueError;
    object chainget;
    object Location;

    template <typename Visit>
    void visit(Visit& v) {
        for (object* member : {&Schema,
                               &Optional,
                               &Any,
                               &Default,
                               &Path,
                               &schema_validate,
                               &apply_defaults,
                               &apply_fallback,
                               &default_validate,
                               &and_validate,
                               &or_validate,
                               &use_validate,
                               &listof_validate,
                               &pathaware_validate,
                               &SchemaError,
                               &SchemaMissingKeyError,
                               &SchemaTypeError,
                               &SchemaValueError,
                               &chainget,
                               &Location})
            v(*member);
    }
};

// The names whose methods Schema and Path are recorded with (OwnMethods), in the order recorded:
// the methods the fast paths stand in for, and the constructors that a wrapper or path the engine
// does not make would have run.
namespace schema_method {
constexpr uint32_t init = 1u << 0, validate = 1u << 1, str = 1u << 2, new_ = 1u << 3, priority = 1u << 4;
// what a wrapper `Schema(sub, path)` that nobody sees would run, and what it would be read by
constexpr uint32_t wrapper = init | validate | str | new_;
}  // namespace schema_method
namespace path_method {
constexpr uint32_t eq = 1u << 0, is_dynamic = 1u << 1, missing_from = 1u << 2, new_ = 1u << 3, init = 1u << 4;
constexpr uint32_t all = eq | is_dynamic | missing_from | new_ | init;
}  // namespace path_method

struct State {
    OwnObjects own;
    OwnMethods schema_methods;  // Schema: __init__, validate, __str__, __new__, priority
    OwnMethods path_methods;    // Path: __eq__, is_dynamic, missing_from, __new__, __init__
    object validate_keywords;   // ("locations", "advanced_datatypes"), the keywords of a nested validate call

    template <typename Visit>
    void visit(Visit& v) {
        own.visit(v);
        v(schema_methods);
        v(path_methods);
        v(validate_keywords);
    }
};

// `cls` is this module's Schema class with the methods it was made with: a wrapper of it that
// nobody else can see need not be made at all.
bool schema_class_untouched(Frame& f, handle cls);
// The same for Path, whose objects are then compared and expanded without being made.
bool path_class_untouched(Frame& f, handle cls);
// `cls.priority` is still Schema.priority as this module made it (on cls or inherited).
bool priority_untouched(Frame& f, handle cls);
// Both: the module's Schema class, untouched, with its own priority.
bool schema_class_usable(Frame& f, handle cls);
// The function that `obj.<name>` would bind, when that is a plain function found on obj's class
// (no instance attribute, no __getattribute__ of its own): lets a caller see that a method is this
// module's own without making the bound method. Null otherwise.
PyObject* class_function(handle obj, Name name);

// `path.copy() if path else []`: the key path a schema object keeps of its argument.
object own_copy(handle path);
// `path + [key]`.
object extended(handle path, handle key);
// `isinstance(obj, Any)` and `type(obj) is Optional` with the names looked up now.
bool is_wildcard(Frame& f, handle obj);
object unwrap_optional(Frame& f, handle obj);
// 3 for wildcards, 2 for optional keys, 1 for everything else (Schema.priority).
int priority_of(Frame& f, handle obj);
// A value of a type whose hash, equality, text form and truth run no user code and never change:
// str, int, float, bool, None, bytes (exact types).
inline bool plain_value(handle obj) { return builtin::has(obj, builtin::scalar); }

// ----- failures that travel as Results -----------------------------------------------------------------

// Puts a caught error back, for a caller that takes a Result.
inline Result pass_on(Caught& error) {
    error.restore();
    return Result::failure();
}

// ----- key paths of wrappers (engine.cpp) -------------------------------------------------------------

// The key path of a wrapper `Schema(sub, <path>)` that only the engine sees: built when something
// reads it, from the enclosing path, which nobody changes meanwhile.
class PathRef {
public:
    // A schema object's own path list itself (no copy): the parent of the wrappers it makes.
    explicit PathRef(handle list);
    // Schema(sub, parent) or, with a key, Schema(sub, parent + [key]).
    PathRef(const PathRef& parent, handle key);
    PathRef(const PathRef&) = delete;
    PathRef& operator=(const PathRef&) = delete;
    // The wrapper's own list.
    object get() const;
    // A new list equal to the wrapper's: what a schema object nested in it receives as its path.
    object fresh() const;
    // The argument that `Schema(sub, ...)` receives when the wrapper is really made.
    object argument() const;
    // Whether every element of the path is a plain value (its text form runs no user code).
    bool plain_elements() const;

private:
    const PathRef* parent_ = nullptr;
    handle key_;
    object view_;         // for a view: the list itself
    mutable object own_;  // built on first use (or at once, when the parent is not a plain list)
    object argument_;     // kept when built at once
    bool lazy_ = false;
};

// ----- one validation's walk through the module's own code (engine.cpp, dict_rule.cpp) -------------
//
// A validation fails with a failed Result (the error pending), not a throw: callers such as Or,
// ListOf and the key tests of the dictionary rule see many failures, and throwing a C++ exception
// costs several times more than validating a value. What fails unexpectedly may still throw; those
// callers catch both kinds through attempt().
//
// While one validation calls this module's own validate methods directly, they share one Walk: the
// arguments every nested validation receives unchanged, and what the walk may remember meanwhile. A
// validate method reached through the call protocol (a user's override, a subclass) starts a walk of
// its own.

// What the rule ladder of Schema.validate does with a schema value, its rules in the order tried: a
// wildcard, a nested schema object, one of the built-in types, a dictionary, a callable, a literal.
enum class Rule : uint8_t { unknown, wildcard, nested, builtin_type, dictionary, callable, literal };

struct DictPlan;

// What one walk remembers of the schema dictionaries it meets: their keys in priority order and the
// rule of each value, made once per dictionary instead of once per data key. An entry holds its
// dictionary, so that the address names the same dictionary for the whole walk, and the version tags
// of the dictionary, the module namespace and the built-ins it was made under: any change of them
// makes it be made again.
class WalkMemo {
public:
    WalkMemo();
    WalkMemo(const WalkMemo&) = delete;
    WalkMemo& operator=(const WalkMemo&) = delete;
    ~WalkMemo();
    // The plan of an exact dict schema, or null when the schema cannot have one. A plan that is
    // replaced lives on for as long as a validation that took it holds it.
    std::shared_ptr<DictPlan> plan(Frame& f, handle schema);

private:
    std::unordered_map<PyObject*, std::shared_ptr<DictPlan>> plans_;
};

struct Walk {
    Frame& f;
    handle locations;
    handle advanced;
    WalkMemo& memo;
};

// The schema object the rule ladder runs on: a real one, or a wrapper only the engine sees.
struct SchemaTarget {
    handle self;                   // null for an unseen wrapper
    handle schema;                 // held by the caller
    handle schema_type;            // held by the caller
    handle path;                   // a real object's path, as read when its validation began
    const PathRef* ref = nullptr;  // an unseen wrapper's path
    Rule rule = Rule::unknown;
    object path_now() const {
        if (!self) return ref->get();
        return path ? borrow(path.ptr()) : attr(self, "path");
    }
};

// The rule that applies to `schema` of type `schema_type`; `settled` tells whether the answer ran
// no user code and holds for as long as the module namespace and the built-ins are unchanged;
// `by_type` whether it is the wildcard or nested-schema rule found from the classes alone, which then holds for as long
// as the schema is of that type and the type is unchanged too.
Rule rule_of(Frame& f, handle schema, handle schema_type, bool* settled = nullptr, bool* by_type = nullptr);
// The rule ladder of Schema.validate, after the top-level step.
Result run_ladder(Walk& walk, SchemaTarget& target, handle data);
// The dictionary rule.
Result dict_rule(Walk& walk, SchemaTarget& target, handle data);
// `obj.validate(data, top, locations=..., advanced_datatypes=...)`.
Result validate_obj(Walk& walk, handle obj, handle data, handle top);
// `Schema(sub, path).validate(data, top, locations=..., advanced_datatypes=...)`; the wrapper is not
// made when nobody could tell. `rule` is the sub-schema's rule when known.
Result validate_with(Walk& walk, handle sub, const PathRef& path, handle data, handle top, Rule rule = Rule::unknown);
// Whether `Schema(...)` wrappers of this walk are unseen (the module's Schema is its own, untouched).
bool wrappers_unseen(Walk& walk);
// `fn(a, b)`, or an empty object when the call raised one of `skipped` (that error dropped).
object call_skipping(handle fn, handle a, handle b, std::initializer_list<PyObject*> skipped);
// The text form of `Schema(sub, path)` (Schema.__str__).
object schema_text(handle cls, handle path, handle schema_type, handle schema);

// The wrappers `[Schema(sub, self.path) for sub in subs]` of And and Or, all made before the first
// validates.
class Wrappers {
public:
    Wrappers(Walk& walk, handle subs, handle path, handle top);
    size_t size() const { return subs_.size(); }
    bool unseen() const { return unseen_; }
    handle sub(size_t i) const { return subs_[i]; }
    const PathRef& path(size_t i) const { return *paths_[i]; }
    Result validate(size_t i, handle value);
    object text(size_t i) const;

private:
    Walk& walk_;
    handle top_;
    bool unseen_ = false;
    std::vector<object> subs_;
    std::vector<object> real_;
    PathRef view_;
    std::vector<std::unique_ptr<PathRef>> paths_;
};

// ----- validate methods: their entry points and their steps within a walk ----------------------------

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

Result schema_walk(Walk& walk, handle self, handle data, handle top);
Result default_walk(Walk& walk, handle self, handle data, handle top);
Result and_walk(Walk& walk, handle self, handle data, handle top);
Result or_walk(Walk& walk, handle self, handle data, handle top);
Result use_walk(Walk& walk, handle self, handle data, handle top);
Result pathaware_walk(Walk& walk, handle self, handle data, handle top);
Result listof_walk(Walk& walk, handle self, handle data, handle top);

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
    void build_members();
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
    object members_;  // the hashable exact tuples, for membership alone
    std::vector<Py_ssize_t> odd_members_;
    bool have_members_ = false;
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
