// The shared runtime of the quarv.utils extension modules.
//
// Module code is written as the Python module it implements reads: a body that runs statement by
// statement (imports, constants, definitions), functions declared with their Python signature text,
// classes made by calling their metaclass. Objects are handled through pybind11's wrappers; errors
// travel as py::error_already_set and become Python exceptions at the function boundary.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace native {

namespace py = pybind11;
using py::handle;
using py::object;

// ---------------------------------------------------------------------------------------------
// Object helpers

// Takes ownership of a new reference returned by the C API; a NULL result means the API set an
// error, which is raised as a C++ exception.
[[noreturn]] void throw_error_already_set();
[[gnu::always_inline]] inline object steal(PyObject* result) {
    if (__builtin_expect(!result, 0)) throw_error_already_set();
    return py::reinterpret_steal<object>(result);
}
[[gnu::always_inline]] inline object borrow(PyObject* result) {
    if (__builtin_expect(!result, 0)) throw_error_already_set();
    return py::reinterpret_borrow<object>(result);
}
// Turns a C API status (-1 with an error set) into an exception.
inline int check(int status) {
    if (status < 0) throw py::error_already_set();
    return status;
}

// An interned text object for a C string literal, created once per literal.
PyObject* intern(const char* text);

inline bool is_instance(handle obj, handle cls) { return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0; }
inline bool truth(handle obj) { return check(PyObject_IsTrue(obj.ptr())) != 0; }
inline object attr(handle obj, handle name) { return steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }
inline object attr(handle obj, const char* name) { return attr(obj, handle(intern(name))); }
inline void set_attr(handle obj, handle name, handle value) { check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr())); }
inline void set_attr(handle obj, const char* name, handle value) { set_attr(obj, handle(intern(name)), value); }
// `getattr(obj, name, <missing>)`: an empty object when obj has no such attribute, without an
// AttributeError ever being built; other errors are raised.
inline object optional_attr(handle obj, handle name) {
    PyObject* found = nullptr;
    check(_PyObject_LookupAttr(obj.ptr(), name.ptr(), &found));
    return found ? py::reinterpret_steal<object>(found) : object();
}
inline object optional_attr(handle obj, const char* name) { return optional_attr(obj, handle(intern(name))); }
inline object type_of(handle obj) { return py::reinterpret_borrow<object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))); }
inline object str_of(handle obj) { return steal(PyObject_Str(obj.ptr())); }
inline object repr_of(handle obj) { return steal(PyObject_Repr(obj.ptr())); }
inline object text(std::string_view s) { return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }
inline std::string utf8(handle text_obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text_obj.ptr(), &size);
    if (!data) throw py::error_already_set();
    return std::string(data, static_cast<size_t>(size));
}

// Calls a method by name with positional arguments (vectorcall, no bound-method object).
template <typename... Args>
object call_method(handle obj, const char* name, Args&&... args) {
    PyObject* argv[] = {obj.ptr(), handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(intern(name), argv, 1 + sizeof...(Args), nullptr));
}
// Calls a callable with positional arguments.
template <typename... Args>
object call(handle callable, Args&&... args) {
    PyObject* argv[] = {nullptr, handle(args).ptr()...};
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}
inline object call(handle callable) { return steal(PyObject_CallNoArgs(callable.ptr())); }

// Calls with positional arguments and keyword arguments given as (name, value) pairs.
struct Kw {
    const char* name;
    handle value;
};
object call_kw(handle callable, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs);

// ---------------------------------------------------------------------------------------------
// Errors

// Raises `exc_type(message)`.
[[noreturn]] void raise(handle exc_type, std::string_view message);
// Raises an exception instance (or class) as `raise exc` would, keeping the context the
// interpreter gives it.
[[noreturn]] void raise(handle exc);
// `raise exc from cause`: the cause is kept as __cause__ and as __context__.
[[noreturn]] void raise_from(handle exc, handle cause);
// The replaced exception kept only as the context, as a bare `raise exc` inside `except` does.
[[noreturn]] void raise_with_context(handle exc, handle context);
// `raise exc from None` inside `except`: the context is kept but suppressed.
[[noreturn]] void raise_from_none(handle exc, handle context);

// Deep recursion of native code: enters the interpreter's recursion accounting and also checks
// the native stack itself, so a raised recursion limit cannot make native code overflow it.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where = "");
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---------------------------------------------------------------------------------------------
// Functions

struct FunctionObject;
class Frame;

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

namespace detail {
template <typename Fn, size_t... I>
PyObject* invoke(Frame& frame, PyObject* const* slots, void* target, std::index_sequence<I...>) {
    auto fn = reinterpret_cast<Fn>(target);
    return fn(frame, handle(slots[I])...).release().ptr();
}
template <typename... H>
PyObject* trampoline(Frame& frame, PyObject* const* slots, void* target) {
    return invoke<NativeFn<H...>>(frame, slots, target, std::index_sequence_for<H...>{});
}
}  // namespace detail

template <typename... H>
FunctionDef function_def(std::string name, std::string qualname, std::string signature, NativeFn<H...> fn,
                         const char* doc = nullptr) {
    return FunctionDef{std::move(name), std::move(qualname), std::move(signature), doc, &detail::trampoline<H...>,
                       reinterpret_cast<void*>(fn), sizeof...(H)};
}

// One call site's memory of a module-level look-up. The module dict's version tag changes whenever
// the dict changes, so an unchanged tag proves the remembered value is what a look-up gives now.
struct GlobalSlot {
    const char* name;
    PyObject* dict = nullptr;
    uint64_t version = 0;
    PyObject* builtins = nullptr;  // set when the name was found among the built-ins
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;     // borrowed: the unchanged dict holds it
};

// The view a running native function has of itself and its module.
class Frame {
public:
    Frame(FunctionObject* fn, PyObject* globals, PyObject* builtins) : fn_(fn), globals_(globals), builtins_(builtins) {}
    // A module-level name, looked up now: the module namespace, then the built-ins the function was
    // made with, else NameError.
    object global(const char* name) const;
    object global(handle name) const;
    // The same look-up for a hot call site, answered from the slot while the module dict is unchanged;
    // write it as NATIVE_GLOBAL(f, "Mapping").
    [[gnu::always_inline]] object global(GlobalSlot& slot) const {
        if (slot.dict == globals_ && slot.version == reinterpret_cast<PyDictObject*>(globals_)->ma_version_tag &&
            (!slot.builtins || builtins_unchanged(slot)))
            return borrow(slot.value);
        return refresh(slot);
    }
    handle globals() const;
    // The values captured when the function object was made (inner functions).
    handle closure(size_t index) const;
    // The function object being run.
    handle function() const;
    // super(<defining class>, obj), following obj's MRO from the class the method was defined in.
    object super_(handle obj) const;
    // Calls `super().<name>(args...)` for obj.
    template <typename... Args>
    object super_call(handle obj, const char* name, Args&&... args) const {
        return call(attr(super_(obj), name), std::forward<Args>(args)...);
    }
    // True when the module-level `name` still refers to this very function object; lets a recursive
    // call skip argument parsing while staying a look-up of the module name at each call.
    bool is_self(handle obj) const;

private:
    object refresh(GlobalSlot& slot) const;
    [[gnu::always_inline]] bool builtins_unchanged(const GlobalSlot& slot) const {
        return slot.builtins == builtins_ &&
               slot.builtins_version == reinterpret_cast<PyDictObject*>(builtins_)->ma_version_tag;
    }
    FunctionObject* fn_;
    PyObject* globals_;
    PyObject* builtins_;
};

// The frame a native function object runs in: for calling its implementation directly once a
// looked-up name or method is known to be that very function.
Frame frame_of(handle function);

// While alive, `exc` is the exception being handled, as in the body of an `except` clause: what is
// raised meanwhile (here or by Python code called from here) gets it as its context, and
// sys.exc_info() sees it.
class Handling {
public:
    explicit Handling(handle exc) : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc.ptr()); }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;
};

// A per-definition template: the parsed signature, its stub code object and the defaults, made once
// when the defining body runs. New function objects can be made from it (inner functions).
class FunctionTemplate {
public:
    FunctionTemplate(const FunctionDef& def, handle globals, handle module_name, handle class_namespace = handle());
    // A new function object, optionally closing over `closure` (a tuple).
    object make(handle closure = handle()) const;

private:
    object shared_;  // a capsule holding the shared signature data
};

// Makes one function object from a definition, evaluating defaults in `globals`.
object make_function(const FunctionDef& def, handle globals, handle module_name, handle class_namespace = handle());
// Sets the class that super_() starts from (done by ClassBuilder after the class exists).
void set_defining_class(handle function, handle cls);

#define NATIVE_GLOBAL(frame, literal)                                 \
    (frame).global([]() -> ::native::GlobalSlot& {                    \
        static ::native::GlobalSlot native_global_slot{literal};       \
        return native_global_slot;                                    \
    }())

// ---------------------------------------------------------------------------------------------
// Classes

class ModuleBody;

// Builds a class as a `class` statement does: the metaclass is derived from the bases, its
// __prepare__ gives the namespace, the members are added in order, the metaclass is called.
class ClassBuilder {
public:
    ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases = {}, handle metaclass = handle(),
                 const char* doc = nullptr);
    template <typename... H>
    ClassBuilder& def(const char* name, std::string signature, NativeFn<H...> fn, const char* doc = nullptr) {
        return add_function(name, function_def(name, qualified(name), std::move(signature), fn, doc), Wrap::none);
    }
    template <typename... H>
    ClassBuilder& staticmethod(const char* name, std::string signature, NativeFn<H...> fn, const char* doc = nullptr) {
        return add_function(name, function_def(name, qualified(name), std::move(signature), fn, doc), Wrap::static_);
    }
    template <typename... H>
    ClassBuilder& classmethod(const char* name, std::string signature, NativeFn<H...> fn, const char* doc = nullptr) {
        return add_function(name, function_def(name, qualified(name), std::move(signature), fn, doc), Wrap::class_);
    }
    template <typename... H>
    ClassBuilder& property(const char* name, NativeFn<H...> getter, const char* doc = nullptr) {
        return add_function(name, function_def(name, qualified(name), "(self)", getter, doc), Wrap::property);
    }
    ClassBuilder& set(const char* name, handle value);
    handle namespace_() const { return namespace__; }
    // Runs the metaclass, binds the class in the module and returns it.
    object create();

private:
    enum class Wrap { none, static_, class_, property };
    ClassBuilder& add_function(const char* name, const FunctionDef& def, Wrap wrap);
    std::string qualified(const char* name) const { return name_ + "." + name; }

    ModuleBody& module_;
    std::string name_;
    object bases_;
    object metaclass_;
    object namespace__;
    std::vector<object> functions_;
};

// ---------------------------------------------------------------------------------------------
// Modules

class FromImport;

// The running body of a module being executed by multi-phase initialisation.
class ModuleBody {
public:
    explicit ModuleBody(PyObject* module);
    handle module() const { return module_; }
    handle globals() const { return globals_; }
    object name() const;

    // `import a.b` binds `a`; `import a.b as c` binds the submodule as `c`.
    object import_(const char* dotted);
    object import_as(const char* dotted, const char* as);
    // `from x import ...`; leading dots make it relative to the module's package.
    FromImport from_(const char* dotted);

    void set(const char* name, handle value);
    object get(const char* name) const;
    void doc(const char* text);

    template <typename... H>
    object def(const char* name, std::string signature, NativeFn<H...> fn, const char* doc = nullptr) {
        return define(function_def(name, name, std::move(signature), fn, doc));
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

using BodyFn = void (*)(ModuleBody&);
int run_module_body(PyObject* module, BodyFn body);

}  // namespace native

// Defines the extension module's init function: `QUARV_MODULE(dicts, "quarv.utils.dicts", body)`.
#define QUARV_MODULE(short_name, dotted_name, body_fn)                                              \
    static int quarv_exec_##short_name(PyObject* module) { return ::native::run_module_body(module, body_fn); } \
    static PyModuleDef_Slot quarv_slots_##short_name[] = {                                          \
        {Py_mod_exec, reinterpret_cast<void*>(quarv_exec_##short_name)}, {0, nullptr}};            \
    static PyModuleDef quarv_def_##short_name = {PyModuleDef_HEAD_INIT, dotted_name, nullptr, 0, nullptr, \
                                                 quarv_slots_##short_name, nullptr, nullptr, nullptr}; \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##short_name() {             \
        return PyModuleDef_Init(&quarv_def_##short_name);                                           \
    }
