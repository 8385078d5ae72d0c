#include "vasprun.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "docs.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "parse.hpp"
#include "parse_errors.hpp"
#include "run_analysis.hpp"
#include "pickling.hpp"
#include "unlocked_parse.hpp"

namespace quorvel::python {

namespace {

struct VasprunObject {
    PyObject_HEAD
    RunRecord* record;
};

constexpr const char* kFunctionName = "Vasprun.__new__()";
constexpr std::size_t kParameterCount = 6;
constexpr const char* kParameterNames[kParameterCount] = {
    "path", "parse_dos", "parse_eigen", "parse_projected", "ionic_step_skip", "ionic_step_offset",
};

// ---------------------------------------------------------------- arguments

// The arguments bound to the six parameters (borrowed; null when not given),
// by Python's rules for a plain function of that signature.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject* (&bound)[kParameterCount]) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > static_cast<Py_ssize_t>(kParameterCount)) {
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", kFunctionName, 1,
                     static_cast<int>(kParameterCount), positional, "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t index = kParameterCount;
            for (std::size_t i = 0; PyUnicode_Check(key) && i < kParameterCount; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, kParameterNames[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index == kParameterCount) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", kFunctionName, key);
                return false;
            }
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", kFunctionName,
                             kParameterNames[index]);
                return false;
            }
            bound[index] = value;
        }
    }
    if (bound[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing %d required %s %s: 'path'", kFunctionName, 1, "positional",
                     "argument");
        return false;
    }
    return true;
}

// The qualified name of the type of `object`, for messages.
PyRef type_qualname(PyObject* object) {
    return PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
}

void raise_not_convertible(PyObject* object, const char* target) {
    PyRef name = type_qualname(object);
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    }
}

// The path as the file system has it, taken as open() takes it: a str is
// encoded with the file-system encoding and its error handler (as
// os.fsencode does, so that every name os.listdir gives can be opened), bytes
// are the name itself, and an os.PathLike gives one of the two through its
// __fspath__. `encoded` keeps the bytes alive.
bool convert_path(PyObject* object, PyRef& encoded, std::string_view& path) {
    PyRef name;
    if (PyUnicode_Check(object) || PyBytes_Check(object)) {
        name = PyRef(Py_NewRef(object));
    } else if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__")) {
        name = PyRef(PyOS_FSPath(object));
        if (!name) {
            return false;
        }
    } else {
        raise_not_convertible(object, "PyString");
        return false;
    }
    encoded = PyUnicode_Check(name.get()) ? PyRef(PyUnicode_EncodeFSDefault(name.get())) : std::move(name);
    if (!encoded) {
        return false;
    }
    path = std::string_view(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

// NumPy's boolean scalar, recognised by its type's module and name, so that
// NumPy need not be imported.
bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef module(PyObject_GetAttrString(type, "__module__"));
    PyRef name(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool convert_flag(PyObject* object, bool& flag) {
    if (PyBool_Check(object)) {
        flag = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) {
        raise_not_convertible(object, "PyBool");
        return false;
    }
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyRef name = type_qualname(object);
        if (name) {
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
        }
        return false;
    }
    const int truth = number->nb_bool(object);
    if (truth < 0) {
        return false;
    }
    flag = truth != 0;
    return true;
}

bool convert_count(PyObject* object, std::uint64_t& count) {
    PyRef index(PyNumber_Index(object));
    if (!index) {
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    count = value;
    return true;
}

// A TypeError of a conversion becomes "argument '<name>': <message>",
// keeping the original's cause; any other error passes unchanged.
void name_the_argument(const char* name) {
    PyRef error = take_exception();
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        raise_exception(std::move(error));
        return;
    }
    PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
    if (message) {
        raise_with_cause(PyExc_TypeError, message.get(), PyRef(PyException_GetCause(error.get())));
    }
}

bool convert_options(PyObject* const (&bound)[kParameterCount], PyRef& encoded_path, std::string_view& path,
                     ParseOptions& options) {
    if (!convert_path(bound[0], encoded_path, path)) {
        name_the_argument(kParameterNames[0]);
        return false;
    }
    bool* flags[] = {&options.parse_dos, &options.parse_eigen, &options.parse_projected};
    for (std::size_t i = 0; i < 3; ++i) {
        if (bound[1 + i] != nullptr && !convert_flag(bound[1 + i], *flags[i])) {
            name_the_argument(kParameterNames[1 + i]);
            return false;
        }
    }
    if (bound[4] != nullptr && bound[4] != Py_None) {
        std::uint64_t skip = 0;
        if (!convert_count(bound[4], skip)) {
            name_the_argument(kParameterNames[4]);
            return false;
        }
        options.ionic_step_skip = skip;
    }
    if (bound[5] != nullptr && !convert_count(bound[5], options.ionic_step_offset)) {
        name_the_argument(kParameterNames[5]);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the type

// A new instance of `type` owning `record`; null with an exception set (the
// record is then destroyed).
PyObject* wrap_record(PyTypeObject* type, std::unique_ptr<RunRecord> record) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    reinterpret_cast<VasprunObject*>(self)->record = record.release();
    return self;
}

PyObject* vasprun_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[kParameterCount] = {};
        PyRef encoded_path;
        std::string_view path;
        ParseOptions options;
        if (!bind_arguments(args, kwargs, bound) || !convert_options(bound, encoded_path, path, options)) {
            return nullptr;
        }
        // No reference is held across the parse: a thread that finalization
        // ends in it must drop nothing on its way out.
        const std::string path_bytes(path);
        encoded_path = PyRef();
        ParseOutcome outcome = parse_without_the_lock(path_bytes, options);
        switch (outcome.status) {
            case ParseStatus::Ok:
                break;
            case ParseStatus::Interrupted:  // what the signal handler raised is raised
                return nullptr;
            case ParseStatus::Failed:
                raise_parse_error(*outcome.error, bound[0]);
                return nullptr;
            case ParseStatus::OutOfMemory:
                return PyErr_NoMemory();
            case ParseStatus::Fault:
                raise_internal_fault(outcome.fault.c_str());
                return nullptr;
        }
        auto record = std::make_unique<RunRecord>(std::move(*outcome.record));
        outcome.record.reset();
        return wrap_record(type, std::move(record));
    });
}

void vasprun_dealloc(PyObject* self) {
    delete reinterpret_cast<VasprunObject*>(self)->record;
    Py_TYPE(self)->tp_free(self);
}

// The record never changes after construction, so reading it needs no lock
// of its own.
template <PyObject* (*Convert)(const RunRecord&)>
PyObject* getter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return Convert(*reinterpret_cast<VasprunObject*>(self)->record); });
}

PyObject* vasprun_repr(PyObject* self) { return getter<run_repr>(self, nullptr); }

template <class T>
PyObject* optional_or_none(const std::optional<T>& value, PyObject* (*convert)(const T&)) {
    return value ? convert(*value) : Py_NewRef(Py_None);
}

PyObject* get_program(const RunRecord& r) {
    return PyUnicode_FromStringAndSize(r.generator.program.data(), static_cast<Py_ssize_t>(r.generator.program.size()));
}
PyObject* get_version(const RunRecord& r) {
    return PyUnicode_FromStringAndSize(r.generator.version.data(), static_cast<Py_ssize_t>(r.generator.version.size()));
}
PyObject* get_incar(const RunRecord& r) { return parameters_to_python(r.incar); }
PyObject* get_atoms(const RunRecord& r) { return atoms_to_python(r.atom_info.atoms); }
PyObject* get_atom_types(const RunRecord& r) { return atom_types_to_python(r.atom_info.atom_types); }
PyObject* get_kpoints(const RunRecord& r) { return kpoints_to_python(r.kpoints); }
PyObject* get_initial_structure(const RunRecord& r) { return structure_to_python(r.initial_structure); }
PyObject* get_final_structure(const RunRecord& r) { return structure_to_python(r.final_structure); }
PyObject* get_ionic_steps(const RunRecord& r) { return ionic_steps_to_python(r.ionic_steps); }
PyObject* get_eigenvalues(const RunRecord& r) { return optional_or_none(r.eigenvalues, eigenvalues_to_python); }
PyObject* get_eigenvalue_shape(const RunRecord& r) {
    return optional_or_none(r.eigenvalues, eigenvalue_shape_to_python);
}
PyObject* get_projected(const RunRecord& r) { return optional_or_none(r.projected, projected_to_python); }
PyObject* get_efermi(const RunRecord& r) { return r.dos ? PyFloat_FromDouble(r.dos->efermi) : Py_NewRef(Py_None); }
PyObject* get_dos(const RunRecord& r) { return optional_or_none(r.dos, dos_to_python); }
PyObject* get_dielectric(const RunRecord& r) {
    const DielectricData* dielectric = calculation_dielectric(r);
    return dielectric != nullptr ? dielectric_to_python(*dielectric) : Py_NewRef(Py_None);
}
PyObject* get_converged(const RunRecord& r) { return PyBool_FromLong(converged(r)); }
PyObject* get_parameters(const RunRecord& r) { return parameters_to_python(r.parameters); }
PyObject* get_electronic_steps(const RunRecord& r) { return electronic_steps_to_python(r.ionic_steps); }
PyObject* get_final_energy(const RunRecord& r) {
    const std::optional<double> energy = final_energy(r);
    return energy ? PyFloat_FromDouble(*energy) : Py_NewRef(Py_None);
}
PyObject* get_converged_electronic(const RunRecord& r) { return PyBool_FromLong(converged_electronic(r)); }
PyObject* get_converged_ionic(const RunRecord& r) { return PyBool_FromLong(converged_ionic(r)); }
PyObject* get_band_gap(const RunRecord& r) {
    return r.eigenvalues ? band_edges_to_python(band_edges(*r.eigenvalues)) : Py_NewRef(Py_None);
}
PyObject* get_complete(const RunRecord& r) { return PyBool_FromLong(r.complete); }
PyObject* get_dielectric_functions(const RunRecord& r) { return dielectric_functions_to_python(r.dielectric_functions); }
PyObject* get_conductivity(const RunRecord& r) { return conductivity_to_python(r.conductivity); }
PyObject* get_epsilon(const RunRecord& r) { return optional_or_none(r.epsilon, tensor_to_python); }
PyObject* get_epsilon_rpa(const RunRecord& r) { return optional_or_none(r.epsilon_rpa, tensor_to_python); }
PyObject* get_epsilon_ion(const RunRecord& r) { return optional_or_none(r.epsilon_ion, tensor_to_python); }
PyObject* get_born_charges(const RunRecord& r) { return optional_or_none(r.born_charges, born_charges_to_python); }
PyObject* get_dynmat(const RunRecord& r) { return optional_or_none(r.dynmat, dynmat_to_python); }
PyObject* get_kpoints_opt(const RunRecord& r) { return optional_or_none(r.kpoints_opt, kpoints_opt_to_python); }
PyObject* get_md_steps(const RunRecord& r) { return md_steps_to_python(r); }
PyObject* get_generator(const RunRecord& r) { return generator_to_python(r.generator); }
PyObject* get_electronic_step_energies(const RunRecord& r) { return electronic_step_energies_to_python(r); }

// Pickling: the record as its state (see record_state.hpp), restored by
// quorvel._restore. The object is immutable, so a copy is the object itself.
PyObject* vasprun_reduce_ex(PyObject* self, PyObject* protocol) {
    return guarded([&]() -> PyObject* {
        const long version = PyLong_AsLong(protocol);
        if (version == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        return reduce_record(self, *reinterpret_cast<VasprunObject*>(self)->record, static_cast<int>(version));
    });
}

PyObject* vasprun_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef kMethods[] = {
    {"__reduce_ex__", vasprun_reduce_ex, METH_O, nullptr},
    {"__copy__", vasprun_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", vasprun_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"program", getter<get_program>, nullptr, docs::kProgram, nullptr},
    {"version", getter<get_version>, nullptr, docs::kVersion, nullptr},
    {"incar", getter<get_incar>, nullptr, docs::kIncar, nullptr},
    {"atoms", getter<get_atoms>, nullptr, docs::kAtoms, nullptr},
    {"atom_types", getter<get_atom_types>, nullptr, docs::kAtomTypes, nullptr},
    {"kpoints", getter<get_kpoints>, nullptr, docs::kKpoints, nullptr},
    {"initial_structure", getter<get_initial_structure>, nullptr, docs::kInitialStructure, nullptr},
    {"final_structure", getter<get_final_structure>, nullptr, docs::kFinalStructure, nullptr},
    {"ionic_steps", getter<get_ionic_steps>, nullptr, docs::kIonicSteps, nullptr},
    {"eigenvalues", getter<get_eigenvalues>, nullptr, docs::kEigenvalues, nullptr},
    {"eigenvalue_shape", getter<get_eigenvalue_shape>, nullptr, docs::kEigenvalueShape, nullptr},
    {"projected", getter<get_projected>, nullptr, docs::kProjected, nullptr},
    {"efermi", getter<get_efermi>, nullptr, docs::kEfermi, nullptr},
    {"dos", getter<get_dos>, nullptr, docs::kDos, nullptr},
    {"dielectric", getter<get_dielectric>, nullptr, docs::kDielectric, nullptr},
    {"converged", getter<get_converged>, nullptr, docs::kConverged, nullptr},
    {"parameters", getter<get_parameters>, nullptr, docs::kParameters, nullptr},
    {"electronic_steps", getter<get_electronic_steps>, nullptr, docs::kElectronicSteps, nullptr},
    {"final_energy", getter<get_final_energy>, nullptr, docs::kFinalEnergy, nullptr},
    {"converged_electronic", getter<get_converged_electronic>, nullptr, docs::kConvergedElectronic, nullptr},
    {"converged_ionic", getter<get_converged_ionic>, nullptr, docs::kConvergedIonic, nullptr},
    {"band_gap", getter<get_band_gap>, nullptr, docs::kBandGap, nullptr},
    {"complete", getter<get_complete>, nullptr, docs::kComplete, nullptr},
    {"dielectric_functions", getter<get_dielectric_functions>, nullptr, docs::kDielectricFunctions, nullptr},
    {"conductivity", getter<get_conductivity>, nullptr, docs::kConductivity, nullptr},
    {"epsilon", getter<get_epsilon>, nullptr, docs::kEpsilon, nullptr},
    {"epsilon_rpa", getter<get_epsilon_rpa>, nullptr, docs::kEpsilonRpa, nullptr},
    {"epsilon_ion", getter<get_epsilon_ion>, nullptr, docs::kEpsilonIon, nullptr},
    {"born_charges", getter<get_born_charges>, nullptr, docs::kBornCharges, nullptr},
    {"dynmat", getter<get_dynmat>, nullptr, docs::kDynmat, nullptr},
    {"kpoints_opt", getter<get_kpoints_opt>, nullptr, docs::kKpointsOpt, nullptr},
    {"md_steps", getter<get_md_steps>, nullptr, docs::kMdSteps, nullptr},
    {"generator", getter<get_generator>, nullptr, docs::kGenerator, nullptr},
    {"electronic_step_energies", getter<get_electronic_step_energies>, nullptr, docs::kElectronicStepEnergies,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_vasprun(std::unique_ptr<RunRecord> record) {
    PyTypeObject* type = vasprun_type();
    return type == nullptr ? nullptr : wrap_record(type, std::move(record));
}

PyTypeObject* vasprun_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{};
        Py_SET_REFCNT(&t, 1);
        t.tp_name = "quorvel.Vasprun";  // pickled by reference as quorvel.Vasprun
        t.tp_basicsize = sizeof(VasprunObject);
        t.tp_dealloc = vasprun_dealloc;
        t.tp_repr = vasprun_repr;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_doc = docs::kVasprun;
        t.tp_getset = kProperties;
        t.tp_methods = kMethods;
        t.tp_new = vasprun_new;
        return t;
    }();
    if (PyType_Ready(&type) < 0) {
        return nullptr;
    }
    return &type;
}

}  // namespace quorvel::python
