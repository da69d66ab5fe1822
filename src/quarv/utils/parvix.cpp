// quarv.utils.parvix: clean-up of the word lists that argparse collects for nargs='*' options.
#include <cstring>

#include "native/collections.hpp"

namespace {
using namespace native;

namespace doc {
const char* module = " Utilities to help with tricky CLI command parsing ";

const char* expand_nargs_list = R"(expand_nargs_list

Expand an argparse nargs list of strings: every item is split at each blank, any single or
double quotes are stripped from both ends of the pieces, and duplicates are removed.

The order of the input is NOT kept. An empty (false) input is returned as it is, without further
processing.

Example
-------
>>> # --foo 4 5 6 "1 2 3 4" x y 5   (nargs='*', the command line split at every blank)
>>> sorted(expand_nargs_list(['4', '5', '6', '"1', '2', '3', '4"', 'x', 'y', '5']))
['1', '2', '3', '4', '5', '6', 'x', 'y'])";

const char* remove_dups_from_multiple_nargs_list = R"(remove_dups_from_multiple_nargs_list

Remove duplicates from a list of nargs lists (an option declared with nargs='*' and
action='append'): every value is kept only in the first list where it occurs, and lists left
empty are removed (an empty result is [[]]).

Example
-------
>>> # --foo 4 5 6 "1 2 3 4" x y 5 --foo 2 4 6 8
>>> first = sorted(expand_nargs_list(['4', '5', '6', '"1', '2', '3', '4"', 'x', 'y', '5']))
>>> second = sorted(expand_nargs_list(['2', '4', '6', '8']))
>>> remove_dups_from_multiple_nargs_list([first, second])
[['1', '2', '3', '4', '5', '6', 'x', 'y'], ['8']])";
}  // namespace doc

// The interpreter's own itertools.chain: while the module's `itertools.chain` is still it,
// chaining the pieces into a set is the same as adding them to the set one by one.
PyObject* builtin_chain_type() {
    constinit static ProcessValue chain;
    handle found = chain.get([] { return attr(steal(PyImport_ImportModule("itertools")), "chain"); });
    bool genuine = PyType_Check(found.ptr()) &&
                   std::strcmp(reinterpret_cast<PyTypeObject*>(found.ptr())->tp_name, "itertools.chain") == 0;
    return genuine ? found.ptr() : nullptr;
}

// ----- expand_nargs_list(nargs_list) ------------------------------------------------------------

// `text.strip(quote)` for an exact str, without the method call.
object strip_exact(handle piece, Py_UCS4 quote) {
    int kind = PyUnicode_KIND(piece.ptr());
    const void* data = PyUnicode_DATA(piece.ptr());
    Py_ssize_t start = 0;
    Py_ssize_t stop = PyUnicode_GET_LENGTH(piece.ptr());
    while (start < stop && PyUnicode_READ(kind, data, start) == quote) ++start;
    while (stop > start && PyUnicode_READ(kind, data, stop - 1) == quote) --stop;
    return steal(PyUnicode_Substring(piece.ptr(), start, stop));
}

object strip_quote(handle piece, Name quote) {
    if (PyUnicode_CheckExact(piece.ptr())) return strip_exact(piece, static_cast<unsigned char>(quote.text()[0]));
    return call_method(piece, "strip", handle(intern(quote)));
}

// Every non-empty piece of `item.split(" ")`, double quotes stripped and then single quotes.
template <typename Fn>
void for_each_unquoted_piece(handle item, Fn&& take) {
    object pieces = PyUnicode_CheckExact(item.ptr()) ? steal(PyUnicode_Split(item.ptr(), intern(" "), -1))
                                                     : call_method(item, "split", handle(intern(" ")));
    for_each(pieces, [&](handle piece) {
        bool empty = PyUnicode_CheckExact(piece.ptr()) ? PyUnicode_GET_LENGTH(piece.ptr()) == 0 : !truth(piece);
        if (empty) return;
        object unquoted = strip_quote(strip_quote(piece, "\""), "'");
        take(unquoted);
    });
}

object expand_nargs_list(Frame& f, handle nargs_list) {
    if (!truth(nargs_list)) return borrow(nargs_list.ptr());
    object chain = attr(f.global("itertools"), "chain");
    object distinct;
    if (chain.ptr() == builtin_chain_type()) {
        distinct = steal(PySet_New(nullptr));
        for_each(nargs_list, [&](handle item) {
            if (truth(item))
                for_each_unquoted_piece(item, [&](handle piece) { check(PySet_Add(distinct.ptr(), piece.ptr())); });
        });
    } else {
        object from_iterable = attr(chain, "from_iterable");
        object per_item = new_list();
        for_each(nargs_list, [&](handle item) {
            if (!truth(item)) return;
            object pieces = new_list();
            for_each_unquoted_piece(item, [&](handle piece) { check(PyList_Append(pieces.ptr(), piece.ptr())); });
            check(PyList_Append(per_item.ptr(), pieces.ptr()));
        });
        distinct = steal(PySet_New(call(from_iterable, per_item).ptr()));
    }
    return steal(PySequence_List(distinct.ptr()));
}

// ----- remove_dups_from_multiple_nargs_list(multiple_nargs_list) --------------------------------

object remove_dups_from_multiple_nargs_list(Frame&, handle multiple_nargs_list) {
    object items_seen = new_dict();
    object result = new_list();
    for_each(multiple_nargs_list, [&](handle nargs_list) {
        object kept = new_list();
        for_each(nargs_list, [&](handle item) {
            // checked: no call into Python between: only the presence of an entry is read (the
            // look-up may run the item's __eq__; nothing it returns is kept)
            PyObject* seen = PyDict_GetItemWithError(items_seen.ptr(), item.ptr());
            if (!seen && PyErr_Occurred()) throw_error();
            if (seen) return;  // every entry is True
            check(PyDict_SetItem(items_seen.ptr(), item.ptr(), Py_True));
            check(PyList_Append(kept.ptr(), item.ptr()));
        });
        if (length(kept) > 0) check(PyList_Append(result.ptr(), kept.ptr()));
    });
    if (length(result) == 0) check(PyList_Append(result.ptr(), new_list().ptr()));
    return result;
}

// ----- the module body --------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.doc(doc::module);
    m.set("__all__", list_of(text("expand_nargs_list"), text("remove_dups_from_multiple_nargs_list")));
    m.import_("itertools");
    m.def("expand_nargs_list", "(nargs_list)", &expand_nargs_list, doc::expand_nargs_list);
    m.def("remove_dups_from_multiple_nargs_list", "(multiple_nargs_list)", &remove_dups_from_multiple_nargs_list,
          doc::remove_dups_from_multiple_nargs_list);
}
}  // namespace

QUARV_MODULE(parvix, "quarv.utils.parvix", body)
