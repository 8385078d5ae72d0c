// Entity and character references in element text: the five predefined
// entities and decimal or hexadecimal character references, each resolved to
// its UTF-8 bytes; anything else is an error of kind Other.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"

namespace quorvel {

// `raw` with its references resolved, into `out` (replaced).
// `cut_by_the_end`: `raw` runs to the end of a cut input, so a reference
// left unfinished there ends the text rather than being an error.
// `interruption`, when given, is asked every few megabytes whether to stop:
// a text of millions of references stops like the rest of the document.
Status decode_entities(std::string_view raw, std::string& out, bool cut_by_the_end = false,
                       const Interruption* interruption = nullptr);

}  // namespace quorvel
