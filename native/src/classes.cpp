// Class statements.
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

}  // namespace

ClassBuilder::ClassBuilder(ModuleBody& module, std::string name, std::vector<object> bases, handle metaclass,
                           const char* doc)
    : module_(module), name_(std::move(name)) {
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

ClassBuilder& ClassBuilder::set(Name name, handle value) {
    check(PyObject_SetItem(namespace_.ptr(), intern(name), value.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::add_function(Name name, const FunctionDef& def, Wrap wrap) {
    object ns = PyDict_Check(namespace_.ptr()) ? namespace_ : new_dict();
    object fn = make_function(def, module_, ns);
    functions_.push_back(fn);
    object member = fn;
    switch (wrap) {
        case Wrap::none:
            break;
        case Wrap::static_:
            member = steal(PyStaticMethod_New(fn.ptr()));
            break;
        case Wrap::class_:
            member = steal(PyClassMethod_New(fn.ptr()));
            break;
        case Wrap::property:
            member = call(handle(reinterpret_cast<PyObject*>(&PyProperty_Type)), fn);
            break;
    }
    return set(name, member);
}

object ClassBuilder::create() {
    object cls = call(metaclass_, text(name_), bases_, namespace_);
    for (const object& fn : functions_) set_defining_class(fn, cls);
    module_.set(name_, cls);
    return cls;
}

}  // namespace native
