#include "buffer.hpp"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace quorvel {

void release_pages(void* begin, void* end) noexcept {
#if defined(MADV_DONTNEED)
    static const long page_size = ::sysconf(_SC_PAGESIZE);
    if (page_size <= 0) {
        return;
    }
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (last > first) {
        // Only a hint: memory that cannot be released simply stays.
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
#else
    (void)begin;
    (void)end;
#endif
}

}  // namespace quorvel
