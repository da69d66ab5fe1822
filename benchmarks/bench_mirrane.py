"""Secret values: quarv.utils.mirrane against a plain Python rendering of the same classes.

Both read the same configuration object and log to the same (disabled) DEBUG level, so the
figures show what the native module saves around them: building secrets from plaintext and from
their encoded text, reading plaintexts (short and long), the text form, and Fernet secrets.
Prints the best time per operation of several runs and the ratios.
Run: python benchmarks/bench_mirrane.py
"""

import base64
import logging
import time
import uuid
from collections import UserString
from inspect import isclass

from quarv.configuration import configuration as cfg
from quarv.utils import mirrane
from quarv.utils.import_utils import import_from_name

try:
    from cryptography.fernet import Fernet
except ImportError:
    Fernet = None

logger = logging.getLogger("bench.mirrane")
CNF_SEC, CNF_STR, CNF_SS_REP, CNF_SS_KEY = "secrets", "string", "representer", "key"


class PyContainer:
    def __init__(self, obj):
        if not isinstance(obj, PySecretString):
            raise Exception("Object of type SecretString expected, but type {} given.".format(type(obj)))
        self.obj = obj


class PyRepresenter(PyContainer):
    DEFAULT_KEY = "zelk_fallback_pad"
    LOGGED_KEY_WARNING = False

    @classmethod
    def keygen(cls):
        return str(uuid.uuid4())

    def __init__(self, obj, prefix=CNF_STR):
        super().__init__(obj)
        self.prefix = prefix

    @property
    def key(self):
        key = cfg.get(CNF_SEC, {}).get(self.prefix, {}).get(CNF_SS_KEY)
        if key:
            return key
        logger.debug("Using a default key as quarv configuration under [{sec}] {sstr}.{key} was not specified."
                     .format(sec=CNF_SEC, sstr=self.prefix, key=CNF_SS_KEY))
        return self.DEFAULT_KEY


class PyPlainText(PyRepresenter):
    def encode(self):
        return self.obj.data

    def decode(self):
        return self.obj.data


class PyObscuring(PyRepresenter):
    def encode(self):
        key = self.key
        string = self.obj.data
        chars = []
        for i in range(len(string)):
            point = ord(string[i])
            if point > 0xFF:
                raise ValueError("character above U+00FF")
            chars.append(chr((point + ord(key[i % len(key)])) % 256))
        return base64.urlsafe_b64encode("".join(chars).encode("utf-8")).decode()

    def decode(self):
        string = self.obj.data
        key = self.key
        obscured = base64.urlsafe_b64decode(string).decode("utf-8")
        return "".join(chr((256 + ord(c) - ord(key[i % len(key)])) % 256) for i, c in enumerate(obscured))


class PyFernet(PyRepresenter):
    @property
    def key(self):
        key = super().key
        if key == self.DEFAULT_KEY:
            raise Exception("A key must be specified")
        return key

    def encode(self):
        return Fernet(self.key.encode("utf-8")).encrypt(self.obj.data.encode("utf-8")).decode("utf-8")

    def decode(self):
        return Fernet(self.key.encode("utf-8")).decrypt(self.obj.data.encode("utf-8")).decode("utf-8")


class PySecretString(UserString):
    @staticmethod
    def _get_cls(cls_or_cls_name):
        if not cls_or_cls_name:
            return None
        if isinstance(cls_or_cls_name, str) and "." in cls_or_cls_name:
            return import_from_name(cls_or_cls_name)
        if isclass(cls_or_cls_name):
            return cls_or_cls_name
        logger.warning("Could not convert {} to a class.".format(cls_or_cls_name))
        return None

    @classmethod
    def _validate_rep(cls, rep_cls):
        if rep_cls and not issubclass(rep_cls, PyRepresenter):
            raise Exception("Representer class {} must inherit from ...".format(rep_cls))

    @classmethod
    def _get_rep(cls, representer_cls, prefix):
        cls._validate_rep(representer_cls)
        configured = cls._get_cls(cfg.get(CNF_SEC, {}).get(prefix, {}).get(CNF_SS_REP))
        cls._validate_rep(configured)
        return representer_cls or configured or PyObscuring

    @classmethod
    def from_plaintext(cls, plaintext, representer_cls=None, prefix=CNF_STR):
        plain = cls(plaintext, representer_cls=PyPlainText, prefix=prefix)
        target = cls._get_rep(representer_cls=representer_cls, prefix=prefix)
        return cls(target(plain, prefix=prefix).encode(), representer_cls=target, prefix=prefix)

    def __init__(self, secret_string, representer_cls=None, prefix=CNF_STR):
        super().__init__(secret_string)
        self.representer_cls = self._get_rep(representer_cls=representer_cls, prefix=prefix)
        self.representer = self.representer_cls(self, prefix=prefix)
        try:
            self.plaintext
        except ImportError:
            raise
        except Exception as e:
            raise Exception("The secret string '{}' has the wrong format.".format(secret_string)) from e

    def __str__(self):
        return "*" * len(self.data)

    __repr__ = __str__

    @property
    def plaintext(self):
        return self.representer.decode()


def py_to_plaintext(str_or_secret_str):
    if isinstance(str_or_secret_str, PySecretString):
        return str_or_secret_str.plaintext
    if isinstance(str_or_secret_str, str):
        return str_or_secret_str
    return str(str_or_secret_str)


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
    print(f"{label:<44} native {native_time * 1e6:8.2f} us   python {python_time * 1e6:8.2f} us   "
          f"x{python_time / native_time:5.2f}")


def main():
    short, long_text = "s3cr3t-passw0rd", "".join(chr(32 + i % 200) for i in range(4000))
    native_cls, python_cls = mirrane.SecretString, PySecretString
    for label, text in (("short", short), ("4000 characters", long_text)):
        n_secret, p_secret = native_cls.from_plaintext(text), python_cls.from_plaintext(text)
        assert n_secret.data == p_secret.data and n_secret.plaintext == p_secret.plaintext == text
        count = 20000 if label == "short" else 300
        compare(f"from_plaintext, obscuring ({label})", lambda: native_cls.from_plaintext(text),
                lambda: python_cls.from_plaintext(text), count)
        encoded = n_secret.data
        compare(f"SecretString(encoded), obscuring ({label})", lambda: native_cls(encoded),
                lambda: python_cls(encoded), count)
        compare(f"plaintext, obscuring ({label})", lambda: n_secret.plaintext, lambda: p_secret.plaintext, count)
    n_secret, p_secret = native_cls.from_plaintext(short), python_cls.from_plaintext(short)
    compare("str(secret)", lambda: str(n_secret), lambda: str(p_secret), 100000)
    compare("to_plaintext(text)", lambda: mirrane.to_plaintext(short), lambda: py_to_plaintext(short), 100000)
    compare("to_plaintext(secret)", lambda: mirrane.to_plaintext(n_secret), lambda: py_to_plaintext(p_secret), 20000)
    if Fernet is not None:
        cfg.set("secrets.vault.key", Fernet.generate_key().decode())
        fernet_native, fernet_python = mirrane.FernetSecretStringRepresenter, PyFernet
        compare("from_plaintext, Fernet (short)",
                lambda: native_cls.from_plaintext(short, representer_cls=fernet_native, prefix="vault"),
                lambda: python_cls.from_plaintext(short, representer_cls=fernet_python, prefix="vault"), 3000)


if __name__ == "__main__":
    main()
