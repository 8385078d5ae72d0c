// Where C++ exceptions end. Every entry point of the reader core and of the
// binding runs its work through catch_faults, so that no exception reaches
// a caller that does not expect one: a failed allocation is OutOfMemory,
// any other exception an internal fault with its description. The one
// unwind that passes is a thread's forced exit (pthread_exit, which CPython
// uses to end a thread that takes the lock back during finalization):
// swallowing it aborts the process, and so would a noexcept frame on its way.
// It is told apart inside `catch (...)` as the one exception without a C++
// type: a handler of `abi::__forced_unwind&` would bind a reference to the
// object it does not have, which the undefined-behaviour sanitizer reports.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace quorvel {

enum class FaultKind {
    OutOfMemory,
    Internal,
};

// Inside a handler: whether the exception being handled is the unwind of a
// thread's forced exit (or another exception of no C++ type, which no code
// here throws), which must go on.
inline bool is_thread_exit() noexcept { return abi::__cxa_current_exception_type() == nullptr; }

// The result of `body()`, or of `on_fault(kind, description)` when an
// exception escapes it. The description lives as long as the call;
// `on_fault` must not throw.
template <class Body, class OnFault>
auto catch_faults(Body&& body, OnFault&& on_fault) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return on_fault(FaultKind::OutOfMemory, "out of memory");
    } catch (const std::length_error&) {
        return on_fault(FaultKind::OutOfMemory, "out of memory");
    } catch (const std::exception& fault) {
        return on_fault(FaultKind::Internal, fault.what());
    } catch (...) {
        if (is_thread_exit()) {
            throw;
        }
        return on_fault(FaultKind::Internal, "unknown internal fault");
    }
}

}  // namespace quorvel
