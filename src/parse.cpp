#include "parse.hpp"

#include "faults.hpp"
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
    return catch_faults(
        [&] {
            ParseOutcome outcome;
            Status status;
            // A mapped file that changed under the walk (possible only once
            // its lease ran out, as while the process was stopped) is read
            // once more; what was read of it is dropped either way.
            for (int attempt = 0; attempt < 2; ++attempt) {
                // The document lives only for the walk; the record keeps
                // copies. Its text is ours, so the walk gives back what it
                // has read.
                Document document;
                status = load(document);
                if (!status.ok()) {
                    break;
                }
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
                if (!document.intact()) {
                    status = ParseError::io("file changed while it was read");
                    continue;
                }
                if (status.ok()) {
                    outcome.record = std::move(record);
                }
                break;
            }
            if (status.ok()) {
                outcome.status = ParseStatus::Ok;
            } else if (interrupted(status)) {
                outcome.status = ParseStatus::Interrupted;
            } else {
                outcome.status = ParseStatus::Failed;
                outcome.error = std::move(status.error());
            }
            return outcome;
        },
        [](FaultKind kind, const char* description) noexcept {
            ParseOutcome outcome;
            outcome.status = kind == FaultKind::OutOfMemory ? ParseStatus::OutOfMemory : ParseStatus::Fault;
            if (kind == FaultKind::Internal) {
                try {
                    outcome.fault = description;
                } catch (...) {  // no room to say what it was
                }
            }
            return outcome;
        });
}

}  // namespace

std::string ParseOutcome::message() const {
    switch (status) {
        case ParseStatus::Failed:
            return error ? error->to_string() : std::string();
        case ParseStatus::Fault:
            return fault;
        case ParseStatus::OutOfMemory:
            return "out of memory";
        case ParseStatus::Ok:
        case ParseStatus::Interrupted:
            break;
    }
    return {};
}

ParseOutcome parse(std::string_view path, const ParseOptions& options, const Interruption& interruption) {
    return run([&](Document& document) { return load_document(path, document, interruption, true); }, options,
               interruption);
}

ParseOutcome parse_bytes(std::string_view bytes, bool gzip, const ParseOptions& options) noexcept {
    return run([&](Document& document) { return load_document_from_bytes(bytes, gzip, document); }, options,
               Interruption{});
}

}  // namespace quorvel
