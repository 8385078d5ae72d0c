#include "gzip.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

namespace quorvel {

namespace {

constexpr std::size_t kReadBufferSize = 32768;
constexpr std::size_t kMaxHeaderField = 65535;

constexpr unsigned kFlagHeaderCrc = 0x02;
constexpr unsigned kFlagExtra = 0x04;
constexpr unsigned kFlagName = 0x08;
constexpr unsigned kFlagComment = 0x10;
constexpr unsigned kFlagReserved = 0xE0;

Status unexpected_end() { return ParseError::io("unexpected end of file"); }
Status invalid_header() { return ParseError::io("invalid gzip header"); }
Status checksum_mismatch() { return ParseError::io("corrupt gzip stream does not have a matching checksum"); }

// The 32 KiB buffer between the source and the decoder.
class BufferedInput {
public:
    explicit BufferedInput(ByteSource& source) : source_(source) {}

    Status fill() {
        std::size_t count = 0;
        QV_TRY(source_.read(buffer_, sizeof buffer_, count));
        next_ = buffer_;
        end_ = buffer_ + count;
        return {};
    }

    // One header byte, also folded into the header CRC.
    Status byte(unsigned char& value) {
        if (next_ == end_) {
            QV_TRY(fill());
            if (next_ == end_) {
                return unexpected_end();
            }
        }
        value = static_cast<unsigned char>(*next_++);
        header_crc_ = crc32_z(header_crc_, reinterpret_cast<const Bytef*>(&value), 1);
        return {};
    }

    Status bytes(unsigned char* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            QV_TRY(byte(out[i]));
        }
        return {};
    }

    uLong header_crc() const noexcept { return header_crc_; }
    const char*& next() noexcept { return next_; }
    const char* end() const noexcept { return end_; }

private:
    ByteSource& source_;
    char buffer_[kReadBufferSize];
    const char* next_ = buffer_;
    const char* end_ = buffer_;
    uLong header_crc_ = crc32_z(0, nullptr, 0);
};

// A zero-terminated name or comment, read and dropped.
Status skip_zero_terminated(BufferedInput& in) {
    for (std::size_t length = 0;; ++length) {
        unsigned char c = 0;
        QV_TRY(in.byte(c));
        if (c == 0) {
            return {};
        }
        if (length == kMaxHeaderField) {
            return ParseError::io("gzip header field too long");
        }
    }
}

Status read_header(BufferedInput& in) {
    unsigned char fixed[10];
    QV_TRY(in.bytes(fixed, 2));
    if (fixed[0] != 0x1F || fixed[1] != 0x8B) {
        return invalid_header();
    }
    QV_TRY(in.bytes(fixed + 2, 8));
    const unsigned flags = fixed[3];
    if (fixed[2] != 8 || (flags & kFlagReserved) != 0) {
        return invalid_header();
    }
    if (flags & kFlagExtra) {
        unsigned char length[2];
        QV_TRY(in.bytes(length, 2));
        std::size_t extra = length[0] | (static_cast<std::size_t>(length[1]) << 8);
        for (unsigned char ignored; extra != 0; --extra) {
            QV_TRY(in.byte(ignored));
        }
    }
    if (flags & kFlagName) {
        QV_TRY(skip_zero_terminated(in));
    }
    if (flags & kFlagComment) {
        QV_TRY(skip_zero_terminated(in));
    }
    if (flags & kFlagHeaderCrc) {
        const uLong expected = in.header_crc() & 0xFFFF;
        unsigned char stored[2];
        QV_TRY(in.bytes(stored, 2));
        if ((stored[0] | (static_cast<uLong>(stored[1]) << 8)) != expected) {
            return checksum_mismatch();
        }
    }
    return {};
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

}  // namespace

Status MemorySource::read(char* buffer, std::size_t capacity, std::size_t& count) {
    count = std::min(capacity, rest_.size());
    std::memcpy(buffer, rest_.data(), count);
    rest_.remove_prefix(count);
    return {};
}

Status inflate_gzip(ByteSource& source, std::size_t size_hint, HeapArray<char>& out) {
    auto in = std::make_unique<BufferedInput>(source);
    QV_TRY(read_header(*in));

    InflateStream stream;
    const int init = inflateInit2(&stream.z, -MAX_WBITS);  // raw DEFLATE: the framing is ours
    if (init == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (init != Z_OK) {
        return ParseError::io("cannot start the DEFLATE decoder");
    }
    stream.open = true;

    const std::size_t first = out.size();
    out.reserve(first + std::max<std::size_t>(size_hint, 1 << 16));
    uLong crc = crc32_z(0, nullptr, 0);
    for (;;) {
        if (in->next() == in->end()) {
            QV_TRY(in->fill());
            if (in->next() == in->end()) {
                return unexpected_end();
            }
        }
        if (out.capacity() - out.size() < (1 << 16)) {
            out.reserve(out.size() + std::max<std::size_t>(out.size() / 2, 1 << 16));
        }
        const std::size_t room = std::min<std::size_t>(out.capacity() - out.size(), UINT_MAX);
        stream.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in->next()));
        stream.z.avail_in = static_cast<uInt>(in->end() - in->next());
        stream.z.next_out = reinterpret_cast<Bytef*>(out.data() + out.size());
        stream.z.avail_out = static_cast<uInt>(room);
        const int result = inflate(&stream.z, Z_NO_FLUSH);
        const std::size_t produced = room - stream.z.avail_out;
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(out.data() + out.size()), produced);
        out.grow_by(produced);
        in->next() = reinterpret_cast<const char*>(stream.z.next_in);
        if (result == Z_STREAM_END) {
            break;
        }
        if (result == Z_MEM_ERROR) {
            throw std::bad_alloc();
        }
        if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR) {
            return ParseError::io("corrupt deflate stream");
        }
    }

    unsigned char trailer[8];
    for (unsigned char& b : trailer) {
        if (in->next() == in->end()) {
            QV_TRY(in->fill());
            if (in->next() == in->end()) {
                return unexpected_end();
            }
        }
        b = static_cast<unsigned char>(*in->next()++);
    }
    auto le32 = [](const unsigned char* p) {
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    };
    const std::uint64_t length = out.size() - first;
    if (le32(trailer) != static_cast<std::uint32_t>(crc) ||
        le32(trailer + 4) != static_cast<std::uint32_t>(length)) {
        return checksum_mismatch();
    }
    return {};
}

}  // namespace quorvel
