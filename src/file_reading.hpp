// Reading a file whole into memory, whatever happens to the file meanwhile.
//
// A regular file is read up to the size it had when it was opened: what a
// writer appends later was not written yet then, and a file that keeps
// growing would never end. Where the caller can take a mapping, a file of
// 1 MB or more is mapped instead, under a read lease (see FileMapping). A
// file read is checked for change around the read; a change means one more read,
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
#include "file_mapping.hpp"
#include "heap_array.hpp"

namespace quorvel {

// The bytes of the file at `path` into `out`; `valid_utf8` tells whether
// they were found to be valid UTF-8 on the way. `interruption` is asked
// between pieces and while a read waits. With `mapping`, a file that can be
// mapped is mapped there instead, and `out` is left empty.
Status read_file(std::string_view path, HeapArray<char>& out, bool& valid_utf8, const Interruption& interruption,
                 FileMapping* mapping = nullptr);

}  // namespace quorvel
