// The entry point of the reader core: a path and the options in, a complete
// RunRecord or the first problem out. Nothing here throws; the
// one unwind that passes through is the forced exit of the thread (by
// pthread_exit or cancellation, possibly from inside `interruption`), which
// gives back on its way whatever the parse held.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "parse_options.hpp"
#include "run_record.hpp"

namespace quorvel {

enum class ParseStatus {
    Ok,
    Failed,       // `error` holds the first ParseError
    OutOfMemory,  // an allocation failed; nothing was kept
    Fault,        // an unexpected internal fault; `fault` describes it
    Interrupted,  // the caller asked to stop; nothing was kept
};

struct ParseOutcome {
    ParseStatus status = ParseStatus::Failed;
    std::optional<RunRecord> record;
    std::optional<ParseError> error;
    std::string fault;

    // What went wrong as text: the error's display text, the fault's
    // description, "out of memory", or nothing.
    std::string message() const;
};

// `interruption` is asked now and then (while the file is read, every few
// megabytes of the walk) whether to stop.
ParseOutcome parse(std::string_view path, const ParseOptions& options, const Interruption& interruption = {});

// The same over the bytes of a file already in memory, read as gzip when
// `gzip` is set.
ParseOutcome parse_bytes(std::string_view bytes, bool gzip, const ParseOptions& options) noexcept;

}  // namespace quorvel
