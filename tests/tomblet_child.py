"""A child interpreter for the double Ctrl-C tests: arms the handler, reports on stdout, waits.

Usage: tomblet_child.py [standard|sig_dfl]. In sig_dfl mode the standard SIGINT handler cannot be
installed, so that the module falls back to the default disposition.
"""

import logging
import signal
import sys
import time
import types

from quarv.utils import tomblet


def refuse_standard_handler():
    real_signal = signal.signal

    def install(signum, handler):
        if handler is signal.default_int_handler:
            raise OSError("standard handler refused")
        return real_signal(signum, handler)

    tomblet.signal = types.SimpleNamespace(**{**vars(signal), "signal": install})


def main(mode):
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr, format="%(name)s %(levelname)s %(message)s")
    if mode == "sig_dfl":
        refuse_standard_handler()
    tomblet.enable_double_ctrl_c(lambda frame: print("callback", type(frame).__name__, flush=True))
    armed = signal.getsignal(signal.SIGINT)
    print("ready", flush=True)
    deadline = time.monotonic() + 30
    announced = False
    while time.monotonic() < deadline:
        if not announced and signal.getsignal(signal.SIGINT) is not armed:
            print("disarmed", flush=True)
            announced = True
        time.sleep(0.01)
    print("no second SIGINT came", flush=True)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "standard"))
