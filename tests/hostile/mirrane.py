# Hostile collaborators of quarv.utils.mirrane (see tests/test_hostile_collaborators.py).

import textwrap

COMMON = textwrap.dedent("""
    import base64, collections, inspect, io, types, uuid
    import quarv.utils.mirrane as mirrane
    from quarv.configuration import configuration
    from quarv.utils.mirrane import (SecretString, to_plaintext, BaseSecretStringContainer,
                                     BaseSecretStringRepresenter, PlainTextSecretStringRepresenter,
                                     ObscuringSecretStringRepresenter, FernetSecretStringRepresenter)
    from cryptography.fernet import Fernet

    FERNET_KEY = Fernet.generate_key().decode()
    STORED = SecretString.from_plaintext("s3cret").data

    def configure(key=None, representer=None):
        configuration.clear()
        if key is not None:
            configuration.set("secrets.string.key", key)
        if representer is not None:
            configuration.set("secrets.string.representer", representer)

    CALLS = {
        "from_plaintext": lambda: SecretString.from_plaintext("s3cret"),
        "from_plaintext plain": lambda: SecretString.from_plaintext("s3cret", PlainTextSecretStringRepresenter),
        "decode": lambda: SecretString(STORED).plaintext,
        "text forms": lambda: (str(SecretString(STORED)), repr(SecretString(STORED)), dir(SecretString(STORED))),
        "to_plaintext": lambda: (to_plaintext(SecretString(STORED)), to_plaintext("text"), to_plaintext(5)),
        "keygen": lambda: (SecretString.keygen(), BaseSecretStringRepresenter.keygen()),
        "fernet": lambda: (configure(FERNET_KEY), SecretString.from_plaintext("s", FernetSecretStringRepresenter).plaintext,
                           FernetSecretStringRepresenter.keygen()),
        "fernet without a key": lambda: (configure(), SecretString.from_plaintext("s", FernetSecretStringRepresenter)),
        "configured by name": lambda: (configure(representer="quarv.utils.mirrane.PlainTextSecretStringRepresenter"),
                                       SecretString.from_plaintext("s").plaintext),
        "configured class": lambda: (configure(representer=PlainTextSecretStringRepresenter),
                                     SecretString.from_plaintext("s").plaintext),
        "configured wrongly": lambda: (configure(representer=5), SecretString.from_plaintext("s").plaintext),
        "container": lambda: BaseSecretStringContainer(SecretString(STORED)),
    }
    CURRENT = [None]

    def surfaced(fn):
        # SecretString() words every decoding failure as a wrong format, the failure as its cause: a
        # SystemError among the causes is raised itself, for attempt() to see
        def run():
            try:
                return fn()
            except BaseException as error:
                seen = error
                while seen is not None:
                    if isinstance(seen, SystemError):
                        raise seen
                    seen = seen.__cause__ or seen.__context__
                raise
        return run

    _attempt = attempt
    def attempt(label, fn):
        _attempt(label, surfaced(fn))

    def call_all(prefix):
        for name, call in CALLS.items():
            CURRENT[0] = call
            configure()
            attempt(prefix + " / " + name, call)
        configure()

    def reenter():
        CURRENT[0]()

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

    STEPS = {"raises " + label: raiser(label) for label in RAISING}
    STEPS.update({"re-enters once": once(reenter), "re-enters always": reenter})

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
        def __instancecheck__(self, obj):
            self._before()
            return isinstance(obj, self._original)

    def class_like(original, before):
        # a class standing in for one of the module's classes: `before()` at each isinstance,
        # issubclass and call, then the class's own answer
        class Meta(type(original)):
            def __instancecheck__(cls, obj):
                before()
                return isinstance(obj, original)
            def __subclasscheck__(cls, sub):
                before()
                return issubclass(sub, original)
        return Meta("Substitute", (original,), {})
""")


def hostile_row(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    # every module-level name the methods look up when they run, rebound
    hostile_row("mirrane.module-names", """
        NAMES = ["cfg", "CNF_SEC", "CNF_SS_KEY", "CNF_SS_REP", "logger", "uuid", "base64", "Fernet", "SecretString",
                 "BaseSecretStringRepresenter", "ObscuringSecretStringRepresenter",
                 "PlainTextSecretStringRepresenter", "import_from_name", "isclass", "ord"]
        ORIGINALS = {name: getattr(mirrane, name, ord) for name in NAMES}
        CLASSES = ("SecretString", "BaseSecretStringRepresenter", "ObscuringSecretStringRepresenter",
                   "PlainTextSecretStringRepresenter")
        def restore(name):
            if name == "ord":
                vars(mirrane).pop("ord", None)
            else:
                setattr(mirrane, name, ORIGINALS[name])
        for name in NAMES:
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            for label, step in STEPS.items():
                substitutes[label] = class_like(ORIGINALS[name], step) if name in CLASSES else \\
                    Proxy(ORIGINALS[name], step)
            for label, substitute in substitutes.items():
                setattr(mirrane, name, substitute)
                try:
                    call_all(f"{name} {label}")
                finally:
                    restore(name)
        # what their functions and attributes give back, of the wrong type
        for label, value in WRONG.items():
            give = lambda *a, _v=value, **k: _v
            for name, substitute in [
                    ("cfg", types.SimpleNamespace(get=give)),
                    ("cfg", {"secrets": value}), ("cfg", {"secrets": {"string": value}}),
                    ("cfg", {"secrets": {"string": {"key": value}}}),
                    ("cfg", {"secrets": {"string": {"representer": value}}}),
                    ("uuid", types.SimpleNamespace(uuid4=give)),
                    ("base64", types.SimpleNamespace(urlsafe_b64encode=give, urlsafe_b64decode=give)),
                    ("base64", types.SimpleNamespace(urlsafe_b64encode=lambda b, _v=value: types.SimpleNamespace(
                        decode=lambda: _v), urlsafe_b64decode=lambda t, _v=value: types.SimpleNamespace(
                        decode=lambda encoding: _v))),
                    ("Fernet", give),
                    ("Fernet", types.SimpleNamespace(generate_key=give)),
                    ("Fernet", lambda key, _v=value: types.SimpleNamespace(encrypt=give, decrypt=give)),
                    ("import_from_name", give),
                    ("isclass", give),
                    ("ord", give)]:
                setattr(mirrane, name, substitute)
                try:
                    call_all(f"{name} gives {label}")
                finally:
                    restore(name)
    """),
    # class methods and instance attributes the classes look up, overridden on subclasses and on
    # instances
    hostile_row("mirrane.methods", """
        def behaviours(owner, name, kind="method"):
            made = {"gives " + label: (lambda *a, _v=value, **k: _v) for label, value in WRONG.items()}
            made.update({label: None for label in STEPS})
            for label, step in STEPS.items():
                def method(first, *args, _step=step, **kwargs):
                    _step()
                    original = inspect.getattr_static(owner, name)
                    if isinstance(original, (classmethod, staticmethod)):
                        return getattr(owner, name)(*args, **kwargs)
                    if isinstance(original, property):
                        return original.fget(first)
                    return original(first, *args, **kwargs)
                made[label] = method
            return made
        # SecretString's own class methods and properties
        for name, kind in [("_get_cls", "static"), ("_validate_rep", "class"), ("_get_rep", "class"),
                           ("plaintext", "property"), ("__str__", "method"), ("__dir__", "method")]:
            for label, fn in behaviours(SecretString, name).items():
                member = {"static": lambda f: staticmethod(lambda *a, **k: f(None, *a, **k)),
                          "class": classmethod, "property": property, "method": lambda f: f}[kind](fn)
                Sub = type("Sub", (SecretString,), {name: member})
                for case, call in {
                        "from_plaintext": lambda: Sub.from_plaintext("s3cret"),
                        "made": lambda: Sub(STORED).plaintext,
                        "text forms": lambda: (str(Sub(STORED)), repr(Sub(STORED)), dir(Sub(STORED))),
                        "keygen": lambda: Sub.keygen(),
                        "to_plaintext": lambda: to_plaintext(Sub(STORED)),
                        "configured": lambda: (configure(representer="quarv.utils.mirrane.ObscuringSecretStringRepresenter"),
                                               Sub.from_plaintext("s")),
                }.items():
                    CURRENT[0] = call
                    configure()
                    attempt(f"SecretString {name} {label} / {case}", call)
        # the representers' own methods, properties and attributes
        for owner in [ObscuringSecretStringRepresenter, PlainTextSecretStringRepresenter, FernetSecretStringRepresenter]:
            for name, kind in [("key", "property"), ("encode", "method"), ("decode", "method"), ("keygen", "class"),
                               ("_verify_runnable", "class"), ("__init__", "method"), ("DEFAULT_KEY", "value")]:
                if not hasattr(owner, name):
                    continue
                made = behaviours(owner, name)
                if kind == "value":
                    made = {"is " + label: value for label, value in WRONG.items()}
                for label, fn in made.items():
                    member = {"class": classmethod, "property": property, "method": lambda f: f,
                              "value": lambda v: v}[kind](fn)
                    Sub = type("Sub", (owner,), {name: member})
                    for case, call in {
                            "from_plaintext": lambda: SecretString.from_plaintext("s3cret", Sub),
                            "keygen": lambda: SecretString.keygen(Sub),
                            "decode": lambda: SecretString(STORED, Sub).plaintext,
                    }.items():
                        CURRENT[0] = call
                        configure(FERNET_KEY if owner is FernetSecretStringRepresenter else None)
                        attempt(f"{owner.__name__} {name} {label} / {case}", call)
        # instance attributes of the secret and of its representer, set to wrong values
        for label, value in WRONG.items():
            for attribute in ["data", "representer", "representer_cls"]:
                def wrong_secret(_a=attribute, _v=value):
                    secret = SecretString(STORED)
                    setattr(secret, _a, _v)
                    return secret.plaintext, str(secret), dir(secret), to_plaintext(secret)
                attempt(f"secret {attribute} is {label}", wrong_secret)
            for attribute in ["obj", "prefix"]:
                for owner in [ObscuringSecretStringRepresenter, PlainTextSecretStringRepresenter,
                              FernetSecretStringRepresenter]:
                    def wrong_representer(_a=attribute, _v=value, _o=owner):
                        configure(FERNET_KEY if _o is FernetSecretStringRepresenter else None)
                        representer = _o(SecretString.from_plaintext("s", _o))
                        setattr(representer, _a, _v)
                        return representer.key, representer.encode(), representer.decode()
                    attempt(f"{owner.__name__} {attribute} is {label}", wrong_representer)
            attempt(f"container of {label}", lambda: BaseSecretStringContainer(value))
    """),
    # the texts and keys the obscuring representer reads character by character: of other types,
    # lying about their length, changing while they are read
    hostile_row("mirrane.walked-values", """
        def obscured(key, plaintext):
            configure(key)
            secret = SecretString.from_plaintext(plaintext)
            return secret.data, secret.plaintext
        # found: a plaintext (or a decoded text) that is a str subclass whose __len__ claims more
        # characters than it holds made the obscuring representer reserve room for all of them at
        # once, before reading any (SystemError from the C++ allocation, MemoryError for the decoded
        # text, where reading them one by one gives IndexError)
        for label, value in WRONG.items():
            attempt("key " + label, lambda: obscured(value, "s3cret"))
            attempt("plaintext " + label, lambda: obscured("key", value))
            attempt("stored " + label, lambda: SecretString(value).plaintext)
            def decoded_as(_v=value):
                mirrane.base64 = types.SimpleNamespace(urlsafe_b64encode=base64.urlsafe_b64encode,
                                                       urlsafe_b64decode=lambda text: types.SimpleNamespace(
                                                           decode=lambda encoding: _v))
                try:
                    plain = SecretString("x", PlainTextSecretStringRepresenter)
                    return ObscuringSecretStringRepresenter(plain).decode()
                finally:
                    mirrane.base64 = base64
            attempt("decoded text " + label, decoded_as)
        class Chars(collections.UserList):
            pass
        for name in ["__len__", "__getitem__", "__iter__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            for label, step in {**STEPS, "empties itself": None, "refills itself": None}.items():
                def method(self, *args, _step=step, _name=name, _label=label, **kwargs):
                    if _label == "empties itself":
                        self.data.clear() if isinstance(self.data, list) else None
                    elif _label == "refills itself":
                        if isinstance(self.data, list):
                            self.data[:] = list("refilled") * 3
                    else:
                        _step()
                    base = collections.UserList if isinstance(self, collections.UserList) else str
                    return getattr(base, _name)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                Key = type("Key", (Chars,), {name: method})
                Text = type("Text", (str,), {name: method})
                cases = {
                    "a key sequence": lambda: obscured(Key(list("key")), "s3cret"),
                    "a key text": lambda: obscured(Text("key"), "s3cret"),
                    "a plaintext text": lambda: obscured("key", Text("s3cret")),
                }
                for case, call in cases.items():
                    CURRENT[0] = call
                    attempt(f"{name} {label} / {case}", call)
        # ord, through which other sequences are read, emptying or refilling what it reads
        key = Chars(list("key"))
        plain = Chars(list("s3cret"))
        for label, step in {"empties": lambda: (key.data.clear(), plain.data.clear()),
                            "refills": lambda: (key.data.__setitem__(slice(None), list("x" * 50)),
                                                plain.data.__setitem__(slice(None), list("y" * 50)))}.items():
            def hostile_ord(c, _step=step, calls=[0]):
                calls[0] += 1
                if calls[0] == 3:
                    _step()
                return ord(c)
            mirrane.ord = hostile_ord
            def case():
                key.data[:] = list("key")
                plain.data[:] = list("s3cret")
                return obscured(key, plain)
            attempt("ord " + label, case)
            del mirrane.ord
    """),
]
