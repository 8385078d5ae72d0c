// Reading a file whole into memory, whatever happens to the file meanwhile.
//
// A regular file is read up to the size it had when it was opened: what a
// writer appends later was not written yet then, and a file that keeps
// growing would never end. It is read, never mapped: a mapping can be cut
// under the reader (a truncation once a lease has timed out, as it does
// while the process is stopped), which kills the process with SIGBUS. The
// file is checked for change around the read; a change means one more read,
// then an error, never a text made of two versions.
//
// Anything else (a pipe, a terminal, a device, a file of /proc) is read to
// its end. Nothing blocks: a FIFO opens without waiting for its writer, and
// every wait for data is a poll, so that the caller is asked whether to stop
// while it waits. An input without end (/dev/zero) stops at the memory the
// machine had available when the read began.
#pragma once

#include <string_view>

#include "error.hpp"
#include "heap_array.hpp"

namespace quorvel {

// The bytes of the file at `path` into `out`; `valid_utf8` tells whether
// they were found to be valid UTF-8 on the way. `interruption` is asked
// between pieces and while a read waits.
Status read_file(std::string_view path, HeapArray<char>& out, bool& valid_utf8, const Interruption& interruption);

}  // namespace quorvel
