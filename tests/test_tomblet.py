"""quarv.utils.tomblet: the double Ctrl-C handler, with real SIGINTs."""

import inspect
import logging
import os
import selectors
import signal
import subprocess
import sys
import threading
import types
from pathlib import Path

import pytest

from quarv.utils import tomblet
from quarv.utils.tomblet import enable_double_ctrl_c, restore_sigint_handler

CHILD = Path(__file__).with_name("tomblet_child.py")
FIRST_TEXT = "PID-{} received CTRL-C (SIGINT): hit CTRL-C again to fully interrupt this process"
RESETTING = ("DEBUG", "Resetting SIGINT handler")
FALLBACK = [("WARNING", "Failed to re-use signal.default_int_handler"),
            ("WARNING", "Reverting to signal.SIG_DFL instead...")]
FIRST = ("DEBUG", FIRST_TEXT.format(os.getpid()))


@pytest.fixture
def sigint():
    original = signal.getsignal(signal.SIGINT)
    yield
    signal.signal(signal.SIGINT, original)


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="quarv.utils.tomblet")

    def taken():
        ours = [r for r in caplog.records if r.name == "quarv.utils.tomblet"]
        assert all(not r.args for r in ours), "texts are complete before the logger is called"
        return [(r.levelname, r.getMessage()) for r in ours]

    return taken


def refusing_signal_module(refuse):
    """A stand-in for the module's `signal` whose `signal` refuses the handlers `refuse` picks."""
    def install(signum, handler):
        error = refuse(handler)
        if error is not None:
            raise error
        return signal.signal(signum, handler)

    return types.SimpleNamespace(**{**vars(signal), "signal": install})


# ----- a real child process -------------------------------------------------------------------

def read_line(proc, selector, timeout=20):
    assert selector.select(timeout), "the child did not answer in time"
    return proc.stdout.readline().strip()


@pytest.mark.parametrize("mode", ["standard", "sig_dfl"])
def test_child_survives_the_first_sigint_and_not_the_second(mode):
    proc = subprocess.Popen([sys.executable, str(CHILD), mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        selector = selectors.DefaultSelector()
        selector.register(proc.stdout, selectors.EVENT_READ)
        assert read_line(proc, selector) == "ready"
        os.kill(proc.pid, signal.SIGINT)
        assert read_line(proc, selector) == "callback frame"
        assert read_line(proc, selector) == "disarmed"
        assert proc.poll() is None
        os.kill(proc.pid, signal.SIGINT)
        _, stderr = proc.communicate(timeout=20)
    finally:
        proc.kill()
        proc.wait(timeout=20)
    assert proc.returncode == -signal.SIGINT
    assert f"quarv.utils.tomblet DEBUG {FIRST_TEXT.format(proc.pid)}" in stderr
    assert "quarv.utils.tomblet DEBUG Resetting SIGINT handler" in stderr
    warnings = [line for line in stderr.splitlines() if " WARNING " in line]
    if mode == "standard":
        assert not warnings
        assert stderr.rstrip().endswith("KeyboardInterrupt")
    else:
        assert warnings == [f"quarv.utils.tomblet WARNING {text}" for _, text in FALLBACK]
        assert "KeyboardInterrupt" not in stderr  # killed by the default disposition


# ----- in this process, with signal.raise_signal ------------------------------------------------

def test_module_and_handler_shape(sigint):
    assert [n for n in vars(tomblet) if not n.startswith("__")] == [
        "os", "signal", "logging", "logger", "enable_double_ctrl_c", "restore_sigint_handler"]
    assert tomblet.__doc__ is None and not hasattr(tomblet, "__all__")
    assert tomblet.logger is logging.getLogger("quarv.utils.tomblet")
    assert enable_double_ctrl_c.__doc__.startswith("enable_double_ctrl_c")
    assert "KeyboardInterrupt" in enable_double_ctrl_c.__doc__ and "frame" in enable_double_ctrl_c.__doc__
    assert restore_sigint_handler.__doc__ is None
    assert str(inspect.signature(enable_double_ctrl_c)) == "(callback=None)"
    assert enable_double_ctrl_c() is None
    handler = signal.getsignal(signal.SIGINT)
    assert handler.__name__ == "sigint_handler"
    assert handler.__qualname__ == "enable_double_ctrl_c.<locals>.sigint_handler"
    assert handler.__doc__ is None
    assert str(inspect.signature(handler)) == "(signum, frame)"
    enable_double_ctrl_c()
    assert signal.getsignal(signal.SIGINT) is not handler
    with pytest.raises(TypeError, match=r"restore_sigint_handler\(\) takes 0 positional arguments but 1 was given"):
        restore_sigint_handler(1)


def test_first_sigint_is_absorbed_and_second_interrupts(sigint, records):
    enable_double_ctrl_c()
    signal.raise_signal(signal.SIGINT)
    assert records() == [FIRST, RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    with pytest.raises(KeyboardInterrupt):
        signal.raise_signal(signal.SIGINT)


@pytest.mark.parametrize("by_keyword", [False, True])
def test_callback_gets_the_interrupted_frame_between_log_and_reset(sigint, records, by_keyword):
    seen = []

    def callback(*args):
        seen.append((args, records(), signal.getsignal(signal.SIGINT)))

    if by_keyword:
        enable_double_ctrl_c(callback=callback)
    else:
        enable_double_ctrl_c(callback)
    armed = signal.getsignal(signal.SIGINT)
    here = inspect.currentframe()
    signal.raise_signal(signal.SIGINT)
    [(args, logged_before, disposition_during)] = seen
    assert len(args) == 1 and args[0] is here
    assert logged_before == [FIRST] and disposition_during is armed
    assert records() == [FIRST, RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


class FalseButCallable:
    def __init__(self):
        self.calls = 0

    def __bool__(self):
        return False

    def __call__(self, frame):
        self.calls += 1


@pytest.mark.parametrize("make_callback", [lambda: 0, lambda: [], FalseButCallable])
def test_false_callback_is_not_called(sigint, records, make_callback):
    callback = make_callback()
    enable_double_ctrl_c(callback)
    signal.raise_signal(signal.SIGINT)
    assert getattr(callback, "calls", 0) == 0
    assert records() == [FIRST, RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_arming_again_replaces_the_handler(sigint):
    calls = []
    enable_double_ctrl_c(lambda frame: calls.append("first"))
    enable_double_ctrl_c(lambda frame: calls.append("second"))
    signal.raise_signal(signal.SIGINT)
    assert calls == ["second"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_handler_replaced_while_it_runs_finishes_its_work(sigint, records, monkeypatch):
    # the signal table held the only reference to the running handler: arming again from the
    # callback, or putting the standard handler back from a rebound name, drops it mid-call
    calls = []

    def callback(frame):
        enable_double_ctrl_c(lambda frame: calls.append("second"))
        calls.append("first")

    enable_double_ctrl_c(callback)
    signal.raise_signal(signal.SIGINT)
    assert calls == ["first"]
    assert records() == [FIRST, RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler

    enable_double_ctrl_c()
    monkeypatch.setattr(tomblet, "os", types.SimpleNamespace(getpid=lambda: restore_sigint_handler() or "p"))
    signal.raise_signal(signal.SIGINT)
    assert records()[-3:] == [RESETTING, ("DEBUG", FIRST_TEXT.format("p")), RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("callback, error", [
    (lambda frame: 1 / 0, ZeroDivisionError),
    ("not callable", TypeError),
])
def test_failing_callback_leaves_the_handler_armed(sigint, records, callback, error):
    enable_double_ctrl_c(callback)
    armed = signal.getsignal(signal.SIGINT)
    for _ in range(2):
        with pytest.raises(error):
            signal.raise_signal(signal.SIGINT)
        assert signal.getsignal(signal.SIGINT) is armed
    assert records() == [FIRST, FIRST]


def test_handler_looks_its_names_up_when_the_signal_comes(sigint, records, monkeypatch):
    calls = []
    enable_double_ctrl_c()
    monkeypatch.setattr(tomblet, "restore_sigint_handler", lambda: calls.append("rebound"))
    monkeypatch.setattr(tomblet, "os", types.SimpleNamespace(getpid=lambda: "other"))
    signal.raise_signal(signal.SIGINT)
    assert calls == ["rebound"]
    assert records() == [("DEBUG", FIRST_TEXT.format("other"))]
    monkeypatch.delattr(tomblet, "logger")
    with pytest.raises(NameError, match="logger"):
        restore_sigint_handler()


def test_restore_without_arming(sigint, records):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    assert restore_sigint_handler() is None
    assert records() == [RESETTING]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("first_failure", [OSError("refused"), KeyboardInterrupt(), SystemExit(3)])
def test_fallback_to_the_default_disposition(sigint, records, monkeypatch, first_failure):
    seen_while_warning = []

    class ExcInfo(logging.Handler):
        def emit(self, record):
            seen_while_warning.append(sys.exc_info()[1])

    watcher = ExcInfo(logging.WARNING)
    tomblet.logger.addHandler(watcher)
    try:
        refuse = lambda handler: first_failure if handler is signal.default_int_handler else None  # noqa: E731
        monkeypatch.setattr(tomblet, "signal", refusing_signal_module(refuse))
        assert restore_sigint_handler() is None
    finally:
        tomblet.logger.removeHandler(watcher)
    assert records() == [RESETTING] + FALLBACK
    assert signal.getsignal(signal.SIGINT) is signal.SIG_DFL
    # the warnings are written while the first failure is being handled, as in an except clause
    assert seen_while_warning == [first_failure, first_failure]
    assert sys.exc_info() == (None, None, None)


def test_failing_fallback_keeps_the_first_failure_as_context(sigint, records, monkeypatch):
    first, second = OSError("first"), RuntimeError("second")
    monkeypatch.setattr(tomblet, "signal", refusing_signal_module(
        lambda handler: first if handler is signal.default_int_handler else second))
    with pytest.raises(RuntimeError) as raised:
        restore_sigint_handler()
    assert raised.value is second and raised.value.__context__ is first
    assert raised.value.__cause__ is None and not raised.value.__suppress_context__
    assert records() == [RESETTING] + FALLBACK

    # from the handler, it reaches the interrupted code
    monkeypatch.undo()
    enable_double_ctrl_c()
    monkeypatch.setattr(tomblet, "signal", refusing_signal_module(
        lambda handler: first if handler is signal.default_int_handler else second))
    with pytest.raises(RuntimeError) as raised:
        signal.raise_signal(signal.SIGINT)
    assert raised.value.__context__ is first


def test_broken_signal_attribute_is_caught_by_the_guard(sigint, records, monkeypatch):
    monkeypatch.setattr(tomblet, "signal", types.SimpleNamespace())
    with pytest.raises(AttributeError) as raised:
        restore_sigint_handler()
    assert isinstance(raised.value.__context__, AttributeError)
    assert records() == [RESETTING] + FALLBACK


def test_off_the_main_thread(sigint, records):
    before = signal.getsignal(signal.SIGINT)
    outcomes = {}

    def run(name, fn):
        try:
            fn()
        except BaseException as error:  # noqa: B902 - handed to the main thread
            outcomes[name] = error

    for name, fn in [("enable", enable_double_ctrl_c), ("restore", restore_sigint_handler)]:
        thread = threading.Thread(target=run, args=(name, fn))
        thread.start()
        thread.join(timeout=20)
    assert isinstance(outcomes["enable"], ValueError)
    assert isinstance(outcomes["restore"], ValueError)
    assert isinstance(outcomes["restore"].__context__, ValueError)
    assert signal.getsignal(signal.SIGINT) is before
    assert records() == [RESETTING] + FALLBACK
