// LocSafeLoader: PyYAML's safe loader, recording the position of every key, list element and scalar
// into the caller's location tree while the base builds the data.
#include "locations.hpp"

namespace locations {

namespace {

// The attribute names used once or more per YAML node, interned once.
struct Names {
    PyObject* location = intern("_location");
    PyObject* parent = intern("_parent");
    PyObject* file = intern("_file");
    PyObject* locations = intern("_locations");
    PyObject* start_mark = intern("start_mark");
    PyObject* line = intern("line");
    PyObject* column = intern("column");
    PyObject* value = intern("value");
    PyObject* construct_object = intern("construct_object");
    PyObject* deep = intern("deep");
};
const Names& names() {
    static const Names interned;
    return interned;
}


// The node's own record, made the first time the node is seen.
object own_record(handle node, handle location_cls) {
    object record = optional_attr(node, names().location);
    if (record) return record;
    record = new_location(location_cls);
    set_attr(node, names().location, record);
    return record;
}

void position_at(handle record, handle file, handle node) {
    object mark = attr(node, names().start_mark);
    position(record, file, attr(mark, names().line), attr(mark, names().column));
}

// A mapping's keys enter themselves where the mapping would; each value goes under its key's record.
// All pairs are linked before the base constructs any of them.
void link_pairs(handle node, handle parent, handle location_cls) {
    for_each(attr(node, names().value), [&](handle pair) {
        auto [key_node, value_node] = unpack2(pair);
        object key_record = own_record(key_node, location_cls);
        set_attr(key_node, names().parent, parent);
        set_attr(value_node, names().parent, key_record);
    });
}

// Every element gets a new record of its position, entered under its index.
void link_elements(handle node, handle parent, handle location_cls, handle file) {
    Py_ssize_t index = 0;
    for_each(attr(node, names().value), [&](handle element) {
        object record = new_location(location_cls);
        position_at(record, file, element);
        set_item(parent, steal(PyLong_FromSsize_t(index++)), record);
        set_attr(element, names().parent, record);
    });
}

// Positions the node's own record and links its children to the records they enter themselves into.
// A node that was given no parent record (the pairs of an ordered map or of a pairs list, which the
// base builds without constructing their mapping) records nothing.
void link_node(Frame& f, handle self, handle node) {
    object location_cls = NATIVE_GLOBAL(f, "Location");
    object record = own_record(node, location_cls);
    object file = attr(self, names().file);
    position_at(record, file, node);
    bool mapping = is_instance(node, NATIVE_GLOBAL(f, "MappingNode"));
    if (!mapping && !is_instance(node, NATIVE_GLOBAL(f, "SequenceNode"))) return;
    object parent = optional_attr(node, names().parent);
    if (!parent) return;
    if (mapping) {
        link_pairs(node, parent, location_cls);
    } else {
        link_elements(node, parent, location_cls, file);
    }
}

// `super().construct_object(node, deep=deep)`.
object base_construct_object(Frame& f, handle self, handle node, handle deep) {
    static PyObject* deep_keyword = [] {
        PyObject* keywords = PyTuple_New(1);
        if (!keywords) throw py::error_already_set();
        PyTuple_SET_ITEM(keywords, 0, Py_NewRef(names().deep));
        return keywords;
    }();
    object method = attr(f.super_(self), names().construct_object);
    PyObject* argv[] = {nullptr, node.ptr(), deep.ptr()};
    return steal(PyObject_Vectorcall(method.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, deep_keyword));
}

bool recording(handle self) { return !attr(self, names().locations).is_none(); }

}  // namespace

// CPython shares one table of attribute names among the instances of a class, and stops adding
// names to it once a few dozen instances exist; an instance that then receives a name from outside
// the table gets a dictionary of its own. The two names this loader puts on every node are entered
// while the node classes are still fresh, so that loaded nodes keep their compact attribute storage
// (a large share of the cost of recording otherwise goes to those dictionaries and to the garbage
// collector walking them). Nothing else about the classes or their instances changes.
void prepare_node_classes(handle node_classes) {
    for_each(node_classes, [&](handle cls) {
        try {
            object node = call(cls, py::none(), py::none());
            set_attr(node, names().location, py::none());
            set_attr(node, names().parent, py::none());
        } catch (py::error_already_set&) {
            // only a missed optimisation: a node class that cannot be built this way loads as before
        }
    });
}

object loader_init(Frame& f, handle self, handle stream, handle locations, handle file_name) {
    object file;
    if (truth(file_name)) {
        file = borrow(file_name.ptr());
    } else {
        file = optional_attr(stream, intern("name"));
        if (!file) file = borrow(intern(""));
    }
    set_attr(self, names().file, file);
    set_attr(self, names().locations, locations);
    f.super_call(self, "__init__", stream);
    return py::none();
}

object loader_construct_document(Frame& f, handle self, handle node) {
    object root = attr(self, names().locations);
    if (!root.is_none()) set_attr(node, names().parent, root);
    return f.super_call(self, "construct_document", node);
}

object loader_construct_object(Frame& f, handle self, handle node, handle deep) {
    RecursionGuard guard;
    if (recording(self)) link_node(f, self, node);
    object data = base_construct_object(f, self, node, deep);
    if (!recording(self) || !is_instance(node, NATIVE_GLOBAL(f, "ScalarNode"))) return data;
    object parent = optional_attr(node, names().parent);
    if (parent) set_item(parent, data, attr(node, names().location));
    return data;
}

}  // namespace locations
