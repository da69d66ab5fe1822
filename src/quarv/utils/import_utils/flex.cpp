// quarv.utils.import_utils.flex: whatever names a module (a loaded module's name, a module object,
// the path of a source file, an importable dotted name) turned into the module object.
#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

struct State {
    // The built-in print, as it was when the module was imported.
    object print;
    template <typename Visit>
    void visit(Visit& v) {
        v(print);
    }
};

const char* const flex_importer_doc = R"(FlexImporter

Loads a module from whatever denotes it:

- a file: the path of a Python source file, whatever its extension, is executed as a new module
  named after the file's base name without its extension; the module is entered in sys.modules
  and the file's directory is appended to sys.path;
- an absolute module name, whether imported already or not;
- a module object, which is given back as it is.

module_prefix: put in front of the names of modules loaded from files (a "." is added to a prefix
    that does not end in one), so that loaded files do not shadow modules of the same name.)";

const char* const load_doc = R"(Load object into module

obj: the name of a loaded or importable module, a module object, or the path of a Python source
    file (which is loaded and printed). A name that cannot be imported raises Exception.)";

const char* const load_module_from_file_doc = R"(load module from file

target: the path of a Python source file ("~" is expanded, a relative path is taken from the
    current directory). The file runs as a new module named module_prefix followed by its base
    name without extension, which is stored in sys.modules; its directory is appended to sys.path.
    When the file's code fails, the module is taken out of sys.modules again, and a module stored
    under its name before is put back.)";

const char* const failure_format = "failure to load %s.\n> Did you provide a valid file or module name?";

object path_function(Frame& f, Name name) { return attr(attr(f.global("os"), "path"), name); }

// ----- class FlexImporter(object) -------------------------------------------------------------------

object flex_init(Frame&, handle self, handle module_prefix) {
    object prefix = borrow(module_prefix.ptr());
    if (truth(prefix) && !truth(call_method(prefix, "endswith", handle(intern(".")))))
        prefix = steal(PyNumber_Add(prefix.ptr(), intern(".")));
    set_attr(self, "module_prefix", prefix);
    return py::none();
}

void log_debug(Frame& f, const char* format, handle value) {
    object logger_debug = attr(f.global("logger"), "debug");
    call(logger_debug, steal(PyNumber_Remainder(text(format).ptr(), value.ptr())));
}

object import_by_name(Frame& f, handle obj) {
    try {
        return call(f.global("import_module"), obj);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_ModuleNotFoundError)) failure.rethrow();
        Handling handling(failure.value());
        object error = call(handle(PyExc_Exception), steal(PyNumber_Remainder(text(failure_format).ptr(), obj.ptr())));
        raise_from_none(error, failure.value());
    }
}

object flex_load(Frame& f, handle self, handle obj) {
    RecursionGuard guard;  // a loaded file may load others, or itself
    log_debug(f, "Loading: %s", obj);
    object module;
    if (contains(attr(f.global("sys"), "modules"), obj)) {
        module = get_item(attr(f.global("sys"), "modules"), obj);
    } else if (is_instance(obj, attr(f.global("types"), "ModuleType"))) {
        module = borrow(obj.ptr());
    } else if (truth(call(path_function(f, "isfile"), obj))) {
        module = call_method(self, "load_module_from_file", obj);
        call(f.state<State>().print, module);
    } else {
        module = import_by_name(f, obj);
    }
    log_debug(f, "Loaded: %s", repr_of(module));
    return module;
}

// `sys.modules[name] = module` for as long as the module's code runs: when it fails, the table is
// left as it was before, as the interpreter's own import leaves it.
void execute_registered(Frame& f, handle loader, handle module) {
    object name = attr(module, "__name__");
    object modules = attr(f.global("sys"), "modules");
    object previous = contains(modules, name) ? get_item(modules, name) : object();
    set_item(modules, name, module);
    try {
        call_method(loader, "exec_module", module);
    } catch (...) {
        Caught failure;
        {
            Handling handling(failure.value());
            if (previous) {
                set_item(modules, name, previous);
            } else if (contains(modules, name)) {
                check(PyObject_DelItem(modules.ptr(), name.ptr()));
            }
        }
        failure.rethrow();
    }
}

object flex_load_module_from_file(Frame& f, handle self, handle target_arg) {
    object abspath = path_function(f, "abspath");
    object target = call(abspath, call(path_function(f, "expanduser"), target_arg));
    object directory = call(path_function(f, "dirname"), target);
    if (!contains(attr(f.global("sys"), "path"), directory))
        call_method(attr(f.global("sys"), "path"), "append", directory);
    object splitext = path_function(f, "splitext");
    object stem = get_item(call(splitext, call(path_function(f, "basename"), target)), integer(0));
    object full_name = steal(PyNumber_Add(attr(self, "module_prefix").ptr(), stem.ptr()));
    object loader = call_kw(f.global("SourceFileLoader"), {}, {{"fullname", full_name}, {"path", target}});
    object module = call(attr(f.global("types"), "ModuleType"), attr(loader, "name"));
    set_attr(module, "__file__", target);
    execute_registered(f, loader, module);
    return module;
}

void define_flex_importer(ModuleBody& m) {
    ClassBuilder c = m.class_("FlexImporter", {m.get("object")}, handle(), flex_importer_doc);
    c.def("__init__", "(self, module_prefix='')", &flex_init);
    c.def("load", "(self, obj)", &flex_load, load_doc);
    c.def("load_module_from_file", "(self, target)", &flex_load_module_from_file, load_module_from_file_doc);
    c.create();
}

// ----- the module body ------------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("os");
    m.import_("sys");
    m.import_("types");
    m.import_("logging");
    m.from_("importlib").import_("import_module");
    m.from_("importlib.machinery").import_("SourceFileLoader");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    m.state<State>().print = m.get("print");
    define_flex_importer(m);
}
}  // namespace

QUARV_MODULE(flex, "quarv.utils.import_utils.flex", body, State)
