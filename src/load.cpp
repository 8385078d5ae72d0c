#include "load.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "encoding.hpp"
#include "file_reading.hpp"
#include "gzip.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

// The text is UTF-8 now: an XML declaration at its start (after a UTF-8
// byte-order mark) that names Latin-1 as its encoding (ISO-8859-1 or
// iso-8859-1) is made to say UTF-8, so that nothing decodes the text a
// second time; nothing else is touched. The declaration gets shorter, so it
// is written in place, flush against the rest, and the returned offset is
// where the text now starts.
std::size_t rewrite_declared_encoding(char* text, std::size_t size) {
    const std::string_view all(text, size);
    const std::size_t start = all.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    if (all.substr(start, 5) != "<?xml" || size < start + 6 || !is_xml_space(all[start + 5])) {
        return 0;
    }
    const std::size_t close = all.find("?>", start);
    const std::size_t name = all.substr(0, close).find("encoding", start);
    if (close == std::string_view::npos || name == std::string_view::npos) {
        return 0;
    }
    std::size_t at = name + 8;
    const auto skip_space = [&] {
        while (at < close && is_xml_space(all[at])) {
            ++at;
        }
    };
    skip_space();
    if (at == close || all[at] != '=') {
        return 0;
    }
    ++at;
    skip_space();
    if (at == close || (all[at] != '"' && all[at] != '\'')) {
        return 0;
    }
    const std::string_view value = all.substr(at + 1, 10);
    if ((value != "ISO-8859-1" && value != "iso-8859-1") || at + 11 >= close || all[at + 11] != all[at]) {
        return 0;
    }
    // Everything before the name moves right by the five bytes it loses.
    constexpr std::size_t kShorter = 10 - 5;
    std::memmove(text + at + 1 + kShorter, "UTF-8", 5);
    std::memmove(text + kShorter, text, at + 1);
    return kShorter;
}

// gzip files of at least this many compressed bytes (some megabytes of
// text) are inflated ahead of the parse on a thread of their own; for
// smaller ones the thread would hardly have started when the work is done.
constexpr std::size_t kInflateAheadMin = std::size_t{1} << 20;

// QUORVEL_INFLATE_AHEAD=0 inflates every file in one go before the parse, 1
// every gzip file ahead of it, whatever its size: for comparisons and tests.
bool inflate_ahead_wanted(std::size_t compressed) noexcept {
    const char* setting = std::getenv("QUORVEL_INFLATE_AHEAD");
    if (setting != nullptr && (setting == std::string_view("0") || setting == std::string_view("1"))) {
        return setting[0] == '1';
    }
    return compressed >= kInflateAheadMin;
}

// Starts inflating `compressed` ahead of the parse. False, with `compressed`
// as it was, when that cannot be done; then it is inflated in one go.
bool load_inflating_ahead(HeapArray<char>& compressed, Document& document) noexcept {
    std::unique_ptr<InflateAhead> ahead = InflateAhead::start(compressed);
    if (!ahead) {
        return false;
    }
    const std::size_t ready = ahead->ready();
    // The declaration is rewritten once, whole, before the parse reads it.
    const std::string_view first(ahead->data(), ready);
    const std::size_t bom = first.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    if (ready == 0 ||
        (ready < ahead->size() && first.substr(bom).starts_with("<?xml") && first.find("?>") == std::string_view::npos)) {
        compressed = ahead->take_compressed();
        return false;
    }
    const std::size_t offset = rewrite_declared_encoding(ahead->data(), ready);
    document = Document(std::move(ahead), offset, ready);
    return true;
}

// A mapped file becomes the document as it is, unless it is not UTF-8:
// then it is decoded into memory.
Status finish_mapped_document(FileMapping mapping, Document& document, const Interruption& interruption) {
    constexpr std::size_t kPiece = std::size_t{4} << 20;
    Utf8Check utf8;
    for (std::size_t at = 0; at < mapping.size(); at += kPiece) {
        utf8.grow(mapping.data(), at + std::min(kPiece, mapping.size() - at));
        if (interruption.stop()) {
            return ParseError::interrupted();
        }
    }
    if (!utf8.valid(mapping.size())) {
        HeapArray<char> raw;
        raw.append(mapping.data(), mapping.size());
        return finish_document(std::move(raw), document);
    }
    const std::size_t offset = rewrite_declared_encoding(mapping.data(), mapping.size());
    document = Document(std::move(mapping), offset);
    return {};
}

}  // namespace

bool has_gz_extension(std::string_view path) noexcept {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name == "..") {
        return false;
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return false;
    }
    return name.substr(dot + 1) == "gz";
}

Status finish_document(HeapArray<char> raw, Document& document, bool known_utf8) {
    QV_TRY(decode_to_utf8(raw, known_utf8));
    const std::size_t offset = rewrite_declared_encoding(raw.data(), raw.size());
    document = Document(std::move(raw), offset);
    return {};
}

Status load_gzip(HeapArray<char> compressed, Document& document, const Interruption& interruption) {
    HeapArray<char> inflated;
    bool valid_utf8 = false;
    QV_TRY(inflate_gzip(std::string_view(compressed.data(), compressed.size()), inflated, valid_utf8, interruption));
    compressed = HeapArray<char>();
    return finish_document(std::move(inflated), document, valid_utf8);
}

Status load_document(std::string_view path, Document& document, const Interruption& interruption,
                     bool inflate_ahead) {
    HeapArray<char> raw;
    bool valid_utf8 = false;
    const bool gzip = has_gz_extension(path);
    FileMapping mapping;
    QV_TRY(read_file(path, raw, valid_utf8, interruption, gzip ? nullptr : &mapping));
    if (mapping) {
        return finish_mapped_document(std::move(mapping), document, interruption);
    }
    if (gzip) {
        if (inflate_ahead && inflate_ahead_wanted(raw.size()) && load_inflating_ahead(raw, document)) {
            return {};
        }
        return load_gzip(std::move(raw), document, interruption);
    }
    return finish_document(std::move(raw), document, valid_utf8);
}

Status load_document_from_bytes(std::string_view bytes, bool gzip, Document& document) {
    HeapArray<char> raw;
    bool valid_utf8 = false;
    if (gzip) {
        QV_TRY(inflate_gzip(bytes, raw, valid_utf8));
    } else {
        raw.reserve_large_in_own_mapping(bytes.size() + 1);
        raw.append(bytes.data(), bytes.size());
    }
    return finish_document(std::move(raw), document, valid_utf8);
}

}  // namespace quorvel
