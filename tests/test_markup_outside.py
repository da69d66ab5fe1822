"""quarv.utils.yaml.markup: values from outside the document: included files (real files, with and
without the caller's loader class), environment variables, prompts (through a real pseudo-terminal),
encoded secrets and command-line values."""

import logging
import os
import pty
import select
import subprocess
import sys
import textwrap
import time

import pytest
import yaml
from fresh import run_fresh

from quarv.configuration import configuration
from quarv.utils import utils as framework_utils
from quarv.utils.locations import Location, LocSafeLoader
from quarv.utils.mirrane import (BaseSecretStringRepresenter, ObscuringSecretStringRepresenter,
                                 PlainTextSecretStringRepresenter, SecretString)
from quarv.utils.yaml import markup
from quarv.utils.yaml.exceptions import MarkupError
from quarv.utils.yaml.markup import Processor

WARNING = ("Using the default YAML encoding key since no key was specified in configuration.\n"
           "THIS IS A SHARED KEY AND IS NOT SECURE, PLEASE RUN `quarv secret keygen` AND ADD TO YOUR quarv.conf "
           "FILE BEFORE ENCODING ANY VALUES.")


def failure_of(processor, data, **kwargs):
    with pytest.raises(MarkupError) as caught:
        processor(data, **kwargs)
    return caught.value


# ----- included files -------------------------------------------------------------------------------------

@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    contents = {"conf.yaml": "host: h\nport: '%{p}'\n", "hello.yaml": "hello\n", "five.yaml": "5\n", "empty.yaml": "",
                "x.yaml": "x\n", "self.yaml": "host: h\nalias: '%{host}'\n", "bad.yaml": "a: [1\n", "again.yaml": "'%ENV{INCLUDED}'\n"}
    for name, content in contents.items():
        (tmp_path / name).write_text(content)
    return tmp_path


@pytest.mark.parametrize("text, expected", [
    ("%INCLUDE{ conf.yaml }", {"host": "h", "port": 8080}),
    ("prefix %INCLUDE{conf.yaml}", {"host": "h", "port": 8080}),
    ("say %INCLUDE{hello.yaml}!", "say hello!"),
    ("%INCLUDE{five.yaml}", 5), ("n=%INCLUDE{five.yaml}", 5), ("%INCLUDE{empty.yaml}", None),
    ("%INCLUDE{}", "%INCLUDE{}"),
])
def test_includes_without_a_loader_class(files, text, expected):
    data = {"p": 8080, "t": text}
    assert Processor()(data)["t"] == expected
    assert data["t"] == text


def test_one_load_serves_every_copy_of_a_markup(files, monkeypatch):
    opened = []
    real_open = open

    def counting_open(*args, **kwargs):
        opened.append(args[0])
        return real_open(*args, **kwargs)

    monkeypatch.setattr("builtins.open", counting_open)
    assert Processor()({"t": "%INCLUDE{x.yaml} and %INCLUDE{x.yaml}"}) == {"t": "x and x"}
    assert opened == ["x.yaml"]


def test_included_text_is_scanned_again(files, monkeypatch):
    monkeypatch.setenv("INCLUDED", "from env")
    assert Processor()({"t": "%INCLUDE{again.yaml}"}) == {"t": "from env"}


def test_include_failures_without_a_loader_class(files):
    tree = {"t": {"%INCLUDE{nope.yaml}": {}}}
    error = failure_of(Processor(), {"t": "%INCLUDE{nope.yaml}"}, locations=tree)
    assert type(error.__cause__) is FileNotFoundError
    assert isinstance(failure_of(Processor(), {"t": "%INCLUDE{bad.yaml}"}).__cause__, yaml.YAMLError)
    assert tree == {"t": {"%INCLUDE{nope.yaml}": {}}}


class RecordingLoader:
    """A caller's loader class: loads with the position-recording loader and processes with the
    processor it was given."""

    made = []

    def __init__(self, markupprocessor):
        self.processor = markupprocessor
        self.locations = "unset"
        RecordingLoader.made.append(self)

    def load(self, path, locations=None):
        self.locations = locations
        tree = Location()
        with open(path) as stream:
            loader = LocSafeLoader(stream, locations=tree, file_name=path)
            try:
                data = loader.get_single_data()
            finally:
                loader.dispose()
        if locations is not None:
            locations.update(tree)
        return self.processor(data, locations=locations)


@pytest.fixture
def loader_class():
    RecordingLoader.made = []
    return RecordingLoader


def loaded(text):
    tree = Location()
    loader = LocSafeLoader(text, locations=tree, file_name="main.yaml")
    try:
        return loader.get_single_data(), tree
    finally:
        loader.dispose()


def test_includes_with_a_loader_class_graft_their_location_tree(files, loader_class):
    data, tree = loaded("p: 8080\nhosts:\n- '%INCLUDE{self.yaml}'\n")
    processor = Processor(yaml_loader_cls=loader_class)
    assert processor(data, locations=tree) == {"p": 8080, "hosts": [{"host": "h", "alias": "h"}]}
    [loader] = loader_class.made
    nested = loader.processor
    assert type(nested) is Processor and nested is not processor and nested.kwargs == processor.kwargs
    grafted = tree["hosts"][0]["%INCLUDE{self.yaml}"]
    assert grafted is loader.locations and isinstance(grafted, dict) and type(grafted) is dict
    assert str(grafted["alias"]) == "self.yaml line:2 column:1"


def test_loader_route_without_a_tree_or_without_a_record(files, loader_class):
    processor = Processor(yaml_loader_cls=loader_class)
    assert processor({"t": "%INCLUDE{x.yaml}"}) == {"t": "x"}
    assert loader_class.made[-1].locations is None
    empty = {}
    assert processor({"t": "%INCLUDE{x.yaml}"}, locations=empty) == {"t": "x"}
    given = loader_class.made[-1].locations
    assert type(given) is dict and given is not empty and empty == {}
    other = {"elsewhere": {}}
    processor({"t": ["%INCLUDE{x.yaml}", "%INCLUDE{x.yaml}"]}, locations=other)
    assert other == {"elsewhere": {}} and len(loader_class.made) == 4


def test_a_subclass_builds_its_own_kind_for_included_files(files, loader_class):
    class Mine(Processor):
        pass

    Mine(yaml_loader_cls=loader_class, ask=0)({"t": "%INCLUDE{x.yaml}"})
    nested = loader_class.made[-1].processor
    assert type(nested) is Mine and nested.kwargs["ask"] == 0


def test_include_in_a_key_grafts_under_the_key_text(files, loader_class):
    data, tree = loaded("m:\n  '%INCLUDE{x.yaml}': 1\n")
    assert Processor(yaml_loader_cls=loader_class)(data, locations=tree) == {"m": {"x": 1}}
    assert "%INCLUDE{x.yaml}" in tree["m"]


def test_a_key_error_of_the_loader_becomes_the_short_message(files):
    class Failing:
        def __init__(self, markupprocessor):
            pass

        def load(self, path, locations=None):
            raise KeyError(path)

    error = failure_of(Processor(yaml_loader_cls=Failing), {"hosts": ["%INCLUDE{x.yaml}"]})
    assert str(error.__cause__) == "Caught error while processing markups: \nIndex:  hosts.0\nMarkup: %INCLUDE{x.yaml}\n"
    assert type(error.__cause__.__cause__) is KeyError


# ----- environment variables ---------------------------------------------------------------------------------

def test_environment_variables(monkeypatch):
    monkeypatch.setenv("HOME", "/home/u")
    monkeypatch.setenv("PORT", "8080")
    monkeypatch.setenv("A", "a")
    processor = Processor()
    assert processor({"h": "%ENV{HOME}/x", "s": "%ENV{ HOME }", "p": "%ENV{PORT}", "a": "%ENV{A}-%ENV{A}"}) == {
        "h": "/home/u/x", "s": "/home/u", "p": "8080", "a": "a-a"}
    monkeypatch.delenv("HOME")
    assert processor({"h": "%ENV{HOME}/x"}) == {"h": "/x"}


def test_the_environment_is_read_once_per_markup(monkeypatch):
    reads = []

    class Environ(dict):
        def get(self, key, default=None):
            reads.append(key)
            return super().get(key, default)

    monkeypatch.setattr(markup.os, "environ", Environ(A="1", B="2"))
    assert Processor()({"t": "%ENV{A}%ENV{A}%ENV{B}"}) == {"t": "112"}
    assert reads == ["A", "B"]


# ----- prompts ------------------------------------------------------------------------------------------------

def run_on_a_terminal(code, answers, timeout=60):
    """Runs code in a child interpreter whose standard input and output are a pseudo-terminal; each
    answer is typed once its prompt has appeared. Gives everything the terminal showed."""
    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdin=slave, stdout=slave,
                             stderr=subprocess.PIPE, close_fds=True)
    os.close(slave)
    shown = b""
    deadline = time.monotonic() + timeout
    pending = list(answers)
    try:
        while time.monotonic() < deadline:
            if pending and shown.endswith(pending[0][0].encode()):
                os.write(master, pending.pop(0)[1].encode() + b"\n")
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
            elif child.poll() is not None:
                break
    finally:
        os.close(master)
        child.wait(timeout=10)
    assert child.returncode == 0, child.stderr.read().decode()[-3000:]
    return shown.decode().replace("\r\n", "\n")


def test_a_prompt_through_a_real_terminal():
    shown = run_on_a_terminal("""
        from quarv.utils.yaml.markup import Processor
        result = Processor()({"device": {"password": "%ASK{Password please}", "hosts": ["%ASK{}"]}})
        print("RESULT", repr(result))
    """, [("Password please: ", "s3cret"), ("Enter value for device.hosts.0: ", "12")])
    assert "\nEnter value for device.password\nPassword please: s3cret\n" in shown
    assert "\nEnter value for device.hosts.0: 12\n" in shown
    assert "RESULT {'device': {'password': 's3cret', 'hosts': ['12']}}" in shown


def test_ask_for_input_through_a_real_terminal():
    shown = run_on_a_terminal("""
        from quarv.utils.yaml.markup import ask_for_input
        answer = ask_for_input(prompt_text="Name: ")
        print("|" + answer + "|")
    """, [("Name: ", "ada")])
    assert shown == "Name: ada\n|ada|\n"


def test_the_end_of_input_at_a_prompt_is_reported():
    result = run_fresh("""
        import os, sys
        sys.stdin = open(os.devnull)   # standard input at its end
        from quarv.utils.yaml.markup import Processor
        try:
            Processor()({"k": "%ASK{}"})
        except Exception as error:
            print(type(error).__name__, type(error.__cause__).__name__)
    """, timeout=60)
    assert result.stdout.endswith("MarkupError EOFError\n"), result.stderr


def test_prompt_texts_and_repeated_prompts(monkeypatch):
    prompts = []
    monkeypatch.setattr(markup, "ask_for_input", lambda prompt_text: prompts.append(prompt_text) or str(len(prompts)))
    processor = Processor()
    assert processor({"a": "%ASK{x}-%ASK{x}", "b": "%ASK{x}-%ASK{y}", "%ASK{}": 0}) == {"a": "1-1", "b": "2-3", "4": 0}
    assert prompts == ["\nEnter value for a\nx: ", "\nEnter value for b\nx: ", "\nEnter value for b\ny: ",
                       "\nEnter value for : "]


def test_a_long_key_path_is_wrapped_into_lines(monkeypatch):
    prompts = []
    monkeypatch.setattr(markup, "ask_for_input", lambda prompt_text: prompts.append(prompt_text) or "v")
    monkeypatch.setattr(markup, "wrap_split", lambda text: text.split("."))
    Processor()({"one": {"two": "%ASK{}"}})
    assert prompts == ["\nEnter value for one\ntwo: "]


# ----- encoded secrets -------------------------------------------------------------------------------------------

@pytest.fixture
def config():
    saved = configuration._root
    configuration.clear()
    yield configuration
    configuration._root = saved


@pytest.fixture
def fresh_warnings(monkeypatch):
    for cls in (BaseSecretStringRepresenter, ObscuringSecretStringRepresenter, PlainTextSecretStringRepresenter):
        monkeypatch.setattr(cls, "LOGGED_KEY_WARNING", False)


def warnings_in(caplog):
    ours = [r for r in caplog.records if r.name == "quarv.utils.yaml.markup"]
    assert all(not r.args and r.levelno == logging.WARNING for r in ours)
    return [r.getMessage() for r in ours]


def test_encoded_secrets_and_the_default_key_warning_once_per_class(config, fresh_warnings, caplog):
    encoded = SecretString.from_plaintext("hunter2").data
    with caplog.at_level(logging.DEBUG, logger="quarv.utils.yaml.markup"):
        assert Processor()({"p": f"%ENC{{{encoded}}}", "q": f"pw=%ENC{{ {encoded} , prefix = db }}"}) == {
            "p": "hunter2", "q": "pw=hunter2"}
        Processor()({"p": f"%ENC{{{encoded}}}"})
    assert warnings_in(caplog) == [WARNING]
    assert ObscuringSecretStringRepresenter.__dict__["LOGGED_KEY_WARNING"] is True
    assert BaseSecretStringRepresenter.__dict__["LOGGED_KEY_WARNING"] is False
    caplog.clear()
    plain = SecretString.from_plaintext("open", representer_cls=PlainTextSecretStringRepresenter).data
    config.set("secrets.p.representer", PlainTextSecretStringRepresenter)
    with caplog.at_level(logging.DEBUG, logger="quarv.utils.yaml.markup"):
        assert Processor()({"p": f"%ENC{{{plain}, prefix=p}}"}) == {"p": "open"}
    assert warnings_in(caplog) == [WARNING]


def test_a_configured_key_logs_nothing(config, fresh_warnings, caplog):
    config.set("secrets.string.key", "another key")
    encoded = SecretString.from_plaintext("hunter2").data
    with caplog.at_level(logging.DEBUG, logger="quarv.utils.yaml.markup"):
        assert Processor()({"p": f"%ENC{{{encoded}}}"}) == {"p": "hunter2"}
    assert warnings_in(caplog) == []


def test_an_undecodable_secret_fails_before_any_warning(config, fresh_warnings, caplog):
    with caplog.at_level(logging.DEBUG, logger="quarv.utils.yaml.markup"):
        error = failure_of(Processor(), {"p": "%ENC{not*base64}"})
    assert "has the wrong format" in str(error.__cause__)
    assert warnings_in(caplog) == []


# ----- command-line values ------------------------------------------------------------------------------------------

def cli(arguments, text):
    processor = Processor()
    processor.arguments = arguments
    return processor({"t": text})["t"]


@pytest.mark.parametrize("arguments, text, expected", [
    ({"port": "8080"}, "%CLI{port}", 8080), ({"port": "8080"}, "h:%CLI{port}", "h:8080"),
    ({}, "%CLI{port, default=80}", 80), ({}, "%CLI{port}", ""), ({}, "%CLI{port, default=}", ""),
    ({"a": "1", "b": "2"}, "%CLI{a}%CLI{b}", 12), ({"ids": "[1, 2, x]"}, "%CLI{ids}", [1, 2, "x"]),
    ({"ids": "[]"}, "%CLI{ids}", []), ({"ids": "[a,,b]"}, "%CLI{ids}", ["a", "b"]),
    ({"ids": "[a, ,b]"}, "%CLI{ids}", ["a", "", "b"]), ({"ids": "[1,2] tail"}, "%CLI{ids}", [1, 2]),
    ({"ids": " [1,2]"}, "%CLI{ids}", " [1,2]"), ({"ids": "[1,2]"}, "x %CLI{ids}", [1, 2]),
    ({"flag": True}, "on=%CLI{flag}", True), ({"f": "1.5"}, "%CLI{f}", 1.5),
])
def test_command_line_values(arguments, text, expected):
    result = cli(arguments, text)
    assert result == expected and type(result) is type(expected)


def test_command_line_values_come_from_the_process_arguments():
    result = run_fresh("""
        from quarv.utils.yaml.markup import Processor
        print(repr(Processor()({"port": "%CLI{port}", "name": "%CLI{name, default=none}", "v": "%CLI{verbose}"})))
    """, "--port", "8080", "--verbose", timeout=60)
    assert result.stdout == "{'port': 8080, 'name': 'none', 'v': True}\n", result.stderr


def test_the_arguments_are_asked_through_get(monkeypatch):
    asked = []

    class Arguments:
        def get(self, key, default):
            asked.append((key, default))
            return "7"

    monkeypatch.setattr(framework_utils, "get_argv_args", lambda argv: Arguments())
    assert Processor()({"t": "%CLI{ k , default = d }"}) == {"t": 7}
    assert asked == [("k", "d ")]
