"""Summarise every VASP run file under a folder with Dask, one CSV row per file.

    python examples/dask_summary.py RUNS... [-o summary.csv] [--scheduler ADDRESS] [--workers N] [--whole]

RUNS are files or folders, searched as `quorvel info` searches them. Without
--scheduler a LocalCluster of N worker processes (default: the number of cores)
starts on this machine; with it, the files are read by the workers of an existing
cluster (which must see the same paths). The workers send back small summaries,
or with --whole the Vasprun objects themselves (a Vasprun pickles as its raw
arrays), summarised here. A file that cannot be read gets a row with its error
text; the others go on.
"""

from __future__ import annotations

import argparse
import collections
import csv
import os
import sys
from typing import Any

COLUMNS = ("path", "formula", "ionic_steps", "final_energy", "converged_electronic", "converged_ionic",
           "band_gap", "error")


def read(path: str, whole: bool) -> Any:
    """On a worker: the file's Vasprun (whole) or its row; the error text for a file
    that cannot be read."""
    import quorvel
    try:
        run = quorvel.Vasprun(path, parse_dos=False)
    except (RuntimeError, OSError, MemoryError) as error:
        return str(error)
    return run if whole else summary(path, run)


def summary(path: str, run: Any) -> dict[str, Any]:
    counts = collections.Counter(run.atoms)
    gap = run.band_gap
    return {"path": path, "formula": "".join(f"{e}{n if n > 1 else ''}" for e, n in counts.items()),
            "ionic_steps": len(run.ionic_steps), "final_energy": run.final_energy,
            "converged_electronic": run.converged_electronic, "converged_ionic": run.converged_ionic,
            "band_gap": None if gap is None else gap["gap"], "error": None}


def row(path: str, result: Any) -> dict[str, Any]:
    if isinstance(result, str):
        return dict.fromkeys(COLUMNS) | {"path": path, "error": result}
    return result if isinstance(result, dict) else summary(path, result)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("runs", nargs="+", metavar="RUNS", help="run files, or folders to search for them")
    parser.add_argument("-o", "--output", default="-", help="the CSV file to write (default: standard output)")
    parser.add_argument("--scheduler", help="the address of an existing Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: the number of cores)")
    parser.add_argument("--whole", action="store_true", help="send the Vasprun objects back, not summaries")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster
    from quorvel.cli.files import expand_arguments

    paths, problems = expand_arguments(args.runs)
    for problem in problems:
        print(f"dask_summary: {problem}", file=sys.stderr)
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        results = client.gather(client.map(read, paths, whole=args.whole, pure=False))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    out = sys.stdout if args.output == "-" else open(args.output, "w", newline="")
    try:
        writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
        writer.writeheader()
        rows = [row(path, result) for path, result in zip(paths, results)]
        writer.writerows({key: "" if value is None else value for key, value in r.items()} for r in rows)
    finally:
        if out is not sys.stdout:
            out.close()
    return 1 if problems or any(r["error"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
