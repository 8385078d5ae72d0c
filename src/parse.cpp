#include "parse.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include <cxxabi.h>

#include "load.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

bool interrupted(const Status& status) noexcept {
    return !status.ok() && status.error().kind() == ErrorKind::Interrupted;
}

Status walk(Document& document, const ParseOptions& options, RunRecord& record, const Interruption& interruption) {
    return walk_document(document.text(), options, record, &document.consumed(), &interruption, document.supply());
}

template <class Load>
ParseOutcome run(Load&& load, const ParseOptions& options, const Interruption& interruption) {
    ParseOutcome outcome;
    try {
        Status status;
        {
            // The document lives only for the walk; the record keeps copies.
            // Its text is ours, so the walk gives back what it has read.
            Document document;
            status = load(document);
            if (status.ok()) {
                RunRecord record;
                status = walk(document, options, record, interruption);
                // What the inflate ahead gave up on is read again the one-thread
                // way, whatever the walk made of it: that way's results and errors
                // are the file's.
                InflateAhead* ahead = document.inflating_ahead();
                if (ahead != nullptr && !interrupted(status) && !ahead->finish()) {
                    HeapArray<char> compressed = ahead->take_compressed();
                    document = Document();
                    record = RunRecord();
                    status = load_gzip(std::move(compressed), document, interruption);
                    if (status.ok()) {
                        status = walk(document, options, record, interruption);
                    }
                }
                if (status.ok()) {
                    outcome.record = std::move(record);
                }
            }
        }
        if (status.ok()) {
            outcome.status = ParseStatus::Ok;
        } else if (interrupted(status)) {
            outcome = ParseOutcome{};
            outcome.status = ParseStatus::Interrupted;
        } else {
            outcome.status = ParseStatus::Failed;
            outcome.error = status.error().to_string();
        }
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is ending (see parse.hpp)
    } catch (const std::bad_alloc&) {
        outcome = ParseOutcome{};
        outcome.status = ParseStatus::OutOfMemory;
    } catch (const std::length_error&) {
        outcome = ParseOutcome{};
        outcome.status = ParseStatus::OutOfMemory;
    } catch (const std::exception& fault) {
        outcome = ParseOutcome{};
        outcome.status = ParseStatus::Fault;
        try {
            outcome.error = fault.what();
        } catch (...) {
        }
    } catch (...) {
        outcome = ParseOutcome{};
        outcome.status = ParseStatus::Fault;
    }
    return outcome;
}

}  // namespace

ParseOutcome parse(std::string_view path, const ParseOptions& options, const Interruption& interruption) {
    return run([&](Document& document) { return load_document(path, document, interruption, true); }, options,
               interruption);
}

ParseOutcome parse_bytes(std::string_view bytes, bool gzip, const ParseOptions& options) noexcept {
    return run([&](Document& document) { return load_document_from_bytes(bytes, gzip, document); }, options,
               Interruption{});
}

}  // namespace quorvel
