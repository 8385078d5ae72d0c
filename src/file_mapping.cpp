#include "file_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "read_lease.hpp"

namespace quorvel {

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        close();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        fd_ = std::exchange(other.fd_, -1);
        mapped_status_ = other.mapped_status_;
        guard_ = std::move(other.guard_);
    }
    return *this;
}

bool FileMapping::map(int fd) noexcept {
    if (!take_read_lease(fd)) {
        return false;
    }
    // The size once nobody can change it any more.
    struct stat info {};
    void* at = MAP_FAILED;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    }
    BusGuard guard;
    if (at != MAP_FAILED && !guard.enter(static_cast<char*>(at), static_cast<std::size_t>(info.st_size))) {
        ::munmap(at, static_cast<std::size_t>(info.st_size));
        at = MAP_FAILED;
    }
    if (at == MAP_FAILED) {
        let_go_of_read_lease(fd);
        return false;
    }
    close();
    data_ = static_cast<char*>(at);
    size_ = static_cast<std::size_t>(info.st_size);
    fd_ = fd;
    mapped_status_ = info;
    guard_ = std::move(guard);
    return true;
}

bool FileMapping::intact() const noexcept {
    if (data_ == nullptr) {
        return true;
    }
    struct stat now {};
    return !guard_.cut() && ::fstat(fd_, &now) == 0 && same_status(mapped_status_, now);
}

void FileMapping::close() noexcept {
    guard_.leave();
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
    }
    if (fd_ >= 0) {
        let_go_of_read_lease(fd_);
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace quorvel
