"""The FTP plug-in Dorvex against a real FTP server on the loopback interface (pyftpdlib, run by a
fixture on a free port, with a temporary user and folder)."""

import builtins
import calendar
import datetime
import errno
import ftplib
import inspect
import logging
import json
import os
import pwd
import shutil
import stat as libstat
import subprocess
import struct
import sys
import tempfile
import textwrap
import threading
import time
import types
from pathlib import Path
from urllib.parse import urlunsplit

import pytest

if os.environ.get("QUARV_SANITIZED") == "1":
    # Importing `crypt` runs the C library's crypt(), which crashes under the preloaded address
    # sanitizer; the FTP server wants it only for logins with system accounts, which no test makes.
    sys.modules.setdefault("crypt", None)

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler  # noqa: E402
from pyftpdlib.ioloop import IOLoop  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

import quarv.utils.dorvex.plugins.localhost.ftp.dorvex as dorvex  # noqa: E402
from quarv.datastructures import AttrDict  # noqa: E402
from quarv.utils.dorvex.exceptions import TimeLimitExceededOnFileTransfer  # noqa: E402
from quarv.utils.dorvex.plugins.localhost import Dorvex as DorvexLinuxBase  # noqa: E402
from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex, filemode_to_mode  # noqa: E402

USER, PASSWORD = "alice", "s3cret"
BLOCK = 8192  # the FTP client's block size
MODULE = "quarv.utils.dorvex.plugins.localhost.ftp.dorvex"


# ----- the server ---------------------------------------------------------------------------------

class Handler(FTPHandler):
    """Records every command line; answers LIST and NLST with canned lines when given some."""

    commands = None
    list_lines = None
    nlst_names = None

    def pre_process_command(self, line, cmd, arg):
        self.commands.append(line)
        super().pre_process_command(line, cmd, arg)

    def ftp_LIST(self, path):
        if self.list_lines is None:
            return super().ftp_LIST(path)
        self.push_dtp_data("".join(line + "\r\n" for line in self.list_lines).encode(), cmd="LIST")
        return path

    def ftp_NLST(self, path):
        if self.nlst_names is None:
            return super().ftp_NLST(path)
        self.push_dtp_data("".join(name + "\r\n" for name in self.nlst_names).encode(), cmd="NLST")
        return path


class PacedDTPHandler(ThrottledDTPHandler):
    """A data channel that waits `delay` seconds before each chunk it sends or receives."""

    delay = 0.0
    ac_out_buffer_size = BLOCK

    def send(self, data):
        time.sleep(self.delay)
        return super().send(data[:BLOCK])

    def recv(self, buffer_size):
        time.sleep(self.delay)
        return super().recv(min(buffer_size, BLOCK))


class Server:
    def __init__(self, home, **handler_attributes):
        authorizer = DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, str(home), perm="elradfmwMT")
        self.commands = []
        handler = type("TestHandler", (Handler,), dict(authorizer=authorizer, commands=self.commands,
                                                      **handler_attributes))
        self.server = FTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())  # a loop of its own: one thread each
        self.host, self.port = self.server.address[:2]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        try:
            while not self._stop.is_set():
                self.server.ioloop.loop(timeout=0.02, blocking=False)
        finally:
            self.server.close_all()

    def stop(self):
        self._stop.set()
        self._thread.join(10)
        assert not self._thread.is_alive(), "the FTP server did not stop"

    def url(self, path):
        return f"ftp://{self.host}:{self.port}{path}"

    def sent(self, verb):
        """The command lines of one verb the server received, in order."""
        return [line for line in self.commands if line.split(" ")[0].upper() == verb]


@pytest.fixture(autouse=True)
def quiet_server_log():
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)


@pytest.fixture
def home(tmp_path):
    folder = tmp_path / "home"
    folder.mkdir()
    return folder


@pytest.fixture
def start_server(home):
    started = []

    def start(**handler_attributes):
        server = Server(home, **handler_attributes)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def server(start_server):
    return start_server()


@pytest.fixture
def plugin():
    return Dorvex({"127.0.0.1": (USER, PASSWORD)})


@pytest.fixture
def local(tmp_path):
    folder = tmp_path / "local"
    folder.mkdir()
    return folder


def blob(size):
    return bytes((index * 7 + index // 251) % 256 for index in range(size))


# ----- the module ---------------------------------------------------------------------------------

def test_module_namespace_class_and_signatures():
    names = [name for name in vars(dorvex) if not name.startswith("__")]
    assert names == ["os", "re", "time", "libstat", "datetime", "logging", "FTP", "urlsplit", "urlunsplit",
                     "AttrDict", "TimeLimitExceededOnFileTransfer", "DorvexLinuxBase", "logger",
                     "DATETIME_PAT_RECENT", "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT", "DATETIME_PAT_NOT_RECENT",
                     "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT", "filemode_to_mode", "Dorvex"]
    assert dorvex.libstat is libstat and dorvex.FTP is ftplib.FTP and dorvex.AttrDict is AttrDict
    assert dorvex.DorvexLinuxBase is DorvexLinuxBase
    assert dorvex.TimeLimitExceededOnFileTransfer is TimeLimitExceededOnFileTransfer
    assert dorvex.logger.name == MODULE
    assert "FTP file-transfer class for Linux servers" in dorvex.__doc__
    assert "NotImplementedError" in dorvex.__doc__ and "clear text" in dorvex.__doc__

    assert Dorvex.__bases__ == (DorvexLinuxBase,) and type(Dorvex) is type(DorvexLinuxBase)
    assert (Dorvex.__qualname__, Dorvex.__module__, Dorvex.__doc__) == ("Dorvex", MODULE, None)
    assert "__init__" not in vars(Dorvex) and Dorvex.PROGRESS_IGNORE_COUNT == 30
    methods = [name for name, value in vars(Dorvex).items() if callable(value)]
    assert methods == ["copyfile", "_normalize_filename", "dir", "stat", "chmod", "deletefile", "renamefile",
                       "getspace"]

    def reference(self, source, destination, timeout_seconds, *args, upload, strip_leading_slash=True, **kwargs):
        pass

    assert inspect.signature(Dorvex.copyfile) == inspect.signature(reference)
    assert str(inspect.signature(Dorvex.chmod)) == \
        "(self, target, mode, timeout_seconds, *args, strip_leading_slash=True, **kwargs)"
    assert str(inspect.signature(Dorvex.getspace)) == "(self, target, timeout_seconds, *args, **kwargs)"
    assert str(inspect.signature(Dorvex._normalize_filename)) == "(self, filename, parent_path)"
    assert Dorvex.copyfile.__doc__.startswith("Copy a single file.")
    assert Dorvex.stat.__doc__.startswith(" Retrieve file details such as length and permissions.\n")
    assert Dorvex.dir.__doc__.startswith("Retrieve filenames contained in a directory.")


def test_constants():
    assert dorvex.DATETIME_PAT_RECENT == "%b %d %H:%M %Y" and dorvex.DATETIME_PAT_NOT_RECENT == "%b %d %Y"
    assert len(dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_RECENT) == 186
    assert len(dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT) == 169
    assert dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_RECENT.startswith(r"\s*(?P<mode>\S+)\s+(?P<num_links>\d+)")
    assert dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT.endswith(r"\s+(?P<year>\d{4})\s*(?P<filename>\S+)\s*$")


def test_wrong_calls_raise_what_a_python_function_raises(plugin):
    def copyfile(self, source, destination, timeout_seconds, *args, upload, strip_leading_slash=True, **kwargs):
        pass

    def getspace(self, target, timeout_seconds, *args, **kwargs):
        pass

    for native, python, args, kwargs in [(Dorvex.copyfile, copyfile, (plugin, "a", "b", 5), {}),
                                         (Dorvex.copyfile, copyfile, (plugin, "a", "b"), {"upload": True}),
                                         (Dorvex.getspace, getspace, (plugin, "a"), {})]:
        with pytest.raises(TypeError) as expected:
            python(*args, **kwargs)
        with pytest.raises(TypeError) as raised:
            native(*args, **kwargs)
        assert str(raised.value) == str(expected.value).replace(python.__qualname__, native.__qualname__)


def test_getspace_is_refused_without_contacting_a_server():
    class Counting(Dorvex):
        def validate_and_parse_url(self, url, operation):
            raise AssertionError("no URL may be parsed")

    with pytest.raises(NotImplementedError) as raised:
        Counting().getspace("ftp://nowhere.invalid/x", 5, "surplus", any=1)
    assert str(raised.value) == f"The dorvex module {__name__} does not implement getspace."
    with pytest.raises(NotImplementedError, match=f"^The dorvex module {MODULE} does not"):
        Dorvex().getspace("ftp://nowhere.invalid/x", 5)


# ----- filemode_to_mode ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, mode", [
    ("-rw-r--r--", 0o100644), ("drwxr-xr-x", 0o40755), ("lrwxrwxrwx", 0o120777), ("-rwsr-sr-t", 0o107755),
    ("-rwSr-Sr-T", 0o107644), ("?rw-------", 0o600), ("d", 0o40000), ("", 0), ("srwxrwxrwx", 0o140777),
    ("brw-rw----", 0o60660), ("crw-rw-rw-", 0o20666), ("prw-------", 0o10600),
    # an access-list or security-context marker after the ten columns carries no bits
    ("-rw-r--r--+", 0o100644), ("-rw-r--r--.", 0o100644), ("drwxr-x---@xyz", 0o40750),
])
def test_filemode_to_mode(text, mode):
    assert filemode_to_mode(text) == mode
    assert filemode_to_mode(filemode=text) == mode


def test_filemode_to_mode_round_trips_every_mode_and_refuses_non_sequences():
    for file_type in (libstat.S_IFREG, libstat.S_IFDIR, libstat.S_IFLNK, libstat.S_IFIFO, libstat.S_IFSOCK,
                      libstat.S_IFCHR, libstat.S_IFBLK):
        for bits in range(0o10000):
            text = libstat.filemode(file_type | bits)
            assert libstat.filemode(filemode_to_mode(text)) == text
    for wrong in (None, 5, 1.5):
        with pytest.raises(TypeError):
            filemode_to_mode(wrong)


def test_filemode_to_mode_reads_the_table_at_every_call(monkeypatch):
    rows = [((0o1, "x"),), ((0o2, "y"),)]
    monkeypatch.setattr(dorvex, "libstat", types.SimpleNamespace(_filemode_table=rows))
    assert filemode_to_mode("xyz") == 0o3
    assert filemode_to_mode("yx") == 0


def test_filemode_to_mode_doc():
    assert filemode_to_mode.__doc__ == (
        ' Convert a filemode string to an os.stat.st_mode style number.\n\n    Example\n    -------\n'
        '    >>> import stat\n    >>> my_filemode = "-rw-r--r--"\n'
        "    >>> stat.filemode(filemode_to_mode(my_filemode))\n    '-rw-r--r--'\n    ")


# ----- the session frame --------------------------------------------------------------------------

def test_delete_rename_chmod_on_the_server(server, plugin, home):
    (home / "srv").mkdir()
    (home / "srv" / "a.txt").write_bytes(b"a")
    (home / "srv" / "b.txt").write_bytes(b"b")
    assert plugin.chmod(server.url("/srv/a.txt"), 0o640, 10) is None
    assert libstat.S_IMODE((home / "srv" / "a.txt").stat().st_mode) == 0o640
    assert plugin.renamefile(server.url("/srv/a.txt"), server.url("/srv/c.txt"), 10) is None
    assert plugin.deletefile(server.url("/srv/b.txt"), 10) is None
    assert sorted(p.name for p in (home / "srv").iterdir()) == ["c.txt"]
    assert server.sent("SITE") == ["SITE CHMOD 640 srv/a.txt"]
    assert server.sent("RNFR") == ["RNFR srv/a.txt"] and server.sent("RNTO") == ["RNTO srv/c.txt"]
    assert server.sent("DELE") == ["DELE srv/b.txt"]
    # each operation is a session of its own
    assert server.sent("USER") == [f"USER {USER}"] * 3 and len(server.sent("QUIT")) == 3


@pytest.mark.parametrize("path, strip, sent", [
    ("/srv/x.txt", True, "DELE srv/x.txt"), ("/srv/x.txt", False, "DELE /srv/x.txt"),
    ("//srv/x.txt", True, "DELE /srv/x.txt"),
])
def test_one_leading_slash_is_stripped(server, plugin, home, path, strip, sent):
    (home / "srv").mkdir()
    (home / "srv" / "x.txt").write_bytes(b"x")
    plugin.deletefile(server.url(path), 10, strip_leading_slash=strip)
    assert server.sent("DELE") == [sent]


def test_surplus_arguments_are_ignored(server, plugin, home):
    for name in "abc":
        (home / f"{name}.txt").write_bytes(b"x")
    plugin.deletefile(server.url("/a.txt"), 10, False)
    plugin.deletefile(server.url("/b.txt"), 10, strip_leading_slashes=False)
    plugin.chmod(server.url("/c.txt"), 0o4755, 10, "extra", more=1)
    with pytest.raises(ftplib.error_perm, match="^501"):  # this server wants three or four digits
        plugin.chmod(server.url("/c.txt"), 0, 10)
    assert server.sent("DELE") == ["DELE a.txt", "DELE b.txt"]
    assert server.sent("SITE") == ["SITE CHMOD 4755 c.txt", "SITE CHMOD 0 c.txt"]


def test_failures_of_the_server_pass_through_and_the_session_is_closed(server, plugin, home, start_server):
    with pytest.raises(ftplib.error_perm, match="^550"):
        plugin.deletefile(server.url("/missing.txt"), 10)
    with pytest.raises(ftplib.error_perm, match="^530"):
        Dorvex({"127.0.0.1": (USER, "wrong")}).deletefile(server.url("/missing.txt"), 10)
    (home / "c.txt").write_bytes(b"x")
    with pytest.raises(TypeError):
        plugin.chmod(server.url("/c.txt"), "644", 10)  # oct() refuses it, after the login
    assert server.sent("QUIT") == ["QUIT"] * 3
    lone = start_server()
    lone.stop()
    with pytest.raises(ConnectionRefusedError):
        plugin.deletefile(lone.url("/c.txt"), 10)


class Recorder:
    """An FTP client standing in for ftplib.FTP where a real server cannot show the call: what the
    frame hands to connect and login, and in which order it works."""

    calls = []
    exit_error = None
    login_error = None

    def __enter__(self):
        self.calls.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.calls.append(("exit", exc_info[0]))
        if self.exit_error is not None:
            raise self.exit_error

    def connect(self, **kwargs):
        self.calls.append(("connect", kwargs))

    def login(self, **kwargs):
        self.calls.append(("login", kwargs))
        if self.login_error is not None:
            raise self.login_error

    def delete(self, **kwargs):
        self.calls.append(("delete", kwargs))


@pytest.fixture
def recorder(monkeypatch):
    class Client(Recorder):
        calls = []

    monkeypatch.setattr(dorvex, "FTP", Client)
    return Client


@pytest.mark.parametrize("port", [None, 0, False, ""])
def test_a_false_port_reaches_connect_as_zero(recorder, port):
    class Plugin(Dorvex):
        def validate_and_parse_url(self, url, operation):
            return "example.org", port, "/f"

        def get_auth(self, server_name):
            return ["u", "p"]

    Plugin().deletefile("whatever", 7)
    assert recorder.calls == ["enter", ("connect", {"host": "example.org", "port": 0, "timeout": 7}),
                              ("login", {"user": "u", "passwd": "p"}), ("delete", {"filename": "f"}),
                              ("exit", None)]


def test_an_error_inside_the_session_wins_over_one_of_the_client_exit(recorder):
    recorder.login_error = ftplib.error_perm("530 Login incorrect.")
    recorder.exit_error = ftplib.error_temp("426 Connection closed; transfer aborted.")
    plugin = Dorvex({"h": ("u", "p")})
    with pytest.raises(ftplib.error_perm) as raised:
        plugin.deletefile("ftp://h/f", 5)
    assert raised.value is recorder.login_error
    assert recorder.calls[-1] == ("exit", ftplib.error_perm)
    # without an error inside, the exit's own error reaches the caller
    recorder.login_error = None
    with pytest.raises(ftplib.error_temp):
        plugin.deletefile("ftp://h/f", 5)
    # an interruption while leaving is not swallowed
    recorder.login_error = ftplib.error_perm("530")
    recorder.exit_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as interrupted:
        plugin.deletefile("ftp://h/f", 5)
    assert interrupted.value.__context__ is recorder.login_error


def test_the_base_class_is_asked_at_every_call_and_its_errors_pass(recorder):
    asked = []

    class Plugin(Dorvex):
        def validate_and_parse_url(self, url, operation):
            asked.append((url, operation))
            if url == "bad":
                raise ValueError("refused")
            if url == "short":
                return "h", 21
            return "h", 21, "/f"

        def get_auth(self, server_name):
            asked.append(server_name)
            return ("u", "p", "extra") if server_name == "odd" else ("u", "p")

    plugin = Plugin()
    plugin.deletefile("ftp://h/f", 5)
    plugin.deletefile("ftp://h/f", 5)
    assert asked == [("ftp://h/f", "deletefile"), "h"] * 2
    sessions = len(recorder.calls)
    with pytest.raises(ValueError, match="^refused$"):
        plugin.chmod("bad", 0o644, 5)
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 3, got 2\)$"):
        plugin.stat("short", 5)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        Plugin.get_auth = lambda self, server_name: ("u", "p", "x")
        plugin.dir("ftp://h/f", 5)
    assert len(recorder.calls) == sessions


def test_renamefile_refuses_two_servers_or_ports_before_any_traffic(recorder):
    results = {"a": ("one.example", 21, "/a"), "b": ("two.example", 21, "/b"), "c": ("one.example", None, "/c"),
               "d": ("ONE.example", 21, "/d"), "e": ("two.example", 2121, "/e")}

    class Plugin(Dorvex):
        def validate_and_parse_url(self, url, operation):
            if url == "refused":
                raise LookupError("no such URL")
            return results[url]

        def get_auth(self, server_name):
            raise AssertionError("no credentials may be asked for")

    server_message = f"dorvex module {__name__} requires from/to files to be renamed to have the same server."
    port_message = f"dorvex module {__name__} requires from/to files to be renamed to have the same port."
    for source, destination, message in [("a", "b", server_message), ("a", "e", server_message),
                                         ("a", "d", server_message), ("c", "a", port_message)]:
        with pytest.raises(Exception) as raised:
            Plugin().renamefile(source, destination, 5)
        assert type(raised.value) is Exception and str(raised.value) == message
    with pytest.raises(LookupError):
        Plugin().renamefile("a", "refused", 5)
    assert recorder.calls == []


# ----- copyfile -----------------------------------------------------------------------------------

def test_copy_up_and_down(server, plugin, home, local, caplog):
    data = blob(5 * BLOCK + 123)
    (local / "up.bin").write_bytes(data)
    (home / "dir").mkdir()
    with caplog.at_level(logging.DEBUG, logger=MODULE):
        assert plugin.copyfile(str(local / "up.bin"), server.url("/dir/f.bin"), 10, upload=True) is None
        assert plugin.copyfile(server.url("/dir/f.bin"), f"file://{local}/down.bin", 10, "x", upload=False,
                               other=2) is None
    assert (home / "dir" / "f.bin").read_bytes() == data and (local / "down.bin").read_bytes() == data
    assert server.sent("STOR") == ["STOR dir/f.bin"] and server.sent("RETR") == ["RETR dir/f.bin"]
    connecting = f"Connecting to ftp host 127.0.0.1 port {server.port} with timeout 10 ..."
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name == MODULE] == [
        (MODULE, logging.DEBUG, connecting),
        (MODULE, logging.DEBUG, f"Copying local file {local}/up.bin to remote location dir/f.bin ..."),
        (MODULE, logging.DEBUG, connecting),
        (MODULE, logging.DEBUG, f"Copying remote file dir/f.bin to local location {local}/down.bin ..."),
    ]
    assert sorted(p.name for p in local.iterdir()) == ["down.bin", "up.bin"]


def test_copy_keeps_the_remote_path_as_asked(server, plugin, home, local):
    (local / "a").write_bytes(b"abc")
    (home / "dir").mkdir()
    plugin.copyfile(str(local / "a"), server.url("/dir/b"), 10, upload=True, strip_leading_slash=False)
    plugin.copyfile(server.url("/dir/b"), str(local / "c"), 10, upload=False, strip_leading_slash=False)
    assert server.sent("STOR") == ["STOR /dir/b"] and server.sent("RETR") == ["RETR /dir/b"]
    assert (local / "c").read_bytes() == b"abc"


def test_a_missing_local_file_fails_after_the_login_and_sends_nothing(server, plugin, local):
    with pytest.raises(FileNotFoundError):
        plugin.copyfile(str(local / "missing"), server.url("/x"), 10, upload=True)
    assert server.sent("PASS") and server.sent("STOR") == [] and server.sent("QUIT") == ["QUIT"]


@pytest.fixture
def clock(monkeypatch):
    """The module's `time` replaced by a clock whose readings the test gives."""

    class Clock:
        readings = []
        now = 1000.0

        def time(self):
            self.readings.append(self.now)
            return self.now

    fake = Clock()
    monkeypatch.setattr(dorvex, "time", fake)
    return fake


@pytest.mark.parametrize("blocks, readings", [(0, 1), (1, 1), (30, 1), (31, 2), (61, 2), (62, 3), (93, 4)])
def test_an_upload_reads_the_clock_every_31st_block(server, plugin, local, clock, blocks, readings):
    (local / "f").write_bytes(blob(blocks * BLOCK))
    plugin.copyfile(str(local / "f"), server.url("/f"), 10, upload=True)
    assert len(clock.readings) == readings  # the start, after the login, then one per 31 blocks


def test_the_limit_trips_only_when_strictly_exceeded(server, plugin, local, clock):
    (local / "f").write_bytes(blob(62 * BLOCK))

    class Stepping:
        def __init__(self):
            self.readings = []

        def time(self):
            self.readings.append(None)
            return [100.0, 105.0, 110.5][len(self.readings) - 1]

    dorvex.time = Stepping()
    plugin.copyfile(str(local / "f"), server.url("/f"), 10.5, upload=True)  # 5 s, then exactly 10.5 s
    dorvex.time = Stepping()
    with pytest.raises(TimeLimitExceededOnFileTransfer) as raised:
        plugin.copyfile(str(local / "f"), server.url("/f"), 10, upload=True)
    assert raised.value.args == ()


def test_progress_ignore_count_is_read_at_every_block(server, plugin, local, clock):
    (local / "f").write_bytes(blob(10 * BLOCK))
    plugin.PROGRESS_IGNORE_COUNT = 0
    plugin.copyfile(str(local / "f"), server.url("/f"), 10, upload=True)
    assert len(clock.readings) == 11
    del clock.readings[:]

    class Later(Dorvex):
        PROGRESS_IGNORE_COUNT = 4

    Later({"127.0.0.1": (USER, PASSWORD)}).copyfile(str(local / "f"), server.url("/f"), 10, upload=True)
    assert len(clock.readings) == 3  # blocks 5 and 10


def test_no_time_limit_when_timeout_is_none(server, plugin, local, home):
    data = blob(70 * BLOCK)
    (local / "f").write_bytes(data)
    plugin.copyfile(str(local / "f"), server.url("/f"), None, upload=True)
    plugin.copyfile(server.url("/f"), str(local / "g"), None, upload=False)
    assert (home / "f").read_bytes() == data and (local / "g").read_bytes() == data


@pytest.fixture
def slow_server(start_server):
    """Sends and receives one block every 20 ms: 31 blocks take over 0.6 s."""
    return start_server(dtp_handler=type("Paced", (PacedDTPHandler,), {"delay": 0.02}))


def test_a_download_past_its_time_limit_leaves_the_target_as_it_was(slow_server, plugin, home, local):
    (home / "big").write_bytes(blob(200 * BLOCK))
    (local / "kept").write_bytes(b"old content")
    started = time.monotonic()
    with pytest.raises(TimeLimitExceededOnFileTransfer):
        plugin.copyfile(slow_server.url("/big"), str(local / "kept"), 0.4, upload=False)
    assert time.monotonic() - started < 3
    assert (local / "kept").read_bytes() == b"old content"
    with pytest.raises(TimeLimitExceededOnFileTransfer):
        plugin.copyfile(slow_server.url("/big"), str(local / "new"), 0.4, upload=False)
    assert sorted(p.name for p in local.iterdir()) == ["kept"]


def test_an_upload_past_its_time_limit_raises_the_limit(slow_server, plugin, local):
    (local / "big").write_bytes(blob(1200 * BLOCK))  # more than the loopback socket buffers hold
    with pytest.raises(TimeLimitExceededOnFileTransfer):
        plugin.copyfile(str(local / "big"), slow_server.url("/big"), 0.4, upload=True)


def test_a_refused_download_leaves_the_target_as_it_was(server, plugin, local):
    (local / "kept").write_bytes(b"old content")
    with pytest.raises(ftplib.error_perm, match="^550"):
        plugin.copyfile(server.url("/missing"), str(local / "kept"), 10, upload=False)
    with pytest.raises(ftplib.error_perm, match="^550"):
        plugin.copyfile(server.url("/missing"), str(local / "new"), 10, upload=False)
    assert sorted(p.name for p in local.iterdir()) == ["kept"]
    assert (local / "kept").read_bytes() == b"old content"


def test_a_download_replaces_the_target_keeping_its_mode_and_links(server, plugin, home, local):
    (home / "f").write_bytes(b"new content")
    (local / "kept").write_bytes(b"old")
    os.chmod(local / "kept", 0o640)
    os.symlink(local / "kept", local / "link")
    plugin.copyfile(server.url("/f"), str(local / "link"), 10, upload=False)
    assert (local / "link").is_symlink() and (local / "kept").read_bytes() == b"new content"
    assert libstat.S_IMODE((local / "kept").stat().st_mode) == 0o640
    os.umask(old := os.umask(0o022))
    plugin.copyfile(server.url("/f"), str(local / "fresh"), 10, upload=False)
    assert libstat.S_IMODE((local / "fresh").stat().st_mode) == 0o666 & ~old
    assert sorted(p.name for p in local.iterdir()) == ["fresh", "kept", "link"]


def test_a_folder_that_takes_no_new_file_gets_the_target_written_directly(server, plugin, home, local,
                                                                           monkeypatch):
    def open_refusing_new_files(path, mode="r", *args, **kwargs):
        if "x" in mode:
            raise PermissionError(13, "Permission denied", path)
        return builtins.open(path, mode, *args, **kwargs)

    monkeypatch.setattr(dorvex, "open", open_refusing_new_files, raising=False)
    (home / "f").write_bytes(b"new content")
    (local / "kept").write_bytes(b"old")
    plugin.copyfile(server.url("/f"), str(local / "kept"), 10, upload=False)
    assert (local / "kept").read_bytes() == b"new content" and list(local.iterdir()) == [local / "kept"]


def test_a_download_into_a_device_writes_it_directly(server, plugin, home):
    (home / "f").write_bytes(blob(3 * BLOCK))
    plugin.copyfile(server.url("/f"), os.devnull, 10, upload=False)
    assert libstat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_a_download_into_a_folder_is_refused_before_the_transfer(server, plugin, home, local):
    (home / "f").write_bytes(b"x")
    for target in (str(local), str(local) + "/", str(local / "nothing") + "/", str(local / "no" / "f")):
        with pytest.raises(OSError) as raised:
            plugin.copyfile(server.url("/f"), target, 10, upload=False)
        assert raised.value.filename == target  # the error open() gives for the target itself
    assert server.sent("RETR") == [] and list(local.iterdir()) == []


# ----- what a download leaves of an existing target ----------------------------------------------
#
# Each case is made twice: one twin is written in place with open(..., "wb") (what the download was
# before it went through a temporary file), the other downloaded; both must end alike. "me" is the
# downloader, "other" another user.

AS_ROOT = os.geteuid() == 0
try:
    NOBODY = pwd.getpwnam("nobody")
except KeyError:
    NOBODY = None

# name: (owner, group, mode, extended attributes, other links)
TARGETS = {
    "own": ("me", "me", 0o640, {}, 0),
    "own setuid": ("me", "me", 0o4755, {}, 0),
    "own, with links": ("me", "me", 0o644, {}, 2),
    "own, with attributes": ("me", "me", 0o644, {"user.origin": b"mirror", "user.empty": b""}, 0),
    "own, attributes and a link": ("me", "me", 0o600, {"user.origin": b"mirror"}, 1),
    "another's": ("other", "other", 0o666, {}, 0),
    "another's setuid": ("other", "other", 0o4757, {"user.origin": b"mirror"}, 0),
    "another's setuid, with a link": ("other", "other", 0o4757, {}, 1),
    "own, another group, setgid": ("me", "other", 0o2775, {}, 0),
}
# file capabilities, which every write drops (setting them takes root)
CAPABILITY = {"security.capability": struct.pack("<5I", 0x02000000, 1 << 10, 0, 0, 0)}


def make_target(path, owner, group, mode, attributes, links, ids):
    path.write_bytes(b"old content")
    os.chown(path, ids[owner][0], ids[group][1])
    os.chmod(path, mode)  # after chown, which drops set-id bits
    for name, value in attributes.items():
        os.setxattr(path, name, value)
    names = [path]
    for i in range(links):
        names.append(Path(f"{path}.{i}"))
        os.link(path, names[-1])
    return names


def state_of(names):
    status = os.stat(names[0])
    attributes = {name: os.getxattr(names[0], name) for name in os.listxattr(names[0])}
    return dict(owner=(status.st_uid, status.st_gid), mode=oct(status.st_mode), attributes=attributes,
                links=status.st_nlink, contents=[name.read_bytes() for name in names])


def make_twins(folder, targets, ids):
    twins = []
    for name, (owner, group, mode, attributes, links) in targets.items():
        if "other" in (owner, group) and not AS_ROOT:
            continue
        written, downloaded = (make_target(folder / f"{name}.{twin}", owner, group, mode, attributes, links, ids)
                               for twin in ("written", "downloaded"))
        twins.append((name, written, downloaded))
    return twins


def assert_alike(twins, content):
    downloaded = {name: state_of(names) for name, _, names in twins}
    assert downloaded == {name: state_of(names) for name, names, _ in twins}
    assert all(state["contents"] == [content] * state["links"] for state in downloaded.values())


def no_temporary_file(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")] == []


@pytest.fixture
def root_ids():
    if NOBODY is None:
        pytest.skip("no user nobody")
    return {"me": (os.geteuid(), os.getegid()), "other": (NOBODY.pw_uid, NOBODY.pw_gid)}


def capability_settable(folder):
    probe = folder / "probe"
    probe.write_bytes(b"")
    try:
        os.setxattr(probe, *next(iter(CAPABILITY.items())))
        return True
    except OSError:
        return False
    finally:
        probe.unlink()


@pytest.mark.parametrize("content", [b"new content", blob(3 * BLOCK), b""], ids=["short", "blocks", "empty"])
def test_a_download_leaves_an_existing_target_as_writing_it_in_place_does(server, plugin, home, local, root_ids,
                                                                          content):
    (home / "f").write_bytes(content)
    targets = dict(TARGETS)
    if AS_ROOT and capability_settable(local):
        targets["own, with capabilities"] = ("me", "me", 0o755, CAPABILITY, 0)
        targets["another's, with capabilities and a link"] = ("other", "other", 0o755, CAPABILITY, 1)
    twins = make_twins(local, targets, root_ids)
    for name, written, downloaded in twins:
        with open(written[0], "wb") as file:
            file.write(content)
        plugin.copyfile(server.url("/f"), str(downloaded[0]), 10, upload=False)
    assert_alike(twins, content)
    assert no_temporary_file(local)


@pytest.fixture
def shared_folder():
    """A folder of nobody's, where nobody may create files, under one that every user may enter."""
    if not AS_ROOT or NOBODY is None:
        pytest.skip("takes root, to run a download as nobody")
    outer = tempfile.mkdtemp()
    os.chmod(outer, 0o755)
    folder = os.path.join(outer, "nobody")
    os.mkdir(folder)
    os.chown(folder, NOBODY.pw_uid, NOBODY.pw_gid)
    yield Path(folder)
    shutil.rmtree(outer)


def download_as_nobody(url, targets, content):
    """In a child process that becomes nobody (without root's groups) once it has imported the plug-in
    (the interpreter may live where nobody cannot read): each first twin written with open(), each
    second one downloaded."""
    code = textwrap.dedent(f"""
        import encodings.idna, json, os, sys  # what a connection imports on its first use
        from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex
        os.setgroups([])
        os.setgid({NOBODY.pw_gid})
        os.setuid({NOBODY.pw_uid})
        plugin = Dorvex({{"127.0.0.1": ({USER!r}, {PASSWORD!r})}})
        url, content, targets = json.loads(sys.argv[1])
        for written, downloaded in targets:
            with open(written, "wb") as file:
                file.write(content.encode("latin-1"))
            plugin.copyfile(url, downloaded, 10, upload=False)
    """)
    arguments = json.dumps([url, content.decode("latin-1"), targets])
    result = subprocess.run([sys.executable, "-c", code, arguments], capture_output=True, text=True, timeout=120,
                            cwd="/")
    assert result.returncode == 0, result.stderr[-4000:]


@pytest.mark.parametrize("content", [b"new content", b""], ids=["short", "empty"])
def test_a_download_by_another_user_leaves_the_target_as_writing_it_in_place_does(server, home, shared_folder,
                                                                                  content):
    # nobody cannot give a new file root's ownership nor a group it is no member of, and has no
    # privilege to keep set-id bits: the targets keep their owners, and lose set-id bits as a
    # write in place makes them lose them
    (home / "f").write_bytes(content)
    ids = {"me": (NOBODY.pw_uid, NOBODY.pw_gid), "other": (0, 0)}
    twins = make_twins(shared_folder, TARGETS, ids)
    download_as_nobody(server.url("/f"), [(str(w[0]), str(d[0])) for _, w, d in twins], content)
    assert_alike(twins, content)
    assert no_temporary_file(shared_folder)
    owned_by_root = [d[0] for name, _, d in twins if name.startswith("another's")]
    assert owned_by_root and all(os.stat(path).st_uid == 0 for path in owned_by_root)
    assert all(not os.stat(d[0]).st_mode & (libstat.S_ISUID | libstat.S_ISGID) for _, _, d in twins)


def test_a_failed_download_leaves_every_target_and_its_links_as_they_were(server, slow_server, plugin, home,
                                                                          local, root_ids):
    (home / "big").write_bytes(blob(200 * BLOCK))
    twins = make_twins(local, TARGETS, root_ids)
    before = {name: state_of(downloaded) for name, _, downloaded in twins}
    plugin.PROGRESS_IGNORE_COUNT = 0  # the clock is read at every block: the limit trips after a few
    for name, _, downloaded in twins:
        with pytest.raises(ftplib.error_perm, match="^550"):
            plugin.copyfile(server.url("/missing"), str(downloaded[0]), 10, upload=False)
        with pytest.raises(TimeLimitExceededOnFileTransfer):
            plugin.copyfile(slow_server.url("/big"), str(downloaded[0]), 0.05, upload=False)
        assert state_of(downloaded) == before[name], name
    assert no_temporary_file(local)


@pytest.mark.parametrize("code, in_place", [(errno.ENOTSUP, False), (errno.EACCES, True)])
def test_a_file_system_without_attributes_still_gets_the_target_replaced(server, plugin, home, local, monkeypatch,
                                                                         code, in_place):
    # none to keep: the new file takes the target's place whole; attributes that cannot be read
    # are kept by writing into the target itself
    def listxattr(fd):
        raise OSError(code, os.strerror(code))

    (home / "f").write_bytes(b"new content")
    (local / "target").write_bytes(b"old")
    os.chmod(local / "target", 0o604)
    inode = os.stat(local / "target").st_ino
    monkeypatch.setattr(dorvex, "os", types.SimpleNamespace(**{**vars(os), "listxattr": listxattr}))
    plugin.copyfile(server.url("/f"), str(local / "target"), 10, upload=False)
    status = os.stat(local / "target")
    assert (local / "target").read_bytes() == b"new content" and libstat.S_IMODE(status.st_mode) == 0o604
    assert (status.st_ino == inode) is in_place and os.listdir(local) == ["target"]


@pytest.mark.parametrize("links, name, substitute, error", [
    (0, "fstat", lambda fd: 42, AttributeError),
    (0, "fstat", lambda fd: types.SimpleNamespace(st_nlink="1"), TypeError),
    (0, "listxattr", lambda fd: 42, TypeError),
    (0, "listxattr", lambda fd: [1], TypeError),
    (1, "read", lambda fd, size: 42, TypeError),
    (1, "write", lambda fd, data: 0, OSError),
    (1, "write", lambda fd, data: len(data) + 1, OSError),
    (1, "write", lambda fd, data: "1", TypeError),
    (1, "write", lambda fd, data: 2**80, OverflowError),
])
def test_what_the_module_os_gives_a_download_is_checked(server, plugin, home, local, monkeypatch, links, name,
                                                         substitute, error):
    (home / "f").write_bytes(b"new content")
    target = make_target(local / "target", "me", "me", 0o644, {}, links, {"me": (os.geteuid(), os.getegid())})
    monkeypatch.setattr(dorvex, "os", types.SimpleNamespace(**{**vars(os), name: substitute}))
    with pytest.raises(error):
        plugin.copyfile(server.url("/f"), str(target[0]), 10, upload=False)
    assert no_temporary_file(local)


# ----- dir ----------------------------------------------------------------------------------------

def test_dir_lists_a_real_folder(server, plugin, home, caplog):
    (home / "pub").mkdir()
    for name in ("b.txt", "a.txt", "sub"):
        (home / "pub" / name).mkdir() if name == "sub" else (home / "pub" / name).write_bytes(b"x")
    with caplog.at_level(logging.DEBUG, logger=MODULE):
        found = plugin.dir(server.url("/pub"), 10)
    assert found == [server.url("/pub/a.txt"), server.url("/pub/b.txt"), server.url("/pub/sub")]
    assert server.sent("NLST") == ["NLST pub"]
    assert [r for r in caplog.records if r.name == MODULE] == []
    (home / "empty").mkdir()
    assert plugin.dir(server.url("/empty"), 10) == []


def test_dir_refused_by_the_server_is_no_empty_list(server, plugin):
    with pytest.raises(ftplib.error_perm, match="^550"):
        plugin.dir(server.url("/missing"), 10)


@pytest.mark.parametrize("names, path, strip, sent, paths", [
    (["a.txt", "pub/a.txt", "/pub/a.txt"], "/pub", True, "NLST pub", ["/pub/a.txt"] * 3),
    (["a.txt"], "/pub", False, "NLST /pub", ["/pub/a.txt"]),
    (["a.txt"], "/pub/", True, "NLST pub/", ["/pub/a.txt"]),
    (["a.txt"], "/", True, "NLST ", ["/a.txt"]),  # the empty path is sent as it is
    (["x/", "b", "a", "b"], "/pub", True, "NLST pub", ["x/", "/pub/b", "/pub/a", "/pub/b"]),
])
def test_dir_makes_one_url_per_listed_name(start_server, plugin, names, path, strip, sent, paths):
    server = start_server(nlst_names=names)
    target = f"ftp://{USER}@{server.host}:{server.port}{path}?q=1#frag"
    found = plugin.dir(target, 10, strip_leading_slash=strip)
    netloc = f"{USER}@{server.host}:{server.port}"
    assert found == [urlunsplit(("ftp", netloc, p, "q=1", "frag")) for p in paths]
    assert server.sent("NLST") == [sent]


def test_dir_asks_the_instance_for_each_name(start_server):
    server = start_server(nlst_names=["a", "b"])

    class Plugin(Dorvex):
        def _normalize_filename(self, filename, parent_path):
            return f"/{parent_path}:{filename}"

    assert Plugin({"127.0.0.1": (USER, PASSWORD)}).dir(server.url("/p"), 10) == [server.url("/p:a"),
                                                                                 server.url("/p:b")]


@pytest.mark.parametrize("filename, parent_path, result", [
    ("extra/paths/myfile.txt", "/my/parent/path", "/my/parent/path/myfile.txt"),
    ("myfile.txt", "/my/parent/path", "/my/parent/path/myfile.txt"),
    ("myfile.txt", "my/parent/path", "/my/parent/path/myfile.txt"),
    ("myfile.txt", "my/parent/path/", "/my/parent/path/myfile.txt"),
    ("myfile.txt", "", "/myfile.txt"),
    ("x/", "/p", "x/"),
    ("", "/p", ""),
])
def test_normalize_filename(plugin, filename, parent_path, result):
    assert plugin._normalize_filename(filename, parent_path) == result
    assert plugin._normalize_filename(filename=filename, parent_path=parent_path) == result


# ----- stat ---------------------------------------------------------------------------------------

THIS_YEAR = datetime.date.today().year


def utc(*fields):
    return calendar.timegm(datetime.datetime(*fields).timetuple())


def test_stat_of_a_real_file(server, plugin, home, caplog):
    (home / "pub").mkdir()
    path = home / "pub" / "a.txt"
    path.write_bytes(b"x" * 1234)
    os.chmod(path, 0o640)
    recent = int(time.time()) - 3600
    os.utime(path, (recent, recent))
    with caplog.at_level(logging.DEBUG, logger=MODULE):
        record = plugin.stat(server.url("/pub/a.txt"), 10)
    assert type(record) is AttrDict
    assert record.st_mode == 0o100640 and record.st_nlink == 1 and record.st_size == 1234
    assert record.st_mtime == recent - recent % 60
    assert list(record) == ["st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_mtime"]
    assert server.sent("LIST") == ["LIST pub/a.txt"]
    messages = [r.msg for r in caplog.records if r.name == MODULE]
    assert len(messages) == 2 and type(messages[0]) is list and len(messages[0]) == 1
    assert messages[1] == "Checking for files matching pattern " + dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_RECENT
    os.utime(path, (utc(2020, 3, 3, 17, 45), utc(2020, 3, 3, 17, 45)))
    assert plugin.stat(server.url("/pub/a.txt"), 10).st_mtime == utc(2020, 3, 3)  # listed with its year only


def test_stat_of_a_folder_is_refused(server, plugin, home):
    (home / "one").mkdir()
    (home / "one" / "only.txt").write_bytes(b"x")
    (home / "two").mkdir()
    (home / "two" / "a").write_bytes(b"x")
    (home / "two" / "b").write_bytes(b"x")
    for folder in ("/one", "/two", "/one/"):
        with pytest.raises(Exception) as raised:
            plugin.stat(server.url(folder), 10)
        assert str(raised.value) == "More than one result was found, did you request a stat of a directory ?"
    with pytest.raises(ftplib.error_perm, match="^550"):
        plugin.stat(server.url("/missing"), 10)


@pytest.fixture
def listing(start_server, plugin, caplog):
    """stat of `target` on a server whose LIST answer is the given lines."""

    def run(lines, target="/pub/a.txt", **kwargs):
        server = start_server(list_lines=lines)
        caplog.clear()
        with caplog.at_level(logging.DEBUG, logger=MODULE):
            return plugin.stat(server.url(target), 10, **kwargs)

    return run


@pytest.mark.parametrize("line, expected", [
    ("-rw-r--r--   1 ftp      ftp          1024 Mar 03 10:15 a.txt",
     dict(st_mode=0o100644, st_nlink=1, st_uid="ftp", st_gid="ftp", st_size=1024, st_mtime=(3, 3, 10, 15))),
    ("-rw-r--r--   1 1000     1000         1024 Mar 03  2020 a.txt",
     dict(st_mode=0o100644, st_nlink=1, st_uid=1000, st_gid=1000, st_size=1024, st_mtime=utc(2020, 3, 3))),
    ("-rw-r--r-- 1 ftp 1024 Mar 03 10:15 a.txt",
     dict(st_mode=0o100644, st_nlink=1, st_uid="ftp", st_size=1024, st_mtime=(3, 3, 10, 15))),
    ("  drwxr-x---  12 0 wheel 4096 Jan  1 0:05a.txt  ",
     dict(st_mode=0o40750, st_nlink=12, st_uid=0, st_gid="wheel", st_size=4096, st_mtime=(1, 1, 0, 5))),
    ("-rw-r--r--+  2 ftp ftp 7 Mar 03 10:15 pub/a.txt",
     dict(st_mode=0o100644, st_nlink=2, st_uid="ftp", st_gid="ftp", st_size=7, st_mtime=(3, 3, 10, 15))),
])
def test_stat_reads_both_line_forms(listing, line, expected, monkeypatch):
    monkeypatch.setattr(dorvex, "time", types.SimpleNamespace(time=lambda: utc(THIS_YEAR, 12, 31), timezone=0))
    record = listing([line])
    if isinstance(expected["st_mtime"], tuple):
        expected["st_mtime"] = utc(THIS_YEAR, *expected["st_mtime"])
    assert record == expected and list(record) == list(expected)


@pytest.mark.parametrize("lines, message", [
    (["total 4", "-rw-r--r-- 1 ftp ftp 1 Mar 03 10:15 a.txt"],
     "More than one result was found, did you request a stat of a directory ?"),
    (["-rw-r--r-- 1 ftp ftp 1 Mar 03 10:15 other.txt"],
     "More than one result was found, did you request a stat of a directory ?"),
    ([], "File pub/a.txt not found on server 127.0.0.1."),
    (["total 4"], "File pub/a.txt was not found on remote server 127.0.0.1."),
    (["-rw-r--r-- 1 ftp 1024 Mar 03  2020 a.txt"], "File pub/a.txt was not found on remote server 127.0.0.1."),
    (["-rw-r--r-- 1 www-data ftp 1 Mar 03 10:15 a.txt"], "File pub/a.txt was not found on remote server 127.0.0.1."),
    (["-rw-r--r-- 1 ftp ftp 1 Mar 03 10:15 my a.txt"], "File pub/a.txt was not found on remote server 127.0.0.1."),
    (["lrwxrwxrwx 1 ftp ftp 1 Mar 03 10:15 a.txt -> b"], "File pub/a.txt was not found on remote server 127.0.0.1."),
])
def test_stat_failures(listing, lines, message):
    with pytest.raises(Exception) as raised:
        listing(lines)
    assert type(raised.value) is Exception and str(raised.value) == message
    assert raised.value.__cause__ is None


def test_stat_names_the_path_as_asked(listing):
    with pytest.raises(Exception, match="^File /pub/a.txt not found on server 127.0.0.1.$"):
        listing([], strip_leading_slash=False)


def test_stat_logs_the_listing_then_each_pattern_tried(listing, caplog):
    line = "-rw-r--r-- 1 1000 1000 1024 Mar 03  2020 a.txt"
    listing([line])
    records = [r for r in caplog.records if r.name == MODULE]
    assert [r.levelno for r in records] == [logging.DEBUG] * 3
    assert records[0].msg == [line] and records[0].getMessage() == str([line])
    assert [r.getMessage() for r in records[1:]] == [
        "Checking for files matching pattern " + dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_RECENT,
        "Checking for files matching pattern " + dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT]


@pytest.fixture
def in_zone():
    def switch(zone):
        os.environ["TZ"] = zone
        time.tzset()

    saved = os.environ.get("TZ")
    yield switch
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


@pytest.mark.parametrize("zone", ["UTC", "Europe/Berlin", "America/New_York", "Australia/Sydney"])
def test_the_listed_time_is_read_as_utc_in_every_zone(listing, in_zone, zone):
    in_zone(zone)
    assert listing(["-rw-r--r-- 1 ftp ftp 1 Jul 04  2020 a.txt"]).st_mtime == utc(2020, 7, 4)
    assert listing(["-rw-r--r-- 1 ftp ftp 1 Jan 14  2020 a.txt"]).st_mtime == utc(2020, 1, 14)


@pytest.fixture
def today(monkeypatch):
    """The module's clock and calendar set to the given moment (UTC)."""

    def set_to(*fields):
        moment = datetime.datetime(*fields)

        class Date(datetime.date):
            @classmethod
            def today(cls):
                return cls(moment.year, moment.month, moment.day)

        monkeypatch.setattr(dorvex, "datetime", types.SimpleNamespace(
            date=Date, datetime=datetime.datetime, timezone=datetime.timezone))
        monkeypatch.setattr(dorvex, "time", types.SimpleNamespace(time=lambda: utc(*fields), timezone=0))

    return set_to


@pytest.mark.parametrize("now, listed, expected", [
    ((2025, 1, 5, 12, 0), "Dec 10 08:12", (2024, 12, 10, 8, 12)),
    ((2025, 1, 5, 12, 0), "Jan 03 10:00", (2025, 1, 3, 10, 0)),
    ((2025, 1, 5, 12, 0), "Jan 06 11:59", (2025, 1, 6, 11, 59)),  # less than a day ahead: a clock apart
    ((2025, 1, 5, 12, 0), "Jan 06 12:01", (2024, 1, 6, 12, 1)),
    ((2024, 1, 5, 12, 0), "Feb 29 10:00", (2024, 2, 29, 10, 0)),  # no Feb 29 in the previous year
    ((2025, 3, 1, 12, 0), "Feb 28 23:59", (2025, 2, 28, 23, 59)),
])
def test_a_recent_line_ahead_of_now_is_from_the_previous_year(listing, today, now, listed, expected):
    today(*now)
    assert listing([f"-rw-r--r-- 1 ftp ftp 1 {listed} a.txt"]).st_mtime == utc(*expected)


def test_feb_29_of_a_common_year_is_the_date_parser_error(listing, today):
    today(2023, 6, 1)
    with pytest.raises(ValueError):
        listing(["-rw-r--r-- 1 ftp ftp 1 Feb 29 10:00 a.txt"])


def test_stat_looks_up_its_constants_at_every_call(listing, monkeypatch):
    monkeypatch.setattr(dorvex, "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT", r"(?P<filename>a)(?P<never>x)")
    monkeypatch.setattr(dorvex, "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT",
                        r"(?P<mode>\S+) (?P<num_links>\d+) (?P<owner>\w+) (?P<group>\w+) (?P<size>\d+) "
                        r"(?P<day>\d+)\.(?P<month>\d+)\.(?P<year>\d+) (?P<filename>\S+)$")
    monkeypatch.setattr(dorvex, "DATETIME_PAT_NOT_RECENT", "%m %d %Y")
    record = listing(["-rw------- 3 ftp ftp 9 04.07.2021 a.txt"])
    assert (record.st_mode, record.st_nlink, record.st_mtime) == (0o100600, 3, utc(2021, 7, 4))


# ----- deep input and re-entry --------------------------------------------------------------------

def test_no_native_walk_and_re_entry_through_overrides_is_a_recursion_error():
    # The module walks no user data; its operations call user overrides, which may call back in.
    code = textwrap.dedent("""
        import sys, threading
        from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex

        class Again(Dorvex):
            def get_auth(self, server_name):
                return self.deletefile("ftp://h/x", 1)

        outcome = []
        def run():
            try:
                Again().stat("ftp://h/x", 1)
            except RecursionError:
                outcome.append("RecursionError")
        sys.setrecursionlimit(1_000_000)
        threading.stack_size(1 << 20)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(outcome)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "['RecursionError']"
