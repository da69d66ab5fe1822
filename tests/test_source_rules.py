"""Rules of the C++ sources that a compiler cannot enforce, checked over the tree."""

import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(p for folder in ("native", "src", "tests/runtime") for p in (ROOT / folder).rglob("*.[ch]pp"))
MODULE_SOURCES = [p for p in SOURCES if p.is_relative_to(ROOT / "src")]
INTERNALS = ROOT / "native/include/native/internals.hpp"

# The interpreter's private API and the struct fields whose meaning is tied to one version.
PRIVATE = re.compile(r"\b_Py[A-Za-z]\w*|\b(ma_version_tag|tp_version_tag|d_member|co_argcount|co_posonlyargcount"
                     r"|co_kwonlyargcount|co_flags)\b")


def code_of(path):
    """The source without its comments and string literals, so that prose does not count."""
    text = path.read_text()
    text = re.sub(r'R"\((.|\n)*?\)"', '""', text)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"//.*", "", text)
    return re.sub(r"/\*(.|\n)*?\*/", "", text)


def offending_lines(paths, pattern):
    return [f"{p.relative_to(ROOT)}:{n}: {line.strip()}" for p in paths
            for n, line in enumerate(code_of(p).splitlines(), 1) if pattern.search(line)]


def test_private_interpreter_api_only_in_the_internals_header():
    assert offending_lines([p for p in SOURCES if p != INTERNALS], PRIVATE) == []


def test_modules_raise_and_catch_through_the_runtime():
    # error_already_set normalises the error when made, which needs Python calls (and recursion
    # headroom); modules throw native::Error and take errors with native::Caught
    assert offending_lines(MODULE_SOURCES, re.compile(r"error_already_set")) == []


def test_modules_keep_no_state_in_cpp_statics():
    # a module imported afresh must get state of its own, and a dropped one must be freed: Python
    # objects live in the module state; standard-library objects needed for the process are ProcessValues
    static_variable = re.compile(r"\bstatic\s+(?!constexpr\b|const\s+char\b|inline\b)(const\s+)?[\w:]+(<[^;(]*>)?"
                                 r"\s*\**\s*\w+\s*(=|;|\{|\[)")
    once = re.compile(r"\bProcessValue\b")
    found = [line for line in offending_lines(MODULE_SOURCES, static_variable) if not once.search(line)]
    assert found == []


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format is not installed")
def test_sources_follow_the_format_file():
    result = subprocess.run(["clang-format", "--dry-run", "-Werror", *map(str, SOURCES)], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[:4000]
