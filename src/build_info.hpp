// Which optional libraries this build of the core uses, for the Python
// module and the tools to report. Results do not depend on it, only speed.
#pragma once

namespace quorvel {

struct BuildInfo {
    const char* gzip;    // "libdeflate" or "zlib"
    const char* floats;  // "fast_float" or "from_chars"
    const char* inflate_ahead;  // "isal" (large gzip files inflated while parsed) or "none"
};

BuildInfo build_info() noexcept;

}  // namespace quorvel
