// quorvel_inspect: parses run files with the reader core alone (no Python)
// and prints what was read. Handy for checking a file and for timing the
// core by itself.
//
//   quorvel_inspect [--no-dos] [--no-eigen] [--projected] FILE...
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "parse.hpp"
#include "run_analysis.hpp"

namespace {

std::string shape_text(const std::uint64_t* dims, std::size_t rank) {
    std::string text = "(";
    for (std::size_t i = 0; i < rank; ++i) {
        text += (i ? ", " : "") + std::to_string(dims[i]);
    }
    return text + ")";
}

std::string formula(const std::vector<quorvel::AtomType>& types) {
    std::string text;
    for (const quorvel::AtomType& type : types) {
        text += type.element + (type.count == 1 ? "" : std::to_string(type.count));
    }
    return text;
}

void print_record(const quorvel::RunRecord& r) {
    std::printf("  program          %s %s\n", r.generator.program.c_str(), r.generator.version.c_str());
    std::printf("  formula          %s (%zu atoms)\n", formula(r.atom_info.atom_types).c_str(),
                r.atom_info.atoms.size());
    std::printf("  incar entries    %zu\n", r.incar.size());
    std::printf("  k-points         %zu\n", r.kpoints.kpointlist.size());
    std::printf("  ionic steps      %zu\n", r.ionic_steps.size());
    if (!r.ionic_steps.empty()) {
        std::printf("  final energy     %.8f eV\n", r.ionic_steps.back().energies.e_0_energy);
    }
    std::printf("  converged        %s\n", quorvel::converged(r) ? "yes" : "no");
    if (r.eigenvalues) {
        std::printf("  eigenvalues      %s\n", shape_text(r.eigenvalues->values.shape.data(), 4).c_str());
    }
    if (r.projected) {
        std::printf("  projected        %s\n", shape_text(r.projected->values.shape.data(), 5).c_str());
    }
    if (r.dos) {
        std::printf("  efermi           %.6f eV\n", r.dos->efermi);
        std::printf("  total dos        %s\n", shape_text(r.dos->total.densities.shape.data(), 2).c_str());
        if (r.dos->partial) {
            std::printf("  partial dos      %s\n", shape_text(r.dos->partial->values.shape.data(), 4).c_str());
        }
    }
    if (const quorvel::DielectricData* dielectric = quorvel::calculation_dielectric(r)) {
        std::printf("  dielectric       %s\n", shape_text(dielectric->imag.shape.data(), 2).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    quorvel::ParseOptions options;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-dos") == 0) {
            options.parse_dos = false;
        } else if (std::strcmp(argv[i], "--no-eigen") == 0) {
            options.parse_eigen = false;
        } else if (std::strcmp(argv[i], "--projected") == 0) {
            options.parse_projected = true;
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.empty()) {
        std::fprintf(stderr, "usage: quorvel_inspect [--no-dos] [--no-eigen] [--projected] FILE...\n");
        return 2;
    }
    int failures = 0;
    for (const char* path : paths) {
        const auto start = std::chrono::steady_clock::now();
        const quorvel::ParseOutcome outcome = quorvel::parse(path, options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: ", path);
        if (outcome.status != quorvel::ParseStatus::Ok) {
            ++failures;
            std::printf("%s\n", outcome.message().c_str());
            continue;
        }
        std::printf("parsed in %.3f s\n", seconds);
        print_record(*outcome.record);
    }
    return failures == 0 ? 0 : 1;
}
