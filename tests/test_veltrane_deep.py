"""Deep schemas and deep data in a child interpreter: every native path that recurses through them
ends in RecursionError (or the SchemaError a conversion makes of it) or a result, never in a signal,
with the default recursion limit, a raised one, and on a thread with a small stack."""

import textwrap

import pytest
from fresh import run_fresh

DEPTH = 100_000

# name, the code that builds `run` (a function of no arguments) from DEPTH
ENTRY_POINTS = [
    ("Schema.__str__", """
        s = Schema(int)
        for _ in range(DEPTH):
            s = Schema(s)
        run = lambda: str(s)
    """),
    ("Schema.__repr__", """
        s = Optional(int)
        for _ in range(DEPTH):
            s = Default(s, None)
        run = lambda: repr(s)
    """),
    ("And.__repr__", """
        s = And(int)
        for _ in range(DEPTH):
            s = And(s)
        run = lambda: repr(s)
    """),
    ("Or.__str__", """
        s = Or(int, str)
        for _ in range(DEPTH):
            s = Or(str, s)
        run = lambda: str(s)
    """),
    ("Schema.validate of nested schema objects", """
        s = Schema(int)
        for _ in range(DEPTH):
            s = Schema(s)
        run = lambda: s.validate(1)
    """),
    ("And and Or validate", """
        s = Or(int)
        for i in range(DEPTH):
            s = And(s) if i % 2 else Or(str, s)
        run = lambda: s.validate(1)
    """),
    ("Default.validate", """
        s = Default(int, 0)
        for _ in range(DEPTH):
            s = Default(s, 0)
        run = lambda: s.validate(1)
    """),
    ("ListOf.validate", """
        s = ListOf(int)
        data = [1]
        for _ in range(DEPTH):
            s = ListOf(s)
            data = [data]
        run = lambda: s.validate(data)
    """),
    ("dictionary rule", """
        schema, data = {}, {}
        node, cursor = schema, data
        for _ in range(DEPTH):
            node["k"] = node = {}
            cursor["k"] = cursor = {}
        run = lambda: Schema(schema).validate(data, top=False)
    """),
    ("dictionary rule under wildcard and optional keys", """
        schema, data = {}, {}
        node, cursor = schema, data
        for i in range(DEPTH):
            node[Any() if i % 2 else Optional("k")] = node = {}
            cursor["k"] = cursor = {}
        run = lambda: Schema(schema).validate(data, top=False)
    """),
    ("a schema nested in itself, with deep data", """
        inner = {}
        s = Schema(inner)
        inner[Optional("k")] = s
        data = {}
        cursor = data
        for _ in range(DEPTH):
            cursor["k"] = cursor = {}
        run = lambda: s.validate(data)
    """),
    ("Use calling a validation again", """
        s = Use(lambda value: s.validate(value + 1))
        run = lambda: s.validate(0)
    """),
    ("PathAwareUse calling a validation again", """
        s = PathAwareUse(lambda path, value: s.validate(value + 1))
        run = lambda: s.validate(0)
    """),
    ("callable rule calling a validation again", """
        s = Schema(lambda value: s.validate(value + 1))
        run = lambda: s.validate(0)
    """),
    ("Path.__hash__", """
        p = Path((1,))
        for _ in range(DEPTH):
            p = Path((p,))
        run = lambda: hash(p)
    """),
    ("Path.__eq__", """
        p, q = Path((1,)), Path((1,))
        for _ in range(DEPTH):
            p, q = Path((p,)), Path((q,))
        run = lambda: p == q
    """),
    ("Path.missing_from with deep keys", """
        p, q = Path((1,)), Path((1,))
        for _ in range(DEPTH):
            p, q = Path((p,)), Path((q,))
        run = lambda: Path((Any(), q)).missing_from([(5, p)])
    """),
]

# how the child runs it: a recursion limit, and the thread it runs on
MODES = {
    "default limit": ("", "outcome()"),
    "raised limit": ("sys.setrecursionlimit(50_000)\n", "outcome()"),
    "small thread stack": ("threading.stack_size(512 * 1024)\n",
                           "thread = threading.Thread(target=outcome)\nthread.start()\nthread.join()"),
}

CHILD = """
import sys, threading
from quarv.utils.veltrane import And, Any, Default, ListOf, Optional, Or, Schema, Use
from quarv.utils.veltrane import Path, PathAwareUse
from quarv.utils.exceptions import SchemaError
DEPTH = {depth}
{mode}{setup}
def outcome():
    try:
        run()
        print("result")
    except RecursionError:
        print("RecursionError")
    except Exception as error:
        # a conversion reports what its callable raised as a SchemaError caused by it
        cause = error
        while cause is not None and not isinstance(cause, RecursionError):
            cause = cause.__cause__ or cause.__context__
        kind = "SchemaError" if isinstance(error, SchemaError) else type(error).__name__
        print(kind, "from", type(cause).__name__)
{runner}
"""


@pytest.mark.parametrize("mode", list(MODES))
@pytest.mark.parametrize("setup", [row[1] for row in ENTRY_POINTS], ids=[row[0] for row in ENTRY_POINTS])
def test_deep_input_raises_recursion_error_or_gives_a_result(setup, mode):
    limit, runner = MODES[mode]
    code = CHILD.format(depth=DEPTH, mode=limit, setup=textwrap.dedent(setup), runner=runner)
    result = run_fresh(code, timeout=300, env={"PYTHONMALLOC": "malloc"})
    assert result.stdout.strip() in ("RecursionError", "SchemaError from RecursionError", "result"), \
        result.stderr[-4000:]
