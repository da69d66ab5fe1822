// quarv.utils.yaml.markup: resolution of the markups written inside data loaded from YAML
// (references, environment variables, included files, prompts, encoded secrets, command-line
// values, callables and list extensions). The module body, the processor's construction and call,
// its matchers, and the terminal prompt.
#include "markup.hpp"

namespace markup {
namespace {

namespace doc {
const char* module = "Resolution of the markups written inside data loaded from YAML.";
const char* ask_for_input = R"(Prompts for a value on the terminal.

Writes prompt_text to standard output without a line end and returns the line then read from
standard input, without its line end.)";
const char* processor = R"(Walks data loaded from YAML and resolves the markups written in its texts.

Each flag switches one markup on:
    reference       %{path}, %{path.keys()}: a value of the data being processed
    callable        %CALLABLE{module.name(arguments)}: the result of calling an importable callable
    env_var         %ENV{NAME}: an environment variable
    include_file    %INCLUDE{path}: the content of a YAML file
    ask             %ASK{prompt}: a line typed on the terminal
    encode          %ENC{encoded, prefix=name}: a decoded secret
    cli_var         %CLI{key, default=value}: a command-line value
    extend_list     %EXTEND_LIST{path, path}: the concatenation of lists of the data
yaml_loader_cls, when given, is the YAML loader class used for included files: it is built with
the keyword markupprocessor (a new processor like this one) and its load method is called with the
file path and the keyword locations.

Calling the processor with the data (and optionally its location tree) returns the processed data;
resolved references are also written back into the data given, so that later references read
resolved values.

Values that come from outside the document (environment variables, command-line values, prompt
answers, decoded secrets, included text) are scanned again for markups: such a value holding
%CALLABLE{...} runs it while callables are enabled. Callers who take such values from untrusted
sources turn callable off.

The markups of one value may make its text at most 64 Mi characters (67,108,864) long, and the
handlers may make at most 512 Mi characters (536,870,912) of texts for it in all: a value whose
markups keep expanding past either raises MarkupError naming the limit and the key path. Included
files of many megabytes fit; a text that holds its own markup twice, which doubles at every pass,
does not.

A resolved reference is written back only along keys as they stand in the data: below a key that
its own markup changed, nothing is written back.)";
const char* init = R"(Chooses the markups to resolve (each flag by its truth value) and the YAML loader class for
included files.)";
const char* call = R"(Processes data and returns the result; locations is the location tree of data, or None.

A markup that resolves to its own text again is left as it stands.)";
const char* recurse = R"(Processes one value of the data at the key path index.

Failures are reported once, as a MarkupError naming the key path and the value.)";
const char* iter_mapping = "Yields the processed (key, value) pairs of a mapping, one pair when asked.";
const char* process_mapping = "A new mapping of the class of data, with processed keys and values.";
const char* process_iterable = "A new list of the processed elements of data.";
const char* process_str = R"(Resolves the markups of one text, one per pass, in the order of the action table.

A markup handler that gives the text back unchanged counts as not matching; a text that keeps
changing for more passes than any document needs, or grows past 64 Mi characters (or past 512 Mi
characters of texts made for it in all), raises MarkupError.)";
const char* parse_callable_arguments =
    R"(The old parsing implementation, used when the callable arguments cannot be parsed with ast.parse.

Takes the text with the callable's arguments and returns the list of arguments.)";
const char* match = "The match of the markup's pattern in the text, or None.";
const char* p_reference = R"(Resolves a reference %{path} (or %{path.keys()}) against the data being processed.

A reference that fills the whole text gives the value itself; inside a longer text a list or dict
is left as a placeholder ${path} (for callables), any other value as its text form.)";
const char* p_callable = "Resolves %CALLABLE{name(arguments)} by importing the callable and calling it.";
const char* p_file = R"(Resolves %INCLUDE{path} with the content of the YAML file.

The file's text is scanned again for markups.)";
const char* p_environ = R"(Resolves %ENV{NAME} with the environment variable, or nothing when it is not set.

The value is scanned again for markups.)";
const char* p_ask = R"(Resolves %ASK{prompt} with a line typed on the terminal.

The answer is scanned again for markups.)";
const char* p_enc = R"(Resolves %ENC{encoded, prefix=name} with the decoded secret.

The decoded text is scanned again for markups; an empty encoded text is left as it stands.)";
const char* p_cli = R"(Resolves %CLI{key, default=value} with the command-line value, converted to a number when it
writes one; a bracketed list gives a list.

The value is scanned again for markups.)";
const char* p_extend_list = R"(Resolves %EXTEND_LIST{path, path, ...} with the concatenation of the values at the paths.

Every path is resolved against the data as it was before this markup, empty pieces are skipped,
and the concatenated list is written back in place of the markup.)";
}  // namespace doc

// ----- ask_for_input(prompt_text) ------------------------------------------------------------------

object ask_for_input(Frame& f, handle prompt_text) {
    call_kw(f.global("print"), {prompt_text}, {{"end", handle(intern(""))}});
    return call(f.global("input"));
}

// ----- Processor.__init__ ----------------------------------------------------------------------------

// The constructor's flags, by their position among its parameters.
enum Flag : int { REFERENCE, CALLABLE, ENV_VAR, INCLUDE_FILE, ASK, ENCODE, CLI_VAR, EXTEND_LIST, flag_count };

struct Row {
    Flag flag;
    Name matcher;
    Name handler;
};

object processor_init(Frame& f, handle self, handle reference, handle callable_, handle env_var, handle include_file,
                      handle ask, handle encode, handle cli_var, handle extend_list, handle yaml_loader_cls) {
    set_attr(self, "_inhibit_recurse_exception", handle(Py_False));
    set_attr(self, "_yaml_loader_cls", yaml_loader_cls);
    const handle flags[flag_count] = {reference, callable_, env_var, include_file, ask, encode, cli_var, extend_list};
    static constexpr const char* flag_names[flag_count] = {"reference", "callable", "env_var", "include_file",
                                                           "ask",       "encode",   "cli_var", "extend_list"};
    object kwargs = new_dict();
    for (int i = 0; i < flag_count; ++i) check(PyDict_SetItemString(kwargs.ptr(), flag_names[i], flags[i].ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "yaml_loader_cls", yaml_loader_cls.ptr()));
    set_attr(self, "kwargs", kwargs);
    set_attr(self, "_actions", new_list());
    // the action table, in its own order (not the parameters')
    static constexpr Row rows[] = {
        {REFERENCE, "match_reference_markup", "p_reference_markup"},
        {ENV_VAR, "match_env_markup", "p_environ_markup"},
        {INCLUDE_FILE, "match_include_file_markup", "p_file_markup"},
        {ASK, "match_ask_markup", "p_ask_markup"},
        {ENCODE, "match_enc_markup", "p_enc_markup"},
        {CLI_VAR, "match_cli_markup", "p_cli_markup"},
        {CALLABLE, "match_callable_markup", "p_callable_markup"},
        {EXTEND_LIST, "match_extend_list_markup", "p_extend_list_markup"},
    };
    for (const Row& row : rows) {
        if (!truth(flags[row.flag])) continue;
        if (row.flag == CLI_VAR) {
            object get_argv_args = attr(NATIVE_GLOBAL(f, "utils"), "get_argv_args");
            set_attr(self, "arguments", call(get_argv_args, attr(self, "argv")));
        }
        object pair = tuple_of(attr(self, row.matcher), attr(self, row.handler));
        append(attr(self, "_actions"), pair);
    }
    return py::none();
}

// ----- Processor.__call__ ----------------------------------------------------------------------------

object processor_call(Frame& f, handle self, handle data, handle locations) {
    State& state = f.state<State>();
    bool outermost = true;
    for (PyObject* active : state.active_calls) outermost = outermost && active != self.ptr();
    // an earlier call's failure must not keep this call's failures from being reported
    if (outermost) set_attr(self, "_inhibit_recurse_exception", handle(Py_False));
    set_attr(self, "original", data);
    set_attr(self, "markup_already_seen", new_dict());
    state.active_calls.push_back(self.ptr());
    RestoreOnExit leave([&] {
        std::vector<PyObject*>& active = f.state<State>().active_calls;
        for (auto it = active.end(); it != active.begin();) {
            if (*--it == self.ptr()) {
                active.erase(it);
                break;
            }
        }
    });
    return call_kw(attr(self, "_recurse"), {data, handle(new_list())}, {{"locations", locations}});
}

// ----- the matchers ----------------------------------------------------------------------------------

object search(handle pattern, handle data) { return call_method(pattern, "search", data); }

object match_callable(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "CALLABLE_PATTERN"), data); }
object match_reference(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "REFERENCE_PATTERN"), data); }
object match_include_file(Frame& f, handle, handle data) {
    return search(NATIVE_GLOBAL(f, "INCLUDE_FILE_PATTERN"), data);
}
object match_env(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "ENV_PATTERN"), data); }
object match_ask(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "ASK_PATTERN"), data); }
object match_enc(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "ENC_PATTERN"), data); }
object match_cli(Frame& f, handle, handle data) { return search(NATIVE_GLOBAL(f, "CLI_PATTERN"), data); }
object match_extend_list(Frame& f, handle, handle data) {
    return search(NATIVE_GLOBAL(f, "EXTEND_LIST_PATTERN"), data);
}

// ----- the class ---------------------------------------------------------------------------------------

// The list class of quiet key paths: a list in every respect, known to the walk by its class.
object make_quiet_key_path(ClassBuilder& processor) {
    ClassBuilder c =
        processor.nested("_QuietKeyPath", {borrow(reinterpret_cast<PyObject*>(&PyList_Type))}, handle(),
                         "A key path under which resolved references are not written back into the caller's data.");
    c.set("__slots__", steal(PyTuple_New(0)));
    return c.create();
}

// The generator function behind _iter_mutable_mapping's generators, named as the method is. Its
// loop passes what send hands it by (as the method's own loop would), and throw and close end it at
// its yield.
object make_generator_of(ModuleBody& m) {
    static constexpr const char* source =
        "def _iter_mutable_mapping(pairs):\n"
        "    for pair in pairs:\n"
        "        yield pair\n";
    object code = steal(Py_CompileString(source, "<quarv.utils.yaml.markup>", Py_file_input));
    object names = new_dict();
    check(PyDict_SetItemString(names.ptr(), "__builtins__", PyEval_GetBuiltins()));
    check(PyDict_SetItemString(names.ptr(), "__name__", m.name().ptr()));
    steal(PyEval_EvalCode(code.ptr(), names.ptr(), names.ptr()));
    object fn = get_item(names, handle(intern("_iter_mutable_mapping")));
    set_attr(fn, "__qualname__", text("Processor._iter_mutable_mapping"));
    return fn;
}

void define_processor(ModuleBody& m) {
    ClassBuilder c = m.class_("Processor", {}, handle(), doc::processor);
    object argv = attr(m.get("sys"), "argv");
    c.set("argv", steal(PySequence_GetSlice(argv.ptr(), 1, PY_SSIZE_T_MAX)));
    c.def("__init__",
          "(self, reference=True, callable=True, env_var=True, include_file=True, ask=True, encode=True, "
          "cli_var=True, extend_list=True, yaml_loader_cls=None)",
          &processor_init, doc::init);
    c.def("__call__", "(self, data, locations=None)", &processor_call, doc::call);
    c.def("_recurse", "(self, data, index, locations=None)", &recurse, doc::recurse);
    c.def("_iter_mutable_mapping", "(self, data, index, locations=None)", &iter_mutable_mapping, doc::iter_mapping);
    c.def("_process_mutable_mapping", "(self, data, index, locations=None)", &process_mutable_mapping,
          doc::process_mapping);
    c.def("_process_iterable", "(self, data, index, locations=None)", &process_iterable, doc::process_iterable);
    c.def("_parse_callable_arguments", "(self, args_str)", &parse_callable_arguments, doc::parse_callable_arguments);
    c.def("match_callable_markup", "(self, data)", &match_callable, doc::match);
    c.def("match_reference_markup", "(self, data)", &match_reference, doc::match);
    c.def("match_include_file_markup", "(self, data)", &match_include_file, doc::match);
    c.def("match_env_markup", "(self, data)", &match_env, doc::match);
    c.def("match_ask_markup", "(self, data)", &match_ask, doc::match);
    c.def("match_enc_markup", "(self, data)", &match_enc, doc::match);
    c.def("match_cli_markup", "(self, data)", &match_cli, doc::match);
    c.def("match_extend_list_markup", "(self, data)", &match_extend_list, doc::match);
    c.def("_process_str", "(self, data, index, locations=None)", &process_str, doc::process_str);
    c.def("p_reference_markup", "(self, match, data, index, locations=None)", &p_reference_markup, doc::p_reference);
    c.def("p_callable_markup", "(self, match, data, index, locations=None)", &p_callable_markup, doc::p_callable);
    c.def("p_file_markup", "(self, match, data, index, locations=None)", &p_file_markup, doc::p_file);
    c.def("p_environ_markup", "(self, match, data, index, locations=None)", &p_environ_markup, doc::p_environ);
    c.def("p_ask_markup", "(self, match, data, index, locations=None)", &p_ask_markup, doc::p_ask);
    c.def("p_enc_markup", "(self, match, data, index, locations=None)", &p_enc_markup, doc::p_enc);
    c.def("p_cli_markup", "(self, match, data, index, locations=None)", &p_cli_markup, doc::p_cli);
    c.def("p_extend_list_markup", "(self, match, data, index, locations=None)", &p_extend_list_markup,
          doc::p_extend_list);
    object quiet_key_path = make_quiet_key_path(c);
    object cls = c.create();

    State& state = m.state<State>();
    state.own_methods.record(cls, walk_method_names);
    state.quiet_key_path = quiet_key_path;
    state.generator_of = make_generator_of(m);
    state.own_iter_mapping_fn = borrow(state.own_methods.member(method_position(ITER_MAPPING)).ptr());
}

// ----- the module body -------------------------------------------------------------------------------

struct PatternRow {
    const char* name;
    const char* text;
};

constexpr PatternRow patterns[] = {
    {"BASE_PATTERN", R"re(%\w*{.*})re"},
    {"REFERENCE_PATTERN", R"re((%{ *(.+?) *}))re"},
    {"STORED_REFERENCE_PATTERN", R"re([^\"\']?(\${ *(.+?) *})[^\"\'])re"},
    {"CALLABLE_PATTERN", R"re((%CALLABLE{ *(?P<method_name>.+?)(\((?P<arguments>.*)\))* *}))re"},
    {"INCLUDE_FILE_PATTERN", R"re((%INCLUDE{ *(.+?) *}))re"},
    {"ENV_PATTERN", R"re((%ENV{ *([0-9a-zA-Z\_]+) *}))re"},
    {"ASK_PATTERN", R"re((%ASK{ *(.*?) *}))re"},
    {"ENC_PATTERN", R"re((%ENC{ *(.*?) *(, *prefix *= *([0-9a-zA-Z\_]+))? *}))re"},
    {"CLI_PATTERN", R"re((%CLI{ *(?P<cli_key>.*?) *(, *default *= *(?P<default>.*?))?}))re"},
    {"EXTEND_LIST_PATTERN", R"re(%EXTEND_LIST{ *(.+?) *})re"},
    {"_LIST_PATTERN", R"re(\[(.*?)\])re"},
};

void body(ModuleBody& m) {
    m.doc(doc::module);
    m.import_("sys");
    m.import_("os");
    m.import_("logging");
    m.import_("re");
    m.import_("ast");
    m.import_("yaml");
    m.import_("typing");
    m.from_("collections.abc").import_("Iterable", "MutableMapping");
    m.from_(".exceptions").import_("MarkupError");
    m.from_("..").import_("utils", "import_utils");
    m.from_("quarv.utils.strings").import_("wrap_split");
    m.from_("quarv.utils.mirrane").import_("SecretString");

    State& state = m.state<State>();
    state.typing_module = m.get("typing");
    state.hashable = attr(state.typing_module, "Hashable");
    state.user_string = attr(steal(PyImport_ImportModule("collections")), "UserString");
    state.reprlib_repr = attr(steal(PyImport_ImportModule("reprlib")), "repr");
    state.marker_text = text("%");

    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    object compile = attr(m.get("re"), "compile");
    for (const PatternRow& row : patterns) m.set(row.name, call(compile, text(row.text)));
    state.base_pattern = m.get("BASE_PATTERN");
    state.extend_list_pattern = m.get("EXTEND_LIST_PATTERN");

    m.def("ask_for_input", "(prompt_text)", &ask_for_input, doc::ask_for_input);
    define_processor(m);
}

}  // namespace
}  // namespace markup

QUARV_MODULE(markup, "quarv.utils.yaml.markup", markup::body, markup::State)
