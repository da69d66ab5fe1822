// Class statements: a class built by calling its metaclass with its bases and a namespace of native
// functions, exactly as a `class` statement builds one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "native/function.hpp"

namespace native {

class ModuleBody;
class ClassBuilder;

// A C++ implementation of a function (a function pointer, see function_def), or nullptr where a
// property accessor is left out.
template <typename Fn>
concept Implementation = std::is_pointer_v<Fn> && std::is_function_v<std::remove_pointer_t<Fn>>;
template <typename Fn>
concept OptionalImplementation = Implementation<Fn> || std::is_null_pointer_v<Fn>;

enum class MethodKind { plain, static_, class_ };

// The statements of a class body that define a function member, shared by a class builder and its
// decorated form (ClassBuilder::decorated). Each returns the class builder.
template <typename Self>
class MemberDefinitions {
public:
    template <Implementation Fn>
    ClassBuilder& def(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return self().add_method(name, std::move(signature), fn, doc, MethodKind::plain);
    }
    template <Implementation Fn>
    ClassBuilder& staticmethod(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return self().add_method(name, std::move(signature), fn, doc, MethodKind::static_);
    }
    template <Implementation Fn>
    ClassBuilder& classmethod(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return self().add_method(name, std::move(signature), fn, doc, MethodKind::class_);
    }
    // `property(fget, fset, fdel, doc)`: the getter takes (self), the setter (self, value), the
    // deleter (self); an accessor left out is nullptr. Without a doc the property shows the getter's,
    // as property() does.
    template <Implementation Get, OptionalImplementation Set = std::nullptr_t,
              OptionalImplementation Del = std::nullptr_t>
    ClassBuilder& property(Name name, Get getter, Set setter = nullptr, Del deleter = nullptr,
                           const char* doc = nullptr) {
        return self().add_property(name, getter, setter, deleter, doc);
    }
    // A read-only property with a doc.
    template <Implementation Get>
    ClassBuilder& property(Name name, Get getter, const char* doc) {
        return self().add_property(name, getter, nullptr, nullptr, doc);
    }

private:
    Self& self() { return static_cast<Self&>(*this); }
};

// The members of a class written under decorators (see ClassBuilder::decorated).
class Decorated : public MemberDefinitions<Decorated> {
private:
    friend class ClassBuilder;
    friend class MemberDefinitions<Decorated>;
    Decorated(ClassBuilder& builder, std::vector<object> decorators)
        : builder_(builder), decorators_(std::move(decorators)) {}
    template <typename Fn>
    ClassBuilder& add_method(Name name, std::string signature, Fn fn, const char* doc, MethodKind kind);
    template <typename Get, typename Set, typename Del>
    ClassBuilder& add_property(Name name, Get getter, Set setter, Del deleter, const char* doc);

    ClassBuilder& builder_;
    std::vector<object> decorators_;
};

// Builds a class as a `class` statement does: the metaclass is derived from the bases, its
// __prepare__ gives the namespace, the members are added in order, the metaclass is called.
//
// As type.__new__ does for a Python function, a native function stored as `__new__` is made a
// staticmethod, and one stored as `__init_subclass__` or `__class_getitem__` a classmethod.
class ClassBuilder : public MemberDefinitions<ClassBuilder> {
public:
    ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases = {}, handle metaclass = handle(),
                 const char* doc = nullptr);

    // Members written under decorators, listed top to bottom as in Python source:
    //     builder.decorated({abstractmethod}).def("area", "(self)", &area);
    // is `@abstractmethod` over `def area(self)`. The decorators are applied bottom-up to the
    // function before the member is stored; staticmethod, classmethod and property stay outermost,
    // where Python code puts them (the decorators of a property apply to its getter).
    Decorated decorated(std::initializer_list<handle> decorators);

    // A function of this class (qualified name, defaults evaluated in the class namespace, super_()
    // starting from the class once it exists), made but not stored: for members put together by hand.
    template <Implementation Fn>
    object function(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return make_method(function_def(name.text(), qualified(name), std::move(signature), fn, doc));
    }
    // `class Inner(...):` in this class's body: a builder of a class whose __qualname__ is
    // "Outer.Inner" and whose create() binds it in this class's namespace instead of the module's.
    // Create it before this class, while this builder is alive.
    ClassBuilder nested(std::string name, std::vector<object> bases = {}, handle metaclass = handle(),
                        const char* doc = nullptr);
    // `name = value` in the class body.
    ClassBuilder& set(Name name, handle value);
    handle class_namespace() const { return namespace_; }
    // Runs the metaclass, binds the class in the module and returns it.
    object create();

private:
    friend class MemberDefinitions<ClassBuilder>;
    friend class Decorated;

    template <typename Fn>
    ClassBuilder& add_method(Name name, std::string signature, Fn fn, const char* doc, MethodKind kind,
                             const std::vector<object>& decorators = {}) {
        return add(name, function(name, std::move(signature), fn, doc), kind, decorators);
    }
    template <typename Get, typename Set, typename Del>
    ClassBuilder& add_property(Name name, Get getter, Set setter, Del deleter, const char* doc,
                               const std::vector<object>& decorators = {}) {
        object fget = apply(decorators, function(name, "(self)", getter, doc));
        return store_property(name, fget, accessor(name, "(self, value)", setter), accessor(name, "(self)", deleter));
    }
    template <typename Fn>
    object accessor(Name name, std::string signature, Fn fn) {
        if constexpr (std::is_null_pointer_v<Fn>) {
            return object();
        } else {
            return function(name, std::move(signature), fn);
        }
    }
    ClassBuilder& add(Name name, object fn, MethodKind kind, const std::vector<object>& decorators);
    ClassBuilder& store_property(Name name, handle getter, handle setter, handle deleter);
    static object apply(const std::vector<object>& decorators, object fn);
    object make_method(const FunctionDef& def);
    std::string qualified(Name name) const { return qualname_ + "." + name.text(); }

    ModuleBody& module_;
    std::string name_;
    std::string qualname_;
    ClassBuilder* outer_ = nullptr;  // the class whose body holds this one's statement
    object bases_;
    object metaclass_;
    object namespace_;
    std::vector<object> functions_;
};

template <typename Fn>
ClassBuilder& Decorated::add_method(Name name, std::string signature, Fn fn, const char* doc, MethodKind kind) {
    return builder_.add_method(name, std::move(signature), fn, doc, kind, decorators_);
}

template <typename Get, typename Set, typename Del>
ClassBuilder& Decorated::add_property(Name name, Get getter, Set setter, Del deleter, const char* doc) {
    return builder_.add_property(name, getter, setter, deleter, doc, decorators_);
}

// The entry `name` of a class's own namespace as its class statement made it (a function, a
// classmethod object...): what a module keeps to recognise its own methods later. SystemError when
// the class has no such entry.
inline object class_member(handle cls, Name name) {
    PyObject* found = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, intern(name));
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "class member missing: %s", name.text());
        throw_error();
    }
    return borrow(found);
}

}  // namespace native
