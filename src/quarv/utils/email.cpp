// quarv.utils.email: one e-mail message (sender, recipients, subject, plain-text and HTML bodies,
// text-file attachments), built with the interpreter's e-mail package and sent over SMTP with
// settings from arguments, else configuration, else built-in defaults.
//
// The module shares its last name with the interpreter's own e-mail package: every import below is
// absolute, so `email.message` and the others are always the standard library's.
#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

namespace doc {
const char* module = R"(E-mail messages: EmailMsg composes one message and sends it over SMTP.

Importing this module raises the line-length limit of the interpreter's e-mail policies from 78 to
998 characters, for the whole process.)";
const char* email_msg = R"(One e-mail message: sender, recipients, subject, plain-text body, optional HTML
alternative and text-file attachments.

The values are kept as given and a standard-library EmailMessage is built from them each time one is
needed (message(), str(), send()), so attributes changed meanwhile and attachment files changed on
disk show in the next build.)";
const char* init = R"(from_email: the sender, a text holding one or more addresses or an iterable of address texts
to_email: the recipients, in the same forms
subject: the subject text
body: the plain-text body
attachments: paths of text files to attach (none: a new empty list)
html_email: when true, html_body goes along as an HTML alternative of the plain text
html_body: the HTML text of that alternative
default_domain: the domain of addresses written without "@"; when not given, the configuration's
    "email.default_domain" is read now, once)";
const char* convert_to_address = R"(Converts address texts into a list of email.headerregistry.Address objects.

value: a text, split at commas, semicolons and whitespace into one item per address; or any other
    iterable of texts, taken item by item without splitting
default_domain: the domain of items without "@"; without one, such an item raises ValueError

An item with one "@" names its own user name and domain, which win over default_domain. Display
names are not recognised: a text is split as described, so "Ann <ann@example.org>" gives the two
items "Ann" and "<ann@example.org>", each converted on its own.)";
const char* message = R"(Builds a new email.message.EmailMessage from the current values.

From and To hold the converted addresses; the plain text comes first, then the HTML alternative
when html_email is true, then each attachment as an embedded text message under its base name. An
attachment file that does not exist is left out with a warning; other errors propagate.)";
const char* get_content = "Returns the plain-text body (never the HTML alternative).";
const char* recipients = "Returns to_email as stored, neither converted nor split.";
const char* send = R"(Sends the message over SMTP.

Each setting is the argument when it is true, else the configuration value ("email.smtp.host",
"email.smtp.port", "email.smtp.ssl", "email.smtp.timeout", "email.smtp.username",
"email.smtp.password", read in this order, each only for a false argument), else the default: no
port (the client's own), no STARTTLS, a timeout of 30 seconds, no login. Only the host is required.

ssl: when true, STARTTLS is issued after EHLO, with the SMTP client's default TLS context (the
    server's certificate is not verified)
username, password: a login is made only when both are true

The envelope sender and recipients are taken from the message's headers. ValueError is raised
before any connection is made when there are no recipients (a false to_email, or a To header that
holds no address once converted, such as a text made only of separators), or no host.)";
const char* mailbody = "The plain-text body.";
const char* mailsubject = "The subject text.";
const char* str = "The whole message, newly built, as the e-mail package renders it.";
}  // namespace doc

// `email.utils.getaddresses`: what the SMTP client reads envelope recipients with.
handle getaddresses() {
    constinit static ProcessValue getaddresses;
    return getaddresses.get([] { return attr(steal(PyImport_ImportModule("email.utils")), "getaddresses"); });
}

// ----- EmailMsg.__init__ -------------------------------------------------------------------------

object init(Frame& f, handle self, handle from_email, handle to_email, handle subject, handle body, handle attachments,
            handle html_email, handle html_body, handle default_domain) {
    set_attr(self, "from_email", from_email);
    set_attr(self, "to_email", to_email);
    set_attr(self, "subject", subject);
    set_attr(self, "body", body);
    set_attr(self, "attachments", truth(attachments) ? borrow(attachments.ptr()) : new_list());
    set_attr(self, "html_email", html_email);
    set_attr(self, "html_body", html_body);
    if (truth(default_domain)) {
        set_attr(self, "default_domain", default_domain);
    } else {
        set_attr(self, "default_domain",
                 call_method(NATIVE_GLOBAL(f, "cfg"), "get", NATIVE_GLOBAL(f, "CFG_DEFAULT_DOMAIN")));
    }
    return py::none();
}

// ----- EmailMsg.convert_to_address(value, default_domain) ----------------------------------------

// `value.replace(",", " ").replace(";", " ").split()`
object address_items(handle value) {
    object blank = text(" ");
    if (PyUnicode_CheckExact(value.ptr())) {
        object commas_gone = steal(PyUnicode_Replace(value.ptr(), text(",").ptr(), blank.ptr(), -1));
        object separators_gone = steal(PyUnicode_Replace(commas_gone.ptr(), text(";").ptr(), blank.ptr(), -1));
        return steal(PyUnicode_Split(separators_gone.ptr(), nullptr, -1));
    }
    object commas_gone = call_method(value, "replace", text(","), blank);
    return call_method(call_method(commas_gone, "replace", text(";"), blank), "split");
}

object convert_to_address(Frame& f, handle value, handle default_domain) {
    RecursionGuard guard;
    object items = PyUnicode_Check(value.ptr()) ? address_items(value) : borrow(value.ptr());
    object addresses = new_list();
    object at = text("@");
    for_each(items, [&](handle item) {
        if (contains(item, at)) {
            // str's own split for an exact text; a subclass's override is called
            object parts = PyUnicode_CheckExact(item.ptr()) ? steal(PyUnicode_Split(item.ptr(), at.ptr(), -1))
                                                            : call_method(item, "split", at);
            auto [username, domain] = unpack2(parts);
            append(addresses, call_kw(NATIVE_GLOBAL(f, "Address"), {}, {{"username", username}, {"domain", domain}}));
        } else if (truth(default_domain)) {
            append(addresses,
                   call_kw(NATIVE_GLOBAL(f, "Address"), {}, {{"username", item}, {"domain", default_domain}}));
        } else {
            raise(PyExc_ValueError, "Please specify default email domain, or provide the full email address");
        }
    });
    return addresses;
}

// ----- EmailMsg.message() ------------------------------------------------------------------------

// `self.convert_to_address(getattr(self, field), self.default_domain)`
object converted(handle self, handle field) {
    object convert = attr(self, "convert_to_address");
    object value = attr(self, field);
    return call(convert, value, attr(self, "default_domain"));
}

// `with open(path) as file: part = MIMEText(file.read())`, then attached under the path's base name.
void attach_file(Frame& f, handle message, handle path) {
    object part;
    with(call(NATIVE_GLOBAL(f, "open"), path),
         [&](handle file) { part = call(NATIVE_GLOBAL(f, "MIMEText"), call_method(file, "read")); });
    object filename = call_method(attr(NATIVE_GLOBAL(f, "os"), "path"), "basename", path);
    call_kw(attr(message, "add_attachment"), {part}, {{"filename", filename}});
}

object message(Frame& f, handle self) {
    RecursionGuard guard;
    object msg = call(NATIVE_GLOBAL(f, "EmailMessage"));
    set_item(msg, text("From"), converted(self, handle(intern("from_email"))));
    set_item(msg, text("To"), converted(self, handle(intern("to_email"))));
    set_item(msg, text("Subject"), attr(self, "subject"));
    call_method(msg, "set_content", attr(self, "body"));
    if (truth(attr(self, "html_email"))) {
        call_kw(attr(msg, "add_alternative"), {attr(self, "html_body")}, {{"subtype", text("html")}});
    }
    object attachments = attr(self, "attachments");
    if (truth(attachments)) {
        for_each(attachments, [&](handle path) {
            try {
                attach_file(f, msg, path);
            } catch (...) {
                Caught failure;
                if (!failure.matches(NATIVE_GLOBAL(f, "FileNotFoundError"))) failure.rethrow();
                Handling handling(failure.value());
                object warning =
                    steal(PyUnicode_FromFormat("%S - email will be sent with no attachment.", failure.value().ptr()));
                call_method(NATIVE_GLOBAL(f, "logger"), "warning", warning);
            }
        });
    }
    return msg;
}

// ----- EmailMsg.get_content(), EmailMsg.recipients() ---------------------------------------------

object get_content(Frame&, handle self) { return attr(self, "body"); }

object recipients(Frame&, handle self) { return attr(self, "to_email"); }

// ----- EmailMsg.send(...) ------------------------------------------------------------------------

// `argument or cfg.get(key)` / `argument or cfg.get(key, default)`
object setting(Frame& f, handle argument, handle key, handle default_ = handle()) {
    if (truth(argument)) return borrow(argument.ptr());
    object cfg = NATIVE_GLOBAL(f, "cfg");
    return default_ ? call_method(cfg, "get", key, default_) : call_method(cfg, "get", key);
}

// Whether the message's To header, when it has one, holds an address. The SMTP client reads the
// envelope recipients from the headers, and a To header that converted to no address would give it
// none, or an empty one beside those of other headers.
bool to_header_holds_an_address(handle msg) {
    object fields = call_method(msg, "get_all", text("To"));
    if (fields.is_none()) return true;
    bool found = false;
    for_each(call(getaddresses(), fields), [&](handle pair) {
        auto [display_name, address] = unpack2(pair);
        if (truth(address)) found = true;
    });
    return found;
}

object send(Frame& f, handle self, handle host_arg, handle port_arg, handle ssl_arg, handle timeout_arg,
            handle username_arg, handle password_arg) {
    RecursionGuard guard;
    if (!truth(call_method(self, "recipients"))) raise(PyExc_ValueError, "Recipient list is empty.");
    object host = setting(f, host_arg, NATIVE_GLOBAL(f, "CFG_SMTP_HOST"));
    object port = setting(f, port_arg, NATIVE_GLOBAL(f, "CFG_SMTP_PORT"));
    object ssl = setting(f, ssl_arg, NATIVE_GLOBAL(f, "CFG_SMTP_SSL"), handle(Py_False));
    object timeout =
        setting(f, timeout_arg, NATIVE_GLOBAL(f, "CFG_SMTP_TIMEOUT"), NATIVE_GLOBAL(f, "DEFAULT_SMTP_TIMEOUT"));
    object username = setting(f, username_arg, NATIVE_GLOBAL(f, "CFG_SMTP_USERNAME"));
    object password = setting(f, password_arg, NATIVE_GLOBAL(f, "CFG_SMTP_PASSWORD"));
    if (!truth(host)) raise(PyExc_ValueError, "Must provide SMTP host information");
    object target = steal(PyUnicode_FromFormat("Sending messaging to %S:%S", host.ptr(), port.ptr()));
    call_method(NATIVE_GLOBAL(f, "logger"), "debug", target);

    object msg = call_method(self, "message");
    // A recipient text made only of separators passes the test above but converts to no address:
    // refused here rather than sent to an empty envelope recipient.
    if (!to_header_holds_an_address(msg)) raise(PyExc_ValueError, "Recipient list is empty.");

    object smtp = attr(NATIVE_GLOBAL(f, "smtplib"), "SMTP");
    object client = call_kw(smtp, {}, {{"host", host}, {"port", port}, {"timeout", timeout}});
    with(client, [&](handle server) {
        call_method(server, "ehlo");
        if (truth(ssl)) call_method(server, "starttls");
        if (truth(username) && truth(password)) call_method(server, "login", username, password);
        call_method(server, "send_message", msg);
    });

    call_method(NATIVE_GLOBAL(f, "logger"), "debug", text("---------- Email Content ----------\n\n"));
    object content = str_of(msg);
    call_method(NATIVE_GLOBAL(f, "logger"), "debug", content);
    return py::none();
}

// ----- the properties mailbody and mailsubject, EmailMsg.__str__() -------------------------------

object get_body(Frame&, handle self) { return attr(self, "body"); }
object set_body(Frame&, handle self, handle value) {
    set_attr(self, "body", value);
    return py::none();
}

object get_subject(Frame&, handle self) { return attr(self, "subject"); }
object set_subject(Frame&, handle self, handle value) {
    set_attr(self, "subject", value);
    return py::none();
}

object to_text(Frame&, handle self) {
    RecursionGuard guard;
    return str_of(call_method(self, "message"));
}

void define_email_msg(ModuleBody& m) {
    ClassBuilder c = m.class_("EmailMsg", {}, handle(), doc::email_msg);
    c.def("__init__",
          "(self, from_email=None, to_email=None, subject='', body='', attachments=None, html_email=False, "
          "html_body='', default_domain=None)",
          &init, doc::init);
    c.staticmethod("convert_to_address", "(value, default_domain)", &convert_to_address, doc::convert_to_address);
    c.def("message", "(self)", &message, doc::message);
    c.def("get_content", "(self)", &get_content, doc::get_content);
    c.def("recipients", "(self)", &recipients, doc::recipients);
    c.def("send", "(self, host=None, port=None, ssl=None, timeout=None, username=None, password=None)", &send,
          doc::send);
    c.property("mailbody", &get_body, &set_body, nullptr, doc::mailbody);
    c.property("mailsubject", &get_subject, &set_subject, nullptr, doc::mailsubject);
    c.def("__str__", "(self)", &to_text, doc::str);
    c.create();
}

// ----- the module body ---------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.doc(doc::module);
    m.import_("os");
    m.import_("logging");
    m.import_("smtplib");
    m.from_("email.message").import_("EmailMessage");
    m.from_("email.headerregistry").import_("Address");
    m.from_("email.mime.text").import_("MIMEText");
    m.from_("quarv.configuration").import_as("configuration", "cfg");
    m.from_("email._policybase").import_("Policy");

    // process-wide: every policy without a limit of its own, the default one included
    set_attr(m.get("Policy"), "max_line_length", integer(998));

    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));

    m.set("CFG_SMTP_HOST", text("email.smtp.host"));
    m.set("CFG_SMTP_PORT", text("email.smtp.port"));
    m.set("CFG_SMTP_SSL", text("email.smtp.ssl"));
    m.set("CFG_SMTP_TIMEOUT", text("email.smtp.timeout"));
    m.set("CFG_SMTP_USERNAME", text("email.smtp.username"));
    m.set("CFG_SMTP_PASSWORD", text("email.smtp.password"));
    m.set("CFG_DEFAULT_DOMAIN", text("email.default_domain"));
    m.set("DEFAULT_SMTP_TIMEOUT", integer(30));

    define_email_msg(m);
}
}  // namespace

QUARV_MODULE(email, "quarv.utils.email", body)
