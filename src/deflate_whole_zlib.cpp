// Whole-buffer DEFLATE decoding and CRC-32 with zlib alone, for builds
// without libdeflate. One inflate call with all the input and all the room
// decodes straight into the final buffer, with no window copies.
#include "deflate_whole.hpp"

#include <climits>
#include <new>

#include <zlib.h>

namespace quorvel::deflate_whole {

bool decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced) {
    // zlib counts in 32-bit units; larger members go to the streaming decoder.
    if (in.size() > UINT_MAX || room > UINT_MAX) {
        return false;
    }
    z_stream stream{};
    const int init = inflateInit2(&stream, -MAX_WBITS);  // raw DEFLATE: the gzip framing is ours
    if (init == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (init != Z_OK) {
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out);
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_FINISH);
    used = in.size() - stream.avail_in;
    produced = room - stream.avail_out;
    inflateEnd(&stream);
    if (result == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    return result == Z_STREAM_END;
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept {
    return static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

}  // namespace quorvel::deflate_whole
