"""E-mail messages: quarv.utils.email against a plain Python rendering of the same class.

Both build with the same e-mail package, read the same configuration object and log to the same
(disabled) DEBUG level, so the figures show what the native module saves around the library:
construction, address conversion, message building with an HTML alternative and attachments, the
text form, and a whole send to a local SMTP server (aiosmtpd, from the test extra) when it is
installed. Prints the best time per operation of several runs and the ratios.
Run: python benchmarks/bench_email.py
"""

import logging
import os
import smtplib
import socket
import tempfile
import time
from email.headerregistry import Address
from email.message import EmailMessage
from email.mime.text import MIMEText

from quarv.configuration import configuration as cfg
from quarv.utils import email as native_email

logger = logging.getLogger("bench.email")
CFG_SMTP_HOST, CFG_SMTP_PORT, CFG_SMTP_SSL = "email.smtp.host", "email.smtp.port", "email.smtp.ssl"
CFG_SMTP_TIMEOUT, CFG_SMTP_USERNAME, CFG_SMTP_PASSWORD = "email.smtp.timeout", "email.smtp.username", "email.smtp.password"
CFG_DEFAULT_DOMAIN, DEFAULT_SMTP_TIMEOUT = "email.default_domain", 30


class PyEmailMsg(object):
    def __init__(self, from_email=None, to_email=None, subject='', body='', attachments=None, html_email=False,
                 html_body='', default_domain=None):
        self.from_email = from_email
        self.to_email = to_email
        self.subject = subject
        self.body = body
        self.attachments = attachments or []
        self.html_email = html_email
        self.html_body = html_body
        self.default_domain = default_domain or cfg.get(CFG_DEFAULT_DOMAIN)

    @staticmethod
    def convert_to_address(value, default_domain):
        if isinstance(value, str):
            value = value.replace(",", " ").replace(";", " ").split()
        result = []
        for item in value:
            if "@" in item:
                username, domain = item.split("@")
                result.append(Address(username=username, domain=domain))
            elif default_domain:
                result.append(Address(username=item, domain=default_domain))
            else:
                raise ValueError("Please specify default email domain, or provide the full email address")
        return result

    def message(self):
        msg = EmailMessage()
        msg["From"] = self.convert_to_address(self.from_email, self.default_domain)
        msg["To"] = self.convert_to_address(self.to_email, self.default_domain)
        msg["Subject"] = self.subject
        msg.set_content(self.body)
        if self.html_email:
            msg.add_alternative(self.html_body, subtype="html")
        if self.attachments:
            for path in self.attachments:
                try:
                    with open(path) as file:
                        part = MIMEText(file.read())
                    msg.add_attachment(part, filename=os.path.basename(path))
                except FileNotFoundError as error:
                    logger.warning("%s - email will be sent with no attachment." % error)
        return msg

    def recipients(self):
        return self.to_email

    def send(self, host=None, port=None, ssl=None, timeout=None, username=None, password=None):
        if not self.recipients():
            raise ValueError("Recipient list is empty.")
        host = host or cfg.get(CFG_SMTP_HOST)
        port = port or cfg.get(CFG_SMTP_PORT)
        ssl = ssl or cfg.get(CFG_SMTP_SSL, False)
        timeout = timeout or cfg.get(CFG_SMTP_TIMEOUT, DEFAULT_SMTP_TIMEOUT)
        username = username or cfg.get(CFG_SMTP_USERNAME)
        password = password or cfg.get(CFG_SMTP_PASSWORD)
        if not host:
            raise ValueError("Must provide SMTP host information")
        logger.debug("Sending messaging to " + str(host) + ":" + str(port))
        msg = self.message()
        with smtplib.SMTP(host=host, port=port, timeout=timeout) as server:
            server.ehlo()
            if ssl:
                server.starttls()
            if username and password:
                server.login(username, password)
            server.send_message(msg)
        logger.debug("---------- Email Content ----------\n\n")
        logger.debug(str(msg))

    def __str__(self):
        return str(self.message())


def best_per_call(fn, count, runs=5):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(count):
            fn()
        best = min(best, time.perf_counter() - start)
    return best / count


def compare(label, native, python, count):
    native_time = best_per_call(native, count)
    python_time = best_per_call(python, count)
    print(f"{label:<46} native {native_time * 1e6:9.2f} us   python {python_time * 1e6:9.2f} us   "
          f"x{python_time / native_time:5.2f}")


def local_server():
    """A local aiosmtpd server that accepts everything, or None when aiosmtpd is not installed."""
    try:
        from aiosmtpd.controller import Controller
    except ImportError:
        return None

    class Sink:
        async def handle_DATA(self, server, session, envelope):
            return "250 OK"

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    controller = Controller(Sink(), hostname="127.0.0.1", port=port)
    controller.start()
    return controller


def main():
    logging.getLogger("quarv.utils.email").setLevel(logging.INFO)
    logger.setLevel(logging.INFO)
    cfg.set(CFG_DEFAULT_DOMAIN, "example.org")
    recipients = ", ".join(f"user{i}" for i in range(10)) + "; " + ";".join(f"u{i}@example.net" for i in range(10))
    native_cls, python_cls = native_email.EmailMsg, PyEmailMsg
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i in range(2):
            path = os.path.join(folder, f"report{i}.txt")
            with open(path, "w") as file:
                file.write("line of the report\n" * 200)
            paths.append(path)
        args = dict(from_email="sender@example.org", to_email=recipients, subject="Weekly report", body="Hello\n" * 20)
        rich = dict(args, html_email=True, html_body="<p>Hello</p>\n" * 20, attachments=paths)
        assert native_cls.convert_to_address(recipients, "x.org") == python_cls.convert_to_address(recipients, "x.org")

        compare("EmailMsg(...) (domain from configuration)", lambda: native_cls(**args), lambda: python_cls(**args),
                50000)
        compare("convert_to_address (20 addresses)", lambda: native_cls.convert_to_address(recipients, "x.org"),
                lambda: python_cls.convert_to_address(recipients, "x.org"), 3000)
        n_plain, p_plain = native_cls(**args), python_cls(**args)
        compare("message() plain text, 20 recipients", n_plain.message, p_plain.message, 1000)
        n_rich, p_rich = native_cls(**rich), python_cls(**rich)
        compare("message() with HTML and 2 attachments", n_rich.message, p_rich.message, 300)
        compare("str() with HTML and 2 attachments", lambda: str(n_rich), lambda: str(p_rich), 200)
        controller = local_server()
        if controller is not None:
            try:
                target = dict(host="127.0.0.1", port=controller.port, timeout=10)
                compare("send() to a local SMTP server", lambda: n_plain.send(**target),
                        lambda: p_plain.send(**target), 50)
            finally:
                controller.stop()


if __name__ == "__main__":
    main()
