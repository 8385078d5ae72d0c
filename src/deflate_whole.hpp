// Decoding of a whole raw DEFLATE stream into a buffer sized in advance, and
// the CRC-32: with libdeflate when the build has it, with zlib otherwise (one
// source file each; CMake compiles one of them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace quorvel::deflate_whole {

enum class Decoded {
    Whole,     // the stream ended within the input and the room
    NeedRoom,  // the room filled up before the stream ended: more may do
    Failed,    // anything else: corrupt or cut data, a size the library cannot take
};

// Decodes whole raw DEFLATE streams, one after another, with the same
// decoder state (libdeflate keeps the tables of the fixed code in it).
class Decoder {
public:
    // Throws std::bad_alloc when the decoder cannot be allocated.
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes the DEFLATE stream at the start of `in` (bytes after its end
    // are not read) into `out`, which has room for `room` bytes. On Whole,
    // `used` and `produced` are the bytes read and written; on anything else
    // the caller hands the stream to zlib's streaming decoder for its error
    // text, or, on NeedRoom, may first try again with more room.
    Decoded decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The CRC-32 of gzip, continued from `crc` over `size` bytes at `data`.
std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept;

}  // namespace quorvel::deflate_whole
