"""Markup syntax of quarv.utils.yaml.markup: the fall-back splitter of
callable arguments against a plain rendering of its algorithm, and whole
documents with markups run through a Processor (prompts, command-line values
and file inclusion off; the only callable reachable is builtins.repr)."""

import ast
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils.yaml.exceptions import MarkupError  # noqa: E402
from quarv.utils.yaml.markup import Processor  # noqa: E402

ARG_CHARS = "1 ,'\"()[]{}ab-.:=\\x"
TEXT_CHARS = "%{}()$ab.0,=_ "
MARKUPS = ["%{", "%ENV{", "%ENC{", "%EXTEND_LIST{", "${", "%CALLABLE{builtins.repr(", "}", ")}", "a.b", "l.0", "e", "HOME"]


def reference_split(args_str, seen):
    result, size = [], 0
    while args_str:
        size = args_str.find(",", size + 1)
        if args_str.count(",") == 0:
            candidate, args_str = args_str, ""
        elif size == -1:
            candidate, size = args_str, len(args_str)
        else:
            candidate = args_str[:size]
        try:
            value = seen.get(candidate) if candidate in seen else ast.literal_eval(candidate)
        except Exception:
            if not args_str:
                result.append(candidate)
            elif size == len(args_str):
                before, _, after = args_str.partition(",")
                result.append(before.rstrip())
                args_str, size = after.lstrip(), 0
            continue
        result.append(value)
        args_str, size = args_str[size + 1:].lstrip(), 0
    return result


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except (RecursionError, MemoryError) as exc:
        return ("err", type(exc))


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b) or repr(a) == repr(b))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    proc = Processor(ask=False, cli_var=False, include_file=False)
    proc.markup_already_seen = {"${a.b}": [1, 2]}
    if fdp.ConsumeBool():
        args = "".join(ARG_CHARS[b % len(ARG_CHARS)] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40)))
    else:
        args = fdp.ConsumeUnicodeNoSurrogates(60)
    got = outcome(proc._parse_callable_arguments, args)
    want = outcome(reference_split, args, proc.markup_already_seen)
    assert got[0] == want[0], (args, got, want)
    if got[0] == "ok":
        assert len(got[1]) == len(want[1]) and all(map(same, got[1], want[1])), (args, got, want)

    pieces = []
    for _ in range(fdp.ConsumeIntInRange(1, 8)):
        if fdp.ConsumeIntInRange(0, 2):
            pieces.append(MARKUPS[fdp.ConsumeIntInRange(0, len(MARKUPS) - 1)])
        else:
            pieces.append("".join(TEXT_CHARS[b % len(TEXT_CHARS)] for b in fdp.ConsumeBytes(4)))
    text = "".join(pieces)
    # only builtins.repr may be called: a text with another callable markup is not run
    if text.replace("%CALLABLE{builtins.repr(", "").find("CALLABLE") >= 0:
        return
    doc = {"a": {"b": [1, 2]}, "l": ["x", "y"], "e": [], "t": text, "n": {"u": [text, {"v": text}]}}
    try:
        out = Processor(ask=False, cli_var=False, include_file=False)(doc)
    except (MarkupError, RecursionError):
        return
    except (ValueError, TypeError, KeyError, AttributeError, IndexError, SyntaxError):
        return
    assert isinstance(out, dict), (text, out)


if __name__ == "__main__":
    run(test_one_input)
