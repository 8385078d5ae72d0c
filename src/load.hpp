// Loading a run file into one UTF-8 text in memory: plain or gzip input,
// any of the accepted encodings, and the encoding named in the XML
// declaration neutralised so that nothing decodes the text a second time.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "consumed_text.hpp"
#include "error.hpp"
#include "file_mapping.hpp"
#include "heap_array.hpp"
#include "inflate_ahead.hpp"

namespace quorvel {

// The loaded document: bytes in memory, or a file mapped as it is (see
// FileMapping). The text is a view into them; it starts after any bytes the
// declaration rewrite gave up. A gzip file may still be being inflated while
// the document is read (see InflateAhead): the text is then what is
// inflated so far, and the supply writes the rest.
class Document {
public:
    Document() noexcept = default;
    Document(HeapArray<char> bytes, std::size_t offset) noexcept
        : bytes_(std::move(bytes)),
          offset_(offset),
          ready_(bytes_.size()),
          consumed_(std::string_view(bytes_.data() + offset_, bytes_.size() - offset_), bytes_.owns_mapping()) {}
    // The pages of a mapped file are given back as read, never moved: they
    // belong to the file.
    Document(FileMapping mapping, std::size_t offset) noexcept
        : mapping_(std::move(mapping)),
          offset_(offset),
          ready_(mapping_.size()),
          consumed_(std::string_view(mapping_.data() + offset_, mapping_.size() - offset_), false) {}
    // The text `ahead` is inflating, `ready` bytes of it there now.
    Document(std::unique_ptr<InflateAhead> ahead, std::size_t offset, std::size_t ready) noexcept
        : offset_(offset),
          ready_(ready),
          consumed_(std::string_view(ahead->data() + offset, ahead->size() - offset), ahead->owns_mapping()),
          ahead_(std::move(ahead)) {}

    // The text there is now: all of it, unless supply() is not null.
    std::string_view text() const noexcept {
        const char* const bytes = ahead_ ? ahead_->data() : mapping_ ? mapping_.data() : bytes_.data();
        return std::string_view(bytes + offset_, ready_ - offset_);
    }

    // Where the rest of the text comes from while it is inflated; null when
    // text() is all of it.
    TextSupply* supply() noexcept { return ahead_.get(); }
    InflateAhead* inflating_ahead() noexcept { return ahead_.get(); }

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
    std::size_t ready_ = 0;
    ConsumedText consumed_;
    std::unique_ptr<InflateAhead> ahead_;
};

// True when the path's extension is exactly `gz`.
bool has_gz_extension(std::string_view path) noexcept;

// `interruption` is asked, while the file is opened, read and inflated,
// whether to stop. With `inflate_ahead`, a large gzip file may be inflated
// while the document is read, for a reader that follows its supply().
Status load_document(std::string_view path, Document& document, const Interruption& interruption = {},
                     bool inflate_ahead = false);

// A whole gzip file already in memory, inflated in one go.
Status load_gzip(HeapArray<char> compressed, Document& document, const Interruption& interruption = {});

// The same from bytes already in memory; `gzip` says how to read them.
Status load_document_from_bytes(std::string_view bytes, bool gzip, Document& document);

// Decoding and the declaration rewrite, applied to raw file content;
// `known_utf8` when the content was already checked as valid UTF-8.
Status finish_document(HeapArray<char> raw, Document& document, bool known_utf8 = false);

}  // namespace quorvel
