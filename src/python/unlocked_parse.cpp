#include "unlocked_parse.hpp"

#include <chrono>

#include <cxxabi.h>

#include "errors.hpp"
#include "faults.hpp"
#include "interruptible_parse.hpp"

namespace quorvel::python {

namespace {

// Long enough that taking the lock back costs nothing worth measuring,
// short enough that Ctrl-C takes well within a tenth of a second.
constexpr std::chrono::milliseconds kSignalInterval{20};

struct SignalWatch {
    PyThreadState* thread = nullptr;  // this thread's state while the lock is released
    std::chrono::steady_clock::time_point next_look;
    PyRef raised;  // what a signal handler raised
    // Whether the interpreter was running normally when the parse began:
    // once it is being finalized, taking the lock back ends this thread.
    bool may_be_ended = false;
    // Signal handlers run on the main thread alone: any other thread finds
    // out at its first look and then never takes the lock back to look
    // again, where it would only make the threads that run Python wait.
    bool handles_signals = true;
};

// Whether this thread is the interpreter's main thread; with the lock. When
// that cannot be told (also when `threading` was never imported, which
// nothing here imports for the question), it is taken to be.
bool on_the_main_thread() {
    PyRef name(PyUnicode_FromString("threading"));
    PyRef threading(name ? PyImport_GetModule(name.get()) : nullptr);
    PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return true;
    }
    return !ident || id == PyThread_get_thread_ident();
}

// Read without the lock: the flag is an atomic of the runtime.
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Once finalization has started, CPython (before 3.14) ends any other
// thread that takes the lock with pthread_exit, which unwinds the stack as
// if by an exception. That unwind has to run through every frame up to the
// thread's start, and on the way nothing of Python may be touched: the
// exception a handler raised is let go of, not released.
QUORVEL_CATCHES_THREAD_EXIT void take_the_lock_back(SignalWatch& watch) {
    try {
        PyEval_RestoreThread(watch.thread);
    } catch (abi::__forced_unwind&) {
        static_cast<void>(watch.raised.release());
        throw;
    }
}

bool signal_raised(void* context) {
    auto& watch = *static_cast<SignalWatch*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now < watch.next_look) {
        return false;
    }
    watch.next_look = now + kSignalInterval;
    // Nobody will see what the parse makes: it stops without the lock.
    if (watch.may_be_ended && interpreter_finalizing()) {
        return true;
    }
    if (!watch.handles_signals) {
        return false;
    }
    take_the_lock_back(watch);
    if (PyErr_CheckSignals() < 0) {
        watch.raised = take_exception();
    }
    watch.handles_signals = watch.raised || on_the_main_thread();
    watch.thread = PyEval_SaveThread();
    return static_cast<bool>(watch.raised);
}

}  // namespace

ParseOutcome parse_without_the_lock(std::string_view path, const ParseOptions& options) {
    SignalWatch watch;
    watch.next_look = std::chrono::steady_clock::now() + kSignalInterval;
    // A parse that starts during finalization runs in the thread finalizing
    // (a __del__, a weakref callback), which is never ended.
    watch.may_be_ended = !interpreter_finalizing();
    const Interruption interruption{signal_raised, &watch};
    watch.thread = PyEval_SaveThread();
    ParseOutcome outcome = parse_interruptibly(path, options, interruption);
    if (watch.may_be_ended && interpreter_finalizing()) {
        outcome = ParseOutcome{};  // given back now, while nothing else is going on
        outcome.status = ParseStatus::Interrupted;
    }
    take_the_lock_back(watch);
    // What a handler raised is raised, also when the parse came to its end
    // before it saw the request to stop.
    if (watch.raised) {
        outcome = ParseOutcome{};
        outcome.status = ParseStatus::Interrupted;
        raise_exception(std::move(watch.raised));
    } else if (outcome.status == ParseStatus::Interrupted) {  // a finalization that did not end this thread
        PyErr_SetString(PyExc_RuntimeError, "the interpreter is shutting down");
    }
    return outcome;
}

}  // namespace quorvel::python
