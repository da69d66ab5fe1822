// quarv.utils.__zendrel__: importing it switches legacy-name redirection on for the process. The
// translations come from the entry points that installed distributions declare in the group
// LEGACY_IMPORT_ENTRYPOINT; once they are registered the hook is installed.
#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

struct State {
    // The built-in ImportWarning, as it was when the module was imported.
    object import_warning;
    template <typename Visit>
    void visit(Visit& v) {
        v(import_warning);
    }
};

const char* const banner =
    "+-------------------------------------+\n"
    "|   You have zendrel enabled   |\n"
    "+-------------------------------------+";

// `register(**dict(contribution))`.
void register_mapping(handle register_, handle contribution) {
    object keywords = new_dict();
    check(PyDict_Merge(keywords.ptr(), contribution.ptr(), 1));
    call_forward(register_, {}, handle(), keywords);
}

// `register(*contribution)`, with the interpreter's error for what cannot be unpacked.
void register_items(handle register_, handle contribution) { call_forward(register_, {}, contribution, handle()); }

object initialize(Frame& f) {
    call_kw(attr(f.global("warnings"), "warn"), {},
            {{"message", text(banner)}, {"category", f.state<State>().import_warning}});
    object entry_points =
        call(attr(f.global("pkg_resources"), "iter_entry_points"), f.global("LEGACY_IMPORT_ENTRYPOINT"));
    for_each(entry_points, [&](handle entry_point) {
        object contribution = call_method(entry_point, "load");
        if (!truth(contribution)) contribution = new_dict();
        if (is_instance(contribution, f.global("Mapping"))) {
            register_mapping(attr(f.global("LegacyImporter"), "register"), contribution);
        } else {
            register_items(attr(f.global("LegacyImporter"), "register"), contribution);
        }
    });
    call(attr(f.global("LegacyImporter"), "install"));
    return py::none();
}

// ----- the module body ------------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("warnings");
    m.import_("pkg_resources");
    m.from_("collections.abc").import_("Mapping");
    m.from_(".import_utils").import_("LegacyImporter", "on_import");
    m.set("LEGACY_IMPORT_ENTRYPOINT", text("quarv.utils.__zendrel__"));
    m.state<State>().import_warning = m.get("ImportWarning");
    // @on_import over `def _initialize()`: the function is bound only as what the decorator returns
    object function = make_function(function_def("_initialize", "_initialize", "()", &initialize), m);
    m.set("_initialize", call(m.get("on_import"), function));
}
}  // namespace

QUARV_MODULE(__zendrel__, "quarv.utils.__zendrel__", body, State)
