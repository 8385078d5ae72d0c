// Where C++ exceptions end. Every entry point of the reader core and of the
// binding runs its work through catch_faults, so that no exception reaches
// a caller that does not expect one: a failed allocation is OutOfMemory,
// any other exception an internal fault with its description. The one
// unwind that passes is a thread's forced exit (pthread_exit, which CPython
// uses to end a thread that takes the lock back during finalization):
// swallowing it aborts the process, and so would a noexcept frame on its way.
//
// The handler of `abi::__forced_unwind&` binds a reference to an object
// the unwind does not have; the undefined-behaviour sanitizer takes that for
// a null reference, so the functions with such a handler leave that one
// check out (QUORVEL_CATCHES_THREAD_EXIT). `catch (...)` cannot stand in:
// inside it, nothing tells the unwind from a C++ exception reliably.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_CATCHES_THREAD_EXIT __attribute__((no_sanitize("null")))
#else
#define QUORVEL_CATCHES_THREAD_EXIT
#endif

namespace quorvel {

enum class FaultKind {
    OutOfMemory,
    Internal,
};

// The result of `body()`, or of `on_fault(kind, description)` when an
// exception escapes it. The description lives as long as the call;
// `on_fault` must not throw.
template <class Body, class OnFault>
QUORVEL_CATCHES_THREAD_EXIT auto catch_faults(Body&& body, OnFault&& on_fault) -> decltype(body()) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return on_fault(FaultKind::OutOfMemory, "out of memory");
    } catch (const std::length_error&) {
        return on_fault(FaultKind::OutOfMemory, "out of memory");
    } catch (const std::exception& fault) {
        return on_fault(FaultKind::Internal, fault.what());
    } catch (...) {
        return on_fault(FaultKind::Internal, "unknown internal fault");
    }
}

}  // namespace quorvel
