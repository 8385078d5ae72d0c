#include "error.hpp"

#include <cstring>

namespace quorvel {

namespace {

std::string counts_to_string(const std::vector<std::uint64_t>& counts) {
    std::string out = "[";
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += std::to_string(counts[i]);
    }
    out += ']';
    return out;
}

}  // namespace

ParseError ParseError::io(std::string description) {
    ParseError e(ErrorKind::Io);
    e.text_ = std::move(description);
    return e;
}

ParseError ParseError::os(int error_number) {
    ParseError e(ErrorKind::Io);
    e.text_ = std::strerror(error_number);
    e.error_number_ = error_number;
    return e;
}

ParseError ParseError::xml(std::string description) {
    ParseError e(ErrorKind::Xml);
    e.text_ = std::move(description);
    return e;
}

ParseError ParseError::encoding(std::string message) {
    ParseError e(ErrorKind::Encoding);
    e.text_ = std::move(message);
    return e;
}

ParseError ParseError::missing_element(std::string element) {
    ParseError e(ErrorKind::MissingElement);
    e.text_ = std::move(element);
    return e;
}

std::string quote_input(std::string_view text) {
    constexpr std::size_t kQuoted = 200;
    if (text.size() <= kQuoted) {
        return std::string(text);
    }
    std::size_t cut = kQuoted;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a UTF-8 sequence
    }
    return std::string(text.substr(0, cut)) + "\u2026 (" + std::to_string(text.size()) + " bytes)";
}

ParseError ParseError::parse_value(std::string_view value, std::string type_name, std::string message) {
    ParseError e(ErrorKind::ParseValue);
    e.text_ = quote_input(value);
    e.type_name_ = std::move(type_name);
    e.message_ = std::move(message);
    return e;
}

ParseError ParseError::shape_mismatch(std::vector<std::uint64_t> expected,
                                      std::vector<std::uint64_t> got) {
    ParseError e(ErrorKind::ShapeMismatch);
    e.expected_ = std::move(expected);
    e.got_ = std::move(got);
    return e;
}

ParseError ParseError::interrupted() { return ParseError(ErrorKind::Interrupted); }

ParseError ParseError::other(std::string message) {
    ParseError e(ErrorKind::Other);
    e.text_ = std::move(message);
    return e;
}

std::string ParseError::to_string() const {
    switch (kind_) {
        case ErrorKind::Io:
            return error_number_ == 0
                       ? "I/O error: " + text_
                       : "I/O error: " + text_ + " (os error " + std::to_string(error_number_) + ")";
        case ErrorKind::Xml:
            return "XML parse error: " + text_;
        case ErrorKind::Encoding:
            return "Encoding error: " + text_;
        case ErrorKind::MissingElement:
            return "Missing element <" + text_ + ">";
        case ErrorKind::ParseValue:
            return "Failed to parse value '" + text_ + "' as " + type_name_ + ": " + message_;
        case ErrorKind::ShapeMismatch:
            return "Unexpected array shape: expected " + counts_to_string(expected_) + ", got " +
                   counts_to_string(got_);
        case ErrorKind::Other:
            return text_;
        case ErrorKind::Interrupted:
            return "interrupted";
    }
    return text_;
}

}  // namespace quorvel
