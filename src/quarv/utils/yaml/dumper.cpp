// quarv.utils.yaml.dumper: a safe YAML dumper that writes ordered dictionaries as plain mappings in
// their insertion order.
#include "native/native.hpp"

namespace {
using namespace native;

// Handing the base the items view rather than the mapping keeps it from sorting the keys.
object ordereddict_representer(Frame&, handle dumper, handle data) {
    RecursionGuard guard;  // the values are represented from here, nested mappings through here again
    object represent_dict = attr(dumper, "represent_dict");
    object items = call_method(data, "items");
    return call(represent_dict, items);
}

void body(ModuleBody& m) {
    m.from_("yaml").import_("SafeDumper");
    m.from_("collections").import_("OrderedDict");
    ClassBuilder c = m.class_("OrderedSafeDumper", {m.get("SafeDumper")}, handle(), "Order safe dumper");
    c.staticmethod("ordereddict_representer", "(dumper, data)", &ordereddict_representer);
    object cls = c.create();
    call_method(cls, "add_representer", m.get("OrderedDict"), attr(cls, "ordereddict_representer"));
}
}  // namespace

QUARV_MODULE(dumper, "quarv.utils.yaml.dumper", body)
