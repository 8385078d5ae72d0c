// The parse of a run file with the interpreter lock released, so that other
// Python threads run meanwhile and a pool of threads reads files in parallel.
#pragma once

#include "parse.hpp"
#include "py_ref.hpp"

namespace quorvel::python {

// Called with the lock held; returns with it held. The reader core touches
// no Python object, so it runs without the lock (a large file on a thread of
// its own, see parse_interruptibly). Signals are looked at every few
// hundredths of a second, with the lock taken back briefly: when a handler
// raises (Ctrl-C), the parse stops, nothing of it is kept, and the outcome
// is Interrupted with that exception raised. In a thread that the
// interpreter's finalization ends, the parse stops without the lock, and
// the thread ends when it takes the lock back, holding nothing of Python.
ParseOutcome parse_without_the_lock(std::string_view path, const ParseOptions& options);

}  // namespace quorvel::python
