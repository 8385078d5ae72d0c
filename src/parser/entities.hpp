// Entity and character references in element text: the five predefined
// entities and decimal or hexadecimal character references, each resolved to
// its UTF-8 bytes; anything else is an error of kind Other.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"

namespace quorvel {

// `raw` with its references resolved, into `out` (replaced).
Status decode_entities(std::string_view raw, std::string& out);

}  // namespace quorvel
