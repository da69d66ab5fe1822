// Pieces of quarv.utils.locations shared by its translation units.
#pragma once

#include "native/collections.hpp"

namespace locations {
using namespace native;

// ----- the record type (location.cpp) --------------------------------------------------------------

// Remembers the Location class this module made, so records can be built and positioned without
// going through the class call when the module-level `Location` is still that very class.
void remember_location_class(handle cls, handle init);

// A new, unpositioned record: `Location()` of the module-level name looked up by the caller.
object new_location(handle location_cls);
// `record.file, record.line, record.column = file, line, column`, in that order.
void position(handle record, handle file, handle line, handle column);
object location_init(Frame& f, handle self, handle args, handle kwargs);
object location_str(Frame& f, handle self);
object location_extract(Frame& f, handle self);
object location_deepcopy(Frame& f, handle d);

// ----- the merges (merges.cpp) ------------------------------------------------------------------------

object recursive_location_update(Frame& f, handle data, handle new_data, handle locations, handle new_locations,
                                 handle list_extend);
object recursive_location_setdefault(Frame& f, handle data, handle new_data, handle locations,
                                     handle new_locations);

// ----- the loader (loader.cpp) ------------------------------------------------------------------------

// Readies PyYAML's node classes for the attributes the loader sets on their instances.
void prepare_node_classes(handle node_classes);
object loader_init(Frame& f, handle self, handle stream, handle locations, handle file_name);
object loader_construct_document(Frame& f, handle self, handle node);
object loader_construct_object(Frame& f, handle self, handle node, handle deep);

}  // namespace locations
