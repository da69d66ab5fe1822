// Module bodies run by multi-phase initialisation, import statements, and a module's own state.
#pragma once

#include <cstdint>
#include <string_view>

#include "native/classes.hpp"
#include "native/visit.hpp"

namespace native {

class FromImport;

// `from <dotted> import <name>` (absolute) as the statement runs inside a function whose module
// namespace is `globals`: `__import__` looked up in the built-ins at each use, the attribute (or the
// submodule) of what it gives, and the interpreter's ImportError texts.
object import_name(handle globals, const char* dotted, Name name);

// The same statement for a function that runs it at every call (a walk step), remembered while
// nothing the statement reads has changed: the built-in __import__ in unchanged built-ins,
// sys.modules, the module's namespace and the attributes of its __spec__. While none changed, the
// statement would give the same object again without running anything. Anything else (an
// __import__ of the user's, a module missing from sys.modules or without a __spec__) runs the
// statement every time. One memo per statement (it does not compare the names it is asked for);
// it relies on the GIL, as every kept verdict does.
class ImportMemo {
public:
    object get(handle globals, const char* dotted, Name name);
    template <typename Visit>
    void visit(Visit& v) {
        v(value_);
        v(module_);
        v(modules_);
        v(builtins_);
        v(spec_dict_);
    }

private:
    bool valid(PyObject* modules, PyObject* builtins) const;
    object value_;
    object module_;
    object modules_;
    object builtins_;
    object spec_dict_;
    uint64_t modules_version_ = 0;
    uint64_t builtins_version_ = 0;
    uint64_t module_dict_version_ = 0;
    uint64_t spec_dict_version_ = 0;
};

// The running body of a module being executed by multi-phase initialisation.
class ModuleBody {
public:
    explicit ModuleBody(PyObject* module);
    handle module() const { return module_; }
    handle globals() const { return globals_; }
    object name() const;
    // The module's own state (see QUARV_MODULE), made before the body runs.
    template <typename State>
    State& state() const {
        return *static_cast<State*>(module_state(module_));
    }

    // `import a.b` binds `a`; `import a.b as c` binds the submodule as `c`.
    object import_(const char* dotted);
    object import_as(const char* dotted, const char* as);
    // `from x import ...`; leading dots make it relative to the module's package.
    FromImport from_(const char* dotted);

    void set(std::string_view name, handle value);
    object get(std::string_view name) const;
    void doc(const char* text);

    template <typename Fn>
    object def(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return define(function_def(name.text(), name.text(), std::move(signature), fn, doc));
    }
    object define(const FunctionDef& def);
    ClassBuilder class_(std::string name, std::vector<object> bases = {}, handle metaclass = handle(),
                        const char* doc = nullptr) {
        return ClassBuilder(*this, std::move(name), std::move(bases), metaclass, doc);
    }

private:
    handle module_;
    handle globals_;
};

class FromImport {
public:
    FromImport(ModuleBody& body, const char* dotted);
    FromImport& import_(const char* name) { return import_as(name, name); }
    template <typename... Names>
    FromImport& import_(const char* first, Names... rest) {
        import_(first);
        return import_(rest...);
    }
    FromImport& import_as(const char* name, const char* as);

private:
    ModuleBody& body_;
    object source_;
    int level_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Module state
//
// What a module's native code keeps besides its namespace (its own classes and functions, to know
// them again; templates of inner functions) lives in a struct of the module's own, made for each
// module object before its body runs and freed with it. The struct names each object it holds
// (`object`, `std::vector<object>` and FunctionTemplate members) in a `visit` method, which is how
// the garbage collector sees them:
//
//     struct State {
//         object pattern;
//         FunctionTemplate handler;
//         template <typename Visit> void visit(Visit& v) { v(pattern); v(handler); }
//     };
//     QUARV_MODULE(ansi, "quarv.utils.ansi", body, State)
//
// Functions reach it as f.state<State>(), the body as m.state<State>().

struct NoState {
    template <typename Visit>
    void visit(Visit&) {}
};

namespace detail {

// What a module object keeps in its PyModule_GetState memory.
struct StateCell {
    void* state;
    int (*traverse)(void*, visitproc, void*);
    void (*clear)(void*);
    void (*destroy)(void*);
};

template <typename State>
struct StateOps {
    static void* create() { return new State(); }
    static int traverse(void* state, visitproc visit, void* arg) {
        GcVisitor visitor{visit, arg};
        static_cast<State*>(state)->visit(visitor);
        return visitor.result;
    }
    static void clear(void* state) {
        GcClearer clearer;
        static_cast<State*>(state)->visit(clearer);
    }
    static void destroy(void* state) { delete static_cast<State*>(state); }
};

struct ModuleSpec {
    void (*body)(ModuleBody&);
    void* (*create_state)();
    int (*traverse)(void*, visitproc, void*);
    void (*clear)(void*);
    void (*destroy)(void*);
};

int exec_module(PyObject* module, const ModuleSpec& spec) noexcept;
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

}  // namespace detail

using BodyFn = void (*)(ModuleBody&);

}  // namespace native

// Defines the extension module's init function:
//   QUARV_MODULE(dicts, "quarv.utils.dicts", body)            a module without state of its own
//   QUARV_MODULE(ansi, "quarv.utils.ansi", body, State)       with a State struct (see above)
#define QUARV_MODULE(...) QUARV_MODULE_PICK(__VA_ARGS__, QUARV_MODULE_WITH_STATE, QUARV_MODULE_NO_STATE)(__VA_ARGS__)
#define QUARV_MODULE_PICK(a, b, c, d, chosen, ...) chosen
#define QUARV_MODULE_NO_STATE(short_name, dotted_name, body_fn) \
    QUARV_MODULE_WITH_STATE(short_name, dotted_name, body_fn, ::native::NoState)
#define QUARV_MODULE_WITH_STATE(short_name, dotted_name, body_fn, State)                                   \
    static const ::native::detail::ModuleSpec quarv_spec_##short_name = {                                  \
        body_fn, &::native::detail::StateOps<State>::create, &::native::detail::StateOps<State>::traverse, \
        &::native::detail::StateOps<State>::clear, &::native::detail::StateOps<State>::destroy};           \
    static int quarv_exec_##short_name(PyObject* module) {                                                 \
        return ::native::detail::exec_module(module, quarv_spec_##short_name);                             \
    }                                                                                                      \
    static PyModuleDef_Slot quarv_slots_##short_name[] = {                                                 \
        {Py_mod_exec, reinterpret_cast<void*>(quarv_exec_##short_name)}, {0, nullptr}};                    \
    static PyModuleDef quarv_def_##short_name = {PyModuleDef_HEAD_INIT,                                    \
                                                 dotted_name,                                              \
                                                 nullptr,                                                  \
                                                 sizeof(::native::detail::StateCell),                      \
                                                 nullptr,                                                  \
                                                 quarv_slots_##short_name,                                 \
                                                 ::native::detail::traverse_module,                        \
                                                 ::native::detail::clear_module,                           \
                                                 ::native::detail::free_module};                           \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##short_name() {                    \
        return PyModuleDef_Init(&quarv_def_##short_name);                                                  \
    }
