"""Many files at once, and results that travel: the two benchmark cases of bench/run.py
--parallel.

threads  a tree of mixed sizes (many small files and a few large ones, in a fixed shuffled
         order) parsed (parse_projected=True) by a pool of 1, 2 and as many threads as
         cores, in three rounds; the speed-up of each round is its 1-thread time over its
         n-thread time, and every round is reported.
pickle   the record of the projection-heavy file pickled and unpickled in memory, with
         protocol 4 and protocol 5 (in-band), and with protocol 5's buffers out of band,
         handed to loads as they are and as bytearrays (as a transport that receives into
         writable memory hands them, which the restored record copies): MB/s of the
         record's arrays, and the peak memory of the round trip above the record itself,
         as a multiple of the arrays' bytes.

Each measurement runs in a fresh interpreter (this file, with --child).
"""

import json
import os
import statistics
import subprocess
import sys
import time

# The tree: (input, how many files of it).
THREAD_TREE = (("tiny", 160), ("small", 6), ("real-shaped", 4), ("relax", 2), ("projected-30", 2))
THREAD_INPUTS = tuple(name for name, _ in THREAD_TREE)
THREAD_ROUNDS = 3
PICKLE_INPUT = "projected"


def _status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def child_threads(paths, threads):
    from concurrent.futures import ThreadPoolExecutor
    import quorvel

    def read(path):
        return quorvel.Vasprun(path, parse_projected=True)

    start, cpu = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(read, paths))
    return {"seconds": time.perf_counter() - start, "cpu_seconds": time.process_time() - cpu}


def child_pickle(path, how):
    import pickle
    import numpy as np
    import quorvel

    run = quorvel.Vasprun(path, parse_projected=True)
    stack, arrays = [run.eigenvalues, run.projected, run.dos, run.dielectric], 0
    while stack:  # the bytes of every array the record holds
        value = stack.pop()
        if isinstance(value, np.ndarray):
            arrays += value.nbytes
        elif isinstance(value, dict):
            stack.extend(value.values())
    stack = None
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = _status("VmRSS")
    buffers = [] if how.startswith("out-of-band") else None
    protocol = 4 if how == "protocol 4" else 5
    start = time.perf_counter()
    data = pickle.dumps(run, protocol=protocol, buffer_callback=None if buffers is None else buffers.append)
    dumped = time.perf_counter()
    if how == "out-of-band, bytearray":  # the transport's copy, not timed
        buffers = [bytearray(b) for b in buffers]
    loading = time.perf_counter()
    back = pickle.loads(data, buffers=buffers)
    loaded = time.perf_counter()
    assert back.eigenvalue_shape == run.eigenvalue_shape
    return {"dumps": dumped - start, "loads": loaded - loading, "arrays": arrays, "pickle_bytes": len(data),
            "peak": _status("VmHWM") - base}


def _child(argv):
    what = argv[0]
    out = child_threads(argv[2:], int(argv[1])) if what == "threads" else child_pickle(argv[1], argv[2])
    sys.stdout.write(json.dumps(out) + "\n")
    sys.stdout.flush()
    os._exit(0)


def _run(args, env):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"] + args, capture_output=True,
                          text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError("bench/parallel.py failed:\n" + proc.stderr[-2000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def make_tree(paths_by_name):
    """The files of THREAD_TREE, each a link of its own to its input, in a fixed shuffled order."""
    import random
    folder = os.path.join(os.path.dirname(paths_by_name[THREAD_INPUTS[0]]), "tree")
    os.makedirs(folder, exist_ok=True)
    files = []
    for name, count in THREAD_TREE:
        source = paths_by_name[name]
        for i in range(count):
            path = os.path.join(folder, "%s-%03d.xml" % (name, i))
            if not os.path.exists(path) or not os.path.samefile(path, source):
                if os.path.exists(path):
                    os.remove(path)
                try:
                    os.link(source, path)
                except OSError:
                    import shutil
                    shutil.copyfile(source, path)
            files.append(path)
    random.Random(0).shuffle(files)
    return files


def measure(paths_by_name, repeat, env, log=print):
    """The two cases; returns the results and the lines of their table."""
    cores = os.cpu_count() or 1
    counts = sorted({1, 2, cores})
    files = make_tree(paths_by_name)
    total_mb = sum(os.path.getsize(p) for p in files) / 1e6
    threads, cpu = {}, {}
    for round_ in range(THREAD_ROUNDS):
        for n in counts:
            result = _run(["threads", str(n)] + files, env)
            threads.setdefault(n, []).append(result["seconds"])
            cpu.setdefault(n, []).append(result["cpu_seconds"])
            log("bench: threads %d, round %d/%d: %.3f s (user+sys %.3f s)"
                % (n, round_ + 1, THREAD_ROUNDS, threads[n][-1], cpu[n][-1]))
    median = {n: statistics.median(times) for n, times in threads.items()}
    speedups = {n: [one / many for one, many in zip(threads[1], threads[n])] for n in counts}
    results = {"threads": {"files": len(files), "tree": THREAD_TREE, "xml_mb": round(total_mb, 1),
                           "runs": threads, "cpu_s": cpu, "median_s": median, "speedup_per_round": speedups,
                           "speedup": {n: median[1] / median[n] for n in counts}}}
    pickles = {}
    for round_ in range(repeat):
        for how in ("protocol 4", "protocol 5", "out-of-band", "out-of-band, bytearray"):
            pickles.setdefault(how, []).append(_run(["pickle", paths_by_name[PICKLE_INPUT], how], env))
            log("bench: pickle %s, round %d/%d" % (how, round_ + 1, repeat))
    results["pickle"] = {}
    lines = ["", "threads: a tree of %d files (%s; %.0f MB), parse_projected=True; each of %d rounds" %
             (len(files), ", ".join("%d %s" % (count, name) for name, count in THREAD_TREE), total_mb, THREAD_ROUNDS),
             "| threads | " + " | ".join("round %d s (speed-up)" % (r + 1) for r in range(THREAD_ROUNDS)) +
             " | median s | MB/s | median user+sys s |", "|---:|" + "---:|" * (THREAD_ROUNDS + 3)]
    for n in counts:
        lines.append("| %d | %s | %.3f | %.0f | %.3f |" % (
            n, " | ".join("%.3f (%.2f)" % (t, s) for t, s in zip(threads[n], speedups[n])), median[n],
            total_mb / median[n], statistics.median(cpu[n])))
    lines += ["", "pickle of the %s record (arrays %.0f MB); median of %d" %
              (PICKLE_INPUT, pickles["protocol 4"][0]["arrays"] / 1e6, repeat),
              "| how | dumps s | dumps MB/s | loads s | loads MB/s | pickle / arrays | round-trip peak / arrays |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for how, runs in pickles.items():
        arrays = runs[0]["arrays"]
        dumps = statistics.median(r["dumps"] for r in runs)
        loads = statistics.median(r["loads"] for r in runs)
        peak = max(r["peak"] for r in runs)
        results["pickle"][how] = {"runs": runs, "dumps_s": dumps, "loads_s": loads, "arrays": arrays,
                                  "dumps_mb_s": arrays / dumps / 1e6, "loads_mb_s": arrays / loads / 1e6,
                                  "peak_over_arrays": peak / arrays}
        lines.append("| %s | %.3f | %.0f | %.3f | %.0f | %.3f | %.2f |" %
                     (how, dumps, arrays / dumps / 1e6, loads, arrays / loads / 1e6,
                      runs[0]["pickle_bytes"] / arrays, peak / arrays))
    return results, lines


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        _child(sys.argv[2:])
    raise SystemExit(__doc__)
