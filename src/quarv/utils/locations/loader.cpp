// LocSafeLoader: PyYAML's safe loader, recording the position of every key, list element and scalar
// into the caller's location tree while the base builds the data.
#include "locations.hpp"

namespace locations {

namespace {

// `getattr(obj, name)` for an attribute that may be missing: an empty object then, and no
// AttributeError is ever built (this runs several times per YAML node).
object optional_attr(handle obj, const char* name) {
    PyObject* found = nullptr;
    check(_PyObject_LookupAttr(obj.ptr(), intern(name), &found));
    return found ? steal(found) : object();
}

void set_attr(handle obj, const char* name, handle value) { check(PyObject_SetAttr(obj.ptr(), intern(name), value.ptr())); }

// The node's own record, made the first time the node is seen.
object own_record(handle node, handle location_cls) {
    object record = optional_attr(node, "_location");
    if (record) return record;
    record = new_location(location_cls);
    set_attr(node, "_location", record);
    return record;
}

void position_at(handle record, handle file, handle node) {
    object mark = attr(node, "start_mark");
    position(record, file, attr(mark, "line"), attr(mark, "column"));
}

// A mapping's keys enter themselves where the mapping would; each value goes under its key's record.
// All pairs are linked before the base constructs any of them.
void link_pairs(handle node, handle parent, handle location_cls) {
    for_each(attr(node, "value"), [&](handle pair) {
        auto [key_node, value_node] = unpack2(pair);
        object key_record = own_record(key_node, location_cls);
        set_attr(key_node, "_parent", parent);
        set_attr(value_node, "_parent", key_record);
    });
}

// Every element gets a new record of its position, entered under its index.
void link_elements(handle node, handle parent, handle location_cls, handle file) {
    Py_ssize_t index = 0;
    for_each(attr(node, "value"), [&](handle element) {
        object record = new_location(location_cls);
        position_at(record, file, element);
        set_item(parent, steal(PyLong_FromSsize_t(index++)), record);
        set_attr(element, "_parent", record);
    });
}

// Positions the node's own record and links its children to the records they enter themselves into.
// A node that was given no parent record (the pairs of an ordered map or of a pairs list, which the
// base builds without constructing their mapping) records nothing.
void link_node(Frame& f, handle self, handle node) {
    object location_cls = f.global("Location");
    object record = own_record(node, location_cls);
    object file = attr(self, "_file");
    position_at(record, file, node);
    bool mapping = is_instance(node, f.global("MappingNode"));
    if (!mapping && !is_instance(node, f.global("SequenceNode"))) return;
    object parent = optional_attr(node, "_parent");
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
        PyObject* names = PyTuple_New(1);
        if (!names) throw py::error_already_set();
        PyTuple_SET_ITEM(names, 0, Py_NewRef(intern("deep")));
        return names;
    }();
    object method = attr(f.super_(self), "construct_object");
    PyObject* argv[] = {nullptr, node.ptr(), deep.ptr()};
    return steal(PyObject_Vectorcall(method.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, deep_keyword));
}

}  // namespace

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
    return py::none();
}

object loader_construct_document(Frame& f, handle self, handle node) {
    object root = attr(self, "_locations");
    if (!root.is_none()) set_attr(node, "_parent", root);
    return f.super_call(self, "construct_document", node);
}

object loader_construct_object(Frame& f, handle self, handle node, handle deep) {
    RecursionGuard guard;
    if (!attr(self, "_locations").is_none()) link_node(f, self, node);
    object data = base_construct_object(f, self, node, deep);
    if (attr(self, "_locations").is_none() || !is_instance(node, f.global("ScalarNode"))) return data;
    object parent = optional_attr(node, "_parent");
    if (parent) set_item(parent, data, attr(node, "_location"));
    return data;
}

}  // namespace locations
