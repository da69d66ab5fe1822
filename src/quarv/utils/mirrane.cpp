// quarv.utils.mirrane: secret values. A SecretString holds its secret in encoded form, never prints it,
// and decodes it on demand through a representer chosen by argument, configuration or default and
// keyed from configuration or the built-in key.
#include <algorithm>
#include <string>
#include <vector>

#include "native/collections.hpp"

namespace {
using namespace native;

struct State {
    // The base64 module's own URL-safe coders as this module's body found them: while the
    // module-level `base64` still offers them, the obscuring representer codes natively.
    object urlsafe_b64encode;
    object urlsafe_b64decode;
    // The SecretString class this module made, and its isinstance answers for the built-in types
    // (see to_plaintext).
    object secret_string_class;
    AbcMemo secret_string_test;
    template <typename Visit>
    void visit(Visit& v) {
        v(urlsafe_b64encode);
        v(urlsafe_b64decode);
        v(secret_string_class);
        v(secret_string_test);
    }
};

namespace doc {
const char* container = "A class whose instances contain a SecretString.";
const char* representer = R"(The class controlling the encoding and decoding of a secret value.

Its key is expected in quarv configuration under [secrets] <prefix>.key; a default key is chosen
otherwise. Subclasses may provide their own default key, or enforce a configured one.)";
const char* keygen = "Generates a new key.";
const char* key = R"(The key in use: the one configured under [secrets] <prefix>.key, else the default key.

Looked up at every read, so a change of configuration takes effect at once.)";
const char* encode = "Encodes a contained plaintext string object.";
const char* decode = "Decodes a contained encoded string object.";
const char* plain_text = "A representer for a string stored in plaintext, without encoding or decoding.";
const char* obscuring = R"(A representer for a string stored using a cipher that is not cryptographically secure.

Only plaintexts whose characters lie in U+0000 to U+00FF can be stored; encoding any other
character raises ValueError.)";
const char* fernet = R"(A representer for a cryptographically secure string (Fernet of the cryptography package).

It needs the cryptography package and a key configured under [secrets] <prefix>.key; such a key is
made by the 'quarv secret keygen' command.)";
const char* fernet_key = R"(The configured key; the default key is refused.)";
const char* verify_runnable = "Raises ImportError unless the cryptography package is available.";
const char* to_plaintext = R"(Get the plaintext from a value that may be a secret.

A SecretString gives its plaintext, a text is returned as it is, any other value gives str(value).)";
const char* secret_string =
    R"(A string that is meant to be a secret: it is not displayed as plaintext, and it offers ways to
retrieve the plaintext and to create a secret from plaintext.

The representer defines the conversion to and from plaintext. It may be given to the constructor
or configured as "<prefix>.representer" under "[secrets]" in quarv configuration, and may need a
key configured as "<prefix>.key". It defaults to a class that stores the string using a cipher
that is not cryptographically secure. <prefix> defaults to "string" and can be overridden with
prefix.)";
const char* get_cls = "Imports a class if necessary, when it is specified by name.";
const char* validate_rep = "Enforces that the representer inherits from the approved base class.";
const char* get_rep = "Validates and gets the representer to use.";
const char* from_plaintext = R"(Encodes plaintext into a secret.

Unless a representer is given or configured, the cipher used is not cryptographically secure.)";
const char* secret_keygen = R"(Generates a key for the representer selected.

Unless a representer is given or configured, the key is not cryptographically secure.)";
const char* init = R"(secret_string: the already encoded string
representer_cls: a class derived from BaseSecretStringRepresenter, or None to let configuration
    or the default decide
prefix: the configuration prefix under [secrets])";
const char* str = "Refuses to print the secret: one \"*\" per stored character.";
const char* plaintext = "The plaintext equivalent of the secret.";
}  // namespace doc

// ----- helpers ---------------------------------------------------------------------------------------

// `getattr(obj, "data")` of the secret a representer contains.
object contained_text(handle representer) { return attr(attr(representer, "obj"), "data"); }

// `cfg.get(CNF_SEC, {}).get(prefix, {}).get(entry)`, the configuration walk of the key and
// representer look-ups.
object configured(Frame& f, handle prefix, handle entry) {
    object section = call_method(NATIVE_GLOBAL(f, "cfg"), "get", NATIVE_GLOBAL(f, "CNF_SEC"), new_dict());
    object entries = mapping_get_or_new_dict(section, prefix);
    // the last level is asked without a default, so a mapping's own `get` default applies
    if (!uses_dict_method(entries, "get")) return call_method(entries, "get", entry);
    return mapping_get(entries, entry, handle(Py_None));
}

// "[secrets] <prefix>.key" as the key messages word it.
object key_place(Frame& f, handle prefix) {
    object sec = format_of(NATIVE_GLOBAL(f, "CNF_SEC"));
    object sstr = format_of(prefix);
    object key = format_of(NATIVE_GLOBAL(f, "CNF_SS_KEY"));
    return steal(PyUnicode_FromFormat("[%U] %U.%U", sec.ptr(), sstr.ptr(), key.ptr()));
}

// `type(obj).__name__`
object class_name(handle obj) { return attr(type_of(obj), "__name__"); }

// ----- BaseSecretStringContainer ---------------------------------------------------------------------

object container_init(Frame& f, handle self, handle obj) {
    if (!is_instance(obj, NATIVE_GLOBAL(f, "SecretString"))) {
        object shown = format_of(type_of(obj));
        PyErr_Format(PyExc_Exception, "Object of type SecretString expected, but type %U given.", shown.ptr());
        throw_error();
    }
    set_attr(self, "obj", obj);
    return py::none();
}

void define_container(ModuleBody& m) {
    ClassBuilder c = m.class_("BaseSecretStringContainer", {}, handle(), doc::container);
    c.def("__init__", "(self, obj)", &container_init);
    c.create();
}

// ----- BaseSecretStringRepresenter -------------------------------------------------------------------

object representer_keygen(Frame& f, handle) { return str_of(call_method(NATIVE_GLOBAL(f, "uuid"), "uuid4")); }

object representer_init(Frame& f, handle self, handle obj, handle prefix) {
    f.super_call(self, "__init__", obj);
    set_attr(self, "prefix", prefix);
    return py::none();
}

object representer_key(Frame& f, handle self) {
    object prefix = attr(self, "prefix");
    object key = configured(f, prefix, NATIVE_GLOBAL(f, "CNF_SS_KEY"));
    if (truth(key)) return key;
    object place = key_place(f, prefix);
    object message = steal(
        PyUnicode_FromFormat("Using a default key as quarv configuration under %U was not specified.", place.ptr()));
    call_method(NATIVE_GLOBAL(f, "logger"), "debug", message);
    return attr(self, "DEFAULT_KEY");
}

[[noreturn]] void not_implemented(handle self, const char* what) {
    object shown = format_of(class_name(self));
    PyErr_Format(PyExc_NotImplementedError, "%U does not implement %s.", shown.ptr(), what);
    throw_error();
}
object representer_encode(Frame&, handle self) { not_implemented(self, "encode"); }
object representer_decode(Frame&, handle self) { not_implemented(self, "decode"); }

void define_representer(ModuleBody& m) {
    ClassBuilder c =
        m.class_("BaseSecretStringRepresenter", {m.get("BaseSecretStringContainer")}, handle(), doc::representer);
    c.set("DEFAULT_KEY", text("zelk_fallback_pad"));
    c.set("LOGGED_KEY_WARNING", handle(Py_False));
    c.classmethod("keygen", "(cls)", &representer_keygen, doc::keygen);
    c.def("__init__", "(self, obj, prefix=CNF_STR)", &representer_init);
    c.property("key", &representer_key, doc::key);
    c.def("encode", "(self)", &representer_encode, doc::encode);
    c.def("decode", "(self)", &representer_decode, doc::decode);
    c.create();
}

// ----- PlainTextSecretStringRepresenter --------------------------------------------------------------

object plain_text_code(Frame&, handle self) { return contained_text(self); }

void define_plain_text(ModuleBody& m) {
    ClassBuilder c =
        m.class_("PlainTextSecretStringRepresenter", {m.get("BaseSecretStringRepresenter")}, handle(), doc::plain_text);
    c.def("encode", "(self)", &plain_text_code, doc::encode);
    c.def("decode", "(self)", &plain_text_code, doc::decode);
    c.create();
}

// ----- ObscuringSecretStringRepresenter --------------------------------------------------------------
//
// Each character is shifted by the code point of the key character at its position (the key
// repeating), modulo 256; the shifted characters are stored as URL-safe base64 of their UTF-8 form.

// The code points of a text, read as `ord(text[i])` for i in range(len(text)) reads them: a str
// directly, any other sequence through its own length, items and `ord`.
class CodePoints {
public:
    CodePoints(Frame& f, handle sequence) : frame_(f), sequence_(borrow(sequence.ptr())) {
        if (PyUnicode_CheckExact(sequence.ptr())) {
            direct_ = true;
            kind_ = PyUnicode_KIND(sequence.ptr());
            data_ = PyUnicode_DATA(sequence.ptr());
        }
    }
    Py_ssize_t size() const {
        if (direct_) return PyUnicode_GET_LENGTH(sequence_.ptr());
        return check_value(PyObject_Length(sequence_.ptr()));
    }
    long long at(Py_ssize_t index) const {
        if (direct_) return PyUnicode_READ(kind_, data_, index);
        object item = steal(PySequence_GetItem(sequence_.ptr(), index));
        return check_value(PyLong_AsLongLong(call(frame_.global("ord"), item).ptr()));
    }

private:
    Frame& frame_;
    object sequence_;
    bool direct_ = false;
    int kind_ = 0;
    const void* data_ = nullptr;
};

// The shift of each position, `ord(key[i % len(key)]) % 256`, the key repeating from its first
// character. A str key is read once into a table; any other key is asked position by position.
class KeyShifts {
public:
    KeyShifts(Frame& f, handle key) : points_(f, key) {
        if (!PyUnicode_CheckExact(key.ptr())) return;
        table_.resize(static_cast<size_t>(points_.size()));
        for (size_t i = 0; i < table_.size(); ++i) table_[i] = static_cast<unsigned char>(points_.at(i) & 0xFF);
        direct_ = true;
    }
    // Called for i = 0, 1, 2, ... in order.
    unsigned char next(Py_ssize_t i) {
        if (!direct_) {
            Py_ssize_t length = points_.size();
            if (length == 0) zero_length();
            return static_cast<unsigned char>(points_.at(i % length) & 0xFF);
        }
        if (table_.empty()) zero_length();
        unsigned char shift = table_[cursor_];
        if (++cursor_ == table_.size()) cursor_ = 0;
        return shift;
    }

private:
    [[noreturn]] static void zero_length() { raise(PyExc_ZeroDivisionError, "integer division or modulo by zero"); }
    CodePoints points_;
    std::vector<unsigned char> table_;
    size_t cursor_ = 0;
    bool direct_ = false;
};

constexpr char url_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// `base64.urlsafe_b64encode(raw).decode()`.
object urlsafe_encoded(Frame& f, const std::string& raw) {
    object encode = attr(NATIVE_GLOBAL(f, "base64"), "urlsafe_b64encode");
    if (encode.ptr() != f.state<State>().urlsafe_b64encode.ptr()) {
        object bytes = steal(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
        return call_method(call(encode, bytes), "decode");
    }
    size_t groups = (raw.size() + 2) / 3;
    object result = steal(PyUnicode_New(static_cast<Py_ssize_t>(groups * 4), 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.ptr());
    const auto* in = reinterpret_cast<const unsigned char*>(raw.data());
    for (size_t i = 0; i < raw.size(); i += 3) {
        size_t left = raw.size() - i;
        unsigned int triple = in[i] << 16 | (left > 1 ? in[i + 1] << 8 : 0) | (left > 2 ? in[i + 2] : 0);
        *out++ = url_alphabet[triple >> 18 & 63];
        *out++ = url_alphabet[triple >> 12 & 63];
        *out++ = left > 1 ? url_alphabet[triple >> 6 & 63] : '=';
        *out++ = left > 2 ? url_alphabet[triple & 63] : '=';
    }
    return result;
}

int url_digit(Py_UCS4 c) {
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 52);
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// The bytes of canonical URL-safe base64 text (whole groups of four, padding only at the end), or
// false for anything else, which is left to the base64 module and its own errors.
bool decode_canonical(handle encoded, std::string& raw) {
    if (!PyUnicode_CheckExact(encoded.ptr())) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(encoded.ptr());
    if (length % 4 != 0) return false;
    int kind = PyUnicode_KIND(encoded.ptr());
    const void* data = PyUnicode_DATA(encoded.ptr());
    Py_ssize_t padding = 0;
    while (padding < 2 && padding < length && PyUnicode_READ(kind, data, length - 1 - padding) == '=') ++padding;
    raw.assign(static_cast<size_t>(length / 4 * 3), '\0');
    char* out = raw.data();
    for (Py_ssize_t i = 0; i < length; i += 4) {
        unsigned int quad = 0;
        int digits = i + 4 == length ? 4 - static_cast<int>(padding) : 4;
        for (int j = 0; j < digits; ++j) {
            int digit = url_digit(PyUnicode_READ(kind, data, i + j));
            if (digit < 0) return false;
            quad = quad << 6 | static_cast<unsigned int>(digit);
        }
        quad <<= 6 * (4 - digits);
        *out++ = static_cast<char>(quad >> 16 & 0xFF);
        if (digits > 2) *out++ = static_cast<char>(quad >> 8 & 0xFF);
        if (digits > 3) *out++ = static_cast<char>(quad & 0xFF);
    }
    raw.resize(static_cast<size_t>(out - raw.data()));
    return true;
}

// `base64.urlsafe_b64decode(encoded).decode("utf-8")`.
object urlsafe_decoded_text(Frame& f, handle encoded) {
    object decode = attr(NATIVE_GLOBAL(f, "base64"), "urlsafe_b64decode");
    std::string raw;
    if (decode.ptr() == f.state<State>().urlsafe_b64decode.ptr() && decode_canonical(encoded, raw))
        return steal(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict"));
    return call_method(call(decode, encoded), "decode", handle(intern("utf-8")));
}

[[noreturn]] void unencodable(handle self, Py_ssize_t position) {
    // Shifting modulo 256 would store another character than this one: refused rather than silently
    // corrupted. The character itself is not shown, as it belongs to the secret.
    object name = format_of(class_name(self));
    PyErr_Format(PyExc_ValueError,
                 "%U can only encode characters U+0000 to U+00FF, but the plaintext holds a character above U+00FF "
                 "(at position %zd); use a representer that encodes any text, such as FernetSecretStringRepresenter.",
                 name.ptr(), position);
    throw_error();
}

object obscuring_encode(Frame& f, handle self) {
    object key = attr(self, "key");
    object plaintext = contained_text(self);
    KeyShifts shifts(f, key);
    CodePoints plain_points(f, plaintext);
    Py_ssize_t length = plain_points.size();
    // UTF-8 of the shifted characters, all below U+0100: one or two bytes each. The buffer grows as
    // characters are read: the length is the text's own __len__, which need not be its real one
    // (the loop then ends with the IndexError of the first position the text does not have).
    std::string raw;
    if (PyUnicode_Check(plaintext.ptr()))
        raw.reserve(static_cast<size_t>(std::min(length, PyUnicode_GET_LENGTH(plaintext.ptr()))) * 2);
    for (Py_ssize_t i = 0; i < length; ++i) {
        long long point = plain_points.at(i);
        if (point > 0xFF) unencodable(self, i);
        unsigned int shifted = (static_cast<unsigned int>(point) + shifts.next(i)) & 0xFF;
        if (shifted < 0x80) {
            raw.push_back(static_cast<char>(shifted));
        } else {
            raw.push_back(static_cast<char>(0xC0 | shifted >> 6));
            raw.push_back(static_cast<char>(0x80 | (shifted & 0x3F)));
        }
    }
    return urlsafe_encoded(f, raw);
}

object obscuring_decode(Frame& f, handle self) {
    object encoded = contained_text(self);
    object key = attr(self, "key");
    object obscured = urlsafe_decoded_text(f, encoded);
    KeyShifts shifts(f, key);
    CodePoints obscured_points(f, obscured);
    Py_ssize_t length = obscured_points.size();
    // grown as characters are read, as in encoding: the length is what the text's __len__ says
    std::vector<Py_UCS1> plain;
    if (PyUnicode_Check(obscured.ptr()))
        plain.reserve(static_cast<size_t>(std::min(length, PyUnicode_GET_LENGTH(obscured.ptr()))));
    for (Py_ssize_t i = 0; i < length; ++i) {
        // (256 + c - k) % 256 of Python's floored modulo: the low byte of the difference
        plain.push_back(static_cast<Py_UCS1>((obscured_points.at(i) - shifts.next(i)) & 0xFF));
    }
    return steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, plain.data(), static_cast<Py_ssize_t>(plain.size())));
}

void define_obscuring(ModuleBody& m) {
    ClassBuilder c =
        m.class_("ObscuringSecretStringRepresenter", {m.get("BaseSecretStringRepresenter")}, handle(), doc::obscuring);
    c.def("encode", "(self)", &obscuring_encode, doc::encode);
    c.def("decode", "(self)", &obscuring_decode, doc::decode);
    c.create();
}

// ----- FernetSecretStringRepresenter -----------------------------------------------------------------

object fernet_verify_runnable(Frame& f, handle) {
    if (truth(NATIVE_GLOBAL(f, "Fernet"))) return py::none();
    raise(PyExc_ImportError,
          "FernetSecretStringRepresenter can only be used when the following commands are executed : \n"
          "pip install cryptography");
}

object fernet_keygen(Frame& f, handle cls) {
    call_method(cls, "_verify_runnable");
    object key = call_method(NATIVE_GLOBAL(f, "Fernet"), "generate_key");
    return call_method(key, "decode", handle(intern("utf-8")));
}

object fernet_key(Frame& f, handle self) {
    object key = attr(f.super_(self), "key");
    if (equal(key, attr(self, "DEFAULT_KEY"))) {
        object place = key_place(f, attr(self, "prefix"));
        PyErr_Format(PyExc_Exception,
                     "A key must be specified as quarv configuration under %U.\n"
                     "This key may be generated with the 'quarv secret keygen' command",
                     place.ptr());
        throw_error();
    }
    return key;
}

// `Fernet(self.key.encode("utf-8"))`, once the library is known to be there.
object fernet_cipher(Frame& f, handle self) {
    call_method(self, "_verify_runnable");
    object fernet_cls = NATIVE_GLOBAL(f, "Fernet");
    object key = attr(self, "key");
    return call(fernet_cls, call_method(key, "encode", handle(intern("utf-8"))));
}

object fernet_encode(Frame& f, handle self) {
    object cipher = fernet_cipher(f, self);
    object data = call_method(contained_text(self), "encode", handle(intern("utf-8")));
    return call_method(call_method(cipher, "encrypt", data), "decode", handle(intern("utf-8")));
}

object fernet_decode(Frame& f, handle self) {
    object cipher = fernet_cipher(f, self);
    object token = call_method(contained_text(self), "encode", handle(intern("utf-8")));
    return call_method(call_method(cipher, "decrypt", token), "decode", handle(intern("utf-8")));
}

void define_fernet(ModuleBody& m) {
    ClassBuilder c =
        m.class_("FernetSecretStringRepresenter", {m.get("BaseSecretStringRepresenter")}, handle(), doc::fernet);
    c.classmethod("keygen", "(cls)", &fernet_keygen, doc::keygen);
    c.classmethod("_verify_runnable", "(self)", &fernet_verify_runnable, doc::verify_runnable);
    c.property("key", &fernet_key, doc::fernet_key);
    c.def("encode", "(self)", &fernet_encode, doc::encode);
    c.def("decode", "(self)", &fernet_decode, doc::decode);
    c.create();
}

// ----- to_plaintext(str_or_secret_str) ---------------------------------------------------------------

// `isinstance(text, SecretString)` for an exact str. The class is an ABC, whose own answer for a
// type stays "no" until some class is registered with an ABC, which changes abc's cache token: so
// a "no" for str, confirmed at a token, is given again while the token is unchanged and the class is
// still the one this module made.
bool str_is_secret(Frame& f, handle text, handle secret_cls) {
    State& state = f.state<State>();
    if (secret_cls.ptr() != state.secret_string_class.ptr()) return is_instance(text, secret_cls);
    return state.secret_string_test.isinstance(text, secret_cls);
}

object to_plaintext(Frame& f, handle value) {
    RecursionGuard guard;  // the text form of a value may hold the plaintext of others
    object secret_cls = NATIVE_GLOBAL(f, "SecretString");
    bool secret =
        PyUnicode_CheckExact(value.ptr()) ? str_is_secret(f, value, secret_cls) : is_instance(value, secret_cls);
    if (secret) return attr(value, "plaintext");
    if (PyUnicode_Check(value.ptr())) return borrow(value.ptr());
    return str_of(value);
}

// ----- SecretString ----------------------------------------------------------------------------------

object secret_get_cls(Frame& f, handle cls_or_cls_name) {
    if (!truth(cls_or_cls_name)) return py::none();
    if (PyUnicode_Check(cls_or_cls_name.ptr()) && contains(cls_or_cls_name, handle(intern("."))))
        return call(NATIVE_GLOBAL(f, "import_from_name"), cls_or_cls_name);
    if (truth(call(NATIVE_GLOBAL(f, "isclass"), cls_or_cls_name))) return borrow(cls_or_cls_name.ptr());
    object shown = format_of(cls_or_cls_name);
    object message = steal(PyUnicode_FromFormat("Could not convert %U to a class.", shown.ptr()));
    call_method(NATIVE_GLOBAL(f, "logger"), "warning", message);
    return py::none();
}

object secret_validate_rep(Frame& f, handle, handle rep_cls) {
    if (!truth(rep_cls)) return py::none();
    if (is_subclass(rep_cls, NATIVE_GLOBAL(f, "BaseSecretStringRepresenter"))) return py::none();
    object shown = format_of(rep_cls);
    PyErr_Format(PyExc_Exception,
                 "Representer class %U must inherit from quarv.utils.mirrane.BaseSecretStringRepresenter.",
                 shown.ptr());
    throw_error();
}

object secret_get_rep(Frame& f, handle cls, handle representer_cls, handle prefix) {
    call_method(cls, "_validate_rep", representer_cls);
    object entry = configured(f, prefix, NATIVE_GLOBAL(f, "CNF_SS_REP"));
    object configured_cls = call_method(cls, "_get_cls", entry);
    call_method(cls, "_validate_rep", configured_cls);
    if (truth(representer_cls)) return borrow(representer_cls.ptr());
    if (truth(configured_cls)) return configured_cls;
    return NATIVE_GLOBAL(f, "ObscuringSecretStringRepresenter");
}

// `cls._get_rep(representer_cls=representer_cls, prefix=prefix)`
object select_representer(handle cls, handle representer_cls, handle prefix) {
    return call_kw(attr(cls, "_get_rep"), {}, {{"representer_cls", representer_cls}, {"prefix", prefix}});
}

object secret_from_plaintext(Frame& f, handle cls, handle plaintext, handle representer_cls, handle prefix) {
    object plain =
        call_kw(cls, {plaintext},
                {{"representer_cls", NATIVE_GLOBAL(f, "PlainTextSecretStringRepresenter")}, {"prefix", prefix}});
    object target = select_representer(cls, representer_cls, prefix);
    object encoder = call_kw(target, {plain}, {{"prefix", prefix}});
    object encoded = call_method(encoder, "encode");
    return call_kw(cls, {encoded}, {{"representer_cls", target}, {"prefix", prefix}});
}

object secret_keygen(Frame&, handle cls, handle representer_cls, handle prefix) {
    return call_method(select_representer(cls, representer_cls, prefix), "keygen");
}

object secret_init(Frame& f, handle self, handle secret_string, handle representer_cls, handle prefix) {
    f.super_call(self, "__init__", secret_string);
    set_attr(self, "representer_cls", select_representer(self, representer_cls, prefix));
    set_attr(self, "representer", call_kw(attr(self, "representer_cls"), {self}, {{"prefix", prefix}}));
    try {
        attr(self, "plaintext");
    } catch (...) {
        Caught failure;
        // the cryptography package missing is said as it is; other decoding failures (BaseException
        // aside) mean a secret_string of the wrong format
        if (failure.matches(PyExc_ImportError) || !failure.matches(PyExc_Exception)) failure.rethrow();
        Handling handling(failure.value());
        object shown = format_of(secret_string);
        object name = format_of(attr(attr(self, "representer_cls"), "__name__"));
        object message = steal(PyUnicode_FromFormat(
            "The secret string '%U' has the wrong format.\nIt cannot be decoded with representer %U.", shown.ptr(),
            name.ptr()));
        raise_from(call(handle(PyExc_Exception), message), failure.value());
    }
    return py::none();
}

object secret_str(Frame&, handle self) {
    RecursionGuard guard;
    Py_ssize_t length = check_value(PyObject_Length(attr(self, "data").ptr()));
    object stars = steal(PyUnicode_New(length, 127));
    std::fill_n(PyUnicode_1BYTE_DATA(stars.ptr()), length, '*');
    return stars;
}

object secret_dir(Frame& f, handle self) {
    RecursionGuard guard;
    object own = f.super_call(self, "__dir__");
    object of_text = steal(PyObject_Dir(attr(self, "data").ptr()));
    return steal(PyNumber_Add(own.ptr(), of_text.ptr()));
}

object secret_plaintext(Frame&, handle self) { return call_method(attr(self, "representer"), "decode"); }

void define_secret_string(ModuleBody& m) {
    ClassBuilder c = m.class_("SecretString", {m.get("UserString")}, handle(), doc::secret_string);
    c.staticmethod("_get_cls", "(cls_or_cls_name)", &secret_get_cls, doc::get_cls);
    c.classmethod("_validate_rep", "(cls, rep_cls)", &secret_validate_rep, doc::validate_rep);
    c.classmethod("_get_rep", "(cls, representer_cls, prefix)", &secret_get_rep, doc::get_rep);
    c.classmethod("from_plaintext", "(cls, plaintext, representer_cls=None, prefix=CNF_STR)", &secret_from_plaintext,
                  doc::from_plaintext);
    c.classmethod("keygen", "(cls, representer_cls=None, prefix=CNF_STR)", &secret_keygen, doc::secret_keygen);
    c.def("__init__", "(self, secret_string, representer_cls=None, prefix=CNF_STR)", &secret_init, doc::init);
    c.def("__str__", "(self)", &secret_str, doc::str);
    c.def("__dir__", "(self)", &secret_dir);
    c.set("__repr__", get_item(c.class_namespace(), handle(intern("__str__"))));
    c.property("plaintext", &secret_plaintext, doc::plaintext);
    m.state<State>().secret_string_class = c.create();
}

// ----- the module body -------------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("uuid");
    m.import_("base64");
    m.import_("logging");
    m.from_("quarv.utils.import_utils").import_("import_from_name");
    m.from_("collections").import_("UserString");
    m.from_("inspect").import_("isclass");
    try {
        m.from_("cryptography.fernet").import_("Fernet");
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_ImportError)) failure.rethrow();
        m.set("Fernet", handle(Py_None));
    }
    State& state = m.state<State>();
    state.urlsafe_b64encode = attr(m.get("base64"), "urlsafe_b64encode");
    state.urlsafe_b64decode = attr(m.get("base64"), "urlsafe_b64decode");

    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    m.set("__all__", list_of(text("SecretString"), text("to_plaintext"), text("FernetSecretStringRepresenter")));
    m.set("CNF_SEC", text("secrets"));
    m.set("CNF_STR", text("string"));
    m.set("CNF_SS_REP", text("representer"));
    m.set("CNF_SS_KEY", text("key"));
    m.from_("quarv.configuration").import_as("configuration", "cfg");

    define_container(m);
    define_representer(m);
    define_plain_text(m);
    define_obscuring(m);
    define_fernet(m);
    m.def("to_plaintext", "(str_or_secret_str)", &to_plaintext, doc::to_plaintext);
    define_secret_string(m);
}
}  // namespace

QUARV_MODULE(mirrane, "quarv.utils.mirrane", body, State)
