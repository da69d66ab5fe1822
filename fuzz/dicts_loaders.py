"""Command-line value loaders of quarv.utils.dicts against a plain rendering
of what they do (json, shlex, literal_eval)."""

import ast
import base64
import json
import os
import shlex
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

with atheris.instrument_imports():
    from quarv.utils import dicts
    from quarv.utils.strings import decode_cli_string


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except RecursionError:
        return ("err", RecursionError)
    except (ValueError, TypeError, SyntaxError, MemoryError, KeyError) as exc:
        return ("err", type(exc))


def kv_reference(text):
    out = {}
    for word in shlex.split(decode_cli_string(text)):
        key, value = word.split("=", maxsplit=1)
        out.update({key: value})
    return out


def json_reference(text):
    loaded = json.loads(decode_cli_string(text))
    if not isinstance(loaded, dict):
        raise ValueError
    return loaded


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 3)
    text = fdp.ConsumeUnicodeNoSurrogates(400)
    if mode == 3:
        text = base64.urlsafe_b64encode(text.encode()).decode()
    got = outcome(dicts.load_dict_from_json_string, text)
    want = outcome(json_reference, text)
    assert got[0] == want[0] and (got[0] == "err" or got == want), (text, got, want)
    if got[0] == "err":
        assert issubclass(got[1], ValueError) or got[1] is RecursionError, (text, got)

    got = outcome(dicts.load_dict_from_kv_string, text)
    want = outcome(kv_reference, text)
    assert got[0] == want[0] and (got[0] == "err" or list(got[1].items()) == list(want[1].items())), (text, got, want)

    got = outcome(decode_cli_string, text)
    assert got[0] == "ok" and isinstance(got[1], str), (text, got)

    if mode == 2:
        items = [fdp.ConsumeUnicodeNoSurrogates(60) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        text = repr(items)
    got = outcome(dicts.load_dict_from_list, text, bool(mode & 1))
    assert got[0] == "err" or isinstance(got[1], dict), (text, got)


if __name__ == "__main__":
    run(test_one_input)
