// Conversion of the run record into Python values. Every call builds fresh
// objects; nothing is cached or shared with the record. Each returns a new
// reference, or null with a Python exception set.
#pragma once

#include "py_ref.hpp"
#include "run_analysis.hpp"
#include "run_record.hpp"

namespace quorvel::python {

PyObject* parameters_to_python(const ParameterMap& parameters);
PyObject* atoms_to_python(const std::vector<std::string>& atoms);
PyObject* atom_types_to_python(const std::vector<AtomType>& types);
PyObject* kpoints_to_python(const KpointSet& kpoints);
PyObject* structure_to_python(const Structure& structure);
PyObject* ionic_steps_to_python(const std::vector<IonicStep>& steps);

PyObject* eigenvalues_to_python(const EigenvalueArray& eigenvalues);
PyObject* eigenvalue_shape_to_python(const EigenvalueArray& eigenvalues);
PyObject* projected_to_python(const ProjectedArray& projected);
PyObject* dos_to_python(const DosData& dos);
PyObject* dielectric_to_python(const DielectricData& dielectric);
PyObject* dielectric_functions_to_python(const std::vector<DielectricFunction>& functions);
PyObject* conductivity_to_python(const std::vector<Conductivity>& tables);
PyObject* tensor_to_python(const Mat3& tensor);
PyObject* born_charges_to_python(const DenseArray<3, 3, 3>& charges);
PyObject* dynmat_to_python(const Dynmat& dynmat);
PyObject* kpoints_opt_to_python(const KpointsOpt& opt);
// Every MD step: the kept ionic steps and the predicted ones, in file order;
// [] for a run that is not molecular dynamics.
PyObject* md_steps_to_python(const RunRecord& record);

// One (n, 3) array per step: the three energies of each electronic step.
PyObject* electronic_steps_to_python(const std::vector<IonicStep>& steps);
// Per kept ionic step, a dict per electronic step of every named entry of
// its `energy`: the others in file order, then the three energies written.
PyObject* electronic_step_energies_to_python(const RunRecord& record);
// The generator's six strings by their names.
PyObject* generator_to_python(const GeneratorInfo& generator);
PyObject* band_edges_to_python(const BandEdges& edges);

// The text of repr(): program, version, atoms, k-point and step counts.
PyObject* run_repr(const RunRecord& record);

}  // namespace quorvel::python
