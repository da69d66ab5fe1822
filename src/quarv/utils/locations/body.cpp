// quarv.utils.locations: the Location record tree, its deep copy, the location-aware merges and the
// YAML loader that records where every key, list element and scalar was written.
#include "list_extend.hpp"
#include "locations.hpp"

namespace {
using namespace native;

void define_location(ModuleBody& m) {
    ClassBuilder c = m.class_("Location", {borrow(reinterpret_cast<PyObject*>(&PyDict_Type))});
    // Records are made once per YAML node: the position lives in slots, and an instance __dict__
    // and weak references stay available as for any other class.
    c.set("__slots__", tuple_of(text("file"), text("line"), text("column"), text("__dict__"), text("__weakref__")));
    c.def("__init__", "(self, *args, **kwargs)", &locations::location_init);
    c.def("__str__", "(self)", &locations::location_str);
    c.def("extract", "(self)", &locations::location_extract);
    object cls = c.create();
    locations::remember_location_class(m.state<locations::State>(), cls, attr(cls, "__init__"));
}

void define_loader(ModuleBody& m) {
    locations::prepare_node_classes(m.state<locations::State>(),
                                    tuple_of(m.get("ScalarNode"), m.get("SequenceNode"), m.get("MappingNode")));
    ClassBuilder c = m.class_("LocSafeLoader", {m.get("SafeLoader")});
    c.def("__init__", "(self, stream, *, locations=None, file_name=None)", &locations::loader_init);
    c.def("construct_document", "(self, node)", &locations::loader_construct_document);
    c.def("construct_object", "(self, node, deep=False)", &locations::loader_construct_object);
    // the composing steps, taken on libyaml's parser while the loader can (loader_compiled.cpp)
    c.def("check_node", "(self)", &locations::loader_check_node);
    c.def("get_node", "(self)", &locations::loader_get_node);
    c.def("get_single_node", "(self)", &locations::loader_get_single_node);
    locations::State& state = m.state<locations::State>();
    state.loader_class = c.create();
    locations::prepare_compiled_path(m, state);
}

void body(ModuleBody& m) {
    m.import_("os");
    m.import_("re");
    m.from_("collections.abc").import_("MutableMapping", "MutableSequence");
    m.from_("yaml").import_("MappingNode", "SafeLoader", "ScalarNode", "SequenceNode");
    m.from_(".dicts").import_("LIST_EXTEND_PATTERN");
    if (object pattern = m.get("LIST_EXTEND_PATTERN"); shared::is_list_extend_pattern(pattern))
        m.state<locations::State>().list_extend_pattern = pattern;
    define_location(m);
    m.def("location_deepcopy", "(d)", &locations::location_deepcopy);
    m.def("recursive_location_update", "(data, new_data, locations, new_locations, list_extend=False)",
          &locations::recursive_location_update);
    m.def("recursive_location_setdefault", "(data, new_data, locations, new_locations)",
          &locations::recursive_location_setdefault);
    define_loader(m);
}
}  // namespace

QUARV_MODULE(locations, "quarv.utils.locations", body, locations::State)
