"""What a user first wants to see of a run file, read with quorvel."""

import sys
from collections import Counter

import quorvel


def formula(atoms: list[str]) -> str:
    counts = Counter(atoms)
    return "".join(f"{element}{n if n > 1 else ''}" for element, n in counts.items())


def main(path: str) -> None:
    run = quorvel.Vasprun(path)
    print(run)
    print(f"program      {run.program} {run.version}")
    print(f"formula      {formula(run.atoms)} ({len(run.atoms)} atoms)")
    print(f"k-points     {len(run.kpoints['weights'])}")
    steps = run.ionic_steps
    print(f"ionic steps  {len(steps)}")
    if steps:
        final = steps[-1]
        print(f"final energy {final['e_0_energy']:.6f} eV (free energy {final['e_fr_energy']:.6f} eV)")
    print(f"converged    {run.converged}")
    if run.efermi is not None:
        print(f"Fermi energy {run.efermi:.4f} eV")
    if run.eigenvalue_shape is not None:
        print(f"eigenvalues  {run.eigenvalue_shape} (spins, k-points, bands)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/sample.xml")
