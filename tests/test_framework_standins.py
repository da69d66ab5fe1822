"""The host framework's stand-ins keep the contracts the native modules rely on."""

import base64

import pytest

from quarv.configuration import Configuration
from quarv.utils import exceptions
from quarv.utils.strings import decode_cli_string, wrap_split
from quarv.utils.utils import chainget, get_argv_args, str_to_number


def test_chainget_follows_keys_positions_and_dotted_texts():
    tree = {"a": {"b": [10, {"c": 3}]}}
    assert chainget(tree, []) is tree
    assert chainget(tree, ["a", "b", 1, "c"]) == 3
    assert chainget(tree, "a.b.1.c") == 3
    record = chainget(tree, ["a"])
    record["new"] = 1
    assert tree["a"]["new"] == 1


@pytest.mark.parametrize("tree, path", [(None, ["a"]), (None, []), ({"a": 1}, ["b"]), ({"a": [1]}, ["a", 5]),
                                        ({"a": 1}, ["a", "b"]), ({"a": None}, ["a", "b"]), ({"a": [1]}, "a.x")])
def test_chainget_raises_key_error(tree, path):
    with pytest.raises(KeyError):
        chainget(tree, path)


def test_configuration_by_dotted_key_and_by_section():
    cfg = Configuration()
    assert cfg.get("limits.dicts.max_key_length", 40) == 40 and cfg.get("nothing") is None
    cfg.set("secrets.string.key", "k1")
    cfg.update({"email": {"smtp": {"host": "mail", "port": 25}}})
    assert cfg.get("secrets").get("string", {}).get("key") == "k1"
    assert cfg.get("secrets").get("other", {}) == {}
    assert cfg.get("email.smtp.host") == "mail" and cfg.get("email.smtp.port") == 25
    assert cfg.get("secrets.string.key") == "k1"
    # a dotted option name inside a mapping is nested level by level as well
    cfg.update({"secrets": {"other.key": "k2"}, "limits": {"dicts.max_key_length": 3}})
    assert cfg.get("secrets").get("other", {}).get("key") == "k2" and cfg.get("secrets.string.key") == "k1"
    assert cfg.get("limits.dicts.max_key_length", 40) == 3


def test_cli_strings_and_numbers():
    encoded = base64.urlsafe_b64encode(b'{"a": 1}').decode()
    assert decode_cli_string(encoded) == '{"a": 1}'
    for plain in ("a=1 b=2", "abcd", "", '{"a": 1}'):
        assert decode_cli_string(plain) == plain
    assert [str_to_number(t) for t in ("1", " 2.5 ", "x")] == [1, 2.5, "x"]
    assert get_argv_args(["--a", "1", "--b=2", "--flag"]) == {"a": "1", "b": "2", "flag": True}
    assert wrap_split("a.b.c") == ["a.b.c"]


def test_schema_errors_carry_their_arguments():
    assert str(exceptions.SchemaError("the message", locations=[1])) == "the message"
    missing = exceptions.SchemaMissingKeyError([["a"]], ["b"], locations=None)
    assert missing.path == [["a"]] and missing.keys == ["b"] and isinstance(missing, exceptions.SchemaError)
    for name in ("SchemaTypeError", "SchemaValueError", "SchemaClassError", "SchemaUnsupportedKeyError"):
        assert issubclass(getattr(exceptions, name), exceptions.SchemaError)
