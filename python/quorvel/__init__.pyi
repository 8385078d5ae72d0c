"""Fast reader of VASP vasprun.xml run files."""

import os
from typing import Final, Literal, TypedDict, final, overload

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

# The optional libraries this build uses; results are the same either way.
build_info: Final[BuildInfo]

# The TypedDicts below describe the shapes of the returned dicts. They exist
# for type checkers only: import them under `typing.TYPE_CHECKING`.

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
IntArray = npt.NDArray[np.int64]
IncarValue = int | float | bool | str | list[float]

class BuildInfo(TypedDict):
    gzip: Literal["libdeflate", "zlib"]  # what decodes gzip files
    floats: Literal["fast_float", "from_chars"]  # what converts long or extreme numbers
    inflate_ahead: Literal["isal", "none"]  # what inflates large gzip files while they are parsed

class AtomType(TypedDict):
    element: str
    count: int
    mass: float
    valence: float
    pseudopotential: str

class _KpointsRequired(TypedDict):
    kpointlist: FloatArray  # (nkpts, 3)
    weights: FloatArray  # (nweights,)

class Kpoints(_KpointsRequired, total=False):
    scheme: str  # only with a generation recipe
    divisions: list[int]  # only when the recipe has divisions
    usershift: list[float]  # the recipe's vectors, 3 floats each, only where written
    genvec1: list[float]
    genvec2: list[float]
    genvec3: list[float]
    shift: list[float]
    labels: list[tuple[int, str]]  # (0-based k-point index, label), only when labelled

class Generator(TypedDict):
    program: str
    version: str
    subversion: str
    platform: str
    date: str
    time: str

class _StructureRequired(TypedDict):
    lattice: list[list[float]]  # three rows
    volume: float
    positions: list[list[float]]  # fractional, one row per atom
    species: list[str]

class Structure(_StructureRequired, total=False):
    selective: list[list[bool]]  # selective-dynamics flags, 3 per atom; only where written
    velocities: list[list[float]]  # one row per atom (Å/fs); only where written

# The MD energies of a step ("lattice kinetic" is no identifier): each only where written.
_MdEnergies = TypedDict("_MdEnergies", {"kinetic": float, "lattice kinetic": float, "nosepot": float,
                                        "nosekinetic": float, "total": float}, total=False)

class _IonicStepRequired(TypedDict):
    structure: Structure
    e_fr_energy: float
    e_wo_entrp: float
    e_0_energy: float
    forces: list[list[float]]
    stress: list[list[float]]  # zeros when the step wrote none
    stress_written: bool

class IonicStep(_IonicStepRequired, _MdEnergies, total=False):
    magnetization: list[list[float]]  # only when the step has it

class _MdStepRequired(TypedDict):
    structure: Structure
    e_fr_energy: float
    e_wo_entrp: float
    e_0_energy: float
    forces: list[list[float]]
    predicted: bool  # predicted by a machine-learned force field, not computed

class MdStep(_MdStepRequired, _MdEnergies, total=False):
    pass

class Trajectory(TypedDict):
    lattice: FloatArray  # (n, 3, 3)
    positions: FloatArray  # (n, natoms, 3), fractional
    positions_written: BoolArray  # (n,)
    volume: FloatArray  # (n,)
    forces: FloatArray  # (n, natoms, 3); NaN where not written
    forces_written: BoolArray  # (n,)
    stress: FloatArray  # (n, 3, 3), kB; NaN where not written
    stress_written: BoolArray  # (n,)
    e_fr_energy: FloatArray  # (n,)
    e_wo_entrp: FloatArray  # (n,)
    e_0_energy: FloatArray  # (n,)
    last_electronic_e_fr_energy: FloatArray  # (n,); NaN for a step without electronic steps
    last_electronic_e_wo_entrp: FloatArray  # (n,)
    last_electronic_e_0_energy: FloatArray  # (n,)
    electronic_step_count: IntArray  # (n,)
    selective: BoolArray  # (n, natoms, 3)
    selective_written: BoolArray  # (n,)
    magnetization: FloatArray  # (n, natoms, 3); NaN beyond each step's columns
    magnetization_columns: IntArray  # (n,): 1 to 3; 0 without natoms rows, -1 for other shapes

class Projected(TypedDict):
    data: FloatArray  # (nspins, nkpts, nbands, nions, norbitals)
    orbitals: list[str]

class DosTotal(TypedDict):
    energies: FloatArray  # (nedos,)
    densities: FloatArray  # (nspins, nedos)
    integrated: FloatArray  # (nspins, nedos)

class DosPartial(TypedDict):
    data: FloatArray  # (nspins, nions, norbitals, nedos)
    orbitals: list[str]

class _DosRequired(TypedDict):
    efermi: float
    total: DosTotal

class Dos(_DosRequired, total=False):
    partial: DosPartial  # only when the file has a partial DOS

class BandGap(TypedDict):
    gap: float  # max(cbm - vbm, 0); inf when no state is empty
    cbm: float  # lowest empty energy; inf when every state is occupied
    vbm: float  # highest occupied energy; -inf when none is
    direct: bool  # vbm and cbm at the same k-point

class Dielectric(TypedDict):
    energies: FloatArray  # (nrows,)
    real: FloatArray  # (nrows of the real part, 6)
    imag: FloatArray  # (nrows of the imaginary part, 6)

class DielectricFunction(TypedDict):
    comment: str | None  # as written
    label: str | None  # "density", "current", or the comment
    in_calculation: bool
    energies: FloatArray  # (n,)
    real: FloatArray  # (n, 6)
    imag: FloatArray  # (n, 6)

class Conductivity(TypedDict):
    comment: str | None
    in_calculation: bool
    energies: FloatArray  # (n,)
    data: FloatArray  # (n, 6)

class Dynmat(TypedDict):
    hessian: FloatArray  # (3 natoms, 3 natoms), as VASP writes it (not force constants)
    eigenvalues: FloatArray  # (3 natoms,): -omega^2
    eigenvectors: FloatArray  # (3 natoms, 3 natoms), one per row

class _KpointsOptRequired(TypedDict):
    kpoints: Kpoints

class KpointsOpt(_KpointsOptRequired, total=False):
    eigenvalues: FloatArray  # (nspins, nkpts, nbands, 2); with parse_eigen
    projected: Projected  # with parse_projected
    dos: Dos  # with parse_dos

def _restore(header: bytes, /, *arrays: bytes) -> Vasprun:
    """Restores a pickled Vasprun; for pickle only."""

@overload
def _format_rows(values: FloatArray, heads: list[str] | tuple[str, ...] | None, /) -> str:
    """The rows of a C-contiguous 2-D float64 array as text, each number in its shortest
    round-trip form; with heads, a line per row after its head; with rows_per_text, a list
    of texts of that many rows each. For the package's writers."""
@overload
def _format_rows(values: FloatArray, heads: list[str] | tuple[str, ...] | None, rows_per_text: int, /
                 ) -> list[str]: ...

class InternalFault(BaseException):
    """An internal fault of the quorvel reader; please report it."""

class ParseError(RuntimeError):
    """A run file that could not be read. str() is the reason, as the reader
    words it; ``offset`` is the byte offset in the document text (after
    decompression and decoding) at which the reader stood when it met the
    problem, or None where the problem has no place."""

    offset: int | None

class IoError(ParseError):
    """The file could not be read. When the operating system failed (open,
    read, map), the exception is also the OSError of its errno, with
    ``errno``, ``strerror`` and ``filename``; for corrupt gzip data
    ``errno`` is None and ``strerror`` says what is wrong."""

    errno: int | None
    strerror: str
    filename: str | bytes | os.PathLike[str] | os.PathLike[bytes]

class XmlError(ParseError):
    """Malformed markup; ``description`` is the reader's."""

    description: str

class EncodingError(ParseError):
    """The bytes could not be decoded; ``message`` says so."""

    message: str

class MissingElementError(ParseError):
    """A required element is missing; ``element`` names it."""

    element: str

class ParseValueError(ParseError):
    """A text is not the value it should be: ``value``, the ``type_name`` it
    should have been read as, and ``message``."""

    value: str
    type_name: str
    message: str

class ShapeMismatchError(ParseError):
    """A table does not have the shape its section requires: ``expected``
    and ``got``, lists of counts."""

    expected: list[int]
    got: list[int]

@final
class Vasprun:
    """A VASP run file (vasprun.xml), read whole and at once.

    The constructor reads the file (plain, or gzip-compressed when its name
    ends in .gz; UTF-8, UTF-16 or Latin-1) in one pass and keeps what it
    holds; the object never changes afterwards. Every property builds a
    fresh value when read (NumPy arrays are copies), so changing a value
    changes nothing in the object. Objects pickle and copy cheaply.

    Arguments:
      path             the file: a str, bytes or os.PathLike, as open() takes.
      parse_dos        read the density of states (dos, efermi).
      parse_eigen      read the eigenvalues (eigenvalues, band_gap).
      parse_projected  read the projections (projected), often the largest
                       part of a file; off by default.
      ionic_step_skip, ionic_step_offset
                       which ionic steps to keep, as the slice
                       steps[offset::skip]; a skip of None or 0 keeps every
                       step. Whole-run checks (converged_ionic) still count
                       every step of the file.
    The flags take a bool (or NumPy's bool); a section switched off is passed
    over unread and its properties are None.

    Raises:
      quorvel.ParseError (a RuntimeError)
                    the file cannot be read or is not a run file; the text
                    names the first problem, e.g. "Missing element <kpoints>",
                    and the subclass its kind: MissingElementError, XmlError,
                    EncodingError, ParseValueError, ShapeMismatchError, IoError.
                    When the operating system fails (open, read, map), the
                    IoError is also the matching OSError (FileNotFoundError,
                    PermissionError, ...), its text "I/O error: ...".
                    A file cut off while VASP wrote it is no error: what it
                    holds whole is kept and `complete` is False.
      TypeError     an argument of the wrong type.
      OverflowError a negative or too large step count.
      KeyboardInterrupt (or what a signal handler raises) when interrupted.

    The parse runs without the interpreter lock: several threads read
    several files in parallel."""

    def __new__(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        parse_dos: bool = True,
        parse_eigen: bool = True,
        parse_projected: bool = False,
        ionic_step_skip: int | None = None,
        ionic_step_offset: int = 0,
    ) -> Vasprun: ...
    @property
    def program(self) -> str:
        """The program that wrote the file (str), e.g. "vasp"; "" when the file
        does not say."""
    @property
    def version(self) -> str:
        """The program's version (str), e.g. "6.4.2"; "" when the file does not
        say."""
    @property
    def incar(self) -> dict[str, IncarValue]:
        """The INCAR parameters as written in the file's incar section: a dict in
        file order of int, float, bool, str, or list of float for vector tags
        (MAGMOM, LDAUU, ...). Only what the INCAR file set; the values in effect,
        defaults included, are in ``parameters``. ``{}`` when empty."""
    @property
    def atoms(self) -> list[str]:
        """The element symbol of every atom, in file order (list of str)."""
    @property
    def atom_types(self) -> list[AtomType]:
        """One dict per atom type, in file order: ``"element"`` (str),
        ``"count"`` (int, its atoms), ``"mass"`` (float, amu),
        ``"valence"`` (float, electrons) and ``"pseudopotential"`` (str, the
        POTCAR's title)."""
    @property
    def kpoints(self) -> Kpoints:
        """The k-points of the run: a dict with ``"kpointlist"`` (ndarray
        (nkpts, 3), fractional) and ``"weights"`` (ndarray (nkpts,));
        ``"scheme"`` (str, e.g. "Gamma", "Monkhorst-Pack", "listgenerated")
        only when the file has a generation recipe, and of the recipe
        ``"divisions"`` (3 ints) and the vectors ``"usershift"``,
        ``"genvec1"``, ``"genvec2"``, ``"genvec3"``, ``"shift"`` (3
        floats each) only where written; ``"labels"`` (list of (0-based
        index, label)) only when the file labels points. vasprun.xml holds no
        labels of a line-mode path: they are in the run's KPOINTS file."""
    @property
    def initial_structure(self) -> Structure:
        """The structure the run started from: a dict with ``"lattice"`` (3
        rows, Å), ``"volume"`` (Å³), ``"positions"`` (one fractional row per
        atom) and ``"species"`` (one symbol per atom), as lists; and, only
        where the file writes them, ``"selective"`` (the selective-dynamics
        flags, three bools per atom: may x, y, z move) and ``"velocities"``
        (one row per atom, Å/fs, as MD runs write them)."""
    @property
    def final_structure(self) -> Structure:
        """The structure the run ended with, as ``initial_structure``. When the
        file has no final one (a run cut off), the structure of its last ionic
        step, or the initial one when it has no step."""
    @property
    def ionic_steps(self) -> list[IonicStep]:
        """One dict per kept ionic step, in file order: ``"structure"`` (as
        ``initial_structure``), the energies ``"e_fr_energy"`` (free energy),
        ``"e_wo_entrp"`` (without entropy) and ``"e_0_energy"`` (sigma -> 0)
        in eV as written (see ``final_energy`` for the mended last one),
        ``"forces"`` (one row of 3 per atom, eV/Å), ``"stress"`` (3x3, kB;
        zeros when the step wrote none), ``"stress_written"`` (bool: whether
        it did; machine-learned MD steps write none), and ``"magnetization"``
        (rows) only when the step has it. The MD energies ``"kinetic"``,
        ``"lattice kinetic"``, ``"nosepot"``, ``"nosekinetic"`` and
        ``"total"`` (eV) follow the three energies where the step writes them.
        ``[]`` when no step is kept."""
    @property
    def eigenvalues(self) -> FloatArray | None:
        """ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy].

        Energies in eV, from the last calculation that has eigenvalues. None
        when ``parse_eigen`` is False or the file has none."""
    @property
    def eigenvalue_shape(self) -> tuple[int, int, int] | None:
        """(nspins, nkpts, nbands) of ``eigenvalues`` as a tuple of int; None when
        ``eigenvalues`` is None."""
    @property
    def projected(self) -> Projected | None:
        """Returns a dict with keys ``"data"`` (ndarray shape
        ``(nspins, nkpts, nbands, nions, norbitals)``) and ``"orbitals"``
        (list of orbital label strings), or ``None`` if not parsed.

        Read only with ``parse_projected=True``; from the last calculation that
        has projections."""
    @property
    def efermi(self) -> float | None:
        """The Fermi energy (eV, float) of the density of states; 0.0 when that
        has none. None when ``parse_dos`` is False or the file has no density
        of states."""
    @property
    def dos(self) -> Dos | None:
        """The density of states of the last calculation that has one: a dict with
        ``"efermi"`` (float, eV), ``"total"`` (``"energies"`` ndarray
        (nedos,) in eV, ``"densities"`` and ``"integrated"`` ndarrays
        (nspins, nedos), states/eV and states) and, only when the file has one,
        ``"partial"`` (``"data"`` ndarray (nspins, nions, norbitals, nedos),
        ``"orbitals"`` list of str). A noncollinear run has 4 spin sets: the
        total, then the magnetisation along x, y, z. None when ``parse_dos`` is
        False or the file has none."""
    @property
    def dielectric(self) -> Dielectric | None:
        """The first dielectric function of the last calculation that has one: a
        dict with ``"energies"`` (ndarray (n,), eV), ``"real"`` and
        ``"imag"`` (ndarrays (rows, 6): xx yy zz xy yz zx as written). Read
        whatever the options; None when no calculation has one (a GW run's
        stand outside its calculation: see ``dielectric_functions``)."""
    @property
    def converged(self) -> bool:
        """True when at least one ionic step is kept and the last one's
        e_fr_energy is not 0.0, which is all it checks: it does not compare the
        run with its convergence criteria. For "did the run converge" use
        ``converged_electronic`` and ``converged_ionic``."""
    @property
    def parameters(self) -> dict[str, IncarValue]:
        """Every parameter of the run (the top-level parameters section, INCAR
        defaults included) as one dict in file order, typed as ``incar`` is.
        Entries under the "response functions" separator do not replace a
        value already read. ``{}`` when the file has none."""
    @property
    def electronic_steps(self) -> list[FloatArray]:
        """One ndarray per kept ionic step, shape (n, 3): e_fr_energy,
        e_wo_entrp and e_0_energy of each electronic step in file order."""
    @property
    def final_energy(self) -> float | None:
        """The last kept step's e_0_energy (eV), mended where VASP 5 wrote it
        wrong: the step's e_fr_energy plus its last electronic step's
        e_0_energy - e_fr_energy, rounded to 8 decimals, when that differs
        by more than 1e-7 eV. ``None`` without kept ionic steps."""
    @property
    def converged_electronic(self) -> bool:
        """Whether the electronic loop of the last kept ionic step converged:
        it took fewer than NELM steps (VASP's 60 when not given). True for
        runs without such a loop (ML_LMLFF, ALGO chi, ALGO Exact with
        NELM 1); a LEPSILON run does not count its response steps."""
    @property
    def converged_ionic(self) -> bool:
        """Whether the ionic loop converged: NSW <= 1, or fewer ionic steps
        than NSW; for molecular dynamics (IBRION 0) and relaxations with
        EDIFFG 0 (IBRION 1, 2), exactly NSW steps. Counts every ionic step
        of the file and, for molecular dynamics, the steps that a machine-
        learned force field predicted (see ``md_steps``)."""
    @property
    def band_gap(self) -> BandGap | None:
        """A dict with keys ``"gap"``, ``"cbm"``, ``"vbm"`` (eV) and
        ``"direct"`` over all spins and k-points (occupied above 1e-8),
        or ``None`` without eigenvalues. vbm is -inf when no state is
        occupied, cbm (and gap) inf when none is empty."""
    @property
    def complete(self) -> bool:
        """Whether the file ends properly (with </modeling>); False for a run
        killed while writing it."""
    @property
    def dielectric_functions(self) -> list[DielectricFunction]:
        """Every dielectric function of the file, in file order: those outside any
        calculation (GW, BSE and RPA runs write them there) and those of the
        last calculation that has any. One dict each: ``"comment"`` (str as
        written, or None), ``"label"`` (``"density"`` for density-density
        or the first one without a comment of a calculation, ``"current"`` for
        current-current or the second one without; otherwise the comment),
        ``"in_calculation"`` (bool), ``"energies"`` (ndarray (n,), eV),
        ``"real"`` and ``"imag"`` (ndarrays (n, 6): xx yy zz xy yz zx). Read
        whatever the options; ``[]`` when the file has none."""
    @property
    def conductivity(self) -> list[Conductivity]:
        """Every conductivity table of the file (optics runs write one per spin),
        chosen as ``dielectric_functions``: one dict each with ``"comment"``
        (str or None), ``"in_calculation"`` (bool), ``"energies"`` (ndarray
        (n,), eV) and ``"data"`` (ndarray (n, 6): xx yy zz xy yz zx). ``[]``
        when the file has none."""
    @property
    def epsilon(self) -> FloatArray | None:
        """The static dielectric tensor of a linear-response run (LEPSILON), with
        local field effects: ndarray (3, 3), the varray "epsilon" of the last
        calculation that has one. None when the file has none."""
    @property
    def epsilon_rpa(self) -> FloatArray | None:
        """The static dielectric tensor in the random-phase approximation (local
        field effects in the Hartree term only): ndarray (3, 3), the varray
        "epsilon_rpa" of the last calculation that has one. None when the
        file has none."""
    @property
    def epsilon_ion(self) -> FloatArray | None:
        """The ionic contribution to the static dielectric tensor: ndarray (3, 3),
        the varray "epsilon_ion" of the last calculation that has one. None
        when the file has none."""
    @property
    def born_charges(self) -> FloatArray | None:
        """The Born effective charges of a linear-response run: ndarray (natoms,
        3, 3), one tensor per atom with its rows as VASP writes them, from the
        last calculation that has them. None when the file has none."""
    @property
    def dynmat(self) -> Dynmat | None:
        """The dynamical matrix of a finite-difference or linear-response run
        (IBRION 5 to 8), as VASP writes it: a dict with ``"hessian"`` (ndarray
        (3n, 3n)), the second derivatives of the energy divided by the square
        roots of the two atoms' masses, with VASP's sign (the negative of the
        mass-weighted force constants: not force constants), in eV/(Å² amu);
        ``"eigenvalues"`` (ndarray (3n,)), its eigenvalues, which are -ω² in
        those units (negative for real modes); ``"eigenvectors"`` (ndarray
        (3n, 3n)), one mode per row. None when the file has none."""
    @property
    def kpoints_opt(self) -> KpointsOpt | None:
        """The second k-point set of VASP 6.3 and later (KPOINTS_OPT) and what was
        computed on it: a dict with ``"kpoints"`` (as ``kpoints``, with the
        divisions where written), ``"eigenvalues"`` (ndarray (nspins, nkpts,
        nbands, 2): energy, occupancy, NaN where the file writes no occupancy)
        with ``parse_eigen``, ``"projected"`` (as ``projected``) with
        ``parse_projected``, ``"dos"`` (as ``dos``, with its own Fermi
        energy) with ``parse_dos``. ``eigenvalues``, ``dos`` and ``efermi`` stay
        the main set's. None when the file has no such set."""
    @property
    def md_steps(self) -> list[MdStep]:
        """Every molecular-dynamics step in file order: the kept ionic steps and
        the steps that a machine-learned force field predicted, which VASP
        writes outside any calculation. One dict each: ``"structure"``, the
        energies ``"e_fr_energy"``, ``"e_wo_entrp"``, ``"e_0_energy"``
        and, where written, ``"kinetic"``, ``"lattice kinetic"``,
        ``"nosepot"``, ``"nosekinetic"``, ``"total"`` (eV),
        ``"forces"`` and ``"predicted"`` (bool). Every predicted step is
        kept whatever ``ionic_step_skip`` and ``ionic_step_offset`` select.
        ``[]`` for a run that is not molecular dynamics."""
    @property
    def generator(self) -> Generator:
        """What the file says of the program that wrote it: a dict of str with
        ``"program"``, ``"version"``, ``"subversion"`` (its build),
        ``"platform"``, ``"date"`` and ``"time"`` (of the run's start),
        each "" when the file does not say."""
    @property
    def electronic_step_energies(self) -> list[list[dict[str, float]]]:
        """Every energy of every electronic step: per kept ionic step a list with
        a dict per electronic step of each named entry of its energy (eV): the
        terms such as ``"alphaZ"``, ``"ewald"``, ``"hartreedc"``,
        ``"XCdc"``, ``"pawpsdc"``, ``"pawaedc"``, ``"eentropy"``,
        ``"bandstr"``, ``"atom"`` in file order, then those of
        ``"e_fr_energy"``, ``"e_wo_entrp"``, ``"e_0_energy"`` written, which
        VASP writes last (all of them for some electronic steps, the three alone
        for the others). A value written as asterisks is NaN.
        ``electronic_steps`` holds the three alone, as arrays."""
    @property
    def trajectory(self) -> Trajectory:
        """The kept ionic steps as NumPy arrays, a row per step (n of them), made
        fresh on each read; natoms is the length of ``atoms``:
        ``"lattice"`` (n, 3, 3), ``"positions"`` (n, natoms, 3; fractional) and
        ``"positions_written"``, ``"volume"`` (n,), ``"forces"`` (n, natoms, 3)
        and ``"forces_written"``, ``"stress"`` (n, 3, 3; kB) and
        ``"stress_written"``, the energies ``"e_fr_energy"``, ``"e_wo_entrp"``,
        ``"e_0_energy"`` (n,) as ``ionic_steps`` has them, the same three of each
        step's last electronic step as ``"last_electronic_e_fr_energy"``,
        ``"last_electronic_e_wo_entrp"``, ``"last_electronic_e_0_energy"`` (n,),
        ``"electronic_step_count"`` (n,) int64, ``"selective"`` (n, natoms, 3)
        bool and ``"selective_written"``, ``"magnetization"`` (n, natoms, 3)
        and ``"magnetization_columns"`` (n,) int64: the width of the step's rows
        (1 to 3; 0 without natoms rows, -1 for rows of another shape). Each
        ``*_written`` is (n,) bool: the step wrote the value, natoms rows of it
        (the stress: three).
        A value a step did not write is NaN (False for flags), as are the last
        electronic energies of a step without electronic steps and the columns
        of the magnetization beyond its width."""
