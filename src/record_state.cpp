#include "record_state.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "deflate_whole.hpp"

namespace quorvel {

namespace {

constexpr std::string_view kMagic = "QVRS";
constexpr std::size_t kPrefix = 4 + 1 + 8 + 4;  // magic, version, payload length, payload CRC-32

static_assert(std::numeric_limits<double>::is_iec559, "the state holds IEEE 754 doubles");

std::uint32_t crc32_of(std::string_view bytes) noexcept {
    return deflate_whole::update_crc32(0, bytes.data(), bytes.size());
}

// Little-endian writing of the payload.
class Writer {
public:
    void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
    void u32(std::uint32_t value) { fixed(value); }
    void u64(std::uint64_t value) { fixed(value); }
    void i32(std::int32_t value) { fixed(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) { fixed(static_cast<std::uint64_t>(value)); }
    void f64(double value) { fixed(std::bit_cast<std::uint64_t>(value)); }
    void flag(bool value) { u8(value ? 1 : 0); }
    void text(std::string_view value) {
        u64(value.size());
        out_.append(value);
    }
    void vec3(const Vec3& v) {
        for (double x : v) f64(x);
    }
    void mat3(const Mat3& m) {
        for (const Vec3& row : m) vec3(row);
    }
    void texts(const std::vector<std::string>& values) {
        u64(values.size());
        for (const std::string& value : values) text(value);
    }
    void doubles(const std::vector<double>& values) {
        u64(values.size());
        for (double value : values) f64(value);
    }
    void vec3s(const std::vector<Vec3>& values) {
        u64(values.size());
        for (const Vec3& value : values) vec3(value);
    }
    std::string& bytes() noexcept { return out_; }

private:
    template <class U>
    void fixed(U value) {
        char bytes[sizeof(U)];
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        out_.append(bytes, sizeof(U));
    }

    std::string out_;
};

// The writer of one record: the payload, and the bulk arrays beside it.
class StateWriter {
public:
    StateWriter(const RunRecord& record, std::vector<std::string_view>& arrays) : record_(record), arrays_(arrays) {}

    std::string write() {
        const RunRecord& r = record_;
        const GeneratorInfo& g = r.generator;
        for (const std::string* field : {&g.program, &g.version, &g.subversion, &g.platform, &g.date, &g.time}) {
            out_.text(*field);
        }
        parameters(r.incar);
        parameters(r.parameters);
        out_.texts(r.atom_info.atoms);
        out_.u64(r.atom_info.atom_types.size());
        for (const AtomType& type : r.atom_info.atom_types) {
            out_.text(type.element);
            out_.text(type.pseudopotential);
            out_.u64(type.count);
            out_.f64(type.mass);
            out_.f64(type.valence);
        }
        kpoints(r.kpoints);
        structure(r.initial_structure);
        structure(r.final_structure);
        out_.u64(r.ionic_steps.size());
        for (const IonicStep& step : r.ionic_steps) {
            ionic_step(step);
        }
        out_.flag(r.eigenvalues.has_value());
        if (r.eigenvalues) {
            dense(r.eigenvalues->values);
        }
        out_.flag(r.projected.has_value());
        if (r.projected) {
            out_.texts(r.projected->orbitals);
            dense(r.projected->values);
        }
        out_.flag(r.dos.has_value());
        if (r.dos) {
            out_.f64(r.dos->efermi);
            array(r.dos->total.energies);
            dense(r.dos->total.densities);
            dense(r.dos->total.integrated);
            out_.flag(r.dos->partial.has_value());
            if (r.dos->partial) {
                out_.texts(r.dos->partial->orbitals);
                dense(r.dos->partial->values);
            }
        }
        out_.flag(r.efermi.has_value());
        if (r.efermi) {
            out_.f64(*r.efermi);
        }
        out_.flag(r.dielectric.has_value());
        if (r.dielectric) {
            array(r.dielectric->energies);
            dense(r.dielectric->real);
            dense(r.dielectric->imag);
        }
        out_.u64(r.all_ionic_steps);
        out_.flag(r.complete);

        const std::string& payload = out_.bytes();
        Writer prefix;
        prefix.bytes().append(kMagic);
        prefix.u8(kStateVersion);
        prefix.u64(payload.size());
        prefix.u32(crc32_of(payload));
        return prefix.bytes() + payload;
    }

private:
    void parameters(const ParameterMap& map) {
        out_.u64(map.size());
        for (const auto& [name, value] : map.entries()) {
            out_.text(name);
            out_.u8(static_cast<std::uint8_t>(value.index()));
            std::visit(
                [&](const auto& v) {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::int64_t>) {
                        out_.i64(v);
                    } else if constexpr (std::is_same_v<T, double>) {
                        out_.f64(v);
                    } else if constexpr (std::is_same_v<T, bool>) {
                        out_.flag(v);
                    } else if constexpr (std::is_same_v<T, std::string>) {
                        out_.text(v);
                    } else {
                        out_.doubles(v);
                    }
                },
                value);
        }
    }

    void kpoints(const KpointSet& k) {
        out_.vec3s(k.kpointlist);
        out_.doubles(k.weights);
        out_.u64(k.labels.size());
        for (const KpointLabel& label : k.labels) {
            out_.u64(label.index);
            out_.text(label.label);
        }
        out_.flag(k.generation.has_value());
        if (k.generation) {
            out_.text(k.generation->scheme);
            out_.flag(k.generation->divisions.has_value());
            if (k.generation->divisions) {
                for (std::int32_t d : *k.generation->divisions) out_.i32(d);
            }
            out_.vec3(k.generation->usershift);
        }
    }

    // Structures nearly always carry the atom list of the record; that is
    // written as a mark, not once per structure.
    void structure(const Structure& s) {
        const Species::Symbols& shared = s.species.shared();
        if (!shared) {
            out_.u8(0);
            out_.u64(s.species.size());
        } else if (shared == atoms_seen_ || *shared == record_.atom_info.atoms) {
            atoms_seen_ = shared;
            out_.u8(1);
        } else {
            out_.u8(2);
            out_.texts(*shared);
        }
        out_.vec3s(s.positions);
        out_.mat3(s.lattice);
        out_.mat3(s.rec_basis);
        out_.f64(s.volume);
    }

    void ionic_step(const IonicStep& step) {
        structure(step.structure);
        out_.f64(step.e_fr_energy);
        out_.f64(step.e_wo_entrp);
        out_.f64(step.e_0_energy);
        out_.vec3s(step.forces);
        out_.mat3(step.stress);
        out_.flag(step.magnetization.has_value());
        if (step.magnetization) {
            out_.doubles(step.magnetization->values);
            out_.u64(step.magnetization->offsets.size());
            for (std::size_t offset : step.magnetization->offsets) out_.u64(offset);
        }
        out_.u64(step.scsteps.size());
        for (const Energies& e : step.scsteps) {
            out_.f64(e.e_fr_energy);
            out_.f64(e.e_wo_entrp);
            out_.f64(e.e_0_energy);
            out_.flag(e.only_these);
        }
    }

    // A bulk array: its element count and CRC-32 here, its bytes beside.
    void array(const HeapArray<double>& values) {
        const std::string_view bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
        out_.u64(values.size());
        out_.u32(crc32_of(bytes));
        arrays_.push_back(bytes);
    }

    template <std::size_t Rank>
    void dense(const DenseArray<Rank>& values) {
        for (std::uint64_t dim : values.shape) out_.u64(dim);
        array(values.data);
    }

    const RunRecord& record_;
    std::vector<std::string_view>& arrays_;
    Writer out_;
    Species::Symbols atoms_seen_;
};

// Reading of the payload: every read checks what is left, and every count
// is checked against the bytes that could hold it before anything is
// allocated for it.
class Reader {
public:
    explicit Reader(std::string_view in) noexcept : in_(in) {}

    bool u8(std::uint8_t& value) {
        if (!take(1)) return false;
        value = static_cast<std::uint8_t>(in_[at_ - 1]);
        return true;
    }
    bool u32(std::uint32_t& value) { return fixed(value); }
    bool u64(std::uint64_t& value) { return fixed(value); }
    bool i32(std::int32_t& value) {
        std::uint32_t bits = 0;
        if (!fixed(bits)) return false;
        value = static_cast<std::int32_t>(bits);
        return true;
    }
    bool i64(std::int64_t& value) {
        std::uint64_t bits = 0;
        if (!fixed(bits)) return false;
        value = static_cast<std::int64_t>(bits);
        return true;
    }
    bool f64(double& value) {
        std::uint64_t bits = 0;
        if (!fixed(bits)) return false;
        value = std::bit_cast<double>(bits);
        return true;
    }
    bool flag(bool& value) {
        std::uint8_t byte = 0;
        if (!u8(byte) || byte > 1) return fail();
        value = byte == 1;
        return true;
    }
    // A count of items of at least `item_bytes` each that the rest can hold.
    bool count(std::uint64_t& value, std::size_t item_bytes) {
        if (!u64(value)) return false;
        return value <= (in_.size() - at_) / item_bytes || fail();
    }
    bool text(std::string& value) {
        std::uint64_t size = 0;
        if (!count(size, 1) || !take(static_cast<std::size_t>(size))) return false;
        value.assign(in_.substr(at_ - size, size));
        return true;
    }
    bool vec3(Vec3& v) { return f64(v[0]) && f64(v[1]) && f64(v[2]); }
    bool mat3(Mat3& m) { return vec3(m[0]) && vec3(m[1]) && vec3(m[2]); }
    bool texts(std::vector<std::string>& values) {
        std::uint64_t size = 0;
        if (!count(size, 8)) return false;
        values.resize(static_cast<std::size_t>(size));
        for (std::string& value : values) {
            if (!text(value)) return false;
        }
        return true;
    }
    bool doubles(std::vector<double>& values) {
        std::uint64_t size = 0;
        if (!count(size, 8)) return false;
        values.resize(static_cast<std::size_t>(size));
        for (double& value : values) {
            if (!f64(value)) return false;
        }
        return true;
    }
    bool vec3s(std::vector<Vec3>& values) {
        std::uint64_t size = 0;
        if (!count(size, 24)) return false;
        values.resize(static_cast<std::size_t>(size));
        for (Vec3& value : values) {
            if (!vec3(value)) return false;
        }
        return true;
    }
    bool done() const noexcept { return at_ == in_.size(); }

    bool fail() noexcept { return false; }

private:
    bool take(std::size_t size) noexcept {
        if (size > in_.size() - at_) return false;
        at_ += size;
        return true;
    }
    template <class U>
    bool fixed(U& value) {
        if (!take(sizeof(U))) return false;
        value = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            value |= static_cast<U>(static_cast<unsigned char>(in_[at_ - sizeof(U) + i])) << (8 * i);
        }
        return true;
    }

    std::string_view in_;
    std::size_t at_ = 0;
};

Status corrupt(const std::string& what) { return ParseError::other("corrupt Vasprun state: " + what); }

// The reader of one record: the payload, with the bulk arrays given.
class StateReader {
public:
    StateReader(std::string_view payload, std::vector<HeapArray<double>>& arrays,
                std::vector<std::uint32_t>& crcs)
        : in_(payload), arrays_(arrays), crcs_(crcs) {}

    Status read(RunRecord& r) {
        GeneratorInfo& g = r.generator;
        for (std::string* field : {&g.program, &g.version, &g.subversion, &g.platform, &g.date, &g.time}) {
            if (!in_.text(*field)) return corrupt("the generator");
        }
        if (!parameters(r.incar) || !parameters(r.parameters)) return corrupt("the parameters");
        if (!in_.texts(r.atom_info.atoms)) return corrupt("the atoms");
        std::uint64_t types = 0;
        if (!in_.count(types, 8 + 8 + 8 + 8 + 8)) return corrupt("the atom types");
        r.atom_info.atom_types.resize(static_cast<std::size_t>(types));
        for (AtomType& type : r.atom_info.atom_types) {
            if (!in_.text(type.element) || !in_.text(type.pseudopotential) || !in_.u64(type.count) ||
                !in_.f64(type.mass) || !in_.f64(type.valence)) {
                return corrupt("the atom types");
            }
        }
        atoms_ = std::make_shared<const std::vector<std::string>>(r.atom_info.atoms);
        if (!kpoints(r.kpoints)) return corrupt("the k-points");
        QV_TRY(structure(r.initial_structure));
        QV_TRY(structure(r.final_structure));
        std::uint64_t steps = 0;
        if (!in_.count(steps, 1 + 8 * 3 + 8 + 72 + 1 + 8)) return corrupt("the ionic steps");
        r.ionic_steps.resize(static_cast<std::size_t>(steps));
        for (IonicStep& step : r.ionic_steps) {
            QV_TRY(ionic_step(step));
        }
        bool present = false;
        if (!in_.flag(present)) return corrupt("the eigenvalues");
        if (present) {
            QV_TRY(dense(r.eigenvalues.emplace().values));
        }
        if (!in_.flag(present)) return corrupt("the projections");
        if (present) {
            ProjectedArray& p = r.projected.emplace();
            if (!in_.texts(p.orbitals)) return corrupt("the projections");
            QV_TRY(dense(p.values));
        }
        if (!in_.flag(present)) return corrupt("the density of states");
        if (present) {
            DosData& d = r.dos.emplace();
            if (!in_.f64(d.efermi)) return corrupt("the density of states");
            QV_TRY(array(d.total.energies));
            QV_TRY(dense(d.total.densities));
            QV_TRY(dense(d.total.integrated));
            if (!in_.flag(present)) return corrupt("the density of states");
            if (present) {
                DosPartial& p = d.partial.emplace();
                if (!in_.texts(p.orbitals)) return corrupt("the partial density of states");
                QV_TRY(dense(p.values));
            }
        }
        if (!in_.flag(present)) return corrupt("the Fermi energy");
        if (present && !in_.f64(r.efermi.emplace())) return corrupt("the Fermi energy");
        if (!in_.flag(present)) return corrupt("the dielectric function");
        if (present) {
            DielectricData& d = r.dielectric.emplace();
            QV_TRY(array(d.energies));
            QV_TRY(dense(d.real));
            QV_TRY(dense(d.imag));
        }
        if (!in_.u64(r.all_ionic_steps) || !in_.flag(r.complete) || !in_.done()) return corrupt("its end");
        if (next_array_ != arrays_.size()) {
            return corrupt("it holds " + std::to_string(arrays_.size()) + " arrays where its header describes " +
                           std::to_string(next_array_));
        }
        return {};
    }

private:
    bool parameters(ParameterMap& map) {
        std::uint64_t size = 0;
        if (!in_.count(size, 8 + 1 + 1)) return false;
        for (std::uint64_t i = 0; i < size; ++i) {
            std::string name;
            std::uint8_t kind = 0;
            if (!in_.text(name) || !in_.u8(kind)) return false;
            IncarValue value;
            switch (kind) {
                case 0: {
                    std::int64_t v = 0;
                    if (!in_.i64(v)) return false;
                    value = v;
                    break;
                }
                case 1: {
                    double v = 0;
                    if (!in_.f64(v)) return false;
                    value = v;
                    break;
                }
                case 2: {
                    bool v = false;
                    if (!in_.flag(v)) return false;
                    value = v;
                    break;
                }
                case 3: {
                    std::string v;
                    if (!in_.text(v)) return false;
                    value = std::move(v);
                    break;
                }
                case 4: {
                    std::vector<double> v;
                    if (!in_.doubles(v)) return false;
                    value = std::move(v);
                    break;
                }
                default:
                    return false;
            }
            if (map.find(name) != nullptr) return false;  // names are unique
            map.insert(std::move(name), std::move(value));
        }
        return true;
    }

    bool kpoints(KpointSet& k) {
        std::uint64_t labels = 0;
        if (!in_.vec3s(k.kpointlist) || !in_.doubles(k.weights) || !in_.count(labels, 16)) return false;
        k.labels.resize(static_cast<std::size_t>(labels));
        for (KpointLabel& label : k.labels) {
            if (!in_.u64(label.index) || !in_.text(label.label)) return false;
        }
        bool present = false;
        if (!in_.flag(present)) return false;
        if (present) {
            KpointGeneration& gen = k.generation.emplace();
            if (!in_.text(gen.scheme) || !in_.flag(present)) return false;
            if (present) {
                auto& divisions = gen.divisions.emplace();
                if (!in_.i32(divisions[0]) || !in_.i32(divisions[1]) || !in_.i32(divisions[2])) return false;
            }
            if (!in_.vec3(gen.usershift)) return false;
        }
        return true;
    }

    Status structure(Structure& s) {
        std::uint8_t kind = 0;
        if (!in_.u8(kind)) return corrupt("a structure");
        if (kind == 0) {
            std::uint64_t count = 0;
            if (!in_.count(count, 24)) return corrupt("a structure");  // one position each
            s.species = Species::placeholders(static_cast<std::size_t>(count));
        } else if (kind == 1) {
            s.species = Species(atoms_);
        } else if (kind == 2) {
            std::vector<std::string> symbols;
            if (!in_.texts(symbols)) return corrupt("a structure");
            s.species = Species(std::make_shared<const std::vector<std::string>>(std::move(symbols)));
        } else {
            return corrupt("a structure");
        }
        if (!in_.vec3s(s.positions) || !in_.mat3(s.lattice) || !in_.mat3(s.rec_basis) || !in_.f64(s.volume)) {
            return corrupt("a structure");
        }
        if (s.species.size() != s.positions.size()) return corrupt("a structure's species and positions");
        return {};
    }

    Status ionic_step(IonicStep& step) {
        QV_TRY(structure(step.structure));
        bool present = false;
        if (!in_.f64(step.e_fr_energy) || !in_.f64(step.e_wo_entrp) || !in_.f64(step.e_0_energy) ||
            !in_.vec3s(step.forces) || !in_.mat3(step.stress) || !in_.flag(present)) {
            return corrupt("an ionic step");
        }
        if (present) {
            FloatRows& rows = step.magnetization.emplace();
            std::uint64_t offsets = 0;
            if (!in_.doubles(rows.values) || !in_.count(offsets, 8) || offsets == 0) return corrupt("a magnetization");
            rows.offsets.resize(static_cast<std::size_t>(offsets));
            std::uint64_t previous = 0;
            for (std::size_t& offset : rows.offsets) {
                std::uint64_t value = 0;
                if (!in_.u64(value) || value < previous || value > rows.values.size()) return corrupt("a magnetization");
                offset = static_cast<std::size_t>(value);
                previous = value;
            }
            if (rows.offsets.front() != 0 || rows.offsets.back() != rows.values.size()) return corrupt("a magnetization");
        }
        std::uint64_t scsteps = 0;
        if (!in_.count(scsteps, 25)) return corrupt("the electronic steps");
        step.scsteps.resize(static_cast<std::size_t>(scsteps));
        for (Energies& e : step.scsteps) {
            if (!in_.f64(e.e_fr_energy) || !in_.f64(e.e_wo_entrp) || !in_.f64(e.e_0_energy) || !in_.flag(e.only_these)) {
                return corrupt("the electronic steps");
            }
        }
        return {};
    }

    // The next bulk array, of `count` values.
    Status array(HeapArray<double>& values, std::optional<std::uint64_t> shape_count = std::nullopt) {
        std::uint64_t count = 0;
        std::uint32_t crc = 0;
        if (!in_.u64(count) || !in_.u32(crc)) return corrupt("an array's description");
        const std::size_t index = next_array_++;
        if (index >= arrays_.size()) {
            return corrupt("its header describes more arrays than it holds (" + std::to_string(arrays_.size()) + ")");
        }
        if (shape_count && *shape_count != count) return corrupt("array " + std::to_string(index) + "'s shape");
        if (arrays_[index].size() != count) {
            return corrupt("array " + std::to_string(index) + " holds " + std::to_string(arrays_[index].size()) +
                           " values where its header says " + std::to_string(count));
        }
        if (crcs_[index] != crc) return corrupt("array " + std::to_string(index) + " does not match its checksum");
        values = std::move(arrays_[index]);
        return {};
    }

    template <std::size_t Rank>
    Status dense(DenseArray<Rank>& values) {
        std::uint64_t total = 1;
        for (std::uint64_t& dim : values.shape) {
            if (!in_.u64(dim) || __builtin_mul_overflow(total, dim, &total)) return corrupt("an array's shape");
        }
        return array(values.data, total);
    }

    Reader in_;
    std::vector<HeapArray<double>>& arrays_;
    std::vector<std::uint32_t>& crcs_;
    std::size_t next_array_ = 0;
    Species::Symbols atoms_;
};

// The arrays as the record will hold them: borrowed where they lie when
// their owner lets them and they are aligned doubles of this machine's byte
// order, copied otherwise. Every owner is released here or with its array.
Status take_arrays(std::vector<StateArray>& given, std::vector<HeapArray<double>>& arrays,
                   std::vector<std::uint32_t>& crcs) {
    Status status;
    for (std::size_t i = 0; i < given.size(); ++i) {
        StateArray& a = given[i];
        const ForeignOwner owner = std::exchange(a.owner, ForeignOwner{});
        if (status.ok() && a.bytes.size() % sizeof(double) != 0) {
            status = corrupt("array " + std::to_string(i) + " is not a whole number of values");
        }
        if (!status.ok()) {
            if (owner.release != nullptr) owner.release(owner.owner);
            continue;
        }
        crcs.push_back(crc32_of(a.bytes));
        const std::size_t count = a.bytes.size() / sizeof(double);
        const bool in_place = owner.release != nullptr && std::endian::native == std::endian::little &&
                              reinterpret_cast<std::uintptr_t>(a.bytes.data()) % alignof(double) == 0;
        if (in_place) {
            arrays.push_back(HeapArray<double>::borrow(reinterpret_cast<const double*>(a.bytes.data()), count, owner));
            continue;
        }
        HeapArray<double> copy;
        double* out = copy.grow_by(count);
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t bits = 0;
            for (std::size_t b = 0; b < 8; ++b) {
                bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(a.bytes[k * 8 + b])) << (8 * b);
            }
            out[k] = std::bit_cast<double>(bits);
        }
        arrays.push_back(std::move(copy));
        if (owner.release != nullptr) owner.release(owner.owner);
    }
    return status;
}

}  // namespace

std::string write_state(const RunRecord& record, std::vector<std::string_view>& arrays) {
    arrays.clear();
    return StateWriter(record, arrays).write();
}

Status read_state(std::string_view header, std::vector<StateArray>& given, RunRecord& record) {
    std::vector<HeapArray<double>> arrays;
    std::vector<std::uint32_t> crcs;
    QV_TRY(take_arrays(given, arrays, crcs));
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
    (void)prefix.u64(length);
    (void)prefix.u32(crc);
    if (length != header.size() - kPrefix) {
        return ParseError::other(length > header.size() - kPrefix ? "truncated Vasprun state"
                                                                  : "corrupt Vasprun state: bytes after its end");
    }
    const std::string_view payload = header.substr(kPrefix);
    if (crc32_of(payload) != crc) {
        return ParseError::other("corrupt Vasprun state: it does not match its checksum");
    }
    RunRecord read;
    QV_TRY(StateReader(payload, arrays, crcs).read(read));
    record = std::move(read);
    return {};
}

}  // namespace quorvel
