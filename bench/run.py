"""quorvel benchmark: how fast and how lean quorvel reads vasprun.xml files.

Generates its inputs once with tools/gen_vasprun.py into OUT/inputs, times every
case in a fresh interpreter (bench/case.py) several times, prints a table and
writes OUT/results.json (and OUT/throughput.png when matplotlib is importable).
Run it through `bash bench/run.sh`, which installs the current tree first;
see bench/README.md.
"""

from __future__ import annotations

import argparse
import sys
import gzip
import hashlib
import json
import os
import platform
import re
import runpy
import shutil
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
GENERATOR = os.path.join(ROOT, "tools", "gen_vasprun.py")
CASE_SCRIPT = os.path.join(BENCH, "case.py")
MB = 1e6

# The projection-heavy file: 36 ions, 288 bands, 2 spins, 9 orbitals (LORBIT=11);
# the k-points set its size (about 1.9 MB of projections per k-point).
_PROJECTED = dict(species="Fe:12,O:18,Li:6", spins=2, bands=288, projected=True, dos=True, nedos=301,
                  steps=5, magnetization=True)

# name -> what it is; "options" go to write_vasprun, "gzip_of" compresses another input.
INPUTS = {
    "small": dict(about="every section, ~5 MB",
                  options=dict(species="Fe:2,O:3", spins=2, kpoints=62, bands=48, projected=True, dos=True,
                               nedos=1001, dielectric=True, steps=20, magnetization=True)),
    "projected": dict(about="projection-heavy, ~300 MB: 2 spins, 288 bands, 36 ions, 9 orbitals, 155 k-points",
                      options=dict(_PROJECTED, kpoints=155)),
    "dos": dict(about="DOS-heavy, ~100 MB: nedos 20000, partial DOS of 20 ions, 2 spins",
                options=dict(species="Fe:6,Ni:2,O:12", spins=2, kpoints=40, dos=True, nedos=20000, steps=5)),
    "relax": dict(about="long relaxation, ~20 MB: 4000 calculations of an 8-atom cell",
                  options=dict(species="Li:2,Fe:2,O:4", spins=2, kpoints=20, steps=4000, scsteps=6,
                               magnetization=True)),
    # The dimensions of a real projection run of VASP 5.4.1 (12.6 MB), in the formats of its rows.
    "real-shaped": dict(about="shaped like a real projection run, ~12.6 MB: 2 Os + 4 O, 463 k-points, 36 bands,"
                              " 9 orbitals, 1 spin, NEDOS 2000, VASP 5.4.1",
                        options=dict(species="Os:2,O:4", spins=1, kpoints=463, bands=36, projected=True, dos=True,
                                     nedos=2000, steps=1, vasp_version="5.4.1")),
    # For the bridges' benchmark (bench/bridges.py) only: pymatgen and ASE take seconds on the 4000 steps.
    "relax-1000": dict(about="relaxation, ~5 MB: 1000 calculations of an 8-atom cell",
                       options=dict(species="Li:2,Fe:2,O:4", spins=2, kpoints=20, steps=1000, scsteps=6,
                                    magnetization=True)),
    "projected-gz": dict(about="gzip (level 6) of projected", gzip_of="projected"),
    "real-shaped-gz": dict(about="gzip (level 6) of real-shaped", gzip_of="real-shaped"),
    "relax-gz": dict(about="gzip (level 6) of relax", gzip_of="relax"),
    # The many small files of the tree of bench/parallel.py.
    "tiny": dict(about="a short run, ~0.2 MB, many of them in the threads case",
                 options=dict(species="Si:2", spins=1, kpoints=10, bands=16, dos=True, nedos=301, steps=3)),
    # Only for the instruction count under valgrind, which is too slow for 300 MB.
    "projected-30": dict(about="projection-heavy, ~30 MB (instruction count under valgrind)",
                         options=dict(_PROJECTED, kpoints=14)),
}
BENCH_FILES = ["small", "real-shaped", "projected", "dos", "relax", "projected-gz", "real-shaped-gz", "relax-gz"]
QUORVEL_CASES = ["default", "projected", "all"]
# gzip inputs only: the same cases with the file inflated whole on one thread before the parse.
ONE_THREAD_CASES = [case + "-1t" for case in QUORVEL_CASES]
GZIP_LEVEL = 6


def log(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------
def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def load_generator():
    """write_vasprun of tools/gen_vasprun.py."""
    return runpy.run_path(GENERATOR, run_name="gen_vasprun")["write_vasprun"]


def input_path(inputs_dir, name):
    item = INPUTS[name]
    if "gzip_of" in item:
        return os.path.join(inputs_dir, item["gzip_of"] + ".xml.gz")
    return os.path.join(inputs_dir, name + ".xml")


def load_manifest(folder):
    """The path of a folder's manifest.json and what it records ({} when it is missing or unreadable)."""
    os.makedirs(folder, exist_ok=True)
    manifest_path = os.path.join(folder, "manifest.json")
    try:
        with open(manifest_path) as f:
            return manifest_path, json.load(f)
    except (OSError, ValueError):
        return manifest_path, {}


def prepare_inputs(names, inputs_dir):
    """Generate the inputs that are missing or were made with other options; returns the manifest."""
    manifest_path, manifest = load_manifest(inputs_dir)
    generator_sha = file_sha256(GENERATOR)
    generator = None
    wanted = []
    for name in names:  # a gzip input needs its source first
        source = INPUTS[name].get("gzip_of")
        if source and source not in wanted:
            wanted.append(source)
        if name not in wanted:
            wanted.append(name)
    for name in wanted:
        item = INPUTS[name]
        path = input_path(inputs_dir, name)
        recipe = {"generator_sha256": generator_sha}
        if "gzip_of" in item:
            recipe.update(gzip_of=item["gzip_of"], compresslevel=GZIP_LEVEL,
                          source_sha256=manifest[item["gzip_of"]]["sha256"])
        else:
            recipe.update(options=item["options"])
        entry = manifest.get(name)
        if (entry and entry.get("recipe") == recipe and os.path.exists(path)
                and os.path.getsize(path) == entry.get("disk_bytes")):
            continue
        tmp = path + ".tmp"
        start = time.perf_counter()
        if "gzip_of" in item:
            source = input_path(inputs_dir, item["gzip_of"])
            log("bench: compressing %s -> %s" % (os.path.basename(source), os.path.basename(path)))
            with open(source, "rb") as src, open(tmp, "wb") as raw:
                with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=GZIP_LEVEL, mtime=0) as gz:
                    shutil.copyfileobj(src, gz, 1 << 20)
            xml_bytes = manifest[item["gzip_of"]]["xml_bytes"]
        else:
            log("bench: generating %s (%s)" % (os.path.basename(path), item["about"]))
            if generator is None:
                generator = load_generator()
            generator(tmp, **item["options"])
            xml_bytes = os.path.getsize(tmp)
        os.replace(tmp, path)
        manifest[name] = dict(file=os.path.basename(path), about=item["about"], recipe=recipe,
                              xml_bytes=xml_bytes, disk_bytes=os.path.getsize(path), sha256=file_sha256(path),
                              seconds=round(time.perf_counter() - start, 2))
        with open(manifest_path, "w") as f:
            json.dump(manifest, f, indent=2)
            f.write("\n")
    return manifest


def warm_cache(path):
    with open(path, "rb") as f:
        while f.read(8 << 20):
            pass


# ---------------------------------------------------------------------------
# Running cases
# ---------------------------------------------------------------------------
# The environment of every case process; PYTHONPATH points at the copy of the module (see snapshot_module).
CHILD_ENV = dict(os.environ)
MODULE_DIR = None


def run_case(case, path, array_bytes=None):
    extra = [str(array_bytes)] if array_bytes is not None else []
    proc = subprocess.run([sys.executable, CASE_SCRIPT, case, path] + extra, capture_output=True, text=True,
                          timeout=1800, env=CHILD_ENV)
    if proc.returncode != 0:
        raise RuntimeError("case %s on %s failed (exit %d):\n%s" % (case, path, proc.returncode,
                                                                   proc.stderr.strip()))
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    module = result.get("quorvel_module")
    if module and MODULE_DIR and not os.path.abspath(module).startswith(MODULE_DIR + os.sep):
        raise RuntimeError("case %s imported quorvel from %s, not from the copy in %s" % (case, module, MODULE_DIR))
    return result


def cases_for(name):
    if INPUTS[name].get("gzip_of"):
        return ["read", "inflate"] + QUORVEL_CASES + ONE_THREAD_CASES
    # `floor` needs the array bytes that `all` reports, so it runs after it.
    return ["read", "etree"] + QUORVEL_CASES + ["floor"]


def bench_file(name, manifest, inputs_dir, repeat, etree_medians):
    path = input_path(inputs_dir, name)
    entry = manifest[name]
    source = INPUTS[name].get("gzip_of")
    cases = cases_for(name)
    # ElementTree reads the uncompressed source of a gzip file, unless that was timed already.
    etree_on = None
    if source and source not in etree_medians:
        etree_on = input_path(inputs_dir, source)
        cases = cases + ["etree"]
    warm_cache(path)
    if etree_on:
        warm_cache(etree_on)
    runs = {case: [] for case in cases}
    for rep in range(repeat):  # interleaved, so that drift of the machine hits every case alike
        for case in cases:
            target = etree_on if (case == "etree" and etree_on) else path
            result = run_case(case, target, runs["all"][0]["array_bytes"] if case == "floor" else None)
            runs[case].append(result)
            log("bench: %-13s %-9s run %d/%d  %8.3f s  peak +%.0f MB"
                % (name, case, rep + 1, repeat, result["seconds"], (result["peak_above_baseline"] or 0) / MB))
    array_bytes = runs["all"][0]["array_bytes"]
    xml_bytes = entry["xml_bytes"]
    if "etree" in runs:
        etree_medians[source or name] = statistics.median(r["seconds"] for r in runs["etree"])
    etree_median = etree_medians.get(source or name)
    read_median = statistics.median(r["seconds"] for r in runs["read"])
    out_cases = {}
    for case in cases:
        seconds = [r["seconds"] for r in runs[case]]
        peaks = [r["peak_above_baseline"] for r in runs[case] if r["peak_above_baseline"] is not None]
        median = statistics.median(seconds)
        peak = max(peaks) if peaks else None
        limit = 1.1 * (xml_bytes + array_bytes) + 50 * MB
        out_cases[case] = dict(
            median_s=median, min_s=min(seconds), max_s=max(seconds), times_s=seconds,
            mb_per_s=xml_bytes / MB / median if median > 0 else None,
            ratio_to_etree=(etree_median / median) if etree_median and median > 0 else None,
            ratio_to_read=(median / read_median) if read_median > 0 else None,
            peak_rss_above_baseline_mb=peak / MB if peak is not None else None,
            peak_rss_runs_mb=[p / MB for p in peaks],
            baseline_rss_mb=statistics.median(r["baseline_rss"] for r in runs[case]) / MB,
            peak_per_input=(peak / (xml_bytes + array_bytes)) if peak is not None else None,
            memory_over_limit=(case in QUORVEL_CASES + ONE_THREAD_CASES and peak is not None and peak > limit),
            peak_reset=all(r["peak_reset"] for r in runs[case]),
            on=os.path.basename(etree_on) if (case == "etree" and etree_on) else os.path.basename(path))
    return dict(file=os.path.basename(path), about=INPUTS[name]["about"], xml_bytes=xml_bytes,
                disk_bytes=entry["disk_bytes"], array_bytes=array_bytes,
                eigenvalue_shape=runs["all"][0].get("eigenvalue_shape"),
                etree_median_s=etree_median, recipe=entry["recipe"], cases=out_cases)


# ---------------------------------------------------------------------------
# Instruction count
# ---------------------------------------------------------------------------
# One BLAS thread: OpenBLAS's idle threads otherwise add a varying count; fixed hash seed.
_COUNT_ENV = dict(PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")


def _perf_instructions(command):
    if not shutil.which("perf"):
        return None
    proc = subprocess.run(["perf", "stat", "-x,", "-e", "instructions:u", "--"] + command,
                          capture_output=True, text=True, env=dict(CHILD_ENV, **_COUNT_ENV))
    if proc.returncode != 0:
        return None
    for line in proc.stderr.splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[2].startswith("instructions") and fields[0].strip().isdigit():
            return int(fields[0])
    return None


def _callgrind_instructions(command, out_file):
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file] + command,
                          capture_output=True, text=True, env=dict(CHILD_ENV, **_COUNT_ENV))
    if proc.returncode != 0:
        raise RuntimeError("valgrind failed:\n" + proc.stderr[-2000:])
    match = re.search(r"Collected\s*:\s*(\d+)", proc.stderr)
    if not match:
        raise RuntimeError("no instruction count in valgrind's output:\n" + proc.stderr[-2000:])
    return int(match.group(1))


def perf_counts_instructions():
    return _perf_instructions(["true"]) is not None


def count_instructions(inputs_dir, out_dir, use_perf):
    """Instructions of one parse_projected=True construction of the projection-heavy file.

    With perf: the ~300 MB file; otherwise valgrind's callgrind on the ~30 MB one.
    The same process with only the imports is counted too; `net` is the difference.
    """
    case = [sys.executable, CASE_SCRIPT]
    if use_perf:
        path = input_path(inputs_dir, "projected")
        total = _perf_instructions(case + ["projected", path])
        base = _perf_instructions(case + ["imports", path])
        if total is None or base is None:
            raise RuntimeError("perf stat gave no instruction count for %s" % path)
        return dict(tool="perf stat -e instructions:u", input="projected", file=os.path.basename(path),
                    total=total, imports_only=base, net=total - base)
    path = input_path(inputs_dir, "projected-30")
    log("bench: perf stat reports no instruction count here; counting with valgrind --tool=callgrind"
        " on %s" % os.path.basename(path))
    total = _callgrind_instructions(case + ["projected", path], os.path.join(out_dir, "callgrind.out.projected"))
    base = _callgrind_instructions(case + ["imports", path], os.path.join(out_dir, "callgrind.out.imports"))
    return dict(tool="valgrind --tool=callgrind", input="projected-30", file=os.path.basename(path),
                total=total, imports_only=base, net=total - base,
                note="perf stat -e instructions:u reports no count on this machine")


# ---------------------------------------------------------------------------
# Machine, table, plot
# ---------------------------------------------------------------------------
def _git(*args):
    try:
        return subprocess.run(["git", "-C", ROOT] + list(args), capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None


def _loadavg():
    try:
        with open("/proc/loadavg") as f:
            return [float(x) for x in f.read().split()[:3]]
    except OSError:
        return None


def _probe(env):
    """[numpy version, quorvel version, module file, build_info] of the quorvel that `env` imports."""
    probe = subprocess.run([sys.executable, "-c", "import json, importlib.metadata as m, numpy, quorvel;"
                            "print(json.dumps([numpy.__version__, m.version('quorvel'), quorvel.__file__,"
                            " getattr(quorvel, 'build_info', None)]))"],
                           capture_output=True, text=True, env=env)
    if probe.returncode != 0:
        raise SystemExit("quorvel is not importable with %s:\n%s" % (sys.executable, probe.stderr))
    return json.loads(probe.stdout)


def snapshot_module(module, out_dir):
    """Copy the installed quorvel to OUT/module and have every case import that copy.

    Another build installed into the same .venv during the run then cannot mix
    two builds into one set of results.
    """
    global MODULE_DIR
    MODULE_DIR = os.path.join(out_dir, "module")
    shutil.rmtree(MODULE_DIR, ignore_errors=True)
    os.makedirs(MODULE_DIR)
    if os.path.basename(module).startswith("__init__."):  # a package: copy its folder
        package = os.path.dirname(module)
        shutil.copytree(package, os.path.join(MODULE_DIR, os.path.basename(package)))
        site = os.path.dirname(package)
    else:
        shutil.copy2(module, MODULE_DIR)
        site = os.path.dirname(module)
    # The libraries a repaired wheel carries beside the package (ISA-L's), found through its RPATH.
    libs = os.path.join(site, "quorvel.libs")
    if os.path.isdir(libs):
        shutil.copytree(libs, os.path.join(MODULE_DIR, "quorvel.libs"))
    CHILD_ENV["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR, os.environ.get("PYTHONPATH")) if p)
    copied = _probe(CHILD_ENV)[2]
    if not os.path.abspath(copied).startswith(MODULE_DIR + os.sep):
        raise SystemExit("the copy of quorvel in %s is not the one imported (%s)" % (MODULE_DIR, copied))
    return copied


def module_env(folder):
    """The environment that imports quorvel from `folder` (None: the installed quorvel)."""
    if folder is None:
        return dict(os.environ)
    folder = os.path.abspath(folder)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (folder, os.environ.get("PYTHONPATH")) if p))
    module = _probe(env)[2]
    if not os.path.abspath(module).startswith(folder + os.sep):
        raise SystemExit("--module %s: quorvel is imported from %s, not from that folder" % (folder, module))
    return env


def machine_info(env):
    info = {"cpu": None, "nproc": os.cpu_count(), "mem_total_mb": None, "kernel": platform.release(),
            "python": sys.version.split()[0], "python_executable": sys.executable}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal"):
                    info["mem_total_mb"] = int(line.split()[1]) * 1024 / MB
    except OSError:
        pass
    info["numpy"], info["quorvel"], module, info["quorvel_build_info"] = _probe(env)
    info["quorvel_module"] = module
    info["quorvel_module_mtime"] = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(os.path.getmtime(module)))
    info["quorvel_module_sha256"] = file_sha256(module)
    info["git_commit"] = _git("rev-parse", "HEAD")
    changed = _git("status", "--porcelain", "--", "src", "CMakeLists.txt", "pyproject.toml")
    info["git_tree_changed"] = bool(changed)
    return info


def _fmt(value, fmt, missing="-"):
    return missing if value is None else fmt % value


def format_gzip_ratios(results):
    """Each gzip input against its plain twin timed in the same run: the gzip file read as it is
    (inflated ahead of the parse), and inflated whole on one thread first (-1t)."""
    lines = []
    for name, res in results["files"].items():
        source = res["recipe"].get("gzip_of")
        plain = results["files"].get(source)
        if not source or plain is None:
            continue
        lines += ["", "%s against %s, medians of this run:" % (name, source),
                  "  case       gz s    1t s    plain s  gz/plain  1t/plain  gz/1t"]
        for case in QUORVEL_CASES:
            gz, one, flat = (res["cases"].get(case), res["cases"].get(case + "-1t"), plain["cases"].get(case))
            if gz is None or one is None or flat is None:
                continue
            lines.append("  %-9s %6.3f  %6.3f  %7.3f  %8.2f  %8.2f  %5.2f"
                         % (case, gz["median_s"], one["median_s"], flat["median_s"],
                            gz["median_s"] / flat["median_s"], one["median_s"] / flat["median_s"],
                            gz["median_s"] / one["median_s"]))
    return lines


def format_table(results):
    header = ("case", "median s", "MB/s", "x etree", "t/read", "peak MB", "peak/(file+arr)", "runs")
    lines = []
    for name, res in results["files"].items():
        lines.append("")
        lines.append("%s: %s" % (name, res["about"]))
        lines.append("  %s: %.1f MB XML, %.1f MB on disk, arrays %.1f MB (parse_projected=True)"
                     % (res["file"], res["xml_bytes"] / MB, res["disk_bytes"] / MB, res["array_bytes"] / MB))
        source = res["recipe"].get("gzip_of")
        if source:
            lines.append("  x etree: against ElementTree.parse of the uncompressed %s (%s s)"
                         % (source, _fmt(res["etree_median_s"], "%.3f")))
        rows = [header]
        for case, c in res["cases"].items():
            label = case if not (case == "etree" and c["on"] != res["file"]) else "etree (%s)" % c["on"]
            rows.append((label, "%.3f" % c["median_s"], _fmt(c["mb_per_s"], "%.0f"),
                         _fmt(c["ratio_to_etree"], "%.2f"), _fmt(c.get("ratio_to_read"), "%.2f"),
                         _fmt(c["peak_rss_above_baseline_mb"], "%.0f") + (" !" if c["memory_over_limit"] else ""),
                         _fmt(c["peak_per_input"], "%.2f"), str(len(c["times_s"]))))
        widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
        for i, row in enumerate(rows):
            cells = [row[0].ljust(widths[0])] + [row[j].rjust(widths[j]) for j in range(1, len(row))]
            lines.append("  " + "  ".join(cells))
            if i == 0:
                lines.append("  " + "  ".join("-" * w for w in widths))
    lines += format_gzip_ratios(results)
    inst = results.get("instructions")
    if inst:
        lines.append("")
        lines.append("instructions (%s), Vasprun(parse_projected=True) of %s: %s for the parse"
                     " (%s in all, %s for the imports alone)"
                     % (inst["tool"], inst["file"], format(inst["net"], ","), format(inst["total"], ","),
                        format(inst["imports_only"], ",")))
    if any(c["memory_over_limit"] for r in results["files"].values() for c in r["cases"].values()):
        lines.append("")
        lines.append("! peak above 1.1 x (XML + arrays) + 50 MB")
    return "\n".join(lines)


def plot(results, path):
    """Throughput per file and case as grouped horizontal bars; False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    names = list(results["files"])
    present = {case for res in results["files"].values() for case in res["cases"]}
    cases = [case for case in ["read", "floor", "inflate", "etree"] + QUORVEL_CASES + ONE_THREAD_CASES
             if case in present]
    fig, ax = plt.subplots(figsize=(9, 1.2 + 1.1 * len(names)))
    height = 0.8 / len(cases)
    for j, case in enumerate(cases):
        ys, xs = [], []
        for i, name in enumerate(names):
            c = results["files"][name]["cases"].get(case)
            if c and c["mb_per_s"]:
                ys.append(i + (j - (len(cases) - 1) / 2) * height)
                xs.append(c["mb_per_s"])
        if xs:
            ax.barh(ys, xs, height=height, label=case)
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels(names)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("MB/s of uncompressed XML (median of %d runs)" % results["options"]["repeat"])
    ax.set_title("quorvel %s (%s)" % (results["machine"].get("quorvel"), (results["machine"].get("git_commit") or "")[:10]))
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="only the small file, one repetition, no instruction count (what CI runs)")
    p.add_argument("--repeat", type=int, default=5, help="fresh-process runs per case (default 5)")
    p.add_argument("--cases", nargs="+", metavar="FILE",
                   help="input files to benchmark, by name (also comma-separated): %s" % ", ".join(BENCH_FILES))
    p.add_argument("--out", default=os.path.join("bench", "out"), help="results folder (default bench/out)")
    p.add_argument("--no-instructions", action="store_true", help="skip the instruction count")
    p.add_argument("--parallel", action="store_true",
                   help="also the threads and pickle cases of bench/parallel.py")
    p.add_argument("--export", action="store_true",
                   help="also the training-set export of bench/export.py (quorvel export against ASE)")
    p.add_argument("--module", metavar="DIR",
                   help="time the quorvel found in DIR (e.g. one installed with pip install --target DIR) instead"
                        " of the installed one")
    a = p.parse_args(argv)

    if a.quick:
        names, repeat, instructions = ["small"], 1, False
    else:
        names = BENCH_FILES
        if a.cases:
            names = [n for item in a.cases for n in item.split(",") if n]
        repeat, instructions = a.repeat, not a.no_instructions
    unknown = [n for n in names if n not in BENCH_FILES]
    if unknown or repeat < 1:
        p.error("unknown input(s) %s; choose from %s" % (", ".join(unknown), ", ".join(BENCH_FILES))
                if unknown else "--repeat must be at least 1")

    started = time.time()
    out_dir = os.path.abspath(a.out)
    inputs_dir = os.path.join(out_dir, "inputs")
    machine = machine_info(module_env(a.module))
    machine["quorvel_module_copy"] = snapshot_module(machine["quorvel_module"], out_dir)
    machine["loadavg_start"] = _loadavg()
    use_perf = instructions and perf_counts_instructions()
    if instructions and not use_perf and not shutil.which("valgrind"):
        log("bench: no instruction count: perf stat gives none here and valgrind is not installed")
        instructions = False
    needed = list(names)
    if a.parallel:
        import parallel
        needed += [n for n in parallel.THREAD_INPUTS + (parallel.PICKLE_INPUT,) if n not in needed]
    if instructions:
        needed.append("projected" if use_perf else "projected-30")
    manifest = prepare_inputs(needed, inputs_dir)

    results = dict(started=time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(started)), machine=machine,
                   options=dict(repeat=repeat, quick=a.quick, files=names), files={})
    etree_medians = {}
    for name in names:
        results["files"][name] = bench_file(name, manifest, inputs_dir, repeat, etree_medians)
    parallel_lines = []
    if a.parallel:
        wanted = parallel.THREAD_INPUTS + (parallel.PICKLE_INPUT,)
        results["parallel"], parallel_lines = parallel.measure(
            {n: input_path(inputs_dir, n) for n in wanted}, repeat, CHILD_ENV, log)
    export_lines = []
    if a.export:
        import export
        results["export"], export_lines = export.measure(out_dir, repeat, log, CHILD_ENV)
    if instructions:
        results["instructions"] = count_instructions(inputs_dir, out_dir, use_perf)
    results["machine"]["loadavg_end"] = _loadavg()
    results["duration_s"] = round(time.time() - started, 1)

    table = format_table(results)
    built = machine["quorvel_build_info"] or {}
    print("quorvel %s (%s%s; gzip: %s, floats: %s), Python %s, numpy %s, %s x %s"
          % (machine["quorvel"], (machine["git_commit"] or "?")[:10], ", tree changed" if machine["git_tree_changed"] else "",
             built.get("gzip", "?"), built.get("floats", "?"), machine["python"], machine["numpy"], machine["nproc"],
             machine["cpu"]))
    print(table)
    for line in parallel_lines + export_lines:
        print(line)
    os.makedirs(out_dir, exist_ok=True)
    history = os.path.join(out_dir, "history")
    os.makedirs(history, exist_ok=True)
    stamp = "%s-%s%s" % (time.strftime("%Y%m%d-%H%M%S", time.localtime(started)), (machine["git_commit"] or "nogit")[:10],
                         "-quick" if a.quick else "")
    for path in (os.path.join(out_dir, "results.json"), os.path.join(history, stamp + ".json")):
        with open(path, "w") as f:
            json.dump(results, f, indent=2)
            f.write("\n")
    plotted = plot(results, os.path.join(out_dir, "throughput.png"))
    print("\nresults: %s%s; %.0f s in all" % (os.path.join(out_dir, "results.json"),
                                             ", plot: throughput.png" if plotted else "", results["duration_s"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
