// The record type Location and location_deepcopy.
#include <structmember.h>

#include "locations.hpp"

namespace locations {

namespace {

// The class made by this module, its own __init__ and where its three slots live.
struct LocationClass {
    PyTypeObject* type = nullptr;
    PyObject* init = nullptr;
    Py_ssize_t offsets[3] = {0, 0, 0};  // file, line, column
};
LocationClass known;

const char* const slot_names[3] = {"file", "line", "column"};

PyObject*& slot(handle record, int index) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record.ptr()) + known.offsets[index]);
}

bool is_known_record(handle obj) { return known.type && Py_TYPE(obj.ptr()) == known.type; }

// `Location()` skips the class call when it would only run this module's __init__ on no entries.
bool builds_directly(handle location_cls) {
    if (!known.type || location_cls.ptr() != reinterpret_cast<PyObject*>(known.type)) return false;
    PyObject* init = PyDict_GetItemWithError(known.type->tp_dict, intern("__init__"));
    if (!init && PyErr_Occurred()) throw py::error_already_set();
    return init == known.init;
}

// `%d` of the text form: an int as it is, any other number through its own integer conversion
// (`__int__`, else `__index__`), which also rejects an `__int__` that returns no int.
object decimal(handle value) {
    if (PyLong_Check(value.ptr())) return steal(PyLong_Type.tp_repr(value.ptr()));
    if (!PyNumber_Check(value.ptr())) raise(PyExc_TypeError, "an integer is required");
    object converted = steal(PyNumber_Long(value.ptr()));
    return steal(PyLong_Type.tp_repr(converted.ptr()));
}

}  // namespace

void remember_location_class(handle cls, handle init) {
    LocationClass found;
    found.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls.ptr()));
    found.init = Py_NewRef(init.ptr());
    for (int i = 0; i < 3; ++i) {
        PyObject* descr = PyDict_GetItemWithError(found.type->tp_dict, intern(slot_names[i]));
        if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "Location has no slot %s", slot_names[i]);
            throw py::error_already_set();
        }
        found.offsets[i] = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset;
    }
    known = found;  // the class of an earlier import of the module stays alive, as its records do
}

object new_location(handle location_cls) {
    if (!builds_directly(location_cls)) return call(location_cls);
    object empty = steal(PyTuple_New(0));
    object record = steal(known.type->tp_new(known.type, empty.ptr(), nullptr));
    slot(record, 0) = Py_NewRef(intern(""));
    slot(record, 1) = PyLong_FromLong(-1);
    slot(record, 2) = PyLong_FromLong(-1);
    return record;
}

namespace {
void set_field(handle record, int index, handle value) {
    if (is_known_record(record)) {
        Py_XSETREF(slot(record, index), Py_NewRef(value.ptr()));
    } else {
        check(PyObject_SetAttr(record.ptr(), intern(slot_names[index]), value.ptr()));
    }
}
}  // namespace

void position(handle record, handle file, handle line, handle column) {
    set_field(record, 0, file);
    set_field(record, 1, line);
    set_field(record, 2, column);
}

// ----- Location methods ----------------------------------------------------------------------------

object location_init(Frame& f, handle self, handle args, handle kwargs) {
    object init = attr(f.super_(self), "__init__");
    steal(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
    position(self, handle(intern("")), py::int_(-1), py::int_(-1));
    return py::none();
}

object location_str(Frame& f, handle self) {
    object basename = attr(attr(f.global("os"), "path"), "basename");
    object name = call(basename, attr(self, "file"));
    object one = py::int_(1);
    object line = steal(PyNumber_Add(attr(self, "line").ptr(), one.ptr()));
    object column = steal(PyNumber_Add(attr(self, "column").ptr(), one.ptr()));
    object name_text = str_of(name);
    object line_text = decimal(line);
    object column_text = decimal(column);
    return steal(PyUnicode_FromFormat("%U line:%U column:%U", name_text.ptr(), line_text.ptr(), column_text.ptr()));
}

object location_extract(Frame&, handle self) {
    object extracted = steal(PyDict_New());
    for (const char* name : slot_names) check(PyDict_SetItem(extracted.ptr(), intern(name), attr(self, name).ptr()));
    return extracted;
}

// ----- location_deepcopy(d) ----------------------------------------------------------------------------

object location_deepcopy(Frame& f, handle d) {
    RecursionGuard guard;
    object location_cls = NATIVE_GLOBAL(f, "Location");
    object copy;
    if (is_instance(d, location_cls)) {
        copy = new_location(location_cls);
        for (int i = 0; i < 3; ++i) set_field(copy, i, attr(d, slot_names[i]));
    } else if (isinstance_abc(d, NATIVE_GLOBAL(f, "MutableMapping"))) {
        copy = steal(PyDict_New());
    } else {
        return borrow(d.ptr());
    }
    for_each_item(d, [&](handle key, handle value) {
        object self = NATIVE_GLOBAL(f, "location_deepcopy");
        set_item(copy, key, f.is_self(self) ? location_deepcopy(f, value) : call(self, value));
    });
    return copy;
}

}  // namespace locations
