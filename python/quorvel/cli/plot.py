"""Shared by the commands that draw: reading the one file, the energy window, the title, saving."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import TYPE_CHECKING, Any

import quorvel

from .table import formula

if TYPE_CHECKING:
    from matplotlib.figure import Figure

DEFAULT_WINDOW = (-6.0, 6.0)


class FileProblem(Exception):
    """A file that was read but lacks what a command needs; the message says what."""


def matplotlib_missing(command: str) -> bool:
    """True, after saying how to install it, when matplotlib (an optional extra) is not there."""
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        print(f"quorvel: the {command} command needs matplotlib; install it with: pip install 'quorvel[plot]'",
              file=sys.stderr)
        return True
    return False


def read_one(path: str, **options: bool) -> quorvel.Vasprun | None:
    """The run, or None after printing why the file could not be read."""
    try:
        return quorvel.Vasprun(path, **options)
    except Exception as error:
        print(f"quorvel: {path}: {error}", file=sys.stderr)
        return None


def save(figure: Figure, output: str) -> int:
    try:
        figure.savefig(output, dpi=120)
    except (OSError, ValueError) as error:  # an unwritable path, an unknown picture format
        print(f"quorvel: {output}: {error}", file=sys.stderr)
        return 1
    print(f"wrote {output}")
    return 0


def energy_window(args: argparse.Namespace, reference: float) -> tuple[float, float]:
    """The energy range on the axis: as given, or DEFAULT_WINDOW around the reference energy."""
    if args.window is not None:
        return float(args.window[0]), float(args.window[1])
    return reference + DEFAULT_WINDOW[0], reference + DEFAULT_WINDOW[1]


def plain(text: str) -> str:
    """Text from a file, shown as it is: matplotlib would read $...$ as mathematics."""
    return text.replace("$", r"\$")


def title(run: quorvel.Vasprun, path: str) -> str:
    return plain(f"{formula(run.atoms)}: {os.path.basename(path)}")


class WindowAction(argparse.Action):
    """--window EMIN EMAX, with EMIN below EMAX."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        low, high = values
        if not low < high:
            parser.error(f"argument --window: EMIN must be below EMAX, got {low:g} {high:g}")
        setattr(namespace, self.dest, (low, high))


def energy(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected an energy in eV, got {text!r}")
    return value


def positive_energy(text: str) -> float:
    value = energy(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive energy in eV, got {text!r}")
    return value


def add_picture(command: argparse.ArgumentParser, output: str, files_help: str = "") -> None:
    if files_help:
        command.add_argument("files", nargs="+", metavar="FILE", help=files_help)
    else:
        command.add_argument("file", metavar="FILE", help="a vasprun.xml file")
    command.add_argument("-o", "--output", default=output, help=f"the picture to write (default {output}); the "
                                                                "format follows the extension")
    command.add_argument("--window", nargs=2, type=energy, action=WindowAction, metavar=("EMIN", "EMAX"),
                         help="the energy range shown, in eV on the axis (default -6 6)")
    command.add_argument("--dat", metavar="FILE", help="also write the plotted numbers to this text file "
                                                       "(columns, `#` comments; numpy.loadtxt reads it)")
