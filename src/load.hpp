// Loading a run file into one UTF-8 text in memory: plain or gzip input,
// any of the accepted encodings, and the encoding named in the XML
// declaration neutralised so that nothing decodes the text a second time.
#pragma once

#include <cstddef>
#include <string_view>

#include "consumed_text.hpp"
#include "error.hpp"
#include "file_mapping.hpp"
#include "heap_array.hpp"

namespace quorvel {

// The loaded document: bytes in memory, or a file mapped as it is (see
// FileMapping). The text is a view into them; it starts after any bytes the
// declaration rewrite gave up.
class Document {
public:
    Document() noexcept = default;
    Document(HeapArray<char> bytes, std::size_t offset) noexcept
        : bytes_(std::move(bytes)), offset_(offset), consumed_(text(), bytes_.owns_mapping()) {}
    // The pages of a mapped file are given back as read, never moved: they
    // belong to the file.
    Document(FileMapping mapping, std::size_t offset) noexcept
        : mapping_(std::move(mapping)), offset_(offset), consumed_(text(), false) {}

    std::string_view text() const noexcept {
        return mapping_ ? std::string_view(mapping_.data() + offset_, mapping_.size() - offset_)
                        : std::string_view(bytes_.data() + offset_, bytes_.size() - offset_);
    }

    // Whether the text is still what the file held: false only for a mapped
    // file that changed under the mapping.
    bool intact() const noexcept { return mapping_.intact(); }

    // Hands on the pages of the text as a walk reads it; for a walk whose
    // owner of the document reads nothing of it afterwards.
    ConsumedText& consumed() noexcept { return consumed_; }

private:
    HeapArray<char> bytes_;
    FileMapping mapping_;
    std::size_t offset_ = 0;
    ConsumedText consumed_;
};

// True when the path's extension is exactly `gz`.
bool has_gz_extension(std::string_view path) noexcept;

// `interruption` is asked, while the file is opened, read and inflated,
// whether to stop.
Status load_document(std::string_view path, Document& document, const Interruption& interruption = {});

// The same from bytes already in memory; `gzip` says how to read them.
Status load_document_from_bytes(std::string_view bytes, bool gzip, Document& document);

// Decoding and the declaration rewrite, applied to raw file content;
// `known_utf8` when the content was already checked as valid UTF-8.
Status finish_document(HeapArray<char> raw, Document& document, bool known_utf8 = false);

}  // namespace quorvel
