// Recognising a module's own methods on classes and instances (see own.hpp).
#include "native/own.hpp"

namespace native {

bool instance_shadows(handle obj, PyObject* name) {
    if (!Py_TYPE(obj.ptr())->tp_dictoffset) return false;
    PyObject** slot = internals::instance_dict_slot(obj.ptr());
    if (!slot || !*slot) return false;
    // the dict is the instance's own and stays alive while obj does; nothing is kept from it
    if (PyDict_GetItemWithError(*slot, name)) return true;
    if (PyErr_Occurred()) throw_error();
    return false;
}

void OwnMethods::record(handle cls, std::span<const Name> names) {
    if (names.size() > 32 || !PyType_Check(cls.ptr())) {
        PyErr_SetString(PyExc_SystemError, "own methods: a class and at most 32 names");
        throw_error();
    }
    std::vector<object> members;
    for (Name name : names) {
        PyObject* found = internals::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), intern(name));
        if (!found) {
            PyErr_Format(PyExc_SystemError, "class member missing: %s", name.text());
            throw_error();
        }
        members.push_back(py::reinterpret_borrow<object>(found));
    }
    names_.assign(names.begin(), names.end());
    members_ = std::move(members);
    verdict_.forget();
}

uint32_t OwnMethods::compute(PyTypeObject* type) const {
    if (type->tp_getattro != PyObject_GenericGetAttr) return 0;  // a __getattribute__ decides
    uint32_t bits = 0;
    for (size_t i = 0; i < members_.size(); ++i) {
        // a look-up along the MRO runs no Python code
        if (internals::type_lookup(type, intern(names_[i])) == members_[i].ptr()) bits |= uint32_t{1} << i;
    }
    return bits;
}

uint32_t OwnMethods::instance_bits(handle obj, uint32_t wanted) {
    uint32_t bits = class_bits(Py_TYPE(obj.ptr())) & wanted;
    if (!bits || !Py_TYPE(obj.ptr())->tp_dictoffset) return bits;
    for (size_t i = 0; i < members_.size(); ++i) {
        uint32_t bit = uint32_t{1} << i;
        if ((bits & bit) && instance_shadows(obj, intern(names_[i]))) bits &= ~bit;
    }
    return bits;
}

}  // namespace native
