"""Running code in a fresh interpreter: the one helper the tests share for child processes (also the
fixture `fresh_python` of conftest.py)."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest


def run_fresh(code, *args, env=None, timeout=120, check=True, cwd=None):
    """Runs `code` (dedented) with `python -c` and the arguments; env adds to the environment.

    A child ended by a signal, or past its timeout, fails the test with what it printed. With
    check, a non-zero exit fails it too. Returns the completed process."""
    full_env = dict(os.environ, PYTHONFAULTHANDLER="1", **(env or {}))
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                                text=True, timeout=timeout, env=full_env, cwd=cwd)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"no outcome after {timeout} s\n{expired.stdout or ''}\n{expired.stderr or ''}"[-4000:])
    if result.returncode < 0:
        pytest.fail(f"killed by {signal.Signals(-result.returncode).name}\n{result.stderr[-4000:]}")
    if check:
        assert result.returncode == 0, result.stderr[-4000:]
    return result
