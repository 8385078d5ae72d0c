#include "file_reading.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "read_lease.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

// Plain files from this size on are mapped rather than read where a lease
// allows it: below it, reading costs less than setting the mapping up.
constexpr std::uint64_t kMapMin = std::uint64_t{1} << 20;

// Pieces of a read: each is checked as UTF-8 while it is still in the cache,
// and the caller is asked between two whether to stop.
constexpr std::size_t kPiece = std::size_t{1} << 20;

// How long a read may wait for data before the caller is asked again
// whether to stop: well within the tenth of a second a person waits for
// Ctrl-C to take.
constexpr int kWaitMilliseconds = 20;

// A file written to this recently may be in the middle of a write: a write
// stamps the file when it starts, not when it ends. Without a lease, whose
// holder knows nobody writes, such a file is read again, once it has been
// left alone this long (waiting at most kSettleLimit).
constexpr std::int64_t kSettleNanoseconds = std::int64_t{200} * 1000 * 1000;
constexpr std::int64_t kSettleLimitNanoseconds = std::int64_t{1000} * 1000 * 1000;
constexpr long kSettleStepNanoseconds = 10 * 1000 * 1000;

Status os_error(int code) { return ParseError::os(code); }

Status stop_if_asked(const Interruption& interruption) {
    return interruption.stop() ? Status(ParseError::interrupted()) : Status();
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    // Hands the descriptor to someone else, who closes it.
    void release() noexcept { fd_ = -1; }

private:
    int fd_;
};

// Opening never waits (a FIFO without a writer opens at once, and its
// writer is waited for by poll) and never makes a terminal the process's
// controlling one.
Status open_file(std::string_view path, int& fd, const Interruption& interruption) {
    if (path.find('\0') != std::string_view::npos) {
        return ParseError::io("file name contains a NUL byte");
    }
    const std::string terminated(path);
    for (;;) {
        fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) {
            return {};
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
        QV_TRY(stop_if_asked(interruption));
    }
}

// ------------------------------------------------------------ streams

// What MemAvailable of /proc/meminfo says, or else the machine's memory, or
// else no limit.
std::size_t memory_available() noexcept {
    std::size_t total = std::numeric_limits<std::size_t>::max();
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) {
        total = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
    }
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return total;
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) {
        return total;
    }
    const std::string_view info(buffer, static_cast<std::size_t>(n));
    const std::size_t at = info.find("MemAvailable:");
    std::uint64_t kilobytes = 0;
    if (at == std::string_view::npos ||
        !parse_integer(trim_whitespace(info.substr(at + 13, info.find(" kB", at) - at - 13)), kilobytes)) {
        return total;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(kilobytes, total / 1024) * 1024);
}

// read(2) of what is there. Every wait for data is a poll, so that the
// caller is asked while it waits; the descriptor does not block.
Status read_some(int fd, char* buffer, std::size_t capacity, std::size_t& count, const Interruption& interruption) {
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kWaitMilliseconds);
        if (polled < 0 && errno != EINTR) {
            return os_error(errno);
        }
        if (polled > 0) {
            const ssize_t n = ::read(fd, buffer, capacity);
            if (n >= 0) {
                count = static_cast<std::size_t>(n);
                return {};
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                return os_error(errno);
            }
        }
        QV_TRY(stop_if_asked(interruption));
    }
}

// An input without a size, to its end.
Status read_stream(int fd, HeapArray<char>& out, Utf8Check& utf8, const Interruption& interruption) {
    const std::size_t limit = memory_available();
    for (;;) {
        if (out.capacity() - out.size() < 4096) {
            out.reserve(out.size() + std::max<std::size_t>(out.size() / 2, 1 << 16));
        }
        std::size_t count = 0;
        QV_TRY(read_some(fd, out.data() + out.size(), std::min(out.capacity() - out.size(), kPiece), count,
                         interruption));
        if (count == 0) {
            return {};
        }
        out.grow_by(count);
        utf8.grow(out.data(), out.size());
        if (out.size() > limit) {
            return ParseError::io("input without end: more than the " + std::to_string(limit >> 20) +
                                  " MiB of memory available");
        }
        QV_TRY(stop_if_asked(interruption));
    }
}

// ------------------------------------------------------- regular files

// How long ago the status last changed; negative for a time ahead of the
// clock (another machine's, on a network file system).
std::int64_t age_of(const struct stat& info) noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::int64_t>(now.tv_sec) - info.st_ctim.tv_sec) * 1000000000 +
           (now.tv_nsec - info.st_ctim.tv_nsec);
}

bool settled(const struct stat& info) noexcept { return age_of(info) >= kSettleNanoseconds; }

// Waits, a step at a time, until the file has been left alone for a while,
// at most kSettleLimit; `info` is its status then.
Status wait_until_settled(int fd, struct stat& info, const Interruption& interruption) {
    for (std::int64_t waited = 0; !settled(info) && waited < kSettleLimitNanoseconds;
         waited += kSettleStepNanoseconds) {
        const timespec step{0, kSettleStepNanoseconds};
        ::nanosleep(&step, nullptr);
        QV_TRY(stop_if_asked(interruption));
        if (::fstat(fd, &info) != 0) {
            return os_error(errno);
        }
    }
    return {};
}

// A write stamps the file when it begins and may go on for a while after:
// a writer preempted in the middle of a large write (on a loaded machine,
// for longer than any settling time) leaves a file whose status says
// nothing of the half written. Ext4, XFS and tmpfs hold the file's lock
// for the whole of a write, and take it also to look for data (SEEK_DATA):
// that look waits until the write in progress has ended, so that what is
// read after it is whole, and any later write stamps the file anew. On file
// systems that take no lock there the look costs a system call and nothing
// else; its answer does not matter.
void wait_for_write_in_progress(int fd) noexcept {
#if defined(SEEK_DATA)
    (void)::lseek(fd, 0, SEEK_DATA);
#else
    (void)fd;
#endif
}

// pread(2) of up to `capacity` bytes at `offset`, retried when a signal
// interrupts it unless the caller then asks to stop.
Status read_at(int fd, char* buffer, std::size_t capacity, std::size_t offset, std::size_t& count,
               const Interruption& interruption) {
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, capacity, static_cast<off_t>(offset));
        if (n >= 0) {
            count = static_cast<std::size_t>(n);
            return {};
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
        QV_TRY(stop_if_asked(interruption));
    }
}

// The first `size` bytes of the file, or fewer when it ends before (`cut`).
// The pages of each piece are mapped in one call before it is read, not all
// at once, so that a read of gigabytes stops as soon as it is asked to.
Status read_prefix(int fd, std::size_t size, HeapArray<char>& out, Utf8Check& utf8, bool& cut,
                   const Interruption& interruption) {
    out.reserve_large_in_own_mapping(size + 1, false);
    while (out.size() < size) {
        const std::size_t piece = std::min(kPiece, size - out.size());
        out.populate(out.size(), piece);
        std::size_t count = 0;
        QV_TRY(read_at(fd, out.data() + out.size(), piece, out.size(), count, interruption));
        if (count == 0) {
            cut = true;
            return {};
        }
        out.grow_by(count);
        utf8.grow(out.data(), out.size());
        QV_TRY(stop_if_asked(interruption));
    }
    return {};
}

// Whether the file still starts with the bytes `held`.
Status starts_with_held(int fd, std::string_view held, bool& same, const Interruption& interruption) {
    const std::unique_ptr<char[]> buffer(new char[kPiece]);
    same = false;
    for (std::size_t at = 0; at < held.size();) {
        std::size_t count = 0;
        QV_TRY(read_at(fd, buffer.get(), std::min(kPiece, held.size() - at), at, count, interruption));
        if (count == 0 || std::memcmp(buffer.get(), held.data() + at, count) != 0) {
            return {};
        }
        at += count;
        QV_TRY(stop_if_asked(interruption));
    }
    same = true;
    return {};
}

// A regular file up to the size it had when opened, read again once when it
// changed under the read:
// - under a lease nobody writes, so the bytes are whole when the status is
//   the same after the read (it changes only when the lease was broken and
//   its time ran out: a parse stopped for longer than that, as by Ctrl-Z);
// - without one, the bytes are whole when the status is the same after the
//   read and the file had been left alone for a while before it (a write
//   that began just before may go on under the read), or when the file grew
//   and a second read finds the bytes read the same: a writer appended to it
//   (as VASP does while it runs), which leaves the bytes before alone.
// The second read waits, without a lease, until the file has been left
// alone. A file that ended before its size with its status the same says
// more than it holds, as files of /sys do.
Status read_regular(int fd, HeapArray<char>& out, bool& valid_utf8, const Interruption& interruption) {
    for (int attempt = 0;; ++attempt) {
        const ReadLease lease(fd);
        struct stat before {};
        if (::fstat(fd, &before) != 0) {
            return os_error(errno);
        }
        if (attempt != 0 && !lease.held()) {
            QV_TRY(wait_until_settled(fd, before, interruption));
        }
        if (!lease.held()) {
            wait_for_write_in_progress(fd);
        }
        out = HeapArray<char>();
        Utf8Check utf8;
        bool cut = false;
        QV_TRY(read_prefix(fd, static_cast<std::size_t>(before.st_size), out, utf8, cut, interruption));
        struct stat after {};
        if (::fstat(fd, &after) != 0) {
            return os_error(errno);
        }
        bool whole = same_status(before, after) && (lease.held() || cut || settled(before));
        if (!whole && !lease.held() && !cut && after.st_size > before.st_size) {
            QV_TRY(starts_with_held(fd, std::string_view(out.data(), out.size()), whole, interruption));
        }
        if (whole) {
            valid_utf8 = utf8.valid(out.size());
            return {};
        }
        if (attempt == 1) {
            return ParseError::io("file changed while it was read");
        }
    }
}

}  // namespace

Status read_file(std::string_view path, HeapArray<char>& out, bool& valid_utf8, const Interruption& interruption,
                 FileMapping* mapping) {
    int raw_fd = -1;
    QV_TRY(open_file(path, raw_fd, interruption));
    FileDescriptor fd(raw_fd);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return os_error(errno);
    }
    if (mapping != nullptr && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) >= kMapMin &&
        mapping->map(fd.get())) {
        fd.release();
        return {};
    }
    // Files of /proc say they are empty: they are read as streams.
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        return read_regular(fd.get(), out, valid_utf8, interruption);
    }
    Utf8Check utf8;
    QV_TRY(read_stream(fd.get(), out, utf8, interruption));
    valid_utf8 = utf8.valid(out.size());
    return {};
}

}  // namespace quorvel
