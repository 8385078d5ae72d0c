// Character encodings of the input: the decoding of the encodings a run
// file may come in (UTF-16 with a byte-order mark, or the
// windows-1252 form of Latin-1) into UTF-8.
#pragma once

#include <string_view>

#include "heap_array.hpp"
#include "error.hpp"

namespace quorvel {

// Leaves valid UTF-8 untouched (a UTF-8 byte-order mark included). Anything
// else is decoded into UTF-8 and replaces `bytes`: `FF FE` selects UTF-16LE,
// `FE FF` UTF-16BE (the mark is removed), otherwise windows-1252. Malformed
// input under a mark is an Encoding error. `known_valid` says the bytes were
// already checked as they were read.
Status decode_to_utf8(HeapArray<char>& bytes, bool known_valid = false);

}  // namespace quorvel
