// The doc strings of the Vasprun class and its properties: what help() shows.
// The type stub repeats them (a test holds the two equal), so that editors
// show the same text.
#pragma once

namespace quorvel::python::docs {

// The first line is the signature, which the interpreter reads into
// __text_signature__ (the "--" line ends it); the rest is __doc__.
inline constexpr const char kVasprun[] =
    "Vasprun(path, parse_dos=True, parse_eigen=True, parse_projected=False, ionic_step_skip=None, "
    "ionic_step_offset=0)\n--\n\n"
    "A VASP run file (vasprun.xml), read whole and at once.\n"
    "\n"
    "The constructor reads the file (plain, or gzip-compressed when its name\n"
    "ends in .gz; UTF-8, UTF-16 or Latin-1) in one pass and keeps what it\n"
    "holds; the object never changes afterwards. Every property builds a\n"
    "fresh value when read (NumPy arrays are copies), so changing a value\n"
    "changes nothing in the object. Objects pickle and copy cheaply.\n"
    "\n"
    "Arguments:\n"
    "  path             the file: a str, bytes or os.PathLike, as open() takes.\n"
    "  parse_dos        read the density of states (dos, efermi).\n"
    "  parse_eigen      read the eigenvalues (eigenvalues, band_gap).\n"
    "  parse_projected  read the projections (projected), often the largest\n"
    "                   part of a file; off by default.\n"
    "  ionic_step_skip, ionic_step_offset\n"
    "                   which ionic steps to keep, as the slice\n"
    "                   steps[offset::skip]; a skip of None or 0 keeps every\n"
    "                   step. Whole-run checks (converged_ionic) still count\n"
    "                   every step of the file.\n"
    "The flags take a bool (or NumPy's bool); a section switched off is passed\n"
    "over unread and its properties are None.\n"
    "\n"
    "Raises:\n"
    "  quorvel.ParseError (a RuntimeError)\n"
    "                the file cannot be read or is not a run file; the text\n"
    "                names the first problem, e.g. \"Missing element <kpoints>\",\n"
    "                and the subclass its kind: MissingElementError, XmlError,\n"
    "                EncodingError, ParseValueError, ShapeMismatchError, IoError.\n"
    "                When the operating system fails (open, read, map), the\n"
    "                IoError is also the matching OSError (FileNotFoundError,\n"
    "                PermissionError, ...), its text \"I/O error: ...\".\n"
    "                A file cut off while VASP wrote it is no error: what it\n"
    "                holds whole is kept and `complete` is False.\n"
    "  TypeError     an argument of the wrong type.\n"
    "  OverflowError a negative or too large step count.\n"
    "  KeyboardInterrupt (or what a signal handler raises) when interrupted.\n"
    "\n"
    "The parse runs without the interpreter lock: several threads read\n"
    "several files in parallel.";

inline constexpr const char kProgram[] =
    "The program that wrote the file (str), e.g. \"vasp\"; \"\" when the file\n"
    "does not say.";

inline constexpr const char kVersion[] =
    "The program's version (str), e.g. \"6.4.2\"; \"\" when the file does not\n"
    "say.";

inline constexpr const char kIncar[] =
    "The INCAR parameters as written in the file's incar section: a dict in\n"
    "file order of int, float, bool, str, or list of float for vector tags\n"
    "(MAGMOM, LDAUU, ...). Only what the INCAR file set; the values in effect,\n"
    "defaults included, are in ``parameters``. ``{}`` when empty.";

inline constexpr const char kAtoms[] = "The element symbol of every atom, in file order (list of str).";

inline constexpr const char kAtomTypes[] =
    "One dict per atom type, in file order: ``\"element\"`` (str),\n"
    "``\"count\"`` (int, its atoms), ``\"mass\"`` (float, amu),\n"
    "``\"valence\"`` (float, electrons) and ``\"pseudopotential\"`` (str, the\n"
    "POTCAR's title).";

inline constexpr const char kKpoints[] =
    "The k-points of the run: a dict with ``\"kpointlist\"`` (ndarray\n"
    "(nkpts, 3), fractional) and ``\"weights\"`` (ndarray (nkpts,));\n"
    "``\"scheme\"`` (str, e.g. \"Gamma\", \"Monkhorst-Pack\", \"listgenerated\")\n"
    "only when the file has a generation recipe, and of the recipe\n"
    "``\"divisions\"`` (3 ints) and the vectors ``\"usershift\"``,\n"
    "``\"genvec1\"``, ``\"genvec2\"``, ``\"genvec3\"``, ``\"shift\"`` (3\n"
    "floats each) only where written; ``\"labels\"`` (list of (0-based\n"
    "index, label)) only when the file labels points. vasprun.xml holds no\n"
    "labels of a line-mode path: they are in the run's KPOINTS file.";

inline constexpr const char kInitialStructure[] =
    "The structure the run started from: a dict with ``\"lattice\"`` (3\n"
    "rows, Å), ``\"volume\"`` (Å³), ``\"positions\"`` (one fractional row per\n"
    "atom) and ``\"species\"`` (one symbol per atom), as lists; and, only\n"
    "where the file writes them, ``\"selective\"`` (the selective-dynamics\n"
    "flags, three bools per atom: may x, y, z move) and ``\"velocities\"``\n"
    "(one row per atom, Å/fs, as MD runs write them).";

inline constexpr const char kFinalStructure[] =
    "The structure the run ended with, as ``initial_structure``. When the\n"
    "file has no final one (a run cut off), the structure of its last ionic\n"
    "step, or the initial one when it has no step.";

inline constexpr const char kIonicSteps[] =
    "One dict per kept ionic step, in file order: ``\"structure\"`` (as\n"
    "``initial_structure``), the energies ``\"e_fr_energy\"`` (free energy),\n"
    "``\"e_wo_entrp\"`` (without entropy) and ``\"e_0_energy\"`` (sigma -> 0)\n"
    "in eV as written (see ``final_energy`` for the mended last one),\n"
    "``\"forces\"`` (one row of 3 per atom, eV/Å), ``\"stress\"`` (3x3, kB;\n"
    "zeros when the step wrote none), ``\"stress_written\"`` (bool: whether\n"
    "it did; machine-learned MD steps write none), and ``\"magnetization\"``\n"
    "(rows) only when the step has it. The MD energies ``\"kinetic\"``,\n"
    "``\"lattice kinetic\"``, ``\"nosepot\"``, ``\"nosekinetic\"`` and\n"
    "``\"total\"`` (eV) follow the three energies where the step writes them.\n"
    "``[]`` when no step is kept.";

inline constexpr const char kEigenvalues[] =
    "ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy].\n"
    "\n"
    "Energies in eV, from the last calculation that has eigenvalues. None\n"
    "when ``parse_eigen`` is False or the file has none.";

inline constexpr const char kEigenvalueShape[] =
    "(nspins, nkpts, nbands) of ``eigenvalues`` as a tuple of int; None when\n"
    "``eigenvalues`` is None.";

inline constexpr const char kProjected[] =
    "Returns a dict with keys ``\"data\"`` (ndarray shape\n"
    "``(nspins, nkpts, nbands, nions, norbitals)``) and ``\"orbitals\"``\n"
    "(list of orbital label strings), or ``None`` if not parsed.\n"
    "\n"
    "Read only with ``parse_projected=True``; from the last calculation that\n"
    "has projections.";

inline constexpr const char kEfermi[] =
    "The Fermi energy (eV, float) of the density of states; 0.0 when that\n"
    "has none. None when ``parse_dos`` is False or the file has no density\n"
    "of states.";

inline constexpr const char kDos[] =
    "The density of states of the last calculation that has one: a dict with\n"
    "``\"efermi\"`` (float, eV), ``\"total\"`` (``\"energies\"`` ndarray\n"
    "(nedos,) in eV, ``\"densities\"`` and ``\"integrated\"`` ndarrays\n"
    "(nspins, nedos), states/eV and states) and, only when the file has one,\n"
    "``\"partial\"`` (``\"data\"`` ndarray (nspins, nions, norbitals, nedos),\n"
    "``\"orbitals\"`` list of str). A noncollinear run has 4 spin sets: the\n"
    "total, then the magnetisation along x, y, z. None when ``parse_dos`` is\n"
    "False or the file has none.";

inline constexpr const char kDielectric[] =
    "The first dielectric function of the last calculation that has one: a\n"
    "dict with ``\"energies\"`` (ndarray (n,), eV), ``\"real\"`` and\n"
    "``\"imag\"`` (ndarrays (rows, 6): xx yy zz xy yz zx as written). Read\n"
    "whatever the options; None when no calculation has one (a GW run's\n"
    "stand outside its calculation: see ``dielectric_functions``).";

inline constexpr const char kConverged[] =
    "True when at least one ionic step is kept and the last one's\n"
    "e_fr_energy is not 0.0, which is all it checks: it does not compare the\n"
    "run with its convergence criteria. For \"did the run converge\" use\n"
    "``converged_electronic`` and ``converged_ionic``.";

inline constexpr const char kParameters[] =
    "Every parameter of the run (the top-level parameters section, INCAR\n"
    "defaults included) as one dict in file order, typed as ``incar`` is.\n"
    "Entries under the \"response functions\" separator do not replace a\n"
    "value already read. ``{}`` when the file has none.";

inline constexpr const char kElectronicSteps[] =
    "One ndarray per kept ionic step, shape (n, 3): e_fr_energy,\n"
    "e_wo_entrp and e_0_energy of each electronic step in file order.";

inline constexpr const char kFinalEnergy[] =
    "The last kept step's e_0_energy (eV), mended where VASP 5 wrote it\n"
    "wrong: the step's e_fr_energy plus its last electronic step's\n"
    "e_0_energy - e_fr_energy, rounded to 8 decimals, when that differs\n"
    "by more than 1e-7 eV. ``None`` without kept ionic steps.";

inline constexpr const char kConvergedElectronic[] =
    "Whether the electronic loop of the last kept ionic step converged:\n"
    "it took fewer than NELM steps (VASP's 60 when not given). True for\n"
    "runs without such a loop (ML_LMLFF, ALGO chi, ALGO Exact with\n"
    "NELM 1); a LEPSILON run does not count its response steps.";

inline constexpr const char kConvergedIonic[] =
    "Whether the ionic loop converged: NSW <= 1, or fewer ionic steps\n"
    "than NSW; for molecular dynamics (IBRION 0) and relaxations with\n"
    "EDIFFG 0 (IBRION 1, 2), exactly NSW steps. Counts every ionic step\n"
    "of the file and, for molecular dynamics, the steps that a machine-\n"
    "learned force field predicted (see ``md_steps``).";

inline constexpr const char kBandGap[] =
    "A dict with keys ``\"gap\"``, ``\"cbm\"``, ``\"vbm\"`` (eV) and\n"
    "``\"direct\"`` over all spins and k-points (occupied above 1e-8),\n"
    "or ``None`` without eigenvalues. vbm is -inf when no state is\n"
    "occupied, cbm (and gap) inf when none is empty.";

inline constexpr const char kComplete[] =
    "Whether the file ends properly (with </modeling>); False for a run\n"
    "killed while writing it.";

inline constexpr const char kDielectricFunctions[] =
    "Every dielectric function of the file, in file order: those outside any\n"
    "calculation (GW, BSE and RPA runs write them there) and those of the\n"
    "last calculation that has any. One dict each: ``\"comment\"`` (str as\n"
    "written, or None), ``\"label\"`` (``\"density\"`` for density-density\n"
    "or the first one without a comment of a calculation, ``\"current\"`` for\n"
    "current-current or the second one without; otherwise the comment),\n"
    "``\"in_calculation\"`` (bool), ``\"energies\"`` (ndarray (n,), eV),\n"
    "``\"real\"`` and ``\"imag\"`` (ndarrays (n, 6): xx yy zz xy yz zx). Read\n"
    "whatever the options; ``[]`` when the file has none.";

inline constexpr const char kConductivity[] =
    "Every conductivity table of the file (optics runs write one per spin),\n"
    "chosen as ``dielectric_functions``: one dict each with ``\"comment\"``\n"
    "(str or None), ``\"in_calculation\"`` (bool), ``\"energies\"`` (ndarray\n"
    "(n,), eV) and ``\"data\"`` (ndarray (n, 6): xx yy zz xy yz zx). ``[]``\n"
    "when the file has none.";

inline constexpr const char kEpsilon[] =
    "The static dielectric tensor of a linear-response run (LEPSILON), with\n"
    "local field effects: ndarray (3, 3), the varray \"epsilon\" of the last\n"
    "calculation that has one. None when the file has none.";

inline constexpr const char kEpsilonRpa[] =
    "The static dielectric tensor in the random-phase approximation (local\n"
    "field effects in the Hartree term only): ndarray (3, 3), the varray\n"
    "\"epsilon_rpa\" of the last calculation that has one. None when the\n"
    "file has none.";

inline constexpr const char kEpsilonIon[] =
    "The ionic contribution to the static dielectric tensor: ndarray (3, 3),\n"
    "the varray \"epsilon_ion\" of the last calculation that has one. None\n"
    "when the file has none.";

inline constexpr const char kBornCharges[] =
    "The Born effective charges of a linear-response run: ndarray (natoms,\n"
    "3, 3), one tensor per atom with its rows as VASP writes them, from the\n"
    "last calculation that has them. None when the file has none.";

inline constexpr const char kDynmat[] =
    "The dynamical matrix of a finite-difference or linear-response run\n"
    "(IBRION 5 to 8), as VASP writes it: a dict with ``\"hessian\"`` (ndarray\n"
    "(3n, 3n)), the second derivatives of the energy divided by the square\n"
    "roots of the two atoms' masses, with VASP's sign (the negative of the\n"
    "mass-weighted force constants: not force constants), in eV/(Å² amu);\n"
    "``\"eigenvalues\"`` (ndarray (3n,)), its eigenvalues, which are -ω² in\n"
    "those units (negative for real modes); ``\"eigenvectors\"`` (ndarray\n"
    "(3n, 3n)), one mode per row. None when the file has none.";

inline constexpr const char kKpointsOpt[] =
    "The second k-point set of VASP 6.3 and later (KPOINTS_OPT) and what was\n"
    "computed on it: a dict with ``\"kpoints\"`` (as ``kpoints``, with the\n"
    "divisions where written), ``\"eigenvalues\"`` (ndarray (nspins, nkpts,\n"
    "nbands, 2): energy, occupancy, NaN where the file writes no occupancy)\n"
    "with ``parse_eigen``, ``\"projected\"`` (as ``projected``) with\n"
    "``parse_projected``, ``\"dos\"`` (as ``dos``, with its own Fermi\n"
    "energy) with ``parse_dos``. ``eigenvalues``, ``dos`` and ``efermi`` stay\n"
    "the main set's. None when the file has no such set.";

inline constexpr const char kMdSteps[] =
    "Every molecular-dynamics step in file order: the kept ionic steps and\n"
    "the steps that a machine-learned force field predicted, which VASP\n"
    "writes outside any calculation. One dict each: ``\"structure\"``, the\n"
    "energies ``\"e_fr_energy\"``, ``\"e_wo_entrp\"``, ``\"e_0_energy\"``\n"
    "and, where written, ``\"kinetic\"``, ``\"lattice kinetic\"``,\n"
    "``\"nosepot\"``, ``\"nosekinetic\"``, ``\"total\"`` (eV),\n"
    "``\"forces\"`` and ``\"predicted\"`` (bool). Every predicted step is\n"
    "kept whatever ``ionic_step_skip`` and ``ionic_step_offset`` select.\n"
    "``[]`` for a run that is not molecular dynamics.";

inline constexpr const char kGenerator[] =
    "What the file says of the program that wrote it: a dict of str with\n"
    "``\"program\"``, ``\"version\"``, ``\"subversion\"`` (its build),\n"
    "``\"platform\"``, ``\"date\"`` and ``\"time\"`` (of the run's start),\n"
    "each \"\" when the file does not say.";

inline constexpr const char kElectronicStepEnergies[] =
    "Every energy of every electronic step: per kept ionic step a list with\n"
    "a dict per electronic step of each named entry of its energy (eV): the\n"
    "terms such as ``\"alphaZ\"``, ``\"ewald\"``, ``\"hartreedc\"``,\n"
    "``\"XCdc\"``, ``\"pawpsdc\"``, ``\"pawaedc\"``, ``\"eentropy\"``,\n"
    "``\"bandstr\"``, ``\"atom\"`` in file order, then those of\n"
    "``\"e_fr_energy\"``, ``\"e_wo_entrp\"``, ``\"e_0_energy\"`` written, which\n"
    "VASP writes last (all of them for some electronic steps, the three alone\n"
    "for the others). A value written as asterisks is NaN.\n"
    "``electronic_steps`` holds the three alone, as arrays.";

}  // namespace quorvel::python::docs
