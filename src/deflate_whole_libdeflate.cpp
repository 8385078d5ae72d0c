// Whole-buffer DEFLATE decoding and CRC-32 with libdeflate, the faster of the
// two (see bench/README.md, Inflaters).
#include "deflate_whole.hpp"

#include <new>

#include <libdeflate.h>

namespace quorvel::deflate_whole {

struct Decoder::State {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    ~State() {
        if (decompressor != nullptr) {
            libdeflate_free_decompressor(decompressor);
        }
    }
};

Decoder::Decoder() : state_(std::make_unique<State>()) {
    if (state_->decompressor == nullptr) {
        throw std::bad_alloc();
    }
}

Decoder::~Decoder() = default;

Decoded Decoder::decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced) {
    switch (libdeflate_deflate_decompress_ex(state_->decompressor, in.data(), in.size(), out, room, &used,
                                             &produced)) {
        case LIBDEFLATE_SUCCESS:
            return Decoded::Whole;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return Decoded::NeedRoom;
        default:
            return Decoded::Failed;
    }
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept {
    return libdeflate_crc32(crc, data, size);
}

}  // namespace quorvel::deflate_whole
