#include "read_lease.hpp"

#include <csignal>
#include <ctime>
#include <initializer_list>

#include <fcntl.h>

namespace quorvel {

namespace {

#if defined(F_SETLEASE) && defined(F_SETSIG)
int unhandled_ignored_signal() noexcept {
    for (const int signal : {SIGURG, SIGWINCH}) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
            (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN)) {
            return signal;
        }
    }
    return 0;
}
#endif

bool same_time(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool take_read_lease(int fd) noexcept {
#if defined(F_SETLEASE) && defined(F_SETSIG)
    const int signal = unhandled_ignored_signal();
    if (signal == 0 || ::fcntl(fd, F_SETSIG, signal) != 0 || ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        return false;
    }
    ::fcntl(fd, F_SETOWN, 0);  // nobody is told of a break: the breaker waits
    return true;
#else
    (void)fd;
    return false;
#endif
}

void let_go_of_read_lease(int fd) noexcept {
#if defined(F_SETLEASE)
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
#else
    (void)fd;
#endif
}

bool same_status(const struct stat& a, const struct stat& b) noexcept {
    return a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

}  // namespace quorvel
