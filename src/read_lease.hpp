// A read lease on an open file, and the look at its status that tells
// whether it changed.
//
// While a lease is held, nobody has the file open for writing, and whoever
// opens it so (or truncates it) waits until it is let go, or until the
// system's lease-break time (45 s by default) has passed. None is had for a
// file open for writing, one of another user, or on a file system without
// leases (NFS).
#pragma once

#include <sys/stat.h>

namespace quorvel {

// Takes a read lease on `fd`; false when none can be had.
//
// Taking a lease makes the process the one told of its break, by SIGIO,
// whose default action ends the process; the kernel sets that owner itself,
// so it cannot be cleared beforehand, only right after. A break in between
// would kill the process: the signal is first changed to one whose default
// action is to ignore it and that nobody handles, and without such a signal
// no lease is taken.
bool take_read_lease(int fd) noexcept;

// Lets go of a lease `take_read_lease` took.
void let_go_of_read_lease(int fd) noexcept;

class ReadLease {
public:
    explicit ReadLease(int fd) noexcept : fd_(fd), held_(take_read_lease(fd)) {}
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;
    ~ReadLease() {
        if (held_) {
            let_go_of_read_lease(fd_);
        }
    }
    bool held() const noexcept { return held_; }

private:
    int fd_;
    bool held_;
};

// Whether nothing that a write changes (size, modification and status
// change times) differs between two looks at a file.
bool same_status(const struct stat& a, const struct stat& b) noexcept;

}  // namespace quorvel
