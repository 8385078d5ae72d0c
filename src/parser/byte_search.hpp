// The raw byte search behind fast_skip: where a closing tag next stands in
// the text, found without reading the markup on the way.
#pragma once

#include <string_view>

namespace quorvel {

// The first occurrence of `needle` (at least two bytes) in `haystack`, or
// null. The search runs memchr, which the C library tunes to the machine, on
// the needle's least common byte, and compares the needle where it lands.
// Should that byte turn out to be common after all, the rest of the search
// goes to the steady two-byte filter.
const char* find_substring(std::string_view haystack, std::string_view needle) noexcept;

}  // namespace quorvel
