// Class statements.
#include <string_view>

#include "native/module.hpp"

namespace native {

// ----- class statements ------------------------------------------------------------------------

namespace {

// The most derived metaclass of the bases, as the class statement computes it.
object derive_metaclass(handle explicit_meta, handle bases) {
    object winner = explicit_meta ? borrow(explicit_meta.ptr()) : borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    if (!PyType_Check(winner.ptr())) return winner;
    for (handle base : py::reinterpret_borrow<py::tuple>(bases)) {
        object base_meta = type_of(base);
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner.ptr()),
                             reinterpret_cast<PyTypeObject*>(base_meta.ptr())))
            continue;
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base_meta.ptr()),
                             reinterpret_cast<PyTypeObject*>(winner.ptr()))) {
            winner = base_meta;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return winner;
}

// The members that type.__new__ wraps when it finds a plain function under their name.
MethodKind implicit_kind(Name name) {
    std::string_view text = name.text();
    if (text == "__new__") return MethodKind::static_;
    if (text == "__init_subclass__" || text == "__class_getitem__") return MethodKind::class_;
    return MethodKind::plain;
}

object wrapped(handle fn, MethodKind kind) {
    switch (kind) {
        case MethodKind::static_:
            return steal(PyStaticMethod_New(fn.ptr()));
        case MethodKind::class_:
            return steal(PyClassMethod_New(fn.ptr()));
        case MethodKind::plain:
            break;
    }
    return borrow(fn.ptr());
}

}  // namespace

ClassBuilder::ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases, handle metaclass,
                           const char* doc)
    : module_(module), name_(std::move(name)), qualname_(name_) {
    bases_ = steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    for (size_t i = 0; i < bases.size(); ++i)
        PyTuple_SET_ITEM(bases_.ptr(), static_cast<Py_ssize_t>(i), bases[i].inc_ref().ptr());
    metaclass_ = derive_metaclass(metaclass, bases_);
    if (object prepare = optional_attr(metaclass_, "__prepare__")) {
        namespace_ = call(prepare, text(name_), bases_);
    } else {
        namespace_ = new_dict();
    }
    set("__module__", module_.name());
    set("__qualname__", text(name_));
    if (doc) set("__doc__", text(doc));
}

ClassBuilder ClassBuilder::nested(std::string name, std::vector<object> bases, handle metaclass, const char* doc) {
    ClassBuilder inner(module_, std::move(name), std::move(bases), metaclass, doc);
    inner.qualname_ = qualname_ + "." + inner.name_;
    inner.outer_ = this;
    inner.set("__qualname__", text(inner.qualname_));
    return inner;
}

ClassBuilder& ClassBuilder::set(Name name, handle value) {
    // type.__new__ only wraps Python functions, so a native one is wrapped here, where the class
    // body would have stored the function
    object member = is_native_function(value) ? wrapped(value, implicit_kind(name)) : borrow(value.ptr());
    check(PyObject_SetItem(namespace_.ptr(), intern(name), member.ptr()));
    return *this;
}

Decorated ClassBuilder::decorated(std::initializer_list<handle> decorators) {
    std::vector<object> held;
    for (handle decorator : decorators) held.push_back(borrow(decorator.ptr()));
    return Decorated(*this, std::move(held));
}

object ClassBuilder::make_method(const FunctionDef& def) {
    // defaults see the names bound so far in the class body, whatever mapping __prepare__ gave
    object names = namespace_;
    if (!PyDict_Check(names.ptr())) {
        names = new_dict();
        check(PyDict_Merge(names.ptr(), namespace_.ptr(), 1));
    }
    object fn = make_function(def, module_, names);
    functions_.push_back(fn);
    return fn;
}

object ClassBuilder::apply(const std::vector<object>& decorators, object fn) {
    for (auto decorator = decorators.rbegin(); decorator != decorators.rend(); ++decorator) fn = call(*decorator, fn);
    return fn;
}

ClassBuilder& ClassBuilder::add(Name name, object fn, MethodKind kind, const std::vector<object>& decorators) {
    return set(name, wrapped(apply(decorators, std::move(fn)), kind));
}

ClassBuilder& ClassBuilder::store_property(Name name, handle getter, handle setter, handle deleter) {
    handle none(Py_None);
    object member = call(handle(reinterpret_cast<PyObject*>(&PyProperty_Type)), getter, setter ? setter : none,
                         deleter ? deleter : none, none);
    return set(name, member);
}

object ClassBuilder::create() {
    object cls = call(metaclass_, text(name_), bases_, namespace_);
    for (const object& fn : functions_) set_defining_class(fn, cls);
    if (outer_) {
        check(PyObject_SetItem(outer_->namespace_.ptr(), name_of(name_).ptr(), cls.ptr()));
    } else {
        module_.set(name_, cls);
    }
    return cls;
}

}  // namespace native
