// Decoding of a whole raw DEFLATE stream into a buffer sized in advance, and
// the CRC-32: with libdeflate when the build has it, with zlib otherwise (one
// source file each; CMake compiles one of them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel::deflate_whole {

// Decodes the DEFLATE stream at the start of `in` into `out`, which has room
// for `room` bytes. True when the stream ended within both; `used` and
// `produced` are then the bytes read and written. False on any failure
// (corrupt data, too little room, a size the library cannot take), which the
// caller hands to zlib's streaming decoder for its error text. Throws
// std::bad_alloc when the decoder itself cannot be allocated.
bool decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced);

// The CRC-32 of gzip, continued from `crc` over `size` bytes at `data`.
std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept;

}  // namespace quorvel::deflate_whole
