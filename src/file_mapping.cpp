#include "file_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        close();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool FileMapping::map(int fd) noexcept {
#if defined(F_SETLEASE)
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        return false;
    }
    // Taking the lease made this process the one told of its break, with a
    // SIGIO that would end it: nobody is told. The breaker waits until the
    // mapping is gone (or the system's lease-break time has passed).
    ::fcntl(fd, F_SETOWN, 0);
    // The size once nobody can change it any more.
    struct stat info {};
    void* at = MAP_FAILED;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    }
    if (at == MAP_FAILED) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    close();
    data_ = static_cast<char*>(at);
    size_ = static_cast<std::size_t>(info.st_size);
    fd_ = fd;
    return true;
#else
    (void)fd;
    return false;
#endif
}

void FileMapping::close() noexcept {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
    }
    if (fd_ >= 0) {
#if defined(F_SETLEASE)
        ::fcntl(fd_, F_SETLEASE, F_UNLCK);
#endif
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace quorvel
