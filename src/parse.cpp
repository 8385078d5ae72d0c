#include "parse.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include <cxxabi.h>

#include "load.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

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
                status = walk_document(document.text(), options, record, &document.consumed(), &interruption);
                if (status.ok()) {
                    outcome.record = std::move(record);
                }
            }
        }
        if (status.ok()) {
            outcome.status = ParseStatus::Ok;
        } else if (status.error().kind() == ErrorKind::Interrupted) {
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
    return run([&](Document& document) { return load_document(path, document, interruption); }, options,
               interruption);
}

ParseOutcome parse_bytes(std::string_view bytes, bool gzip, const ParseOptions& options) noexcept {
    return run([&](Document& document) { return load_document_from_bytes(bytes, gzip, document); }, options,
               Interruption{});
}

}  // namespace quorvel
