// The requirement R and the comparison operators Operator, Not, Contains and NotExists.
#include "objects.hpp"

namespace objects {
namespace {

namespace doc {
const char* requirement = "Requirements class";
const char* operator_ = R"( basic find operator

    Takes a requirement value and uses to match laterly. The value may be a regular expression (a
    text opening with "("), a text or any object:

        find(devices, R(['interfaces', Operator('(Eth.*)'), 'status', 'up']))
        find(devices, R(name=Operator('(leaf-.*)')))
    )";
const char* operator_init = "Operator class";
const char* operator_eq = "dunder function to match regex or object comparison";
const char* not_ = R"( Not operator

    Matches what the expected value (a regular expression, a text or any object) does not match:

        find(devices, R(['status', Not('down')]))
    )";
const char* negation_eq = "dunder function to check whether no value or they dont match ";
const char* contains = R"( Contains operator

    Matches a container that holds the expected value: among the values or the keys of a
    dictionary, among the items of a list, or as a part of a text:

        find(devices, R(['vlans', Contains(100)]))
    )";
const char* not_exists = R"( Key does not exists in dictionary and object

    Matches where the container examined holds no key, and no true attribute, named by the value:

        find(devices, R(['interfaces', 'Ethernet1', NotExists('shutdown')]))
    )";
}  // namespace doc

// ----- R -------------------------------------------------------------------------------------------------

object requirement_init(Frame&, handle self, handle args, handle kwargs) {
    set_attr(self, "args", args);
    set_attr(self, "kwargs", kwargs);
    return py::none();
}

// ----- Operator ------------------------------------------------------------------------------------------

object operator_init(Frame& f, handle self, handle value) {
    set_attr(self, "value", value);
    set_attr(self, "regex", handle(Py_None));
    set_attr(self, "parent", handle(Py_None));
    if (is_pattern_text(value)) {
        try {
            set_attr(self, "regex", compile_pattern(f, attr(self, "value")));
        } catch (...) {
            Caught failure;
            if (!failure.matches(PyExc_Exception)) failure.rethrow();
        }
    }
    return py::none();
}

object operator_hash(Frame&, handle self) { return call(attr(attr(self, "value"), "__hash__")); }

// The base rule: the pattern's match on the text of a true `other`, else `value == other`.
object operator_rule(handle self, handle other) {
    object regex = attr(self, "regex");
    if (truth(regex) && truth(other)) return call_method(regex, "match", str_of(other));
    return steal(PyObject_RichCompare(attr(self, "value").ptr(), other.ptr(), Py_EQ));
}

object operator_eq(Frame&, handle self, handle other) { return operator_rule(self, other); }

object operator_match(Frame&, handle self, handle other) {
    return steal(PyObject_RichCompare(self.ptr(), other.ptr(), Py_EQ));
}

object operator_deepcopy(Frame& f, handle self, handle memo) {
    object id_self = steal(PyLong_FromVoidPtr(self.ptr()));
    object copied = call_method(memo, "get", id_self);
    if (copied.is_none()) {
        object deepcopy = attr(NATIVE_GLOBAL(f, "copy"), "deepcopy");
        copied = call(type_of(self), call(deepcopy, attr(self, "value"), memo));
        set_item(memo, id_self, copied);
    }
    return copied;
}

// ----- Not -----------------------------------------------------------------------------------------------

object negation_eq(Frame& f, handle self, handle other) {
    bool base = truth(f.super_call(self, "__eq__", other));
    return py::bool_(!base);
}

object shown_as(const char* cls, handle self) {
    object value = format_of(attr(self, "value"));
    return steal(PyUnicode_FromFormat("%s('%U')", cls, value.ptr()));
}

object not_repr(Frame&, handle self) { return shown_as("Not", self); }

// ----- Contains ------------------------------------------------------------------------------------------

object contains_eq(Frame& f, handle self, handle other) {
    object value = attr(self, "value");
    if (value.is_none() || other.is_none()) return py::bool_(false);
    if (PyDict_Check(other.ptr())) {
        object values = call_method(other, "values");
        if (contains(values, value)) return py::bool_(true);
    }
    if (is_iterable(f, other) && contains(other, value)) return py::bool_(true);
    return f.super_call(self, "__eq__", other);
}

// ----- NotExists -----------------------------------------------------------------------------------------

object not_exists_eq(Frame&, handle self, handle) {
    object parent = attr(self, "parent");
    object value = attr(self, "value");
    if (PyDict_Check(parent.ptr()) && contains(parent, value)) return py::bool_(false);
    object name = str_of(value);
    object found = optional_attr(parent, name);
    if (found && truth(found)) return py::bool_(false);
    return py::bool_(true);
}

object not_exists_repr(Frame&, handle self) { return shown_as("NotExists", self); }

}  // namespace

void define_requirement(ModuleBody& m) {
    ClassBuilder c = m.class_("R");
    c.def("__init__", "(self, *args, **kwargs)", &requirement_init, doc::requirement);
    m.state<State>().R = c.create();
}

void define_operators(ModuleBody& m) {
    ClassBuilder base = m.class_("Operator", {}, handle(), doc::operator_);
    base.def("__init__", "(self, value=None)", &operator_init, doc::operator_init);
    base.def("__hash__", "(self)", &operator_hash);
    base.def("match", "(self, other)", &operator_match);
    base.def("__eq__", "(self, other)", &operator_eq, doc::operator_eq);
    base.def("__deepcopy__", "(self, memo)", &operator_deepcopy);
    object operator_cls = base.create();

    ClassBuilder negation = m.class_("Not", {operator_cls}, handle(), doc::not_);
    negation.def("__hash__", "(self)", &operator_hash);
    negation.def("__eq__", "(self, other)", &negation_eq, doc::negation_eq);
    negation.def("__repr__", "(self)", &not_repr);
    negation.create();

    ClassBuilder containment = m.class_("Contains", {operator_cls}, handle(), doc::contains);
    containment.def("__hash__", "(self)", &operator_hash);
    containment.def("__eq__", "(self, other)", &contains_eq);
    containment.create();

    ClassBuilder absence = m.class_("NotExists", {operator_cls}, handle(), doc::not_exists);
    absence.def("__hash__", "(self)", &operator_hash);
    absence.def("__eq__", "(self, other)", &not_exists_eq);
    absence.def("__repr__", "(self)", &not_exists_repr);
    absence.create();
}

}  // namespace objects
