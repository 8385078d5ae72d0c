"""One timed benchmark case, run by bench/run.py in a fresh interpreter.

    python bench/case.py CASE PATH [ARRAY_BYTES]

prints one JSON object on stdout: the wall time of the work alone, the
resident memory after the imports (the baseline) and the peak resident memory
of the process, both from /proc/self/status. The imports a case needs happen
before the baseline is taken; the peak is reset after it (through
/proc/self/clear_refs) so that it reflects the work and not the imports.

Cases:
  read       open(PATH, "rb").read(): the bytes of the file as stored
  floor      the bytes read, then a new NumPy array of ARRAY_BYTES bytes filled
             with ones: what any reader pays that holds the file and the arrays
             of a parse with projections in memory (the floor)
  inflate    the raw bytes read, then gzip.decompress (gzip files only)
  etree      xml.etree.ElementTree.parse(PATH) (uncompressed files only)
  default    quorvel.Vasprun(PATH)
  projected  quorvel.Vasprun(PATH, parse_projected=True)
  all        quorvel.Vasprun(PATH, parse_projected=True), then every one of the
             sixteen properties read once and kept; also reports the bytes of
             all NumPy arrays produced (counted after the timing)
  default-1t, projected-1t, all-1t
             the same with QUORVEL_INFLATE_AHEAD=0: a gzip file inflated whole,
             on one thread, before the parse
  imports    the quorvel imports and nothing else (the instruction-count baseline)
"""

import json
import os
import sys
import time

PROPERTIES = ("program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
              "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi",
              "dos", "dielectric", "converged")


def proc_status():
    """VmRSS and VmHWM of this process in bytes (None where /proc is missing)."""
    values = {"VmRSS": None, "VmHWM": None}
    try:
        with open("/proc/self/status") as f:
            for line in f:
                key = line.split(":", 1)[0]
                if key in values:
                    values[key] = int(line.split()[1]) * 1024
    except OSError:
        pass
    return values


def reset_peak():
    """Set VmHWM back to the current RSS (Linux 4.0 and later); False when not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def array_bytes(value):
    """Sum of nbytes of every NumPy array inside nested dicts, lists and tuples."""
    import numpy as np

    total, stack = 0, [value]
    while stack:
        v = stack.pop()
        if isinstance(v, np.ndarray):
            total += v.nbytes
        elif isinstance(v, dict):
            stack.extend(v.values())
        elif isinstance(v, (list, tuple)):
            stack.extend(v)
    return total


def make_work(case, path, array_bytes=0):
    if case == "read":
        def work():
            with open(path, "rb") as f:
                return f.read()
    elif case == "floor":
        import numpy as np

        # Ordinary pages, as quorvel's arrays have: NumPy's huge pages for
        # large arrays make this fill swing between 0.05 and 0.6 s from one
        # run to the next on the build machine.
        core = getattr(np, "_core", None) or getattr(np, "core", None)
        set_hugepage = getattr(getattr(core, "multiarray", None), "_set_madvise_hugepage", None)
        if set_hugepage is not None:
            set_hugepage(False)

        def work():
            with open(path, "rb") as f:
                data = f.read()
            arrays = np.empty(array_bytes // 8)
            arrays.fill(1.0)
            return data, arrays
    elif case == "inflate":
        import gzip

        def work():
            with open(path, "rb") as f:
                return gzip.decompress(f.read())
    elif case == "etree":
        import xml.etree.ElementTree as ET

        def work():
            return ET.parse(path)
    elif case in ("default", "projected", "all", "imports"):
        import numpy  # noqa: F401  (imported before the baseline, as a user would have it)
        import quorvel

        if case == "default":
            def work():
                return quorvel.Vasprun(path)
        elif case == "projected":
            def work():
                return quorvel.Vasprun(path, parse_projected=True)
        elif case == "all":
            def work():
                run = quorvel.Vasprun(path, parse_projected=True)
                return run, [getattr(run, name) for name in PROPERTIES]
        else:
            def work():
                return None
    else:
        raise SystemExit("unknown case %r" % case)
    return work


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    case, path = sys.argv[1], sys.argv[2]
    if case.endswith("-1t"):
        os.environ["QUORVEL_INFLATE_AHEAD"] = "0"
        case = case[:-3]
    work = make_work(case, path, int(sys.argv[3]) if len(sys.argv) == 4 else 0)
    baseline = proc_status()["VmRSS"]
    peak_reset = reset_peak()
    start = time.perf_counter()
    result = work()
    seconds = time.perf_counter() - start
    status = proc_status()
    out = {"case": sys.argv[1], "path": path, "seconds": seconds, "baseline_rss": baseline,
           "peak_rss": status["VmHWM"], "peak_reset": peak_reset,
           "peak_above_baseline": (status["VmHWM"] - baseline) if baseline and status["VmHWM"] else None}
    if "quorvel" in sys.modules:
        out["quorvel_module"] = sys.modules["quorvel"].__file__
    if case == "all":
        out["array_bytes"] = array_bytes(result[1])
        out["eigenvalue_shape"] = result[0].eigenvalue_shape
    sys.stdout.write(json.dumps(out) + "\n")
    sys.stdout.flush()
    # Leave without tearing the result down: freeing a large tree is not part of any case.
    os._exit(0)


if __name__ == "__main__":
    main()
