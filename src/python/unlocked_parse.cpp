#include "unlocked_parse.hpp"

#include <chrono>

#include "errors.hpp"

namespace quorvel::python {

namespace {

// Long enough that taking the lock back costs nothing worth measuring,
// short enough that Ctrl-C takes well within a tenth of a second.
constexpr std::chrono::milliseconds kSignalInterval{20};

struct SignalWatch {
    PyThreadState* thread = nullptr;  // this thread's state while the lock is released
    std::chrono::steady_clock::time_point next_look;
    PyRef raised;  // what a signal handler raised
};

bool signal_raised(void* context) {
    auto& watch = *static_cast<SignalWatch*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now < watch.next_look) {
        return false;
    }
    watch.next_look = now + kSignalInterval;
    PyEval_RestoreThread(watch.thread);
    if (PyErr_CheckSignals() < 0) {
        watch.raised = take_exception();
    }
    watch.thread = PyEval_SaveThread();
    return static_cast<bool>(watch.raised);
}

}  // namespace

ParseOutcome parse_without_the_lock(std::string_view path, const ParseOptions& options) {
    SignalWatch watch;
    watch.next_look = std::chrono::steady_clock::now() + kSignalInterval;
    const Interruption interruption{signal_raised, &watch};
    watch.thread = PyEval_SaveThread();
    ParseOutcome outcome = parse(path, options, interruption);
    PyEval_RestoreThread(watch.thread);
    if (outcome.status == ParseStatus::Interrupted) {
        raise_exception(std::move(watch.raised));
    }
    return outcome;
}

}  // namespace quorvel::python
