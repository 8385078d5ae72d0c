#include "gzip.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include <zlib.h>

#include "deflate_whole.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

constexpr std::size_t kMaxHeaderField = 65535;
// DEFLATE cannot expand data by more than about this factor, so a trailer
// that announces more is not trusted for sizing the output.
constexpr std::size_t kMaxDeflateRatio = 1032;
// zlib takes its input in pieces of at most this size.
constexpr std::size_t kInflateChunk = std::size_t{1} << 30;

constexpr unsigned kFlagHeaderCrc = 0x02;
constexpr unsigned kFlagExtra = 0x04;
constexpr unsigned kFlagName = 0x08;
constexpr unsigned kFlagComment = 0x10;
constexpr unsigned kFlagReserved = 0xE0;

Status unexpected_end() { return ParseError::io("unexpected end of file"); }
Status checksum_mismatch() { return ParseError::io("corrupt gzip stream does not have a matching checksum"); }
Status corrupt_deflate() { return ParseError::io("corrupt deflate stream"); }

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Reads the member header; `body` is set to the offset of the DEFLATE data.
Status read_header(std::string_view in, std::size_t& body) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t at = 0;
    auto need = [&](std::size_t count) { return in.size() - at >= count; };
    if (!need(2)) {
        return unexpected_end();
    }
    if (bytes[0] != 0x1F || bytes[1] != 0x8B) {
        return ParseError::io("invalid gzip header");
    }
    if (!need(10)) {
        return unexpected_end();
    }
    const unsigned flags = bytes[3];
    if (bytes[2] != 8 || (flags & kFlagReserved) != 0) {
        return ParseError::io("invalid gzip header");
    }
    at = 10;
    if (flags & kFlagExtra) {
        if (!need(2)) {
            return unexpected_end();
        }
        const std::size_t extra = bytes[at] | (static_cast<std::size_t>(bytes[at + 1]) << 8);
        at += 2;
        if (!need(extra)) {
            return unexpected_end();
        }
        at += extra;
    }
    // The file name and the comment end at a zero byte.
    for (const unsigned flag : {kFlagName, kFlagComment}) {
        if (flags & flag) {
            const std::size_t window = std::min(in.size() - at, kMaxHeaderField + 1);
            const void* zero = std::memchr(bytes + at, 0, window);
            if (zero == nullptr) {
                return window > kMaxHeaderField ? ParseError::io("gzip header field too long") : unexpected_end();
            }
            at = static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - bytes) + 1;
        }
    }
    if (flags & kFlagHeaderCrc) {
        if (!need(2)) {
            return unexpected_end();
        }
        const uLong crc = crc32_z(0, bytes, at) & 0xFFFF;
        if ((bytes[at] | (static_cast<uLong>(bytes[at + 1]) << 8)) != crc) {
            return checksum_mismatch();
        }
        at += 2;
    }
    body = at;
    return {};
}

// Checks the trailer that follows the DEFLATE data against the output.
Status check_trailer(std::string_view in, std::size_t at, const HeapArray<char>& out, std::uint32_t crc) {
    if (in.size() - at < 8) {
        return unexpected_end();
    }
    const auto* trailer = reinterpret_cast<const unsigned char*>(in.data() + at);
    if (le32(trailer) != crc || le32(trailer + 4) != static_cast<std::uint32_t>(out.size())) {
        return checksum_mismatch();
    }
    return {};
}

// The CRC-32 of `out`, and whether it is all valid UTF-8, in one pass over
// pieces small enough to stay in the cache from one check to the other.
std::uint32_t crc_and_utf8_check(const HeapArray<char>& out, bool& valid_utf8) {
    constexpr std::size_t kPiece = std::size_t{1} << 18;
    std::uint32_t crc = 0;
    Utf8Check utf8;
    for (std::size_t at = 0; at < out.size(); at += kPiece) {
        const std::size_t end = at + std::min(kPiece, out.size() - at);
        crc = deflate_whole::update_crc32(crc, out.data() + at, end - at);
        utf8.grow(out.data(), end);
    }
    valid_utf8 = utf8.valid(out.size());
    return crc;
}

// The whole body is decoded in one call (libdeflate's, or zlib's without it),
// given an output buffer of the final size, which the trailer announces.
// libdeflate gives no detail on failure, so any failure is left to the
// streaming decoder, which reports it precisely.
bool inflate_whole(std::string_view in, std::size_t body, HeapArray<char>& out, bool& valid_utf8) {
    if (in.size() - body < 8) {
        return false;
    }
    const std::size_t announced = le32(reinterpret_cast<const unsigned char*>(in.data() + in.size() - 4));
    if (announced > (in.size() - body) * kMaxDeflateRatio) {
        return false;
    }
    out.clear();
    out.reserve_large_in_own_mapping(announced + 1);
    std::size_t used = 0;
    std::size_t produced = 0;
    deflate_whole::Decoder decoder;
    if (decoder.decode(in.substr(body), out.data(), announced, used, produced) != deflate_whole::Decoded::Whole) {
        return false;
    }
    out.grow_by(produced);
    const std::uint32_t crc = crc_and_utf8_check(out, valid_utf8);
    // A member whose trailer disagrees is decoded again by zlib for its message.
    return check_trailer(in, body + used, out, crc).ok();
}

struct InflateStream {
    z_stream z{};
    bool open = false;
    ~InflateStream() {
        if (open) {
            inflateEnd(&z);
        }
    }
};

Status inflate_streaming(std::string_view in, std::size_t body, HeapArray<char>& out) {
    InflateStream stream;
    const int init = inflateInit2(&stream.z, -MAX_WBITS);  // raw DEFLATE: the framing is ours
    if (init == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (init != Z_OK) {
        return ParseError::io("cannot start the DEFLATE decoder");
    }
    stream.open = true;

    out.clear();
    std::size_t at = body;
    uLong crc = crc32_z(0, nullptr, 0);
    for (;;) {
        if (stream.z.avail_in == 0) {
            if (at == in.size()) {
                return unexpected_end();
            }
            const std::size_t piece = std::min(in.size() - at, kInflateChunk);
            stream.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + at));
            stream.z.avail_in = static_cast<uInt>(piece);
            at += piece;
        }
        if (out.capacity() - out.size() < (1 << 16)) {
            out.reserve(out.size() + std::max<std::size_t>(out.size() / 2, 1 << 20));
        }
        const std::size_t room = std::min<std::size_t>(out.capacity() - out.size(), UINT_MAX);
        stream.z.next_out = reinterpret_cast<Bytef*>(out.data() + out.size());
        stream.z.avail_out = static_cast<uInt>(room);
        const int result = inflate(&stream.z, Z_NO_FLUSH);
        const std::size_t produced = room - stream.z.avail_out;
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(out.data() + out.size()), produced);
        out.grow_by(produced);
        if (result == Z_STREAM_END) {
            break;
        }
        if (result == Z_MEM_ERROR) {
            throw std::bad_alloc();
        }
        if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR) {
            return corrupt_deflate();
        }
    }
    return check_trailer(in, at - stream.z.avail_in, out, static_cast<std::uint32_t>(crc));
}

}  // namespace

Status inflate_gzip(std::string_view compressed, HeapArray<char>& out, bool& valid_utf8) {
    std::size_t body = 0;
    QV_TRY(read_header(compressed, body));
    if (inflate_whole(compressed, body, out, valid_utf8)) {
        return {};
    }
    valid_utf8 = false;  // not known: the text is checked later
    return inflate_streaming(compressed, body, out);
}

}  // namespace quorvel
