// Decoding of one gzip member (RFC 1952): our own header parser, zlib for
// the DEFLATE body, and the CRC-32 and length checks of the trailer.
#pragma once

#include <cstddef>
#include <string_view>

#include "buffer.hpp"
#include "error.hpp"

namespace quorvel {

// Where compressed bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `capacity` bytes; `count` 0 means the end of the input.
    virtual Status read(char* buffer, std::size_t capacity, std::size_t& count) = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) noexcept : rest_(bytes) {}
    Status read(char* buffer, std::size_t capacity, std::size_t& count) override;

private:
    std::string_view rest_;
};

// Decodes the first gzip member of `source` and appends its content to
// `out`. Bytes after the member are neither read nor checked. `size_hint` is
// the expected content size (0 when unknown), used only to size `out`.
Status inflate_gzip(ByteSource& source, std::size_t size_hint, HeapArray<char>& out);

}  // namespace quorvel
