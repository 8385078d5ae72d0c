// A parse that its caller can stop waiting for at once, whatever the parse
// is doing: one call that decodes a gzip member of a gigabyte, a search
// through a text of gigabytes, the giving back of the memory it held. Such a
// parse runs on a thread of its own while the caller waits and asks, every
// few hundredths of a second, whether to stop; when told to, the caller
// returns at once, and the parse stops at its next look and gives back what
// it held, alone.
#pragma once

#include <string_view>

#include "parse.hpp"

namespace quorvel {

// As parse (and like it, nothing but a forced exit of the thread passes
// through). Small regular files, parsed in far less than a tenth of a
// second, are parsed in place, and so is everything where no thread can be
// started.
ParseOutcome parse_interruptibly(std::string_view path, const ParseOptions& options,
                                 const Interruption& interruption);

}  // namespace quorvel
