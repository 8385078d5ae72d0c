"""What a user first wants to see of a run file, read with quorvel."""

import pathlib
import sys
from collections import Counter

import quorvel


def formula(atoms: list[str]) -> str:
    counts = Counter(atoms)
    return "".join(f"{element}{n if n > 1 else ''}" for element, n in counts.items())


def main(path: pathlib.Path) -> int:
    try:
        run = quorvel.Vasprun(path)
    except FileNotFoundError:
        print(f"demo: no such file: {path}", file=sys.stderr)
        return 1
    print(run)
    print(f"program      {run.program} {run.version}")
    print(f"formula      {formula(run.atoms)} ({len(run.atoms)} atoms)")
    print(f"k-points     {len(run.kpoints['weights'])}")
    steps = run.ionic_steps
    print(f"ionic steps  {len(steps)}")
    if run.final_energy is not None:
        print(f"final energy {run.final_energy:.6f} eV (free energy {steps[-1]['e_fr_energy']:.6f} eV)")
    print(f"converged    electronic {run.converged_electronic}, ionic {run.converged_ionic}")
    if run.efermi is not None:
        print(f"Fermi energy {run.efermi:.4f} eV")
    if run.eigenvalue_shape is not None:
        print(f"eigenvalues  {run.eigenvalue_shape} (spins, k-points, bands)")
    return 0


if __name__ == "__main__":
    sys.exit(max([main(pathlib.Path(arg)) for arg in sys.argv[1:] or ["samples/sample.xml"]]))
