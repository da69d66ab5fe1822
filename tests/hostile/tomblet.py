# Hostile collaborators of quarv.utils.tomblet (see tests/test_hostile_collaborators.py). The
# handler is reached by real SIGINTs sent to the child itself.

import textwrap

COMMON = textwrap.dedent("""
    import os, signal, types
    import quarv.utils.tomblet as tomblet
    from quarv.utils.tomblet import enable_double_ctrl_c, restore_sigint_handler

    NAMES = ("os", "signal", "logger", "restore_sigint_handler")
    REAL = {name: getattr(tomblet, name) for name in NAMES}

    def reset():
        for name, value in REAL.items():
            setattr(tomblet, name, value)
        signal.signal(signal.SIGINT, signal.default_int_handler)

    def sigint():
        # a real SIGINT to this process, sent only while a Python handler takes it (the default
        # disposition, which the module falls back to when the standard handler cannot be put back,
        # would end the process as it is meant to)
        if callable(signal.getsignal(signal.SIGINT)):
            os.kill(os.getpid(), signal.SIGINT)
            for _ in range(3):  # the handler runs at the next check of the evaluation loop
                pass

    def double(callback=None):
        enable_double_ctrl_c(callback)
        sigint()
        sigint()

    def case(label, prepare=lambda: None, callback=None):
        def run():
            reset()
            try:
                prepare()
                double(callback)
            finally:
                reset()
        attempt(label, run)

    class Proxy:
        # does `before()` and then what `original` does: when called, and through every attribute
        def __init__(self, original, before):
            self._original, self._before = original, before
        def __call__(self, *args, **kwargs):
            self._before()
            return self._original(*args, **kwargs)
        def __getattr__(self, name):
            value = getattr(self._original, name)
            self._before()
            return Proxy(value, self._before) if callable(value) else value

    def once(step, depth=[0]):
        def run(*args, **kwargs):
            if depth[0]:
                return
            depth[0] += 1
            try:
                step()
            finally:
                depth[0] -= 1
        return run

    def rebind_all_wrong():
        for name in NAMES:
            setattr(tomblet, name, None)

    # label -> a step done before the original's own work
    STEPS = {"raises " + label: raiser(label) for label in RAISING}
    STEPS.update({
        "sends SIGINT again": sigint,
        "sends SIGINT again once": once(sigint),
        "arms again": lambda: enable_double_ctrl_c(lambda frame: None),
        # once: restore_sigint_handler retries whatever failed, so a `signal` that calls it again
        # every time doubles the work at each level of the recursion, in Python as here
        "restores once": once(lambda: REAL["restore_sigint_handler"]()),
        "arms again and sends SIGINT once": once(lambda: (enable_double_ctrl_c(), sigint())),
        "rebinds every name wrongly": rebind_all_wrong,
    })
""")


def hostile_row(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    # every module-level name the handler and restore_sigint_handler look up when the signal comes
    hostile_row("tomblet.module-names", """
        for name in NAMES:
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            substitutes.update({label: Proxy(REAL[name], step) for label, step in STEPS.items()})
            for label, substitute in substitutes.items():
                case(f"{name} {label}", lambda: setattr(tomblet, name, substitute))
                case(f"{name} {label} / with a callback", lambda: setattr(tomblet, name, substitute),
                     callback=lambda frame: None)
        # what they hand back, of the wrong type
        class Formatted(str):
            def __rmod__(self, other):
                return self.value
        for label, value in WRONG.items():
            pid = Formatted("p")
            pid.value = value
            for name, substitute in [
                    ("os", types.SimpleNamespace(getpid=lambda _v=value: _v)),
                    ("os", types.SimpleNamespace(getpid=lambda _p=pid: _p)),
                    ("logger", types.SimpleNamespace(debug=lambda text, _v=value: _v, warning=lambda text: None)),
                    ("logger", types.SimpleNamespace(debug=lambda text: None, warning=value)),
                    ("restore_sigint_handler", lambda _v=value: _v),
                    ("signal", types.SimpleNamespace(**{**vars(signal), "signal": lambda *a, _v=value: _v})),
                    ("signal", types.SimpleNamespace(**{**vars(signal), "SIGINT": value})),
                    ("signal", types.SimpleNamespace(**{**vars(signal), "default_int_handler": value})),
                    ("signal", types.SimpleNamespace(**{**vars(signal), "default_int_handler": value,
                                                        "SIG_DFL": value}))]:
                case(f"{name} gives {label}", lambda: setattr(tomblet, name, substitute))
        for label in RAISING:
            refusing = lambda signum, handler, _l=label: (
                signal.signal(signum, handler) if handler is not signal.default_int_handler else raiser(_l)())
            for fallback_label, fallback in [("and the fallback works", signal.SIG_DFL),
                                             ("and the fallback raises too", object())]:
                substitute = types.SimpleNamespace(**{**vars(signal), "signal": refusing, "SIG_DFL": fallback})
                case(f"standard handler refused by {label} {fallback_label}",
                     lambda: setattr(tomblet, "signal", substitute))
        # names missing altogether
        for name in NAMES:
            case(f"{name} deleted", lambda: delattr(tomblet, name))
    """),
    # the callback, the handler called with wrong arguments, and enable_double_ctrl_c and
    # restore_sigint_handler called from inside the handler
    hostile_row("tomblet.callback", """
        for label, value in WRONG.items():
            case("callback " + label, callback=value)
            case("callback gives " + label, callback=lambda frame, _v=value: _v)
            Truth = type("Truth", (), {"__bool__": lambda self, _v=value: _v, "__call__": lambda self, frame: None})
            case("callback __bool__ gives " + label, callback=Truth())
            Sized = type("Sized", (), {"__len__": lambda self, _v=value: _v, "__call__": lambda self, frame: None})
            case("callback __len__ gives " + label, callback=Sized())
        for label, step in STEPS.items():
            case("callback " + label, callback=lambda frame, _s=step: _s())
            Truth = type("Truth", (), {"__bool__": lambda self, _s=step: _s() or True,
                                       "__call__": lambda self, frame: None})
            case("callback __bool__ " + label, callback=Truth())
            case("callback " + label + " and is called again", callback=lambda frame, _s=step: (
                _s(), signal.getsignal(signal.SIGINT)(signal.SIGINT, frame)))
        def handler_with(args):
            enable_double_ctrl_c(lambda frame: None)
            handler = signal.getsignal(signal.SIGINT)
            handler(*args)
        for label, value in WRONG.items():
            for args in [(value, value), (signal.SIGINT, value), (value,), ()]:
                attempt(f"handler called with {len(args)} arguments {label}", lambda: (reset(), handler_with(args)))
        attempt("handler called with keywords", lambda: (reset(), enable_double_ctrl_c(print),
                                                          signal.getsignal(signal.SIGINT)(frame=1, signum=2)))
        for label, value in WRONG.items():
            attempt("restore_sigint_handler with an argument " + label, lambda: restore_sigint_handler(value))
            attempt("enable_double_ctrl_c with two arguments " + label, lambda: enable_double_ctrl_c(value, value))
        reset()
    """),
]
