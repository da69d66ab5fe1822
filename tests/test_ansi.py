"""quarv.utils.ansi: removal of CSI escape sequences, checked against the pattern's own `sub`."""

import random
import re
import shutil
import subprocess

import pytest

from quarv.utils import ansi
from quarv.utils.ansi import escape

PATTERN_TEXT = r"(\x9B|\x1B\[)[0-?]*[ -\/]*[@-~]"
# The documented pattern compiled anew (re's cache emptied first), so that it is not the module's
# own object and `escape` never takes it for its own.
re.purge()
REFERENCE = re.compile(PATTERN_TEXT)
assert REFERENCE is not ansi.ESCAPE_SEQUENCE
ESC = "\x1b"


def reference(line):
    return REFERENCE.sub("", line)


def assert_same_text(result, expected):
    # equal, exact str, and in the same canonical form (an ASCII result must be a compact ASCII str)
    assert result == expected
    assert type(result) is str
    assert result.isascii() == expected.isascii()
    assert hash(result) == hash(expected)


def test_module_namespace_and_pattern():
    assert [n for n in vars(ansi) if not n.startswith("__")] == ["re", "ESCAPE_SEQUENCE", "escape"]
    assert ansi.__doc__ is None and not hasattr(ansi, "__all__")
    pattern = ansi.ESCAPE_SEQUENCE
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == PATTERN_TEXT and len(PATTERN_TEXT) == 31
    assert pattern.flags == re.UNICODE and pattern.groups == 1
    assert pattern.search("a\x1b[31mb").group(1) == "\x1b["
    assert pattern.findall("\x9b1m \x1b[2J") == ["\x9b", "\x1b["]
    assert escape.__doc__ == "\n    escape ansi by removing escape sequences. \n    "
    assert escape(line="\x1b[1mx") == "x"


@pytest.mark.parametrize("line, expected", [
    ("", ""),
    ("no escapes here", "no escapes here"),
    (ESC + "[31mred" + ESC + "[0m", "red"),
    (ESC + "[1;31;42mX", "X"),
    ("\x9b31mX", "X"),
    (ESC + "[[A", "A"),                      # the second "[" is a final character
    ("ends in " + ESC + "[", "ends in " + ESC + "["),
    ("ends in " + ESC + "[12", "ends in " + ESC + "[12"),
    (ESC + "[ 1m", ESC + "[ 1m"),            # a parameter may not follow an intermediate
    (ESC + "]0;title\x07", ESC + "]0;title\x07"),
    (ESC + "[2J" + ESC + "[?25l" + ESC + "[m" + ESC + "[ q|", "|"),
    (ESC + "(B" + ESC + "7" + ESC + "c" + ESC + "OA" + ESC, ESC + "(B" + ESC + "7" + ESC + "c" + ESC + "OA" + ESC),
    (ESC + "[3\n1m", ESC + "[3\n1m"),
    (ESC + ESC + "[1m" + ESC + "[" + ESC + "[2mz", ESC + ESC + "[z"),
    ("\x9f\x9a\x9c", "\x9f\x9a\x9c"),         # other 8-bit introducers stay
    ("caf\xe9\x9b1m!", "caf\xe9!"),
    ("\x9b1m only csi was non-ASCII", " only csi was non-ASCII"),
    ("Ж" + ESC + "[1mx", "Жx"),
    ("\U0001F600\x9b2J" + ESC + "[0m.", "\U0001F600."),
])
def test_documented_cases(line, expected):
    assert reference(line) == expected
    assert_same_text(escape(line), expected)


def test_text_without_sequences_is_handed_back_itself():
    # what the pattern's `sub` does for an exact str; a subclass comes back as an exact copy
    for line in ["plain", "caf\xe9", "Жжж", "\U0001F600"]:
        assert escape(line) is line
    class Text(str):
        pass
    for line in [Text("plain"), Text("a\x1b[1mb"), Text("")]:
        assert_same_text(escape(line), reference(line))


ALPHABET = (
    [ESC] * 6 + ["\x9b"] * 3 + ["["] * 4
    + list("0123456789:;<=>?") + list(" !\"#$%&'()*+,-./")
    + list("@ABCDHJKmqz[\\]^_`{|}~")
    + ["a", "Z", "\n", "\t", "\x07", "\x7f", "\x80", "\x9a", "\x9c", "\xe9", "\xff"]
)
WIDE = ["Ж", "中", "\u2028", "\uffff"]
ASTRAL = ["\U0001F600", "\U00010000", "\U0010FFFF"]


def random_line(rng, extra):
    alphabet = ALPHABET + extra
    if rng.random() < 0.3:
        # long plain stretches, so that sequences straddle the scanner's blocks
        pieces = []
        while len(pieces) < rng.randrange(1, 12):
            pieces.append("x" * rng.randrange(0, 150))
            pieces.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 8))))
        return "".join(pieces)
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))


@pytest.mark.parametrize("extra", [[], WIDE, ASTRAL, WIDE + ASTRAL], ids=["latin1", "ucs2", "ucs4", "mixed"])
def test_random_texts_match_the_pattern(extra):
    rng = random.Random(20261210 + len(extra))
    for _ in range(4000):
        line = random_line(rng, extra)
        expected = reference(line)
        result = escape(line)
        assert_same_text(result, expected)
        assert (result is line) == (expected is line), repr(line)


@pytest.mark.parametrize("extra", [[], WIDE, ASTRAL], ids=["latin1", "ucs2", "ucs4"])
def test_long_texts_match_the_pattern(extra):
    # texts of several thousand characters, as whole log files are, take another route than lines
    rng = random.Random(7 + len(extra))
    lines = ["x" * 5000 + "\x9b1m", "\x9b2J" * 2000 + "ok", (ESC + "[1m") * 3000]  # only the CSIs were non-ASCII
    lines += ["".join(random_line(rng, extra) for _ in range(rng.randrange(100, 400))) for _ in range(60)]
    for line in lines:
        assert len(line) > 2048
        expected = reference(line)
        result = escape(line)
        assert_same_text(result, expected)
        assert (result is line) == (expected is line)


@pytest.mark.parametrize("command", [
    ["ls", "--color=always", "-l", "-a"],
    ["grep", "--color=always", "-r", "-n", "ba"],
])
def test_real_coloured_terminal_output(tmp_path, command):
    if not shutil.which(command[0]):
        pytest.skip(f"{command[0]} is not installed")
    (tmp_path / "subdir").mkdir()
    (tmp_path / "run.sh").write_text("#!/bin/sh\necho bar\n")
    (tmp_path / "run.sh").chmod(0o755)
    (tmp_path / "notes.txt").write_text("foo bar baz\nnothing\nbazaar \u00e9t\u00e9 \u4e2d\u6587 ba\n")
    (tmp_path / "link").symlink_to("notes.txt")
    env = {"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin", "TERM": "xterm-256color",
           "LS_COLORS": "di=01;34:ln=01;36:ex=01;32:*.txt=00;33", "GREP_COLORS": "ms=01;31:fn=35:ln=32:se=36"}
    coloured = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, env=env, timeout=30).stdout
    plain_command = [word.replace("always", "never") for word in command]
    plain = subprocess.run(plain_command, cwd=tmp_path, capture_output=True, text=True, env=env, timeout=30).stdout
    assert ESC + "[" in coloured
    assert_same_text(escape(coloured), reference(coloured))
    assert escape(coloured) == plain


def test_rebound_pattern_is_used(monkeypatch):
    monkeypatch.setattr(ansi, "ESCAPE_SEQUENCE", re.compile("[0-9]"))
    assert escape("a1b2" + ESC + "[m") == "ab" + ESC + "[m"

    class Recorder:
        def sub(self, replacement, line):
            return ("sub", replacement, line)

    monkeypatch.setattr(ansi, "ESCAPE_SEQUENCE", Recorder())
    assert escape("x") == ("sub", "", "x")
    # a fresh compilation of the same text is not the module's own object, yet behaves the same
    monkeypatch.setattr(ansi, "ESCAPE_SEQUENCE", REFERENCE)
    assert escape("\x1b[1mx") == "x"


def test_missing_pattern_raises_name_error(monkeypatch):
    monkeypatch.delattr(ansi, "ESCAPE_SEQUENCE")
    with pytest.raises(NameError, match="ESCAPE_SEQUENCE"):
        escape("x")


@pytest.mark.parametrize("line", [b"\x1b[1mx", bytearray(b"x"), None, 3, ["x"]])
def test_wrong_argument_types_raise_the_patterns_error(line):
    with pytest.raises(TypeError) as expected:
        ansi.ESCAPE_SEQUENCE.sub("", line)
    with pytest.raises(TypeError) as raised:
        escape(line)
    assert str(raised.value) == str(expected.value)


def test_wrong_calls_raise_the_interpreters_errors():
    namespace = {}
    exec("def escape(line): pass", namespace)  # the Python function it stands for
    escape = namespace["escape"]
    for args, kwargs in [((), {}), (("a", "b"), {}), (("a",), {"line": "b"}), ((), {"text": "a"})]:
        with pytest.raises(TypeError) as expected:
            escape(*args, **kwargs)
        with pytest.raises(TypeError) as raised:
            ansi.escape(*args, **kwargs)
        assert str(raised.value) == str(expected.value)
