"""The `quorvel` command: summaries of run files, their ionic steps, and DOS and band-structure plots.

    quorvel info FILE|FOLDER... [--format table|csv|json] [-j N]             what each file holds
    quorvel steps FILE|FOLDER... [--format table|csv|json] [-j N] [--plot P]  the ionic steps, one row each
    quorvel dos FILE [-o dos.png] [--partial] [--atoms 1,3-5] [--sigma S]      the density of states
    quorvel bands FILE... [-o bands.png] [--kpoints KPOINTS]... [--main]      the band structure
    quorvel export FILE|FOLDER... -o train.xyz [--keys ase|ref] [-j N]       the ionic steps as a training set

Exit status: 0 when every file was read, 1 when some file failed (its error is
printed on standard error with its name, the other files go on), 2 for wrong
usage, 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Sequence

import quorvel

from .bands import command_bands
from .dos import command_dos
from .gap import RULE_TEXT
from .export import add_export_options, command_export
from .info import COLUMNS_HELP, command_info
from .options import at_least_one
from .plot import add_picture, positive_energy
from .sites import site_list
from .steps import COLUMNS_HELP as STEP_COLUMNS_HELP, command_steps
from .workers import leave_on_interrupt

__all__ = ["main", "parser"]


def _version() -> str:
    """The package version and the libraries the module was built with."""
    from importlib.metadata import PackageNotFoundError, version
    try:
        number = version("quorvel")
    except PackageNotFoundError:
        number = "unknown"
    built = quorvel.build_info
    return f"{number} (gzip: {built['gzip']}, floats: {built['floats']})"


FOLDERS_HELP = ("run files or folders; a folder is searched recursively for files named vasprun* (plain or .gz, "
                "with suffixes such as .relax1 or .static) or *vasprun*.xml[.gz], and where none is, for every "
                "*.xml and *.xml.gz; links to folders are followed once, FIFOs, sockets and devices passed over")


def _add_many_files(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="+", metavar="FILE", help=FOLDERS_HELP + "; a failing file does not "
                                                                                 "stop the others")
    command.add_argument("--format", choices=("table", "csv", "json"), default="table",
                         help="a table for people (default), or CSV or JSON for programs")
    _add_jobs(command)


def _add_jobs(command: argparse.ArgumentParser, default: int | None = None) -> None:
    workers = default or os.cpu_count() or 1
    command.add_argument("-j", "--jobs", type=at_least_one("workers"), default=workers, metavar="N",
                         help=f"read with N worker threads (default: {'the number of cores' if default is None else 1}"
                              "); the output keeps the order of the arguments")


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="quorvel", description="Read VASP vasprun.xml run files (plain or gzip-compressed).",
        epilog="exit status: 0 when every file was read, 1 when some file failed, 2 for wrong usage, 130 after "
               "Ctrl-C")
    main_parser.add_argument("--version", action="version", version=f"quorvel {_version()}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser("info", help="summarise each run file: a block each, or a CSV or JSON row each",
                               description="Summarise each run file: a block each, or a CSV or JSON row each.",
                               epilog=f"{COLUMNS_HELP} {RULE_TEXT[0].upper()}{RULE_TEXT[1:]}.")
    _add_many_files(info)
    info.add_argument("--no-projected", action="store_true", help="do not read the projections (faster)")
    info.set_defaults(run=command_info)
    steps = commands.add_parser("steps", help="the ionic steps: energies, their change, largest force, pressure, "
                                              "volume, and where EDIFFG would stop the relaxation",
                                description="The ionic steps of each run file, one row each.",
                                epilog=STEP_COLUMNS_HELP)
    _add_many_files(steps)
    steps.add_argument("--plot", metavar="OUT.png", help="also draw e_0_energy and the largest force (log scale) "
                                                         "per step into this picture (needs matplotlib)")
    steps.set_defaults(run=command_steps)
    dos = commands.add_parser("dos", help="plot the density of states (needs matplotlib)",
                              description="Plot the density of states, relative to the valence band maximum "
                                          "of a gapped run or the Fermi level of a metal.",
                              epilog=f"{RULE_TEXT[0].upper()}{RULE_TEXT[1:]}.")
    add_picture(dos, "dos.png")
    dos.add_argument("--absolute", action="store_true", help="keep the file's energies instead of E - E_F "
                                                             "(the default window is then E_F - 6 to E_F + 6)")
    dos.add_argument("--partial", action="store_true", help="add the partial DOS summed per element and orbital")
    dos.add_argument("--elements", nargs="+", metavar="EL", help="the elements of the partial DOS (implies "
                                                                 "--partial; default all)")
    dos.add_argument("--orbitals", nargs="+", metavar="ORB",
                     help="the orbitals of the partial DOS: groups s p d f, or labels such as px dxy (implies "
                          "--partial; default every group)")
    dos.add_argument("--atoms", type=site_list, metavar="SITES",
                     help="the sites of the partial DOS by their numbers in the file, from 1: 1,3-5 (implies "
                          "--partial; default all)")
    dos.add_argument("--sigma", type=positive_energy, metavar="EV",
                     help="broaden every curve with a Gaussian of this standard deviation (eV)")
    dos.set_defaults(run=command_dos)
    bands = commands.add_parser(
        "bands", help="plot the band structure along the k-path (needs matplotlib)",
        description="Plot the band structure along the k-path of a run, or of several runs joined in order "
                    "(a path split over runs). The x axis is the distance along the path in Cartesian "
                    "reciprocal space (Å⁻¹, from the final structure's lattice, reciprocal vectors with the "
                    "factor 2π: b = 2π·inv(A)ᵀ). Labels come from --kpoints, else from the run, else from the "
                    "KPOINTS file beside it (KPOINTS_OPT for KPOINTS_OPT data) when it is a line-mode path "
                    "or a labelled list. A run that mixes weighted k-points with zero-weight ones (a hybrid "
                    "band run) is drawn from its zero-weight points only; a run with KPOINTS_OPT data from "
                    "those, unless --main.",
        epilog=f"{RULE_TEXT[0].upper()}{RULE_TEXT[1:]}; bands applies it to the k-points it draws.")
    add_picture(bands, "bands.png", "vasprun.xml files; several are joined in order into one path")
    bands.add_argument("--kpoints", action="append", metavar="KPOINTS",
                       help="the KPOINTS file of the run (line mode, or an explicit list with labels), for its "
                            "labels; once per FILE, in their order")
    bands.add_argument("--main", action="store_true", help="draw the main k-point set of a run that also has "
                                                           "KPOINTS_OPT data")
    bands.set_defaults(run=command_bands)
    export = commands.add_parser(
        "export", help="the ionic steps of run files as one extended XYZ training set",
        description="Write one frame per kept ionic step of each run file (energy, free energy, forces, "
                    "stress in eV/Å³ with ASE's sign, and where the frame comes from) as extended XYZ, "
                    "which ASE and the training codes of interatomic potentials read.")
    export.add_argument("files", nargs="+", metavar="FILE", help=FOLDERS_HELP + "; a failing file is reported "
                                                                                "and left out")
    add_export_options(export)
    _add_jobs(export, 1)  # what follows each parse holds the interpreter lock: more threads only contend
    export.set_defaults(run=command_export)
    return main_parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's arguments) and returns the exit status."""
    try:
        args = parser().parse_args(argv)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 2
    command: Callable[[argparse.Namespace], int] = args.run
    try:
        return command(args)
    except BrokenPipeError:  # the reader of the output went away, as `| head` does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:  # Ctrl-C: stop quietly, as the shell expects, without waiting for workers
        return leave_on_interrupt(130)
