// Find.find's index projection: each value of a value search over one item replaced by the
// container that many steps down its key path.
#include "objects.hpp"

namespace objects {
namespace {

object projected(Frame& f, handle self, handle entry, handle top, handle index) {
    auto [value, path] = unpack2(entry);
    object length = integer(check_value(PyObject_Length(path.ptr())));
    if (truth(steal(PyObject_RichCompare(length.ptr(), index.ptr(), Py_LT)))) {
        PyErr_Format(PyExc_ValueError, "Cannot use index of size '%U' on '%U'", format_of(index).ptr(),
                     format_of(path).ptr());
        throw_error();
    }
    State& state = f.state<State>();
    object container = state.own.instance_has(self, BUILD_DICT)
                           ? find_build_dict(f, self, top, path, index)
                           : call_kw(attr(self, "_build_dict"), {}, {{"from_", top}, {"keys", path}, {"index", index}});
    return tuple_of(container, path);
}

}  // namespace

object projection(Frame& f, handle self, handle from_, handle return_objs, handle index) {
    object ret = new_list();
    object top;
    for_each(return_objs, [&](handle entry) {
        if (!top) top = steal(PySequence_GetItem(from_.ptr(), 0));
        if (PyList_Check(entry.ptr())) {
            object pairs = new_list();
            for_each(entry, [&](handle pair) { append(pairs, projected(f, self, pair, top, index)); });
            append(ret, pairs);
        } else {
            append(ret, projected(f, self, entry, top, index));
        }
    });
    return ret;
}

}  // namespace objects
