// Pieces of quarv.utils.yaml.markup shared by its translation units.
#pragma once

#include <cstdint>
#include <vector>

#include "native/collections.hpp"
#include "native/module.hpp"

namespace markup {
using namespace native;

// ----- the module's state (body.cpp) ------------------------------------------------------------------

// The walk's methods as this copy of the module made them, to know them again in a processor's
// class: while a class still has them (and the instance does not shadow them), the walk calls the
// C++ directly instead of going through attribute look-up and the call protocol.
enum Method : unsigned {
    RECURSE = 1u << 0,
    PROCESS_STR = 1u << 1,
    PROCESS_MAPPING = 1u << 2,
    ITER_MAPPING = 1u << 3,
    PROCESS_ITERABLE = 1u << 4,
    MATCH_EXTEND_LIST = 1u << 5,
};
constexpr int method_count = 6;

struct State {
    object own[method_count];  // indexed by the bit number of Method
    object own_iter_mapping_fn;
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
    // the class verdict last made: which walk methods `verdict_type` still has as this module's own
    object verdict_type;
    unsigned verdict_version = 0;
    unsigned verdict_bits = 0;
    // processors inside __call__ now (borrowed: each call holds its processor)
    std::vector<PyObject*> active_calls;

    template <typename Visit>
    void visit(Visit& v) {
        for (object& fn : own) v(fn);
        v(own_iter_mapping_fn);
        v(base_pattern);
        v(extend_list_pattern);
        v(typing_module);
        v(hashable);
        v(user_string);
        v(reprlib_repr);
        v(quiet_key_path);
        v(marker_text);
        v(credentials);
        v(verdict_type);
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
// Which walk methods the processor still has as this module's own.
unsigned own_methods(Frame& f, handle self);

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
