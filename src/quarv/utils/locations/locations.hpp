// Pieces of quarv.utils.locations shared by its translation units.
#pragma once

#include <utility>
#include <vector>

#include "native/collections.hpp"

namespace locations {
using namespace native;

// ----- the module's own state ----------------------------------------------------------------------

// What the compiled path keeps: PyYAML's pieces it works with, and the composer class made on
// libyaml's parser (see loader_compiled.cpp).
struct Compiled {
    object composer;  // the class composing on yaml._yaml.CParser
    // the steps running now, on every thread, latest last: (composer, its session), both held by the
    // running step
    std::vector<std::pair<PyObject*, void*>> sessions;
    object scalar_node, sequence_node, mapping_node;  // PyYAML's node classes (also without libyaml)
    object compiled_mark;                             // yaml._yaml.Mark
    object mark;                                      // yaml.error.Mark
    object yaml_error;                                // yaml.error.YAMLError
    object marked_error;                              // yaml.error.MarkedYAMLError
    object non_printable;                             // the pure reader's pattern of refused characters
    // BaseResolver's own resolver steps: descend_resolver, ascend_resolver and resolve
    OwnMethods stock_steps;
    // Every name of the pure reader, scanner, parser and composer, with what LocSafeLoader resolves
    // it to: a loader class that resolves each the same way scans, parses and composes as
    // SafeLoader does.
    object pipeline;
    object pure_steps;  // the pure composer's check_node, get_node and get_single_node
    // Whether a loader class composes as SafeLoader does, per class.
    ClassMemo<bool> eligible;
    template <typename Visit>
    void visit(Visit& v) {
        for (object* member : {&composer, &scalar_node, &sequence_node, &mapping_node, &compiled_mark, &mark,
                               &yaml_error, &marked_error, &non_printable, &pipeline, &pure_steps})
            v(*member);
        v(stock_steps);
        v(eligible);
    }
};

struct State {
    // The Location class this module made, its own __init__ and where its three slots live: records
    // are built and positioned without the class call while the module-level `Location` is still it.
    object location_class;
    object location_init;
    newfunc location_new = nullptr;          // the class's tp_new as the class statement made it
    Py_ssize_t slot_offsets[3] = {0, 0, 0};  // file, line, column
    // The keyword names of `construct_object(node, deep=deep)`.
    object deep_keyword;
    // LIST_EXTEND_PATTERN when list-extending keys may be matched natively (shared/list_extend.hpp).
    object list_extend_pattern;

    // LocSafeLoader itself, and per loader class what `super().construct_object` finds after it
    // (the plain function found after LocSafeLoader in its MRO, or empty).
    object loader_class;
    ClassMemo<object> next_construct_object;

    // The compiled path (loader_compiled.cpp); `composer` stays empty where PyYAML has no compiled
    // parser.
    Compiled compiled;

    template <typename Visit>
    void visit(Visit& v) {
        v(location_class);
        v(location_init);
        v(deep_keyword);
        v(list_extend_pattern);
        v(loader_class);
        v(next_construct_object);
        compiled.visit(v);
    }
};

// ----- the record type (location.cpp) --------------------------------------------------------------

// Remembers the Location class this module made (see State).
void remember_location_class(State& state, handle cls, handle init);

// A new, unpositioned record: `Location()` of the module-level name looked up by the caller.
object new_location(const State& state, handle location_cls);
// `parent[key] = record`.
void enter_record(const State& state, handle parent, handle key, handle record);
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
object loader_check_node(Frame& f, handle self);
object loader_get_node(Frame& f, handle self);
object loader_get_single_node(Frame& f, handle self);

// ----- the compiled path (loader_compiled.cpp) ---------------------------------------------------------

// Readies the compiled path when PyYAML has its compiled parser; leaves it off otherwise.
void prepare_compiled_path(ModuleBody& m, State& state);
// Called by LocSafeLoader.__init__ once the base is initialised: gives the loader a compiled composer
// when its class composes as SafeLoader does and its text suits libyaml's parser.
void start_compiled_path(State& state, handle self);
// The composing steps of the document interface: the loader's compiled composer takes them while it
// can, the base's otherwise.
enum class Composing { check_node, get_node, get_single_node };
object compose(Frame& f, handle self, Composing step);
// An error of the base's construction, whose marks the compiled parser made, is given the marks the
// pure reader gives (with the text around the position).
void give_pure_marks(const State& state, handle self, handle error);

}  // namespace locations
