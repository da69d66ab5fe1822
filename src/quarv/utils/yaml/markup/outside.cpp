// The markups of values from outside the document: environment variables %ENV{NAME}, prompts
// %ASK{prompt}, encoded secrets %ENC{encoded, prefix=name} and command-line values
// %CLI{key, default=value}.
#include "markup.hpp"

namespace markup {
namespace {

// Every copy of the matched markup in `data` replaced by the value's text form.
object substituted(Frame& f, handle index, handle data, handle match, handle value) {
    return expanded(f, index, data, group(match, 0), str_of(value));
}

}  // namespace

object p_environ_markup(Frame& f, handle, handle match, handle data, handle index, handle) {
    if (!truth(match)) return borrow(data.ptr());
    object environ = attr(NATIVE_GLOBAL(f, "os"), "environ");
    object value = call_method(environ, "get", group(match, 2), handle(intern("")));
    return substituted(f, index, data, match, value);
}

object p_ask_markup(Frame& f, handle, handle match, handle data, handle index, handle) {
    if (!truth(match)) return borrow(data.ptr());
    object pieces = call(NATIVE_GLOBAL(f, "wrap_split"), key_path_text(index));
    object lines = steal(PyUnicode_Join(intern("\n"), pieces.ptr()));
    object prompt_text = steal(PyUnicode_FromFormat("\nEnter value for %U", lines.ptr()));
    object prompt = group(match, 2);
    if (truth(prompt)) {
        object shown = str_of(prompt);
        prompt_text = steal(PyUnicode_FromFormat("%U\n%U", prompt_text.ptr(), shown.ptr()));
    }
    prompt_text = steal(PyUnicode_FromFormat("%U: ", prompt_text.ptr()));
    object value = call_kw(NATIVE_GLOBAL(f, "ask_for_input"), {}, {{"prompt_text", prompt_text}});
    return substituted(f, index, data, match, value);
}

object p_enc_markup(Frame& f, handle, handle match, handle data, handle index, handle) {
    if (!truth(match)) return borrow(data.ptr());
    object encoded = group(match, 2);
    object prefix = group(match, 4);
    // nothing to decode: the text stays as it is, which the markup loop takes as no markup
    if (!truth(encoded)) return borrow(data.ptr());
    object kwargs = new_dict();
    check(PyDict_SetItemString(kwargs.ptr(), "secret_string", encoded.ptr()));
    if (truth(prefix)) check(PyDict_SetItemString(kwargs.ptr(), "prefix", prefix.ptr()));
    object secret = call_forward(NATIVE_GLOBAL(f, "SecretString"), {}, handle(), kwargs);
    object representer = attr(secret, "representer");
    object representer_class = type_of(representer);
    if (equal(attr(representer, "key"), attr(representer, "DEFAULT_KEY")) &&
        !truth(attr(representer_class, "LOGGED_KEY_WARNING"))) {
        call_method(NATIVE_GLOBAL(f, "logger"), "warning",
                    text("Using the default YAML encoding key since no key was specified in configuration.\n"
                         "THIS IS A SHARED KEY AND IS NOT SECURE, PLEASE RUN `quarv secret keygen` AND ADD TO YOUR "
                         "quarv.conf FILE BEFORE ENCODING ANY VALUES."));
        set_attr(representer_class, "LOGGED_KEY_WARNING", handle(Py_True));
    }
    return substituted(f, index, data, match, attr(secret, "plaintext"));
}

object p_cli_markup(Frame& f, handle self, handle match, handle data, handle index, handle) {
    if (!truth(match)) return borrow(data.ptr());
    object groups = call_method(match, "groupdict");
    object key = get_item(groups, handle(intern("cli_key")));
    object default_ = get_item(groups, handle(intern("default")));
    if (!truth(default_)) default_ = text("");
    object value = call_method(attr(self, "arguments"), "get", key, default_);
    if (!PyUnicode_Check(value.ptr())) return value;
    object list_pattern = NATIVE_GLOBAL(f, "_LIST_PATTERN");
    if (truth(call_method(list_pattern, "match", value))) {
        object inside = group(call_method(list_pattern, "search", value), 1);
        object items = new_list();
        for_each(call_method(inside, "split", handle(intern(","))), [&](handle piece) {
            if (!truth(piece)) return;
            object stripped = call_method(piece, "strip");
            append(items, call(attr(NATIVE_GLOBAL(f, "utils"), "str_to_number"), stripped));
        });
        return items;
    }
    return call(attr(NATIVE_GLOBAL(f, "utils"), "str_to_number"), substituted(f, index, data, match, value));
}

}  // namespace markup
