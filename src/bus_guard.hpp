// A file mapping that survives the file being cut under it. Reading a page
// of a mapped file past its end raises SIGBUS, whose default action ends
// the process; a lease holds truncations back, but only for the system's
// lease-break time, and a parse stopped for longer (Ctrl-Z, a batch system
// suspending the job) would die when it went on. While a range is guarded,
// SIGBUS on an address inside it maps zero pages over the rest of the range
// and marks it cut; the reader then finds the mark and reports the change.
// SIGBUS anywhere else goes to whoever handled it before (by default, the
// end of the process, as without the guard).
#pragma once

#include <cstddef>

namespace quorvel {

class BusGuard {
public:
    BusGuard() noexcept = default;
    BusGuard(const BusGuard&) = delete;
    BusGuard& operator=(const BusGuard&) = delete;
    BusGuard(BusGuard&& other) noexcept;
    BusGuard& operator=(BusGuard&& other) noexcept;
    ~BusGuard() { leave(); }

    // Guards [begin, begin + size), which must be page-aligned at `begin`.
    // False when no guard can be had (the handler cannot be installed, or
    // too many ranges are guarded at once): the range must not be mapped
    // from a file then.
    bool enter(char* begin, std::size_t size) noexcept;

    // Whether a read inside the range hit the end of the file.
    bool cut() const noexcept;

    // Stops guarding; before the range is unmapped.
    void leave() noexcept;

private:
    int slot_ = -1;
};

}  // namespace quorvel
