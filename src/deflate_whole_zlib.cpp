// Whole-buffer DEFLATE decoding and CRC-32 with zlib alone, for builds
// without libdeflate. One inflate call with all the input and all the room
// decodes straight into the final buffer, with no window copies.
#include "deflate_whole.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include <zlib.h>

namespace quorvel::deflate_whole {

struct Decoder::State {
    z_stream stream{};
    bool open = false;
    ~State() {
        if (open) {
            inflateEnd(&stream);
        }
    }
};

Decoder::Decoder() : state_(std::make_unique<State>()) {
    const int init = inflateInit2(&state_->stream, -MAX_WBITS);  // raw DEFLATE: the gzip framing is ours
    if (init == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    state_->open = init == Z_OK;  // if not, every stream goes to the streaming decoder
}

Decoder::~Decoder() = default;

Decoded Decoder::decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced) {
    z_stream& stream = state_->stream;
    if (!state_->open || inflateReset(&stream) != Z_OK) {
        return Decoded::Failed;
    }
    // zlib counts in 32-bit units. A stream that ends within the first 4 GiB
    // of input and output is decoded here; one that needs more room than that
    // goes to the streaming decoder, since more room would not help.
    const bool room_cut = room > UINT_MAX;
    in = in.substr(0, UINT_MAX);
    room = std::min<std::size_t>(room, UINT_MAX);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out);
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_FINISH);
    used = in.size() - stream.avail_in;
    produced = room - stream.avail_out;
    if (result == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (result == Z_STREAM_END) {
        return Decoded::Whole;
    }
    return result == Z_BUF_ERROR && stream.avail_out == 0 && !room_cut ? Decoded::NeedRoom : Decoded::Failed;
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept {
    return static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

}  // namespace quorvel::deflate_whole
