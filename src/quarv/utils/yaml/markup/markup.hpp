// Pieces of quarv.utils.yaml.markup shared by its translation units.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "native/collections.hpp"
#include "native/module.hpp"
#include "native/own.hpp"

namespace markup {
using namespace native;

// ----- the module's state (body.cpp) ------------------------------------------------------------------

// The walk's methods, each with its bit in the runtime's verdicts (OwnMethods): the module records
// them, in this order, when it makes the class. While a processor's class still has them (and the
// instance does not shadow them), the walk calls the C++ directly instead of going through attribute
// look-up and the call protocol.
enum Method : uint32_t {
    RECURSE = 1u << 0,
    PROCESS_STR = 1u << 1,
    PROCESS_MAPPING = 1u << 2,
    ITER_MAPPING = 1u << 3,
    PROCESS_ITERABLE = 1u << 4,
    MATCH_EXTEND_LIST = 1u << 5,
};
struct WalkMethod {
    Method bit;
    Name name;
};
constexpr WalkMethod walk_methods[] = {
    {RECURSE, "_recurse"},
    {PROCESS_STR, "_process_str"},
    {PROCESS_MAPPING, "_process_mutable_mapping"},
    {ITER_MAPPING, "_iter_mutable_mapping"},
    {PROCESS_ITERABLE, "_process_iterable"},
    {MATCH_EXTEND_LIST, "match_extend_list_markup"},
};
constexpr int walk_method_count = sizeof(walk_methods) / sizeof(walk_methods[0]);
// The name of a walk method, by its bit.
consteval Name method_name(Method method) {
    for (const WalkMethod& row : walk_methods)
        if (row.bit == method) return row.name;
    throw "not a walk method";
}
// The position of a walk method among those recorded.
consteval int method_position(Method method) {
    for (int i = 0; i < walk_method_count; ++i)
        if (walk_methods[i].bit == method) return i;
    throw "not a walk method";
}
constexpr bool bits_follow_positions() {
    for (int i = 0; i < walk_method_count; ++i)
        if (walk_methods[i].bit != (1u << i)) return false;
    return true;
}
static_assert(bits_follow_positions(), "each walk method's bit is its position in walk_methods");
template <size_t... I>
constexpr std::array<Name, sizeof...(I)> names_of_walk_methods(std::index_sequence<I...>) {
    return {walk_methods[I].name...};
}
// The names as OwnMethods records them.
constexpr std::array<Name, walk_method_count> walk_method_names =
    names_of_walk_methods(std::make_index_sequence<walk_method_count>());

struct State {
    OwnMethods own_methods;  // the walk methods as the class statement made them
    object own_iter_mapping_fn;
    object generator_of;  // a generator function yielding what an iterator gives
    // the patterns the body compiled; a module attribute still bound to one of them is known to
    // need a "%" in the text for any match
    object base_pattern;
    object extend_list_pattern;
    object typing_module;
    object hashable;              // typing.Hashable as the body found it
    uint64_t typing_version = 0;  // the typing module's namespace when it last still had it
    object user_string;           // collections.UserString
    object reprlib_repr;          // reprlib.repr
    // the list class of key paths under which nothing is written back into the caller's data (a
    // mapping key's texts, the references of a list extension)
    object quiet_key_path;
    object marker_text;      // "%"
    ImportMemo credentials;  // `from quarv.topology.credentials import Credentials`
    // processors inside __call__ now (borrowed: each call holds its processor)
    std::vector<PyObject*> active_calls;

    template <typename Visit>
    void visit(Visit& v) {
        v(own_methods);
        v(own_iter_mapping_fn);
        v(generator_of);
        v(base_pattern);
        v(extend_list_pattern);
        v(typing_module);
        v(hashable);
        v(user_string);
        v(reprlib_repr);
        v(quiet_key_path);
        v(marker_text);
        v(credentials);
    }
};

// ----- small helpers (support.cpp) ----------------------------------------------------------------

// "Caught error while processing markups: \nIndex:  <key path text>\nMarkup: <markup>\n"
object short_message(handle index, handle markup);
// `raise MarkupError(short_message(index, markup)) from cause`
[[noreturn]] void raise_short(Frame& f, handle index, handle markup, handle cause);
// The text forms of a key path's items joined with ".".
object key_path_text(handle index);
// `data.replace(old, new)`.
object replaced(handle data, handle old, handle new_);
// The most characters the text of one value may reach while its markups are resolved: far more than
// any configuration holds, included files of many megabytes among them, and far less than what a
// text that doubles at every pass would take of memory.
constexpr Py_ssize_t max_expanded_length = Py_ssize_t{64} << 20;
// The most characters the handlers may produce for one value in all its passes: a text that grows by
// large steps stays below max_expanded_length for many passes, each of which reads the whole text.
constexpr Py_ssize_t max_expansion_work = Py_ssize_t{512} << 20;
// `data.replace(old, new)` for a handler's markup and value: a MarkupError naming the key path
// `index` when the new text would be longer than max_expanded_length, before it is made.
object expanded(Frame& f, handle index, handle data, handle old, handle new_);
// MarkupError: resolving the markup at the key path made its text longer than max_expanded_length
// (or, with `work`, the texts made for it longer than max_expansion_work together).
[[noreturn]] void raise_expansion(Frame& f, handle index, handle markup, bool work = false);
// `match.group(n)`
object group(handle match, int n);
// `data[start:end]` for the `(start, end)` that a match's span() gave: a pair of integers (or None),
// adjusted as slicing adjusts them, whatever an overridden match hands back.
object spanned_part(handle data, handle span);
// The positions of a match's span() within a text of `length` characters, as slicing adjusts them.
std::pair<Py_ssize_t, Py_ssize_t> span_positions(handle span, Py_ssize_t length);
// The text holds no "%" (so neither a markup nor a list-extension key can match in it).
bool without_marker(handle text);
// `isinstance(value, MutableMapping) or isinstance(value, Iterable)` with the module's names.
bool is_container(Frame& f, handle value);
// Writes `result` into the processor's `original` at the key path `index`, unless nothing may be
// written there: a quiet key path, the root, or a path that the caller's data cannot follow.
void write_back(Frame& f, handle self, handle index, handle result);
// A key path under which nothing is written back, holding the items of `index`.
object quiet_copy(Frame& f, handle index);
bool is_quiet(Frame& f, handle index);
// `from quarv.topology.credentials import Credentials`, as the statement runs at each use.
object import_credentials(Frame& f);

// ----- the walk (walk.cpp) ------------------------------------------------------------------------

object recurse(Frame& f, handle self, handle data, handle index, handle locations);
object iter_mutable_mapping(Frame& f, handle self, handle data, handle index, handle locations);
object process_mutable_mapping(Frame& f, handle self, handle data, handle index, handle locations);
object process_iterable(Frame& f, handle self, handle data, handle index, handle locations);
object process_str(Frame& f, handle self, handle data, handle index, handle locations);

// ----- markup handlers ----------------------------------------------------------------------------

// references.cpp
object p_reference_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
object p_extend_list_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
// callables.cpp
object parse_callable_arguments(Frame& f, handle self, handle args_str);
object p_callable_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
// includes.cpp
object p_file_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
// outside.cpp
object p_environ_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
object p_ask_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
object p_enc_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);
object p_cli_markup(Frame& f, handle self, handle match, handle data, handle index, handle locations);

}  // namespace markup
