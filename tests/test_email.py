"""quarv.utils.email: messages composed with the interpreter's e-mail package and sent to a real SMTP
server (aiosmtpd on 127.0.0.1), with AUTH and STARTTLS under a throw-away self-signed certificate."""

import datetime
import email.headerregistry
import email.message
import email.mime.text
import email.policy
import inspect
import ipaddress
import logging
import os
import smtplib
import socket
import ssl
import sys
import types
from email import message_from_bytes, message_from_string
from email._policybase import Policy

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID
from fresh import run_fresh

from quarv.configuration import configuration
from quarv.utils import email as email_module
from quarv.utils.email import EmailMsg

Address = email.headerregistry.Address
NO_DOMAIN = "Please specify default email domain, or provide the full email address"
NO_RECIPIENT = "Recipient list is empty."
NO_HOST = "Must provide SMTP host information"
CONTENT_TITLE = "---------- Email Content ----------\n\n"
USER, PASSWORD = "mailer", "s3cret-pass"
TIMEOUT = 10  # seconds, for every network wait of a test


# ----- the peer: a real SMTP server ------------------------------------------------------------------

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="session")
def tls_context(tmp_path_factory):
    """A server context with a self-signed certificate for 127.0.0.1, made for this run."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                                  critical=False)
                   .sign(key, hashes.SHA256()))
    folder = tmp_path_factory.mktemp("tls")
    (folder / "cert.pem").write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    (folder / "key.pem").write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                       serialization.PrivateFormat.PKCS8,
                                                       serialization.NoEncryption()))
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(folder / "cert.pem", folder / "key.pem")
    return context


class Recorder:
    """The server's handler: each delivery (envelope, message, TLS, login) and the dialogue's steps."""

    def __init__(self):
        self.deliveries = []
        self.events = []

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        self.events.append("EHLO over TLS" if session.ssl is not None else "EHLO")
        return responses

    async def handle_DATA(self, server, session, envelope):
        self.deliveries.append(types.SimpleNamespace(
            mail_from=envelope.mail_from, rcpt_tos=list(envelope.rcpt_tos),
            message=message_from_bytes(envelope.original_content), tls=session.ssl is not None,
            login=session.auth_data.login.decode() if session.authenticated else None))
        self.events.append("DATA")
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.events.append("QUIT")
        return "221 Bye"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        self.events.append(f"AUTH {auth_data.login.decode()}")
        success = (auth_data.login.decode(), auth_data.password.decode()) == (USER, PASSWORD)
        return AuthResult(success=success, handled=False, auth_data=auth_data)


@pytest.fixture(scope="module")
def smtp_server(tls_context):
    """One server for the module: STARTTLS offered, AUTH offered also without TLS."""
    recorder = Recorder()
    port = free_port()
    controller = Controller(recorder, hostname="127.0.0.1", port=port, ready_timeout=TIMEOUT,
                            tls_context=tls_context, authenticator=recorder.authenticate,
                            auth_require_tls=False)
    controller.start()
    try:
        yield types.SimpleNamespace(port=port, recorder=recorder)
    finally:
        controller.stop()


@pytest.fixture
def server(smtp_server):
    """The server with nothing recorded yet."""
    smtp_server.recorder.deliveries.clear()
    smtp_server.recorder.events.clear()
    return smtp_server


# ----- what the module is given and what it calls --------------------------------------------------------

@pytest.fixture(autouse=True)
def config():
    """An empty configuration for each test; what the session had is put back afterwards."""
    saved = configuration._root
    configuration.clear()
    yield configuration
    configuration._root = saved


class RecordingConfig:
    """The configuration object, with every `get` call it answers recorded."""

    def __init__(self, inner):
        self.inner, self.calls = inner, []

    def get(self, *args):
        self.calls.append(args)
        return self.inner.get(*args)


@pytest.fixture
def cfg_calls(monkeypatch, config):
    recording = RecordingConfig(config)
    monkeypatch.setattr(email_module, "cfg", recording)
    return recording.calls


def recorded(method):
    """Records a call made on the client from outside, not the client's own inner calls."""

    def recording(self, *args, **kwargs):
        outer = not self.inside
        if outer:
            self.calls.append((method.__name__.strip("_"), args, kwargs))
        self.inside = True
        try:
            return method(self, *args, **kwargs)
        finally:
            self.inside = not outer

    return recording


class RecordingSMTP(smtplib.SMTP):
    """The interpreter's SMTP client, with its construction and the calls made on it from outside
    recorded."""

    made = []
    inside = False

    def __init__(self, **kwargs):
        self.calls = [("SMTP", (), kwargs)]
        RecordingSMTP.made.append(self)
        super().__init__(**kwargs)

    @recorded
    def ehlo(self, *args):
        return super().ehlo(*args)

    @recorded
    def starttls(self, *args, **kwargs):
        return super().starttls(*args, **kwargs)

    @recorded
    def login(self, *args, **kwargs):
        return super().login(*args, **kwargs)

    @recorded
    def send_message(self, *args, **kwargs):
        self.socket_timeout = self.sock.gettimeout()
        return super().send_message(*args, **kwargs)

    @recorded
    def __exit__(self, *exc_info):
        return super().__exit__(*exc_info)


@pytest.fixture
def clients(monkeypatch):
    RecordingSMTP.made = []
    monkeypatch.setattr(email_module, "smtplib", types.SimpleNamespace(SMTP=RecordingSMTP))
    return RecordingSMTP.made


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.email")

    def taken():
        ours = [r for r in caplog.records if r.name == "quarv.utils.email"]
        assert all(not r.args for r in ours), "texts are complete before the logger is called"
        caplog.clear()
        return [(r.levelname, r.getMessage()) for r in ours]

    return taken


def mail(**kwargs):
    values = dict(from_email="sender@example.org", to_email="ann@example.org, bob@example.net",
                  subject="Report", body="All is well.\n", default_domain="example.com")
    values.update(kwargs)
    return EmailMsg(**values)


def missing_file_warning(path):
    return ("WARNING", f"[Errno 2] No such file or directory: {str(path)!r} - email will be sent with no attachment.")


# ----- the module body --------------------------------------------------------------------------------

def test_module_namespace_in_body_order():
    names = [n for n in vars(email_module) if not n.startswith("__")]
    assert names == ["os", "logging", "smtplib", "EmailMessage", "Address", "MIMEText", "cfg", "Policy", "logger",
                     "CFG_SMTP_HOST", "CFG_SMTP_PORT", "CFG_SMTP_SSL", "CFG_SMTP_TIMEOUT", "CFG_SMTP_USERNAME",
                     "CFG_SMTP_PASSWORD", "CFG_DEFAULT_DOMAIN", "DEFAULT_SMTP_TIMEOUT", "EmailMsg"]
    assert not hasattr(email_module, "__all__")
    assert [getattr(email_module, n) for n in names[9:17]] == [
        "email.smtp.host", "email.smtp.port", "email.smtp.ssl", "email.smtp.timeout", "email.smtp.username",
        "email.smtp.password", "email.default_domain", 30]
    # the interpreter's own e-mail package, never this module of the same last name
    assert email_module.EmailMessage is email.message.EmailMessage
    assert email_module.Address is Address and email_module.MIMEText is email.mime.text.MIMEText
    assert email_module.Policy is Policy and sys.modules["email"].__file__.startswith(os.path.dirname(os.__file__))
    assert email_module.os is os and email_module.smtplib is smtplib and email_module.logging is logging
    assert email_module.cfg is configuration
    assert email_module.logger is logging.getLogger("quarv.utils.email")


def test_import_raises_the_line_length_limit_for_the_whole_process():
    assert Policy.max_line_length == 998 and "max_line_length" not in vars(email.policy.EmailPolicy)
    assert email.policy.default.max_line_length == 998
    subject = " ".join(["word"] * 40)  # 199 characters
    message = email.message.EmailMessage()
    message["Subject"] = subject
    long_line = "x" * 500
    message.set_content(long_line + "\n")
    rendered = str(message)
    assert f"Subject: {subject}\n" in rendered
    # the line-length test picks the body's transfer encoding too: no quoted-printable for 500 characters
    assert "Content-Transfer-Encoding: 7bit" in rendered and long_line in rendered


def test_the_limit_is_set_when_the_module_is_imported_and_not_before():
    code = """
        from email._policybase import Policy
        print(Policy.max_line_length)
        import quarv.utils.email
        print(Policy.max_line_length)
    """
    assert run_fresh(code).stdout.split() == ["78", "998"]


def test_class_members_in_source_order():
    members = [n for n in vars(EmailMsg) if n not in ("__module__", "__doc__", "__dict__", "__weakref__",
                                                      "__qualname__")]
    assert members == ["__init__", "convert_to_address", "message", "get_content", "recipients", "send", "mailbody",
                       "mailsubject", "__str__"]
    assert EmailMsg.__mro__ == (EmailMsg, object) and EmailMsg.__module__ == "quarv.utils.email"
    assert isinstance(vars(EmailMsg)["convert_to_address"], staticmethod)
    for name in ("mailbody", "mailsubject"):
        prop = vars(EmailMsg)[name]
        assert isinstance(prop, property) and prop.fset is not None and prop.fdel is None


SIGNATURES = [
    (EmailMsg.__init__, "(self, from_email=None, to_email=None, subject='', body='', attachments=None, "
                        "html_email=False, html_body='', default_domain=None)"),
    (EmailMsg.convert_to_address, "(value, default_domain)"),
    (EmailMsg.message, "(self)"),
    (EmailMsg.get_content, "(self)"),
    (EmailMsg.recipients, "(self)"),
    (EmailMsg.send, "(self, host=None, port=None, ssl=None, timeout=None, username=None, password=None)"),
    (EmailMsg.__str__, "(self)"),
]


@pytest.mark.parametrize("fn, signature", SIGNATURES, ids=[fn.__name__ for fn, _ in SIGNATURES])
def test_signatures(fn, signature):
    assert str(inspect.signature(fn)) == signature
    assert fn.__module__ == "quarv.utils.email" and fn.__qualname__ == f"EmailMsg.{fn.__name__}"


def test_documentation_says_what_is_kept_as_it_is():
    assert "default TLS context" in EmailMsg.send.__doc__ and "Ann <ann@example.org>" in (
        EmailMsg.convert_to_address.__doc__)
    for member in (EmailMsg, EmailMsg.__init__, EmailMsg.message, EmailMsg.get_content, EmailMsg.recipients,
                   EmailMsg.mailbody, EmailMsg.mailsubject, EmailMsg.__str__, email_module):
        assert member.__doc__


PYTHON_TWINS = """
class EmailMsg:
    def __init__(self, from_email=None, to_email=None, subject='', body='', attachments=None, html_email=False,
                 html_body='', default_domain=None): pass
    @staticmethod
    def convert_to_address(value, default_domain): pass
    def message(self): pass
    def send(self, host=None, port=None, ssl=None, timeout=None, username=None, password=None): pass
"""


@pytest.mark.parametrize("call", [
    "EmailMsg(1, 2, 3, 4, 5, 6, 7, 8, 9)", "EmailMsg(sender='a')", "EmailMsg('a', from_email='b')",
    "EmailMsg.convert_to_address('a')", "EmailMsg.convert_to_address(value='a', domain='b')",
    "EmailMsg().message(1)", "EmailMsg().send(1, 2, 3, 4, 5, 6, 7)", "EmailMsg().send(retries=2)",
    "EmailMsg.send()",
])
def test_wrong_calls_raise_the_interpreters_errors(call):
    twins = {}
    exec(PYTHON_TWINS, twins)
    with pytest.raises(TypeError) as expected:
        eval(call, twins)
    with pytest.raises(TypeError) as actual:
        eval(call, vars(email_module))
    assert str(actual.value) == str(expected.value)


# ----- construction -----------------------------------------------------------------------------------

def test_constructor_stores_its_arguments_in_order(cfg_calls):
    sender, recipients, attachments = ["s@x.org"], ("a@x.org",), ["/tmp/a.txt"]
    msg = EmailMsg(sender, recipients, "Subject", "Body", attachments, 1, "<p>x</p>", "x.org")
    assert vars(msg) == {"from_email": sender, "to_email": recipients, "subject": "Subject", "body": "Body",
                         "attachments": attachments, "html_email": 1, "html_body": "<p>x</p>",
                         "default_domain": "x.org"}
    assert list(vars(msg)) == ["from_email", "to_email", "subject", "body", "attachments", "html_email",
                               "html_body", "default_domain"]
    assert msg.from_email is sender and msg.to_email is recipients and msg.attachments is attachments
    assert cfg_calls == []  # a true default domain: configuration is not read
    assert vars(EmailMsg()) == {"from_email": None, "to_email": None, "subject": "", "body": "", "attachments": [],
                                "html_email": False, "html_body": "", "default_domain": None}


@pytest.mark.parametrize("attachments", [None, (), [], ""])
def test_false_attachments_become_a_new_list_for_each_instance(attachments):
    first, second = EmailMsg(attachments=attachments), EmailMsg(attachments=attachments)
    assert first.attachments == [] and type(first.attachments) is list
    assert first.attachments is not second.attachments and first.attachments is not attachments


@pytest.mark.parametrize("argument", [None, ""])
def test_default_domain_is_read_from_configuration_once_at_construction(config, cfg_calls, argument):
    assert EmailMsg(default_domain=argument).default_domain is None
    config.set("email.default_domain", "conf.example")
    msg = EmailMsg(default_domain=argument)
    assert cfg_calls == [("email.default_domain",)] * 2
    config.set("email.default_domain", "changed.example")
    assert msg.default_domain == "conf.example"
    msg.from_email, msg.to_email = "me", "bare"
    assert msg.message()["To"].addresses == (Address(username="bare", domain="conf.example"),)
    assert len(cfg_calls) == 2


def test_a_failing_configuration_read_fails_the_construction(monkeypatch):
    class Broken:
        def get(self, *args):
            raise RuntimeError("configuration unavailable")

    monkeypatch.setattr(email_module, "cfg", Broken())
    with pytest.raises(RuntimeError, match="configuration unavailable"):
        EmailMsg(to_email="a@b.c")
    assert EmailMsg(to_email="a@b.c", default_domain="b.c").default_domain == "b.c"


# ----- address conversion --------------------------------------------------------------------------------

def addresses(*pairs):
    return [Address(username=user, domain=domain) for user, domain in pairs]


@pytest.mark.parametrize("value, domain, expected", [
    ("ann, bob;carl  ;, \t dora", "x.org", addresses(("ann", "x.org"), ("bob", "x.org"), ("carl", "x.org"),
                                                     ("dora", "x.org"))),
    (" , ;\n; ,", "x.org", []),
    ("", "x.org", []),
    ([], None, []),
    ("ann@own.example; bob", "x.org", addresses(("ann", "own.example"), ("bob", "x.org"))),
    ("ann@own.example", None, addresses(("ann", "own.example"))),
    (["ann, bob"], "x.org", addresses(("ann, bob", "x.org"))),  # a list item is not split
    ((" ann@a.b ",), None, addresses((" ann", "a.b "))),  # nor trimmed
    (iter(["ann", "bob@b.c"]), "x.org", addresses(("ann", "x.org"), ("bob", "b.c"))),
    # display names are not recognised: the text is split at blanks as any other
    ("Ann <ann@example.org>", "x.org", addresses(("Ann", "x.org"), ("<ann", "example.org>"))),
])
def test_convert_to_address(value, domain, expected):
    result = EmailMsg.convert_to_address(value, domain)
    assert type(result) is list and result == expected
    assert all(address.display_name == "" for address in result)


def test_a_text_subclass_is_split_through_its_own_methods():
    class Text(str):
        def replace(self, old, new, count=-1):
            return Text(str.replace(self, old, new, count).replace("|", " "))

    assert EmailMsg.convert_to_address(Text("ann|bob,carl"), "x.org") == addresses(
        ("ann", "x.org"), ("bob", "x.org"), ("carl", "x.org"))
    assert mail().convert_to_address("a@b.c", None) == addresses(("a", "b.c"))  # through an instance


@pytest.mark.parametrize("value, domain, error, text", [
    ("bare", None, ValueError, NO_DOMAIN),
    ("ann@a.b, bare", "", ValueError, NO_DOMAIN),
    (["bare"], 0, ValueError, NO_DOMAIN),
    ("ann@a@b", "x.org", ValueError, "too many values to unpack (expected 2)"),
    (None, "x.org", TypeError, "'NoneType' object is not iterable"),
    (42, "x.org", TypeError, "'int' object is not iterable"),
    (["ann", None], "x.org", TypeError, "argument of type 'NoneType' is not iterable"),
    ([7], "x.org", TypeError, "argument of type 'int' is not iterable"),
])
def test_convert_to_address_errors(value, domain, error, text):
    with pytest.raises(error) as raised:
        EmailMsg.convert_to_address(value, domain)
    assert str(raised.value) == text


# ----- message building ------------------------------------------------------------------------------------

@pytest.fixture
def files(tmp_path):
    (tmp_path / "first.txt").write_text("first file\n")
    (tmp_path / "second.log").write_text("second file\n")
    return tmp_path


def test_plain_message():
    msg = mail(to_email="ann; bob@example.net").message()
    assert type(msg) is email.message.EmailMessage and msg.policy is email.policy.default
    assert msg.get_content_type() == "text/plain" and msg.get_content() == "All is well.\n"
    assert msg["From"].addresses == (Address(username="sender", domain="example.org"),)
    assert msg["To"].addresses == (Address(username="ann", domain="example.com"),
                                   Address(username="bob", domain="example.net"))
    assert msg["Subject"] == "Report"
    assert list(msg.keys()) == ["From", "To", "Subject", "Content-Type", "Content-Transfer-Encoding",
                                "MIME-Version"]


def test_html_alternative_and_attachments_in_order(files):
    attachments = [str(files / "first.txt"), str(files / "second.log")]
    msg = mail(html_email=True, html_body="<p>All is well.</p>\n", attachments=attachments).message()
    assert msg.get_content_type() == "multipart/mixed"
    alternative, *attached = msg.get_payload()
    assert alternative.get_content_type() == "multipart/alternative"
    assert [(p.get_content_type(), p.get_content()) for p in alternative.get_payload()] == [
        ("text/plain", "All is well.\n"), ("text/html", "<p>All is well.</p>\n")]
    # each attachment is an embedded message whose body is the text/plain part holding the file
    assert [(p.get_content_type(), p.get_content_disposition(), p.get_filename()) for p in attached] == [
        ("message/rfc822", "attachment", "first.txt"), ("message/rfc822", "attachment", "second.log")]
    inner = [p.get_payload(0) for p in attached]
    assert [(p.get_content_type(), p.get_payload()) for p in inner] == [
        ("text/plain", "first file\n"), ("text/plain", "second file\n")]
    without_html = mail(attachments=attachments[:1]).message()
    assert [p.get_content_type() for p in without_html.get_payload()] == ["text/plain", "message/rfc822"]


def test_the_html_flag_alone_decides_the_alternative():
    assert mail(html_email=False, html_body="<p>x</p>").message().get_content_type() == "text/plain"
    msg = mail(html_email=True).message()
    assert [p.get_content_type() for p in msg.get_payload()] == ["text/plain", "text/html"]


def test_a_missing_attachment_is_left_out_with_a_warning_at_each_build(files, records):
    missing = files / "gone.txt"
    msg = mail(attachments=[str(files / "first.txt"), str(missing), str(files / "second.log")])
    for _ in range(2):
        built = msg.message()
        assert [p.get_filename() for p in built.get_payload()[1:]] == ["first.txt", "second.log"]
        assert records() == [missing_file_warning(missing)]
    missing.write_text("now here\n")  # read again at every build
    assert [p.get_filename() for p in msg.message().get_payload()[1:]] == ["first.txt", "gone.txt", "second.log"]
    assert "now here" in str(msg) and records() == []


def test_only_missing_files_are_forgiven(files, records):
    with pytest.raises(IsADirectoryError):
        mail(attachments=[str(files)]).message()
    (files / "latin.txt").write_bytes(b"caf\xe9\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        mail(attachments=[str(files / "latin.txt")]).message()
    assert records() == []


def test_address_errors_come_before_any_attachment_is_read(files, records):
    with pytest.raises(ValueError, match=NO_DOMAIN):
        mail(to_email="bare", default_domain=None, attachments=[str(files / "gone.txt")]).message()
    assert records() == []


def test_text_form_is_a_new_build_each_time(files, records):
    msg = mail(attachments=[str(files / "gone.txt")])
    assert str(msg) == str(msg) == str(msg.message())
    assert records() == [missing_file_warning(files / "gone.txt")] * 3
    msg.subject = "Changed"
    assert message_from_string(str(msg))["Subject"] == "Changed"


def test_accessors():
    msg = mail(html_email=True, html_body="<p>html</p>", to_email="ann@a.b;bob@c.d")
    assert msg.get_content() == "All is well.\n" and msg.recipients() == "ann@a.b;bob@c.d"
    recipients = ["x@y.z"]
    msg.to_email = recipients
    assert msg.recipients() is recipients
    assert msg.mailbody == "All is well.\n" and msg.mailsubject == "Report"
    msg.mailbody, msg.mailsubject = "New body", "New subject"
    assert (msg.body, msg.subject) == ("New body", "New subject")
    assert msg.message().get_body(("plain",)).get_content() == "New body\n"
    assert msg.message()["Subject"] == "New subject"


def test_members_reach_each_other_through_the_instance(server, clients):
    class Loud(EmailMsg):
        @staticmethod
        def convert_to_address(value, default_domain):
            return EmailMsg.convert_to_address(value, default_domain) + addresses(("extra", "loud.example"))

        def recipients(self):
            return "only what this says"

    msg = Loud(from_email="s@a.b", to_email="ann@a.b")
    assert str(msg.message()["To"]) == "ann@a.b, extra@loud.example" and "extra@loud.example" in str(msg)
    msg.send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert server.recorder.deliveries[0].rcpt_tos == ["ann@a.b", "extra@loud.example"]

    class Quiet(EmailMsg):
        def recipients(self):
            return ""

        def message(self):
            built = super().message()
            built.replace_header("Subject", "from the subclass")
            return built

    assert message_from_string(str(Quiet(from_email="s@a.b", to_email="ann@a.b")))["Subject"] == "from the subclass"
    with pytest.raises(ValueError, match=NO_RECIPIENT):
        Quiet(to_email="ann@a.b").send(host="127.0.0.1", port=server.port)


def test_module_names_are_looked_up_at_each_call(monkeypatch, files, records):
    class Counting(email.message.EmailMessage):
        made = 0

        def __init__(self):
            super().__init__()
            Counting.made += 1

    monkeypatch.setattr(email_module, "EmailMessage", Counting)
    assert type(mail().message()) is Counting and Counting.made == 1
    # a wider class of forgiven errors takes effect at once
    monkeypatch.setattr(email_module, "FileNotFoundError", IsADirectoryError, raising=False)
    assert mail(attachments=[str(files)]).message().get_content_type() == "text/plain"
    assert records()[0][1].endswith(" - email will be sent with no attachment.")


# ----- sending -----------------------------------------------------------------------------------------

def test_send_delivers_the_message_and_logs_it(server, records, files):
    msg = mail(to_email=["ann@example.org", "bob@example.net"], html_email=True, html_body="<p>hi</p>",
               attachments=[str(files / "first.txt")])
    assert msg.send(host="127.0.0.1", port=server.port, timeout=TIMEOUT) is None
    [delivery] = server.recorder.deliveries
    assert delivery.mail_from == "sender@example.org"
    assert delivery.rcpt_tos == ["ann@example.org", "bob@example.net"]
    assert (delivery.tls, delivery.login) == (False, None)
    sent = delivery.message
    assert (sent["From"], sent["To"], sent["Subject"]) == (
        "sender@example.org", "ann@example.org, bob@example.net", "Report")
    assert [p.get_content_type() for p in sent.walk()] == [
        "multipart/mixed", "multipart/alternative", "text/plain", "text/html", "message/rfc822", "text/plain"]
    assert server.recorder.events == ["EHLO", "DATA", "QUIT"]
    logged = records()
    assert logged[:2] == [("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}"), ("DEBUG", CONTENT_TITLE)]
    # the message logged is the one sent: one build (the client draws the outer boundary on a copy)
    [(level, content)] = logged[2:]
    assert level == "DEBUG" and sent.get_payload(0).get_boundary() in content and "first file" in content
    assert message_from_string(content)["To"] == sent["To"]


@pytest.mark.parametrize("to_email", ["", [], None, ()])
def test_no_recipients_fail_before_anything_else(server, cfg_calls, records, to_email):
    with pytest.raises(ValueError) as raised:
        mail(to_email=to_email).send(host="127.0.0.1", port=server.port)
    assert str(raised.value) == NO_RECIPIENT
    assert cfg_calls == [] and records() == [] and server.recorder.events == []


@pytest.mark.parametrize("to_email", [" ,; ;  ,", ",", ";\t\n", "@"])
def test_recipients_that_convert_to_no_address_are_refused_before_connecting(server, clients, records, to_email):
    msg = mail(to_email=to_email)
    assert msg.recipients()  # true, so it passes the first test
    with pytest.raises(ValueError) as raised:
        msg.send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert str(raised.value) == NO_RECIPIENT
    assert clients == [] and server.recorder.events == []
    assert records() == [("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}")]


def test_an_empty_to_header_is_refused_beside_other_recipients_and_a_missing_one_is_not(server):
    class Blind(EmailMsg):
        def message(self):
            built = super().message()
            built["Bcc"] = "hidden@example.org"
            return built

    with pytest.raises(ValueError, match=NO_RECIPIENT):  # else sent to "<>" and the hidden one
        Blind(from_email="s@a.b", to_email=";").send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert server.recorder.events == []

    class BlindOnly(Blind):
        def message(self):
            built = super().message()
            del built["To"]
            return built

    BlindOnly(from_email="s@a.b", to_email=";").send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    [delivery] = server.recorder.deliveries
    assert delivery.rcpt_tos == ["hidden@example.org"] and delivery.message["Bcc"] is None


def test_without_host_every_setting_is_read_and_then_the_call_fails(server, cfg_calls, records, clients):
    with pytest.raises(ValueError) as raised:
        mail().send()
    assert str(raised.value) == NO_HOST
    assert cfg_calls == [("email.smtp.host",), ("email.smtp.port",), ("email.smtp.ssl", False),
                         ("email.smtp.timeout", 30), ("email.smtp.username",), ("email.smtp.password",)]
    assert records() == [] and clients == [] and server.recorder.events == []


def test_true_arguments_are_not_looked_up(server, cfg_calls, clients):
    mail().send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert cfg_calls == [("email.smtp.ssl", False), ("email.smtp.username",), ("email.smtp.password",)]
    cfg_calls.clear()
    mail().send("127.0.0.1", server.port, False, TIMEOUT, "", None)  # false arguments fall through
    assert cfg_calls == [("email.smtp.ssl", False), ("email.smtp.username",), ("email.smtp.password",)]
    assert len(server.recorder.deliveries) == 2


def test_settings_from_configuration_go_to_the_client_as_given(server, config, clients, records):
    config.set("email.smtp.host", "127.0.0.1")
    config.set("email.smtp.port", server.port)
    config.set("email.smtp.timeout", 7.5)
    config.set("email.smtp.username", USER)
    config.set("email.smtp.password", PASSWORD)
    mail().send()
    [client] = clients
    assert client.calls[0] == ("SMTP", (), {"host": "127.0.0.1", "port": server.port, "timeout": 7.5})
    assert [call[0] for call in client.calls[1:]] == ["ehlo", "login", "send_message", "exit"]
    assert client.calls[2][1:] == ((USER, PASSWORD), {})
    [delivery] = server.recorder.deliveries
    assert (delivery.tls, delivery.login) == (False, USER)
    assert records()[0] == ("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}")


def test_no_port_anywhere_leaves_it_to_the_client(server, clients, records):
    # the client takes a port written in the host text when it is given none
    host = f"127.0.0.1:{server.port}"
    mail().send(host=host, timeout=TIMEOUT)
    assert clients[0].calls[0] == ("SMTP", (), {"host": host, "port": None, "timeout": TIMEOUT})
    assert records()[0] == ("DEBUG", f"Sending messaging to {host}:None")
    assert len(server.recorder.deliveries) == 1


@pytest.mark.parametrize("timeout, configured, expected", [(0, None, 30), (None, None, 30), (0, 4, 4), (3, 4, 3)])
def test_timeout_resolution(server, config, clients, timeout, configured, expected):
    if configured is not None:
        config.set("email.smtp.timeout", configured)
    mail().send(host="127.0.0.1", port=server.port, timeout=timeout)
    assert clients[0].calls[0][2]["timeout"] == expected and clients[0].socket_timeout == expected


@pytest.mark.parametrize("argument, configured, tls", [
    (None, None, False),
    (False, None, False),
    (None, "False", True),  # a text counts by its truth value
    (True, None, True),
    (False, True, True),  # a false argument cannot switch off what configuration switches on
    (0, 0, False),
])
def test_starttls_only_when_configured(server, config, clients, argument, configured, tls):
    if configured is not None:
        config.set("email.smtp.ssl", configured)
    mail().send(host="127.0.0.1", port=server.port, ssl=argument, timeout=TIMEOUT)
    [delivery] = server.recorder.deliveries
    assert delivery.tls is tls
    calls = [call[0] for call in clients[0].calls]
    assert calls == ["SMTP", "ehlo"] + ["starttls"] * tls + ["send_message", "exit"]
    if tls:
        # the client's default context; no EHLO of send's own after STARTTLS (the client repeats it)
        assert clients[0].calls[2][1:] == ((), {})
        assert server.recorder.events == ["EHLO", "EHLO over TLS", "DATA", "QUIT"]


def test_starttls_with_login(server, clients):
    mail().send(host="127.0.0.1", port=server.port, ssl=True, timeout=TIMEOUT, username=USER, password=PASSWORD)
    [delivery] = server.recorder.deliveries
    assert (delivery.tls, delivery.login) == (True, USER)
    assert server.recorder.events == ["EHLO", "EHLO over TLS", f"AUTH {USER}", "DATA", "QUIT"]
    assert [call[0] for call in clients[0].calls] == ["SMTP", "ehlo", "starttls", "login", "send_message", "exit"]


@pytest.mark.parametrize("arguments, configured, login", [
    ({"username": USER}, {}, None),
    ({"password": PASSWORD}, {}, None),
    ({}, {"email.smtp.username": USER}, None),
    ({"username": USER, "password": ""}, {}, None),
    ({"username": USER}, {"email.smtp.password": PASSWORD}, USER),  # each from its own source
    ({"password": PASSWORD}, {"email.smtp.username": USER}, USER),
])
def test_login_only_with_both_credentials(server, config, clients, records, arguments, configured, login):
    for key, value in configured.items():
        config.set(key, value)
    mail().send(host="127.0.0.1", port=server.port, timeout=TIMEOUT, **arguments)
    [delivery] = server.recorder.deliveries
    assert delivery.login == login
    assert ("login" in [call[0] for call in clients[0].calls]) is (login is not None)
    assert not any(PASSWORD in text for _, text in records())


def test_a_failing_login_closes_the_connection_and_writes_no_content_records(server, clients, records):
    with pytest.raises(smtplib.SMTPAuthenticationError):
        mail().send(host="127.0.0.1", port=server.port, timeout=TIMEOUT, username=USER, password="wrong")
    # the client tries each offered mechanism before it gives up
    events = server.recorder.events
    assert events[0] == "EHLO" and events[-1] == "QUIT" and set(events[1:-1]) == {f"AUTH {USER}"}
    assert server.recorder.deliveries == []
    assert clients[0].calls[-1][0] == "exit" and clients[0].calls[-1][1][0] is smtplib.SMTPAuthenticationError
    assert clients[0].sock is None
    assert records() == [("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}")]


def test_a_missing_attachment_is_warned_about_and_the_message_sent(server, records, files):
    missing = files / "gone.txt"
    mail(attachments=[str(missing), str(files / "first.txt")]).send(host="127.0.0.1", port=server.port,
                                                                     timeout=TIMEOUT)
    [delivery] = server.recorder.deliveries
    assert [p.get_filename() for p in delivery.message.get_payload()[1:]] == ["first.txt"]
    logged = records()
    assert logged[:2] == [("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}"), missing_file_warning(missing)]
    assert [level for level, _ in logged[2:]] == ["DEBUG", "DEBUG"]


def test_a_message_building_error_stops_the_call_before_connecting(server, clients, records):
    with pytest.raises(ValueError, match=NO_DOMAIN):
        mail(to_email="bare", default_domain=None).send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert records() == [("DEBUG", f"Sending messaging to 127.0.0.1:{server.port}")]
    assert clients == [] and server.recorder.events == []


def test_client_errors_pass_through_unchanged(records):
    port = free_port()  # nothing listens there
    with pytest.raises(ConnectionRefusedError):
        mail().send(host="127.0.0.1", port=port, timeout=TIMEOUT)
    assert records() == [("DEBUG", f"Sending messaging to 127.0.0.1:{port}")]


def test_each_send_is_one_connection(server):
    msg = mail()
    for _ in range(3):
        msg.send(host="127.0.0.1", port=server.port, timeout=TIMEOUT)
    assert server.recorder.events == ["EHLO", "DATA", "QUIT"] * 3 and len(server.recorder.deliveries) == 3


# ----- native paths in child interpreters -----------------------------------------------------------------

def test_calls_that_recurse_through_user_code_raise_recursion_error():
    code = """
        import sys, threading
        from quarv.utils.email import EmailMsg

        class Looping(EmailMsg):
            def convert_to_address(self, value, default_domain):
                return str(self)

        class Resending(EmailMsg):
            def recipients(self):
                self.send()

        def attempt(call):
            try:
                call()
            except RecursionError:
                print("RecursionError")

        for limit in (1000, 10 ** 6):
            sys.setrecursionlimit(limit)
            attempt(lambda: str(Looping()))
            attempt(Looping().message)
            attempt(Resending().send)
        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=attempt, args=(lambda: str(Looping()),))
        worker.start()
        worker.join()
    """
    assert run_fresh(code).stdout.split() == ["RecursionError"] * 7


def test_the_first_error_at_the_recursion_limit_is_an_ordinary_exception():
    code = """
        from quarv.utils.email import EmailMsg
        calls = [lambda: EmailMsg().send(), lambda: EmailMsg(to_email="a").send(),
                 lambda: EmailMsg.convert_to_address("bare", None), lambda: EmailMsg.convert_to_address("a@b@c", 1),
                 lambda: EmailMsg("a", "b", attachments=["/nonexistent/x"], default_domain="x").message()]
        def dive(call):
            try:
                dive(call)
            except RecursionError:
                try:
                    call()
                except Exception:
                    pass
        for call in calls:
            dive(call)
            try:
                print(type(call()).__name__)
            except Exception as error:
                print(type(error).__name__)
    """
    assert run_fresh(code).stdout.split() == ["ValueError", "ValueError", "ValueError", "ValueError", "EmailMessage"]


def test_a_module_imported_afresh_works_and_the_dropped_copy_is_freed():
    code = """
        import gc, importlib, sys, weakref
        import quarv.utils.email

        copies = []
        for _ in range(3):
            sys.modules.pop("quarv.utils.email")
            fresh = importlib.import_module("quarv.utils.email")
            copies.append((weakref.ref(fresh), fresh.EmailMsg))
            del fresh
        assert len({id(cls) for _, cls in copies}) == 3
        for _, cls in copies:
            msg = cls(from_email="a@b.c", to_email="d@e.f", body="hello")
            print(msg.message()["To"], type(msg).__module__)
        newest = copies.pop()
        copies = [module for module, _ in copies]
        del msg, cls
        gc.collect()
        print([module() is None for module in copies])
        print(newest[1]("me", "x", default_domain="y.z").message()["To"])
    """
    assert run_fresh(code).stdout.split() == ["d@e.f", "quarv.utils.email"] * 3 + ["[True,", "True]", "x@y.z"]
