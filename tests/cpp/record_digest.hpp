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
    explicit RecordDigest(const RunRecord& r) {
        add(r.generator, r.incar, r.parameters, r.all_ionic_steps, r.complete, r.atom_info, r.kpoints,
            r.initial_structure, r.final_structure, r.ionic_steps, r.eigenvalues, r.projected, r.dos, r.efermi,
            r.dielectric);
    }

    // The digest of any parts of a record.
    template <class... T>
    static std::string of(const T&... parts) {
        RecordDigest digest;
        digest.add(parts...);
        return digest.bytes_;
    }

    const std::string& bytes() const noexcept { return bytes_; }

private:
    template <class... T>
    void add(const T&... values) {
        (add_one(values), ...);
    }

    void add_one(const GeneratorInfo& g) { add(g.program, g.version, g.subversion, g.platform, g.date, g.time); }
    void add_one(const ParameterMap& map) {
        add(map.size());
        for (const auto& [name, value] : map.entries()) {
            add(name, value.index());
            std::visit([&](const auto& v) { add(v); }, value);
        }
    }
    void add_one(const AtomInfo& info) {
        add(info.atoms);
        for (const AtomType& t : info.atom_types) add(t.element, t.pseudopotential, t.count, t.mass, t.valence);
    }
    void add_one(const KpointSet& k) {
        add(k.kpointlist, k.weights, k.generation.has_value());
        for (const KpointLabel& label : k.labels) add(label.index, label.label);
        if (k.generation) {
            add(k.generation->scheme, k.generation->usershift, k.generation->divisions.has_value());
            if (k.generation->divisions) add(*k.generation->divisions);
        }
    }
    void add_one(const IonicStep& s) {
        add(s.structure, s.e_fr_energy, s.e_wo_entrp, s.e_0_energy, s.forces, s.stress, s.scsteps.size(),
            s.magnetization.has_value());
        for (const Energies& e : s.scsteps) add(e.e_fr_energy, e.e_wo_entrp, e.e_0_energy, e.only_these);
        if (s.magnetization) add(s.magnetization->values, s.magnetization->offsets);
    }
    void add_one(const EigenvalueArray& e) { add(e.values); }
    void add_one(const ProjectedArray& p) { add(p.orbitals, p.values); }
    void add_one(const DosData& d) {
        add(d.efermi, d.total.energies, d.total.densities, d.total.integrated, d.partial.has_value());
        if (d.partial) add(d.partial->orbitals, d.partial->values);
    }
    void add_one(const DielectricData& d) { add(d.energies, d.real, d.imag); }
    template <class T>
    void add_one(const std::optional<T>& value) {
        add(value.has_value());
        if (value) add_one(*value);
    }

    template <class T>
    void add_one(const T& value) {
        if constexpr (std::is_same_v<T, std::string>) {
            add_one(value.size());
            bytes_ += value;
        } else if constexpr (std::is_same_v<T, Structure>) {
            add(value.species.to_vector(), value.positions, value.lattice, value.rec_basis, value.volume);
        } else if constexpr (std::is_same_v<T, HeapArray<double>>) {
            add_one(value.size());
            bytes_.append(reinterpret_cast<const char*>(value.data()), value.size() * sizeof(double));
        } else if constexpr (requires { value.shape; value.data; }) {
            add(value.shape, value.data);
        } else if constexpr (std::is_trivially_copyable_v<T>) {
            bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
        } else {  // vectors
            add_one(value.size());
            for (const auto& element : value) add_one(element);
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
