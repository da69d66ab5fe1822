// The native iterator type: steps run by C++ code, a state the collector sees.
#include "native/iterator.hpp"

#include <cstddef>
#include <memory>

namespace native {

namespace {

struct IteratorObject {
    PyObject_HEAD detail::IteratorCore* core;  // null once ended
    bool running;
    PyObject* weakreflist;
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

// Ends the iterator and frees its state, as a finished generator's frame is freed. The iterator
// shows no state from here on: releasing the state's objects may run Python code, collections
// included.
void finish(IteratorObject* it) noexcept {
    std::unique_ptr<detail::IteratorCore> ended(it->core);
    it->core = nullptr;
}

PyObject* iterator_next(PyObject* self) {
    return boundary([&]() -> PyObject* {
        check_native_stack();
        IteratorObject* it = as_iterator(self);
        if (!it->core) return nullptr;  // StopIteration, without an instance being made
        if (it->running) raise(PyExc_ValueError, "iterator already executing");
        it->running = true;
        object item;
        try {
            item = it->core->next();
            if (!item && PyErr_Occurred()) throw_error();
        } catch (...) {
            Caught failure;  // kept aside while the state is released
            it->running = false;
            finish(it);
            failure.rethrow();
        }
        it->running = false;
        if (!item) finish(it);
        return item.release().ptr();
    });
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    IteratorObject* it = as_iterator(self);
    return it->core ? it->core->traverse(visit, arg) : 0;
}

int iterator_clear(PyObject* self) {
    finish(as_iterator(self));
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    IteratorObject* it = as_iterator(self);
    if (it->weakreflist) PyObject_ClearWeakRefs(self);
    finish(it);
    PyObject_GC_Del(self);
}

PyTypeObject make_iterator_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "native_iterator";
    t.tp_basicsize = sizeof(IteratorObject);
    t.tp_dealloc = iterator_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = iterator_traverse;
    t.tp_clear = iterator_clear;
    t.tp_weaklistoffset = offsetof(IteratorObject, weakreflist);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = iterator_next;
    return t;
}

PyTypeObject iterator_type = make_iterator_type();

}  // namespace

namespace detail {

object wrap_iterator(std::unique_ptr<IteratorCore> core) {
    check(PyType_Ready(&iterator_type));
    IteratorObject* it = PyObject_GC_New(IteratorObject, &iterator_type);
    if (!it) {
        Caught failure;  // kept aside while the state is released
        core.reset();
        failure.rethrow();
    }
    it->core = core.release();
    it->running = false;
    it->weakreflist = nullptr;
    PyObject_GC_Track(it);
    return steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace detail

}  // namespace native
