#include "build_info.hpp"

// Compiled with the same definitions as the code they describe.
#if !defined(QUORVEL_HAVE_LIBDEFLATE) || !defined(QUORVEL_HAVE_FAST_FLOAT)
#error "QUORVEL_HAVE_LIBDEFLATE and QUORVEL_HAVE_FAST_FLOAT come from CMake (cmake/optional_libraries.cmake)"
#endif

namespace quorvel {

BuildInfo build_info() noexcept {
    return {QUORVEL_HAVE_LIBDEFLATE ? "libdeflate" : "zlib", QUORVEL_HAVE_FAST_FLOAT ? "fast_float" : "from_chars"};
}

}  // namespace quorvel
