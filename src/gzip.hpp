// Decoding of gzip data (RFC 1952), every member of it one after another:
// our own header parser, then each DEFLATE body in one pass into the output
// buffer (libdeflate, or zlib in builds without it) or, for what that cannot
// do, streamed by zlib, and each member's CRC-32 and length checks.
#pragma once

#include <string_view>

#include "heap_array.hpp"
#include "error.hpp"

namespace quorvel {

// Decodes every gzip member of `compressed`, one after the other, into
// `out`. Zero bytes after the last member are padding and ignored; any other
// bytes that do not start a member are an error. `valid_utf8` is true when
// the whole output was also found to be valid UTF-8 on the way.
// `interruption` is asked between members and every few megabytes of
// output, though not inside the one call that decodes a member whole (a
// parse that may have to stop runs on a thread of its own: see parse).
Status inflate_gzip(std::string_view compressed, HeapArray<char>& out, bool& valid_utf8,
                    const Interruption& interruption = {});

}  // namespace quorvel
