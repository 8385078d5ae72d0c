// The one error type of the reader core, and the Status that carries it.
//
// Every reading operation returns a Status: success, or the first ParseError
// met. The rendered text of a ParseError (to_string) is exactly what a Python
// caller reads as the exception's text, so its wording is part of the
// interface; its kind and fields reach the caller as well.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

enum class ErrorKind : std::uint8_t {
    Io,
    Xml,
    Encoding,
    MissingElement,
    ParseValue,
    ShapeMismatch,
    Other,
    Interrupted,  // the caller asked the parse to stop; no text of its own reaches users
};

class ParseError {
public:
    static ParseError io(std::string description);
    // A failure of the operating system: its errno and description.
    static ParseError os(int error_number);
    static ParseError xml(std::string description);
    static ParseError encoding(std::string message);
    static ParseError missing_element(std::string element);
    // `value` is quoted as quote_input does.
    static ParseError parse_value(std::string_view value, std::string type_name, std::string message);
    static ParseError shape_mismatch(std::vector<std::uint64_t> expected,
                                     std::vector<std::uint64_t> got);
    static ParseError other(std::string message);
    static ParseError interrupted();

    ErrorKind kind() const noexcept { return kind_; }
    std::string to_string() const;

    // The fields. For Io, Xml, Encoding, MissingElement and Other `text` is
    // the single field; ParseValue keeps value, type and message.
    const std::string& text() const noexcept { return text_; }
    const std::string& type_name() const noexcept { return type_name_; }
    const std::string& message() const noexcept { return message_; }
    const std::vector<std::uint64_t>& expected() const noexcept { return expected_; }
    const std::vector<std::uint64_t>& got() const noexcept { return got_; }
    // Io: the errno of a failure of the operating system; 0 for one of the
    // content (gzip data).
    int error_number() const noexcept { return error_number_; }

    // The byte offset in the document text (after decompression and
    // decoding) at which the reader stood when it met the problem, where the
    // problem has a place.
    const std::optional<std::uint64_t>& offset() const noexcept { return offset_; }
    ParseError& at(std::uint64_t offset) noexcept {
        offset_ = offset;
        return *this;
    }

private:
    explicit ParseError(ErrorKind kind) : kind_(kind) {}

    ErrorKind kind_;
    int error_number_ = 0;
    std::optional<std::uint64_t> offset_;
    std::string text_;
    std::string type_name_;
    std::string message_;
    std::vector<std::uint64_t> expected_;
    std::vector<std::uint64_t> got_;
};

// Input quoted in an error text: as it is up to 200 bytes; longer, its
// first 200 bytes (cut at a UTF-8 boundary), "…" and its length, so that a
// bad token of megabytes makes a message of a line.
std::string quote_input(std::string_view text);

// What the caller of a long parse may ask now and then: whether to stop.
// Plain function and context, so that the reader core stays free of
// whatever the caller checks (the interpreter's signals, a flag).
struct Interruption {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;

    bool stop() const { return requested != nullptr && requested(context); }
};

// Success or a ParseError. One pointer wide, so the success path that every
// event and row goes through costs a null test.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(ParseError error) : error_(std::make_unique<ParseError>(std::move(error))) {}

    bool ok() const noexcept { return !error_; }
    const ParseError& error() const noexcept { return *error_; }
    ParseError& error() noexcept { return *error_; }

private:
    std::unique_ptr<ParseError> error_;
};

}  // namespace quorvel

// Returns the Status of `expr` from the enclosing function when it failed.
#define QV_TRY(expr) QV_TRY_NAMED(expr, QV_CONCAT(qv_status_, __COUNTER__))
#define QV_TRY_NAMED(expr, status)             \
    do {                                       \
        if (::quorvel::Status status = (expr); \
            !status.ok()) {                    \
            return status;                     \
        }                                      \
    } while (0)
#define QV_CONCAT(a, b) QV_CONCAT_INNER(a, b)
#define QV_CONCAT_INNER(a, b) a##b
