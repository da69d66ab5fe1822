// The callable markup %CALLABLE{name(arguments)}: the callable imported by its dotted name, its
// argument text read as call syntax (placeholders of resolved lists and dicts mapped back to the
// objects), by the old splitter, or taken as it stands.
#include <algorithm>

#include "markup.hpp"

namespace markup {
namespace {

// Runs `attempt`; an exception of the Exception family ends it (returns false, the exception kept
// in `failure` when asked for), anything else goes on.
template <typename Attempt>
bool tried(Attempt&& attempt, object* failure = nullptr) {
    try {
        attempt();
        return true;
    } catch (...) {
        Caught caught;
        if (!caught.matches(PyExc_Exception)) caught.rethrow();
        if (failure) *failure = borrow(caught.value().ptr());
        return false;
    }
}

// The value that an argument node of the parsed call stands for.
object argument_value(handle node, handle ast_dict, handle ast_list) {
    if (is_instance(node, ast_dict)) {
        object keys = new_list();
        for_each(attr(node, "keys"), [&](handle key) { append(keys, attr(key, "value")); });
        object values = new_list();
        for_each(attr(node, "values"), [&](handle value) { append(values, attr(value, "value")); });
        object mapping = new_dict();
        // dict(zip(keys, values))
        Py_ssize_t count = std::min(length(keys), length(values));
        for (Py_ssize_t i = 0; i < count; ++i) set_item(mapping, item_at(keys, i), item_at(values, i));
        return mapping;
    }
    if (is_instance(node, ast_list)) {
        object elements = new_list();
        for_each(attr(node, "elts"), [&](handle element) { append(elements, attr(element, "value")); });
        return elements;
    }
    if (object value = optional_attr(node, "value")) return value;
    return attr(node, "id");
}

// The first attempt: the argument text as call syntax. `arguments` becomes the rewritten text once
// it parsed.
object call_as_syntax(Frame& f, handle func, handle method_name, object& arguments, handle seen) {
    object new_arguments = arguments;
    object stored_pattern = NATIVE_GLOBAL(f, "STORED_REFERENCE_PATTERN");
    if (truth(call_method(stored_pattern, "search", arguments))) {
        object stored = call_method(stored_pattern, "findall", arguments);
        for_each(stored, [&](handle pair) {
            auto [placeholder, path] = unpack2(pair);
            object path_text = str_of(path);
            object rewritten = steal(PyUnicode_FromFormat("\"${%U}\"", path_text.ptr()));
            new_arguments = call_method(new_arguments, "replace", placeholder, rewritten);
        });
    }
    object ast = NATIVE_GLOBAL(f, "ast");
    object name_text = str_of(method_name);
    object arguments_text = str_of(new_arguments);
    object source = steal(PyUnicode_FromFormat("%U(%U)", name_text.ptr(), arguments_text.ptr()));
    object tree = call_method(ast, "parse", source);
    arguments = new_arguments;

    object ast_call = attr(ast, "Call");
    object ast_dict = attr(ast, "Dict");
    object ast_list = attr(ast, "List");
    object args = new_list();
    for_each(call_method(ast, "walk", tree), [&](handle node) {
        if (!is_instance(node, ast_call)) return;
        for_each(attr(node, "args"), [&](handle x) { append(args, argument_value(x, ast_dict, ast_list)); });
    });
    object mapped = new_list();
    for_each(args, [&](handle arg) {
        if (PyUnicode_Check(arg.ptr()) && contains(seen, arg)) {
            append(mapped, get_item(seen, arg));
        } else {
            append(mapped, arg);
        }
    });
    args = mapped;

    object keywords_of_calls = new_list();
    for_each(call_method(ast, "walk", tree), [&](handle node) {
        if (!is_instance(node, ast_call)) return;
        object keywords = new_dict();
        for_each(attr(node, "keywords"), [&](handle keyword) {
            object value_node = attr(keyword, "value");
            object value = optional_attr(value_node, "value");
            if (!value) value = attr(value_node, "id");
            set_item(keywords, attr(keyword, "arg"), value);
        });
        append(keywords_of_calls, keywords);
    });
    object positional = steal(PyList_AsTuple(args.ptr()));
    if (length(keywords_of_calls) > 0) return call_forward(func, {}, positional, item_at(keywords_of_calls, 0));
    return call_forward(func, {}, positional, handle());
}

}  // namespace

object parse_callable_arguments(Frame& f, handle self, handle args_str) {
    object result = new_list();
    object rest = borrow(args_str.ptr());
    if (!truth(rest)) return result;
    object seen = attr(self, "markup_already_seen");
    object comma = text(",");
    Py_ssize_t size = 0;
    while (truth(rest)) {
        size = check_value(PyLong_AsSsize_t(call_method(rest, "find", comma, integer(size + 1)).ptr()));
        object candidate;
        bool no_comma = check_value(PyLong_AsSsize_t(call_method(rest, "count", comma).ptr())) == 0;
        if (no_comma) {
            candidate = rest;
            rest = text("");
        } else if (size == -1) {
            candidate = rest;
            size = check_value(PyObject_Length(rest.ptr()));
        } else {
            candidate = steal(PySequence_GetSlice(rest.ptr(), 0, size));
        }
        object value;
        bool evaluated = tried([&] {
            if (contains(seen, candidate)) {
                value = call_method(seen, "get", candidate);
            } else {
                value = call_method(NATIVE_GLOBAL(f, "ast"), "literal_eval", candidate);
            }
        });
        if (evaluated) {
            append(result, value);
            rest = call_method(steal(PySequence_GetSlice(rest.ptr(), size + 1, PY_SSIZE_T_MAX)), "lstrip");
            size = 0;
        } else if (!truth(rest)) {
            append(result, candidate);
        } else if (size == check_value(PyObject_Length(rest.ptr()))) {
            object parts = call_method(rest, "split", comma, integer(1));
            append(result, call_method(steal(PySequence_GetItem(parts.ptr(), 0)), "rstrip"));
            rest = call_method(steal(PySequence_GetItem(parts.ptr(), 1)), "lstrip");
            size = 0;
        }
    }
    return result;
}

object p_callable_markup(Frame& f, handle self, handle match, handle data, handle index, handle) {
    if (!truth(match)) return borrow(data.ptr());
    object markup = group(match, 0);
    object value;
    try {
        object groups = call_method(match, "groupdict");
        object method_name = call_method(groups, "get", handle(intern("method_name")));
        object func = call(attr(NATIVE_GLOBAL(f, "import_utils"), "import_from_name"), method_name);
        object arguments = call_method(call_method(match, "groupdict"), "get", handle(intern("arguments")));
        object seen = attr(self, "markup_already_seen");
        if (contains(seen, arguments)) arguments = get_item(seen, arguments);
        if (!truth(arguments)) {
            value = call(func);
        } else if (!PyUnicode_Check(arguments.ptr())) {
            value = call(func, arguments);
        } else {
            object second_failure;
            bool done = tried([&] { value = call_as_syntax(f, func, method_name, arguments, seen); });
            if (!done) {
                done = tried(
                    [&] {
                        object args = call_method(self, "_parse_callable_arguments", arguments);
                        value = call_forward(func, {}, args, handle());
                    },
                    &second_failure);
            }
            if (!done) {
                object reason = str_of(second_failure);
                object name_text = str_of(method_name);
                object arguments_text = str_of(arguments);
                object message = steal(PyUnicode_FromFormat("%U\nUnable to parse %U(%U), using as-is", reason.ptr(),
                                                            name_text.ptr(), arguments_text.ptr()));
                call_method(NATIVE_GLOBAL(f, "logger"), "debug", message);
                value = call(func, arguments);
            }
        }
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_KeyError)) failure.rethrow();
        Handling handling(failure.value());
        raise_short(f, index, markup, failure.value());
    }

    object span = call_method(match, "span", integer(0));
    if (!PyUnicode_Check(value.ptr())) {
        Py_ssize_t size = length(data);
        auto [start, end] = span_positions(span, size);
        if (start == 0 && end == size) return value;
    }
    object matched = spanned_part(data, span);
    return expanded(f, index, data, matched, PyUnicode_Check(value.ptr()) ? value : str_of(value));
}

}  // namespace markup
