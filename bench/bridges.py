"""The bridges against the readers of their peers: pymatgen's Vasprun and ASE's vasp-xml reader.

    python bench/bridges.py [--repeat N] [--out DIR]

Times, each in a fresh interpreter and interleaved, the work a user of the
peer does, with the peer's own reader and with quorvel's bridge:

  pymatgen            pymatgen's Vasprun(path, parse_projected_eigen=True), then as_dict() and
                      complete_dos (when the run has a partial DOS)
  quorvel.pymatgen    the same with quorvel.pymatgen.Vasprun
  ase                 ase.io.read(path, ":", format="vasp-xml")
  quorvel.ase         quorvel.ase.read(path, ":")

on the real-shaped 12.6 MB projection run and a 1000-step relaxation (both
made by tools/gen_vasprun.py, see bench/run.py), and prints the medians and
each bridge's speed-up over its peer, measured in the same run. Needs
pymatgen and ASE (pip install 'quorvel[pymatgen,ase]')."""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
import warnings

BENCH = os.path.dirname(os.path.abspath(__file__))

# (input of bench/run.py, case of the peer, case of the bridge)
PAIRS = [
    ("real-shaped", "pymatgen", "quorvel.pymatgen"),
    ("relax-1000", "pymatgen", "quorvel.pymatgen"),
    ("relax-1000", "ase", "quorvel.ase"),
]


def _work(case: str, path: str):
    """The imports of a case, done before its timing, and its work."""
    warnings.simplefilter("ignore")  # pymatgen warns that no POTCAR lies beside the inputs
    if case in ("pymatgen", "quorvel.pymatgen"):
        if case == "pymatgen":
            from pymatgen.io.vasp.outputs import Vasprun
        else:
            from quorvel.pymatgen import Vasprun

        def work():
            run = Vasprun(path, parse_projected_eigen=True)
            return run, run.as_dict(), run.complete_dos if hasattr(run, "pdos") else None
        return work
    if case == "ase":
        import ase.io

        return lambda: ase.io.read(path, ":", format="vasp-xml")
    if case == "quorvel.ase":
        import quorvel.ase

        return lambda: quorvel.ase.read(path, ":")
    raise SystemExit(f"unknown case {case!r}")


def run_case(case: str, path: str) -> float:
    """Runs one case in a fresh interpreter; its wall time in seconds."""
    done = subprocess.run([sys.executable, __file__, "--case", case, path], capture_output=True, text=True,
                          check=True, timeout=600)
    return float(json.loads(done.stdout.strip().splitlines()[-1])["seconds"])


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="fresh-process runs per case (default 5)")
    parser.add_argument("--out", default=os.path.join("bench", "out"), help="results folder (default bench/out)")
    parser.add_argument("--case", nargs=2, metavar=("CASE", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.case:
        work = _work(*args.case)
        start = time.perf_counter()
        work()
        print(json.dumps({"seconds": time.perf_counter() - start}), flush=True)
        os._exit(0)  # tearing the objects down is no part of the work

    sys.path.insert(0, BENCH)
    import run as bench_run

    inputs_dir = os.path.join(args.out, "inputs")
    bench_run.prepare_inputs(sorted({name for name, _, _ in PAIRS}), inputs_dir)
    times: dict[tuple[str, str], list[float]] = {}
    start = os.getloadavg()[0]
    for round_ in range(args.repeat):
        print(f"bridges: round {round_ + 1} of {args.repeat}", file=sys.stderr)
        for name, peer, bridge in PAIRS:
            path = bench_run.input_path(inputs_dir, name)
            bench_run.warm_cache(path)
            for case in (peer, bridge):
                times.setdefault((name, case), []).append(run_case(case, path))
    medians = {key: statistics.median(values) for key, values in times.items()}
    print(f"load average {start:.1f} at the start, {os.getloadavg()[0]:.1f} at the end; "
          f"medians of {args.repeat} fresh-process runs, interleaved")
    print(f"{'input':<12} {'peer':<9} {'peer s':>8} {'bridge':<17} {'bridge s':>9} {'speed-up':>9}")
    rows = []
    for name, peer, bridge in PAIRS:
        ratio = medians[(name, peer)] / medians[(name, bridge)]
        rows.append(dict(input=name, peer=peer, bridge=bridge, peer_seconds=times[(name, peer)],
                         bridge_seconds=times[(name, bridge)], speedup=ratio))
        print(f"{name:<12} {peer:<9} {medians[(name, peer)]:>8.3f} {bridge:<17} "
              f"{medians[(name, bridge)]:>9.3f} {ratio:>8.1f}x")
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "bridges.json"), "w") as f:
        json.dump({"load_average_start": start, "load_average_end": os.getloadavg()[0], "rows": rows}, f, indent=2)


if __name__ == "__main__":
    main()
