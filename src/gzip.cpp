#include "gzip.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include <zlib.h>

#include "deflate_whole.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

// DEFLATE cannot expand data by more than about this factor, so a trailer
// that announces more is not trusted for sizing the output, and no member is
// given more room than this much of the bytes left.
constexpr std::size_t kMaxDeflateRatio = 1032;
// A first guess at the output of a member whose length is not known: run
// files shrink to a fifth of their size or less in gzip.
constexpr std::size_t kGuessRatio = 4;
// More room than this left after the last member is given back.
constexpr std::size_t kSpareRoom = std::size_t{1} << 20;
// zlib takes its input in pieces of at most this size.
constexpr std::size_t kInflateChunk = std::size_t{1} << 30;
// Output between two questions whether to stop, where the decoding goes a
// piece at a time: some hundredths of a second of work.
constexpr std::size_t kOutputStep = std::size_t{16} << 20;

constexpr unsigned kFlagHeaderCrc = 0x02;
constexpr unsigned kFlagExtra = 0x04;
constexpr unsigned kFlagName = 0x08;
constexpr unsigned kFlagComment = 0x10;
constexpr unsigned kFlagReserved = 0xE0;

Status stop_if_asked(const Interruption& interruption) {
    return interruption.stop() ? Status(ParseError::interrupted()) : Status();
}

Status unexpected_end() { return ParseError::io("unexpected end of file"); }
Status checksum_mismatch() { return ParseError::io("corrupt gzip stream does not have a matching checksum"); }
Status corrupt_deflate() { return ParseError::io("corrupt deflate stream"); }

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The most output that `compressed` bytes of DEFLATE data can give.
std::size_t most_output(std::size_t compressed) noexcept {
    return std::min(compressed, SIZE_MAX / kMaxDeflateRatio) * kMaxDeflateRatio;
}

}  // namespace

namespace gzip_framing {

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
    // The file name and the comment end at a zero byte, however far on:
    // gzip itself sets no limit to their length.
    for (const unsigned flag : {kFlagName, kFlagComment}) {
        if (flags & flag) {
            const void* zero = std::memchr(bytes + at, 0, in.size() - at);
            if (zero == nullptr) {
                return unexpected_end();
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

Status check_trailer(std::string_view in, std::size_t at, std::size_t size, std::uint32_t crc) {
    if (in.size() - at < 8) {
        return unexpected_end();
    }
    const auto* trailer = reinterpret_cast<const unsigned char*>(in.data() + at);
    if (le32(trailer) != crc || le32(trailer + 4) != static_cast<std::uint32_t>(size)) {
        return checksum_mismatch();
    }
    return {};
}

Status another_member(std::string_view in, std::size_t at, bool& another) {
    const std::string_view rest = in.substr(at);
    another = rest.starts_with("\x1F\x8B");
    if (!another && rest.find_first_not_of('\0') != std::string_view::npos) {
        return ParseError::io("trailing garbage after gzip data");
    }
    return {};
}

std::size_t announced_size(std::string_view in, std::size_t body) noexcept {
    if (in.size() - body < 8) {
        return 0;
    }
    const std::size_t announced = le32(reinterpret_cast<const unsigned char*>(in.data() + in.size() - 4));
    return announced <= most_output(in.size() - body) ? announced : 0;
}

}  // namespace gzip_framing

namespace {

using gzip_framing::another_member;
using gzip_framing::check_trailer;
using gzip_framing::read_header;

// The CRC-32 of the bytes of `out` from `from` on, which `utf8` checks on
// from where it stopped, in one pass over pieces small enough to stay in the
// cache from one check to the other.
Status crc_and_utf8_check(const HeapArray<char>& out, std::size_t from, Utf8Check& utf8, std::uint32_t& crc,
                          const Interruption& interruption) {
    constexpr std::size_t kPiece = std::size_t{1} << 18;
    crc = 0;
    for (std::size_t at = from; at < out.size(); at += kPiece) {
        const std::size_t end = at + std::min(kPiece, out.size() - at);
        crc = deflate_whole::update_crc32(crc, out.data() + at, end - at);
        utf8.grow(out.data(), end);
        if ((end - from) % kOutputStep == 0) {
            QV_TRY(stop_if_asked(interruption));
        }
    }
    return {};
}

// Room for the output of the first member. The last four bytes of the file
// are the length its last member announces: for a file of one member that
// is exactly the room needed, so that member is decoded in one call with
// nothing to grow. A length DEFLATE cannot reach is not trusted.
void reserve_for_first_member(std::string_view in, std::size_t body, HeapArray<char>& out) {
    out.reserve_large_in_own_mapping(gzip_framing::announced_size(in, body) + 1);
}

// The member body at `body` is decoded in one call (libdeflate's, or zlib's
// without it), appended to `out` in the room it has left; `trailer` is then
// where the member's trailer starts. Where the member ends, and so its own
// length, is only known once it is decoded: when the room is too small, the
// call is made again with four times as much (so that the attempts that fall
// short cost less than 4/3 of the member's decoding), at least a guess from
// the compressed bytes left and at least as much again as the output so far
// (so that the buffer grows geometrically), but never more than DEFLATE can
// give from the bytes left. libdeflate gives no detail on failure, so any
// failure (`whole` false, with `out` as it was) is left to the streaming
// decoder, which reports it precisely.
Status inflate_whole(deflate_whole::Decoder& decoder, std::string_view in, std::size_t body, HeapArray<char>& out,
                     std::size_t& trailer, bool& whole, const Interruption& interruption) {
    const std::size_t rest = in.size() - body;
    const std::size_t most = most_output(rest);
    std::size_t room = out.capacity() - out.size();
    for (;;) {
        std::size_t used = 0;
        std::size_t produced = 0;
        switch (decoder.decode(in.substr(body), out.data() + out.size(), room, used, produced)) {
            case deflate_whole::Decoded::Whole:
                out.grow_by(produced);
                trailer = body + used;
                whole = true;
                return {};
            case deflate_whole::Decoded::Failed:
                whole = false;
                return {};
            case deflate_whole::Decoded::NeedRoom:
                break;
        }
        if (room >= most) {
            whole = false;
            return {};
        }
        QV_TRY(stop_if_asked(interruption));
        const std::size_t guess = std::min(rest, most / kGuessRatio) * kGuessRatio;
        room = std::min(most, std::max({std::min(room, most / 4) * 4, guess, out.size()}));
        out.reserve_large_in_own_mapping(out.size() + room);
    }
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

// Decodes the member body at `body` with zlib, a piece at a time, appending
// to `out`; `trailer` is then where the member's trailer starts.
Status inflate_streaming(std::string_view in, std::size_t body, HeapArray<char>& out, std::size_t& trailer,
                         const Interruption& interruption) {
    InflateStream stream;
    const int init = inflateInit2(&stream.z, -MAX_WBITS);  // raw DEFLATE: the framing is ours
    if (init == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (init != Z_OK) {
        return ParseError::io("cannot start the DEFLATE decoder");
    }
    stream.open = true;

    std::size_t at = body;
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
        QV_TRY(stop_if_asked(interruption));
        const std::size_t room = std::min(out.capacity() - out.size(), kOutputStep);
        stream.z.next_out = reinterpret_cast<Bytef*>(out.data() + out.size());
        stream.z.avail_out = static_cast<uInt>(room);
        const int result = inflate(&stream.z, Z_NO_FLUSH);
        out.grow_by(room - stream.z.avail_out);
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
    trailer = at - stream.z.avail_in;
    return {};
}

}  // namespace

Status inflate_gzip(std::string_view compressed, HeapArray<char>& out, bool& valid_utf8,
                    const Interruption& interruption) {
    out.clear();
    deflate_whole::Decoder decoder;
    Utf8Check utf8;  // over the output of all members, which may cut a character in two
    std::size_t member = 0;
    bool another = true;
    while (another) {
        QV_TRY(stop_if_asked(interruption));
        std::size_t body = 0;
        QV_TRY(read_header(compressed.substr(member), body));
        body += member;
        if (member == 0) {
            reserve_for_first_member(compressed, body, out);
        }
        const std::size_t start = out.size();
        std::size_t trailer = 0;
        bool whole = false;
        QV_TRY(inflate_whole(decoder, compressed, body, out, trailer, whole, interruption));
        if (!whole) {
            QV_TRY(inflate_streaming(compressed, body, out, trailer, interruption));
        }
        std::uint32_t crc = 0;
        QV_TRY(crc_and_utf8_check(out, start, utf8, crc, interruption));
        QV_TRY(check_trailer(compressed, trailer, out.size() - start, crc));
        member = trailer + 8;
        QV_TRY(another_member(compressed, member, another));
    }
    valid_utf8 = utf8.valid(out.size());
    // Room grown for members of unknown size is given back.
    if (out.capacity() - out.size() > kSpareRoom) {
        out.shrink_to_fit();
    }
    return {};
}

}  // namespace quorvel
