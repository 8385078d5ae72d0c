#include "record_state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "deflate_whole.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

constexpr std::string_view kMagic = "QVRS";
constexpr std::size_t kPrefix = 4 + 1 + 8 + 4;  // magic, version, payload length, payload CRC-32

static_assert(std::numeric_limits<double>::is_iec559, "the state holds IEEE 754 doubles");

std::uint32_t crc32_of(std::string_view bytes) noexcept {
    return deflate_whole::update_crc32(0, bytes.data(), bytes.size());
}

// The least number of bytes the state takes for a value of each type, so that
// a count read from the state is checked against the bytes that could hold
// that many before anything is allocated for them. Declared first, so that
// each sees the others.
template <class T>
constexpr std::size_t min_bytes(TypeTag<T>);
template <class T, std::size_t N>
constexpr std::size_t min_bytes(TypeTag<std::array<T, N>>);
template <class T>
constexpr std::size_t min_bytes(TypeTag<std::optional<T>>) {
    return 1;  // its flag
}
template <class... T>
constexpr std::size_t min_bytes(TypeTag<std::variant<T...>>);
constexpr std::size_t min_bytes(TypeTag<HeapArray<double>>) {
    return 8 + 4;  // its count and checksum; the values lie beside
}
constexpr std::size_t min_bytes(TypeTag<Species>) {
    return 1;  // its mark
}

template <class T>
constexpr std::size_t min_bytes(TypeTag<T>) {
    if constexpr (std::is_arithmetic_v<T>) {
        return sizeof(T);
    } else if constexpr (HasFields<T>) {
        return fold_field_types<T>([](auto... field) { return (min_bytes(field) + ... + 0); });
    } else {
        return 8;  // texts, lists and maps: their count
    }
}
template <class T, std::size_t N>
constexpr std::size_t min_bytes(TypeTag<std::array<T, N>>) {
    return N * min_bytes(TypeTag<T>{});
}
template <class... T>
constexpr std::size_t min_bytes(TypeTag<std::variant<T...>>) {
    return 1 + std::min({min_bytes(TypeTag<T>{})...});  // its index
}

// Little-endian writing of the payload.
class Writer {
public:
    template <class U>
    void fixed(U value) {
        char bytes[sizeof(U)];
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        out_.append(bytes, sizeof(U));
    }
    void append(std::string_view bytes) { out_.append(bytes); }
    std::string& bytes() noexcept { return out_; }

private:
    std::string out_;
};

// The writer of one record: the payload, every field in the order of the
// field lists, and the bulk arrays beside it.
class StateWriter {
public:
    StateWriter(const RunRecord& record, std::vector<std::string_view>& arrays) : record_(record), arrays_(arrays) {}

    std::string write() {
        put(record_);
        const std::string& payload = out_.bytes();
        Writer prefix;
        prefix.append(kMagic);
        prefix.fixed(kStateVersion);
        prefix.fixed(std::uint64_t{payload.size()});
        prefix.fixed(crc32_of(payload));
        return prefix.bytes() + payload;
    }

private:
    template <class T>
    void put(const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            out_.fixed(std::uint8_t{value});
        } else if constexpr (std::is_integral_v<T>) {
            out_.fixed(static_cast<std::make_unsigned_t<T>>(value));
        } else if constexpr (std::is_same_v<T, double>) {
            out_.fixed(std::bit_cast<std::uint64_t>(value));
        } else {
            for_each_field(value, [&](auto field) { put(field.value); });
        }
    }
    void put(const std::string& text) {
        put(std::uint64_t{text.size()});
        out_.append(text);
    }
    template <class T, std::size_t N>
    void put(const std::array<T, N>& values) {
        for (const T& value : values) put(value);
    }
    template <class T>
    void put(const std::vector<T>& values) {
        put(std::uint64_t{values.size()});
        for (const T& value : values) put(value);
    }
    template <class T>
    void put(const std::optional<T>& value) {
        put(value.has_value());
        if (value) put(*value);
    }
    template <class... T>
    void put(const std::variant<T...>& value) {
        put(static_cast<std::uint8_t>(value.index()));
        std::visit([&](const auto& alternative) { put(alternative); }, value);
    }
    void put(const ParameterMap& map) {
        put(std::uint64_t{map.size()});
        for (const auto& [name, value] : map.entries()) {
            put(name);
            put(value);
        }
    }

    // Structures nearly always carry the atom list of the record; that is
    // written as a mark, not once per structure.
    void put(const Species& species) {
        const Species::Symbols& shared = species.shared();
        if (!shared) {
            put(std::uint8_t{0});
            put(std::uint64_t{species.size()});
        } else if (shared == atoms_seen_ || *shared == record_.atom_info.atoms) {
            atoms_seen_ = shared;
            put(std::uint8_t{1});
        } else {
            put(std::uint8_t{2});
            put(*shared);
        }
    }

    // A bulk array: its element count and CRC-32 here, its bytes beside.
    void put(const HeapArray<double>& values) {
        const std::string_view bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
        put(std::uint64_t{values.size()});
        out_.fixed(crc32_of(bytes));
        arrays_.push_back(bytes);
    }

    const RunRecord& record_;
    std::vector<std::string_view>& arrays_;
    Writer out_;
    Species::Symbols atoms_seen_;
};

// Reading of the payload: every read checks what is left.
class Reader {
public:
    explicit Reader(std::string_view in) noexcept : in_(in) {}

    template <class U>
    bool fixed(U& value) {
        if (!take(sizeof(U))) return false;
        value = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            value = static_cast<U>(value | static_cast<U>(static_cast<unsigned char>(in_[at_ - sizeof(U) + i])) << (8 * i));
        }
        return true;
    }
    // A count of items of at least `item_bytes` each that the rest can hold.
    bool count(std::uint64_t& value, std::size_t item_bytes) {
        return fixed(value) && value <= (in_.size() - at_) / item_bytes;
    }
    bool bytes(std::size_t size, std::string_view& out) {
        if (!take(size)) return false;
        out = in_.substr(at_ - size, size);
        return true;
    }
    bool done() const noexcept { return at_ == in_.size(); }

private:
    bool take(std::size_t size) noexcept {
        if (size > in_.size() - at_) return false;
        at_ += size;
        return true;
    }

    std::string_view in_;
    std::size_t at_ = 0;
};

Status corrupt(const std::string& what) { return ParseError::other("corrupt Vasprun state: " + what); }

// The reader of one record: the payload in the order of the field lists,
// with the bulk arrays given. Every text is UTF-8 and every record agrees
// with what its users assume (mismatch_of), as the parser's records do. On
// failure it says where: the path of field names and list indices to the
// part that did not read.
class StateReader {
public:
    StateReader(std::string_view payload, std::vector<HeapArray<double>>& arrays,
                std::vector<std::uint32_t>& crcs)
        : in_(payload), arrays_(arrays), crcs_(crcs) {}

    Status read(RunRecord& record) {
        record_ = &record;
        if (!take(record)) {
            return corrupt(problem_.empty() ? where_ : where_.empty() ? problem_ : problem_ + " (at " + where_ + ")");
        }
        if (!in_.done()) return corrupt("its end");
        if (next_array_ != arrays_.size()) {
            return corrupt("it holds " + std::to_string(arrays_.size()) + " arrays where its header describes " +
                           std::to_string(next_array_));
        }
        return {};
    }

private:
    template <class T>
    bool take(T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            std::uint8_t byte = 0;
            if (!in_.fixed(byte) || byte > 1) return false;
            value = byte == 1;
            return true;
        } else if constexpr (std::is_integral_v<T>) {
            std::make_unsigned_t<T> bits = 0;
            if (!in_.fixed(bits)) return false;
            value = static_cast<T>(bits);
            return true;
        } else if constexpr (std::is_same_v<T, double>) {
            std::uint64_t bits = 0;
            if (!in_.fixed(bits)) return false;
            value = std::bit_cast<double>(bits);
            return true;
        } else {
            if (!all_fields(value, [&](auto field) { return take(field.value) || inside(field.name); })) {
                return false;
            }
            std::string mismatch = mismatch_of(value);
            return mismatch.empty() || fail(std::move(mismatch));
        }
    }
    bool take(std::string& text) {
        std::uint64_t size = 0;
        std::string_view bytes;
        if (!in_.count(size, 1) || !in_.bytes(static_cast<std::size_t>(size), bytes)) return false;
        if (!is_valid_utf8(bytes)) return fail("a text that is not UTF-8");
        text.assign(bytes);
        return true;
    }
    template <class T, std::size_t N>
    bool take(std::array<T, N>& values) {
        for (T& value : values) {
            if (!take(value)) return false;
        }
        return true;
    }
    template <class T>
    bool take(std::vector<T>& values) {
        std::uint64_t size = 0;
        if (!in_.count(size, min_bytes(TypeTag<T>{}))) return false;
        values.resize(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!take(values[i])) return inside("[" + std::to_string(i) + "]");
        }
        return true;
    }
    template <class T>
    bool take(std::optional<T>& value) {
        bool present = false;
        if (!take(present)) return false;
        if (present) return take(value.emplace());
        value.reset();
        return true;
    }
    template <class... T>
    bool take(std::variant<T...>& value) {
        std::uint8_t index = 0;
        if (!take(index) || index >= sizeof...(T)) return false;
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            bool read = false;
            ((index == I && (read = take(value.template emplace<I>()))), ...);
            return read;
        }(std::index_sequence_for<T...>{});
    }
    bool take(ParameterMap& map) {
        std::uint64_t size = 0;
        if (!in_.count(size, 8 + min_bytes(TypeTag<IncarValue>{}))) return false;
        for (std::uint64_t i = 0; i < size; ++i) {
            std::string name;
            IncarValue value;
            if (!take(name) || !take(value)) return false;
            if (map.find(name) != nullptr) return false;  // names are unique
            map.insert(std::move(name), std::move(value));
        }
        return true;
    }
    bool take(Species& species) {
        std::uint8_t mark = 0;
        if (!take(mark)) return false;
        if (mark == 0) {
            std::uint64_t count = 0;
            if (!in_.count(count, min_bytes(TypeTag<Vec3>{}))) return false;  // a position each
            species = Species::placeholders(static_cast<std::size_t>(count));
        } else if (mark == 1) {
            if (!atoms_) atoms_ = std::make_shared<const std::vector<std::string>>(record_->atom_info.atoms);
            species = Species(atoms_);
        } else if (mark == 2) {
            std::vector<std::string> symbols;
            if (!take(symbols)) return false;
            species = Species(std::make_shared<const std::vector<std::string>>(std::move(symbols)));
        } else {
            return false;
        }
        return true;
    }

    // The next bulk array.
    bool take(HeapArray<double>& values) {
        std::uint64_t count = 0;
        std::uint32_t crc = 0;
        if (!in_.fixed(count) || !in_.fixed(crc)) return false;
        const std::size_t index = next_array_++;
        if (index >= arrays_.size()) {
            return fail("its header describes more arrays than it holds (" + std::to_string(arrays_.size()) + ")");
        }
        if (arrays_[index].size() != count) {
            return fail("array " + std::to_string(index) + " holds " + std::to_string(arrays_[index].size()) +
                        " values where its header says " + std::to_string(count));
        }
        if (crcs_[index] != crc) return fail("array " + std::to_string(index) + " does not match its checksum");
        values = std::move(arrays_[index]);
        return true;
    }

    bool fail(std::string problem) {
        problem_ = std::move(problem);
        return false;
    }
    // A failed read passes through the part `name`: false, for the caller.
    bool inside(const std::string& name) {
        where_ = name + (where_.empty() || where_.front() == '[' ? "" : ".") + where_;
        return false;
    }

    Reader in_;
    std::vector<HeapArray<double>>& arrays_;
    std::vector<std::uint32_t>& crcs_;
    std::size_t next_array_ = 0;
    const RunRecord* record_ = nullptr;
    Species::Symbols atoms_;
    std::string problem_;  // what was wrong, when more than bytes that do not read
    std::string where_;    // the path to the part that did not read
};

// An owner released when it goes, unless an array took it over.
class HeldOwner {
public:
    explicit HeldOwner(ForeignOwner owner) noexcept : owner_(owner) {}
    HeldOwner(const HeldOwner&) = delete;
    HeldOwner& operator=(const HeldOwner&) = delete;
    ~HeldOwner() {
        if (owner_.release != nullptr) owner_.release(owner_.owner);
    }
    bool held() const noexcept { return owner_.release != nullptr; }
    ForeignOwner hand_over() noexcept { return std::exchange(owner_, ForeignOwner{}); }

private:
    ForeignOwner owner_;
};

// A copy of the little-endian doubles of `bytes` (a whole number of them),
// and the checksum of what was copied.
HeapArray<double> copy_values(std::string_view bytes, std::uint32_t& crc) {
    const std::size_t count = bytes.size() / sizeof(double);
    HeapArray<double> copy;
    copy.reserve_large_in_own_mapping(count);
    double* out = copy.grow_by(count);
    if (count != 0) std::memcpy(out, bytes.data(), bytes.size());
    crc = crc32_of(std::string_view(reinterpret_cast<const char*>(out), bytes.size()));
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = std::bit_cast<double>(__builtin_bswap64(std::bit_cast<std::uint64_t>(out[k])));
        }
    }
    return copy;
}

// The arrays as the record will hold them, with the checksums of what it
// holds: read where they lie when nothing can change them and they are
// aligned doubles of this machine's byte order, copied otherwise, so that
// nothing outside changes the record once read. Every owner is released here
// or with its array.
Status take_arrays(std::vector<StateArray>& given, std::vector<HeapArray<double>>& arrays,
                   std::vector<std::uint32_t>& crcs) {
    Status status;
    arrays.reserve(given.size());
    crcs.reserve(given.size());
    for (std::size_t i = 0; i < given.size(); ++i) {
        StateArray& a = given[i];
        HeldOwner owner(std::exchange(a.owner, ForeignOwner{}));
        if (status.ok() && a.bytes.size() % sizeof(double) != 0) {
            status = corrupt("array " + std::to_string(i) + " is not a whole number of values");
        }
        if (!status.ok()) continue;
        const bool in_place = a.immutable && owner.held() && std::endian::native == std::endian::little &&
                              reinterpret_cast<std::uintptr_t>(a.bytes.data()) % alignof(double) == 0;
        if (in_place) {
            crcs.push_back(crc32_of(a.bytes));
            const ForeignOwner taken = owner.hand_over();
            arrays.push_back(HeapArray<double>::borrow(reinterpret_cast<const double*>(a.bytes.data()),
                                                       a.bytes.size() / sizeof(double), taken));
            continue;
        }
        std::uint32_t crc = 0;
        arrays.push_back(copy_values(a.bytes, crc));
        crcs.push_back(crc);
    }
    return status;
}

void release_owners(std::vector<StateArray>& given) {
    for (StateArray& a : given) {
        const ForeignOwner owner = std::exchange(a.owner, ForeignOwner{});
        if (owner.release != nullptr) owner.release(owner.owner);
    }
}

// The prefix of a state: its format, version, length and checksum.
Status check_prefix(std::string_view header) {
    if (header.size() < kMagic.size() || header.substr(0, kMagic.size()) != kMagic) {
        return ParseError::other("not a quorvel Vasprun state");
    }
    if (header.size() < kPrefix) {
        return ParseError::other("truncated Vasprun state");
    }
    const auto version = static_cast<std::uint8_t>(header[4]);
    if (version != kStateVersion) {
        return ParseError::other("unsupported Vasprun state version " + std::to_string(version) + " (this quorvel reads " +
                                 std::to_string(kStateVersion) + ")");
    }
    Reader prefix(header.substr(5, 12));
    std::uint64_t length = 0;
    std::uint32_t crc = 0;
    (void)prefix.fixed(length);
    (void)prefix.fixed(crc);
    if (length != header.size() - kPrefix) {
        return ParseError::other(length > header.size() - kPrefix ? "truncated Vasprun state"
                                                                  : "corrupt Vasprun state: bytes after its end");
    }
    if (crc32_of(header.substr(kPrefix)) != crc) {
        return ParseError::other("corrupt Vasprun state: it does not match its checksum");
    }
    return {};
}

}  // namespace

std::string write_state(const RunRecord& record, std::vector<std::string_view>& arrays) {
    arrays.clear();
    return StateWriter(record, arrays).write();
}

Status read_state(std::string_view header, std::vector<StateArray>& given, RunRecord& record) {
    // The header first, so that nothing is copied for what is not a state.
    if (Status checked = check_prefix(header); !checked.ok()) {
        release_owners(given);
        return checked;
    }
    std::vector<HeapArray<double>> arrays;
    std::vector<std::uint32_t> crcs;
    QV_TRY(take_arrays(given, arrays, crcs));
    RunRecord read;
    QV_TRY(StateReader(header.substr(kPrefix), arrays, crcs).read(read));
    record = std::move(read);
    return {};
}

}  // namespace quorvel
