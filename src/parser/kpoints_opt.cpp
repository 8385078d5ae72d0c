// The second k-point set of VASP 6.3 and later (KPOINTS_OPT) inside a
// calculation: its k-points, the energies computed on them, their
// projections and their density of states, written beside the main set's.
// VASP 6.6 writes the set's k-points twice (the calculation's own `kpoints`,
// with its generation, and inside `eigenvalues_kpoints_opt`) and its
// energies twice (without occupancies there, with them in
// `projected_kpoints_opt`). Each section, when whole, replaces that of an
// earlier calculation, as the main set's do.
#include "parser/sections.hpp"

namespace quorvel {

namespace {

KpointsOpt& kpoints_opt(SectionWalk& walk) {
    if (!walk.record.kpoints_opt) {
        walk.record.kpoints_opt.emplace();
    }
    walk.calculation->kpoints_opt = true;
    return *walk.record.kpoints_opt;
}

// The energies, or their copy with the projections: the later one wins.
Status read_energies(SectionWalk& walk) {
    if (!walk.options.parse_eigen) {
        return walk.cursor.fast_skip("eigenvalues");
    }
    return read_whole<EigenvalueArray>(
        walk.cursor, [&](EigenvalueArray& e) { return parse_titled_eigenvalues(walk.cursor, e); },
        [&](EigenvalueArray&& e) { kpoints_opt(walk).eigenvalues = std::move(e); });
}

}  // namespace

Status read_calculation_kpoints(SectionWalk& walk, const XmlEvent&) {
    return parse_into(walk.calculation->kpoints, walk.cursor, parse_kpoints);
}

Status read_kpoints_opt_dos(SectionWalk& walk, const XmlEvent&) {
    return read_whole<DosData>(
        walk.cursor, [&](DosData& dos) { return parse_dos_section(walk.cursor, dos); },
        [&](DosData&& dos) { kpoints_opt(walk).dos = std::move(dos); });
}

Status read_eigenvalues_kpoints_opt(SectionWalk& walk, const XmlEvent&) {
    return for_each_child(walk.cursor, "eigenvalues_kpoints_opt", [&](const XmlEvent& child) -> Status {
        if (child.name == "kpoints") {
            return read_whole<KpointSet>(
                walk.cursor, [&](KpointSet& set) { return parse_kpoints(walk.cursor, set); },
                [&](KpointSet&& set) {
                    // The calculation's own set is this list with its generation.
                    const std::optional<KpointSet>& own = walk.calculation->kpoints;
                    if (own && own->kpointlist == set.kpointlist) {
                        set.generation = own->generation;
                    }
                    kpoints_opt(walk).kpoints = std::move(set);
                    walk.calculation->kpoints_opt_listed = true;
                });
        }
        if (child.name == "eigenvalues") {
            return read_energies(walk);
        }
        return walk.cursor.skip_element();
    });
}

Status read_projected_kpoints_opt(SectionWalk& walk, const XmlEvent&) {
    if (!walk.options.parse_eigen && !walk.options.parse_projected) {
        return walk.cursor.fast_skip("projected_kpoints_opt");
    }
    return for_each_child(walk.cursor, "projected_kpoints_opt", [&](const XmlEvent& child) -> Status {
        if (child.name == "eigenvalues") {
            return read_energies(walk);
        }
        if (child.name == "array") {
            if (!walk.options.parse_projected) {
                return walk.cursor.fast_skip("array");
            }
            return read_whole<ProjectedArray>(
                walk.cursor, [&](ProjectedArray& p) { return parse_projected_array(walk.cursor, p); },
                [&](ProjectedArray&& p) { kpoints_opt(walk).projected = std::move(p); });
        }
        return walk.cursor.skip_element();
    });
}

void finish_kpoints_opt(RunRecord& record, CalculationContext& calculation) {
    if (calculation.kpoints_opt && !calculation.kpoints_opt_listed && calculation.kpoints) {
        record.kpoints_opt->kpoints = std::move(*calculation.kpoints);
    }
}

}  // namespace quorvel
