#include "bus_guard.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Enough for every thread of a process reading a large file at once; one
// more is read instead of mapped.
constexpr int kSlots = 64;

// A slot is free when its begin is 0; it is taken by setting begin to 1
// first, and published once its end is set. The handler reads both with
// acquire order, so it never sees a range half written.
struct Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> cut{false};
};

Slot slots[kSlots];

// The action SIGBUS had before the guard's, set under `install_lock`.
struct sigaction previous_action {};
std::mutex install_lock;

void on_bus(int signal, siginfo_t* info, void* context);

bool guard_installed() noexcept {
    struct sigaction current {};
    return ::sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
           current.sa_sigaction == on_bus;
}

// Installs the handler unless it is the one in place; whoever installed
// another since is kept as the one to pass other faults to.
bool install() noexcept {
    std::lock_guard<std::mutex> lock(install_lock);
    if (guard_installed()) {
        return true;
    }
    struct sigaction action {};
    action.sa_sigaction = on_bus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &previous_action) == 0;
}

// A SIGBUS that is not ours: the guard steps aside, so that the fault
// meets what it met before the guard was installed. A fault of the
// hardware happens again on return; a signal sent is sent again.
void pass_on(int signal, siginfo_t* info, void* context) {
    const struct sigaction before = previous_action;
    ::sigaction(SIGBUS, &before, nullptr);
    if ((before.sa_flags & SA_SIGINFO) != 0 && before.sa_sigaction != nullptr) {
        before.sa_sigaction(signal, info, context);
        return;
    }
    if (before.sa_handler == SIG_IGN) {
        return;
    }
    if (before.sa_handler != SIG_DFL) {
        before.sa_handler(signal);
        return;
    }
    if (info == nullptr || info->si_code <= 0) {
        ::raise(signal);
    }
}

void on_bus(int signal, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (info != nullptr && info->si_code > 0) {
        const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (Slot& slot : slots) {
            const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
            const std::uintptr_t end = slot.end.load(std::memory_order_acquire);
            if (begin > 1 && at >= begin && at < end) {
                const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
                const std::uintptr_t from = at & ~(page - 1);
                void* zeros = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
                if (zeros != MAP_FAILED) {
                    slot.cut.store(true, std::memory_order_release);
                    errno = saved_errno;
                    return;
                }
                break;
            }
        }
    }
    pass_on(signal, info, context);
    errno = saved_errno;
}

}  // namespace

BusGuard::BusGuard(BusGuard&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

BusGuard& BusGuard::operator=(BusGuard&& other) noexcept {
    if (this != &other) {
        leave();
        slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
}

bool BusGuard::enter(char* begin, std::size_t size) noexcept {
    leave();
    if (begin == nullptr || size == 0 || !install()) {
        return false;
    }
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t end = (first + size + page - 1) & ~(page - 1);
    for (int i = 0; i < kSlots; ++i) {
        std::uintptr_t free = 0;
        if (slots[i].begin.compare_exchange_strong(free, 1, std::memory_order_acq_rel)) {
            slots[i].cut.store(false, std::memory_order_relaxed);
            slots[i].end.store(end, std::memory_order_release);
            slots[i].begin.store(first, std::memory_order_release);
            slot_ = i;
            return true;
        }
    }
    return false;
}

bool BusGuard::cut() const noexcept { return slot_ >= 0 && slots[slot_].cut.load(std::memory_order_acquire); }

void BusGuard::leave() noexcept {
    if (slot_ >= 0) {
        slots[slot_].end.store(0, std::memory_order_release);
        slots[slot_].begin.store(0, std::memory_order_release);
        slot_ = -1;
    }
}

}  // namespace quorvel
