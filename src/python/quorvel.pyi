"""Fast reader of VASP vasprun.xml run files."""

from typing import Final, Literal, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

# The optional libraries this build uses; results are the same either way.
build_info: Final[BuildInfo]

# The TypedDicts below describe the shapes of the returned dicts. They exist
# for type checkers only: import them under `typing.TYPE_CHECKING`.

FloatArray = npt.NDArray[np.float64]
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
    labels: list[tuple[int, str]]  # (0-based k-point index, label), only when labelled

class Structure(TypedDict):
    lattice: list[list[float]]  # three rows
    volume: float
    positions: list[list[float]]  # fractional, one row per atom
    species: list[str]

class _IonicStepRequired(TypedDict):
    structure: Structure
    e_fr_energy: float
    e_wo_entrp: float
    e_0_energy: float
    forces: list[list[float]]
    stress: list[list[float]]

class IonicStep(_IonicStepRequired, total=False):
    magnetization: list[list[float]]  # only when the step has it

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

def _restore(header: bytes, /, *arrays: bytes) -> Vasprun:
    """Restores a pickled Vasprun; for pickle only."""

class InternalFault(BaseException):
    """An internal fault of the quorvel reader; please report it."""

@final
class Vasprun:
    """A parsed vasprun.xml: read once, immutable, every property a fresh value."""

    def __new__(
        cls,
        path: str,
        parse_dos: bool = True,
        parse_eigen: bool = True,
        parse_projected: bool = False,
        ionic_step_skip: int | None = None,
        ionic_step_offset: int = 0,
    ) -> Vasprun: ...
    @property
    def program(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def incar(self) -> dict[str, IncarValue]: ...
    @property
    def atoms(self) -> list[str]: ...
    @property
    def atom_types(self) -> list[AtomType]: ...
    @property
    def kpoints(self) -> Kpoints: ...
    @property
    def initial_structure(self) -> Structure: ...
    @property
    def final_structure(self) -> Structure: ...
    @property
    def ionic_steps(self) -> list[IonicStep]: ...
    @property
    def eigenvalues(self) -> FloatArray | None:
        """ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy]."""
    @property
    def eigenvalue_shape(self) -> tuple[int, int, int] | None: ...
    @property
    def projected(self) -> Projected | None:
        """Returns a dict with keys ``"data"`` (ndarray shape
        ``(nspins, nkpts, nbands, nions, norbitals)``) and ``"orbitals"``
        (list of orbital label strings), or ``None`` if not parsed."""
    @property
    def efermi(self) -> float | None: ...
    @property
    def dos(self) -> Dos | None: ...
    @property
    def dielectric(self) -> Dielectric | None: ...
    @property
    def converged(self) -> bool: ...
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
        of the file."""
    @property
    def band_gap(self) -> BandGap | None:
        """A dict with keys ``"gap"``, ``"cbm"``, ``"vbm"`` (eV) and
        ``"direct"`` over all spins and k-points (occupied above 1e-8),
        or ``None`` without eigenvalues."""
    @property
    def complete(self) -> bool:
        """Whether the file ends properly (with </modeling>); False for a run
        killed while writing it."""
