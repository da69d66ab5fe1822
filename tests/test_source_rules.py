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


# Raw item access and borrowed-reference getters: each use in module code says on its line, or in
# the comment right above it, why nothing it reads can be changed or freed before it is used.
RAW_ACCESS = re.compile(r"\b(PyList_GET_ITEM|PyTuple_GET_ITEM|PyList_GET_SIZE|PyTuple_GET_SIZE|PySequence_Fast_ITEMS"
                        r"|PySequence_Fast_GET_ITEM|PySequence_Fast_GET_SIZE|PyDict_Next|PyList_GetItem"
                        r"|PyTuple_GetItem|PyDict_GetItem\w*)\b")
# the only reasons that count: the function made the object and no user code has seen it; its type
# (and size) was checked just above; no call into Python runs between taking the item and using it
CHECKED_REASON = re.compile(r"//\s*checked:\s*(made here|type checked above|no call into Python between)\b")


def code_lines_of(path):
    """code_of, line by line, each at its own line number (raw strings and block comments become as
    many empty lines as they span)."""
    text = path.read_text()
    keep_lines = lambda match: "\n" * match.group(0).count("\n")
    text = re.sub(r'R"\((.|\n)*?\)"', lambda m: '""' + keep_lines(m), text)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"//.*", "", text)
    return re.sub(r"/\*(.|\n)*?\*/", keep_lines, text).splitlines()


def unexplained_raw_access(paths):
    found = []
    for path in paths:
        raw_lines = path.read_text().splitlines()
        for n, line in enumerate(code_lines_of(path)):
            if not RAW_ACCESS.search(line):
                continue
            # the use's own line, or the comment lines right above it (a statement may span lines:
            # the comment sits above the statement's first line)
            explained = CHECKED_REASON.search(raw_lines[n])
            above = n - 1
            while not explained and above >= 0 and raw_lines[above].strip().startswith("//"):
                explained = CHECKED_REASON.search(raw_lines[above])
                above -= 1
            first = n
            while not explained and first > 0 and not raw_lines[first - 1].rstrip().endswith((";", "{", "}")) \
                    and not raw_lines[first - 1].strip().startswith("//") and raw_lines[first - 1].strip():
                first -= 1
                explained = CHECKED_REASON.search(raw_lines[first])
                above = first - 1
                while not explained and above >= 0 and raw_lines[above].strip().startswith("//"):
                    explained = CHECKED_REASON.search(raw_lines[above])
                    above -= 1
            if not explained:
                found.append(f"{path.relative_to(ROOT)}:{n + 1}: {line.strip()}")
    return found


def test_raw_item_access_in_modules_says_why_it_is_safe():
    assert unexplained_raw_access(MODULE_SOURCES) == []


def test_the_raw_access_check_catches_an_unexplained_use(tmp_path):
    source = tmp_path / "sample.cpp"
    source.write_text("\n".join([
        "object a = borrow(PyList_GET_ITEM(list, 0));",
        "// checked: type checked above",
        "object b = borrow(PyTuple_GET_ITEM(pair, 1));",
        "object c = borrow(PyTuple_GET_ITEM(pair, 1));  // checked: made here, no user code saw it",
        "// checked: because it looked fine",
        "object d = borrow(PyDict_GetItemWithError(d, k));",
        "// checked: no call into Python between taking the item and its use",
        "object e = f(1,",
        "             borrow(PyList_GET_ITEM(list, 0)));",
    ]) + "\n")
    global ROOT
    saved, ROOT = ROOT, tmp_path
    try:
        assert unexplained_raw_access([source]) == [
            "sample.cpp:1: object a = borrow(PyList_GET_ITEM(list, 0));",
            "sample.cpp:6: object d = borrow(PyDict_GetItemWithError(d, k));",
        ]
    finally:
        ROOT = saved
