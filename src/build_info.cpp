#include "build_info.hpp"

// Compiled with the same definitions as the code they describe.
#if !defined(QUORVEL_HAVE_LIBDEFLATE) || !defined(QUORVEL_HAVE_FAST_FLOAT) || !defined(QUORVEL_HAVE_ISAL)
#error "QUORVEL_HAVE_LIBDEFLATE, QUORVEL_HAVE_FAST_FLOAT and QUORVEL_HAVE_ISAL come from CMake (cmake/optional_libraries.cmake)"
#endif

namespace quorvel {

BuildInfo build_info() noexcept {
    return {QUORVEL_HAVE_LIBDEFLATE ? "libdeflate" : "zlib", QUORVEL_HAVE_FAST_FLOAT ? "fast_float" : "from_chars",
            QUORVEL_HAVE_ISAL ? "isal" : "none"};
}

}  // namespace quorvel
