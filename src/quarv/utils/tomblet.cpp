// quarv.utils.tomblet: a command line that takes two Ctrl-C to interrupt. The first SIGINT is
// logged, told to an optional callback and answered by putting the standard handler back, so the
// second one raises KeyboardInterrupt as usual.
//
// The process's SIGINT disposition is the only record of being armed.
#include "native/native.hpp"

namespace {
using namespace native;

// The definition of the handler that every enable_double_ctrl_c makes anew.
struct State {
    FunctionTemplate sigint_handler;
    template <typename Visit>
    void visit(Visit& v) {
        v(sigint_handler);
    }
};

const char* const enable_double_ctrl_c_doc = R"(enable_double_ctrl_c

Make this process quit only after two CTRL-C have been received: the first CTRL-C does nothing
(it is logged, and the callback is told), the second behaves as usual and raises
KeyboardInterrupt.

callback: a callable called when the first CTRL-C is received, with the current stack frame as
    its only argument.)";

// ----- sigint_handler(signum, frame), made anew by every enable_double_ctrl_c ----------------------

object sigint_handler(Frame& f, handle, handle frame) {
    // What runs below (the logger, the callback, a rebound name) may install another handler, which
    // drops the signal table's reference: the runtime holds the running handler, and with it the
    // callback it closes over, for the whole call.
    handle callback = f.closure(0);
    object message = steal(PyNumber_Remainder(
        text("PID-%s received CTRL-C (SIGINT): hit CTRL-C again to fully interrupt this process").ptr(),
        call_method(f.global("os"), "getpid").ptr()));
    call_method(f.global("logger"), "debug", message);
    if (truth(callback)) call(callback, frame);
    call(f.global("restore_sigint_handler"));
    return py::none();
}

// ----- enable_double_ctrl_c(callback=None) --------------------------------------------------------

// `signal.signal(signal.SIGINT, handler)`, or with `signal.<name>` as the handler when no handler is
// given (looked up after the other two names, as that expression does).
void install_sigint(Frame& f, handle handler) {
    object install = attr(f.global("signal"), "signal");
    object sigint = attr(f.global("signal"), "SIGINT");
    call(install, sigint, handler);
}
void install_sigint(Frame& f, Name standard_handler) {
    object install = attr(f.global("signal"), "signal");
    object sigint = attr(f.global("signal"), "SIGINT");
    call(install, sigint, attr(f.global("signal"), standard_handler));
}

object enable_double_ctrl_c(Frame& f, handle callback) {
    object handler = f.state<State>().sigint_handler.make(tuple_of(callback));
    install_sigint(f, handler);
    return py::none();
}

// ----- restore_sigint_handler() -----------------------------------------------------------------

object restore_sigint_handler(Frame& f) {
    call_method(f.global("logger"), "debug", text("Resetting SIGINT handler"));
    try {
        install_sigint(f, "default_int_handler");
    } catch (...) {
        // Whatever failed, BaseException included, is dropped in favour of the fallback.
        Caught failure;
        Handling handling(failure.value());
        call_method(f.global("logger"), "warning", text("Failed to re-use signal.default_int_handler"));
        call_method(f.global("logger"), "warning", text("Reverting to signal.SIG_DFL instead..."));
        install_sigint(f, "SIG_DFL");
    }
    return py::none();
}

// ----- the module body --------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("os");
    m.import_("signal");
    m.import_("logging");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));
    m.state<State>().sigint_handler =
        FunctionTemplate(function_def("sigint_handler", "enable_double_ctrl_c.<locals>.sigint_handler",
                                      "(signum, frame)", &sigint_handler),
                         m);
    m.def("enable_double_ctrl_c", "(callback=None)", &enable_double_ctrl_c, enable_double_ctrl_c_doc);
    m.def("restore_sigint_handler", "()", &restore_sigint_handler);
}
}  // namespace

QUARV_MODULE(tomblet, "quarv.utils.tomblet", body, State)
