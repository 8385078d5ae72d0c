// Decoding of one gzip member (RFC 1952): our own header parser, then the
// DEFLATE body in one pass into a buffer of the announced size (libdeflate,
// or zlib in builds without it) or, for what that cannot do, streamed by
// zlib, and the CRC-32 and length checks of the trailer.
#pragma once

#include <string_view>

#include "heap_array.hpp"
#include "error.hpp"

namespace quorvel {

// Decodes the first gzip member of `compressed` into `out`. Bytes after the
// member are neither read nor checked. `valid_utf8` is true when the output
// was also found to be valid UTF-8 on the way (false: not known).
Status inflate_gzip(std::string_view compressed, HeapArray<char>& out, bool& valid_utf8);

}  // namespace quorvel
