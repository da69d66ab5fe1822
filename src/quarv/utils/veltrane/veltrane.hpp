// Pieces of quarv.utils.veltrane shared by its translation units.
#pragma once

#include <memory>
#include <vector>

#include "native/collections.hpp"

namespace veltrane {
using namespace native;

// ----- the module's own objects and small helpers (support.cpp) -----------------------------------

// The classes and functions this module made, to recognise them when a looked-up name or a method
// still refers to them (then the work is done here instead of through the call protocol).
struct Made {
    PyObject* Schema = nullptr;
    PyObject* Path = nullptr;
    PyObject* schema_init = nullptr;
    PyObject* schema_str = nullptr;
    PyObject* schema_validate = nullptr;
    PyObject* priority = nullptr;  // the function inside the classmethod
    PyObject* apply_defaults = nullptr;
    PyObject* apply_fallback = nullptr;
    PyObject* default_validate = nullptr;
    PyObject* and_validate = nullptr;
    PyObject* or_validate = nullptr;
    PyObject* use_validate = nullptr;
    PyObject* listof_validate = nullptr;
    PyObject* pathaware_validate = nullptr;
    PyObject* path_eq = nullptr;
    PyObject* path_is_dynamic = nullptr;
    PyObject* path_missing_from = nullptr;
};
Made& made();

// `bound` is `self.<method>` and still this module's function `fn`.
inline bool is_bound_to(handle bound, handle self, PyObject* fn) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == self.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}
// `cls` is this module's Schema class with the methods it was made with: a wrapper of it that
// nobody else can see need not be made at all.
bool schema_class_untouched(handle cls);
// The same for Path, whose objects are then compared and expanded without being made.
bool path_class_untouched(handle cls);

inline bool issubclass(handle derived, handle cls) { return check(PyObject_IsSubclass(derived.ptr(), cls.ptr())) != 0; }
inline object new_list() { return steal(PyList_New(0)); }
inline void append(handle list, handle value) {
    if (PyList_CheckExact(list.ptr())) {
        check(PyList_Append(list.ptr(), value.ptr()));
    } else {
        call_method(list, "append", value);
    }
}
// `path.copy() if path else []`: the key path a schema object keeps of its argument.
object own_copy(handle path);
// `path + [key]`.
object extended(handle path, handle key);
// `isinstance(obj, Any)` and `type(obj) is Optional` with the names looked up now.
bool is_wildcard(Frame& f, handle obj);
object unwrap_optional(Frame& f, handle obj);
// 3 for wildcards, 2 for optional keys, 1 for everything else (Schema.priority).
int priority_of(Frame& f, handle obj);

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

// The arguments every nested validation receives unchanged.
struct Call {
    Frame& f;
    handle locations;
    handle advanced;
};

// The schema object the rule ladder runs on: a real one, or a wrapper only the engine sees.
struct Target {
    handle self;  // null for an unseen wrapper
    object schema;
    object schema_type;
    const PathRef* path = nullptr;  // the unseen wrapper's path
    object path_now() const { return self ? attr(self, "path") : path->get(); }
};

// Rules 1 to 6 of Schema.validate, after the top-level step. With `soft`, a failure of the type or
// literal rule of this very object (or of a plain schema object it wraps) is not thrown: the error is
// set as raised and a null object returned, for callers that catch it anyway (throwing a C++
// exception costs several times more than the whole validation of a value).
object run_ladder(Call& c, Target& t, handle data, bool soft = false);
// The dictionary rule.
object dict_rule(Call& c, Target& t, handle data);
// `obj.validate(data, top, locations=..., advanced_datatypes=...)`.
object validate_nested(Call& c, handle obj, handle data, handle top, bool soft = false);
// `Schema(sub, path).validate(data, top, locations=..., advanced_datatypes=...)`; the wrapper is not
// made when nobody could tell.
object validate_with(Call& c, handle sub, const PathRef& path, handle data, handle top, bool soft = false);
// The error a soft validation left set, as a C++ exception object (not thrown).
inline py::error_already_set pending_error() { return py::error_already_set(); }
// `fn(a, b)`, null with the error set when the call raised one of `skipped`; other errors thrown.
object call_skipping(handle fn, handle a, handle b, std::initializer_list<PyObject*> skipped);
// The text form of `Schema(sub, path)` (Schema.__str__).
object schema_text(handle cls, handle path, handle schema_type, handle schema);

// The wrappers `[Schema(sub, self.path) for sub in subs]` of And and Or, all made before the first
// validates.
class Wrappers {
public:
    Wrappers(Call& c, handle subs, handle path, handle top);
    size_t size() const { return subs_.size(); }
    object validate(size_t i, handle value, bool soft = false);
    object text(size_t i) const;

private:
    Call& c_;
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
object schema_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object schema_validate_soft(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object any_init(Frame& f, handle self, handle path);
object group_init(Frame& f, handle self, handle path, handle args);
object group_str(Frame& f, handle self);
object and_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object or_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object default_init(Frame& f, handle self, handle schema, handle default_, handle path);
object default_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object fallback_init(Frame& f, handle self, handle schema, handle fallback);
object use_validate(Frame& f, handle self, handle data, handle top, handle locations, handle kwargs);
object listof_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced);
object pathaware_validate(Frame& f, handle self, handle data, handle top, handle locations, handle kwargs);

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
    bool entry_holds(handle entry, const std::vector<object>& wanted);

    Frame& f_;
    object paths_;
    bool sequence_ = false;  // an exact list or tuple
    std::vector<object> entries_;
    bool have_entries_ = false;
    object plain_;                  // exact tuple -> first position
    std::vector<Py_ssize_t> odd_;   // positions the plain index cannot answer for
    bool have_plain_ = false;
    object clean_;                  // exact tuples of plain keys -> True
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
