// Small helpers of the markup handlers: messages, texts, the write-back into the caller's data and
// the import of the framework's credentials class.
#include <algorithm>
#include <cstring>

#include "markup.hpp"

namespace markup {

object key_path_text(handle index) {
    object pieces = new_list();
    for_each(index, [&](handle item) { append(pieces, str_of(item)); });
    return steal(PyUnicode_Join(intern("."), pieces.ptr()));
}

object short_message(handle index, handle markup) {
    object path = key_path_text(index);
    object shown = str_of(markup);
    return steal(PyUnicode_FromFormat("Caught error while processing markups: \nIndex:  %U\nMarkup: %U\n", path.ptr(),
                                      shown.ptr()));
}

void raise_short(Frame& f, handle index, handle markup, handle cause) {
    object error = call(NATIVE_GLOBAL(f, "MarkupError"), short_message(index, markup));
    if (cause) raise_from(error, cause);
    raise(error);
}

object replaced(handle data, handle old, handle new_) {
    if (PyUnicode_CheckExact(data.ptr()) && PyUnicode_Check(old.ptr()) && PyUnicode_Check(new_.ptr()))
        return steal(PyUnicode_Replace(data.ptr(), old.ptr(), new_.ptr(), -1));
    return call_method(data, "replace", old, new_);
}

object group(handle match, int n) { return call_method(match, "group", integer(n)); }

std::pair<Py_ssize_t, Py_ssize_t> span_positions(handle span, Py_ssize_t length) {
    auto [start, end] = span_within(span, length);
    return {start, std::max(start, end)};
}

object spanned_part(handle data, handle span) {
    if (PyUnicode_Check(data.ptr())) {
        auto [start, end] = span_positions(span, PyUnicode_GET_LENGTH(data.ptr()));
        return steal(PyUnicode_Substring(data.ptr(), start, end));
    }
    // not a text (a handler called directly): the value's own slicing decides
    auto [start, end] = unpack<2>(span);
    object slice = steal(PySlice_New(start.ptr(), end.ptr(), nullptr));
    return steal(PyObject_GetItem(data.ptr(), slice.ptr()));
}

bool without_marker(handle text_obj) {
    if (!PyUnicode_Check(text_obj.ptr())) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text_obj.ptr());
    if (PyUnicode_KIND(text_obj.ptr()) == PyUnicode_1BYTE_KIND)
        return std::memchr(PyUnicode_1BYTE_DATA(text_obj.ptr()), '%', static_cast<size_t>(length)) == nullptr;
    return PyUnicode_FindChar(text_obj.ptr(), '%', 0, length, 1) == -1;
}

bool is_container(Frame& f, handle value) {
    return isinstance_abc(value, NATIVE_GLOBAL(f, "MutableMapping")) ||
           is_instance(value, NATIVE_GLOBAL(f, "Iterable"));
}

object quiet_copy(Frame& f, handle index) {
    handle quiet = f.state<State>().quiet_key_path;
    if (Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(quiet.ptr())) return borrow(index.ptr());
    return call(quiet, index);
}

bool is_quiet(Frame& f, handle index) {
    return Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(f.state<State>().quiet_key_path.ptr());
}

namespace {

// `container[item]`, or an empty object when the caller's data has no such entry.
object entry_of(handle container, handle item) {
    if (PyUnicode_Check(container.ptr()) || PyBytes_Check(container.ptr()) || PyByteArray_Check(container.ptr()))
        return object();  // the path names a character: no place for a value
    try {
        return get_item(container, item);
    } catch (...) {
        Caught failure;
        if (failure.matches(PyExc_KeyError) || failure.matches(PyExc_IndexError) || failure.matches(PyExc_TypeError))
            return object();
        failure.rethrow();
    }
}

}  // namespace

void write_back(Frame& f, handle self, handle index, handle result) {
    if (is_quiet(f, index)) return;
    object items = steal(PySequence_List(index.ptr()));
    Py_ssize_t length = PyList_GET_SIZE(items.ptr());
    if (length == 0) return;  // the root has no place in a container
    object container = attr(self, "original");
    for (Py_ssize_t i = 0; i < length - 1; ++i) {
        container = entry_of(container, borrow(PyList_GET_ITEM(items.ptr(), i)));
        if (!container) return;
    }
    object last = borrow(PyList_GET_ITEM(items.ptr(), length - 1));
    if (!entry_of(container, last)) return;
    set_item(container, last, result);
}

// ----- from quarv.topology.credentials import Credentials ----------------------------------------

namespace {

PyObject* dict_of(handle obj) {
    PyObject** slot = internals::instance_dict_slot(obj.ptr());
    return slot ? *slot : nullptr;
}

bool memo_valid(const ImportMemo& memo, PyObject* modules, PyObject* builtins) {
    if (!memo.value || memo.modules.ptr() != modules || memo.builtins.ptr() != builtins) return false;
    if (internals::dict_version(modules) != memo.modules_version) return false;
    if (internals::dict_version(builtins) != memo.builtins_version) return false;
    PyObject* module_dict = PyModule_Check(memo.module.ptr()) ? PyModule_GetDict(memo.module.ptr()) : nullptr;
    if (!module_dict || internals::dict_version(module_dict) != memo.module_dict_version) return false;
    return internals::dict_version(memo.spec_dict.ptr()) == memo.spec_dict_version;
}

// The interpreter's own __import__: its answer for a module in sys.modules depends on nothing but
// what the memo's versions cover.
bool is_builtin_import(handle fn) {
    if (!PyCFunction_Check(fn.ptr())) return false;
    auto* cfunction = reinterpret_cast<PyCFunctionObject*>(fn.ptr());
    if (std::strcmp(cfunction->m_ml->ml_name, "__import__") != 0) return false;
    PyObject* owner = cfunction->m_self;
    if (!owner || !PyModule_Check(owner)) return false;
    const char* owner_name = PyModule_GetName(owner);
    if (!owner_name) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(owner_name, "builtins") == 0;
}

}  // namespace

object import_credentials(Frame& f) {
    State& state = f.state<State>();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* builtins = PyEval_GetBuiltins();
    ImportMemo& memo = state.credentials;
    if (memo_valid(memo, modules, builtins)) return memo.value;

    object module_name = text("quarv.topology.credentials");
    object name = text("Credentials");
    PyObject* found = PyDict_GetItemWithError(builtins, intern("__import__"));
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    object import_fn = borrow(found);
    object fromlist = tuple_of(name);
    object module = call(import_fn, module_name, f.globals(), f.globals(), fromlist, integer(0));
    object value = optional_attr(module, name);
    if (!value) {
        object shown = str_of(optional_attr(module, "__name__") ? attr(module, "__name__") : module_name);
        object message = steal(PyUnicode_FromFormat("cannot import name %R from %R", name.ptr(), shown.ptr()));
        PyErr_SetImportError(message.ptr(), shown.ptr(), nullptr);
        throw_error();
    }
    // remembered only where the statement's answer is known to stay the same while nothing it reads
    // changes: the built-in __import__, and a module in sys.modules with a __spec__
    memo.value = object();
    PyObject* in_modules = PyDict_GetItemWithError(modules, module_name.ptr());
    if (!in_modules && PyErr_Occurred()) throw_error();
    object spec = in_modules == module.ptr() ? optional_attr(module, "__spec__") : object();
    PyObject* spec_dict = spec ? dict_of(spec) : nullptr;
    if (is_builtin_import(import_fn) && spec_dict && PyModule_Check(module.ptr())) {
        memo.module = module;
        memo.modules = borrow(modules);
        memo.builtins = borrow(builtins);
        memo.spec_dict = borrow(spec_dict);
        memo.modules_version = internals::dict_version(modules);
        memo.builtins_version = internals::dict_version(builtins);
        memo.module_dict_version = internals::dict_version(PyModule_GetDict(module.ptr()));
        memo.spec_dict_version = internals::dict_version(spec_dict);
        memo.value = value;
    }
    return value;
}

}  // namespace markup
