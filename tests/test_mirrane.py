"""quarv.utils.mirrane: secret values, their representers and keys, with the real cryptography package
(and, in child interpreters, without it)."""

import base64
import binascii
import collections
import copy
import inspect
import logging
import os
import pickle
import re
import textwrap
import types
import uuid

import cryptography.fernet
import pytest
from fresh import run_fresh

from quarv.configuration import configuration
from quarv.utils import mirrane
from quarv.utils.mirrane import (BaseSecretStringContainer, BaseSecretStringRepresenter,
                                 FernetSecretStringRepresenter, ObscuringSecretStringRepresenter,
                                 PlainTextSecretStringRepresenter, SecretString, to_plaintext)

DEFAULT_KEY = "zelk_fallback_pad"
FALLBACK_TEXT = "Using a default key as quarv configuration under [secrets] {}.key was not specified."
KEY_MISSING = ("A key must be specified as quarv configuration under [secrets] {}.key.\n"
               "This key may be generated with the 'quarv secret keygen' command")
NO_LIBRARY = ("FernetSecretStringRepresenter can only be used when the following commands are executed : \n"
              "pip install cryptography")
WRONG_FORMAT = "The secret string '{}' has the wrong format.\nIt cannot be decoded with representer {}."
INHERITANCE = "Representer class {} must inherit from quarv.utils.mirrane.BaseSecretStringRepresenter."
URL_SAFE = re.compile(r"[A-Za-z0-9_=-]*")


@pytest.fixture(autouse=True)
def config():
    """An empty configuration for each test; what the session had is put back afterwards."""
    saved = configuration._root
    configuration.clear()
    yield configuration
    configuration._root = saved


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.mirrane")

    def taken():
        ours = [r for r in caplog.records if r.name == "quarv.utils.mirrane"]
        assert all(not r.args for r in ours), "texts are complete before the logger is called"
        caplog.clear()
        return [(r.levelname, r.getMessage()) for r in ours]

    return taken


@pytest.fixture
def fernet_key(config):
    key = cryptography.fernet.Fernet.generate_key().decode()
    config.set("secrets.string.key", key)
    return key


def obscure(plaintext, key):
    """The documented cipher, as a Python reader would write it (without refusing any character)."""
    shifted = "".join(chr((ord(c) + ord(key[i % len(key)])) % 256) for i, c in enumerate(plaintext))
    return base64.urlsafe_b64encode(shifted.encode("utf-8")).decode()


def unobscure(stored, key):
    obscured = base64.urlsafe_b64decode(stored).decode("utf-8")
    return "".join(chr((256 + ord(c) - ord(key[i % len(key)])) % 256) for i, c in enumerate(obscured))


def plain(text):
    return SecretString(text, representer_cls=PlainTextSecretStringRepresenter)


def outcome(fn, *args, **kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)


def run_child(code, timeout=120):
    return run_fresh(code, timeout=timeout).stdout.split()


# ----- the module body --------------------------------------------------------------------------------

def test_module_namespace_in_body_order():
    names = [n for n in vars(mirrane) if not n.startswith("__") or n == "__all__"]
    assert names == ["uuid", "base64", "logging", "import_from_name", "UserString", "isclass", "Fernet", "logger",
                     "__all__", "CNF_SEC", "CNF_STR", "CNF_SS_REP", "CNF_SS_KEY", "cfg", "BaseSecretStringContainer",
                     "BaseSecretStringRepresenter", "PlainTextSecretStringRepresenter",
                     "ObscuringSecretStringRepresenter", "FernetSecretStringRepresenter", "to_plaintext",
                     "SecretString"]
    assert mirrane.__all__ == ["SecretString", "to_plaintext", "FernetSecretStringRepresenter"]
    assert (mirrane.CNF_SEC, mirrane.CNF_STR, mirrane.CNF_SS_REP, mirrane.CNF_SS_KEY) == (
        "secrets", "string", "representer", "key")
    from quarv.utils.import_utils import import_from_name
    assert mirrane.cfg is configuration and mirrane.import_from_name is import_from_name
    assert mirrane.Fernet is cryptography.fernet.Fernet and mirrane.isclass is inspect.isclass
    assert mirrane.UserString is collections.UserString and mirrane.base64 is base64 and mirrane.uuid is uuid
    assert mirrane.logger is logging.getLogger("quarv.utils.mirrane")


def test_class_tree_and_class_attributes():
    assert BaseSecretStringContainer.__mro__ == (BaseSecretStringContainer, object)
    for cls in (PlainTextSecretStringRepresenter, ObscuringSecretStringRepresenter, FernetSecretStringRepresenter):
        assert cls.__mro__ == (cls, BaseSecretStringRepresenter, BaseSecretStringContainer, object)
        assert cls.__module__ == "quarv.utils.mirrane" and cls.__qualname__ == cls.__name__
        assert cls.DEFAULT_KEY == DEFAULT_KEY and cls.LOGGED_KEY_WARNING is False
    assert list(vars(BaseSecretStringRepresenter)).index("DEFAULT_KEY") < list(
        vars(BaseSecretStringRepresenter)).index("LOGGED_KEY_WARNING")
    assert SecretString.__mro__[1] is collections.UserString
    secret = SecretString.from_plaintext("abc")
    assert vars(secret).keys() == {"data", "representer_cls", "representer"}
    assert vars(secret.representer) == {"obj": secret, "prefix": "string"}
    assert SecretString.__repr__ is SecretString.__str__
    assert isinstance(vars(SecretString)["_get_cls"], staticmethod)
    for name in ("_validate_rep", "_get_rep", "from_plaintext", "keygen"):
        assert isinstance(vars(SecretString)[name], classmethod)
    for cls, name in [(BaseSecretStringRepresenter, "keygen"), (FernetSecretStringRepresenter, "keygen"),
                      (FernetSecretStringRepresenter, "_verify_runnable")]:
        assert isinstance(vars(cls)[name], classmethod)
    for cls in (BaseSecretStringRepresenter, FernetSecretStringRepresenter):
        assert isinstance(vars(cls)["key"], property) and vars(cls)["key"].fset is None
    assert isinstance(vars(SecretString)["plaintext"], property) and vars(SecretString)["plaintext"].fset is None


SIGNATURES = [
    (BaseSecretStringContainer.__init__, "(self, obj)"),
    (BaseSecretStringRepresenter.__init__, "(self, obj, prefix='string')"),
    (vars(BaseSecretStringRepresenter)["keygen"].__func__, "(cls)"),
    (BaseSecretStringRepresenter.encode, "(self)"),
    (BaseSecretStringRepresenter.decode, "(self)"),
    (PlainTextSecretStringRepresenter.encode, "(self)"),
    (ObscuringSecretStringRepresenter.decode, "(self)"),
    (vars(FernetSecretStringRepresenter)["_verify_runnable"].__func__, "(self)"),
    (FernetSecretStringRepresenter.encode, "(self)"),
    (vars(SecretString)["_get_cls"].__func__, "(cls_or_cls_name)"),
    (vars(SecretString)["_validate_rep"].__func__, "(cls, rep_cls)"),
    (vars(SecretString)["_get_rep"].__func__, "(cls, representer_cls, prefix)"),
    (vars(SecretString)["from_plaintext"].__func__, "(cls, plaintext, representer_cls=None, prefix='string')"),
    (vars(SecretString)["keygen"].__func__, "(cls, representer_cls=None, prefix='string')"),
    (SecretString.__init__, "(self, secret_string, representer_cls=None, prefix='string')"),
    (SecretString.__str__, "(self)"),
    (SecretString.__dir__, "(self)"),
    (to_plaintext, "(str_or_secret_str)"),
]


@pytest.mark.parametrize("fn, signature", SIGNATURES, ids=[fn.__qualname__ for fn, _ in SIGNATURES])
def test_signatures(fn, signature):
    assert str(inspect.signature(fn)) == signature
    assert fn.__module__ == "quarv.utils.mirrane"


def test_defaults_are_fixed_at_import(monkeypatch):
    monkeypatch.setattr(mirrane, "CNF_STR", "other")
    assert SecretString.__init__.__defaults__ == (None, "string")
    assert SecretString.from_plaintext("abc").representer.prefix == "string"


def test_documentation():
    assert "not displayed as plaintext" in SecretString.__doc__ and "<prefix>.representer" in SecretString.__doc__
    for member in (SecretString.from_plaintext, SecretString.keygen, SecretString._get_rep, to_plaintext,
                   BaseSecretStringRepresenter.encode, BaseSecretStringRepresenter.decode,
                   BaseSecretStringRepresenter.key, SecretString.plaintext, SecretString.__init__):
        assert member.__doc__
    assert "U+00FF" in ObscuringSecretStringRepresenter.__doc__


PYTHON_TWINS = """
class SecretString:
    def __init__(self, secret_string, representer_cls=None, prefix="string"): pass
    @classmethod
    def _get_rep(cls, representer_cls, prefix): pass
    @classmethod
    def from_plaintext(cls, plaintext, representer_cls=None, prefix="string"): pass
    def __str__(self): pass
def to_plaintext(str_or_secret_str): pass
class BaseSecretStringContainer:
    def __init__(self, obj): pass
"""


@pytest.mark.parametrize("call", [
    "SecretString()", "SecretString('a', None, 'string', 4)", "SecretString('a', colour=1)",
    "SecretString('a', secret_string='b')", "SecretString._get_rep(None)", "SecretString._get_rep(prefix='x')",
    "SecretString.from_plaintext()", "SecretString.__str__()", "to_plaintext()", "to_plaintext(1, 2)",
    "BaseSecretStringContainer()",
])
def test_wrong_calls_raise_the_interpreters_errors(call):
    twins = {}
    exec(PYTHON_TWINS, twins)
    with pytest.raises(TypeError) as expected:
        eval(call, twins)
    with pytest.raises(TypeError) as actual:
        eval(call, vars(mirrane))
    assert str(actual.value) == str(expected.value)


# ----- the key look-up ----------------------------------------------------------------------------------

@pytest.mark.parametrize("settings", [{}, {"secrets.string.key": ""}, {"secrets.string.key": None},
                                      {"secrets.other.key": "k"}, {"secrets.string": {}}])
def test_key_falls_back_to_the_built_in_key_with_a_record_per_read(config, records, settings):
    for name, value in settings.items():
        config.set(name, value)
    representer = BaseSecretStringRepresenter(plain("x"))
    records()
    assert representer.key == DEFAULT_KEY and representer.key == DEFAULT_KEY
    assert records() == [("DEBUG", FALLBACK_TEXT.format("string"))] * 2


def test_configured_key_is_returned_as_it_is_without_a_record(config, records):
    key = ["not", "a", "text"]
    config.set("secrets.vault.key", key)
    assert BaseSecretStringRepresenter(plain("x"), prefix="vault").key is key
    assert records() == []


def test_key_names_the_prefix_and_the_default_key_read_through_the_instance(records):
    class Own(BaseSecretStringRepresenter):
        DEFAULT_KEY = "own-key"

    representer = Own(plain("x"), prefix="vault")
    assert representer.key == "own-key"
    representer.DEFAULT_KEY = "instance-key"
    assert representer.key == "instance-key"
    assert records() == [("DEBUG", FALLBACK_TEXT.format("vault"))] * 2


def test_key_follows_the_module_configuration_at_each_read(monkeypatch, records):
    representer = BaseSecretStringRepresenter(plain("x"))
    monkeypatch.setattr(mirrane, "cfg", {"secrets": {"string": {"key": "from-a-dict"}}})
    assert representer.key == "from-a-dict"
    monkeypatch.setattr(mirrane, "cfg", {"secrets": {}})
    assert representer.key == DEFAULT_KEY

    class Entries(dict):
        def get(self, key, default="own default"):
            return super().get(key, default)

    # the last level is asked without a default: the mapping's own applies
    monkeypatch.setattr(mirrane, "cfg", {"secrets": {"string": Entries()}})
    assert representer.key == "own default"


def test_configuration_errors_propagate(monkeypatch):
    representer = BaseSecretStringRepresenter(plain("x"))
    monkeypatch.setattr(mirrane, "cfg", {"secrets": None})
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        representer.key


def test_fernet_key_refuses_the_built_in_key(config, records):
    representer = FernetSecretStringRepresenter(plain("x"), prefix="vault")
    with pytest.raises(Exception) as missing:
        representer.key
    assert type(missing.value) is Exception and str(missing.value) == KEY_MISSING.format("vault")
    assert missing.value.__cause__ is None
    assert records() == [("DEBUG", FALLBACK_TEXT.format("vault"))]
    config.set("secrets.vault.key", DEFAULT_KEY)
    with pytest.raises(Exception, match=re.escape(KEY_MISSING.format("vault"))):
        representer.key
    assert records() == []
    config.set("secrets.vault.key", "configured")
    assert representer.key == "configured"


# ----- representers -------------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [BaseSecretStringContainer, BaseSecretStringRepresenter,
                                 ObscuringSecretStringRepresenter, FernetSecretStringRepresenter])
@pytest.mark.parametrize("obj", ["text", collections.UserString("text"), None])
def test_representers_contain_only_secrets(cls, obj):
    with pytest.raises(Exception) as refused:
        cls(obj)
    assert type(refused.value) is Exception
    assert str(refused.value) == f"Object of type SecretString expected, but type {type(obj)} given."


def test_containing_follows_the_module_secret_class(monkeypatch):
    class Narrower(SecretString):
        pass

    secret = plain("x")
    monkeypatch.setattr(mirrane, "SecretString", Narrower)
    with pytest.raises(Exception, match="but type <class 'quarv.utils.mirrane.SecretString'> given"):
        BaseSecretStringContainer(secret)


def test_the_base_representer_implements_no_coding():
    class Custom(BaseSecretStringRepresenter):
        pass

    for cls in (BaseSecretStringRepresenter, Custom):
        representer = cls(plain("x"))
        for method in ("encode", "decode"):
            with pytest.raises(NotImplementedError) as refused:
                getattr(representer, method)()
            assert str(refused.value) == f"{cls.__name__} does not implement {method}."


def test_a_representer_without_decode_makes_the_wrong_format_error():
    with pytest.raises(Exception) as refused:
        SecretString("x", representer_cls=BaseSecretStringRepresenter)
    assert str(refused.value) == WRONG_FORMAT.format("x", "BaseSecretStringRepresenter")
    assert type(refused.value.__cause__) is NotImplementedError


def test_plain_text_representer_gives_the_stored_text_itself(records):
    text = "".join(["any ", "text €"])
    secret = plain(text)
    assert secret.representer.encode() is text and secret.representer.decode() is text and secret.plaintext is text
    assert records() == []


KEYS = ["k", DEFAULT_KEY, "ключ-€-𝄞", "\x00\xff", cryptography.fernet.Fernet.generate_key().decode()]
TEXTS = ["", "a", "abc", "s3cr3t passw0rd!", "".join(map(chr, range(256))), "\xff" * 7, "é" * 100]


@pytest.mark.parametrize("key", KEYS, ids=range(len(KEYS)))
@pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
def test_obscuring_encodes_as_documented_and_decodes_back(config, key, text):
    config.set("secrets.string.key", key)
    secret = SecretString.from_plaintext(text)
    assert secret.data == obscure(text, key)
    assert URL_SAFE.fullmatch(secret.data)
    utf8_size = sum(1 if (ord(c) + ord(key[i % len(key)])) % 256 < 128 else 2 for i, c in enumerate(text))
    assert len(secret.data) == 4 * -(-utf8_size // 3)
    assert secret.plaintext == text and type(secret.plaintext) is str
    assert SecretString.from_plaintext(text) == secret


def test_obscuring_refuses_characters_above_u00ff_instead_of_corrupting_them():
    for text in ["€", "pass€word", "Ā", "𝄞"]:
        with pytest.raises(ValueError) as refused:
            SecretString.from_plaintext(text)
        assert "above U+00FF" in str(refused.value) and f"position {text.index(text.lstrip('pasw'))}" in str(
            refused.value)
        assert text.lstrip("pasw")[0] not in str(refused.value)
        with pytest.raises(ValueError):
            ObscuringSecretStringRepresenter(plain(text)).encode()


@pytest.mark.parametrize("text, decoded", [("Ā", "\x00"), ("€", "¬"), ("a€b𝄞", "a¬b\x1e")])
def test_obscured_texts_stored_earlier_still_decode(text, decoded):
    # made by the cipher without the refusal: each character comes back modulo 256
    assert SecretString(obscure(text, DEFAULT_KEY)).plaintext == decoded


@pytest.mark.parametrize("stored", [
    "abc", "ÿÿÿÿ", base64.urlsafe_b64encode(b"\xff\xfe").decode(), "YWJj\n", " YWJj", "+/+/", "-_-_", "YQ",
    "YQ===", "Y=Q=", "====", "YWJjZA==YQ==", "QR==", base64.urlsafe_b64encode("€".encode()).decode(),
])
def test_obscuring_decodes_whatever_the_base64_module_decodes_and_fails_as_it_fails(stored):
    assert outcome(ObscuringSecretStringRepresenter(plain(stored)).decode) == outcome(unobscure, stored, DEFAULT_KEY)


def test_obscuring_works_through_the_module_base64(monkeypatch):
    calls = []

    def spy(name):
        def call(value):
            calls.append(name)
            return getattr(base64, name)(value)
        return call

    monkeypatch.setattr(mirrane, "base64", types.SimpleNamespace(urlsafe_b64encode=spy("urlsafe_b64encode"),
                                                                 urlsafe_b64decode=spy("urlsafe_b64decode")))
    secret = SecretString.from_plaintext("abc")
    assert secret.plaintext == "abc" and secret.data == obscure("abc", DEFAULT_KEY)
    assert calls == ["urlsafe_b64encode", "urlsafe_b64decode", "urlsafe_b64decode"]


def test_obscuring_takes_keys_of_other_types_as_sequences(config):
    config.set("secrets.string.key", ("z", "ÿ"))
    secret = SecretString.from_plaintext("abc")
    assert secret.data == obscure("abc", ("z", "ÿ")) and secret.plaintext == "abc"
    config.set("secrets.string.key", 1234)
    with pytest.raises(TypeError, match="has no len"):
        SecretString.from_plaintext("abc")
    assert SecretString.from_plaintext("").data == ""  # no character asks for the key


def test_obscuring_with_an_empty_default_key():
    class Keyless(ObscuringSecretStringRepresenter):
        DEFAULT_KEY = ""

    assert Keyless(plain("")).encode() == ""
    with pytest.raises(ZeroDivisionError):
        Keyless(plain("a")).encode()


def test_base_keygen_gives_a_random_uuid(config):
    config.set("secrets.string.key", "unused")
    keys = {BaseSecretStringRepresenter.keygen() for _ in range(3)}
    assert len(keys) == 3
    for key in keys | {PlainTextSecretStringRepresenter.keygen(), ObscuringSecretStringRepresenter.keygen()}:
        assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", key)


# ----- the Fernet representer, with the real library ----------------------------------------------------

def test_fernet_secrets_encrypt_any_text(fernet_key, records):
    text = "pässwörd € 𝄞 \x00"
    secret = SecretString.from_plaintext(text, representer_cls=FernetSecretStringRepresenter)
    assert secret.representer_cls is FernetSecretStringRepresenter and secret.plaintext == text
    assert cryptography.fernet.Fernet(fernet_key.encode()).decrypt(secret.data.encode()).decode() == text
    assert URL_SAFE.fullmatch(secret.data) and secret.data.startswith("gAAAAA")
    again = SecretString.from_plaintext(text, representer_cls=FernetSecretStringRepresenter)
    assert again.data != secret.data and again != secret and again.plaintext == text
    assert records() == []


def test_fernet_failures(config, fernet_key):
    secret = SecretString.from_plaintext("pw", representer_cls=FernetSecretStringRepresenter)
    config.set("secrets.string.key", cryptography.fernet.Fernet.generate_key().decode())
    # an existing secret read with another key: the library's error, not wrapped
    with pytest.raises(cryptography.fernet.InvalidToken):
        secret.plaintext
    with pytest.raises(Exception) as refused:
        SecretString(secret.data, representer_cls=FernetSecretStringRepresenter)
    assert str(refused.value) == WRONG_FORMAT.format(secret.data, "FernetSecretStringRepresenter")
    assert type(refused.value.__cause__) is cryptography.fernet.InvalidToken
    config.set("secrets.string.key", "not a Fernet key")
    with pytest.raises(ValueError, match="Fernet key must be 32 url-safe base64-encoded bytes"):
        SecretString.from_plaintext("pw", representer_cls=FernetSecretStringRepresenter)


def test_fernet_without_a_key(records):
    with pytest.raises(Exception) as missing:
        SecretString.from_plaintext("pw", representer_cls=FernetSecretStringRepresenter)
    assert str(missing.value) == KEY_MISSING.format("string") and missing.value.__cause__ is None
    with pytest.raises(Exception) as refused:
        SecretString("gAAAAA", representer_cls=FernetSecretStringRepresenter)
    assert str(refused.value) == WRONG_FORMAT.format("gAAAAA", "FernetSecretStringRepresenter")
    assert str(refused.value.__cause__) == KEY_MISSING.format("string")
    assert records() == [("DEBUG", FALLBACK_TEXT.format("string"))] * 2


def test_fernet_keygen(config):
    keys = {FernetSecretStringRepresenter.keygen() for _ in range(3)}
    assert len(keys) == 3
    for key in keys | {SecretString.keygen(representer_cls=FernetSecretStringRepresenter)}:
        assert len(key) == 44 and key.endswith("=") and type(key) is str
        cryptography.fernet.Fernet(key.encode())
    config.set("secrets.string.representer", FernetSecretStringRepresenter)
    assert len(SecretString.keygen()) == 44


def test_fernet_refuses_when_the_library_is_missing(monkeypatch, fernet_key):
    secret = SecretString.from_plaintext("pw", representer_cls=FernetSecretStringRepresenter)
    monkeypatch.setattr(mirrane, "Fernet", None)
    for attempt in [FernetSecretStringRepresenter.keygen, FernetSecretStringRepresenter._verify_runnable,
                    lambda: secret.plaintext,
                    lambda: SecretString(secret.data, representer_cls=FernetSecretStringRepresenter),
                    lambda: SecretString.from_plaintext("pw", representer_cls=FernetSecretStringRepresenter)]:
        with pytest.raises(ImportError) as refused:
            attempt()
        assert type(refused.value) is ImportError and str(refused.value) == NO_LIBRARY
        assert refused.value.__cause__ is None and refused.value.__context__ is None
    monkeypatch.setattr(mirrane, "Fernet", cryptography.fernet.Fernet)
    assert FernetSecretStringRepresenter._verify_runnable() is None and secret.plaintext == "pw"


def test_fernet_checks_the_library_through_the_class(fernet_key):
    seen = []

    class Checked(FernetSecretStringRepresenter):
        @classmethod
        def _verify_runnable(cls):
            seen.append(cls)

    Checked.keygen()
    SecretString.from_plaintext("pw", representer_cls=Checked)
    assert seen == [Checked] * 3


# ----- without the cryptography package -------------------------------------------------------------------

BLOCKERS = {
    "none-in-modules": "sys.modules['cryptography'] = None",
    "finder-refusing": """
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name.split('.')[0] == 'cryptography':
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        sys.meta_path.insert(0, Refuse())
    """,
}


@pytest.mark.parametrize("blocker", BLOCKERS)
def test_without_cryptography_only_the_fernet_representer_refuses(blocker):
    code = f"""
        import sys
{textwrap.indent(textwrap.dedent(BLOCKERS[blocker]), " " * 8)}
        from quarv.utils import mirrane
        from quarv.utils.mirrane import SecretString, FernetSecretStringRepresenter as F
        print(mirrane.Fernet is None, SecretString.from_plaintext("abc").plaintext, len(SecretString.keygen()))
        for attempt in [F.keygen, lambda: SecretString.keygen(representer_cls=F),
                        lambda: SecretString.from_plaintext("abc", representer_cls=F),
                        lambda: SecretString("gAAAAA", representer_cls=F)]:
            try:
                attempt()
            except ImportError as error:
                print(type(error).__name__, error.args == ({NO_LIBRARY!r},), error.__cause__ is None)
    """
    assert run_child(code) == ["True", "abc", "36"] + ["ImportError", "True", "True"] * 4


def test_other_failures_of_the_cryptography_import_fail_the_module():
    code = """
        import sys
        class Broken:
            def find_spec(self, name, path=None, target=None):
                if name.split('.')[0] == 'cryptography':
                    raise RuntimeError("broken installation")
        sys.meta_path.insert(0, Broken())
        try:
            import quarv.utils.mirrane
        except RuntimeError as error:
            print(error.args[0].replace(" ", "_"), "quarv.utils.mirrane" in sys.modules)
    """
    assert run_child(code) == ["broken_installation", "False"]


# ----- SecretString --------------------------------------------------------------------------------------

def test_from_plaintext_with_the_defaults(records):
    secret = SecretString.from_plaintext("abc")
    assert type(secret) is SecretString and secret.representer_cls is ObscuringSecretStringRepresenter
    assert type(secret.representer) is ObscuringSecretStringRepresenter and secret.representer.obj is secret
    assert secret.data != "abc" and URL_SAFE.fullmatch(secret.data) and secret.plaintext == "abc"
    assert records() == [("DEBUG", FALLBACK_TEXT.format("string"))] * 3  # encode, check, the read above
    secret.plaintext
    assert records() == [("DEBUG", FALLBACK_TEXT.format("string"))]


@pytest.mark.parametrize("secret", [SecretString.from_plaintext("abc"), SecretString.from_plaintext(""),
                                    plain("x" * 11)], ids=["obscured", "empty", "plain"])
def test_text_forms_show_one_asterisk_per_stored_character(secret, capsys):
    stars = "*" * len(secret.data)
    assert str(secret) == repr(secret) == f"{secret}" == "{}".format(secret) == "%s" % secret == stars
    assert repr([secret]) == f"[{stars}]"
    print(secret)
    assert capsys.readouterr().out == stars + "\n"


def test_wrong_format(records):
    with pytest.raises(Exception) as refused:
        SecretString("abc")
    assert type(refused.value) is Exception
    assert str(refused.value) == WRONG_FORMAT.format("abc", "ObscuringSecretStringRepresenter")
    assert type(refused.value.__cause__) is binascii.Error and refused.value.__context__ is refused.value.__cause__
    with pytest.raises(Exception) as refused:
        SecretString("ÿ")
    assert type(refused.value.__cause__) is ValueError
    assert str(refused.value.__cause__) == "string argument should contain only ASCII characters"


def test_a_secret_built_from_another_copies_its_stored_text():
    other = plain("abcdefgh")
    assert plain(other).data == "abcdefgh" and plain(other).plaintext == "abcdefgh"
    obscured = SecretString.from_plaintext("abc")
    assert SecretString(obscured).data == obscured.data and SecretString(obscured).plaintext == "abc"
    with pytest.raises(Exception) as refused:
        SecretString(other)
    assert str(refused.value) == WRONG_FORMAT.format("********", "ObscuringSecretStringRepresenter")
    assert plain(42).data == "42"


def test_plain_text_secrets_take_any_text():
    for text in ["", "abc", "€ 𝄞", "=="]:
        secret = plain(text)
        assert secret.plaintext == text and secret.representer_cls is PlainTextSecretStringRepresenter


@pytest.mark.parametrize("entry", ["collections.OrderedDict", collections.OrderedDict])
def test_a_configured_class_outside_the_representers_fails_every_selection_of_its_prefix(config, entry):
    config.set("secrets.string.representer", entry)
    for attempt in [lambda: SecretString.from_plaintext("abc"), lambda: plain("abc"), lambda: SecretString.keygen(),
                    lambda: SecretString._get_rep(None, "string")]:
        with pytest.raises(Exception) as refused:
            attempt()
        assert type(refused.value) is Exception
        assert str(refused.value) == INHERITANCE.format(collections.OrderedDict)
        assert refused.value.__cause__ is None and not refused.value.__suppress_context__
    assert SecretString.from_plaintext("abc", prefix="other").plaintext == "abc"


@pytest.mark.parametrize("entry, chosen", [
    (PlainTextSecretStringRepresenter, PlainTextSecretStringRepresenter),
    ("quarv.utils.mirrane.PlainTextSecretStringRepresenter", PlainTextSecretStringRepresenter),
    ("", ObscuringSecretStringRepresenter), (None, ObscuringSecretStringRepresenter),
])
def test_the_configured_representer_is_taken_unless_one_is_given(config, records, entry, chosen):
    config.set("secrets.vault.representer", entry)
    assert SecretString.from_plaintext("abc", prefix="vault").representer_cls is chosen
    assert SecretString.from_plaintext("abc").representer_cls is ObscuringSecretStringRepresenter
    assert plain("abc").representer_cls is PlainTextSecretStringRepresenter
    assert ("WARNING" in dict(records())) is False


@pytest.mark.parametrize("entry", ["ObscuringSecretStringRepresenter", 42, ["a.b"]])
def test_a_configured_entry_that_is_no_class_and_no_dotted_name_is_ignored_with_a_warning(config, records, entry):
    config.set("secrets.string.representer", entry)
    secret = SecretString("abc", representer_cls=PlainTextSecretStringRepresenter)
    assert SecretString.from_plaintext("abc").representer_cls is ObscuringSecretStringRepresenter
    warnings = [message for level, message in records() if level == "WARNING"]
    assert warnings == [f"Could not convert {entry} to a class."] * 4  # one per selection
    assert SecretString._get_cls(entry) is None and secret.plaintext == "abc"


def test_conversion_of_configured_entries():
    for false in [None, "", 0, [], False]:
        assert SecretString._get_cls(false) is None
    assert SecretString._get_cls("quarv.utils.mirrane.SecretString") is SecretString
    assert SecretString._get_cls("os.sep") == os.sep  # returned unchecked
    assert SecretString._get_cls(int) is int


def test_configured_names_that_cannot_be_used(config):
    config.set("secrets.string.representer", "no_such_module.Representer")
    with pytest.raises(ModuleNotFoundError, match="no_such_module"):
        plain("abc")
    config.set("secrets.string.representer", "os.sep")
    with pytest.raises(TypeError, match=re.escape("issubclass() arg 1 must be a class")):
        plain("abc")


def test_explicit_representers_are_checked_first_and_never_imported(config):
    config.set("secrets.string.representer", "no_such_module.Representer")
    with pytest.raises(Exception) as refused:
        SecretString("abc", representer_cls=collections.OrderedDict)
    assert str(refused.value) == INHERITANCE.format(collections.OrderedDict)
    with pytest.raises(TypeError) as expected:
        issubclass("quarv.utils.mirrane.PlainTextSecretStringRepresenter", object)
    with pytest.raises(TypeError) as actual:
        SecretString("abc", representer_cls="quarv.utils.mirrane.PlainTextSecretStringRepresenter")
    assert str(actual.value) == str(expected.value)
    assert SecretString._validate_rep(BaseSecretStringRepresenter) is None
    assert SecretString._validate_rep(None) is None


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    class Default(ObscuringSecretStringRepresenter):
        pass

    monkeypatch.setattr(mirrane, "ObscuringSecretStringRepresenter", Default)
    assert SecretString.from_plaintext("abc").representer_cls is Default
    monkeypatch.setattr(mirrane, "BaseSecretStringRepresenter", Default)
    with pytest.raises(Exception, match="must inherit from"):
        plain("abc")
    monkeypatch.undo()
    monkeypatch.setattr(mirrane, "PlainTextSecretStringRepresenter", ObscuringSecretStringRepresenter)
    with pytest.raises(Exception, match="wrong format"):  # the plaintext then has to decode
        SecretString.from_plaintext("abc")
    monkeypatch.setattr(mirrane, "CNF_SS_REP", "chosen")
    monkeypatch.setattr(mirrane, "CNF_SEC", "elsewhere")
    configuration.set("elsewhere.string.chosen", PlainTextSecretStringRepresenter)
    assert SecretString("abc").representer_cls is PlainTextSecretStringRepresenter


def test_subclasses_choose_through_their_own_methods(config):
    calls = []

    class Audited(SecretString):
        @staticmethod
        def _get_cls(cls_or_cls_name):
            calls.append(("_get_cls", cls_or_cls_name))
            return PlainTextSecretStringRepresenter

        @classmethod
        def _validate_rep(cls, rep_cls):
            calls.append(("_validate_rep", rep_cls))

    config.set("secrets.string.representer", "anything")
    secret = Audited.from_plaintext("abc")
    assert type(secret) is Audited and secret.representer_cls is PlainTextSecretStringRepresenter
    assert calls[:3] == [("_validate_rep", PlainTextSecretStringRepresenter), ("_get_cls", "anything"),
                         ("_validate_rep", PlainTextSecretStringRepresenter)]
    assert type(secret[:2]) is Audited and secret[:2].plaintext == "ab"

    class Fixed(SecretString):
        @classmethod
        def _get_rep(cls, representer_cls, prefix):
            return FernetSecretStringRepresenter

    assert len(Fixed.keygen()) == 44


def test_comparison_hashing_and_length_work_on_the_stored_text():
    secret = SecretString.from_plaintext("abc")
    assert secret == secret.data and secret.data == secret and not secret != secret.data
    assert len(secret) == len(secret.data) and hash(secret) == hash(secret.data)
    assert secret == SecretString.from_plaintext("abc") and secret != SecretString.from_plaintext("abd")
    assert {secret: 1}[secret.data] == 1 and secret.data in {secret}
    assert secret.data[:2] in secret and secret.index(secret.data[1]) == secret.data.index(secret.data[1])
    assert secret.startswith(secret.data[0]) and secret.count("=") == secret.data.count("=")
    assert (secret < secret.data + "A") is True


def test_operations_that_make_new_text_make_new_secrets_of_the_default_kind():
    secret = SecretString.from_plaintext("abc")  # 8 characters, no padding
    doubled = secret + secret
    assert type(doubled) is SecretString and doubled.plaintext == unobscure(secret.data * 2, DEFAULT_KEY)
    assert doubled.representer_cls is ObscuringSecretStringRepresenter and doubled.representer.prefix == "string"
    with pytest.raises(Exception) as refused:
        secret[:5]
    assert str(refused.value) == WRONG_FORMAT.format(secret.data[:5], "ObscuringSecretStringRepresenter")


def test_dir_adds_the_text_attributes():
    secret = SecretString.from_plaintext("abc")
    listed = secret.__dir__()
    assert listed == object.__dir__(secret) + dir(secret.data)
    assert {"plaintext", "representer", "upper", "data"} <= set(dir(secret))


def test_keygen_of_the_selected_representer(config):
    assert len(SecretString.keygen()) == 36 and len(SecretString.keygen(prefix="other")) == 36
    assert len(SecretString.keygen(representer_cls=FernetSecretStringRepresenter)) == 44
    config.set("secrets.vault.representer", "quarv.utils.mirrane.FernetSecretStringRepresenter")
    assert len(SecretString.keygen(prefix="vault")) == 44


def test_copies_and_pickles_keep_the_secret():
    secret = SecretString.from_plaintext("abc")
    for twin in (copy.copy(secret), copy.deepcopy(secret), pickle.loads(pickle.dumps(secret))):
        assert type(twin) is SecretString and twin.data == secret.data and twin.plaintext == "abc"
        assert twin.representer_cls is ObscuringSecretStringRepresenter
    deep = copy.deepcopy(secret)
    assert deep.representer is not secret.representer and deep.representer.obj is deep


def test_what_the_markup_processor_relies_on(config, fernet_key):
    config.set("secrets.vault.representer", FernetSecretStringRepresenter)
    config.set("secrets.vault.key", fernet_key)
    encoded = SecretString.from_plaintext("pw", prefix="vault").data
    secret = SecretString(secret_string=encoded, prefix="vault")
    assert secret.plaintext == "pw" and secret.representer.key == fernet_key
    assert secret.representer.DEFAULT_KEY == DEFAULT_KEY
    obscured = SecretString(secret_string=SecretString.from_plaintext("pw", prefix="other").data, prefix="other")
    assert obscured.representer.key == obscured.representer.DEFAULT_KEY
    try:
        type(obscured.representer).LOGGED_KEY_WARNING = True
        assert ObscuringSecretStringRepresenter.LOGGED_KEY_WARNING is True
        assert BaseSecretStringRepresenter.LOGGED_KEY_WARNING is False
        assert FernetSecretStringRepresenter.LOGGED_KEY_WARNING is False
    finally:
        del ObscuringSecretStringRepresenter.LOGGED_KEY_WARNING
    assert ObscuringSecretStringRepresenter.LOGGED_KEY_WARNING is False
    assert isinstance(secret, SecretString)


@pytest.mark.parametrize("value, expected", [(None, "None"), (5, "5"), (b"x", "b'x'"),
                                             (collections.UserString("u"), "u")])
def test_to_plaintext(value, expected):
    assert to_plaintext(value) == expected and type(to_plaintext(value)) is str


def test_to_plaintext_of_secrets_and_texts(monkeypatch):
    assert to_plaintext(SecretString.from_plaintext("abc")) == "abc"

    class Text(str):
        pass

    for text in ["abc", Text("abc")]:
        assert to_plaintext(text) is text
    monkeypatch.setattr(mirrane, "SecretString", str)
    with pytest.raises(AttributeError, match="plaintext"):
        to_plaintext("x")


def test_to_plaintext_sees_classes_registered_with_the_secret_class_later():
    code = """
        from quarv.utils.mirrane import SecretString, to_plaintext
        print(to_plaintext("x"), to_plaintext("x"))
        SecretString.register(str)
        try:
            to_plaintext("x")
        except AttributeError as error:
            print(error.name)
    """
    assert run_child(code) == ["x", "x", "plaintext"]


# ----- secrets never leak -----------------------------------------------------------------------------------

def messages_of(error):
    """The texts an error shows, along its chain of causes and contexts."""
    seen = []
    while error is not None and error not in seen:
        seen.append(error)
        error = error.__cause__ or error.__context__
    return [text for e in seen for text in (str(e), repr(e), *map(str, e.args))]


def test_no_text_form_log_record_or_error_message_shows_a_plaintext(config, caplog, fernet_key):
    caplog.set_level(logging.DEBUG)
    plaintext = "".join(["hunter", "-2"])
    shown = []
    for kwargs in ({}, {"representer_cls": FernetSecretStringRepresenter}, {"prefix": "other"}):
        secret = SecretString.from_plaintext(plaintext, **kwargs)
        assert secret.plaintext == plaintext
        shown += [str(secret), repr(secret), format(secret), "%s" % secret, repr([secret]), str(dir(secret)),
                  str(secret.representer), str(vars(secret.representer).keys())]
        for attempt in [lambda: secret[:5], lambda: secret[1:], lambda: secret.upper(),
                        lambda: SecretString(secret, **kwargs)[2:], lambda: BaseSecretStringContainer(plaintext),
                        lambda: SecretString(secret, representer_cls=ObscuringSecretStringRepresenter)]:
            try:
                attempt()
            except Exception as error:
                shown += messages_of(error)
    config.set("secrets.string.representer", 42)
    failures = [lambda: SecretString.from_plaintext(plaintext + "€"),
                lambda: SecretString.from_plaintext(plaintext, representer_cls=FernetSecretStringRepresenter,
                                                    prefix="keyless"),
                lambda: SecretString.from_plaintext(plaintext, representer_cls=dict)]
    for attempt in failures:
        with pytest.raises(Exception) as error:
            attempt()
        shown += messages_of(error.value)
    config.set("secrets.string.key", "not a Fernet key")
    with pytest.raises(ValueError) as error:
        SecretString.from_plaintext(plaintext, representer_cls=FernetSecretStringRepresenter)
    shown += messages_of(error.value)
    shown += [record.getMessage() for record in caplog.records]
    assert len(shown) > 40 and not [text for text in shown if "hunter" in text]


# ----- native paths in child interpreters -----------------------------------------------------------------

def test_deep_text_forms_raise_recursion_error():
    code = """
        import sys
        from quarv.utils.mirrane import SecretString, PlainTextSecretStringRepresenter as Plain
        top = SecretString("x", representer_cls=Plain)
        for _ in range(200000):
            outer = SecretString("x", representer_cls=Plain)
            outer.data = top
            top = outer
        # the text form reaches the next level through UserString's own __len__, a Python frame
        for limit, form in [(1000, str), (1000, dir), (10 ** 6, dir)]:
            sys.setrecursionlimit(limit)
            try:
                form(top)
            except RecursionError:
                print("RecursionError")
    """
    assert run_child(code) == ["RecursionError"] * 3


def test_the_first_error_at_the_recursion_limit_is_an_ordinary_exception():
    code = """
        from quarv.utils.mirrane import SecretString, PlainTextSecretStringRepresenter, BaseSecretStringContainer
        plain = SecretString("x", representer_cls=PlainTextSecretStringRepresenter)
        calls = [lambda: SecretString("abc"), lambda: BaseSecretStringContainer(1), lambda: plain.plaintext,
                 lambda: str(plain), lambda: SecretString.from_plaintext("€")]
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
    assert run_child(code) == ["Exception", "Exception", "str", "str", "ValueError"]


def test_a_module_imported_afresh_works_and_the_dropped_copy_is_freed():
    code = """
        import gc, importlib, sys, weakref
        import quarv.utils.mirrane

        copies = []
        for _ in range(3):
            sys.modules.pop("quarv.utils.mirrane")
            fresh = importlib.import_module("quarv.utils.mirrane")
            copies.append((weakref.ref(fresh), fresh.SecretString))
            del fresh
        assert len({id(cls) for _, cls in copies}) == 3
        for _, cls in copies:
            secret = cls.from_plaintext("abc")
            print(secret.plaintext, type(secret.representer).__module__, str(secret))
        newest = copies.pop()
        copies = [module for module, _ in copies]
        del secret, cls
        gc.collect()
        print([module() is None for module in copies])
        print(newest[1].from_plaintext("def").plaintext)
    """
    assert run_child(code) == ["abc", "quarv.utils.mirrane", "********"] * 3 + ["[True,", "True]", "def"]


def obscured_by_the_loop(text, key):
    """The representer's loop written plainly: position by position up to len(text)."""
    import base64
    shifted = []
    for i in range(len(text)):
        shifted.append(chr((ord(text[i]) + ord(key[i % len(key)])) % 256))
    return base64.urlsafe_b64encode("".join(shifted).encode()).decode()


@pytest.mark.parametrize("claimed", [2 ** 62, 10 ** 9, 2, 0])
def test_the_obscuring_representer_reads_as_many_characters_as_the_loop(claimed):
    from quarv.utils.mirrane import (ObscuringSecretStringRepresenter, PlainTextSecretStringRepresenter,
                                     SecretString)
    secret = SecretString("abc", representer_cls=PlainTextSecretStringRepresenter)
    secret.data = type("Claiming", (str,), {"__len__": lambda self: claimed})("abc")
    representer = ObscuringSecretStringRepresenter(secret)
    try:
        expected = obscured_by_the_loop(secret.data, representer.key)
    except IndexError as error:
        with pytest.raises(IndexError, match=str(error)):
            representer.encode()
    else:
        assert representer.encode() == expected
