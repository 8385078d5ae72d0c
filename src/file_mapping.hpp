// A regular file mapped into memory (private, copy-on-write) instead of
// copied out of the page cache, under a read lease: while the lease is
// held, whoever opens the file for writing or truncates it waits until the
// mapping is gone. A lease lasts only the system's lease-break time once
// someone waits for it (45 s by default: a parse stopped longer, by Ctrl-Z
// or a batch system, loses it), so the mapping is also guarded against the
// file being cut under it (see BusGuard), and `intact` tells afterwards
// whether the file stayed as it was. Where no lease can be had (the file is
// open for writing, belongs to someone else, lives on a file system without
// leases), the file is read instead.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include <sys/stat.h>

#include "bus_guard.hpp"

namespace quorvel {

class FileMapping {
public:
    FileMapping() noexcept = default;
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    FileMapping(FileMapping&& other) noexcept { *this = std::move(other); }
    FileMapping& operator=(FileMapping&& other) noexcept;
    ~FileMapping() { close(); }

    // Maps the regular file open at `fd` under a read lease; false, with
    // nothing mapped and `fd` left as it was, when that cannot be done. On
    // success the mapping takes `fd` over.
    bool map(int fd) noexcept;

    char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

    // Whether the file is as it was when it was mapped: not cut under the
    // mapping, its size and times the same.
    bool intact() const noexcept;

private:
    void close() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    int fd_ = -1;
    struct stat mapped_status_ {};
    BusGuard guard_;
};

}  // namespace quorvel
