// LocSafeLoader: PyYAML's safe loader, recording the position of every key, list element and scalar
// into the caller's location tree while the base builds the data.
#include "locations.hpp"

namespace locations {

namespace {

// isinstance(node, cls). A plain class that the node's class derives from answers at once; one it
// does not derive from answers no for PyYAML's own node classes, which leave __class__ as it is.
bool node_is(const State& state, handle node, handle cls) {
    if (PyType_CheckExact(cls.ptr())) {
        PyTypeObject* type = Py_TYPE(node.ptr());
        if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls.ptr()))) return true;
        const Compiled& known = state.compiled;
        auto* as_object = reinterpret_cast<PyObject*>(type);
        if (as_object == known.scalar_node.ptr() || as_object == known.sequence_node.ptr() ||
            as_object == known.mapping_node.ptr())
            return false;
    }
    return is_instance(node, cls);
}

// The node's own record, made the first time the node is seen.
object own_record(const State& state, handle node, handle location_cls) {
    object record = optional_attr(node, "_location");
    if (record) return record;
    record = new_location(state, location_cls);
    set_attr(node, "_location", record);
    return record;
}

void position_at(const State& state, handle record, handle file, handle node) {
    object mark = attr(node, "start_mark");
    position(state, record, file, attr(mark, "line"), attr(mark, "column"));
}

// A mapping's keys enter themselves where the mapping would; each value goes under its key's record.
// All pairs are linked before the base constructs any of them.
void link_pairs(const State& state, handle node, handle parent, handle location_cls) {
    for_each(attr(node, "value"), [&](handle pair) {
        auto [key_node, value_node] = unpack2(pair);
        object key_record = own_record(state, key_node, location_cls);
        set_attr(key_node, "_parent", parent);
        set_attr(value_node, "_parent", key_record);
    });
}

// Every element gets a new record of its position, entered under its index.
void link_elements(const State& state, handle node, handle parent, handle location_cls, handle file) {
    Py_ssize_t index = 0;
    for_each(attr(node, "value"), [&](handle element) {
        object record = new_location(state, location_cls);
        position_at(state, record, file, element);
        enter_record(state, parent, steal(PyLong_FromSsize_t(index++)), record);
        set_attr(element, "_parent", record);
    });
}

// Positions the node's own record and links its children to the records they enter themselves into.
// A node that was given no parent record (the pairs of an ordered map or of a pairs list, which the
// base builds without constructing their mapping) records nothing.
void link_node(Frame& f, handle self, handle node) {
    const State& state = f.state<State>();
    object location_cls = NATIVE_GLOBAL(f, "Location");
    object record = own_record(state, node, location_cls);
    object file = attr(self, "_file");
    position_at(state, record, file, node);
    bool mapping = node_is(state, node, NATIVE_GLOBAL(f, "MappingNode"));
    if (!mapping && !node_is(state, node, NATIVE_GLOBAL(f, "SequenceNode"))) return;
    object parent = optional_attr(node, "_parent");
    if (!parent) return;
    if (mapping) {
        link_pairs(state, node, parent, location_cls);
    } else {
        link_elements(state, node, parent, location_cls, file);
    }
}

// What `super().construct_object` finds for instances of `type`: the plain function defined next
// after LocSafeLoader along its MRO, or empty where super() itself has to be asked.
object next_construct_object(const State& state, PyTypeObject* type) {
    bool after_own = false;
    object found;
    for_each(borrow(type->tp_mro), [&](handle cls) {
        if (found || !PyType_Check(cls.ptr())) return;
        if (!after_own) {
            after_own = cls.ptr() == state.loader_class.ptr();
            return;
        }
        // checked: no call into Python between: the entry is taken as a strong reference at once
        PyObject* member =
            PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, intern("construct_object"));
        if (!member && PyErr_Occurred()) throw_error();
        if (member) found = borrow(member);
    });
    if (found && !PyFunction_Check(found.ptr())) return object();
    return found;
}

// `super().construct_object(node, deep=deep)`; a plain function found there is called as the bound
// method would call it, without making the super object and the bound method at every node.
object base_construct_object(Frame& f, handle self, handle node, handle deep) {
    State& state = f.state<State>();
    PyTypeObject* type = Py_TYPE(self.ptr());
    object next =
        state.next_construct_object.get(type, [&](PyTypeObject* t) { return next_construct_object(state, t); });
    PyObject* argv[] = {nullptr, self.ptr(), node.ptr(), deep.ptr()};
    if (next) {
        return steal(
            PyObject_Vectorcall(next.ptr(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.deep_keyword.ptr()));
    }
    object method = attr(f.super_(self), "construct_object");
    return steal(
        PyObject_Vectorcall(method.ptr(), argv + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.deep_keyword.ptr()));
}

bool recording(handle self) { return !attr(self, "_locations").is_none(); }

}  // namespace

// CPython shares one table of attribute names among the instances of a class, and stops adding
// names to it once a few dozen instances exist; an instance that then receives a name from outside
// the table gets a dictionary of its own. The two names this loader puts on every node are entered
// while the node classes are still fresh, so that loaded nodes keep their compact attribute storage
// (a large share of the cost of recording otherwise goes to those dictionaries and to the garbage
// collector walking them). Nothing else about the classes or their instances changes.
void prepare_node_classes(State& state, handle node_classes) {
    state.deep_keyword = tuple_of(handle(intern("deep")));
    auto [scalar_node, sequence_node, mapping_node] = unpack<3>(node_classes);
    state.compiled.scalar_node = scalar_node;
    state.compiled.sequence_node = sequence_node;
    state.compiled.mapping_node = mapping_node;
    for_each(node_classes, [&](handle cls) {
        try {
            object node = call(cls, py::none(), py::none());
            set_attr(node, "_location", py::none());
            set_attr(node, "_parent", py::none());
        } catch (...) {
            // only a missed optimisation: a node class that cannot be built or given attributes this
            // way loads as before; any other failure is real
            Caught failure;
            if (!failure.matches(tuple_of(handle(PyExc_TypeError), handle(PyExc_AttributeError)))) failure.rethrow();
        }
    });
}

object loader_init(Frame& f, handle self, handle stream, handle locations, handle file_name) {
    object file;
    if (truth(file_name)) {
        file = borrow(file_name.ptr());
    } else {
        file = optional_attr(stream, "name");
        if (!file) file = borrow(intern(""));
    }
    set_attr(self, "_file", file);
    set_attr(self, "_locations", locations);
    f.super_call(self, "__init__", stream);
    start_compiled_path(f.state<State>(), self);
    return py::none();
}

object loader_construct_document(Frame& f, handle self, handle node) {
    object root = attr(self, "_locations");
    if (!root.is_none()) set_attr(node, "_parent", root);
    try {
        return f.super_call(self, "construct_document", node);
    } catch (...) {
        Caught failure;
        const State& state = f.state<State>();
        if (state.compiled.marked_error && failure.matches(state.compiled.marked_error))
            give_pure_marks(state, self, failure.value());
        failure.rethrow();
    }
}

object loader_construct_object(Frame& f, handle self, handle node, handle deep) {
    RecursionGuard guard;
    if (recording(self)) link_node(f, self, node);
    object data = base_construct_object(f, self, node, deep);
    if (!recording(self) || !node_is(f.state<State>(), node, NATIVE_GLOBAL(f, "ScalarNode"))) return data;
    object parent = optional_attr(node, "_parent");
    if (parent) enter_record(f.state<State>(), parent, data, attr(node, "_location"));
    return data;
}

object loader_check_node(Frame& f, handle self) { return compose(f, self, Composing::check_node); }
object loader_get_node(Frame& f, handle self) { return compose(f, self, Composing::get_node); }
object loader_get_single_node(Frame& f, handle self) { return compose(f, self, Composing::get_single_node); }

}  // namespace locations
