#include "buffer.hpp"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__linux__) && !defined(MREMAP_DONTUNMAP)
#define MREMAP_DONTUNMAP 4  // Linux 5.7; older kernels refuse it with EINVAL
#endif

namespace quorvel {

void release_pages(void* begin, void* end) noexcept {
#if defined(MADV_DONTNEED)
    char* first = nullptr;
    std::size_t bytes = 0;
    if (mapped::whole_pages(begin, end, first, bytes)) {
        // Should the system refuse, the memory simply stays in use.
        ::madvise(first, bytes, MADV_DONTNEED);
    }
#else
    (void)begin;
    (void)end;
#endif
}

namespace mapped {

std::size_t page_size() noexcept {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

bool whole_pages(const void* begin, const void* end, char*& first, std::size_t& bytes) noexcept {
    const std::size_t page = page_size();
    if (page == 0) {
        return false;
    }
    const auto from = round_up(reinterpret_cast<std::uintptr_t>(begin), page);
    const auto to = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (to <= from) {
        return false;
    }
    first = reinterpret_cast<char*>(from);
    bytes = to - from;
    return true;
}

void* reserve(std::size_t bytes) noexcept {
    void* at = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

bool commit(void* at, std::size_t bytes) noexcept {
    return bytes == 0 || ::mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0;
}

void unmap(void* at, std::size_t bytes) noexcept {
    if (bytes != 0) {
        ::munmap(at, bytes);
    }
}

void* grow(void* at, std::size_t bytes, std::size_t new_bytes) noexcept {
#if defined(__linux__)
    void* grown = ::mremap(at, bytes, new_bytes, MREMAP_MAYMOVE);
    return grown == MAP_FAILED ? nullptr : grown;
#else
    (void)at;
    (void)bytes;
    (void)new_bytes;
    return nullptr;
#endif
}

bool move_pages(void* from, std::size_t bytes, void* to) noexcept {
#if defined(__linux__)
    // The pages keep their content at `to`; `from` stays mapped and reads as
    // zeros, as after MADV_DONTNEED.
    return ::mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) == to;
#else
    (void)from;
    (void)bytes;
    (void)to;
    return false;
#endif
}

}  // namespace mapped

}  // namespace quorvel
