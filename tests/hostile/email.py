# Hostile collaborators of quarv.utils.email (see tests/test_hostile_collaborators.py). Sending goes
# to a real SMTP server (aiosmtpd on 127.0.0.1) started in the child.

import textwrap

COMMON = textwrap.dedent("""
    import builtins, os, smtplib, socket, tempfile, types
    import quarv.utils.email as module
    from quarv.utils.email import EmailMsg

    FOLDER = tempfile.mkdtemp()
    ATTACHED = os.path.join(FOLDER, "notes.txt")
    with open(ATTACHED, "w") as file:
        file.write("attached text\\n")
    MISSING = os.path.join(FOLDER, "missing.txt")

    def mail(cls=EmailMsg, **values):
        given = dict(from_email="sender@example.org", to_email="ann@example.org, bob", subject="Report",
                     body="All is well.\\n", attachments=[ATTACHED, MISSING], html_email=True,
                     html_body="<p>well</p>", default_domain="example.com")
        given.update(values)
        return cls(**given)

    class Proxy:
        # does `before()` and then what `original` does: when called, and through every attribute
        def __init__(self, original, before):
            self._original, self._before = original, before
        def __call__(self, *args, **kwargs):
            self._before()
            return self._original(*args, **kwargs)
        def __getattr__(self, name):
            value = getattr(self._original, name)
            self._before()
            return Proxy(value, self._before) if callable(value) else value
        def __enter__(self):
            self._before()
            return self._original.__enter__()
        def __exit__(self, *info):
            return self._original.__exit__(*info)

    def once(step, depth=[0]):
        def run(*args, **kwargs):
            if depth[0]:
                return
            depth[0] += 1
            try:
                step()
            finally:
                depth[0] -= 1
        return run
""")

# A real SMTP server for the rows that send, stopped when the row ends.
SERVER = textwrap.dedent("""
    from aiosmtpd.controller import Controller

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            return "250 OK"

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        PORT = probe.getsockname()[1]
    CONTROLLER = Controller(Handler(), hostname="127.0.0.1", port=PORT, ready_timeout=10)
    CONTROLLER.start()
""")


def hostile_row(name, code, server=False):
    body = COMMON + (SERVER if server else "") + "try:\n" + textwrap.indent(textwrap.dedent(code), "    ")
    if server:
        body += "finally:\n    CONTROLLER.stop()\n"
    else:
        body += "finally:\n    pass\n"
    return row(name, body)


ROWS = [
    # the names message building looks up (EmailMsg(), convert_to_address, message(), str()), rebound
    hostile_row("email.module-names", """
        CURRENT = [None]
        CALLS = {
            "made without a domain": lambda: mail(default_domain=None),
            "convert a text": lambda: EmailMsg.convert_to_address("a@b.c; d", "example.com"),
            "convert a list": lambda: EmailMsg.convert_to_address(["a@b.c", "d"], "example.com"),
            "message": lambda: mail().message(),
            "str": lambda: str(mail()),
            "content": lambda: (mail().get_content(), mail().recipients(), mail().mailbody, mail().mailsubject),
        }
        def reenter():
            CURRENT[0]()
        steps = {"raises " + label: raiser(label) for label in RAISING}
        steps["re-enters once"] = once(reenter)
        steps["re-enters always"] = reenter
        NAMES = ["cfg", "CFG_DEFAULT_DOMAIN", "Address", "open", "MIMEText", "os", "EmailMessage",
                 "FileNotFoundError", "logger"]
        # names the module finds among the built-ins are bound in the module for a case, then removed
        BUILTIN = ("open", "FileNotFoundError")
        ORIGINALS = {name: getattr(module, name) if name not in BUILTIN else getattr(builtins, name)
                     for name in NAMES}
        def restore(name):
            if name in BUILTIN:
                vars(module).pop(name, None)
            else:
                setattr(module, name, ORIGINALS[name])
        for name in NAMES:
            original = ORIGINALS[name]
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            substitutes.update({label: Proxy(original, step) for label, step in steps.items()})
            for label, substitute in substitutes.items():
                setattr(module, name, substitute)
                try:
                    for call_name, call in CALLS.items():
                        CURRENT[0] = call
                        attempt(f"{name} {label} / {call_name}", call)
                finally:
                    restore(name)
        # what they hand back, of the wrong type
        class Missing(FileNotFoundError):
            def __init__(self, text):
                self.text = text
            def __str__(self):
                return self.text
        for label, value in WRONG.items():
            for name, substitute in [
                    ("cfg", types.SimpleNamespace(get=lambda *a, _v=value: _v)),
                    ("Address", lambda *a, _v=value, **k: _v),
                    ("MIMEText", lambda *a, _v=value, **k: _v),
                    ("EmailMessage", lambda _v=value: _v),
                    ("open", lambda *a, _v=value: _v),
                    ("open", lambda *a, _v=value: types.SimpleNamespace(
                        __enter__=None, __exit__=None, read=lambda: _v)),
                    ("os", types.SimpleNamespace(path=types.SimpleNamespace(basename=lambda p, _v=value: _v))),
                    ("os", types.SimpleNamespace(path=value)),
                    ("logger", types.SimpleNamespace(warning=lambda text, _v=value: _v)),
                    ("logger", types.SimpleNamespace(warning=value))]:
                setattr(module, name, substitute)
                try:
                    for call_name, call in CALLS.items():
                        attempt(f"{name} gives {label} / {call_name}", call)
                finally:
                    restore(name)
            # a missing file whose text form is of the wrong type, or raises
            def failing_open(*args, _v=value):
                raise Missing(_v)
            module.open = failing_open
            attempt("missing file shown as " + label, lambda: mail().message())
            del module.open
        for label in RAISING:
            class Failing(FileNotFoundError):
                def __str__(self, _l=label):
                    raise RAISING[_l]()
            def failing_open(*args, _c=Failing):
                raise _c()
            module.open = failing_open
            attempt("missing file's text raises " + label, lambda: mail().message())
            del module.open
    """),
    # methods and attributes looked up on self: overridden on a subclass and on an instance
    hostile_row("email.self-methods", """
        CURRENT = [None]
        def reenter():
            CURRENT[0]()
        def opens_a_descriptor(field, value):
            # open(1) is the standard output: attachment lists holding integers are left out
            return field == "attachments" and isinstance(value, (list, tuple)) and any(
                isinstance(item, int) for item in value)
        def behaviours(name):
            made = {"gives " + label: (lambda *a, _v=value, **k: _v) for label, value in WRONG.items()
                    if not opens_a_descriptor(name, value)}
            made.update({"raises " + label: raiser(label) for label in RAISING})
            for label, step in [("re-enters once", once(reenter)), ("re-enters always", reenter)]:
                def method(self, *args, _step=step, **kwargs):
                    _step()
                    return getattr(EmailMsg, name)(*((self,) if name != "convert_to_address" else ()), *args, **kwargs)
                made[label] = method
            return made
        CALLS = {
            "message": lambda m: m.message(),
            "str": lambda m: str(m),
            "content": lambda m: (m.get_content(), m.recipients(), m.mailbody, m.mailsubject),
            "send without recipients": lambda m: (setattr(m, "to_email", ""), m.send(host="127.0.0.1")),
            "send without host": lambda m: m.send(),
        }
        for name in ["convert_to_address", "message", "recipients"]:
            for label, method in behaviours(name).items():
                member = staticmethod(method) if name == "convert_to_address" else method
                Sub = type("Sub", (EmailMsg,), {name: member})
                for call_name, call in CALLS.items():
                    CURRENT[0] = lambda: call(mail(Sub))
                    attempt(f"subclass {name} {label} / {call_name}", CURRENT[0])
                    def on_instance(_m=method, _n=name):
                        made = mail()
                        setattr(made, _n, _m if _n == "convert_to_address" else _m.__get__(made))
                        return call(made)
                    CURRENT[0] = on_instance
                    attempt(f"instance {name} {label} / {call_name}", on_instance)
        # the stored values, wrong or behind properties that raise or re-enter
        FIELDS = ["from_email", "to_email", "subject", "body", "attachments", "html_email", "html_body",
                  "default_domain"]
        for field in FIELDS:
            for label, value in WRONG.items():
                if opens_a_descriptor(field, value):
                    continue
                for call_name, call in CALLS.items():
                    def wrong_field(_v=value, _f=field, _c=call):
                        made = mail()
                        setattr(made, _f, _v)
                        return _c(made)
                    attempt(f"{field} is {label} / {call_name}", wrong_field)
            for label, fn in behaviours(field).items():
                Sub = type("Sub", (EmailMsg,), {field: property(fn, lambda self, value: None)})
                for call_name, call in CALLS.items():
                    CURRENT[0] = lambda: call(mail(Sub))
                    attempt(f"property {field} {label} / {call_name}", CURRENT[0])
    """),
    # the user's objects the message is built from: address iterables and texts, attachment lists
    # and paths, emptied or refilled on the way
    hostile_row("email.walked-values", """
        CURRENT = [None]
        def reenter():
            CURRENT[0]()
        steps = {"raises " + label: raiser(label) for label in RAISING}
        steps.update({"re-enters once": once(reenter), "re-enters always": reenter})
        recipients = ["ann@example.org", "bob", "cy@example.net"]
        attachments = [ATTACHED, MISSING, ATTACHED]
        def emptying():
            recipients.clear()
            attachments.clear()
        def refilling():
            emptying()
            recipients.extend(["x@y.z"] * 5)
            attachments.extend([MISSING] * 5)
        steps.update({"empties the lists": emptying, "refills the lists": refilling})
        def build(to=None, files=None, value=None):
            recipients[:] = ["ann@example.org", "bob", "cy@example.net"]
            attachments[:] = [ATTACHED, MISSING, ATTACHED]
            made = mail(to_email=to if to is not None else recipients,
                        attachments=files if files is not None else attachments)
            return made.message(), str(made)
        for name in ["__contains__", "split", "replace", "__str__", "__eq__", "__hash__", "__iter__", "__len__",
                     "__fspath__", "endswith", "__getitem__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            for label, step in steps.items():
                def method(self, *args, _step=step, _name=name, **kwargs):
                    _step()
                    return getattr(str, _name, str.__str__)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                Text = type("Text", (str,), {name: method})
                cases = {
                    "a recipient": lambda: build(to=[Text("ann@example.org"), Text("bob")]),
                    "the recipient text": lambda: build(to=Text("ann@example.org, bob")),
                    "in the list walked": lambda: build(to=recipients + [Text("x@y.z")]),
                    "the domain": lambda: EmailMsg.convert_to_address(["bob", "cy"], Text("example.com")),
                    "an attachment path": lambda: build(files=[Text(ATTACHED), Text(MISSING)]),
                    "a split part": lambda: EmailMsg.convert_to_address([Text("a@b")], None),
                }
                for case, call in cases.items():
                    CURRENT[0] = call
                    attempt(f"str {name} {label} / {case}", call)
        # iterables of addresses and of attachments whose own methods lie, raise, re-enter or empty
        for name in ["__iter__", "__len__", "__bool__", "__getitem__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            for label, step in steps.items():
                def method(self, *args, _step=step, _name=name, **kwargs):
                    _step()
                    return getattr(list, _name, lambda self: True)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                Items = type("Items", (list,), {name: method})
                for case, call in {"recipients": lambda: build(to=Items(["a@b.c", "d"])),
                                   "attachments": lambda: build(files=Items([ATTACHED, MISSING])),
                                   "converted": lambda: EmailMsg.convert_to_address(Items(["a@b", "c"]), "d")}.items():
                    CURRENT[0] = call
                    attempt(f"list {name} {label} / {case}", call)
        # a generator of recipients that empties the lists as it goes
        def emptying_generator():
            yield "a@b.c"
            emptying()
            yield "d"
        attempt("a generator emptying the lists", lambda: build(to=emptying_generator()))
        attempt("a recipient list changed by the domain's text form", lambda: EmailMsg.convert_to_address(
            recipients, type("Domain", (str,), {"__str__": lambda self: emptying() or "x"})("example.com")))
    """),
    # send(): the names it looks up, with a real SMTP server behind the real client
    hostile_row("email.send-names", """
        CURRENT = [None]
        def reenter():
            CURRENT[0]()
        steps = {"raises " + label: raiser(label) for label in RAISING}
        steps.update({"re-enters once": once(reenter), "re-enters always": reenter})
        def send(made=None, **settings):
            made = made or mail()
            return made.send(host="127.0.0.1", port=PORT, **settings)
        attempt("a plain send", send)
        NAMES = ["cfg", "CFG_SMTP_HOST", "CFG_SMTP_PORT", "CFG_SMTP_SSL", "CFG_SMTP_TIMEOUT", "CFG_SMTP_USERNAME",
                 "CFG_SMTP_PASSWORD", "DEFAULT_SMTP_TIMEOUT", "smtplib", "logger"]
        ORIGINALS = {name: getattr(module, name) for name in NAMES}
        for name in NAMES:
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            substitutes.update({label: Proxy(ORIGINALS[name], step) for label, step in steps.items()})
            for label, substitute in substitutes.items():
                setattr(module, name, substitute)
                try:
                    for call_name, call in {"send": send, "send without host": lambda: mail().send()}.items():
                        CURRENT[0] = call
                        attempt(f"{name} {label} / {call_name}", call)
                finally:
                    setattr(module, name, ORIGINALS[name])
    """, server=True),
    # send(): the client and the message it is given, with a real SMTP server behind the real client
    hostile_row("email.send-client", """
        CURRENT = [None]
        def reenter():
            CURRENT[0]()
        steps = {"raises " + label: raiser(label) for label in RAISING}
        steps.update({"re-enters once": once(reenter), "re-enters always": reenter})
        def send(made=None, **settings):
            made = made or mail()
            return made.send(host="127.0.0.1", port=PORT, **settings)
        # the client: what it and its methods give back, raising, re-entering
        class Client(smtplib.SMTP):
            pass
        for method_name in ["__enter__", "__exit__", "ehlo", "starttls", "login", "send_message"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            for label, step in steps.items():
                def method(self, *args, _step=step, _name=method_name, **kwargs):
                    _step()
                    return getattr(smtplib.SMTP, _name)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                module.smtplib = types.SimpleNamespace(SMTP=type("Client", (Client,), {method_name: method}))
                calls = {"send": send}
                if method_name == "login":
                    calls = {"with login": lambda: send(username="u", password="p")}
                if method_name == "starttls":
                    calls = {"with starttls": lambda: send(ssl=True)}
                for call_name, call in calls.items():
                    CURRENT[0] = call
                    attempt(f"client {method_name} {label} / {call_name}", call)
                module.smtplib = smtplib
        for label, value in WRONG.items():
            module.smtplib = types.SimpleNamespace(SMTP=lambda *a, _v=value, **k: _v)
            attempt("client made is " + label, send)
            # the client's __exit__ decides whether a failure inside the with block is swallowed
            module.smtplib = types.SimpleNamespace(SMTP=type("Client", (Client,), {
                "ehlo": raiser("ValueError"), "__exit__": lambda self, *info, _v=value: (self.close(), _v)[1]}))
            attempt("client fails and its __exit__ gives " + label, send)
            module.smtplib = smtplib
        # the message sent, from an overridden message(): its headers and text form of the wrong type
        for label, value in WRONG.items():
            for name, fn in [("get_all", lambda *a, _v=value: _v), ("get_all", lambda *a, _v=value: [_v]),
                             ("__str__", lambda self, _v=value: _v)]:
                class Message(__import__("email.message").message.EmailMessage):
                    pass
                setattr(Message, name, fn if name == "__str__" else (lambda self, *a, _f=fn: _f(*a)))
                def built(self, _cls=Message):
                    msg = _cls()
                    for key, item in EmailMsg.message(self).items():
                        msg[key] = item
                    msg.set_content("text")
                    return msg
                Sub = type("Sub", (EmailMsg,), {"message": built})
                attempt(f"message {name} gives {label}", lambda: send(mail(Sub)))
            Sub = type("Sub", (EmailMsg,), {"message": lambda self, _v=value: _v})
            attempt(f"message() gives {label}", lambda: send(mail(Sub)))
    """, server=True),
]
