// Decoding of gzip data (RFC 1952), every member of it one after another:
// our own header parser, then each DEFLATE body in one pass into the output
// buffer (libdeflate, or zlib in builds without it) or, for what that cannot
// do, streamed by zlib, and each member's CRC-32 and length checks.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The framing of a gzip member, for other decoders of the same data.
namespace gzip_framing {

// Reads the member header at the start of `in`; `body` is set to the offset
// of the DEFLATE data.
Status read_header(std::string_view in, std::size_t& body);

// Checks the trailer at `at` against the member's output, `size` bytes of
// CRC-32 `crc`.
Status check_trailer(std::string_view in, std::size_t at, std::size_t size, std::uint32_t crc);

// What follows the member that ends at `at`: another member (`another`),
// the end of the data (zero bytes up to the end included), or an error.
Status another_member(std::string_view in, std::size_t at, bool& another);

// The length the last member of `in` announces in its trailer, when
// DEFLATE can give that much from the bytes after `body`; 0 otherwise. For
// a file of one member, its output's exact size.
std::size_t announced_size(std::string_view in, std::size_t body) noexcept;

}  // namespace gzip_framing

}  // namespace quorvel
