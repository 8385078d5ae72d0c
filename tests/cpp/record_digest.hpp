// Every value of a RunRecord written out as bytes, so that two records can
// be compared whole: equal digests mean equal records, to the last bit of
// every number.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "load.hpp"
#include "parser/sections.hpp"
#include "run_record.hpp"

namespace quorvel::testing {

class RecordDigest {
public:
    RecordDigest() = default;
    explicit RecordDigest(const RunRecord& r) { add(r); }

    // The digest of any parts of a record.
    template <class... T>
    static std::string of(const T&... parts) {
        RecordDigest digest;
        (digest.add(parts), ...);
        return digest.bytes_;
    }

    const std::string& bytes() const noexcept { return bytes_; }

private:
    // Every field of the records, by their field lists; counts before the
    // items of lists, flags before optional values.
    template <class T>
    void add(const T& value) {
        if constexpr (std::is_arithmetic_v<T>) {
            bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            add(value.size());
            bytes_ += value;
        } else if constexpr (std::is_same_v<T, Species>) {
            add(value.to_vector());
        } else if constexpr (std::is_same_v<T, ParameterMap>) {
            add(value.entries());
        } else if constexpr (std::is_same_v<T, HeapArray<double>>) {
            add(value.size());
            bytes_.append(reinterpret_cast<const char*>(value.data()), value.size() * sizeof(double));
        } else if constexpr (HasFields<T>) {
            for_each_field(value, [&](auto field) { add(field.value); });
        } else if constexpr (requires { value.index(); value.valueless_by_exception(); }) {  // variants
            add(value.index());
            std::visit([&](const auto& alternative) { add(alternative); }, value);
        } else if constexpr (requires { value.has_value(); }) {  // optionals
            add(value.has_value());
            if (value) add(*value);
        } else if constexpr (requires { value.first; value.second; }) {
            add(value.first);
            add(value.second);
        } else {  // lists
            add(std::size(value));
            for (const auto& element : value) add(element);
        }
    }

    std::string bytes_;
};

// Loads and walks a document held in memory, with its text kept or, when
// `release` is set, handed on at every page passed: "ok" and the record's
// digest, or the error text.
inline std::string walk_to_digest(std::string_view bytes, bool gzip, const ParseOptions& options, bool release) {
    Document document;
    const Status loaded = load_document_from_bytes(bytes, gzip, document);
    if (!loaded.ok()) {
        return loaded.error().to_string();
    }
    RunRecord record;
    ConsumedText consumed(document.text(), true, 1);
    const Status walked = walk_document(document.text(), options, record, release ? &consumed : nullptr);
    return walked.ok() ? "ok " + RecordDigest(record).bytes() : walked.error().to_string();
}

}  // namespace quorvel::testing
