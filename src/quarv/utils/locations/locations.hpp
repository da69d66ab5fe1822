// Pieces of quarv.utils.locations shared by its translation units.
#pragma once

#include "native/collections.hpp"

namespace locations {
using namespace native;

// ----- the module's own state ----------------------------------------------------------------------

struct State {
    // The Location class this module made, its own __init__ and where its three slots live: records
    // are built and positioned without the class call while the module-level `Location` is still it.
    object location_class;
    object location_init;
    Py_ssize_t slot_offsets[3] = {0, 0, 0};  // file, line, column
    // The keyword names of `construct_object(node, deep=deep)`.
    object deep_keyword;
    // LIST_EXTEND_PATTERN when list-extending keys may be matched natively (shared/list_extend.hpp).
    object list_extend_pattern;
    template <typename Visit>
    void visit(Visit& v) {
        v(location_class);
        v(location_init);
        v(deep_keyword);
        v(list_extend_pattern);
    }
};

// ----- the record type (location.cpp) --------------------------------------------------------------

// Remembers the Location class this module made (see State).
void remember_location_class(State& state, handle cls, handle init);

// A new, unpositioned record: `Location()` of the module-level name looked up by the caller.
object new_location(const State& state, handle location_cls);
// `record.file, record.line, record.column = file, line, column`, in that order.
void position(const State& state, handle record, handle file, handle line, handle column);
object location_init(Frame& f, handle self, handle args, handle kwargs);
object location_str(Frame& f, handle self);
object location_extract(Frame& f, handle self);
object location_deepcopy(Frame& f, handle d);

// ----- the merges (merges.cpp) ------------------------------------------------------------------------

object recursive_location_update(Frame& f, handle data, handle new_data, handle locations, handle new_locations,
                                 handle list_extend);
object recursive_location_setdefault(Frame& f, handle data, handle new_data, handle locations, handle new_locations);

// ----- the loader (loader.cpp) ------------------------------------------------------------------------

// Readies PyYAML's node classes for the attributes the loader sets on their instances.
void prepare_node_classes(State& state, handle node_classes);
object loader_init(Frame& f, handle self, handle stream, handle locations, handle file_name);
object loader_construct_document(Frame& f, handle self, handle node);
object loader_construct_object(Frame& f, handle self, handle node, handle deep);

}  // namespace locations
