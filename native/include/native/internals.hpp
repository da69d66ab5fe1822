// Every use of the interpreter's private API and internal fields, gathered here with what each one
// relies on. All of them hold for CPython 3.11; the build stops on any other version.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error \
    "quarv-utils builds for CPython 3.11 only: its native runtime relies on 3.11 internals (see native/include/native/internals.hpp)"
#endif

namespace native::internals {

// getattr(obj, name) that reports a missing attribute as 0 with *result null, without building an
// AttributeError (3.13 publishes it as PyObject_GetOptionalAttr).
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// A dict's version tag (PEP 509): a fresh, process-wide unique value after every change of that
// dict, so an unchanged tag proves an unchanged dict. 3.12 deprecates the field.
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// A name looked up along a type's MRO without descriptors being run: a borrowed result, or null
// (no error set) when no class defines it.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The slot of an object's instance __dict__ (null when its type has none); the dict itself may
// still be null when nothing was stored yet.
inline PyObject** instance_dict_slot(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// Whether a module spec is marked as still executing (the "partially initialized module" import
// error depends on it).
inline int spec_is_initializing(PyObject* spec) { return _PyModuleSpec_IsInitializing(spec); }

// A type's version tag: non-zero and valid only while Py_TPFLAGS_VALID_VERSION_TAG is set, and
// renewed by every change of the type or its bases; 0 when the type has no valid tag now.
inline unsigned int type_version(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The byte offset of a slot member (`__slots__` entry) of a type, from its member descriptor.
inline Py_ssize_t member_offset(PyObject* member_descriptor) {
    return reinterpret_cast<PyMemberDescrObject*>(member_descriptor)->d_member->offset;
}

// The parameter counts and flags of a code object (public struct fields in 3.11).
struct CodeShape {
    int argcount;
    int posonly;
    int kwonly;
    bool varargs;
    bool varkw;
};
inline CodeShape code_shape(PyObject* code) {
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    return {co->co_argcount, co->co_posonlyargcount, co->co_kwonlyargcount, (co->co_flags & CO_VARARGS) != 0,
            (co->co_flags & CO_VARKEYWORDS) != 0};
}

// How the interpreter names a callable in call errors: "f()" for a function, else its type's name
// (a new reference).
inline PyObject* function_text(PyObject* callable) { return _PyObject_FunctionStr(callable); }

// Makes (type, value, traceback), taken out of the indicator earlier, the context of the error now
// pending, as an error raised in a `finally:` clause gets the one in flight; with nothing pending,
// restores it. Steals the three references.
inline void chain_exceptions(PyObject* type, PyObject* value, PyObject* traceback) {
    _PyErr_ChainExceptions(type, value, traceback);
}

}  // namespace native::internals
