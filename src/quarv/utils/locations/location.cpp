// The record type Location and location_deepcopy.
#include "locations.hpp"

namespace locations {

namespace {

constexpr Name slot_names[3] = {"file", "line", "column"};

PyObject*& slot(const State& state, handle record, int index) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record.ptr()) + state.slot_offsets[index]);
}

bool is_known_record(const State& state, handle obj) {
    return state.location_class && reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == state.location_class.ptr();
}

// `Location()` skips the class call when it would only run this module's __init__ on no entries
// (and the class's own allocation: a `__new__` given to the class later is called as it stands).
bool builds_directly(const State& state, handle location_cls) {
    if (!state.location_class || location_cls.ptr() != state.location_class.ptr()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(location_cls.ptr());
    if (type->tp_new != state.location_new) return false;
    // checked: no call into Python between: only the entry's identity is compared
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, intern("__init__"));
    if (!init && PyErr_Occurred()) throw_error();
    return init == state.location_init.ptr();
}

// `%d` of the text form: an int as it is, any other number through its own integer conversion
// (`__int__`, else `__index__`), which also rejects an `__int__` that returns no int.
object decimal(handle value) {
    if (PyLong_Check(value.ptr())) return steal(PyLong_Type.tp_repr(value.ptr()));
    // a complex number is a number without an integer conversion
    PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    if (!number || (!number->nb_int && !number->nb_index)) raise(PyExc_TypeError, "an integer is required");
    object converted = steal(PyNumber_Long(value.ptr()));
    return steal(PyLong_Type.tp_repr(converted.ptr()));
}

}  // namespace

void remember_location_class(State& state, handle cls, handle init) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    for (int i = 0; i < 3; ++i) {
        // checked: no call into Python between: the descriptor's type and offset are read at once
        PyObject* descr = PyDict_GetItemWithError(type->tp_dict, intern(slot_names[i]));
        if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "Location has no slot %s", slot_names[i].text());
            throw_error();
        }
        state.slot_offsets[i] = internals::member_offset(descr);
    }
    state.location_class = borrow(cls.ptr());
    state.location_new = type->tp_new;
    state.location_init = borrow(init.ptr());
}

object new_location(const State& state, handle location_cls) {
    if (!builds_directly(state, location_cls)) return call(location_cls);
    auto* type = reinterpret_cast<PyTypeObject*>(location_cls.ptr());
    object empty = steal(PyTuple_New(0));
    object record = steal(type->tp_new(type, empty.ptr(), nullptr));
    store_reference(slot(state, record, 0), handle(intern("")));
    store_reference(slot(state, record, 1), integer(-1));
    store_reference(slot(state, record, 2), integer(-1));
    return record;
}

void enter_record(const State& state, handle parent, handle key, handle record) {
    (void)state;
    set_item(parent, key, record);
}

namespace {
void set_field(const State& state, handle record, int index, handle value) {
    if (is_known_record(state, record)) {
        store_reference(slot(state, record, index), value);
    } else {
        set_attr(record, slot_names[index], value);
    }
}
}  // namespace

void position(const State& state, handle record, handle file, handle line, handle column) {
    set_field(state, record, 0, file);
    set_field(state, record, 1, line);
    set_field(state, record, 2, column);
}

// ----- Location methods ----------------------------------------------------------------------------

object location_init(Frame& f, handle self, handle args, handle kwargs) {
    call_forward(attr(f.super_(self), "__init__"), {}, args, kwargs);
    position(f.state<State>(), self, handle(intern("")), integer(-1), integer(-1));
    return py::none();
}

object location_str(Frame& f, handle self) {
    object basename = attr(attr(f.global("os"), "path"), "basename");
    object name = call(basename, attr(self, "file"));
    object one = integer(1);
    object line = steal(PyNumber_Add(attr(self, "line").ptr(), one.ptr()));
    object column = steal(PyNumber_Add(attr(self, "column").ptr(), one.ptr()));
    object name_text = str_of(name);
    object line_text = decimal(line);
    object column_text = decimal(column);
    return steal(PyUnicode_FromFormat("%U line:%U column:%U", name_text.ptr(), line_text.ptr(), column_text.ptr()));
}

object location_extract(Frame&, handle self) {
    object extracted = new_dict();
    for (Name name : slot_names) check(PyDict_SetItem(extracted.ptr(), intern(name), attr(self, name).ptr()));
    return extracted;
}

// ----- location_deepcopy(d) ----------------------------------------------------------------------------

object location_deepcopy(Frame& f, handle d) {
    RecursionGuard guard;
    object location_cls = NATIVE_GLOBAL(f, "Location");
    object copy;
    if (is_instance(d, location_cls)) {
        const State& state = f.state<State>();
        copy = new_location(state, location_cls);
        for (int i = 0; i < 3; ++i) set_field(state, copy, i, attr(d, slot_names[i]));
    } else if (isinstance_abc(d, NATIVE_GLOBAL(f, "MutableMapping"))) {
        copy = new_dict();
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
