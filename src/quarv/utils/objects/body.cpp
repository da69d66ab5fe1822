// quarv.utils.objects: finds, in collections of objects, dictionaries and lists, the items that meet
// requirements, or the values that meet them with the key paths leading to them, and groups such
// values by the names of regular-expression groups.
#include "objects.hpp"

namespace {
using namespace native;
using namespace objects;

namespace doc {
const char* match = R"(Tests one object against a requirement mapping (key, attribute name or operator to the expected
value); "__" in a text key nests the rest of the key one level down when use__syntax is true.

With filter_ true the result is true when the object meets every entry and False otherwise. With
filter_ false it is False when the object does not meet the mapping, None when it does but nothing
was recorded, else the matched value with its key path, as one (value, [keys]) pair or as a list of
such pairs. An expected value under the key "callable_" is called with the whole object: it decides
whether the object matches and, in value mode, yields nothing.)";
const char* find = R"(Searches `from_` for the items that meet every requirement (R objects; keywords make one
requirement when no R is given) or, with filter_ false, for the values that meet them, each as a
(value, [keys]) pair. A requirement path holding regular expressions with named groups lets the
pairs of several requirements that have nothing in common be merged through the values of their
groups. A "callable_" requirement tests the whole item and yields no value in value mode.

type_ admits only instances of the class(es) given; index, in value mode over one item, replaces each
value by the container that many steps down its key path.)";
const char* normalize_r = "normalization function to reduce regex at multiple requirements";
const char* build_dict = "Recursive function to return the right dictionary for the index";
}  // namespace doc

object define_find(ModuleBody& m) {
    ClassBuilder c = m.class_("Find");
    c.def("_formalize_loopable", "(self, obj)", &find_formalize_loopable);
    c.def("_match", "(self, obj, wanted, use__syntax=True, filter_=True)", &find_match, doc::match);
    c.def("_unhashable_intersection", "(self, unhashables_lists)", &find_unhashable_intersection);
    c.def("_unhashable_remove", "(self, unhashables)", &find_unhashable_remove);
    c.def("reset_keys", "(self)", &find_reset_keys);
    c.def("find",
          "(self, from_, *requirements, type_=None, filter_=True, index=None, _first=True, all_keys=False, **kwargs)",
          &search_collection, doc::find);
    c.def("_populate_path", "(self, path, keys, device=None, _cur_path=None, _first=True)", &find_populate_path);
    c.def("_normalize_r", "(self, requirements)", &find_normalize_r, doc::normalize_r);
    c.def("_build_dict", "(self, from_, keys, index)", &find_build_dict, doc::build_dict);
    object cls = c.create();
    State& state = m.state<State>();
    state.Find = cls;
    state.find_methods.record(cls, std::span<const Name>(find_method_names));
    return cls;
}

void define_group_keys(ModuleBody& m) {
    ClassBuilder c = m.class_("GroupKeys");
    c.classmethod("group_keys", "(self, source, reqs, ret_num=None, all_keys=False)", &group_keys);
    c.create();
}

void body(ModuleBody& m) {
    m.import_("re");
    m.import_("copy");
    m.from_("quarv.topology.bases").import_("TopologyObject");
    m.from_("quarv.datastructures.logic").import_("BaseLogic");
    m.from_("collections.abc").import_("Iterable");
    m.import_("logging");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));

    State& state = m.state<State>();
    state.iterable_abc = m.get("Iterable");
    state.sequence_abc = attr(steal(PyImport_ImportModule("collections.abc")), "Sequence");
    state.re_compile = attr(m.get("re"), "compile");

    object find_cls = define_find(m);
    define_requirement(m);
    define_operators(m);
    define_group_keys(m);
    m.set("find", attr(call(find_cls), "find"));
}
}  // namespace

QUARV_MODULE(objects, "quarv.utils.objects", body, State)
