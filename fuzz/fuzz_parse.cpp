// libFuzzer target: the whole parse of a document held in memory. The first
// byte chooses the options and whether the rest is read as gzip, so one
// corpus covers every option and both loading paths. The walk is then run
// again with the text given back at every page passed, and, where the
// processor has AVX2, with the portable row reader instead of the four-cell
// one: neither may change the outcome. Every record made is also written as a
// state and read back: the state's checks refuse only what the parser never
// makes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "parse.hpp"
#include "parser/number_rows.hpp"
#include "record_digest.hpp"
#include "record_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t choice = data[0];
    quorvel::ParseOptions options;
    options.parse_dos = (choice & 0x01) != 0;
    options.parse_eigen = (choice & 0x02) != 0;
    options.parse_projected = (choice & 0x04) != 0;
    if (choice & 0x08) {
        options.ionic_step_skip = (choice >> 4) & 0x03;
    }
    options.ionic_step_offset = (choice >> 6) & 0x01;
    const bool gzip = (choice & 0x80) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const quorvel::ParseOutcome outcome = quorvel::parse_bytes(bytes, gzip, options);
    // A fault is a finding: the core turns every bad input into a ParseError.
    if (outcome.status == quorvel::ParseStatus::Fault) {
        __builtin_trap();
    }
    if (outcome.status == quorvel::ParseStatus::OutOfMemory) {
        return 0;
    }
    if (outcome.status == quorvel::ParseStatus::Ok) {
        std::vector<std::string_view> views;
        const std::string header = quorvel::write_state(*outcome.record, views);
        std::vector<quorvel::StateArray> arrays;
        for (const std::string_view bytes : views) {
            arrays.push_back({bytes, {}, false});
        }
        quorvel::RunRecord restored;
        if (!quorvel::read_state(header, arrays, restored).ok()) {
            __builtin_trap();
        }
    }
    const auto kept = quorvel::testing::walk_to_digest(bytes, gzip, options, false);
    if (kept != quorvel::testing::walk_to_digest(bytes, gzip, options, true)) {
        __builtin_trap();
    }
#if QUORVEL_AVX2_ROWS
    if (quorvel::detail::avx2_rows) {
        quorvel::detail::avx2_rows = false;
        const auto portable = quorvel::testing::walk_to_digest(bytes, gzip, options, false);
        quorvel::detail::avx2_rows = true;
        if (portable != kept) {
            __builtin_trap();
        }
    }
#endif
    return 0;
}
