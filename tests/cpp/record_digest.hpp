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
    explicit RecordDigest(const RunRecord& r) {
        add(r.generator.program, r.generator.version, r.generator.subversion, r.generator.platform,
            r.generator.date, r.generator.time);
        for (const ParameterMap* map : {&r.incar, &r.parameters}) {
            add(map->size());
            for (const auto& [name, value] : map->entries()) {
                add(name, value.index());
                std::visit([&](const auto& v) { add(v); }, value);
            }
        }
        add(r.all_ionic_steps, r.complete);
        add(r.atom_info.atoms);
        for (const AtomType& t : r.atom_info.atom_types) add(t.element, t.pseudopotential, t.count, t.mass, t.valence);
        add(r.kpoints.kpointlist, r.kpoints.weights, r.kpoints.generation.has_value());
        for (const KpointLabel& label : r.kpoints.labels) add(label.index, label.label);
        if (r.kpoints.generation) {
            add(r.kpoints.generation->scheme, r.kpoints.generation->usershift,
                r.kpoints.generation->divisions.has_value());
            if (r.kpoints.generation->divisions) add(*r.kpoints.generation->divisions);
        }
        add(r.initial_structure, r.final_structure, r.ionic_steps.size());
        for (const IonicStep& s : r.ionic_steps) {
            add(s.structure, s.e_fr_energy, s.e_wo_entrp, s.e_0_energy, s.forces, s.stress, s.scsteps.size(),
                s.magnetization.has_value());
            for (const Energies& e : s.scsteps) add(e.e_fr_energy, e.e_wo_entrp, e.e_0_energy, e.only_these);
            if (s.magnetization) add(s.magnetization->values, s.magnetization->offsets);
        }
        add(r.eigenvalues.has_value(), r.projected.has_value(), r.dos.has_value(), r.efermi.has_value(),
            r.dielectric.has_value());
        if (r.eigenvalues) add(r.eigenvalues->values);
        if (r.projected) add(r.projected->orbitals, r.projected->values);
        if (r.dos) {
            add(r.dos->efermi, r.dos->total.energies, r.dos->total.densities, r.dos->total.integrated,
                r.dos->partial.has_value());
            if (r.dos->partial) add(r.dos->partial->orbitals, r.dos->partial->values);
        }
        if (r.efermi) add(*r.efermi);
        if (r.dielectric) add(r.dielectric->energies, r.dielectric->real, r.dielectric->imag);
    }

    const std::string& bytes() const noexcept { return bytes_; }

private:
    template <class... T>
    void add(const T&... values) {
        (add_one(values), ...);
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
