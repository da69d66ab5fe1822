// LocSafeLoader on libyaml's parser. While a loader's class scans, parses and composes as SafeLoader
// does, PyYAML's compiled parser composes its nodes, and the loader constructs and records them as
// on the pure path. Where the two parsers part, the loader either brings libyaml's result to what the
// pure parser gives, or leaves the document to the pure parser, which then also gives every error:
//
// - texts the pure scanner refuses but libyaml takes (tabs as separators, a comment straight after a
//   block scalar's indicators, tags holding flow indicators or a second '!' after other characters,
//   '?' inside a plain scalar of a flow collection) and texts whose columns the two count apart (a
//   byte order mark after the first character) go to the pure parser whole;
// - an empty scalar of a flow collection is placed after its ':' or '?' indicator, as the pure parser
//   places it, and one at the end of a text without a final line break at the end of that text,
//   where libyaml counts a line more;
// - the non-specific tag '!' resolves as the pure parser resolves it;
// - nesting the pure composer could not reach within the recursion limit, and nesting deeper than
//   the native stack holds, is left to the pure parser before libyaml's composer goes that deep.
#include <string>
#include <vector>

#include "locations.hpp"

namespace locations {

namespace {

// Levels of the interpreter's recursion limit held while libyaml composes, on top of the two per
// nesting level that the pure composer's frames take: the pure path's own frames at its deepest
// point (its entry, its scanner and parser steps), and a reserve. Beyond them the pure composer
// might fail where libyaml's would not, so the document is left to the pure composer.
constexpr int composing_reserve = 24;

// The steps of the document interface a compiled composer has taken, as `_step`.
enum Step : long { fresh = 0, checked = 1, between = 2, ended = 3 };

// BaseResolver's resolver steps, as Compiled::stock_steps records them
enum StockStep : uint32_t { stock_descend = 1u << 0, stock_ascend = 1u << 1, stock_resolve = 1u << 2 };

// ----- the text ---------------------------------------------------------------------------------------

bool is_break(Py_UCS4 c) { return c == '\n' || c == '\r' || c == 0x85 || c == 0x2028 || c == 0x2029; }
bool is_blank(Py_UCS4 c) { return c == ' ' || is_break(c); }
bool is_handle_char(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
}
bool is_block_indicator(Py_UCS4 c) { return c == '-' || c == '+' || (c >= '0' && c <= '9'); }

// What the compiled path needs to know of its whole text.
struct Shape {
    bool suits = true;  // libyaml's parser reads it as the pure parser does
    int bom = 0;        // 1 when it opens with a byte order mark: libyaml's indexes skip it
    bool ends_with_break = false;
    long last_line = 0;
    long last_column = 0;
    Py_ssize_t length = 0;
};

template <typename Char>
Shape shape_of(const Char* chars, Py_ssize_t length) {
    Shape shape;
    shape.length = length;
    shape.bom = length > 0 && chars[0] == 0xFEFF;
    long line = 0;
    Py_ssize_t line_start = 0;
    // within a run of non-blank characters that holds a '!': whether all characters since the last
    // '!' could belong to a tag handle
    bool in_tag = false;
    bool handle_so_far = true;
    auto refuse = [&] {
        shape.suits = false;
        return shape;
    };
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = chars[i];
        if (c == '\t' || (c == 0xFEFF && i > 0)) return refuse();
        if (c == '#') {
            Py_ssize_t j = i - 1;
            for (int n = 0; j >= 0 && n < 2 && is_block_indicator(chars[j]); ++n) --j;
            if (j >= 0 && (chars[j] == '|' || chars[j] == '>')) return refuse();
        }
        if (c == '!') {
            if (in_tag && !handle_so_far) return refuse();
            in_tag = true;
            handle_so_far = true;
        } else if (is_blank(c)) {
            in_tag = false;
        } else if (in_tag) {
            if (c == ',' || c == '[' || c == ']' || c == '{' || c == '}') return refuse();
            if (!is_handle_char(c)) handle_so_far = false;
        }
        if (is_break(c) && !(c == '\r' && i + 1 < length && chars[i + 1] == '\n')) {
            ++line;
            line_start = i + 1;
        }
    }
    shape.ends_with_break = length > 0 && is_break(chars[length - 1]);
    shape.last_line = line;
    shape.last_column = static_cast<long>(length - line_start) - (line == 0 ? shape.bom : 0);
    return shape;
}

Shape shape_of(handle text) {
    PyObject* t = text.ptr();
    switch (PyUnicode_KIND(t)) {
        case PyUnicode_1BYTE_KIND:
            return shape_of(PyUnicode_1BYTE_DATA(t), PyUnicode_GET_LENGTH(t));
        case PyUnicode_2BYTE_KIND:
            return shape_of(PyUnicode_2BYTE_DATA(t), PyUnicode_GET_LENGTH(t));
        default:
            return shape_of(PyUnicode_4BYTE_DATA(t), PyUnicode_GET_LENGTH(t));
    }
}

Py_UCS4 char_at(handle text, Py_ssize_t i) { return PyUnicode_READ_CHAR(text.ptr(), i); }

// Where a stream stands when the reader has read its first chunk, for the pure reader to go on from
// there should the document go back to it: the position `tell` gives for a stream that says it is
// seekable. Empty for any other stream (a pipe, a socket, an object with only `read`): its text is
// left to the pure reader, which reads it as it arrives, document by document.
object resume_point(handle stream) {
    try {
        object seekable = optional_attr(stream, "seekable");
        if (!seekable || !truth(call(seekable))) return object();
        return call_method(stream, "tell");
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return object();
    }
}

// The loader's whole text as the pure reader has it or would read it. For a seekable stream, what
// follows the reader's first chunk is read to the end here, and `resume` tells where the pure reader
// is to go on reading should the document go back to it. Empty when the compiled path cannot take
// the input: the pure reader would refuse or could not decode part of it, reading fails, or the
// stream gives what the reader does not expect.
object text_of_input(const Compiled& compiled, handle self, object& resume) {
    object buffer = attr(self, "buffer");
    if (!PyUnicode_CheckExact(buffer.ptr()) || as_long(attr(self, "pointer")) != 0) return object();
    Py_ssize_t length = PyUnicode_GET_LENGTH(buffer.ptr());
    bool at_end = attr(self, "stream").is_none() || truth(attr(self, "eof"));
    if (at_end) {
        // the reader has decoded and checked the whole input, and ended it with NUL
        if (length == 0 || char_at(buffer, length - 1) != 0) return object();
        return steal(PyUnicode_Substring(buffer.ptr(), 0, length - 1));
    }
    object stream = attr(self, "stream");
    resume = resume_point(stream);
    if (!resume) return object();
    object raw = attr(self, "raw_buffer");
    object decode = attr(self, "raw_decode");
    bool bytes = !decode.is_none();
    PyTypeObject* expected = bytes ? &PyBytes_Type : &PyUnicode_Type;
    if (Py_TYPE(raw.ptr()) != expected) return object();
    object chunks = new_list();
    try {
        for (;;) {
            object chunk = call_method(stream, "read", integer(1 << 16));
            if (Py_TYPE(chunk.ptr()) != expected) return object();
            if (!truth(chunk)) break;
            append(chunks, chunk);
        }
    } catch (...) {
        // the pure reader reads again from where it stands, and meets the failure itself
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        return object();
    }
    object empty = bytes ? steal(PyBytes_FromStringAndSize(nullptr, 0)) : text("");
    object undecoded = steal(PyNumber_Add(raw.ptr(), call_method(empty, "join", chunks).ptr()));
    object tail = undecoded;
    if (bytes) {
        try {
            tail = unpack<2>(call(decode, undecoded, text("strict"), handle(Py_True)))[0];
        } catch (...) {
            Caught failure;
            if (!failure.matches(PyExc_UnicodeDecodeError)) failure.rethrow();
            return object();
        }
    }
    if (!call_method(compiled.non_printable, "search", tail).is_none()) return object();
    return steal(PyNumber_Add(buffer.ptr(), tail.ptr()));
}

// ----- the session: one composing step running on a compiled composer ------------------------------------

struct Session {
    PyObject* loader;    // borrowed: the composing step holds it
    bool forward_steps;  // the loader's own path-resolver steps are to be called
    bool base_resolve;   // the loader resolves as BaseResolver.resolve does, without path resolvers
    long held = 0;       // recursion levels held for the nesting so far
};

// The session of the innermost step running on this composer. Sessions are kept in the module
// state, never in the composer, whose attributes user code can rewrite.
Session& session_of(Frame& f, handle composer) {
    auto& sessions = f.state<State>().compiled.sessions;
    for (auto entry = sessions.rbegin(); entry != sessions.rend(); ++entry)
        if (entry->first == composer.ptr()) return *static_cast<Session*>(entry->second);
    raise(PyExc_RuntimeError, "the compiled composer runs only within a step of its loader");
}

bool hold_level() {
    if (Py_EnterRecursiveCall(" while composing a YAML document")) return false;
    return true;
}

// descend_resolver(self, current_node, current_index): one nesting level more. It holds the levels
// the pure composer would take, and checks the native stack that libyaml's composer recurses on.
object composer_descend(Frame& f, handle self, handle current_node, handle current_index) {
    Session& session = session_of(f, self);
    for (int i = 0; i < 2; ++i) {
        if (!hold_level()) throw_error();
        ++session.held;
    }
    {
        RecursionGuard native_stack(" while composing a YAML document");
    }
    if (session.forward_steps) call_method(handle(session.loader), "descend_resolver", current_node, current_index);
    return py::none();
}

object composer_ascend(Frame& f, handle self) {
    Session& session = session_of(f, self);
    if (session.forward_steps) call_method(handle(session.loader), "ascend_resolver");
    for (int i = 0; i < 2 && session.held > 0; ++i, --session.held) Py_LeaveRecursiveCall();
    return py::none();
}

// `table.get(key, [])`; empty where an exact dict has no entry.
object resolvers_for(handle table, handle key) {
    if (!PyDict_CheckExact(table.ptr())) return call_method(table, "get", key, new_list());
    // checked: no call into Python between: the entry is taken as a strong reference at once
    PyObject* found = PyDict_GetItemWithError(table.ptr(), key.ptr());
    if (!found && PyErr_Occurred()) throw_error();
    return found ? borrow(found) : object();
}

// BaseResolver.resolve(self, kind, value, implicit), for a loader without path resolvers.
object resolve_as_base(const Compiled& compiled, handle loader, handle kind, handle value, handle implicit) {
    bool scalar = kind.ptr() == compiled.scalar_node.ptr();
    if (scalar && truth(get_item(implicit, integer(0)))) {
        object table = attr(loader, "yaml_implicit_resolvers");
        object first;
        if (PyUnicode_CheckExact(value.ptr())) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
            first = length == 0 ? borrow(value.ptr()) : steal(PyUnicode_Substring(value.ptr(), 0, 1));
        } else {
            first = equal(value, text("")) ? text("") : get_item(value, integer(0));
        }
        object own = resolvers_for(table, first);
        object wildcard = resolvers_for(table, py::none());
        if (own || wildcard) {
            object none_found = new_list();
            object candidates =
                steal(PyNumber_Add((own ? own : none_found).ptr(), (wildcard ? wildcard : none_found).ptr()));
            object tag;
            for_each(candidates, [&](handle entry) {
                if (tag) return;
                auto [entry_tag, regexp] = unpack2(entry);
                if (truth(call_method(regexp, "match", value))) tag = entry_tag;
            });
            if (tag) return tag;
        }
    }
    if (scalar) return attr(loader, "DEFAULT_SCALAR_TAG");
    if (kind.ptr() == compiled.sequence_node.ptr()) return attr(loader, "DEFAULT_SEQUENCE_TAG");
    if (kind.ptr() == compiled.mapping_node.ptr()) return attr(loader, "DEFAULT_MAPPING_TAG");
    return py::none();
}

// resolve(self, kind, value, implicit): the loader's resolve, with the implicit flags the pure parser
// gives. For a scalar tagged '!' alone the pure parser passes (True, False) where libyaml passes
// (False, False) for an empty one; for a collection it passes True where libyaml passes False when
// the collection is tagged '!'.
object composer_resolve(Frame& f, handle self, handle kind, handle value, handle implicit) {
    Session& session = session_of(f, self);
    const Compiled& compiled = f.state<State>().compiled;
    object flags = borrow(implicit.ptr());
    if (kind.ptr() != compiled.scalar_node.ptr()) {
        flags = borrow(Py_True);
        // checked: type checked above: an exact tuple of two, whose items are compared by identity only
    } else if (PyTuple_CheckExact(implicit.ptr()) && PyTuple_GET_SIZE(implicit.ptr()) == 2 &&
               PyTuple_GET_ITEM(implicit.ptr(), 0) == Py_False && PyTuple_GET_ITEM(implicit.ptr(), 1) == Py_False) {
        flags = tuple_of(handle(Py_True), handle(Py_False));
    }
    if (!session.base_resolve) return call_method(handle(session.loader), "resolve", kind, value, flags);
    return resolve_as_base(compiled, handle(session.loader), kind, value, flags);
}

// ----- the composed document -----------------------------------------------------------------------------

enum class Role { root, key, value, element };

struct Pending {
    object node;
    bool in_flow;
    Role role;
};

// A new compiled mark at `index` of the text (counted as libyaml counts, without a byte order mark).
object compiled_mark(const Compiled& compiled, handle like, Py_ssize_t index, long line, long column) {
    return call(compiled.compiled_mark, attr(like, "name"), integer(index), integer(line), integer(column), py::none(),
                py::none());
}

void move_marks(handle node, handle mark) {
    set_attr(node, "start_mark", mark);
    set_attr(node, "end_mark", mark);
}

// The column of text index `at` on its line, as the pure reader counts it.
long column_at(handle text, const Shape& shape, Py_ssize_t at, long line) {
    Py_ssize_t start = at;
    while (start > 0 && !is_break(char_at(text, start - 1))) --start;
    return static_cast<long>(at - start) - (line == 0 ? shape.bom : 0);
}

// An empty plain scalar that is a key or value of a flow mapping: libyaml places it at the token
// after it, the pure parser right after the '?' (a key) or ':' (a value) before it. False when the
// place cannot be told (a comment may stand between).
bool place_empty_flow_scalar(const Compiled& compiled, handle text, const Shape& shape, handle node, Role role) {
    object mark = attr(node, "start_mark");
    Py_ssize_t index = as_long(attr(mark, "index"));
    Py_ssize_t at = index + shape.bom;
    if (index < 0 || at >= shape.length) return true;
    Py_UCS4 next = char_at(text, at);
    if (next != ',' && next != ':' && next != ']' && next != '}') return true;  // it has properties
    Py_ssize_t before = at;
    long lines_crossed = 0;
    while (before > 0 && is_blank(char_at(text, before - 1))) {
        Py_UCS4 c = char_at(text, before - 1);
        if (is_break(c) && !(c == '\r' && char_at(text, before) == '\n')) ++lines_crossed;
        --before;
    }
    if (before > 0 && char_at(text, before - 1) == (role == Role::value ? ':' : '?')) {
        long line = as_long(attr(mark, "line")) - lines_crossed;
        long column =
            lines_crossed ? column_at(text, shape, before, line) : as_long(attr(mark, "column")) - (at - before);
        move_marks(node, compiled_mark(compiled, mark, before - shape.bom, line, column));
        return true;
    }
    if (role == Role::key) return false;
    if (lines_crossed) {
        Py_ssize_t start = before;
        while (start > 0 && !is_break(char_at(text, start - 1))) --start;
        for (Py_ssize_t i = start; i < before; ++i)
            if (char_at(text, i) == '#') return false;
    }
    return true;
}

// A compiled mark is immutable, and one whose fields (the stream's name, and no text) are all
// objects the garbage collector does not follow can never be part of a reference cycle. Such marks,
// two on every node, are taken out of the collector's view, as the interpreter does for a tuple of
// atoms: the collections that run while the document is constructed then walk far fewer objects.
int refers_to_container(PyObject* referent, void* found) {
    if (PyObject_IS_GC(referent)) *static_cast<bool*>(found) = true;
    return 0;
}

void untrack_mark(const Compiled& compiled, PyObject* mark) {
    PyTypeObject* type = Py_TYPE(mark);
    if (reinterpret_cast<PyObject*>(type) != compiled.compiled_mark.ptr() || !PyObject_GC_IsTracked(mark) ||
        !type->tp_traverse)
        return;
    bool found = false;
    type->tp_traverse(mark, refers_to_container, &found);
    if (!found) PyObject_GC_UnTrack(mark);
}

void untrack_marks(const Compiled& compiled, handle node) {
    untrack_mark(compiled, attr(node, "start_mark").ptr());
    untrack_mark(compiled, attr(node, "end_mark").ptr());
}

bool is_plain(handle style) {
    return style.is_none() || (PyUnicode_Check(style.ptr()) && PyUnicode_GET_LENGTH(style.ptr()) == 0);
}

// Walks a document libyaml composed: brings the places of its empty scalars to the pure parser's,
// and tells whether the pure parser would read the document as libyaml did (false: leave it to the
// pure parser).
bool audit(const Compiled& compiled, handle text, const Shape& shape, handle root) {
    std::vector<Pending> pending;
    pending.push_back({borrow(root.ptr()), false, Role::root});
    object seen = steal(PySet_New(nullptr));
    while (!pending.empty()) {
        Pending item = std::move(pending.back());
        pending.pop_back();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item.node.ptr()));
        if (type == compiled.scalar_node.ptr()) {
            if (item.in_flow && is_plain(attr(item.node, "style"))) {
                object value = attr(item.node, "value");
                if (!PyUnicode_Check(value.ptr())) return false;
                if (PyUnicode_FindChar(value.ptr(), '?', 0, PyUnicode_GET_LENGTH(value.ptr()), 1) != -1) return false;
                if (PyUnicode_GET_LENGTH(value.ptr()) == 0 && (item.role == Role::key || item.role == Role::value) &&
                    !place_empty_flow_scalar(compiled, text, shape, item.node, item.role))
                    return false;
            }
            if (!shape.ends_with_break) {
                object mark = attr(item.node, "start_mark");
                if (as_long(attr(mark, "line")) > shape.last_line)
                    move_marks(item.node, compiled_mark(compiled, mark, shape.length - shape.bom, shape.last_line,
                                                        shape.last_column));
            }
            untrack_marks(compiled, item.node);
            continue;
        }
        bool mapping = type == compiled.mapping_node.ptr();
        if (!mapping && type != compiled.sequence_node.ptr()) return false;
        if (check(PySet_Contains(seen.ptr(), item.node.ptr()))) continue;  // an alias of a node seen
        check(PySet_Add(seen.ptr(), item.node.ptr()));
        untrack_marks(compiled, item.node);
        bool flow = truth(attr(item.node, "flow_style"));
        Snapshot children(attr(item.node, "value"));
        for (handle child : children) {
            if (!mapping) {
                pending.push_back({borrow(child.ptr()), flow, Role::element});
                continue;
            }
            // checked: type checked above: the exact-tuple test comes first in the condition
            if (!PyTuple_CheckExact(child.ptr()) || PyTuple_GET_SIZE(child.ptr()) != 2) return false;
            // checked: type checked above: an exact tuple of two
            pending.push_back({borrow(PyTuple_GET_ITEM(child.ptr(), 0)), flow, Role::key});
            // checked: type checked above: an exact tuple of two
            pending.push_back({borrow(PyTuple_GET_ITEM(child.ptr(), 1)), flow, Role::value});
        }
    }
    return true;
}

// ----- the composing steps ------------------------------------------------------------------------------

Name step_name(Composing step) {
    switch (step) {
        case Composing::check_node:
            return "check_node";
        case Composing::get_node:
            return "get_node";
        default:
            return "get_single_node";
    }
}

// The steps taken in the order the document interface takes them; any other order is left to the
// pure parser, which answers it as it always has.
bool allowed(Composing step, long done) {
    switch (step) {
        case Composing::check_node:
            return done != ended;
        case Composing::get_node:
            return done == checked || done == between;
        default:
            return done == fresh;
    }
}

long after(Composing step, handle result) {
    switch (step) {
        case Composing::check_node:
            return truth(result) ? checked : ended;
        case Composing::get_node:
            return result.is_none() ? ended : between;
        default:
            return ended;
    }
}

object compiled_composer_of(const Compiled& compiled, handle self) {
    if (!compiled.composer) return object();
    object composer = optional_attr(self, "_compiled_parser");
    if (composer && Py_TYPE(composer.ptr()) != reinterpret_cast<PyTypeObject*>(compiled.composer.ptr()))
        return object();
    return composer;
}

Shape stored_shape(handle composer) {
    auto stored = unpack<5>(attr(composer, "_shape"));
    auto field = [&](size_t i) { return as_long(stored[i]); };
    Shape shape;
    shape.bom = static_cast<int>(field(0));
    shape.ends_with_break = field(1) != 0;
    shape.last_line = field(2);
    shape.last_column = field(3);
    shape.length = field(4);
    return shape;
}

// Runs the step on libyaml's parser. Empty when libyaml's parser refused, went deeper than the pure
// composer could, or composed a document the pure parser should read; the recursion levels held are
// released whichever way the step ends.
object compose_compiled(Frame& f, handle self, handle composer, Composing step) {
    Compiled& compiled = f.state<State>().compiled;
    auto* type = Py_TYPE(self.ptr());
    uint32_t stock = f.state<State>().compiled.stock_steps.class_bits(type);
    bool stock_steps = (stock & (stock_descend | stock_ascend)) == (stock_descend | stock_ascend) &&
                       !truth(attr(self, "yaml_path_resolvers"));
    Session session{self.ptr(), !stock_steps, stock_steps && (stock & stock_resolve) != 0};
    compiled.sessions.emplace_back(composer.ptr(), &session);
    RestoreOnExit end_session([&] {
        // its own entry, wherever it stands: a step on another thread may have begun meanwhile
        auto& sessions = compiled.sessions;
        for (auto entry = sessions.end(); entry != sessions.begin();) {
            if ((--entry)->second == &session) {
                sessions.erase(entry);
                break;
            }
        }
        for (; session.held > 0; --session.held) Py_LeaveRecursiveCall();
    });
    try {
        for (int i = 0; i < composing_reserve; ++i, ++session.held)
            if (!hold_level()) throw_error();
        object result = call_method(composer, step_name(step));
        if (step == Composing::check_node || result.is_none()) return result;
        // the text and its shape as the loader stored them: where its attributes were rewritten
        // since, the pure parser reads the document
        object whole = attr(composer, "_text");
        Shape shape = stored_shape(composer);
        if (!PyUnicode_CheckExact(whole.ptr()) || PyUnicode_GET_LENGTH(whole.ptr()) != shape.length || shape.bom < 0 ||
            shape.bom > 1 || shape.length < shape.bom)
            return object();
        if (!audit(compiled, whole, shape, result)) return object();
        return result;
    } catch (...) {
        Caught failure;
        if (!failure.matches(tuple_of(compiled.yaml_error, handle(PyExc_RecursionError)))) failure.rethrow();
        return object();
    }
}

// The stream goes back to where the reader had read it, for the pure reader to go on from there.
void give_back_stream(handle self, handle resume) { call_method(attr(self, "stream"), "seek", resume); }

// The document goes back to the pure parser: the composer is dropped, a stream gets back what was
// read from it, and the steps taken so far are taken again on the pure parser.
object fall_back(Frame& f, handle self, handle composer, Composing step) {
    object steps = attr(composer, "_steps");
    object resume = attr(composer, "_resume");
    check(PyObject_DelAttr(self.ptr(), intern("_compiled_parser")));
    if (!resume.is_none()) give_back_stream(self, resume);
    for_each(steps, [&](handle taken) { call(attr(f.super_(self), taken)); });
    return f.super_call(self, step_name(step));
}

// Whether instances of the class scan, parse and compose as SafeLoader does: along its MRO, the
// first definition of each name of the pure pipeline is the one LocSafeLoader resolves it to, and
// after LocSafeLoader's own composing steps super() reaches the pure composer's.
bool pipeline_unchanged(State& state, PyTypeObject* type) {
    Compiled& compiled = state.compiled;
    // name -> what its next definition along the MRO must be; None once nothing further counts
    object expected = steal(PyDict_Copy(compiled.pipeline.ptr()));
    return for_each(borrow(type->tp_mro), [&](handle cls) {
        if (!PyType_Check(cls.ptr())) return true;
        bool own = cls.ptr() == state.loader_class.ptr();
        // the class's entries as they are now: a look-up below may run a key's __eq__
        Snapshot entries(steal(PyDict_Items(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict)));
        for (handle entry : entries) {
            auto [name, value] = unpack<2>(entry);
            object wanted = mapping_get(expected, name, py::none());
            if (wanted.is_none()) continue;
            if (value.ptr() != wanted.ptr()) return false;
            object then = own ? mapping_get(compiled.pure_steps, name, py::none()) : object(py::none());
            check(PyDict_SetItem(expected.ptr(), name.ptr(), then.ptr()));
        }
        return true;
    });
}

bool composes_as_safe_loader(State& state, PyTypeObject* type) {
    return state.compiled.eligible.get(type, [&](PyTypeObject* t) { return pipeline_unchanged(state, t); });
}

// The class composing on libyaml's parser: CParser with the resolver steps above and slots for what
// the loader keeps of its compiled path.
object make_composer_class(ModuleBody& m, handle cparser) {
    object ns = new_dict();
    set_item(ns, text("__module__"), m.name());
    set_item(ns, text("__qualname__"), text("LocSafeLoader.compiled_composer"));
    set_item(ns, text("__slots__"),
             tuple_of(text("_text"), text("_shape"), text("_resume"), text("_steps"), text("_step"), text("_start")));
    set_item(ns, text("descend_resolver"),
             make_function(function_def("descend_resolver", "LocSafeLoader.compiled_composer.descend_resolver",
                                        "(self, current_node, current_index)", &composer_descend),
                           m));
    set_item(ns, text("ascend_resolver"),
             make_function(function_def("ascend_resolver", "LocSafeLoader.compiled_composer.ascend_resolver", "(self)",
                                        &composer_ascend),
                           m));
    set_item(ns, text("resolve"),
             make_function(function_def("resolve", "LocSafeLoader.compiled_composer.resolve",
                                        "(self, kind, value, implicit)", &composer_resolve),
                           m));
    return call(handle(reinterpret_cast<PyObject*>(&PyType_Type)), text("compiled_composer"), tuple_of(cparser), ns);
}

}  // namespace

void prepare_compiled_path(ModuleBody& m, State& state) {
    object yaml = steal(PyImport_ImportModule("yaml"));
    object with_libyaml = optional_attr(yaml, "__with_libyaml__");
    if (!with_libyaml || !truth(with_libyaml)) return;
    object cyaml = steal(PyImport_ImportModule("yaml._yaml"));
    object error = steal(PyImport_ImportModule("yaml.error"));
    object resolver = attr(steal(PyImport_ImportModule("yaml.resolver")), "BaseResolver");
    Compiled& compiled = state.compiled;
    compiled.compiled_mark = attr(cyaml, "Mark");
    compiled.mark = attr(error, "Mark");
    compiled.yaml_error = attr(error, "YAMLError");
    compiled.marked_error = attr(error, "MarkedYAMLError");
    compiled.stock_steps.record(resolver, {"descend_resolver", "ascend_resolver", "resolve"});
    object reader = attr(steal(PyImport_ImportModule("yaml.reader")), "Reader");
    compiled.non_printable = attr(reader, "NON_PRINTABLE");
    // the pure pipeline: every name the reader, scanner, parser and composer define
    compiled.pipeline = new_dict();
    compiled.pure_steps = new_dict();
    const char* modules[][2] = {{"yaml.reader", "Reader"},
                                {"yaml.scanner", "Scanner"},
                                {"yaml.parser", "Parser"},
                                {"yaml.composer", "Composer"}};
    for (auto& [module, name] : modules) {
        object cls = attr(steal(PyImport_ImportModule(module)), name_of(name));
        for_each_item(borrow(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict), [&](handle key, handle value) {
            std::string text_of_key = utf8(key);
            if (text_of_key.starts_with("__") && text_of_key.ends_with("__")) return;
            if (!check(PyDict_Contains(compiled.pipeline.ptr(), key.ptr())))
                check(PyDict_SetItem(compiled.pipeline.ptr(), key.ptr(), value.ptr()));
        });
    }
    for (Name step : {Name("check_node"), Name("get_node"), Name("get_single_node")}) {
        handle key(intern(step));
        check(PyDict_SetItem(compiled.pure_steps.ptr(), key.ptr(), get_item(compiled.pipeline, key).ptr()));
        check(PyDict_SetItem(compiled.pipeline.ptr(), key.ptr(), class_member(state.loader_class, step).ptr()));
    }
    compiled.composer = make_composer_class(m, attr(cyaml, "CParser"));
}

void start_compiled_path(State& state, handle self) {
    const Compiled& compiled = state.compiled;
    if (!compiled.composer || !composes_as_safe_loader(state, Py_TYPE(self.ptr()))) return;
    object resume;
    object whole = text_of_input(compiled, self, resume);
    Shape shape = whole ? shape_of(whole) : Shape{};
    if (!whole || !shape.suits) {
        if (resume) give_back_stream(self, resume);
        return;
    }
    object composer = call(compiled.composer, whole);
    set_attr(composer, "_text", whole);
    set_attr(composer, "_shape",
             tuple_of(integer(shape.bom), integer(shape.ends_with_break), integer(shape.last_line),
                      integer(shape.last_column), integer(shape.length)));
    set_attr(composer, "_resume", resume ? handle(resume) : handle(Py_None));
    set_attr(composer, "_steps", new_list());
    set_attr(composer, "_step", integer(fresh));
    set_attr(composer, "_start", attr(self, "state"));
    set_attr(self, "_compiled_parser", composer);
}

object compose(Frame& f, handle self, Composing step) {
    const Compiled& compiled = f.state<State>().compiled;
    object composer = compiled_composer_of(compiled, self);
    if (!composer) return f.super_call(self, step_name(step));
    if (attr(self, "state").ptr() != attr(composer, "_start").ptr()) {
        // the pure parser has been used (or disposed of) since: it goes on from where it stands
        check(PyObject_DelAttr(self.ptr(), intern("_compiled_parser")));
        return f.super_call(self, step_name(step));
    }
    if (!allowed(step, as_long(attr(composer, "_step")))) return fall_back(f, self, composer, step);
    object result = compose_compiled(f, self, composer, step);
    if (!result) return fall_back(f, self, composer, step);
    append(attr(composer, "_steps"), handle(intern(step_name(step))));
    set_attr(composer, "_step", integer(after(step, result)));
    return result;
}

void give_pure_marks(const State& state, handle self, handle error) {
    const Compiled& compiled = state.compiled;
    object buffer = attr(self, "buffer");
    bool whole_text = attr(self, "stream").is_none();
    int bom = PyUnicode_Check(buffer.ptr()) && PyUnicode_GET_LENGTH(buffer.ptr()) > 0 && char_at(buffer, 0) == 0xFEFF;
    object args = attr(error, "args");
    object new_args = steal(PySequence_List(args.ptr()));
    bool changed = false;
    for (Name name : {Name("context_mark"), Name("problem_mark")}) {
        object mark = optional_attr(error, name);
        if (!mark || Py_TYPE(mark.ptr()) != reinterpret_cast<PyTypeObject*>(compiled.compiled_mark.ptr())) continue;
        object index = integer(as_long(attr(mark, "index")) + bom);
        object pure = call(compiled.mark, attr(self, "name"), index, attr(mark, "line"), attr(mark, "column"),
                           whole_text ? handle(buffer) : handle(Py_None), whole_text ? handle(index) : handle(Py_None));
        set_attr(error, name, pure);
        // checked: made here: new_args is this function's own list, which no user code can reach
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(new_args.ptr()); ++i) {
            // checked: made here, as above; only the item's identity is compared
            if (PyList_GET_ITEM(new_args.ptr(), i) == mark.ptr())
                check(PyList_SetItem(new_args.ptr(), i, pure.inc_ref().ptr()));
        }
        changed = true;
    }
    if (changed) set_attr(error, "args", steal(PyList_AsTuple(new_args.ptr())));
}

}  // namespace locations
