"""User code that the modules call never takes the interpreter down. The modules look names up at
call time (module-level names, methods on `self` or on a class), call callbacks and walk the user's
own objects through their dunder methods; each such place has rows here whose substitutes return
the wrong type, empty or refill what is being walked, raise, or call the same entry point again.

The outcome of every attempt is an exception or a result: never a signal, an abort, a hang, a
sanitizer report, or a SystemError (the interpreter's sign that native code misused its API).

The rows live in tests/hostile/<module>.py, each a list ROWS of row(name, code); `code` calls
attempt(label, fn) for each case. The children run side by side, as many as there are cores."""

import os
import pathlib
import runpy
import signal
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

HERE = pathlib.Path(__file__).resolve().parent / "hostile"

# What every child starts with: the substitutes, and attempt().
PRELUDE = r'''
import sys, traceback

class StrSub(str):
    pass

class HugeIndex:
    def __index__(self):
        return 2 ** 70
    def __int__(self):
        return 2 ** 70

class HugeLen:
    def __len__(self):
        return 2 ** 62
    def __iter__(self):
        return iter(())
    def __getitem__(self, i):
        raise IndexError(i)

class HugeStrLen(str):
    def __len__(self):
        return 2 ** 62

# wrong-typed results: label -> value
WRONG = {
    "None": None, "0": 0, "-1": -1, "2**70": 2 ** 70, "empty str": "", "bytes": b"x", "object()": object(),
    "[]": [], "[1]": [1], "()": (), "(1,)": (1,), "(1, 2, 3)": (1, 2, 3), "str subclass": StrSub("x"),
    "huge __index__": HugeIndex(), "huge __len__": HugeLen(), "huge str __len__": HugeStrLen("ab"),
    "(object(), object())": (object(), object()), "(2**70, -2**70)": (2 ** 70, -(2 ** 70)),
    "(5, 1)": (5, 1), "(-100, 100)": (-100, 100),
}

def raising_factories():
    return {"ValueError": lambda: ValueError("hostile"), "KeyboardInterrupt": KeyboardInterrupt,
            "SystemExit": lambda: SystemExit(3), "RecursionError": lambda: RecursionError("hostile"),
            "MemoryError": MemoryError}

# exceptions to raise: label -> a fresh instance each time
RAISING = raising_factories()

def raiser(label):
    make = RAISING[label]
    def fn(*args, **kwargs):
        raise make()
    return fn

def dict_giving(value, *names):
    """A dict subclass whose named methods all give `value` (`__iter__` an iterator over it where it
    is a list or a tuple)."""
    def method(self, *args, **kwargs):
        return value
    def iterate(self):
        return iter(value) if isinstance(value, (list, tuple)) else value
    return type("Items", (dict,), {name: iterate if name == "__iter__" else method for name in names})

OUTCOMES = []

def attempt(label, fn):
    """Runs one case; its outcome is a result or an exception, never SystemError."""
    print("attempt:", label, flush=True)
    try:
        fn()
        outcome = "result"
    except SystemError as error:
        outcome = "SystemError: " + "".join(traceback.format_exception(error))
    except BaseException as error:
        outcome = type(error).__name__
    OUTCOMES.append((label, outcome))
    print("outcome:", label, "->", outcome.splitlines()[0], flush=True)
'''

EPILOGUE = '''
print("done", flush=True)
'''

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer", "Fatal Python error")


def row(name, code, timeout=240):
    return name, textwrap.dedent(code), timeout


def load_rows():
    rows = []
    for path in sorted(HERE.glob("*.py")):
        rows += runpy.run_path(str(path), init_globals={"row": row})["ROWS"]
    return rows


ROWS = load_rows()


def run_child(code, timeout):
    try:
        return subprocess.run([sys.executable, "-c", PRELUDE + code + EPILOGUE], capture_output=True, text=True,
                              timeout=timeout, env=dict(os.environ, PYTHONFAULTHANDLER="1"))
    except subprocess.TimeoutExpired as expired:
        return expired


@pytest.fixture(scope="module")
def outcomes():
    with ThreadPoolExecutor(max_workers=max(2, os.cpu_count() or 2)) as pool:
        done = pool.map(lambda r: run_child(r[1], r[2]), ROWS)
        return {name: result for (name, _, _), result in zip(ROWS, done)}


def test_the_rows_have_distinct_names():
    names = [name for name, _, _ in ROWS]
    assert len(names) == len(set(names))


@pytest.mark.parametrize("name", [name for name, _, _ in ROWS])
def test_hostile_collaborator_gives_an_exception_or_a_result(outcomes, name):
    result = outcomes[name]
    if isinstance(result, subprocess.TimeoutExpired):
        out = result.stdout.decode() if isinstance(result.stdout, bytes) else (result.stdout or "")
        pytest.fail(f"no outcome after {result.timeout} s; last attempts:\n{out[-2000:]}")
    last = "\n".join(result.stdout.splitlines()[-3:])
    if result.returncode < 0:
        pytest.fail(f"killed by {signal.Signals(-result.returncode).name} after:\n{last}\n{result.stderr[-3000:]}")
    assert result.returncode == 0, f"{last}\n{result.stderr[-3000:]}"
    for mark in SANITIZER_MARKS:
        assert mark not in result.stderr, f"{last}\n{result.stderr[-3000:]}"
    assert result.stdout.rstrip().endswith("done"), result.stdout[-2000:]
    system_errors = [line for line in result.stdout.splitlines() if "-> SystemError" in line]
    assert system_errors == [], "\n".join(system_errors)
