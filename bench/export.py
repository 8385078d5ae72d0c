"""A training set from a tree of runs: `quorvel export` against ASE, and against `quorvel info`.

    .venv/bin/python bench/export.py [--repeat N] [--out DIR]    (or bash bench/run.sh --export ...)

The tree, generated once with tools/gen_vasprun.py into OUT/export-tree (a manifest records
the generator's SHA-256 and the recipe), holds relaxations and molecular-dynamics runs shaped
like real ones: eigenvalues in every ionic step, some files gzipped, spin-polarised
relaxations with magnetic moments. Each case runs in a fresh interpreter, the runs of the
cases interleaved, and reports its wall time and its peak resident memory above the
interpreter with its imports:

info        quorvel info --format csv -j 1 TREE (to /dev/null): reading every file
export      quorvel export TREE -o OUT -j 1
export -j2  the same with two worker threads
ase         per file ase.io.read(path, ":") and ase.io.write(out, frames, format="extxyz"), into one file

Figures: frames/s, MB/s of the output written, the time of ASE over this case's, and this
case's time over `info`'s, all from the medians of the same run.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from run import GENERATOR, MB, file_sha256, load_generator, load_manifest

# 40 relaxations of 8 to 24 atoms (30 ionic steps, 10 k-points) and 20 MD runs of 32 atoms
# (1,000 steps at the Gamma point): 21,200 frames.
_RELAX_SPECIES = ("Si:4,O:8", "Li:2,Fe:2,O:4", "Na:8,Cl:8", "Ti:4,O:8,Sr:4", "Fe:6,O:8", "Al:8,O:12,Mg:4")


def tree_recipe() -> dict[str, dict[str, object]]:
    """Relative path -> the options of write_vasprun."""
    files: dict[str, dict[str, object]] = {}
    for index in range(40):
        species = _RELAX_SPECIES[index % len(_RELAX_SPECIES)]
        spins = 2 if "Fe" in species else 1
        name = f"relax/r{index:02d}/vasprun.xml" + (".gz" if index % 4 == 3 else "")
        files[name] = dict(species=species, spins=spins, magnetization=spins == 2, kpoints=10, steps=30,
                           scsteps=8, bulk_every_step=True, seed=index)
    for index in range(20):
        name = f"md/m{index:02d}/vasprun.xml" + (".gz" if index % 4 == 3 else "")
        files[name] = dict(species="Si:12,O:20", kpoints=1, steps=1000, scsteps=5, md=True, bulk_every_step=True,
                           seed=100 + index)
    return files


def prepare_tree(folder: str, log=print) -> dict[str, object]:
    """Generates the files that are missing or were made by another generator or recipe."""
    manifest_path, manifest = load_manifest(folder)
    generator_sha, write = file_sha256(GENERATOR), None
    for name, options in tree_recipe().items():
        path = os.path.join(folder, name)
        recipe = {"generator_sha256": generator_sha, "options": options}
        if manifest.get(name, {}).get("recipe") == recipe and os.path.exists(path):
            continue
        if write is None:
            write = load_generator()
        log(f"bench: generating {name}")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        partial = os.path.join(os.path.dirname(path), "partial-" + os.path.basename(path))  # .gz: gzipped
        write(partial, **options)
        os.replace(partial, path)
        manifest[name] = {"recipe": recipe, "disk_bytes": os.path.getsize(path)}
        with open(manifest_path, "w") as f:
            json.dump(manifest, f, indent=1)
    return manifest


# ---------------------------------------------------------------------------
# One case in a fresh interpreter
# ---------------------------------------------------------------------------
def _status(key: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def _run_files(tree: str) -> list[str]:
    return sorted(os.path.join(root, name) for root, _, names in os.walk(tree) for name in names
                  if name.startswith("vasprun.xml"))


def child(case: str, tree: str, out: str) -> dict[str, object]:
    if case == "ase":
        import warnings

        import ase.io

        warnings.simplefilter("ignore")  # ASE warns about each file's missing POTCAR details

        def work() -> int:
            frames = 0
            with open(out, "w") as target:
                for path in _run_files(tree):
                    images = ase.io.read(path, ":")
                    ase.io.write(target, images, format="extxyz")
                    frames += len(images)
            return frames
    else:
        import contextlib

        import quorvel.cli

        def work() -> int:
            if case == "info":
                with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
                    status = quorvel.cli.main(["info", "--format", "csv", "-j", "1", tree])
            else:
                status = quorvel.cli.main(["export", tree, "-o", out, "-j", "2" if case == "export -j2" else "1"])
            if status != 0:
                raise SystemExit(f"quorvel {case} exited with {status}")
            return 0

    with open("/proc/self/clear_refs", "w") as f:  # the peak from here on
        f.write("5")
    base = _status("VmRSS")
    start = time.perf_counter()
    frames = work()
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "peak": _status("VmHWM") - base, "frames": frames,
            "out_bytes": os.path.getsize(out) if case != "info" else 0}


def _run_child(case: str, tree: str, out: str, env: dict[str, str] | None) -> dict[str, object]:
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", case, tree, out],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"bench/export.py {case} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


CASES = ("info", "export", "export -j2", "ase")


def measure(out_dir: str, repeat: int, log=print, env: dict[str, str] | None = None
            ) -> tuple[dict[str, object], list[str]]:
    """The four cases on the tree (generated first where needed); env: the environment of the
    cases' interpreters (bench/run.py's points them at its copy of the module)."""
    tree = os.path.join(out_dir, "export-tree")
    prepare_tree(tree, log)
    files = _run_files(tree)
    sizes = [os.path.getsize(p) for p in files]
    runs: dict[str, list[dict[str, object]]] = {case: [] for case in CASES}
    outputs = {case: os.path.join(out_dir, f"export-{case.replace(' ', '')}.xyz") for case in CASES}
    for round_ in range(repeat):  # interleaved, so that drift of the machine hits every case alike
        for case in CASES:
            runs[case].append(_run_child(case, tree, outputs[case], env))
            log(f"bench: export tree, {case}, round {round_ + 1}/{repeat}: {runs[case][-1]['seconds']:.2f} s")
    frames = _count_frames(outputs["export"])
    median = {case: statistics.median(r["seconds"] for r in runs[case]) for case in CASES}
    results = {"files": len(files), "frames": frames, "disk_bytes": sum(sizes), "largest_file_bytes": max(sizes),
               "ase_frames": runs["ase"][0]["frames"], "cases": {}}
    lines = ["", f"export: {len(files)} run files ({sum(sizes) / MB:.0f} MB on disk, the largest "
                 f"{max(sizes) / MB:.1f} MB), {frames} frames; median of {repeat}",
             "| case | median s | frames/s | output MB/s | ASE time / this | this / info | peak MB |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for case in CASES:
        out_bytes = runs[case][0]["out_bytes"]
        peak = max(r["peak"] for r in runs[case])
        entry = {"runs": runs[case], "median_s": median[case], "frames_per_s": frames / median[case],
                 "out_mb_per_s": out_bytes / MB / median[case], "ase_over_this": median["ase"] / median[case],
                 "this_over_info": median[case] / median["info"], "peak_mb": peak / MB, "out_bytes": out_bytes}
        results["cases"][case] = entry
        rate, written = ("-", "-") if case == "info" else (f"{frames / median[case]:.0f}",
                                                           f"{out_bytes / MB / median[case]:.1f}")
        lines.append(f"| {case} | {median[case]:.2f} | {rate} | {written} | {entry['ase_over_this']:.1f} "
                     f"| {entry['this_over_info']:.2f} | {peak / MB:.0f} |")
    return results, lines


def _count_frames(path: str) -> int:
    with open(path) as f:
        return sum(line.startswith("Lattice=") for line in f)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="fresh-process runs per case (default 3)")
    parser.add_argument("--out", default=os.path.join("bench", "out"), help="results folder (default bench/out)")
    args = parser.parse_args(argv)
    out_dir = os.path.abspath(args.out)
    results, lines = measure(out_dir, args.repeat, lambda message: print(message, file=sys.stderr, flush=True))
    print("\n".join(lines))
    with open(os.path.join(out_dir, "export-results.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        sys.stdout.write(json.dumps(child(*sys.argv[2:5])) + "\n")
        sys.stdout.flush()
        os._exit(0)
    sys.exit(main())
