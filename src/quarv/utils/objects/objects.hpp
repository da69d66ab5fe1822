// Pieces of quarv.utils.objects shared by its translation units.
#pragma once

#include <iterator>
#include <span>
#include <vector>

#include "native/collections.hpp"
#include "native/own.hpp"

namespace objects {
using namespace native;

// ----- the module's state --------------------------------------------------------------------------------

// The methods of Find that the walk runs here while a Find object still has them. State::find_methods
// records find_method_names, so each method's bit is its position there.
constexpr Name find_method_names[] = {"find",
                                      "_match",
                                      "_normalize_r",
                                      "reset_keys",
                                      "_unhashable_intersection",
                                      "_unhashable_remove",
                                      "_build_dict",
                                      "_formalize_loopable"};
enum FindMethod : uint32_t {
    own_find = 1u << 0,
    own_match = 1u << 1,
    own_normalize_r = 1u << 2,
    own_reset_keys = 1u << 3,
    own_unhashable_intersection = 1u << 4,
    own_unhashable_remove = 1u << 5,
    own_build_dict = 1u << 6,
    own_formalize_loopable = 1u << 7,
};
static_assert(std::size(find_method_names) == 8 && own_formalize_loopable == 1u << 7,
              "one name in find_method_names for each FindMethod bit, in bit order");

// The classes this copy of the module made, to recognise them when a looked-up name still refers to
// them, and Find's own methods; the standard library's classes the module tests against when its own
// names still refer to them.
struct State {
    object Find;
    object R;
    OwnMethods find_methods;
    object iterable_abc;  // collections.abc.Iterable
    object sequence_abc;  // collections.abc.Sequence
    object re_compile;    // re.compile as the module found it

    template <typename Visit>
    void visit(Visit& v) {
        for (object* member : {&Find, &R, &iterable_abc, &sequence_abc, &re_compile}) v(*member);
        v(find_methods);
    }
};

// ----- small helpers (support.cpp) ----------------------------------------------------------------------

// `isinstance(obj, Iterable)` with the module-level name looked up now.
bool is_iterable(Frame& f, handle obj);
// `isinstance(obj, cls)`.
bool is_instance_of(handle obj, handle cls);
// `isinstance(obj, Operator)`, `isinstance(obj, NotExists)`.
bool is_operator(Frame& f, handle obj);
bool is_not_exists(Frame& f, handle obj);
// A str (or subclass) whose first character is "(".
bool is_pattern_text(handle obj);
// `str(obj).startswith("(")`.
bool text_form_opens_pattern(handle obj);
// `re.compile(source)` through the module-level `re`.
object compile_pattern(Frame& f, handle source);
// The same, a failure of the `Exception` family raised as ValueError "'{shown}' is not a valid regex
// expression" from it.
object compile_or_refuse(Frame& f, handle source, handle shown);
// Whether `pattern.match(text)` gives a match; the same through the bound `match` of a pattern.
bool pattern_matches(handle pattern, handle text);
bool matcher_accepts(handle match, handle text);
// `list(pattern.groupindex)[0]`, the pattern's first group name (IndexError when it has none).
object first_group_name(handle pattern);
// `d[key]` of an exact dict (or of a dict subclass, read as dict reads it), or nothing where the key
// is missing; the key's own __hash__ and __eq__ run as for any look-up.
object dict_lookup(handle dict, handle key);
// `sequence[start:]`.
object slice_from(handle sequence, Py_ssize_t start);
// `next(iterator)`, or nothing when it is exhausted: for walking two iterables side by side as zip
// walks them.
object next_of(handle iterator);
// `(value, [key])`.
object pair_of(handle value, handle key);
// `path.insert(0, key)`.
void insert_front(handle path, handle key);
// Whether looking the methods of `methods` (FindMethod bits) up on `self` still finds this module's
// own: its class has not replaced them, nor does an attribute of its own shadow them.
inline bool has_own(Frame& f, handle self, uint32_t methods) {
    return f.state<State>().find_methods.instance_has(self, methods);
}

// ----- the matcher (matcher.cpp) --------------------------------------------------------------------------

// What a search knows of the Find object it runs on: which of its collaborators are still this
// module's own, so that they are run here without the call protocol.
struct Finder {
    Frame& f;
    handle self;
    bool match_is_own;
    bool formalize_is_own;
    Finder(Frame& frame, handle finder_self);
};

// One entry of a requirement mapping after "__" grouping.
struct Entry {
    object key;
    object expected;
    bool plain;  // a group entry maps a head to a dictionary of the rest of its keys
    bool owned;  // the expected dictionary is the matcher's own (made by the grouping)
};

// Groups a requirement mapping into entries. `pure` (when given) tells whether the grouping ran no
// code but the interpreter's own on texts: every key an exact text, no value of the caller copied.
std::vector<Entry> group_entries(Finder& finder, handle wanted, bool use_syntax, bool* pure = nullptr);

// The grouping of one keyword requirement mapping (use__syntax true), kept across the items of a walk
// while grouping it again could give nothing else: the grouping was pure and the mapping, an exact
// dict, has not changed since (its version tag).
struct GroupedWanted {
    std::vector<Entry> entries;
    uint64_t version = 0;
    bool kept = false;
};
// `self._match(obj, wanted, True, filter_=filter_)` with this module's own _match, grouping `wanted` only
// when the kept grouping does not hold.
object match_grouped(Finder& finder, handle obj, handle wanted, GroupedWanted& grouped, handle filter_);
// The matcher itself, on grouped entries; `filter_` is passed on as given, its truth decides.
object match_entries(Finder& finder, handle obj, std::span<const Entry> entries, handle use_syntax, handle filter_);
// `self._match(obj, wanted, use__syntax, filter_=filter_)`, run here when it is this module's own.
object match_via(Finder& finder, handle obj, handle wanted, handle use_syntax, handle filter_);
// The matcher on the one entry {key: expected}, use__syntax false, as the walk calls it for a path of
// two elements.
object match_one(Finder& finder, handle obj, handle key, handle expected, handle filter_);

object find_match(Frame& f, handle self, handle obj, handle wanted, handle use_syntax, handle filter_);
object find_formalize_loopable(Frame& f, handle self, handle obj);
object formalize_loopable(Frame& f, handle obj);

// ----- the operators (operators.cpp) ----------------------------------------------------------------------

void define_requirement(ModuleBody& m);
void define_operators(ModuleBody& m);

// ----- the walk (walk.cpp, merge.cpp, projection.cpp, results.cpp) -------------------------------------------

// Find.find.
object search_collection(Frame& f, handle self, handle from_, handle type_, handle filter_, handle index, handle first,
                         handle all_keys, handle requirements, handle kwargs);
object find_reset_keys(Frame& f, handle self);
object find_normalize_r(Frame& f, handle self, handle requirements);
object find_unhashable_intersection(Frame& f, handle self, handle unhashables_lists);
object find_unhashable_remove(Frame& f, handle self, handle unhashables);
object find_build_dict(Frame& f, handle self, handle from_, handle keys, handle index);
object find_populate_path(Frame& f, handle self, handle path, handle keys, handle device, handle cur_path,
                          handle first);
// The record of each requirement's results of a value search with several requirements, on self, and
// when the results have nothing in common (return_objs is empty) their merge into return_objs.
void record_and_merge(Frame& f, handle self, handle all_keys, handle requirements, handle r_return_objs,
                      handle return_objs);
// The index projection of a value search's results over a one-item from_.
object projection(Frame& f, handle self, handle from_, handle return_objs, handle index);
object group_keys(Frame& f, handle cls, handle source, handle reqs, handle ret_num, handle all_keys);

// Own implementations, called where the Find object's method is still this module's.
object unhashable_intersection(Frame& f, handle self, handle unhashables_lists);
object unhashable_remove(handle unhashables);
object normalize_r(Frame& f, handle requirements);

}  // namespace objects
