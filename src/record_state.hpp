// A run record as bytes, to move it to another process or machine: a small
// header of everything but the bulk arrays, and the bulk arrays themselves as
// raw little-endian float64 blocks, so that writing and reading them costs
// no more than copying them. Reading checks the bytes as strictly as the
// parser checks a file: version, checksums, lengths, every text as UTF-8,
// and every shape against what the record's users assume of it.
//
// Header: "QVRS", the format version (one byte), the payload's length (u64)
// and CRC-32 (u32), then the payload: every field of the record in a fixed
// order, with the shape, length and CRC-32 of each bulk array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "heap_array.hpp"
#include "run_record.hpp"

namespace quorvel {

// 3: the sections of response, optics, MD and second k-point set runs.
// 4: the k-point generation's vectors, the electronic steps' energy terms.
inline constexpr std::uint8_t kStateVersion = 4;

// The header of `record`; `arrays` receives the bulk arrays in the order the
// header describes them (views into the record).
std::string write_state(const RunRecord& record, std::vector<std::string_view>& arrays);

// A bulk array as handed back: its bytes and who owns them.
struct StateArray {
    std::string_view bytes;
    ForeignOwner owner;  // released when the record is done with the bytes
    // Nothing can change the bytes while the owner holds them, so the record
    // may read them where they lie (when aligned); otherwise it copies them
    // and releases the owner at once.
    bool immutable = false;
};

// The record of a header and its bulk arrays. A failure is a ParseError of
// kind Other whose text says what is wrong. The owners of `arrays` are all
// released, on success with the record (or once copied), on failure before
// returning.
Status read_state(std::string_view header, std::vector<StateArray>& arrays, RunRecord& record);

}  // namespace quorvel
