// quarv.utils.import_utils.legacy: imports under legacy dotted names. The class LegacyImporter holds
// every translation of the process and is itself the meta-path hook; the loader it hands out makes
// the legacy name an alias of the module loaded under the new name.
#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

struct State {
    // Whether assertions were enabled (optimisation level 0) when the module was imported: the
    // callable test of a translator pair is an assertion.
    bool assertions = true;
    // (thread id, legacy name) -> whether the search led back to the name, for every name whose
    // translation find_spec is looking for on that thread.
    object resolving;
    // The version tag of the last name map found to hold only keys of the exact text type (a tag
    // is unique to one dict in one state, so an equal tag means that very dict, unchanged).
    uint64_t text_keys_version = 0;
    template <typename Visit>
    void visit(Visit& v) {
        v(resolving);
    }
};

const char* const legacy_loader_doc = R"(LegacyLoader

The loader of a legacy name. It does away with the creation of the legacy module and puts the
actual new module in its place: the module imported under the new name is stored in sys.modules
under the legacy name as well, so the importing code receives that very module object.)";

const char* const legacy_importer_doc = R"(LegacyImporter

An import hook that lets users keep the imports of legacy names in their code: it translates old
import names into newer ones, and the module found under the new name is what the old name gives.

Example:

    from quarv.utils.import_utils import LegacyImporter

    LegacyImporter.register(**{"old_package.tools": "new_package.tools"})
    LegacyImporter.install()

    import old_package.tools.parsers    # is new_package.tools.parsers

The class itself, never an instance, is the hook at the front of sys.meta_path, and its maps and
translator lists hold the translations of the whole process. Do not tamper with it: register
translations through register(), and leave its containers and its place in sys.meta_path alone.)";

const char* const register_doc = R"(LegacyImporter.register

Records translations from legacy names to new names, given in either of two ways, or both in one
call:

    # keyword arguments: each maps a legacy dotted name to its new dotted name
    LegacyImporter.register(**{"old_package.tools": "new_package.tools"})

    # a pair of functions: the translator from legacy names to new names, then the reverse
    # translator from new names to legacy names; each returns None for a name it does not handle
    LegacyImporter.register(to_new_name, to_legacy_name)

Names are plain text, without patterns. A legacy name is translated by its exact registration
first, then by the earliest registered name that is a dotted prefix of it, then by the first
translator function that gives something other than None.)";

const char* const undocumented = "undocumented, do not use";

// ----- translations that lead back to the name being translated --------------------------------
//
// A name being resolved is asked about again when its translation leads back to it (a name
// registered for itself, two names for each other, a name for one beneath itself). The hook then
// answers None, and the outer search for that name answers None as well: a name on a cycle of
// translations is left to the other finders, as if it had none.

object resolving_key(handle name) {
    return tuple_of(steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident())), name);
}

// Only names of the exact text type are guarded: their hash and equality run no code.
bool guarded(handle name) { return PyUnicode_CheckExact(name.ptr()); }

// Whether the name is being resolved on this thread; if so, its search is marked as led back.
bool reenters(const State& state, handle name) {
    if (PyDict_GET_SIZE(state.resolving.ptr()) == 0 || !guarded(name)) return false;
    object key = resolving_key(name);
    // checked: no call into Python between: the module's own dict, whose (thread, exact text) keys
    // hash and compare without running code; only the entry's presence is read
    if (!PyDict_GetItemWithError(state.resolving.ptr(), key.ptr())) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    check(PyDict_SetItem(state.resolving.ptr(), key.ptr(), Py_True));
    return true;
}

// Marks a name as being resolved on this thread for as long as it lives.
class Resolving {
public:
    Resolving(State& state, handle name) : state_(state) {
        if (!guarded(name)) return;
        object key = resolving_key(name);
        check(PyDict_SetItem(state.resolving.ptr(), key.ptr(), Py_False));
        key_ = std::move(key);
    }
    ~Resolving() {
        if (!key_) return;
        RestoreOnExit release([&] { check(PyDict_DelItem(state_.resolving.ptr(), key_.ptr())); });
    }
    Resolving(const Resolving&) = delete;
    Resolving& operator=(const Resolving&) = delete;
    bool led_back() const {
        // checked: no call into Python between: as in reenters(), only the entry's identity is read
        return key_ && PyDict_GetItemWithError(state_.resolving.ptr(), key_.ptr()) == Py_True;
    }

private:
    State& state_;
    object key_;
};

// ----- translation over one map and one translator list -------------------------------------------

// `name.startswith(key + ".")` for two texts of the exact type, without building the prefix.
bool starts_with_dotted_text(handle name, handle key) {
    Py_ssize_t key_length = PyUnicode_GET_LENGTH(key.ptr());
    if (PyUnicode_GET_LENGTH(name.ptr()) <= key_length) return false;
    if (PyUnicode_ReadChar(name.ptr(), key_length) != '.') return false;
    return check_value(PyUnicode_Tailmatch(name.ptr(), key.ptr(), 0, key_length, -1)) == 1;
}

bool starts_with_dotted(handle name, handle key) {
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CheckExact(key.ptr())) return starts_with_dotted_text(name, key);
    object prefix = steal(PyNumber_Add(key.ptr(), intern(".")));
    return truth(call_method(name, "startswith", prefix));
}

// `name.replace(key, value, 1)`.
object replace_prefix(handle name, handle key, handle value) {
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CheckExact(key.ptr()) && PyUnicode_CheckExact(value.ptr()))
        return steal(PyUnicode_Replace(name.ptr(), key.ptr(), value.ptr(), 1));
    return call_method(name, "replace", key, value, integer(1));
}

// The exact registration of `name`, or nothing.
object exact_translation(handle names, handle name) {
    if (PyDict_CheckExact(names.ptr()) && PyUnicode_CheckExact(name.ptr())) {
        // checked: no call into Python between: the value is taken as a strong reference as soon as
        // the look-up (which may run a key's __eq__) has returned it
        if (PyObject* value = PyDict_GetItemWithError(names.ptr(), name.ptr())) return borrow(value);
        if (PyErr_Occurred()) throw_error();
        return object();
    }
    if (contains(names, name)) return get_item(names, name);
    return object();
}

// Whether every key of an exact dict is of the exact text type.
bool holds_only_texts(State& state, handle names) {
    uint64_t version = internals::dict_version(names.ptr());
    if (version == state.text_keys_version) return true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // checked: no call into Python between: each key's type is read, nothing else
    while (PyDict_Next(names.ptr(), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    state.text_keys_version = version;
    return true;
}

// The registered keys that `name` starts with, each followed by ".", are among the name's own
// dotted prefixes: those are looked up instead of every key being tried. Only when two of them are
// registered does the order of registration decide, through the walk over the keys.
enum class Prefixes { none, one, several };
Prefixes registered_prefixes(handle names, handle name, object& key, object& value) {
    Prefixes found = Prefixes::none;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    for (Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, 1); dot >= 0;
         dot = PyUnicode_FindChar(name.ptr(), '.', dot + 1, length, 1)) {
        object prefix = steal(PyUnicode_Substring(name.ptr(), 0, dot));
        // checked: no call into Python between: every key is an exact text (holds_only_texts), and the
        // value found is taken as a strong reference before anything else runs
        PyObject* registered = PyDict_GetItemWithError(names.ptr(), prefix.ptr());
        if (!registered) {
            if (PyErr_Occurred()) throw_error();
            continue;
        }
        if (found != Prefixes::none) return Prefixes::several;
        found = Prefixes::one;
        key = std::move(prefix);
        value = borrow(registered);
    }
    if (PyErr_Occurred()) throw_error();  // PyUnicode_FindChar's -2
    return found;
}

// The translation by the first registered key that is a dotted prefix of `name`, or nothing.
object prefix_translation(State& state, handle names, handle name) {
    if (PyDict_CheckExact(names.ptr()) && PyUnicode_CheckExact(name.ptr()) && holds_only_texts(state, names)) {
        object key, value;
        switch (registered_prefixes(names, name, key, value)) {
            case Prefixes::none:
                return object();
            case Prefixes::one:
                return replace_prefix(name, key, value);
            case Prefixes::several:
                break;
        }
        // texts are compared without running code, so the dict can be walked in place
        Py_ssize_t pos = 0;
        PyObject* raw_key = nullptr;
        PyObject* raw_value = nullptr;
        // checked: no call into Python between: exact texts are compared without running code, and
        // the pair found is taken as strong references before the replacement is made
        while (PyDict_Next(names.ptr(), &pos, &raw_key, &raw_value)) {
            if (starts_with_dotted_text(name, raw_key)) {
                key = borrow(raw_key);
                value = borrow(raw_value);
                return replace_prefix(name, key, value);
            }
        }
        return object();
    }
    // keys of other types are tested through their own methods, which may run code
    object found;
    for_each(names, [&](handle key) {
        if (!starts_with_dotted(name, key)) return true;
        found = replace_prefix(name, key, get_item(names, key));
        return false;
    });
    return found;
}

// The first result other than None of the translators, in order, or nothing.
object translator_result(handle translators, handle name) {
    // a list is walked by index, as its iterator goes, so a translator may change the list
    object found;
    for_each(translators, [&](handle translator) {
        object result = call(translator, name);
        if (result.is_none()) return true;
        found = std::move(result);
        return false;
    });
    return found;
}

object translation(State& state, handle names, handle translators_owner, Name translators_name, handle name) {
    RecursionGuard guard;  // a translator or a key's own methods may translate again
    if (object found = exact_translation(names, name)) return found;
    if (object found = prefix_translation(state, names, name)) return found;
    if (object found = translator_result(attr(translators_owner, translators_name), name)) return found;
    return py::none();
}

// ----- class LegacyLoader(Loader) ------------------------------------------------------------------

object loader_init(Frame&, handle self, handle module_name) {
    set_attr(self, "_module_name", module_name);
    return py::none();
}

object loader_exec_module(Frame& f, handle self, handle legacy_module) {
    object names = steal(PySequence_List(attr(f.global("sys"), "modules").ptr()));
    for (Py_ssize_t i = 0; i < length(names); ++i) {
        object name = item_at(names, i);
        object legacy_name = call(attr(f.global("LegacyImporter"), "reverse_translate"), name);
        if (legacy_name.is_none()) continue;
        object module = get_item(attr(f.global("sys"), "modules"), name);
        set_item(attr(f.global("sys"), "modules"), legacy_name, module);
    }
    object module = get_item(attr(f.global("sys"), "modules"), attr(self, "_module_name"));
    object modules = attr(f.global("sys"), "modules");
    set_item(modules, attr(legacy_module, "__name__"), module);
    return py::none();
}

object loader_create_module(Frame& f, handle self, handle) {
    RecursionGuard guard;  // imports through translations chain back here
    object import = f.global("__import__");
    call(import, attr(self, "_module_name"));
    return py::none();
}

void define_loader(ModuleBody& m) {
    ClassBuilder c = m.class_("LegacyLoader", {m.get("Loader")}, handle(), legacy_loader_doc);
    c.def("__init__", "(self, module_name)", &loader_init);
    c.def("exec_module", "(self, legacy_module)", &loader_exec_module, undocumented);
    c.def("create_module", "(self, spec)", &loader_create_module, undocumented);
    c.create();
}

// ----- class LegacyImporter(MetaPathFinder) ---------------------------------------------------------

object importer_translate(Frame& f, handle cls, handle name) {
    return translation(f.state<State>(), attr(cls, "_importmap"), cls, "_custom_translators", name);
}

object importer_reverse_translate(Frame& f, handle cls, handle name) {
    return translation(f.state<State>(), attr(cls, "_reverse_importmap"), cls, "_custom_reverse_translators", name);
}

// `translator, reverse_translator = args`, and with assertions enabled
// `assert callable(translator) and callable(reverse_translator)`.
std::array<object, 2> checked_translator_pair(const State& state, handle args) {
    auto pair = unpack<2>(args);
    if (state.assertions && (!PyCallable_Check(pair[0].ptr()) || !PyCallable_Check(pair[1].ptr()))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw_error();
    }
    return pair;
}

void register_translator_pair(Frame& f, handle cls, handle args) {
    std::array<object, 2> pair;
    try {
        pair = checked_translator_pair(f.state<State>(), args);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        Handling handling(failure.value());
        object got = steal(
            PyNumber_Remainder(text("  - one to translate from modern to legacy\nGot: %s").ptr(), repr_of(args).ptr()));
        object error =
            call(handle(PyExc_ValueError),
                 text("Must supply two functions to register: \n  - one to translate from legacy to modern"), got);
        raise_with_context(error, failure.value());
    }
    auto [translator, reverse_translator] = pair;
    append(attr(cls, "_custom_translators"), translator);
    append(attr(cls, "_custom_reverse_translators"), reverse_translator);
}

void update(handle mapping, handle entries) {
    if (PyDict_CheckExact(mapping.ptr())) {
        check(PyDict_Update(mapping.ptr(), entries.ptr()));
    } else {
        call_method(mapping, "update", entries);
    }
}

object importer_register(Frame& f, handle cls, handle args, handle kwargs) {
    if (length(args) > 0) register_translator_pair(f, cls, args);
    if (PyDict_GET_SIZE(kwargs.ptr()) > 0) {
        update(attr(cls, "_importmap"), kwargs);
        // of two legacy names registered for one new name, the later one is the reverse translation
        object reverse = new_dict();
        for_each_item(kwargs, [&](handle legacy_name, handle new_name) { set_item(reverse, new_name, legacy_name); });
        update(attr(cls, "_reverse_importmap"), reverse);
    }
    return py::none();
}

object importer_find_spec(Frame& f, handle cls, handle name, handle, handle) {
    // a translation into a legacy name leads back here through the import system
    RecursionGuard guard;
    State& state = f.state<State>();
    if (reenters(state, name)) return py::none();
    object new_name = call(attr(cls, "translate"), name);
    if (new_name.is_none()) return py::none();
    // a name that translates into itself is itself: the other finders know it, or nobody does
    if (check(PyObject_RichCompareBool(new_name.ptr(), name.ptr(), Py_EQ)) == 1) return py::none();
    {
        Resolving resolving(state, name);
        object presence_test = f.global("find_spec");
        if (call(presence_test, new_name).is_none() || resolving.led_back()) return py::none();
    }
    object spec_class = f.global("ModuleSpec");
    object loader = call(f.global("LegacyLoader"), new_name);
    return call_kw(spec_class, {}, {{"name", name}, {"loader", loader}});
}

object importer_invalidate_caches(Frame&, handle) { return py::none(); }

object importer_install(Frame& f, handle cls) {
    if (!contains(attr(f.global("sys"), "meta_path"), cls))
        call_method(attr(f.global("sys"), "meta_path"), "insert", integer(0), cls);
    return py::none();
}

void define_importer(ModuleBody& m) {
    ClassBuilder c = m.class_("LegacyImporter", {m.get("MetaPathFinder")}, handle(), legacy_importer_doc);
    c.set("_importmap", new_dict());
    c.set("_reverse_importmap", new_dict());
    c.set("_custom_translators", new_list());
    c.set("_custom_reverse_translators", new_list());
    c.classmethod("translate", "(cls, name)", &importer_translate,
                  "translates an old import string to a new import string");
    c.classmethod("reverse_translate", "(cls, name)", &importer_reverse_translate,
                  "translates a new import string to an old import string");
    c.classmethod("register", "(cls, *args, **kwargs)", &importer_register, register_doc);
    c.classmethod("find_spec", "(cls, name, path=None, target=None)", &importer_find_spec, undocumented);
    c.classmethod("invalidate_caches", "(cls)", &importer_invalidate_caches, undocumented);
    c.classmethod("install", "(cls)", &importer_install, undocumented);
    c.create();
}

// ----- the module body ------------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("sys");
    m.import_("logging");
    m.from_("importlib.util").import_("find_spec");
    m.from_("importlib.abc").import_("Loader", "MetaPathFinder");
    m.from_("importlib.machinery").import_("ModuleSpec");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    State& state = m.state<State>();
    state.assertions = as_long(attr(attr(m.get("sys"), "flags"), "optimize")) == 0;
    state.resolving = new_dict();
    define_loader(m);
    define_importer(m);
}
}  // namespace

QUARV_MODULE(legacy, "quarv.utils.import_utils.legacy", body, State)
