// The native function type: a C++ implementation behind a Python function's face, declared with its
// Python signature text; and the frame through which a running implementation reaches its module.
#pragma once

#include <string>
#include <utility>

#include "native/errors.hpp"

namespace native {

struct FunctionObject;
class Frame;
class ModuleBody;

// A C++ implementation receives the frame and one borrowed handle per parameter, in signature
// order (positional parameters, keyword-only parameters, *args tuple, **kwargs dict).
using Trampoline = PyObject* (*)(Frame&, PyObject* const* slots, void* target);

struct FunctionDef {
    std::string name;
    std::string qualname;
    std::string signature;  // Python text: "(a, b, *, list_extend=False) -> 'str'"
    const char* doc = nullptr;
    Trampoline trampoline = nullptr;
    void* target = nullptr;
    size_t arity = 0;
};

template <typename... H>
using NativeFn = object (*)(Frame&, H...);
// An implementation that fails without throwing: a null Result with the error set.
template <typename... H>
using NativeResultFn = Result (*)(Frame&, H...);

namespace detail {
template <typename Fn, size_t... I>
PyObject* invoke(Frame& frame, PyObject* const* slots, void* target, std::index_sequence<I...>) {
    auto fn = reinterpret_cast<Fn>(target);
    return fn(frame, handle(slots[I])...).release().ptr();
}
template <typename Fn, size_t... I>
PyObject* invoke_result(Frame& frame, PyObject* const* slots, void* target, std::index_sequence<I...>) {
    auto fn = reinterpret_cast<Fn>(target);
    return std::move(fn(frame, handle(slots[I])...)).release();
}
template <typename... H>
PyObject* trampoline(Frame& frame, PyObject* const* slots, void* target) {
    return invoke<NativeFn<H...>>(frame, slots, target, std::index_sequence_for<H...>{});
}
template <typename... H>
PyObject* result_trampoline(Frame& frame, PyObject* const* slots, void* target) {
    return invoke_result<NativeResultFn<H...>>(frame, slots, target, std::index_sequence_for<H...>{});
}
}  // namespace detail

template <typename... H>
FunctionDef function_def(std::string name, std::string qualname, std::string signature, NativeFn<H...> fn,
                         const char* doc = nullptr) {
    return FunctionDef{std::move(name),           std::move(qualname),         std::move(signature), doc,
                       &detail::trampoline<H...>, reinterpret_cast<void*>(fn), sizeof...(H)};
}
template <typename... H>
FunctionDef function_def(std::string name, std::string qualname, std::string signature, NativeResultFn<H...> fn,
                         const char* doc = nullptr) {
    return FunctionDef{std::move(name),
                       std::move(qualname),
                       std::move(signature),
                       doc,
                       &detail::result_trampoline<H...>,
                       reinterpret_cast<void*>(fn),
                       sizeof...(H)};
}

// One call site's memory of a module-level look-up. A dict's version tag changes whenever the dict
// changes and is never reused, so an unchanged tag of the same dict proves the remembered value is
// what a look-up gives now. Shared by every copy of the module (a new copy has a new dict, and the
// slot simply refreshes); it owns nothing.
struct GlobalSlot {
    Name name;
    PyObject* dict = nullptr;
    uint64_t version = 0;
    PyObject* builtins = nullptr;  // set when the name was found among the built-ins
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;  // borrowed: the unchanged dict holds it
};

// The state of a module (module.hpp) as its functions see it.
void* module_state(handle module);

// The view a running native function has of itself and its module.
class Frame {
public:
    Frame(FunctionObject* fn, PyObject* globals, PyObject* builtins, PyObject* module)
        : fn_(fn), globals_(globals), builtins_(builtins), module_(module) {}
    // A module-level name, looked up now: the module namespace, then the built-ins the function was
    // made with, else NameError.
    object global(Name name) const;
    object global(handle name) const;
    // The same look-up for a hot call site, answered from the slot while the module dict is unchanged;
    // write it as NATIVE_GLOBAL(f, "Mapping").
    [[gnu::always_inline]] object global(GlobalSlot& slot) const {
        if (slot.dict == globals_ && slot.version == internals::dict_version(globals_) &&
            (!slot.builtins || builtins_unchanged(slot)))
            return borrow(slot.value);
        return refresh(slot);
    }
    handle globals() const { return globals_; }
    // The module object the function was defined in.
    handle module() const { return module_; }
    // The defining module's own state, of the type the module declared (module.hpp).
    template <typename State>
    State& state() const {
        return *static_cast<State*>(module_state(module_));
    }
    // The values captured when the function object was made (inner functions).
    handle closure(size_t index) const;
    // The function object being run.
    handle function() const;
    // super(<defining class>, obj), following obj's MRO from the class the method was defined in.
    object super_(handle obj) const;
    // Calls `super().<name>(args...)` for obj.
    template <typename... Args>
    object super_call(handle obj, Name name, const Args&... args) const {
        return call(attr(super_(obj), name), args...);
    }
    // True when the module-level `name` still refers to this very function object; lets a recursive
    // call skip argument parsing while staying a look-up of the module name at each call.
    bool is_self(handle obj) const;

private:
    object refresh(GlobalSlot& slot) const;
    [[gnu::always_inline]] bool builtins_unchanged(const GlobalSlot& slot) const {
        return slot.builtins == builtins_ && slot.builtins_version == internals::dict_version(builtins_);
    }
    FunctionObject* fn_;
    PyObject* globals_;
    PyObject* builtins_;
    PyObject* module_;
};

// The frame a native function object runs in: for calling its implementation directly once a
// looked-up name or method is known to be that very function.
Frame frame_of(handle function);

#define NATIVE_GLOBAL(frame, literal)                            \
    (frame).global([]() -> ::native::GlobalSlot& {               \
        static ::native::GlobalSlot native_global_slot{literal}; \
        return native_global_slot;                               \
    }())

// A definition made once, when the defining body runs (signature parsed, defaults evaluated), from
// which function objects are made: inner functions, each with its own closure. It is itself a
// function object (the first one), so keeping it in the module's state keeps it visible to the
// garbage collector.
class FunctionTemplate {
public:
    FunctionTemplate() = default;
    FunctionTemplate(const FunctionDef& def, ModuleBody& module, handle class_namespace = handle());
    // A new function object, closing over `closure` (a tuple), or none.
    object make(handle closure = handle()) const;
    object& prototype() { return prototype_; }

private:
    object prototype_;
};

// Makes one function object from a definition, in the module being defined (defaults evaluated in
// its namespace and, for methods, in the class namespace).
object make_function(const FunctionDef& def, ModuleBody& module, handle class_namespace = handle());
// Sets the class that super_() starts from (done by ClassBuilder after the class exists).
void set_defining_class(handle function, handle cls);
// Whether obj is a native function object.
bool is_native_function(handle obj);

}  // namespace native
