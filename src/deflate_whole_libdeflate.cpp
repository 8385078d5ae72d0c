// Whole-buffer DEFLATE decoding and CRC-32 with libdeflate, the faster of the
// two (see bench/README.md, Inflaters).
#include "deflate_whole.hpp"

#include <memory>
#include <new>

#include <libdeflate.h>

namespace quorvel::deflate_whole {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

}  // namespace

bool decode(std::string_view in, char* out, std::size_t room, std::size_t& used, std::size_t& produced) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
    if (!decompressor) {
        throw std::bad_alloc();
    }
    return libdeflate_deflate_decompress_ex(decompressor.get(), in.data(), in.size(), out, room, &used,
                                            &produced) == LIBDEFLATE_SUCCESS;
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) noexcept {
    return libdeflate_crc32(crc, data, size);
}

}  // namespace quorvel::deflate_whole
