// Class statements: a class built by calling its metaclass with its bases and a namespace of native
// functions, exactly as a `class` statement builds one.
#pragma once

#include <string>
#include <vector>

#include "native/function.hpp"

namespace native {

class ModuleBody;

// Builds a class as a `class` statement does: the metaclass is derived from the bases, its
// __prepare__ gives the namespace, the members are added in order, the metaclass is called.
class ClassBuilder {
public:
    ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases = {}, handle metaclass = handle(),
                 const char* doc = nullptr);
    template <typename Fn>
    ClassBuilder& def(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return add_function(name, function_def(name.text(), qualified(name), std::move(signature), fn, doc),
                            Wrap::none);
    }
    template <typename Fn>
    ClassBuilder& staticmethod(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return add_function(name, function_def(name.text(), qualified(name), std::move(signature), fn, doc),
                            Wrap::static_);
    }
    template <typename Fn>
    ClassBuilder& classmethod(Name name, std::string signature, Fn fn, const char* doc = nullptr) {
        return add_function(name, function_def(name.text(), qualified(name), std::move(signature), fn, doc),
                            Wrap::class_);
    }
    template <typename Fn>
    ClassBuilder& property(Name name, Fn getter, const char* doc = nullptr) {
        return add_function(name, function_def(name.text(), qualified(name), "(self)", getter, doc), Wrap::property);
    }
    ClassBuilder& set(Name name, handle value);
    handle class_namespace() const { return namespace_; }
    // Runs the metaclass, binds the class in the module and returns it.
    object create();

private:
    enum class Wrap { none, static_, class_, property };
    ClassBuilder& add_function(Name name, const FunctionDef& def, Wrap wrap);
    std::string qualified(Name name) const { return name_ + "." + name.text(); }

    ModuleBody& module_;
    std::string name_;
    object bases_;
    object metaclass_;
    object namespace_;
    std::vector<object> functions_;
};

}  // namespace native
