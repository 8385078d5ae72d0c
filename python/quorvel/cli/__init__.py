"""The `quorvel` command: summaries of run files, their ionic steps, and DOS and band-structure plots.

    quorvel info FILE|FOLDER... [--format table|csv|json] [-j N]   what each file holds
    quorvel steps FILE|FOLDER... [--format table|csv|json] [-j N]  the ionic steps, one row each
    quorvel dos FILE [-o dos.png] [--partial] [--window EMIN EMAX]  the density of states as a picture
    quorvel bands FILE [-o bands.png] [--window EMIN EMAX]          the band structure as a picture
    quorvel export FILE|FOLDER... -o train.xyz [--keys ase|ref] [-j N]  the ionic steps as a training set

Exit status: 0 when every file was read, 1 when some file failed (its error is
printed on standard error with its name, the other files go on), 2 for wrong usage.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Sequence

import quorvel

from .bands import command_bands
from .dos import command_dos
from .export import add_export_options, command_export
from .info import command_info
from .options import at_least_one
from .plot import add_picture
from .steps import command_steps

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


FOLDERS_HELP = ("run files or folders; a folder is searched recursively for *.xml and *.xml.gz files "
                "whose name contains 'vasprun' (all of them when no name does)")


def _add_many_files(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="+", metavar="FILE", help=FOLDERS_HELP + "; a failing file does not "
                                                                                 "stop the others")
    command.add_argument("--format", choices=("table", "csv", "json"), default="table",
                         help="a table for people (default), or CSV or JSON for programs")
    _add_jobs(command)


def _add_jobs(command: argparse.ArgumentParser) -> None:
    command.add_argument("-j", "--jobs", type=at_least_one("workers"), default=os.cpu_count() or 1, metavar="N",
                         help="read with N worker threads (default: the number of cores); the output keeps "
                              "the order of the arguments")


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="quorvel", description="Read VASP vasprun.xml run files (plain or gzip-compressed).",
        epilog="exit status: 0 when every file was read, 1 when some file failed, 2 for wrong usage")
    main_parser.add_argument("--version", action="version", version=f"quorvel {_version()}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser("info", help="summarise each run file: a block each, or a CSV or JSON row each")
    _add_many_files(info)
    info.add_argument("--no-projected", action="store_true", help="do not read the projections (faster)")
    info.set_defaults(run=command_info)
    steps = commands.add_parser("steps", help="the ionic steps: energies, largest force, stress trace, volume")
    _add_many_files(steps)
    steps.set_defaults(run=command_steps)
    dos = commands.add_parser("dos", help="plot the density of states (needs matplotlib)",
                              description="Plot the density of states, relative to the Fermi level.")
    add_picture(dos, "dos.png")
    dos.add_argument("--absolute", action="store_true", help="keep the file's energies instead of E - E_F "
                                                             "(the default window is then E_F - 6 to E_F + 6)")
    dos.add_argument("--partial", action="store_true", help="add the partial DOS summed per element and orbital")
    dos.add_argument("--elements", nargs="+", metavar="EL", help="the elements of the partial DOS (implies "
                                                                 "--partial; default all)")
    dos.add_argument("--orbitals", nargs="+", metavar="ORB",
                     help="the orbitals of the partial DOS: groups s p d f, or labels such as px dxy (implies "
                          "--partial; default every group)")
    dos.set_defaults(run=command_dos)
    bands = commands.add_parser(
        "bands", help="plot the band structure along the k-path (needs matplotlib)",
        description="Plot the band structure along the file's k-path. The x axis is the distance along the "
                    "path in Cartesian reciprocal space (Å⁻¹, from the final structure's lattice, reciprocal "
                    "vectors with the factor 2π: b = 2π·inv(A)ᵀ); energies are relative to the valence band "
                    "maximum of an insulator or the Fermi energy of a metal.")
    add_picture(bands, "bands.png")
    bands.set_defaults(run=command_bands)
    export = commands.add_parser(
        "export", help="the ionic steps of run files as one extended XYZ training set",
        description="Write one frame per kept ionic step of each run file (energy, free energy, forces, "
                    "stress in eV/Å³ with ASE's sign, and where the frame comes from) as extended XYZ, "
                    "which ASE and the training codes of interatomic potentials read.")
    export.add_argument("files", nargs="+", metavar="FILE", help=FOLDERS_HELP + "; a failing file is reported "
                                                                                "and left out")
    add_export_options(export)
    _add_jobs(export)
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
    except KeyboardInterrupt:  # Ctrl-C: stop quietly, as the shell expects
        return 130
