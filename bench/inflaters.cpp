// Times the DEFLATE decoders that Debian packages on the body of one gzip
// file: zlib, libdeflate and ISA-L (igzip). Each decodes into the same
// buffer, already mapped, so that only decoding and the CRC-32 are timed.
//
//   g++ -O2 -std=c++20 bench/inflaters.cpp -o build/inflaters -lz -ldeflate -lisal
//   build/inflaters bench/out/inputs/projected.xml.gz [repeats]
//
// Needs zlib1g-dev, libdeflate-dev and libisal-dev. Not part of the build:
// it only backs the choice of inflater with figures.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

namespace {

using Bytes = std::vector<unsigned char>;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Where the DEFLATE data of the first member starts (RFC 1952), or 0.
std::size_t body_offset(const Bytes& in) {
    if (in.size() < 18 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8) {
        return 0;
    }
    const unsigned flags = in[3];
    std::size_t at = 10;
    if (flags & 4) {  // extra field
        at += 2 + (in[at] | (std::size_t{in[at + 1]} << 8));
    }
    for (unsigned bit : {8u, 16u}) {  // file name, comment
        if (flags & bit) {
            while (at < in.size() && in[at] != 0) {
                ++at;
            }
            ++at;
        }
    }
    if (flags & 2) {  // header CRC
        at += 2;
    }
    return at < in.size() ? at : 0;
}

struct Result {
    const char* name;
    double decode = 1e9;  // best of the repeats
    double crc = 1e9;
    bool crc_while_decoding = false;
    bool ok = true;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: inflaters FILE.gz [repeats]\n");
        return 2;
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::ifstream file(argv[1], std::ios::binary);
    const Bytes in((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t body = body_offset(in);
    if (body == 0) {
        std::fprintf(stderr, "%s: not a gzip file\n", argv[1]);
        return 1;
    }
    std::uint32_t size = 0, expected_crc = 0;
    std::memcpy(&expected_crc, &in[in.size() - 8], 4);
    std::memcpy(&size, &in[in.size() - 4], 4);
    Bytes out(size);
    std::memset(out.data(), 0, out.size());  // map every page before timing
    const unsigned char* const deflate = in.data() + body;
    const std::size_t deflate_size = in.size() - body;

    Result zlib{"zlib"}, libdeflate{"libdeflate"}, isal{"ISA-L igzip"};
    isal.crc_while_decoding = true;
    for (int run = 0; run < repeats; ++run) {
        auto start = std::chrono::steady_clock::now();
        z_stream stream{};
        inflateInit2(&stream, -15);
        stream.next_in = const_cast<unsigned char*>(deflate);
        stream.avail_in = static_cast<uInt>(deflate_size);
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        zlib.ok = zlib.ok && inflate(&stream, Z_FINISH) == Z_STREAM_END;
        inflateEnd(&stream);
        zlib.decode = std::min(zlib.decode, seconds_since(start));
        start = std::chrono::steady_clock::now();
        zlib.ok = zlib.ok && crc32(0, out.data(), static_cast<uInt>(out.size())) == expected_crc;
        zlib.crc = std::min(zlib.crc, seconds_since(start));

        start = std::chrono::steady_clock::now();
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        std::size_t used = 0, written = 0;
        libdeflate.ok = libdeflate.ok && libdeflate_deflate_decompress_ex(decompressor, deflate, deflate_size,
                                                                           out.data(), out.size(), &used,
                                                                           &written) == LIBDEFLATE_SUCCESS;
        libdeflate_free_decompressor(decompressor);
        libdeflate.decode = std::min(libdeflate.decode, seconds_since(start));
        start = std::chrono::steady_clock::now();
        libdeflate.ok = libdeflate.ok && libdeflate_crc32(0, out.data(), out.size()) == expected_crc;
        libdeflate.crc = std::min(libdeflate.crc, seconds_since(start));

        // ISA-L computes the CRC while it decodes; the CRC is also timed alone.
        start = std::chrono::steady_clock::now();
        inflate_state state;
        isal_inflate_init(&state);
        state.next_in = const_cast<unsigned char*>(deflate);
        state.avail_in = static_cast<std::uint32_t>(deflate_size);
        state.next_out = out.data();
        state.avail_out = static_cast<std::uint32_t>(out.size());
        state.crc_flag = ISAL_GZIP_NO_HDR;
        isal.ok = isal.ok && isal_inflate(&state) == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH &&
                  state.crc == expected_crc;
        isal.decode = std::min(isal.decode, seconds_since(start));
        start = std::chrono::steady_clock::now();
        isal.ok = isal.ok && crc32_gzip_refl(0, out.data(), out.size()) == expected_crc;
        isal.crc = std::min(isal.crc, seconds_since(start));
    }

    std::printf("%s: %zu bytes compressed, %u bytes inflated; best of %d runs\n", argv[1], in.size(), size,
                repeats);
    std::printf("%-12s %10s %8s %14s %8s\n", "inflater", "decode s", "crc s", "decode+crc s", "MB/s");
    for (const Result& r : {zlib, libdeflate, isal}) {
        const double total = r.decode + (r.crc_while_decoding ? 0.0 : r.crc);
        std::printf("%-12s %10.3f %8.3f %14.3f %8.0f%s\n", r.name, r.decode, r.crc, total, size / total / 1e6,
                    r.ok ? "" : "  FAILED");
    }
    return zlib.ok && libdeflate.ok && isal.ok ? 0 : 1;
}
