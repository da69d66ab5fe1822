// Names, text conversion and calls.
#include <array>
#include <unordered_map>
#include <vector>

#include "native/errors.hpp"

namespace native {

void throw_error() { throw Error{}; }

PyObject* intern(Name name) {
    // A direct-mapped memory of recent literals in front of the map: names are asked for at every
    // attribute access and call, and one comparison usually answers. Literals are the only keys
    // (Name accepts nothing else), so an address stands for one text for the whole process.
    struct Recent {
        const char* text;
        PyObject* name;
    };
    static Recent recent[512];
    const char* text = name.text();
    Recent& slot = recent[(reinterpret_cast<uintptr_t>(text) >> 3) & 511];
    if (slot.text == text) return slot.name;
    static auto* names = new std::unordered_map<const char*, PyObject*>();
    PyObject*& found = (*names)[text];
    if (!found) {
        found = PyUnicode_InternFromString(text);
        if (!found) {
            names->erase(text);
            throw_error();
        }
    }
    slot = {text, found};
    return found;
}

object name_of(std::string_view text_) {
    PyObject* name = PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size()));
    if (!name) throw_error();
    PyUnicode_InternInPlace(&name);
    return steal(name);
}

std::string utf8(handle text_obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text_obj.ptr(), &size);
    if (!data) throw_error();
    return std::string(data, static_cast<size_t>(size));
}

namespace {

// The tuple of keyword names of a call: the names are literals, so their addresses stand for the
// tuple, which is made once per list of names and kept for the process, as the interpreter keeps
// the keyword names of its own code objects. A direct-mapped memory of recent lists answers first.
constexpr size_t remembered_names = 4;

object keyword_names(std::initializer_list<Kw> kwargs) {
    auto make = [&]() {
        object names = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t index = 0;
        for (const Kw& kw : kwargs) PyTuple_SET_ITEM(names.ptr(), index++, Py_NewRef(intern(kw.name)));
        return names;
    };
    if (kwargs.size() > remembered_names) return make();
    using Key = std::array<const char*, remembered_names>;
    Key key{};
    uintptr_t mix = kwargs.size();
    size_t index = 0;
    for (const Kw& kw : kwargs) {
        key[index++] = kw.name.text();
        mix = mix * 31 + (reinterpret_cast<uintptr_t>(kw.name.text()) >> 3);
    }
    struct Recent {
        Key key;
        PyObject* names;
    };
    static Recent recent[256];
    Recent& slot = recent[mix & 255];
    if (slot.names && slot.key == key) return borrow(slot.names);
    struct KeyHash {
        size_t operator()(const Key& k) const {
            size_t h = 0;
            for (const char* text : k) h = h * 31 + std::hash<const char*>{}(text);
            return h;
        }
    };
    static auto* known = new std::unordered_map<Key, PyObject*, KeyHash>();
    auto found = known->find(key);
    if (found == known->end()) found = known->emplace(key, make().release().ptr()).first;
    slot = {key, found->second};
    return borrow(found->second);
}

}  // namespace

object call_kw(handle callable, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs) {
    // argv[0] is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET)
    size_t count = 1 + args.size() + kwargs.size();
    PyObject* small[16];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if (count > std::size(small)) {
        large.resize(count);
        argv = large.data();
    }
    size_t index = 1;
    for (handle arg : args) argv[index++] = arg.ptr();
    for (const Kw& kw : kwargs) argv[index++] = kw.value.ptr();
    object names = kwargs.size() ? keyword_names(kwargs) : object();
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names ? names.ptr() : nullptr));
}

namespace {

// `*args` of a call, as a tuple; the interpreter's error for what is not iterable (worded as for
// `f(*args)`, or as for `f(a, *args)`, which builds the list of arguments first).
object positional_arguments(handle callable, handle args, bool after_leading) {
    if (PyTuple_CheckExact(args.ptr())) return borrow(args.ptr());
    if (!Py_TYPE(args.ptr())->tp_iter && !PySequence_Check(args.ptr())) {
        if (after_leading) {
            PyErr_Format(PyExc_TypeError, "Value after * must be an iterable, not %.200s",
                         Py_TYPE(args.ptr())->tp_name);
        } else {
            object shown = steal(internals::function_text(callable.ptr()));
            PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", shown.ptr(),
                         Py_TYPE(args.ptr())->tp_name);
        }
        throw_error();
    }
    return steal(PySequence_Tuple(args.ptr()));
}

// `**kwargs` of a call, as a dict of its own (the call may run code that changes the caller's dict
// while the values are passed as borrowed arguments); the interpreter's errors for what is not a
// mapping and for keys that are not texts.
object keyword_arguments(handle callable, handle kwargs) {
    if (PyDict_CheckExact(kwargs.ptr())) return steal(PyDict_Copy(kwargs.ptr()));
    object keywords = new_dict();
    if (PyDict_Update(keywords.ptr(), kwargs.ptr()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Caught missing;  // asked of the mapping with no error pending, as the interpreter asks
            if (optional_attr(kwargs, "keys")) missing.rethrow();
            object shown = steal(internals::function_text(callable.ptr()));
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", shown.ptr(),
                         Py_TYPE(kwargs.ptr())->tp_name);
        }
        throw_error();
    }
    return keywords;
}

}  // namespace

object call_forward(handle callable, std::initializer_list<handle> leading, handle args, handle kwargs) {
    object positional = args && !args.is_none() ? positional_arguments(callable, args, leading.size() > 0) : object();
    object keywords = kwargs && !kwargs.is_none() ? keyword_arguments(callable, kwargs) : object();
    Py_ssize_t npositional =
        static_cast<Py_ssize_t>(leading.size()) + (positional ? PyTuple_GET_SIZE(positional.ptr()) : 0);
    Py_ssize_t nkeywords = keywords ? PyDict_GET_SIZE(keywords.ptr()) : 0;
    std::vector<PyObject*> argv;
    argv.reserve(static_cast<size_t>(1 + npositional + nkeywords));
    argv.push_back(nullptr);
    for (handle arg : leading) argv.push_back(arg.ptr());
    for (Py_ssize_t i = 0; positional && i < PyTuple_GET_SIZE(positional.ptr()); ++i)
        argv.push_back(PyTuple_GET_ITEM(positional.ptr(), i));
    object names;
    if (nkeywords) {
        names = steal(PyTuple_New(nkeywords));
        Py_ssize_t pos = 0, index = 0;
        PyObject *key, *value;
        while (PyDict_Next(keywords.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
            PyTuple_SET_ITEM(names.ptr(), index++, Py_NewRef(key));
            argv.push_back(value);
        }
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                     static_cast<size_t>(npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names ? names.ptr() : nullptr));
}

}  // namespace native
