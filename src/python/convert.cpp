#include "convert.hpp"

#include <array>
#include <cstdio>
#include <ranges>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "numpy_array.hpp"

namespace quorvel::python {

namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(double), "rows of three are stored contiguously");

// Inserts `value` (a new reference, or null after a failed call) under `key`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned_value(value);
    if (!owned_value) {
        return false;
    }
    PyRef owned_key(PyUnicode_FromString(key));
    return owned_key && PyDict_SetItem(dict, owned_key.get(), owned_value.get()) == 0;
}

// A list of `convert(item)` for every item of `items`.
template <class Items, class Convert>
PyObject* list_of(const Items& items, Convert&& convert) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* value = convert(item);
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i++, value);
    }
    return list.release();
}

// The Python value of each kind of value a record holds; declared first, so
// that each sees the others.
PyObject* to_python(const std::string& text);
PyObject* to_python(double value);
PyObject* to_python(bool value);
PyObject* to_python(std::int32_t value);
PyObject* to_python(std::int64_t value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const IncarValue& value);
PyObject* to_python(const FloatRows& rows);
PyObject* to_python(const HeapArray<double>& values);
template <std::size_t Rank, std::uint64_t... Fixed>
PyObject* to_python(const DenseArray<Rank, Fixed...>& array);
template <class T>
PyObject* to_python(const std::vector<T>& values);
template <class T, std::size_t N>
PyObject* to_python(const std::array<T, N>& values);
template <HasFields Record>
PyObject* to_python(const Record& record);

PyObject* to_python(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(bool value) { return PyBool_FromLong(value); }
PyObject* to_python(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(const IncarValue& value) {
    return std::visit([](const auto& alternative) { return to_python(alternative); }, value);
}

PyObject* to_python(const FloatRows& rows) {
    return list_of(std::views::iota(std::size_t{0}, rows.size()), [&](std::size_t r) {
        const std::span<const double> row(rows.values.data() + rows.offsets[r], rows.offsets[r + 1] - rows.offsets[r]);
        return list_of(row, [](double value) { return to_python(value); });
    });
}

// Record arrays become NumPy arrays of their shape.
PyObject* to_python(const HeapArray<double>& values) {
    return make_array(values.data(), std::array<std::uint64_t, 1>{values.size()});
}
template <std::size_t Rank, std::uint64_t... Fixed>
PyObject* to_python(const DenseArray<Rank, Fixed...>& array) {
    return make_array(array.data.data(), array.shape);
}

template <class T>
PyObject* to_python(const std::vector<T>& values) {
    return list_of(values, [](const T& value) { return to_python(value); });
}
template <class T, std::size_t N>
PyObject* to_python(const std::array<T, N>& values) {
    return list_of(values, [](const T& value) { return to_python(value); });
}

// A record that becomes a dict key for key: its fields by their names, in
// their order; an absent optional field is left out, not None.
template <HasFields Record>
PyObject* to_python(const Record& record) {
    PyRef dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    const bool filled = all_fields(record, [&](auto field) {
        if constexpr (requires { field.value.has_value(); }) {
            return !field.value || set_item(dict.get(), field.name, to_python(*field.value));
        } else {
            return set_item(dict.get(), field.name, to_python(field.value));
        }
    });
    return filled ? dict.release() : nullptr;
}

// The str objects of the atom symbols, made once per property read and
// shared by the species lists of every structure of that read (str is
// immutable, so sharing is invisible), instead of once per atom per step.
class SymbolCache {
public:
    PyObject* species_list(const Species& species) {
        if (species.shared() != symbols_ || !made_) {
            if (!make(species)) {
                return nullptr;
            }
        }
        PyRef list(PyList_New(static_cast<Py_ssize_t>(species.size())));
        if (!list) {
            return nullptr;
        }
        for (std::size_t i = 0; i < species.size(); ++i) {
            PyObject* symbol = symbols_ ? strings_[i].get() : placeholder_.get();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(symbol));
        }
        return list.release();
    }

private:
    bool make(const Species& species) {
        symbols_ = species.shared();
        strings_.clear();
        made_ = true;
        if (!symbols_) {
            if (!placeholder_) {
                placeholder_ = PyRef(PyUnicode_FromString("X"));
            }
            return static_cast<bool>(placeholder_);
        }
        strings_.reserve(symbols_->size());
        for (const std::string& symbol : *symbols_) {
            strings_.emplace_back(to_python(symbol));
            if (!strings_.back()) {
                made_ = false;
                return false;
            }
        }
        return true;
    }

    Species::Symbols symbols_;
    std::vector<PyRef> strings_;
    PyRef placeholder_;
    bool made_ = false;
};

PyObject* structure_dict(const Structure& structure, SymbolCache& symbols) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "lattice", to_python(structure.lattice)) ||
        !set_item(dict.get(), "volume", to_python(structure.volume)) ||
        !set_item(dict.get(), "positions", to_python(structure.positions)) ||
        !set_item(dict.get(), "species", symbols.species_list(structure.species)) ||
        (structure.selective && !set_item(dict.get(), "selective", to_python(*structure.selective))) ||
        (structure.velocities && !set_item(dict.get(), "velocities", to_python(*structure.velocities)))) {
        return nullptr;
    }
    return dict.release();
}

// The structure, the three energies and the MD energies that were written.
bool add_step_energies(PyObject* dict, const IonicStep& step, SymbolCache& symbols) {
    if (!set_item(dict, "structure", structure_dict(step.structure, symbols)) ||
        !set_item(dict, "e_fr_energy", to_python(step.energies.e_fr_energy)) ||
        !set_item(dict, "e_wo_entrp", to_python(step.energies.e_wo_entrp)) ||
        !set_item(dict, "e_0_energy", to_python(step.energies.e_0_energy))) {
        return false;
    }
    return !step.md || all_fields(*step.md, [&](auto field) {
        return !field.value || set_item(dict, field.name, to_python(*field.value));
    });
}

PyObject* ionic_step(const IonicStep& step, SymbolCache& symbols) {
    PyRef dict(PyDict_New());
    if (!dict || !add_step_energies(dict.get(), step, symbols) ||
        !set_item(dict.get(), "forces", to_python(step.forces)) ||
        !set_item(dict.get(), "stress", to_python(step.stress)) ||
        !set_item(dict.get(), "stress_written", to_python(step.stress_written))) {
        return nullptr;
    }
    if (step.magnetization && !set_item(dict.get(), "magnetization", to_python(*step.magnetization))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* md_step(const IonicStep& step, bool predicted, SymbolCache& symbols) {
    PyRef dict(PyDict_New());
    if (!dict || !add_step_energies(dict.get(), step, symbols) ||
        !set_item(dict.get(), "forces", to_python(step.forces)) ||
        !set_item(dict.get(), "predicted", to_python(predicted))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* optional_text(const std::optional<std::string>& text) {
    return text ? to_python(*text) : Py_NewRef(Py_None);
}

// Appends code point `cp` to a repr as Rust-style debug text would show it
// inside double quotes.
void append_escaped(std::string& out, std::uint32_t cp, const char* raw, std::size_t raw_length) {
    switch (cp) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\n':
            out += "\\n";
            return;
        case 0:
            out += "\\0";
            return;
        default:
            break;
    }
    const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
    const bool separator = cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
                           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
    const bool format = cp == 0xAD || (cp >= 0x600 && cp <= 0x605) || cp == 0x61C || cp == 0x6DD ||
                        cp == 0x70F || cp == 0x180E || (cp >= 0x200B && cp <= 0x200F) ||
                        (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF ||
                        (cp >= 0xFFF9 && cp <= 0xFFFB);
    const bool unassigned = (cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xF0000 || (cp & 0xFFFE) == 0xFFFE ||
                            (cp >= 0xFDD0 && cp <= 0xFDEF);
    if (control || separator || format || unassigned) {
        char code[16];
        std::snprintf(code, sizeof code, "\\u{%x}", cp);
        out += code;
    } else {
        out.append(raw, raw_length);
    }
}

void append_quoted(std::string& out, const std::string& text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end) {
        // The text is valid UTF-8: the document was checked or decoded.
        std::uint32_t cp = *p;
        std::size_t length = 1;
        if (cp >= 0xF0) {
            length = 4;
            cp &= 0x07;
        } else if (cp >= 0xE0) {
            length = 3;
            cp &= 0x0F;
        } else if (cp >= 0xC0) {
            length = 2;
            cp &= 0x1F;
        }
        if (length > static_cast<std::size_t>(end - p)) {
            length = static_cast<std::size_t>(end - p);
        }
        for (std::size_t i = 1; i < length; ++i) {
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        append_escaped(out, cp, reinterpret_cast<const char*>(p), length);
        p += length;
    }
    out += '"';
}

}  // namespace

PyObject* parameters_to_python(const ParameterMap& parameters) {
    PyRef dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const auto& [name, value] : parameters.entries()) {
        PyRef key(to_python(name));
        PyRef item(to_python(value));
        if (!key || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* atoms_to_python(const std::vector<std::string>& atoms) { return to_python(atoms); }

PyObject* atom_types_to_python(const std::vector<AtomType>& types) { return to_python(types); }

PyObject* kpoints_to_python(const KpointSet& kpoints) {
    PyRef dict(PyDict_New());
    if (!dict ||
        !set_item(dict.get(), "kpointlist",
                  make_array(kpoints.kpointlist.empty() ? nullptr : kpoints.kpointlist.front().data(),
                             std::array<std::uint64_t, 2>{kpoints.kpointlist.size(), 3})) ||
        !set_item(dict.get(), "weights",
                  make_array(kpoints.weights.data(), std::array<std::uint64_t, 1>{kpoints.weights.size()}))) {
        return nullptr;
    }
    if (kpoints.generation) {
        if (!set_item(dict.get(), "scheme", to_python(kpoints.generation->scheme))) {
            return nullptr;
        }
        // The divisions and the vectors that were written, by their names.
        const bool filled = all_fields(*kpoints.generation, [&](auto field) {
            if constexpr (requires { field.value.has_value(); }) {
                return !field.value || set_item(dict.get(), field.name, to_python(*field.value));
            } else {
                return true;  // the scheme, set above
            }
        });
        if (!filled) {
            return nullptr;
        }
    }
    if (!kpoints.labels.empty()) {
        PyObject* labels = list_of(kpoints.labels, [](const KpointLabel& label) -> PyObject* {
            PyRef index(PyLong_FromUnsignedLongLong(label.index));
            PyRef text(to_python(label.label));
            if (!index || !text) {
                return nullptr;
            }
            return PyTuple_Pack(2, index.get(), text.get());
        });
        if (!set_item(dict.get(), "labels", labels)) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* structure_to_python(const Structure& structure) {
    SymbolCache symbols;
    return structure_dict(structure, symbols);
}

PyObject* ionic_steps_to_python(const std::vector<IonicStep>& steps) {
    SymbolCache symbols;
    return list_of(steps, [&](const IonicStep& step) { return ionic_step(step, symbols); });
}

PyObject* electronic_steps_to_python(const std::vector<IonicStep>& steps) {
    return list_of(steps, [](const IonicStep& step) {
        return make_array(
            std::array<std::uint64_t, 2>{step.scsteps.size(), 3},
            [](double* out, std::size_t, const void* context) {
                for (const Energies& e : *static_cast<const std::vector<Energies>*>(context)) {
                    *out++ = e.e_fr_energy;
                    *out++ = e.e_wo_entrp;
                    *out++ = e.e_0_energy;
                }
            },
            &step.scsteps);
    });
}

PyObject* electronic_step_energies_to_python(const RunRecord& record) {
    std::vector<PyRef> names;  // the str of each name, made once
    names.reserve(record.scstep_term_names.size());
    for (const std::string& name : record.scstep_term_names) {
        names.emplace_back(to_python(name));
        if (!names.back()) {
            return nullptr;
        }
    }
    return list_of(record.ionic_steps, [&](const IonicStep& step) -> PyObject* {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(step.scsteps.size())));
        if (!list) {
            return nullptr;
        }
        auto term = step.scstep_terms.begin();
        for (std::size_t scstep = 0; scstep < step.scsteps.size(); ++scstep) {
            PyObject* dict = PyDict_New();
            if (dict == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(scstep), dict);
            for (; term != step.scstep_terms.end() && term->scstep == scstep; ++term) {
                PyRef value(to_python(term->value));
                if (!value || PyDict_SetItem(dict, names[term->name].get(), value.get()) < 0) {
                    return nullptr;
                }
            }
            const Energies& energies = step.scsteps[scstep];
            const std::pair<unsigned, std::pair<const char*, double>> three[] = {
                {1, {"e_fr_energy", energies.e_fr_energy}},
                {2, {"e_wo_entrp", energies.e_wo_entrp}},
                {4, {"e_0_energy", energies.e_0_energy}}};
            for (const auto& [bit, entry] : three) {
                if ((energies.written & bit) != 0 && !set_item(dict, entry.first, to_python(entry.second))) {
                    return nullptr;
                }
            }
        }
        return list.release();
    });
}

PyObject* generator_to_python(const GeneratorInfo& generator) { return to_python(generator); }

PyObject* band_edges_to_python(const BandEdges& edges) { return to_python(edges); }

PyObject* eigenvalues_to_python(const EigenvalueArray& eigenvalues) { return to_python(eigenvalues.values); }

PyObject* eigenvalue_shape_to_python(const EigenvalueArray& eigenvalues) {
    const auto& shape = eigenvalues.values.shape;
    PyRef spins(PyLong_FromUnsignedLongLong(shape[0]));
    PyRef kpoints(PyLong_FromUnsignedLongLong(shape[1]));
    PyRef bands(PyLong_FromUnsignedLongLong(shape[2]));
    if (!spins || !kpoints || !bands) {
        return nullptr;
    }
    return PyTuple_Pack(3, spins.get(), kpoints.get(), bands.get());
}

PyObject* projected_to_python(const ProjectedArray& projected) { return to_python(projected); }

PyObject* dos_to_python(const DosData& dos) { return to_python(dos); }

PyObject* dielectric_to_python(const DielectricData& dielectric) { return to_python(dielectric); }

// Each entry keys its comment, None where not written, as its label.
PyObject* dielectric_functions_to_python(const std::vector<DielectricFunction>& functions) {
    return list_of(functions, [](const DielectricFunction& function) -> PyObject* {
        PyRef dict(PyDict_New());
        if (!dict || !set_item(dict.get(), "comment", optional_text(function.comment)) ||
            !set_item(dict.get(), "label", optional_text(function.label)) ||
            !set_item(dict.get(), "in_calculation", to_python(function.in_calculation)) ||
            !set_item(dict.get(), "energies", to_python(function.data.energies)) ||
            !set_item(dict.get(), "real", to_python(function.data.real)) ||
            !set_item(dict.get(), "imag", to_python(function.data.imag))) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* conductivity_to_python(const std::vector<Conductivity>& tables) {
    return list_of(tables, [](const Conductivity& table) -> PyObject* {
        PyRef dict(PyDict_New());
        if (!dict || !set_item(dict.get(), "comment", optional_text(table.comment)) ||
            !set_item(dict.get(), "in_calculation", to_python(table.in_calculation)) ||
            !set_item(dict.get(), "energies", to_python(table.energies)) ||
            !set_item(dict.get(), "data", to_python(table.values))) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* tensor_to_python(const Mat3& tensor) {
    return make_array(tensor[0].data(), std::array<std::uint64_t, 2>{3, 3});
}

PyObject* born_charges_to_python(const DenseArray<3, 3, 3>& charges) { return to_python(charges); }

PyObject* dynmat_to_python(const Dynmat& dynmat) { return to_python(dynmat); }

// The parts not read are left out, as the main set's properties are None.
PyObject* kpoints_opt_to_python(const KpointsOpt& opt) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "kpoints", kpoints_to_python(opt.kpoints)) ||
        (opt.eigenvalues && !set_item(dict.get(), "eigenvalues", eigenvalues_to_python(*opt.eigenvalues))) ||
        (opt.projected && !set_item(dict.get(), "projected", projected_to_python(*opt.projected))) ||
        (opt.dos && !set_item(dict.get(), "dos", dos_to_python(*opt.dos)))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* md_steps_to_python(const RunRecord& record) {
    if (!molecular_dynamics(record)) {
        return PyList_New(0);
    }
    const std::vector<IonicStep>& steps = record.ionic_steps;
    const std::vector<PredictedStep>& predicted = record.predicted_steps;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(steps.size() + predicted.size())));
    if (!list) {
        return nullptr;
    }
    SymbolCache symbols;
    std::size_t kept = 0, next = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        // An ionic step comes first when no predicted step stands before it.
        const bool ionic = kept < steps.size() && (next == predicted.size() || kept < predicted[next].after);
        PyObject* step = ionic ? md_step(steps[kept++], false, symbols) : md_step(predicted[next++].step, true, symbols);
        if (step == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, step);
    }
    return list.release();
}

PyObject* run_repr(const RunRecord& record) {
    std::string text = "Vasprun(program=" + record.generator.program + ", version=" + record.generator.version +
                       ", atoms=[";
    for (std::size_t i = 0; i < record.atom_info.atoms.size(); ++i) {
        if (i != 0) {
            text += ", ";
        }
        append_quoted(text, record.atom_info.atoms[i]);
    }
    text += "], nkpts=" + std::to_string(record.kpoints.weights.size()) +
            ", nsteps=" + std::to_string(record.ionic_steps.size()) + ")";
    return to_python(text);
}

}  // namespace quorvel::python
