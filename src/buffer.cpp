#include "buffer.hpp"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace quorvel {

void* release_pages(void* begin, void* end) noexcept {
#if defined(MADV_DONTNEED)
    static const long page_size = ::sysconf(_SC_PAGESIZE);
    if (page_size <= 0) {
        return begin;
    }
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (last <= first) {
        return begin;
    }
    // Should the system refuse, the memory simply stays in use.
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    return reinterpret_cast<void*>(last);
#else
    (void)end;
    return begin;
#endif
}

}  // namespace quorvel
