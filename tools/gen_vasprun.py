"""Generate synthetic but realistic VASP vasprun.xml run files for quorvel's tests, demos and benchmarks.
Values are made up yet deterministic per --seed; layout and fixed-width number formats follow VASP 6.4.2.
Example: python tools/gen_vasprun.py /tmp/big.xml.gz --species Fe:2,O:2 --spins 2 --dos --projected --target-mb 300
"""
from __future__ import annotations

import argparse
import gzip
import math
import os
import re
import sys
import time
import zlib

try:  # numpy only speeds up the bulk sections; the output is the same without it
    import numpy as np
except ImportError:  # pragma: no cover - exercised by use_numpy=False
    np = None

# ---------------------------------------------------------------------------
# Element data: mass, valence (ZVAL), POTCAR title, typical moment (mu_B),
# weight of d character, energy per atom (eV).
# ---------------------------------------------------------------------------
_ELEMENTS = {
    "H": (1.000, 1, "PAW_PBE H 15Jun2001", 0.0, 0.0, -3.4),
    "Li": (7.010, 3, "PAW_PBE Li_sv 10Sep2004", 0.0, 0.05, -1.9),
    "Be": (9.013, 2, "PAW_PBE Be 06Sep2000", 0.0, 0.05, -3.7),
    "B": (10.811, 3, "PAW_PBE B 06Sep2000", 0.0, 0.05, -6.7),
    "C": (12.011, 4, "PAW_PBE C 08Apr2002", 0.0, 0.05, -9.2),
    "N": (14.001, 5, "PAW_PBE N 08Apr2002", 0.0, 0.05, -8.3),
    "O": (16.000, 6, "PAW_PBE O 08Apr2002", 0.0, 0.05, -4.9),
    "F": (18.998, 7, "PAW_PBE F 08Apr2002", 0.0, 0.05, -1.9),
    "Na": (22.990, 7, "PAW_PBE Na_pv 19Sep2006", 0.0, 0.05, -1.3),
    "Mg": (24.305, 2, "PAW_PBE Mg 13Apr2007", 0.0, 0.1, -1.6),
    "Al": (26.981, 3, "PAW_PBE Al 04Jan2001", 0.0, 0.1, -3.7),
    "Si": (28.085, 4, "PAW_PBE Si 05Jan2001", 0.0, 0.1, -5.4),
    "P": (30.974, 5, "PAW_PBE P 06Sep2000", 0.0, 0.1, -5.4),
    "S": (32.066, 6, "PAW_PBE S 06Sep2000", 0.0, 0.1, -4.1),
    "Cl": (35.453, 7, "PAW_PBE Cl 06Sep2000", 0.0, 0.1, -1.8),
    "K": (39.098, 9, "PAW_PBE K_sv 06Sep2000", 0.0, 0.1, -1.1),
    "Ca": (40.078, 10, "PAW_PBE Ca_sv 06Sep2000", 0.0, 0.3, -2.0),
    "Ti": (47.880, 10, "PAW_PBE Ti_pv 07Sep2000", 0.0, 1.0, -7.8),
    "V": (50.941, 11, "PAW_PBE V_pv 07Sep2000", 0.0, 1.0, -9.1),
    "Cr": (51.996, 12, "PAW_PBE Cr_pv 02Aug2007", 3.0, 1.0, -9.6),
    "Mn": (54.938, 13, "PAW_PBE Mn_pv 02Aug2007", 4.0, 1.0, -9.2),
    "Fe": (55.847, 8, "PAW_PBE Fe 06Sep2000", 2.2, 1.0, -8.3),
    "Co": (58.933, 9, "PAW_PBE Co 06Sep2000", 1.6, 1.0, -7.1),
    "Ni": (58.690, 10, "PAW_PBE Ni 02Aug2007", 0.6, 1.0, -5.6),
    "Cu": (63.546, 11, "PAW_PBE Cu 22Jun2005", 0.0, 1.0, -3.7),
    "Zn": (65.390, 12, "PAW_PBE Zn 06Sep2000", 0.0, 1.0, -1.3),
    "Ga": (69.723, 13, "PAW_PBE Ga_d 06Jul2010", 0.0, 0.6, -3.0),
    "Ge": (72.610, 4, "PAW_PBE Ge 05Jan2001", 0.0, 0.1, -4.6),
    "As": (74.922, 5, "PAW_PBE As 22Sep2009", 0.0, 0.1, -4.7),
    "Sr": (87.620, 10, "PAW_PBE Sr_sv 07Sep2000", 0.0, 0.3, -1.7),
    "Y": (88.906, 11, "PAW_PBE Y_sv 06Sep2000", 0.0, 1.0, -6.5),
    "Zr": (91.224, 12, "PAW_PBE Zr_sv 04Jan2005", 0.0, 1.0, -8.5),
    "Mo": (95.940, 14, "PAW_PBE Mo_pv 08Apr2002", 0.0, 1.0, -10.9),
    "Ag": (107.868, 11, "PAW_PBE Ag 02Apr2005", 0.0, 1.0, -2.8),
    "Sn": (118.710, 14, "PAW_PBE Sn_d 06Sep2000", 0.0, 0.6, -3.8),
    "Sb": (121.750, 5, "PAW_PBE Sb 06Sep2000", 0.0, 0.1, -4.1),
    "Ba": (137.327, 10, "PAW_PBE Ba_sv 06Sep2000", 0.0, 0.3, -1.9),
    "La": (138.900, 11, "PAW_PBE La 06Sep2000", 0.0, 1.0, -4.9),
    "Os": (190.230, 8, "PAW_PBE Os 17Jan2003", 0.0, 1.0, -11.2),
    "Pt": (195.080, 10, "PAW_PBE Pt 04Feb2005", 0.0, 1.0, -6.1),
    "Au": (196.966, 11, "PAW_PBE Au 04Oct2007", 0.0, 1.0, -3.3),
    "Pb": (207.200, 14, "PAW_PBE Pb_d 06Sep2000", 0.0, 0.6, -3.7),
}

# LORBIT=11 orbital columns, padded to five characters as VASP 5.4.4 and later write them;
# earlier versions write three, the last "dx2".
_ORBITAL_FIELDS = ("    s", "   py", "   pz", "   px", "  dxy", "  dyz", "  dz2", "  dxz", "x2-y2")
_ORBITAL_FIELDS_OLD = ("  s", " py", " pz", " px", "dxy", "dyz", "dz2", "dxz", "dx2")
_ORBITAL_GROUP = (0, 1, 1, 1, 2, 2, 2, 2, 2)  # s, p, d

_MASK = (1 << 64) - 1
_TWO_M53 = 2.0 ** -53


# ---------------------------------------------------------------------------
# Counter-based random numbers: value = hash(stream base + index).  The same
# integer arithmetic runs in pure Python and in numpy, so both paths give
# byte-identical files.
# ---------------------------------------------------------------------------
def _mix(x):
    z = (x + 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def _mix_np(z):
    with np.errstate(over="ignore"):
        z = z + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))


class _Random:
    def __init__(self, seed):
        self.seed = int(seed) & _MASK

    def base(self, name):
        return _mix((self.seed * 0x100000001B3 + zlib.crc32(name.encode())) & _MASK)

    def u(self, name, idx=0):
        """One uniform number in [0, 1)."""
        return (_mix((self.base(name) + idx) & _MASK) >> 11) * _TWO_M53

    def us(self, name, n):
        b = self.base(name)
        return [(_mix((b + i) & _MASK) >> 11) * _TWO_M53 for i in range(n)]

    def u_np(self, base, idx):
        """Uniform numbers for an integer index array (numpy path)."""
        with np.errstate(over="ignore"):
            z = _mix_np(idx.astype(np.uint64) + np.uint64(base))
        return (z >> np.uint64(11)).astype(np.float64) * _TWO_M53

    def u_py(self, base, idx):
        return (_mix((base + idx) & _MASK) >> 11) * _TWO_M53


# ---------------------------------------------------------------------------
# Fixed-point formatting: numbers are rounded once to integers in units of
# 10**-dec, then printed.  A value too wide for its field prints as asterisks,
# as Fortran does.
# ---------------------------------------------------------------------------
def _q(x, dec):
    return math.floor(x * 10.0 ** dec + 0.5)


def _q_np(x, dec):
    return np.floor(x * 10.0 ** dec + 0.5).astype(np.int64)


def _fmt_q(q, width, dec):
    s = str(-q if q < 0 else q)
    if dec:
        s = s.rjust(dec + 1, "0")
        s = s[:-dec] + "." + s[-dec:]
    if q < 0:
        s = "-" + s
    if len(s) > width:
        return "*" * width
    return s.rjust(width)


def _fmt_q_np(q, width, dec):
    """uint8 array (n, width) with the right-aligned text of each fixed-point value."""
    q = np.asarray(q, dtype=np.int64).ravel()
    n = q.size
    out = np.full((n, width), 32, dtype=np.uint8)
    if n == 0:
        return out
    neg = q < 0
    a = np.abs(q)
    pos = width - 1
    for _ in range(dec):
        out[:, pos] = (a % 10).astype(np.uint8) + 48
        a //= 10
        pos -= 1
    if dec:
        out[:, pos] = 46
        pos -= 1
    bad = np.zeros(n, dtype=bool)
    if pos < 0:
        bad[:] = True
    else:
        out[:, pos] = (a % 10).astype(np.uint8) + 48
        a //= 10
        signpos = np.full(n, pos - 1, dtype=np.int64)
        pos -= 1
        while pos >= 0:
            nz = a > 0
            if not nz.any():
                break
            out[nz, pos] = (a[nz] % 10).astype(np.uint8) + 48
            signpos[nz] = pos - 1
            a //= 10
            pos -= 1
        bad |= a > 0
        if neg.any():
            rows = np.nonzero(neg & ~bad)[0]
            sp = signpos[rows]
            bad[rows[sp < 0]] = True
            ok = sp >= 0
            out[rows[ok], sp[ok]] = 45
    if bad.any():
        out[bad, :] = 42
    return out


def _rows_np(prefix, cols, suffix):
    """Fixed-width rows: prefix, then formatted columns (list of (n, w) uint8), then suffix."""
    n = cols[0].shape[0]
    pre = np.frombuffer(prefix, dtype=np.uint8)
    suf = np.frombuffer(suffix, dtype=np.uint8)
    width = len(prefix) + sum(c.shape[1] for c in cols) + len(suffix)
    out = np.empty((n, width), dtype=np.uint8)
    out[:, : len(prefix)] = pre
    p = len(prefix)
    for c in cols:
        out[:, p : p + c.shape[1]] = c
        p += c.shape[1]
    out[:, p:] = suf
    return out


# ---------------------------------------------------------------------------
# Output sink
# ---------------------------------------------------------------------------
class _Sink:
    """Collects bytes and hands them to the file in blocks of about 1 MB; counts bytes."""

    def __init__(self, raw):
        self.raw = raw
        self.parts = []
        self.pending = 0
        self.total = 0

    def write(self, data):
        self.parts.append(data)
        self.pending += len(data)
        if self.pending >= 1 << 20:
            self.flush()

    def line(self, level, text):
        self.write((" " * level + text + "\n").encode("ascii"))

    def flush(self):
        if self.parts:
            data = b"".join(self.parts)
            self.total += len(data)
            if self.raw is not None:
                self.raw.write(data)
            self.parts = []
            self.pending = 0


# ---------------------------------------------------------------------------
# Small helpers for the fixed layouts
# ---------------------------------------------------------------------------
def _vec(values):
    return "<v>" + "".join(" %16.8f" % x for x in values) + " </v>"


def _logical(flag):
    return " T  " if flag else " F  "


def _parse_species(species):
    if isinstance(species, str):
        out = []
        for item in species.split(","):
            item = item.strip()
            if not item:
                continue
            if ":" in item:
                el, cnt = item.split(":", 1)
                out.append((el.strip(), int(cnt)))
            else:
                out.append((item, 1))
    elif isinstance(species, dict):
        out = [(str(k), int(v)) for k, v in species.items()]
    else:
        out = [(str(k), int(v)) for k, v in species]
    if not out or any(c < 1 for _, c in out):
        raise ValueError("species needs at least one element with a positive count, e.g. 'Si:2,O:4'")
    for el, _ in out:
        if not (1 <= len(el) <= 2 and el.isalpha()):
            raise ValueError("bad element symbol %r" % el)
    return out


def _element(el):
    if el in _ELEMENTS:
        return _ELEMENTS[el]
    return (50.0, 4, "PAW_PBE %s 01Jan2000" % el, 0.0, 0.3, -4.0)


def _det3(m):
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))


def _reciprocal(m):
    """Rows b_i with a_i . b_j = delta_ij (VASP's rec_basis, without the 2 pi)."""
    d = _det3(m)
    a, b, c = m
    cross = lambda u, v: (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    return [tuple(x / d for x in cross(b, c)), tuple(x / d for x in cross(c, a)), tuple(x / d for x in cross(a, b))]


# ---------------------------------------------------------------------------
# The run model
# ---------------------------------------------------------------------------
class _Run:
    def __init__(self, cfg, use_numpy):
        self.cfg = cfg
        self.np = use_numpy
        self.rng = _Random(cfg["seed"])
        self.version = cfg["vasp_version"]
        self.v6 = not self.version.strip().startswith(("4", "5"))
        release = tuple(int(n) for n in re.findall(r"\d+", self.version)[:3])
        self.orbital_fields = _ORBITAL_FIELDS if release >= (5, 4, 4) else _ORBITAL_FIELDS_OLD
        self.types = _parse_species(cfg["species"])
        self.atoms = [el for el, cnt in self.types for _ in range(cnt)]
        self.type_index = [t + 1 for t, (_, cnt) in enumerate(self.types) for _ in range(cnt)]
        self.nions = len(self.atoms)
        self.nspins = int(cfg["spins"])
        if self.nspins not in (1, 2):
            raise ValueError("spins must be 1 or 2")
        self.nelect = float(sum(_element(el)[1] * cnt for el, cnt in self.types))
        nb = cfg["bands"]
        if nb is None:
            nb = max(8, int(math.ceil(self.nelect / 2 + self.nions / 2)))
        self.nbands = int(nb)
        if self.nbands < 1:
            raise ValueError("bands must be positive")
        self.nocc = min(self.nbands, int(math.ceil(self.nelect / 2)))
        self.nedos = int(cfg["nedos"])
        if cfg["dos"] and self.nedos < 2:
            raise ValueError("nedos must be at least 2")
        self.magnetic = self.nspins == 2 and any(_element(el)[3] > 0 for el in self.atoms)
        self._kpoints()
        self._structures()
        self._band_model()
        self._efermi = None
        self._dos = None
        self._ionic_loop()
        self._opt = None

    # -- the ionic loop: relaxation, molecular dynamics or finite differences --
    def _ionic_loop(self):
        cfg = self.cfg
        if (cfg["ml_steps"] or cfg["md_energies"]) and not cfg["md"]:
            raise ValueError("ml_steps and md_energies need md")
        if cfg["md"]:
            self.nsw = self.nsteps * (1 + int(cfg["ml_steps"]))  # every MD step, DFT and predicted
        elif cfg["dynmat"]:
            self.ibrion, self.nsw = 8, 1
        # Fixed atoms: the first half keeps all three coordinates free, the rest is fixed but for z.
        self.selective = [(True, True, True) if i < (self.nions + 1) // 2 else (False, False, True)
                          for i in range(self.nions)] if cfg["selective"] else None

    def md_energies(self, m, e_fr):
        """kinetic, lattice kinetic, nosepot, nosekinetic and total of MD step m (eV)."""
        r = self.rng
        kinetic = 0.0388 * self.nions * (0.8 + 0.4 * r.u("md-kinetic", m))
        nosepot = 0.01 * m * r.u("md-nosepot", m)
        nosekinetic = 0.002 * r.u("md-nosekinetic", m)
        return (("kinetic", kinetic), ("lattice kinetic", 0.0), ("nosepot", nosepot),
                ("nosekinetic", nosekinetic), ("total", e_fr + kinetic + nosepot + nosekinetic))

    def velocities(self, key):
        """Velocities (Angstrom/fs) of the atoms at the start (key 0) or end (key 1) of the run."""
        r = self.rng
        return [[0.006 * (r.u("velocity%d" % key, 3 * i + c) - 0.5) for c in range(3)] for i in range(self.nions)]

    def predicted_step(self, t, j):
        """The j-th step that the force field predicts after calculation t: structure, forces, energy."""
        r, st = self.rng, self.steps[t]
        key = t * 1000 + j
        pos = [tuple((p[c] + 0.002 * (j + 1) * (r.u("ml-pos", (key * self.nions + i) * 3 + c) - 0.5)) % 1.0
                     for c in range(3)) for i, p in enumerate(st["positions"])]
        forces = [[f[c] * (1.0 + 0.2 * (r.u("ml-force", (key * self.nions + i) * 3 + c) - 0.5)) for c in range(3)]
                  for i, f in enumerate(st["forces"])]
        e_fr = st["e_fr"] + 0.05 * (r.u("ml-energy", key) - 0.5)
        return dict(lattice=st["lattice"], positions=pos, forces=forces, e_fr=e_fr)

    @property
    def opt(self):
        """The run as seen on the KPOINTS_OPT k-points: the same bands on a set of its own."""
        if self._opt is None:
            self._opt = _Run(dict(self.cfg, kpoints=self.cfg["kpoints_opt"], kpoints_opt=0, labels=False, hybrid=False),
                             self.np)
        return self._opt

    # -- k-points ----------------------------------------------------------
    def _kpoints(self):
        cfg = self.cfg
        nk = int(cfg["kpoints"])
        if nk < 1:
            raise ValueError("kpoints must be positive")
        self.klabels, self.kpoints_file_labels = [], []
        self.kscheme = None
        if cfg["labels"] and not cfg["hybrid"]:
            kpts, labels, div = self._path(nk)
            self.kscheme = "listgenerated"
            self.kdiv = div
            self.klabels = labels if cfg["vasprun_labels"] else []
            self.kpoints_file_labels = labels
            w = [1.0] * len(kpts)
        else:
            kpts, w = self._grid(nk)
        if cfg["hybrid"]:
            # a hybrid band run: the self-consistent grid, then the path with zero weights;
            # its k-points are an explicit list (no generation recipe) without labels
            path, labels, _ = self._path(int(cfg["path_kpoints"]))
            self.kpoints_file_labels = [(index + len(kpts), label) for index, label in labels]
            self.kscheme = None
            kpts = kpts + path
            w = w + [0.0] * len(path)
        self.kpts = kpts
        tot = sum(w)
        q = [int(_q(x / tot, 8)) for x in w]
        big = max(range(len(q)), key=lambda i: q[i])
        q[big] += 10 ** 8 - sum(q)
        self.kweights_q = q
        self.kweights = [x / 1e8 for x in q]
        self.nkpts = len(self.kpts)

    def _path(self, nk):
        """A labelled line-mode path of about nk k-points: (points, (1-based index, label), points per segment)."""
        path = [("G", (0.0, 0.0, 0.0)), ("X", (0.0, 0.5, 0.0)), ("M", (0.5, 0.5, 0.0)),
                ("G", (0.0, 0.0, 0.0)), ("R", (0.5, 0.5, 0.5))]
        self.kpath = [p for _, p in path]
        nseg = len(path) - 1
        div = max(2, int(round(nk / nseg)))
        kpts, labels = [], []
        for s in range(nseg):
            (l0, p0), (l1, p1) = path[s], path[s + 1]
            for j in range(div):
                f = j / (div - 1)
                kpts.append(tuple(p0[c] + (p1[c] - p0[c]) * f for c in range(3)))
            labels.append((s * div + 1, l0))
            labels.append((s * div + div, l1))
        return kpts, labels, div

    def _grid(self, nk):
        """The irreducible points of a Gamma or Monkhorst-Pack grid with their multiplicities."""
        cfg = self.cfg
        gamma = cfg["scheme"].lower().startswith("g")
        self.kscheme = "Gamma" if gamma else "Monkhorst-Pack"
        n = 1
        while True:
            shift = 0.5 if (not gamma and n % 2 == 0) else 0.0
            vals = [(i + shift) / n for i in range(n) if (i + shift) / n <= 0.5 + 1e-12]
            m = len(vals)
            if m * (m + 1) * (m + 2) // 6 >= nk or n > 4000:
                break
            n += 1
        self.kdiv = n
        self.kshift = shift
        kpts, w = [], []
        for c in range(m):
            for b in range(c, m):
                for a in range(b, m):
                    if len(kpts) < nk:
                        v = (vals[a], vals[b], vals[c])
                        kpts.append(v)
                        same = len({a, b, c})
                        perms = 6 if same == 3 else (3 if same == 2 else 1)
                        signs = 1
                        for x in v:
                            if 1e-12 < x < 0.5 - 1e-12:
                                signs *= 2
                        w.append(float(perms * signs))
        return kpts, w

    # -- structures, energies, forces -----------------------------------------
    def _structures(self):
        cfg, r = self.cfg, self.rng
        nat = self.nions
        vol_atom = 10.0 + 10.0 * r.u("volume")
        a = (vol_atom * nat) ** (1.0 / 3.0)
        off = r.us("lattice", 9)
        lat0 = [[a * ((1.0 if i == j else 0.0) + 0.04 * (off[3 * i + j] - 0.5)) for j in range(3)] for i in range(3)]
        pos0 = [tuple(r.u("positions", 3 * i + c) for c in range(3)) for i in range(nat)]
        if nat:
            pos0[0] = (0.0, 0.0, 0.0)
        self.nsteps = int(cfg["steps"])
        if self.nsteps < 0:
            raise ValueError("steps must not be negative")
        self.ibrion = 0 if cfg["md"] else (2 if self.nsteps > 1 else -1)
        self.nsw = self.nsteps if cfg["md"] else max(self.nsteps - 1, 0)  # MD runs all NSW steps
        strain = 0.03 * (r.u("strain") - 0.5)
        dpos = [tuple(0.02 * (r.u("dpos", 3 * i + c) - 0.5) for c in range(3)) for i in range(nat)]
        f0 = [[1.2 * (r.u("forces", 3 * i + c) - 0.5) for c in range(3)] for i in range(nat)]
        for c in range(3):  # forces on a free cell sum to zero
            mean = sum(f[c] for f in f0) / max(nat, 1)
            for f in f0:
                f[c] -= mean
        su = r.us("stress", 6)
        p0 = 40.0 * (su[0] - 0.5)
        s0 = [[p0 + 8.0 * (su[1] - 0.5), 3.0 * (su[3] - 0.5), 3.0 * (su[4] - 0.5)],
              [0.0, p0 + 8.0 * (su[2] - 0.5), 3.0 * (su[5] - 0.5)],
              [0.0, 0.0, p0]]
        s0[1][0], s0[2][0], s0[2][1] = s0[0][1], s0[0][2], s0[1][2]
        e_final = sum(_element(el)[5] * (1.0 + 0.1 * (r.u("eatom", i) - 0.5)) for i, el in enumerate(self.atoms))
        mom = []
        for i, el in enumerate(self.atoms):
            m0, u = _element(el)[3], r.u("moment", i)
            if self.nspins == 1:
                mom.append(0.0)
            elif m0 > 0:
                mom.append(m0 * (0.9 + 0.2 * u))
            else:  # small induced moment on the other atoms
                mom.append(0.08 * (u - 0.5))
        self.magmom_init = [(_element(el)[3] + 0.6 if _element(el)[3] > 0 else 0.6) for el in self.atoms]
        rate = 0.35
        self.steps = []
        nsc = max(1, int(cfg["scsteps"]))
        for t in range(max(self.nsteps, 1)):
            done = 1.0 - rate ** t
            decay = rate ** t
            lat = [[x * (1.0 + strain * done) for x in row] for row in lat0]
            pos = [tuple((p[c] + d[c] * done) % 1.0 for c in range(3)) for p, d in zip(pos0, dpos)]
            forces = [[x * decay for x in f] for f in f0]
            stress = [[x * decay for x in row] for row in s0]
            e_fr = e_final + 0.8 * nat * decay * decay * (0.5 + r.u("estep", t))
            if cfg["md"]:  # a fixed cell whose atoms jiggle: nothing decays
                lat, pos, forces, stress, e_fr = self._md_step(t, lat0, pos0, f0, s0, e_final)
            ts = -0.0005 * nat * r.u("entropy", t)
            scs = []
            start = (3.0 + 5.0 * r.u("scstart", t)) * nat if t == 0 else 0.05 * nat * (1.0 + r.u("scstart", t))
            for j in range(nsc):
                if j == nsc - 1:
                    e = e_fr
                else:
                    sign = 1.0 if r.u("scsign", t * 1000 + j) < 0.8 else -1.0
                    e = e_fr + sign * start * (0.08 ** j)
                ets = ts if j == nsc - 1 else ts * (1.0 + 0.3 * (r.u("scent", t * 1000 + j) - 0.5))
                scs.append((e, ets))
            mag = [m * (1.0 - 0.05 * decay) for m in mom]
            self.steps.append(dict(lattice=lat, positions=pos, forces=forces, stress=stress,
                                   e_fr=e_fr, ts=ts, scsteps=scs, magnetization=mag))
        self.lat0 = lat0
        self.pos0 = [tuple(p) for p in self.steps[0]["positions"]]

    def _md_step(self, t, lat0, pos0, f0, s0, e_final):
        """Lattice, positions, forces, stress and free energy of molecular-dynamics step t."""
        r, nat = self.rng, self.nions
        jiggle = r.us("md-pos-%d" % t, 3 * nat)
        pos = [tuple((p[c] + 0.02 * (jiggle[3 * i + c] - 0.5)) % 1.0 for c in range(3)) for i, p in enumerate(pos0)]
        push = r.us("md-force-%d" % t, 3 * nat)
        forces = [[f[c] + 1.5 * (push[3 * i + c] - 0.5) for c in range(3)] for i, f in enumerate(f0)]
        for c in range(3):  # forces on a free cell sum to zero
            mean = sum(f[c] for f in forces) / max(nat, 1)
            for f in forces:
                f[c] -= mean
        scale = 0.5 + r.u("md-stress", t)
        stress = [[x * scale for x in row] for row in s0]
        return [list(row) for row in lat0], pos, forces, stress, e_final + 0.1 * nat * r.u("md-energy", t)

    # -- band model -------------------------------------------------------
    def _band_model(self):
        r, nb = self.rng, self.nbands
        self.ef_nominal = 3.0 + 4.0 * r.u("fermi")
        nocc = self.nocc
        vspace = 14.0 / max(nocc, 1)
        cu, wu, su, du = r.us("bandc", nb), r.us("bandw", nb), r.us("bands", nb), r.us("bandd", nb)
        centers, wsg = [], []
        for b in range(nb):
            if b < nocc:
                c = self.ef_nominal - 0.9 - (nocc - 1 - b) * vspace + 0.3 * (cu[b] - 0.5)
            else:
                c = self.ef_nominal + 0.9 + (b - nocc) * 0.7 + 0.3 * (cu[b] - 0.5)
            w = 0.3 + 1.4 * wu[b]
            centers.append(c)
            wsg.append(w if su[b] < 0.5 else -w)
        split = 1.2 if self.magnetic else 0.04
        spin = [[0.0] * nb for _ in range(self.nspins)]
        if self.nspins == 2:
            for b in range(nb):
                d = split * du[b]
                spin[0][b] = -0.5 * d
                spin[1][b] = 0.5 * d
        self.b_center, self.b_wsg, self.b_spin = centers, wsg, spin
        # Dispersion factor per k-point: mean of 1 - 8 x^2 over the reduced coordinates.
        g = []
        for k in self.kpts:
            acc = 0.0
            for x in k:
                x = x - math.floor(x + 0.5)
                acc = acc + (1.0 - 8.0 * x * x)
            g.append(acc / 3.0)
        self.k_g = g
        self.eig_base = r.base("eigjitter")

    def eig_q(self, s, k0, k1):
        """Band energies of spin s, k-points k0..k1-1, sorted, in units of 1e-4 eV."""
        nb = self.nbands
        if self.np:
            k = np.arange(k0, k1)
            idx = (s * self.nkpts + k)[:, None] * nb + np.arange(nb)[None, :]
            u = self.rng.u_np(self.eig_base, idx)
            g = np.asarray(self.k_g[k0:k1], dtype=np.float64)
            e = (np.asarray(self.b_center)[None, :] + np.asarray(self.b_wsg)[None, :] * g[:, None]
                 + 0.05 * (u - 0.5) + np.asarray(self.b_spin[s])[None, :])
            e.sort(axis=1)
            return _q_np(e, 4)
        out = []
        for k in range(k0, k1):
            g = self.k_g[k]
            row = []
            for b in range(nb):
                u = self.rng.u_py(self.eig_base, (s * self.nkpts + k) * nb + b)
                row.append(self.b_center[b] + self.b_wsg[b] * g + 0.05 * (u - 0.5) + self.b_spin[s][b])
            row.sort()
            out.append([_q(x, 4) for x in row])
        return out

    def _k_chunks(self, per_k_bytes):
        step = max(1, (4 << 20) // max(per_k_bytes, 1))
        for k0 in range(0, self.nkpts, step):
            yield k0, min(self.nkpts, k0 + step)

    @property
    def efermi(self):
        if self._efermi is None:
            vbm, cbm, lo, hi = None, None, None, None
            nocc, nb = self.nocc, self.nbands
            for s in range(self.nspins):
                for k0, k1 in self._k_chunks(self.nbands * 8):
                    e = self.eig_q(s, k0, k1)
                    if self.np:
                        v = int(e[:, nocc - 1].max()) if nocc > 0 else None
                        c = int(e[:, nocc].min()) if nocc < nb else None
                        l, h = int(e[:, 0].min()), int(e[:, -1].max())
                    else:
                        v = max(row[nocc - 1] for row in e) if nocc > 0 else None
                        c = min(row[nocc] for row in e) if nocc < nb else None
                        l, h = min(row[0] for row in e), max(row[-1] for row in e)
                    vbm = v if vbm is None or (v is not None and v > vbm) else vbm
                    cbm = c if cbm is None or (c is not None and c < cbm) else cbm
                    lo = l if lo is None or l < lo else lo
                    hi = h if hi is None or h > hi else hi
            if vbm is None:
                ef = lo / 1e4 - 0.5
            elif cbm is None:
                ef = vbm / 1e4 + 0.25
            else:
                ef = (vbm + cbm) / 2e4
            self._efermi = ef + 0.00001234 * self.rng.u("efermi-digits")
            self.e_lo, self.e_hi = lo / 1e4, hi / 1e4
        return self._efermi

    def occ_q(self, e_q):
        """Occupancies (units of 1e-4) for band energies given in units of 1e-4 eV."""
        ef = self.efermi
        sigma = 0.05
        if self.np:
            x = (e_q / 1e4 - ef) / sigma
            t = np.clip((x + 3.0) / 6.0, 0.0, 1.0)
            return _q_np(1.0 - t * t * (3.0 - 2.0 * t), 4)
        out = []
        for row in e_q:
            r = []
            for q in row:
                x = (q / 1e4 - ef) / sigma
                t = min(max((x + 3.0) / 6.0, 0.0), 1.0)
                r.append(_q(1.0 - t * t * (3.0 - 2.0 * t), 4))
            out.append(r)
        return out

    # -- density of states ---------------------------------------------------
    def dos_data(self):
        """Energy grid and the total density of states, all as fixed-point integers."""
        if self._dos is not None:
            return self._dos
        self.efermi  # also finds the lowest and highest band energy
        nedos, ns = self.nedos, self.nspins
        emin = math.floor((self.e_lo - 2.0) * 10.0) / 10.0 + 0.0123
        emax = math.ceil((self.e_hi + 2.0) * 10.0) / 10.0 - 0.0123
        de = (emax - emin) / (nedos - 1)
        h = max(2.5 * de, 0.15)
        jmax = int(math.ceil(h / de)) + 1
        fac = 2.0 if ns == 1 else 1.0
        if self.np:
            acc = np.zeros((ns, nedos), dtype=np.int64)
            wts = np.asarray(self.kweights, dtype=np.float64)
            for s in range(ns):
                for k0, k1 in self._k_chunks(self.nbands * 8 * (2 * jmax + 1)):
                    e = self.eig_q(s, k0, k1) / 1e4
                    w = np.broadcast_to(wts[k0:k1, None], e.shape).ravel()
                    e = e.ravel()
                    ic = np.floor((e - emin) / de).astype(np.int64)
                    for j in range(-jmax, jmax + 1):
                        i = ic + j
                        ok = (i >= 0) & (i < nedos)
                        ii = i[ok]
                        t = (emin + ii * de - e[ok]) / h
                        inside = (t > -1.0) & (t < 1.0)
                        t = t[inside]
                        one = 1.0 - t * t
                        v = fac * w[ok][inside] * one * one * 0.9375 / h
                        np.add.at(acc[s], ii[inside], _q_np(v, 8))
            acc_rows = acc
        else:
            acc = [[0] * nedos for _ in range(ns)]
            for s in range(ns):
                for k0, k1 in self._k_chunks(self.nbands * 8):
                    eq = self.eig_q(s, k0, k1)
                    for kk, row in enumerate(eq):
                        w = self.kweights[k0 + kk]
                        for q in row:
                            e = q / 1e4
                            ic = math.floor((e - emin) / de)
                            for j in range(-jmax, jmax + 1):
                                i = ic + j
                                if i < 0 or i >= nedos:
                                    continue
                                t = (emin + i * de - e) / h
                                if not (-1.0 < t < 1.0):
                                    continue
                                one = 1.0 - t * t
                                acc[s][i] += _q(fac * w * one * one * 0.9375 / h, 8)
            acc_rows = acc
        grid_q = [_q(emin + i * de, 4) for i in range(nedos)]
        dens_f, dens_q, integ_q = [], [], []
        for s in range(ns):
            row = [int(x) for x in acc_rows[s]]
            df = [x / 1e8 for x in row]
            cum, iq = 0, []
            for x in row:
                cum += x
                iq.append(_q((cum / 1e8) * de, 4))
            dens_f.append(df)
            dens_q.append([_q(x, 4) for x in df])
            integ_q.append(iq)
        self._dos = dict(grid_q=grid_q, dens_f=dens_f, dens_q=dens_q, integ_q=integ_q, emin=emin, emax=emax)
        return self._dos

    def partial_fracs(self):
        """Share of each ion and orbital in the density of states, and its energy slope."""
        r = self.rng
        raw, slope = [], []
        for i, el in enumerate(self.atoms):
            dw = _element(el)[4]
            gw = (1.0, 1.6, 2.5 * dw)
            raw.append([gw[_ORBITAL_GROUP[o]] * (0.2 + r.u("pfrac", i * 9 + o)) for o in range(9)])
            slope.append([r.u("pslope", i * 9 + o) - 0.5 for o in range(9)])
        tot = 0.0
        for row in raw:
            for x in row:
                tot = tot + x
        frac = [[0.85 * x / tot for x in row] for row in raw]
        mean = 0.0
        for i in range(len(frac)):
            for o in range(9):
                mean = mean + frac[i][o] * slope[i][o]
        mean = mean / 0.85
        slope = [[x - mean for x in row] for row in slope]
        return frac, slope

    # -- projections -------------------------------------------------------
    def proj_caps(self):
        caps = []
        for el in self.atoms:
            dw = _element(el)[4]
            gw = (1.0, 0.9, 1.2 * dw)
            nact = 1.0 + 3.0 + (5.0 if dw >= 0.3 else 0.0)
            caps.append([2.5 * gw[_ORBITAL_GROUP[o]] / (self.nions * nact) for o in range(9)])
        return caps


# ---------------------------------------------------------------------------
# Section writers
# ---------------------------------------------------------------------------
def _write_header(out, run):
    r = run.rng
    out.write(b'<?xml version="1.0" encoding="ISO-8859-1"?>\n')
    out.line(0, "<modeling>")
    out.line(1, "<generator>")
    day = 1 + int(27 * r.u("date"))
    month = 1 + int(12 * r.u("month"))
    hh, mm, ss = int(24 * r.u("hh")), int(60 * r.u("mm")), int(60 * r.u("ss"))
    if run.v6:
        sub = "20Jul23 (build Oct 18 2023 14:14:43) complex                          parallel "
    else:
        sub = "(build Sep 10 2019 12:14:21) complex            parallel "
    items = (("program", "vasp "), ("version", run.version + "  "), ("subversion", sub),
             ("platform", "LinuxIFC "), ("date", "2024 %02d %02d " % (month, day)),
             ("time", "%02d:%02d:%02d " % (hh, mm, ss)))
    for name, val in items:
        out.line(2, '<i name="%s" type="string">%s</i>' % (name, val))
    out.line(1, "</generator>")


def _incar_items(run):
    cfg = run.cfg
    items = [("string", "PREC", "Accurate"), ("string", "ALGO", "Normal")]
    items.append(("int", "ISPIN", run.nspins))
    if cfg["labels"]:
        items.append(("int", "ICHARG", 11))
    items += [("int", "NELM", 100), ("int", "IBRION", run.ibrion),
              ("float", "EDIFF", 1e-5), ("float", "EDIFFG", -0.01),
              ("int", "NSW", run.nsw), ("int", "ISIF", 3), ("float", "ENCUT", 520.0)]
    if cfg["md"]:
        items += [("float", "POTIM", 1.0), ("float", "TEBEG", 300.0)]
    if cfg["pstress"]:
        items.append(("float", "PSTRESS", cfg["pstress"]))
    if cfg["ml_steps"]:
        items += [("logical", "ML_LMLFF", True), ("int", "ML_ISTART", 0)]
    if cfg["epsilon"]:
        items.append(("logical", "LEPSILON", True))
    if cfg["kpoints_opt"]:
        items.append(("logical", "LKPOINTS_OPT", True))
    if cfg["bands_given"]:
        items.append(("int", "NBANDS", run.nbands))
    if run.nspins == 2:
        items.append(("vec", "MAGMOM", run.magmom_init))
    items += [("string", "LREAL", "Auto"), ("int", "ISMEAR", 0), ("float", "SIGMA", 0.05)]
    if cfg["dos"]:
        items.append(("int", "NEDOS", run.nedos))
    items += [("logical", "LWAVE", False), ("logical", "LCHARG", False)]
    if cfg["projected"] or cfg["partial_dos"]:
        items.append(("int", "LORBIT", 11))
    if cfg["dielectric"] or cfg["conductivity"]:
        items += [("logical", "LOPTICS", True), ("float", "CSHIFT", 0.1)]
    items.append(("logical", "LASPH", True))
    return items


def _write_i(out, level, kind, name, val):
    if kind == "string":
        out.line(level, '<i type="string" name="%s">%s</i>' % (name, val))
    elif kind == "int":
        out.line(level, '<i type="int" name="%s">%6d</i>' % (name, val))
    elif kind == "float":
        out.line(level, '<i name="%s">%16.8f</i>' % (name, val))
    elif kind == "logical":
        out.line(level, '<i type="logical" name="%s">%s</i>' % (name, _logical(val)))
    elif kind == "vec":
        out.line(level, '<v name="%s">%s</v>' % (name, "".join("%16.8f" % x for x in val)))
    elif kind == "ivec":
        out.line(level, '<v type="int" name="%s">%s</v>' % (name, "".join("%6d" % x for x in val)))


def _write_incar(out, run):
    out.line(1, "<incar>")
    for kind, name, val in _incar_items(run):
        _write_i(out, 2, kind, name, val)
    out.line(1, "</incar>")


def _write_structure(out, level, name, lattice, positions, selective=None, velocities=None):
    out.line(level, '<structure name="%s" >' % name if name else "<structure>")
    out.line(level + 1, "<crystal>")
    out.line(level + 2, '<varray name="basis" >')
    for row in lattice:
        out.line(level + 3, _vec(row))
    out.line(level + 2, "</varray>")
    out.line(level + 2, '<i name="volume">%16.8f </i>' % _det3(lattice))
    out.line(level + 2, '<varray name="rec_basis" >')
    for row in _reciprocal(lattice):
        out.line(level + 3, _vec(row))
    out.line(level + 2, "</varray>")
    out.line(level + 1, "</crystal>")
    out.line(level + 1, '<varray name="positions" >')
    for p in positions:
        out.line(level + 2, _vec(p))
    out.line(level + 1, "</varray>")
    if velocities is not None:
        out.line(level + 1, '<varray name="velocities" >')
        for v in velocities:
            out.line(level + 2, _vec(v))
        out.line(level + 1, "</varray>")
    if selective is not None:
        out.line(level + 1, '<varray name="selective"  type="logical" >')
        for flags in selective:
            out.line(level + 2, '<v type="logical" >%s </v>' % "".join("  T" if f else "  F" for f in flags))
        out.line(level + 1, "</varray>")
    out.line(level, "</structure>")


def _write_primitive(out, run):
    lvl = 1
    if run.v6:
        out.line(1, "<primitive_cell>")
        lvl = 2
    _write_structure(out, lvl, "primitive_cell", run.lat0, run.pos0)
    out.line(lvl, '<varray name="primitive_index" >')
    for i in range(run.nions):
        out.line(lvl + 1, '<v type="int" >%9d </v>' % (i + 1))
    out.line(lvl, "</varray>")
    if run.v6:
        out.line(1, "</primitive_cell>")


def _write_kpoints(out, run, level=1, generation=True):
    L = level
    out.line(L, "<kpoints>")
    if not generation or run.kscheme is None:
        pass  # no generation recipe: the list inside eigenvalues_kpoints_opt, or an explicit list
    elif run.kscheme == "listgenerated":
        out.line(L + 1, '<generation param="listgenerated">')
        out.line(L + 2, '<i name="divisions" type="int">%6d </i>' % run.kdiv)
        for p in run.kpath:
            out.line(L + 2, _vec(p))
        out.line(L + 1, "</generation>")
    else:
        n, sh = run.kdiv, run.kshift
        out.line(L + 1, '<generation param="%s">' % run.kscheme)
        out.line(L + 2, '<v type="int" name="divisions">%s</v>' % ("%8d " % n * 3))
        out.line(L + 2, '<v name="usershift">%s</v>' % ("%16.8f " % 0.0 * 3))
        for c in range(3):
            g = [0.0, 0.0, 0.0]
            g[c] = 1.0 / n
            out.line(L + 2, '<v name="genvec%d">%s</v>' % (c + 1, "".join("%16.8f " % x for x in g)))
        out.line(L + 2, '<v name="shift">%s</v>' % ("%16.8f " % sh * 3))
        out.line(L + 1, "</generation>")
    pad = " " * (L + 2)
    out.line(L + 1, '<varray name="kpointlist" >')
    for k0 in range(0, run.nkpts, 20000):
        out.write("".join("%s%s\n" % (pad, _vec(k)) for k in run.kpts[k0:k0 + 20000]).encode("ascii"))
    out.line(L + 1, "</varray>")
    out.line(L + 1, '<varray name="weights" >')
    for k0 in range(0, run.nkpts, 20000):
        out.write("".join("%s<v> %s </v>\n" % (pad, _fmt_q(q, 16, 8))
                          for q in run.kweights_q[k0:k0 + 20000]).encode("ascii"))
    out.line(L + 1, "</varray>")
    if run.klabels:
        out.line(L + 1, '<varray name="labels" >')
        for _, lab in run.klabels:
            out.line(L + 2, "<v>%s</v>" % lab)
        out.line(L + 1, "</varray>")
        out.line(L + 1, '<varray name="labelindex" >')
        for idx, _ in run.klabels:
            out.line(L + 2, '<v type="int" >%9d </v>' % idx)
        out.line(L + 1, "</varray>")
    out.line(L, "</kpoints>")


def _write_parameters(out, run):
    cfg = run.cfg
    nsw = run.nsw
    ngx = 2 * int(math.ceil(run.lat0[0][0] * 2.5))
    S = lambda lvl, name: out.line(lvl, '<separator name="%s" >' % name)
    E = lambda lvl: out.line(lvl, "</separator>")
    I = lambda lvl, kind, name, val: _write_i(out, lvl, kind, name, val)
    out.line(1, "<parameters>")
    S(2, "general")
    I(3, "string", "SYSTEM", "unknown system")
    I(3, "logical", "LCOMPAT", False)
    E(2)
    S(2, "electronic")
    I(3, "string", "PREC", "accura")
    I(3, "float", "ENMAX", 520.0)
    I(3, "float", "ENAUG", 605.392)
    I(3, "float", "EDIFF", 1e-5)
    I(3, "int", "IALGO", 38)
    I(3, "int", "IWAVPR", 11)
    I(3, "int", "NBANDS", run.nbands)
    I(3, "float", "NELECT", run.nelect)
    I(3, "int", "TURBO", 0)
    I(3, "int", "IRESTART", 0)
    I(3, "int", "NREBOOT", 0)
    I(3, "int", "NMIN", 0)
    I(3, "float", "EREF", 0.0)
    S(3, "electronic smearing")
    I(4, "int", "ISMEAR", 0)
    I(4, "float", "SIGMA", 0.05)
    I(4, "float", "KSPACING", 0.5)
    I(4, "logical", "KGAMMA", True)
    E(3)
    S(3, "electronic spin")
    I(4, "int", "ISPIN", run.nspins)
    I(4, "logical", "LNONCOLLINEAR", False)
    I(4, "vec", "MAGMOM", run.magmom_init if run.nspins == 2 else [1.0] * run.nions)
    I(4, "float", "NUPDOWN", -1.0)
    I(4, "logical", "LSORBIT", False)
    I(4, "vec", "SAXIS", [0.0, 0.0, 1.0])
    E(3)
    S(3, "electronic convergence")
    I(4, "int", "NELM", 100)
    I(4, "int", "NELMDL", -5)
    I(4, "int", "NELMIN", 2)
    I(4, "float", "ENINI", 520.0)
    S(4, "electronic convergence detail")
    I(5, "logical", "LDIAG", True)
    I(5, "logical", "LSUBROT", False)
    I(5, "float", "WEIMIN", 0.001)
    I(5, "float", "EBREAK", 0.00000156)
    I(5, "float", "DEPER", 0.3)
    I(5, "int", "NRMM", 4)
    I(5, "float", "TIME", 0.4)
    E(4)
    E(3)
    S(3, "electronic mixer")
    I(4, "float", "AMIX", 0.4)
    I(4, "float", "BMIX", 1.0)
    I(4, "float", "AMIN", 0.1)
    I(4, "float", "AMIX_MAG", 1.6)
    I(4, "float", "BMIX_MAG", 1.0)
    E(3)
    E(2)
    S(2, "grids")
    for name, val in (("NGX", ngx), ("NGY", ngx), ("NGZ", ngx), ("NGXF", 2 * ngx), ("NGYF", 2 * ngx), ("NGZF", 2 * ngx)):
        I(3, "int", name, val)
    I(3, "logical", "ADDGRID", False)
    E(2)
    S(2, "ionic")
    I(3, "int", "NSW", nsw)
    I(3, "int", "IBRION", run.ibrion)
    I(3, "int", "MDALGO", 0)
    I(3, "int", "ISIF", 3)
    I(3, "float", "PSTRESS", float(cfg["pstress"]))
    I(3, "float", "EDIFFG", -0.01)
    I(3, "int", "NFREE", 1)
    I(3, "float", "POTIM", 0.5)
    I(3, "float", "SMASS", -3.0)
    I(3, "float", "SCALEE", 1.0)
    E(2)
    S(2, "symmetry")
    I(3, "int", "ISYM", 2)
    I(3, "float", "SYMPREC", 1e-5)
    E(2)
    S(2, "dos")
    I(3, "int", "LORBIT", 11 if (cfg["projected"] or cfg["partial_dos"]) else 0)
    I(3, "vec", "RWIGS", [-1.0] * len(run.types))
    I(3, "int", "NEDOS", run.nedos)
    I(3, "float", "EMIN", 10.0)
    I(3, "float", "EMAX", -10.0)
    I(3, "float", "EFERMI", 0.0)
    E(2)
    S(2, "writing")
    I(3, "int", "NWRITE", 2)
    I(3, "logical", "LWAVE", False)
    I(3, "logical", "LCHARG", False)
    I(3, "logical", "LVTOT", False)
    I(3, "logical", "LELF", False)
    I(3, "logical", "LOPTICS", bool(cfg["dielectric"]))
    I(3, "vec", "STM", [0.0] * 7)
    E(2)
    S(2, "performance")
    I(3, "int", "NPAR", 4)
    I(3, "int", "NSIM", 4)
    I(3, "int", "NBLK", -1)
    I(3, "logical", "LPLANE", True)
    I(3, "logical", "LSCALAPACK", False)
    E(2)
    S(2, "miscellaneous")
    I(3, "int", "IDIOT", 3)
    I(3, "logical", "LMUSIC", False)
    I(3, "vec", "POMASS", [_element(el)[0] for el, _ in run.types])
    I(3, "logical", "LCORR", True)
    E(2)
    I(2, "logical", "GGA_COMPAT", True)
    I(2, "logical", "LBERRY", False)
    I(2, "int", "ICORELEVEL", 0)
    I(2, "logical", "LDAU", False)
    I(2, "int", "I_CONSTRAINED_M", 0)
    S(2, "electronic exchange-correlation")
    I(3, "string", "GGA", "--")
    I(3, "int", "VOSKOWN", 0)
    I(3, "logical", "LHFCALC", False)
    I(3, "string", "PRECFOCK", "")
    I(3, "float", "AEXX", 0.0)
    I(3, "float", "HFSCREEN", 0.0)
    E(2)
    S(2, "linear response parameters")
    I(3, "logical", "LEPSILON", bool(cfg["epsilon"]))
    I(3, "logical", "LRPA", False)
    I(3, "logical", "LNABLA", False)
    I(3, "logical", "LVEL", False)
    I(3, "float", "CSHIFT", 0.1)
    I(3, "float", "OMEGAMAX", -1.0)
    I(3, "float", "DEG_THRESHOLD", 0.002)
    I(3, "vec", "DFIELD", [0.0, 0.0, 0.0])
    E(2)
    S(2, "orbital magnetization")
    I(3, "logical", "NUCIND", False)
    I(3, "vec", "MAGPOS", [0.0, 0.0, 0.0])
    I(3, "logical", "LNICSALL", True)
    I(3, "logical", "ORBITALMAG", False)
    E(2)
    out.line(1, "</parameters>")


def _write_atominfo(out, run):
    out.line(1, "<atominfo>")
    out.line(2, "<atoms>%8d </atoms>" % run.nions)
    out.line(2, "<types>%8d </types>" % len(run.types))
    out.line(2, '<array name="atoms" >')
    out.line(3, '<dimension dim="1">ion</dimension>')
    out.line(3, '<field type="string">element</field>')
    out.line(3, '<field type="int">atomtype</field>')
    out.line(3, "<set>")
    for el, t in zip(run.atoms, run.type_index):
        out.line(4, "<rc><c>%-2s</c><c>%4d</c></rc>" % (el, t))
    out.line(3, "</set>")
    out.line(2, "</array>")
    out.line(2, '<array name="atomtypes" >')
    out.line(3, '<dimension dim="1">type</dimension>')
    out.line(3, '<field type="int">atomspertype</field>')
    out.line(3, '<field type="string">element</field>')
    out.line(3, "<field>mass</field>")
    out.line(3, "<field>valence</field>")
    out.line(3, '<field type="string">pseudopotential</field>')
    out.line(3, "<set>")
    pp = " %-39s" if run.v6 else "  %-38s"
    for el, cnt in run.types:
        mass, zval, title = _element(el)[:3]
        out.line(4, "<rc><c>%4d</c><c>%-2s</c><c>%16.8f</c><c>%16.8f</c><c>%s</c></rc>"
                 % (cnt, el, mass, zval, pp % title))
    out.line(3, "</set>")
    out.line(2, "</array>")
    out.line(1, "</atominfo>")


_ENERGY_TERMS = (("alphaZ", 3.0), ("ewald", -40.0), ("hartreedc", -3.0), ("XCdc", -4.0),
                 ("pawpsdc", 12.0), ("pawaedc", -7.0))


def _write_energy(out, level, run, e_fr, ts, full, key, extra=(), asterisks=False):
    """An energy element; extra: (name, value) pairs after the three energies (the MD energies);
    asterisks: the three energies as Fortran writes numbers too wide for their field."""
    out.line(level, "<energy>")
    if full:
        r = run.rng
        terms = [(name, scale * run.nions * (0.7 + 0.6 * r.u("eterm-" + name, key))) for name, scale in _ENERGY_TERMS]
        atom = sum(-_element(el)[5] * 6.0 for el in run.atoms)
        rest = e_fr - sum(v for _, v in terms) - ts - atom
        for name, v in terms:
            out.line(level + 1, '<i name="%s">%16.8f </i>' % (name, v))
        out.line(level + 1, '<i name="eentropy">%16.8f </i>' % ts)
        out.line(level + 1, '<i name="bandstr">%16.8f </i>' % rest)
        out.line(level + 1, '<i name="atom">%16.8f </i>' % atom)
    for name, v in (("e_fr_energy", e_fr), ("e_wo_entrp", e_fr - ts), ("e_0_energy", e_fr - 0.5 * ts)):
        out.line(level + 1, '<i name="%s">%s </i>' % (name, "*" * 16 if asterisks else "%16.8f" % v))
    for name, v in extra:
        out.line(level + 1, '<i name="%s">%16.8f </i>' % (name, v))
    out.line(level, "</energy>")


def _write_eigen_block(out, run, level, occupancies=True):
    """The eigenvalues element (rows: energy, occupancy, or the energy alone) at the given indentation."""
    out.line(level, "<eigenvalues>")
    out.line(level + 1, "<array>")
    for d, nm in ((1, "band"), (2, "kpoint"), (3, "spin")):
        out.line(level + 2, '<dimension dim="%d">%s</dimension>' % (d, nm))
    out.line(level + 2, "<field>eigene</field>")
    if occupancies:
        out.line(level + 2, "<field>occ</field>")
    out.line(level + 2, "<set>")
    nb = run.nbands
    pre = (" " * (level + 5) + "<r>").encode()
    suf = b" </r>\n"
    kind = " " * (level + 4)
    kclose = (kind + "</set>\n").encode()
    for s in range(run.nspins):
        out.line(level + 3, '<set comment="spin %d">' % (s + 1))
        for k0, k1 in run._k_chunks(nb * (len(pre) + 26) + 40):
            e = run.eig_q(s, k0, k1)
            o = run.occ_q(e)
            parts = []
            if run.np:
                cols = [_fmt_q_np(e, 10, 4), _fmt_q_np(o, 10, 4)] if occupancies else [_fmt_q_np(e, 10, 4)]
                rows = _rows_np(pre, cols, suf)
                rl = rows.shape[1]
                buf = rows.tobytes()
                for kk in range(k1 - k0):
                    parts.append(('%s<set comment="kpoint %d">\n' % (kind, k0 + kk + 1)).encode())
                    parts.append(buf[kk * nb * rl:(kk + 1) * nb * rl])
                    parts.append(kclose)
            else:
                p = pre.decode()
                for kk in range(k1 - k0):
                    parts.append(('%s<set comment="kpoint %d">\n' % (kind, k0 + kk + 1)).encode())
                    parts.append("".join("%s%s%s </r>\n" % (p, _fmt_q(a, 10, 4), _fmt_q(b, 10, 4) if occupancies else "")
                                         for a, b in zip(e[kk], o[kk])).encode())
                    parts.append(kclose)
            out.write(b"".join(parts))
        out.line(level + 3, "</set>")
    out.line(level + 2, "</set>")
    out.line(level + 1, "</array>")
    out.line(level, "</eigenvalues>")


def _write_dos(out, run, comment=None, partial=True):
    cfg = run.cfg
    d = run.dos_data()
    ns, nedos = run.nspins, run.nedos
    out.line(2, '<dos comment="%s">' % comment if comment else "<dos>")
    out.line(3, '<i name="efermi">%16.8f </i>' % run.efermi)
    out.line(3, "<total>")
    out.line(4, "<array>")
    out.line(5, '<dimension dim="1">gridpoints</dimension>')
    out.line(5, '<dimension dim="2">spin</dimension>')
    for f in ("energy", "total", "integrated"):
        out.line(5, "<field>%s</field>" % f)
    out.line(5, "<set>")
    grid = [_fmt_q(q, 10, 4) for q in d["grid_q"]]
    for s in range(ns):
        out.line(6, '<set comment="spin %d">' % (s + 1))
        out.write("".join("       <r> %s %s %s </r>\n" % (g, _fmt_q(a, 10, 4), _fmt_q(b, 10, 4))
                          for g, a, b in zip(grid, d["dens_q"][s], d["integ_q"][s])).encode())
        out.line(6, "</set>")
    out.line(5, "</set>")
    out.line(4, "</array>")
    out.line(3, "</total>")
    if cfg["partial_dos"] and partial:
        frac, slope = run.partial_fracs()
        out.line(3, "<partial>")
        out.line(4, "<array>")
        out.line(5, '<dimension dim="1">gridpoints</dimension>')
        out.line(5, '<dimension dim="2">spin</dimension>')
        out.line(5, '<dimension dim="3">ion</dimension>')
        out.line(5, "<field>energy</field>")
        for f in run.orbital_fields:
            out.line(5, "<field>%s</field>" % f)
        out.line(5, "<set>")
        tgrid = [2.0 * e / (nedos - 1) - 1.0 for e in range(nedos)]
        pre = b"        <r>"
        if run.np:
            grid_cols = _fmt_q_np(np.asarray(d["grid_q"]), 10, 4)
            sp = np.full((nedos, 1), 32, np.uint8)
            tg = np.asarray(tgrid)
        for i in range(run.nions):
            out.line(6, '<set comment="ion %d">' % (i + 1))
            for s in range(ns):
                out.line(7, '<set comment="spin %d">' % (s + 1))
                if run.np:
                    dens = np.asarray(d["dens_f"][s])
                    fr = np.asarray(frac[i])[None, :]
                    sl = np.asarray(slope[i])[None, :]
                    v = dens[:, None] * fr * (1.0 + sl * tg[:, None])
                    vals = _fmt_q_np(_q_np(v, 4), 10, 4).reshape(nedos, 90)
                    cols = [sp, grid_cols]
                    for o in range(9):
                        cols += [sp, vals[:, 10 * o:10 * o + 10]]
                    out.write(_rows_np(pre, cols, b" </r>\n").tobytes())
                else:
                    lines = []
                    for e in range(nedos):
                        dv = d["dens_f"][s][e]
                        vals = [_fmt_q(_q(dv * frac[i][o] * (1.0 + slope[i][o] * tgrid[e]), 4), 10, 4) for o in range(9)]
                        lines.append("        <r> %s %s </r>\n" % (grid[e], " ".join(vals)))
                    out.write("".join(lines).encode())
                out.line(7, "</set>")
            out.line(6, "</set>")
        out.line(5, "</set>")
        out.line(4, "</array>")
        out.line(3, "</partial>")
    out.line(2, "</dos>")


def _write_projected(out, run, tag="projected"):
    nb, ni, ns, nk = run.nbands, run.nions, run.nspins, run.nkpts
    out.line(2, "<%s>" % tag)
    _write_eigen_block(out, run, 3)
    out.line(3, "<array>")
    for d, nm in ((1, "ion"), (2, "band"), (3, "kpoint"), (4, "spin")):
        out.line(4, '<dimension dim="%d">%s</dimension>' % (d, nm))
    for f in run.orbital_fields:
        out.line(4, "<field>%s</field>" % f)
    out.line(4, "<set>")
    caps = run.proj_caps()
    base = run.rng.base("projected")
    pre = b"        <r>"
    suf = b" </r>\n"
    band_open = [('       <set comment="band %d">\n' % (b + 1)).encode() for b in range(nb)]
    band_close = b"       </set>\n"
    per_band = ni * 9
    bchunk = max(1, (1 << 18) // per_band)
    if run.np:
        cap_arr = np.asarray(caps, dtype=np.float64).ravel()
    for s in range(ns):
        out.line(5, '<set comment="spin%d">' % (s + 1))
        for k in range(nk):
            out.line(6, '<set comment="kpoint %d">' % (k + 1))
            for b0 in range(0, nb, bchunk):
                b1 = min(nb, b0 + bchunk)
                first = ((s * nk + k) * nb + b0) * per_band
                parts = []
                if run.np:
                    idx = first + np.arange((b1 - b0) * per_band, dtype=np.int64)
                    u = run.rng.u_np(base, idx)
                    u2 = u * u
                    capv = np.tile(cap_arr, b1 - b0)
                    q = _q_np(u2 * u2 * capv, 4)
                    rows = _rows_np(pre, [_fmt_q_np(q, 8, 4).reshape(-1, 72)], suf)
                    blen = ni * rows.shape[1]
                    buf = rows.tobytes()
                    for bb in range(b1 - b0):
                        parts.append(band_open[b0 + bb])
                        parts.append(buf[bb * blen:(bb + 1) * blen])
                        parts.append(band_close)
                else:
                    for bb in range(b1 - b0):
                        parts.append(band_open[b0 + bb])
                        rows = []
                        for i in range(ni):
                            vals = []
                            for o in range(9):
                                u = run.rng.u_py(base, first + (bb * ni + i) * 9 + o)
                                u2 = u * u
                                vals.append(_fmt_q(_q(u2 * u2 * caps[i][o], 4), 8, 4))
                            rows.append("        <r>%s </r>\n" % "".join(vals))
                        parts.append("".join(rows).encode())
                        parts.append(band_close)
                out.write(b"".join(parts))
            out.line(6, "</set>")
        out.line(5, "</set>")
    out.line(4, "</set>")
    out.line(3, "</array>")
    out.line(2, "</%s>" % tag)


def _dielectric_rows(run, variant, part):
    """Rows of energy and six tensor components: a sum of three Lorentz oscillators per variant."""
    cfg, r = run.cfg, run.rng
    nrows = int(cfg["dielectric_rows"])
    emax = 40.0
    dw = emax / max(nrows - 1, 1)
    tag = "diel%d" % variant
    osc = []
    for j in range(3):
        w0 = 3.0 + 4.0 * j + 2.0 * r.u(tag + "w", j)
        gam = 0.5 + 1.5 * r.u(tag + "g", j)
        f = (10.0 + 40.0 * r.u(tag + "f", j)) * (1.0 + j)
        osc.append((w0, gam, f))
    comp = [1.0 + 0.06 * (r.u(tag + "c", c) - 0.5) for c in range(3)]
    offd = [0.02 * (r.u(tag + "o", c) - 0.5) for c in range(3)]
    rows = []
    for e in range(nrows):
        w = e * dw
        im, re = 0.0, 1.0
        for w0, gam, f in osc:
            d0 = w0 * w0 - w * w
            den = d0 * d0 + gam * gam * w * w
            im = im + f * gam * w / den
            re = re + f * d0 / den
        base = im if part == "imag" else re
        dev = im if part == "imag" else re - 1.0
        rows.append([w] + [base * c for c in comp] + [dev * o for o in offd])
    return rows


def _write_tensor_table(out, level, rows):
    """An array of rows of an energy and the six components xx yy zz xy yz zx."""
    out.line(level, "<array>")
    out.line(level + 1, '<dimension dim="1">gridpoints</dimension>')
    for f in ("energy", "xx", "yy", "zz", "xy", "yz", "zx"):
        out.line(level + 1, "<field>%s</field>" % f)
    out.line(level + 1, "<set>")
    pad = " " * (level + 2)
    out.write("".join("%s<r>%s </r>\n" % (pad, "".join(" " + _fmt_q(_q(x, 4), 10, 4) for x in vals))
                      for vals in rows).encode())
    out.line(level + 1, "</set>")
    out.line(level, "</array>")


def _write_dielectric(out, run, comment, variant, level=2):
    """A dielectricfunction element; comment None writes none (as VASP 5 does)."""
    out.line(level, '<dielectricfunction comment="%s">' % comment if comment is not None else "<dielectricfunction>")
    for part in ("imag", "real"):
        out.line(level + 1, "<%s>" % part)
        _write_tensor_table(out, level + 2, _dielectric_rows(run, variant, part))
        out.line(level + 1, "</%s>" % part)
    out.line(level, "</dielectricfunction>")


def _write_conductivity(out, run, spin):
    """The frequency-dependent conductivity of one spin, a table of the same form."""
    rows = [[w, 0.05 * (1.0 + spin) * im, 0.04 * im, 0.06 * im, xy, yz, zx]
            for w, im, _, _, xy, yz, zx in _dielectric_rows(run, 10 + spin, "imag")]
    out.line(2, '<conductivity comment="spin=%d">' % (spin + 1))
    _write_tensor_table(out, 3, rows)
    out.line(2, "</conductivity>")


# The comments of the dielectric functions that a GW run writes outside any calculation.
_GW_DIELECTRIC = ("HEAD OF MICROSCOPIC DIELECTRIC TENSOR (INDEPENDENT PARTICLE)",
                  "1 + v P,  with REDUCIBLE POLARIZABILTY P=P_0 (1 -(v+f) P_0)^-1",
                  "INVERSE MACROSCOPIC DIELECTRIC TENSOR (including local field effects in RPA (Hartree))",
                  "screened Coulomb potential")


def _tensor(run, name, diagonal, spread):
    """A symmetric 3x3 tensor near diagonal * 1."""
    u = run.rng.us(name, 6)
    m = [[0.0] * 3 for _ in range(3)]
    for c in range(3):
        m[c][c] = diagonal * (1.0 + 0.05 * (u[c] - 0.5))
    for k, (a, b) in enumerate(((0, 1), (1, 2), (0, 2))):
        m[a][b] = m[b][a] = spread * (u[3 + k] - 0.5)
    return m


def _write_tensor(out, level, name, m):
    out.line(level, '<varray name="%s" >' % name)
    for row in m:
        out.line(level + 1, _vec(row))
    out.line(level, "</varray>")


def _write_response(out, run):
    """What a linear-response run (LEPSILON) writes after the energies of its calculation: the
    response loop's electronic steps (three energies each), the static dielectric tensor without
    and with local fields, the k-points of the lower symmetry, the Born effective charges."""
    cfg, r = run.cfg, run.rng

    def response_steps(n, key):
        for j in range(n):
            e = -1.6 * run.nions * (1.0 + 0.01 * 0.3 ** j * r.u("response", key * 100 + j))
            out.line(2, "<scstep>")
            out.line(3, '<time name="total">%8.2f%8.2f</time>' % (2.0, 2.0))
            _write_energy(out, 3, run, e, 0.0, False, key)
            out.line(2, "</scstep>")

    eps = _tensor(run, "epsilon", 3.0 + 8.0 * r.u("epsilon-size"), 0.02)
    response_steps(4, 1)
    _write_tensor(out, 2, "epsilon_rpa", [[x * 1.03 for x in row] for row in eps])
    _write_kpoints(out, run, level=2)
    response_steps(3, 2)
    _write_tensor(out, 2, "epsilon", eps)
    _write_kpoints(out, run, level=2)
    if cfg["born_charges"]:
        out.line(2, '<array name="born_charges" >')
        out.line(3, '<dimension dim="1">ion</dimension>')
        for i, el in enumerate(run.atoms):
            z = _tensor(run, "born%d" % i, _element(el)[1] * 0.5 * (1 if i % 2 == 0 else -1), 0.3)
            out.line(3, "<set>")
            for row in z:
                out.line(4, _vec(row))
            out.line(3, "</set>")
        out.line(2, "</array>")


def _write_dynmat(out, run):
    """Finite differences (IBRION 5 to 8): the mass-weighted second derivatives, their
    eigenvalues (minus the squared frequencies) and eigenvectors, n = 3 natoms each."""
    r, n = run.rng, 3 * run.nions
    h = [[0.0] * n for _ in range(n)]
    for a in range(n):
        h[a][a] = -0.02 - 0.08 * r.u("hessian-diag", a)
        for b in range(a + 1, n):
            h[a][b] = h[b][a] = 0.004 * (r.u("hessian", a * n + b) - 0.5)
    out.line(2, "<dynmat>")
    out.line(3, '<varray name="hessian" >')
    for row in h:
        out.line(4, _vec(row))
    out.line(3, "</varray>")
    eig = sorted(h[a][a] + 0.001 * (r.u("dynmat-eig", a) - 0.5) for a in range(n))
    out.line(3, '<v name="eigenvalues">%s</v>' % "".join("%16.8E" % x for x in eig))
    out.line(3, '<varray name="eigenvectors" >')
    for a in range(n):
        out.line(4, "<v> %s</v>" % "".join("%16.8E" % (2.0 * r.u("eigenvector", a * n + b) - 1.0)
                                           for b in range(n)))
    out.line(3, "</varray>")
    out.line(2, "</dynmat>")


def _write_kpoints_opt(out, run):
    """What VASP 6.6 writes for a second k-point set (KPOINTS_OPT) after the energies: the set,
    its density of states, its energies (without occupancies) with the set again, and its
    projections, whose eigenvalues do carry the occupancies."""
    cfg, opt = run.cfg, run.opt
    _write_kpoints(out, opt, level=2)
    if cfg["dos"]:
        _write_dos(out, opt, comment="kpoints_opt", partial=False)
    out.line(2, '<eigenvalues_kpoints_opt comment="kpoints_opt">')
    _write_kpoints(out, opt, level=3, generation=False)
    _write_eigen_block(out, opt, 3, occupancies=False)
    out.line(2, "</eigenvalues_kpoints_opt>")
    if cfg["projected"]:
        _write_projected(out, opt, tag="projected_kpoints_opt")


def _write_predicted_steps(out, run, t):
    """The MD steps that a machine-learned force field predicts after calculation t, each written
    at the top level as a structure, its forces and its energies."""
    for j in range(int(run.cfg["ml_steps"])):
        p = run.predicted_step(t, j)
        m = t * (1 + int(run.cfg["ml_steps"])) + j + 1
        _write_structure(out, 1, None, p["lattice"], p["positions"])
        out.line(1, '<varray name="forces" >')
        for f in p["forces"]:
            out.line(2, _vec(f))
        out.line(1, "</varray>")
        _write_energy(out, 1, run, p["e_fr"], 0.0, False, m, extra=run.md_energies(m, p["e_fr"]))
        out.line(1, '<time name="totalsc">%8.2f%8.2f</time>' % (0.03, 0.04))


def _write_calculation(out, run, t, last):
    cfg, r = run.cfg, run.rng
    st = run.steps[t]
    out.line(1, "<calculation>")
    tot_cpu = 0.0
    nsc = len(st["scsteps"])
    for j, (e, ts) in enumerate(st["scsteps"]):
        cpu = 0.2 + 0.3 * r.u("time", t * 1000 + j)
        tot_cpu += cpu
        out.line(2, "<scstep>")
        out.line(3, '<time name="dav">%8.2f%8.2f</time>' % (cpu * 0.8, cpu * 1.6))
        out.line(3, '<time name="total">%8.2f%8.2f</time>' % (cpu, cpu * 2.0))
        _write_energy(out, 3, run, e, ts, j == 0 or j == nsc - 1, t * 1000 + j,
                      asterisks=cfg["scstep_asterisks"] and j == 0)
        out.line(2, "</scstep>")
    _write_structure(out, 2, None, st["lattice"], st["positions"])
    out.line(2, '<varray name="forces" >')
    for f in st["forces"]:
        out.line(3, _vec(f))
    out.line(2, "</varray>")
    if cfg["stress"]:
        out.line(2, '<varray name="stress" >')
        for row in st["stress"]:
            out.line(3, _vec(row))
        out.line(2, "</varray>")
    if cfg["magnetization"] and run.nspins == 2:
        out.line(2, '<varray name="magnetization" >')
        for m in st["magnetization"]:
            out.line(3, _vec([m]))
        out.line(2, "</varray>")
    m = t * (1 + int(cfg["ml_steps"]))  # the MD step of this calculation
    _write_energy(out, 2, run, st["e_fr"], st["ts"], False, t,
                  extra=run.md_energies(m, st["e_fr"]) if cfg["md_energies"] else ())
    if last and cfg["epsilon"]:
        _write_response(out, run)
    if last and cfg["dynmat"]:
        _write_dynmat(out, run)
    if last and cfg["epsilon_ion"]:
        _write_tensor(out, 2, "epsilon_ion", _tensor(run, "epsilon_ion", 5.0 + 10.0 * r.u("epsilon-ion-size"), 0.05))
    if last and cfg["kpoints_opt"]:
        _write_kpoints_opt(out, run)
    out.line(2, '<time name="totalsc">%8.2f%8.2f</time>' % (tot_cpu + 0.1, 2.0 * tot_cpu + 0.2))
    if last or cfg["bulk_every_step"]:
        _write_eigen_block(out, run, 2)
    if last:
        out.line(2, '<separator name="orbital magnetization" >')
        out.line(3, '<v name="MAGDIPOLOUT">%s</v>' % ("%16.8f" % 0.0 * 3))
        out.line(2, "</separator>")
        if cfg["dos"]:
            _write_dos(out, run)
        if cfg["projected"]:
            _write_projected(out, run)
        labelled = cfg["dielectric_comment"]
        if cfg["dielectric"]:
            _write_dielectric(out, run, "density-density" if labelled else None, 0)
            if cfg["dielectric_current"]:
                _write_dielectric(out, run, "current-current" if labelled else None, 1)
        if cfg["conductivity"]:
            for spin in range(run.nspins):
                _write_conductivity(out, run, spin)
    out.line(1, "</calculation>")


def _write_all(out, run):
    cfg = run.cfg
    _write_header(out, run)
    _write_incar(out, run)
    if cfg["primitive_cell"]:
        _write_primitive(out, run)
    _write_kpoints(out, run)
    _write_parameters(out, run)
    _write_atominfo(out, run)
    md = cfg["md_energies"]
    _write_structure(out, 1, "initialpos", run.lat0, run.pos0, selective=run.selective,
                     velocities=run.velocities(0) if md else None)
    for n in range(int(cfg["top_level_dielectric"])):
        _write_dielectric(out, run, _GW_DIELECTRIC[n % len(_GW_DIELECTRIC)], 20 + n, level=1)
    for t in range(run.nsteps):
        _write_calculation(out, run, t, t == run.nsteps - 1)
        _write_predicted_steps(out, run, t)
    fin = run.steps[-1]
    _write_structure(out, 1, "finalpos", fin["lattice"], fin["positions"], selective=run.selective,
                     velocities=run.velocities(1) if md else None)
    out.line(0, "</modeling>")
    out.flush()


# ---------------------------------------------------------------------------
# Public API
# ---------------------------------------------------------------------------
_DEFAULTS = dict(species="Si:2,O:4", kpoints=10, bands=None, spins=1, steps=3, scsteps=3, nedos=301,
                 dos=False, partial_dos=None, projected=False, dielectric=False, dielectric_rows=1000,
                 dielectric_current=False, magnetization=False, labels=False, scheme="Gamma",
                 bulk_every_step=False, primitive_cell=True, vasp_version="6.4.2", target_mb=None,
                 seed=0, compresslevel=6, hybrid=False, path_kpoints=20, vasprun_labels=True, md=False,
                 pstress=0.0, dielectric_comment=True, conductivity=False, top_level_dielectric=0,
                 epsilon=False, epsilon_ion=False, born_charges=False, dynmat=False, kpoints_opt=0,
                 selective=False, md_energies=False, ml_steps=0, stress=True, scstep_asterisks=False)


def _config(kw):
    unknown = set(kw) - set(_DEFAULTS) - {"atoms", "use_numpy"}
    if unknown:
        raise TypeError("unknown option(s): %s" % ", ".join(sorted(unknown)))
    cfg = dict(_DEFAULTS)
    cfg.update({k: v for k, v in kw.items() if k in _DEFAULTS})
    if kw.get("atoms") is not None:
        cfg["species"] = kw["atoms"]
    if cfg["partial_dos"] is None:
        cfg["partial_dos"] = bool(cfg["dos"])
    cfg["partial_dos"] = bool(cfg["partial_dos"] and cfg["dos"])
    cfg["bands_given"] = cfg["bands"] is not None
    return cfg


def _measure(cfg, use_numpy):
    sink = _Sink(None)
    _write_all(sink, _Run(cfg, use_numpy))
    return sink.total


def _scale_to_target(cfg, use_numpy):
    """Grow bands (projected files) or k-points until the XML is about target_mb MB."""
    target = float(cfg["target_mb"]) * 1e6
    key = "bands" if cfg["projected"] else "kpoints"
    n1 = _Run(cfg, use_numpy).nbands if key == "bands" else int(cfg["kpoints"])
    s1 = _measure(dict(cfg, **{key: n1}), use_numpy)
    if s1 >= target:
        return cfg
    n2 = n1 * 2 + 2
    s2 = _measure(dict(cfg, **{key: n2}), use_numpy)
    per = (s2 - s1) / (n2 - n1)
    n = max(n1, int(round(n1 + (target - s1) / per)))
    return dict(cfg, **{key: n, "bands_given": cfg["bands_given"] or key == "bands"})


def _generate(path, kw):
    cfg = _config(kw)
    use_numpy = kw.get("use_numpy")
    use_numpy = (np is not None) if use_numpy is None else bool(use_numpy)
    if use_numpy and np is None:
        raise RuntimeError("numpy is not importable")
    if cfg["target_mb"]:
        cfg = _scale_to_target(cfg, use_numpy)
    run = _Run(cfg, use_numpy)
    path = os.fspath(path)
    with open(path, "wb", buffering=1 << 20) as fh:
        if path.endswith(".gz"):
            with gzip.GzipFile(filename="", mode="wb", fileobj=fh, compresslevel=int(cfg["compresslevel"]), mtime=0) as gz:
                sink = _Sink(gz)
                _write_all(sink, run)
        else:
            sink = _Sink(fh)
            _write_all(sink, run)
    return dict(xml_bytes=sink.total, file_bytes=os.path.getsize(path), atoms=run.nions,
                species=[el for el, _ in run.types], kpoints=run.nkpts, bands=run.nbands,
                spins=run.nspins, steps=run.nsteps, nedos=run.nedos if cfg["dos"] else 0,
                numpy=use_numpy)


def write_vasprun(path, *, species="Si:2,O:4", atoms=None, kpoints=10, bands=None, spins=1, steps=3,
                  scsteps=3, nedos=301, dos=False, partial_dos=None, projected=False, dielectric=False,
                  dielectric_rows=1000, dielectric_current=False, magnetization=False, labels=False,
                  scheme="Gamma", bulk_every_step=False, primitive_cell=True, vasp_version="6.4.2",
                  target_mb=None, seed=0, compresslevel=6, use_numpy=None, hybrid=False, path_kpoints=20,
                  vasprun_labels=True, md=False, pstress=0.0, dielectric_comment=True, conductivity=False,
                  top_level_dielectric=0, epsilon=False, epsilon_ion=False, born_charges=False, dynmat=False,
                  kpoints_opt=0, selective=False, md_energies=False, ml_steps=0, stress=True,
                  scstep_asterisks=False) -> None:
    """Write a synthetic vasprun.xml to path (gzip-compressed when path ends with .gz).

    species: "El:count,..." text, a dict or (element, count) pairs; atoms is an alias.
    md: molecular dynamics (IBRION 0) in a fixed cell instead of a relaxation; pstress: PSTRESS (kB).
    partial_dos defaults to dos.  use_numpy=None uses numpy when importable; the
    file is byte-identical either way.  hybrid: the k-points of a hybrid band run, the
    grid of `kpoints` weighted points, then a labelled path of about `path_kpoints` points
    with zero weights, as an explicit list.  vasprun_labels=False leaves the labels of a
    line-mode path out of the file, as VASP before 6 does (write_kpoints writes them).
    Other keywords match the command-line options.
    """
    _generate(path, dict(species=species, atoms=atoms, kpoints=kpoints, bands=bands, spins=spins,
                         steps=steps, scsteps=scsteps, nedos=nedos, dos=dos, partial_dos=partial_dos,
                         projected=projected, dielectric=dielectric, dielectric_rows=dielectric_rows,
                         dielectric_current=dielectric_current, magnetization=magnetization,
                         labels=labels, scheme=scheme, bulk_every_step=bulk_every_step,
                         primitive_cell=primitive_cell, vasp_version=vasp_version,
                         target_mb=target_mb, seed=seed, compresslevel=compresslevel,
                         use_numpy=use_numpy, hybrid=hybrid, path_kpoints=path_kpoints,
                         vasprun_labels=vasprun_labels, md=md, pstress=pstress,
                         dielectric_comment=dielectric_comment, conductivity=conductivity,
                         top_level_dielectric=top_level_dielectric, epsilon=epsilon, epsilon_ion=epsilon_ion,
                         born_charges=born_charges, dynmat=dynmat, kpoints_opt=kpoints_opt, selective=selective,
                         md_energies=md_energies, ml_steps=ml_steps, stress=stress,
                         scstep_asterisks=scstep_asterisks))


def kpoints_text(**options):
    """The KPOINTS file of the run that write_vasprun makes with the same options: a
    line-mode path with labels, an explicit list (hybrid: grid weights, then the path
    with zero weights and its labels), or an automatic grid."""
    run = _Run(_config(options), use_numpy=False)
    labels = {index - 1: label for index, label in run.kpoints_file_labels}  # 0-based
    if run.kscheme == "listgenerated":
        lines = ["line-mode path written by gen_vasprun.py", str(run.kdiv), "Line-mode", "Reciprocal"]
        for s in range(len(run.kpath) - 1):
            for end, point in ((0, run.kpath[s]), (run.kdiv - 1, run.kpath[s + 1])):
                lines.append("%.8f %.8f %.8f ! %s" % (*point, labels[s * run.kdiv + end]))
            lines.append("")
        return "\n".join(lines) + "\n"
    if run.kscheme is None:
        lines = ["explicit k-points written by gen_vasprun.py", str(run.nkpts), "Reciprocal"]
        for index, (point, weight) in enumerate(zip(run.kpts, run.kweights)):
            label = labels.get(index, "")
            lines.append(("%.8f %.8f %.8f %.8f %s" % (*point, weight, label)).rstrip())
        return "\n".join(lines) + "\n"
    return "automatic grid written by gen_vasprun.py\n0\n%s\n%d %d %d\n" % (run.kscheme, run.kdiv, run.kdiv,
                                                                               run.kdiv)


def write_kpoints(path, **options):
    """Writes kpoints_text(**options) to path."""
    with open(path, "w") as fh:
        fh.write(kpoints_text(**options))


def main(argv=None):
    p = argparse.ArgumentParser(prog="gen_vasprun.py",
                                description="Write a synthetic VASP vasprun.xml (gzip when OUT ends with .gz).")
    B = argparse.BooleanOptionalAction
    p.add_argument("out", metavar="OUT")
    p.add_argument("--species", default=_DEFAULTS["species"], help='element:count list, e.g. "Si:2,O:4"')
    p.add_argument("--kpoints", type=int, default=_DEFAULTS["kpoints"], help="irreducible k-points")
    p.add_argument("--bands", type=int, default=None, help="bands (default: NELECT/2 + NIONS/2, at least 8)")
    p.add_argument("--spins", type=int, choices=(1, 2), default=1, help="ISPIN")
    p.add_argument("--steps", type=int, default=_DEFAULTS["steps"], help="ionic steps (calculation elements)")
    p.add_argument("--scsteps", type=int, default=_DEFAULTS["scsteps"], help="electronic steps per calculation")
    p.add_argument("--nedos", type=int, default=_DEFAULTS["nedos"], help="DOS grid points")
    p.add_argument("--dos", action=B, default=False, help="density of states in the last calculation")
    p.add_argument("--partial-dos", action=B, default=None, help="partial DOS with 9 orbitals (default: on with --dos)")
    p.add_argument("--projected", action=B, default=False, help="projected eigenvalues (LORBIT=11)")
    p.add_argument("--dielectric", action=B, default=False, help="dielectric function (imag and real)")
    p.add_argument("--dielectric-rows", type=int, default=_DEFAULTS["dielectric_rows"], help="energy rows of the dielectric function")
    p.add_argument("--dielectric-current", action=B, default=False,
                   help="add a second, current-current dielectricfunction after the density-density one")
    p.add_argument("--dielectric-comment", action=B, default=True,
                   help="comment attributes on the dielectric functions (VASP 5 writes none)")
    p.add_argument("--conductivity", action=B, default=False, help="a conductivity table per spin (optics)")
    p.add_argument("--top-level-dielectric", type=int, default=0, metavar="N",
                   help="N dielectric functions outside any calculation, as GW runs write them")
    p.add_argument("--epsilon", action=B, default=False,
                   help="linear response (LEPSILON): response steps, epsilon and epsilon_rpa in the last calculation")
    p.add_argument("--epsilon-ion", action=B, default=False, help="the ionic dielectric tensor epsilon_ion")
    p.add_argument("--born-charges", action=B, default=False, help="Born effective charges (with --epsilon)")
    p.add_argument("--dynmat", action=B, default=False,
                   help="finite differences (IBRION 8): hessian, eigenvalues and eigenvectors, 3 natoms each")
    p.add_argument("--kpoints-opt", type=int, default=0, metavar="N",
                   help="a second k-point set of N points (KPOINTS_OPT) with its eigenvalues, DOS and projections")
    p.add_argument("--selective", action=B, default=False, help="selective-dynamics flags in the top-level structures")
    p.add_argument("--md-energies", action=B, default=False,
                   help="with --md: MD energies per step, velocities in the top-level structures")
    p.add_argument("--ml-steps", type=int, default=0, metavar="N",
                   help="with --md: N force-field-predicted steps at the top level after each calculation")
    p.add_argument("--stress", action=B, default=True, help="a stress tensor per calculation")
    p.add_argument("--scstep-asterisks", action=B, default=False,
                   help="the first electronic step's energies of each calculation written as asterisks")
    p.add_argument("--magnetization", action=B, default=False, help="magnetization varray per calculation (spin 2 only)")
    p.add_argument("--labels", action=B, default=False, help="line-mode band-structure k-points with labels")
    p.add_argument("--scheme", choices=("Gamma", "Monkhorst-Pack"), default="Gamma", help="k-point grid scheme")
    p.add_argument("--hybrid", action=B, default=False,
                   help="a hybrid band run: the weighted grid, then a labelled path with zero weights")
    p.add_argument("--path-kpoints", type=int, default=_DEFAULTS["path_kpoints"], help="k-points of the --hybrid path")
    p.add_argument("--vasprun-labels", action=B, default=True, help="k-point labels in the file (with --labels)")
    p.add_argument("--kpoints-file", metavar="PATH", help="also write the run's KPOINTS file here")
    p.add_argument("--bulk-every-step", action=B, default=False, help="eigenvalues in every calculation")
    p.add_argument("--primitive-cell", action=B, default=True, help="primitive_cell structure before kpoints")
    p.add_argument("--vasp-version", default=_DEFAULTS["vasp_version"],
                   help="version string; 5.x selects the 5.4 layout, before 5.4.4 with the short orbital titles")
    p.add_argument("--target-mb", type=float, default=None,
                   help="grow bands (with --projected) or k-points until the XML is about this many MB")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--compresslevel", type=int, default=6, help="gzip level for .gz output")
    p.add_argument("--md", action=B, default=False, help="molecular dynamics (IBRION 0) in a fixed cell")
    p.add_argument("--pstress", type=float, default=0.0, help="PSTRESS, the external pressure (kB)")
    p.add_argument("--no-numpy", action="store_true", help="pure-Python path (same output, slower)")
    a = p.parse_args(argv)
    kw = {k: v for k, v in vars(a).items() if k not in ("out", "no_numpy", "kpoints_file")}
    kw["use_numpy"] = False if a.no_numpy else None
    t0 = time.perf_counter()
    info = _generate(a.out, kw)
    if a.kpoints_file:
        write_kpoints(a.kpoints_file, **{k: v for k, v in kw.items() if k != "use_numpy"})
    dt = time.perf_counter() - t0
    print("%s: %.2f MB XML (%.2f MB on disk), %d atoms, %d k-points, %d bands, %d spin(s), %d steps, %.2f s%s"
          % (a.out, info["xml_bytes"] / 1e6, info["file_bytes"] / 1e6, info["atoms"], info["kpoints"],
             info["bands"], info["spins"], info["steps"], dt, "" if info["numpy"] else " (no numpy)"),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
