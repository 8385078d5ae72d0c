"""`quorvel export`: the ionic steps of run files as one extended XYZ training set."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from contextlib import contextmanager
from functools import partial
from typing import Iterator, NamedTuple, Sequence, TextIO

from ..export import ASE_KEYS, REF_KEYS, Frame, Keys, run_frames, write_extxyz
from .._extxyz import check_names
from .files import expand_arguments, report
from .options import at_least_one
from .workers import results_in_order

PRESETS = {"ase": ASE_KEYS, "ref": REF_KEYS}


class FileFrames(NamedTuple):
    """The frames of one file, or the reason it has none."""

    path: str
    frames: list[Frame]
    error: str | None
    skipped: tuple[str, ...] = ()  # a note per step left out for values that are not finite numbers


def _names(text: str) -> list[str]:
    return [name.strip() for name in text.split(",") if name.strip()]


def add_export_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="the extended XYZ file, '-' for standard output; a file is written under a "
                              "temporary name beside it and renamed into place once complete")
    command.add_argument("--keys", choices=sorted(PRESETS), default="ase",
                         help="the names of energy, free energy, forces and stress: 'ase' (default) writes energy, "
                              "free_energy, forces, stress, which ASE reads as a single-point calculator and "
                              "NequIP, Allegro and SevenNet read as they are; 'ref' writes REF_energy, "
                              "REF_free_energy, REF_forces, REF_stress, MACE's defaults")
    for quantity in ("energy", "forces", "stress"):
        command.add_argument(f"--{quantity}-key", metavar="NAME", help=f"the name of the {quantity} alone")
    steps = command.add_mutually_exclusive_group()
    steps.add_argument("--every", type=at_least_one("steps"), default=1, metavar="N",
                       help="every N-th ionic step of each file, from its first (default: every step)")
    steps.add_argument("--last", action="store_true", help="the final ionic step of each file only")
    command.add_argument("--converged-only", action="store_true",
                         help="leave out the steps whose electronic loop reached NELM, and the files that are "
                              "not complete")
    command.add_argument("--info", type=_names, action="extend", default=[], metavar="KEY,...",
                         help="INCAR tags to write with each frame, e.g. ENCUT,ISPIN,GGA (from the parameters "
                              "where the INCAR lacks them; a tag neither has is left out)")


def chosen_keys(args: argparse.Namespace) -> Keys:
    preset = PRESETS[args.keys]
    return preset._replace(energy=args.energy_key or preset.energy, forces=args.forces_key or preset.forces,
                           stress=args.stress_key or preset.stress)


def read_frames(path: str, every: int, last: bool, converged_only: bool, info: Sequence[str]) -> FileFrames:
    """The frames of one file, or its error text; never raises, so that one file cannot stop the others."""
    skipped: list[str] = []

    def note(source: str, step: int, names: tuple[str, ...]) -> None:
        skipped.append(f"{source}: step {step} left out: {', '.join(names)} not a finite number")

    try:
        found = run_frames(path, every=every, last=last, converged_only=converged_only, info=info, on_skip=note)
        return FileFrames(path, found, None, tuple(skipped))
    except Exception as error:
        return FileFrames(path, [], str(error) or type(error).__name__)


def _failed(path: str, message: str) -> FileFrames:
    return FileFrames(path, [], message)


@contextmanager
def output_file(target: str) -> Iterator[TextIO]:
    """The stream to write to: standard output for '-'; otherwise a temporary file beside the
    target, renamed to it when the block ends normally and removed when it does not, so that
    an export that fails or is interrupted leaves no truncated file (nor changes an old one)."""
    if target == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    folder, name = os.path.split(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with open(handle, "w", encoding="utf-8", newline="\n") as stream:
            yield stream
        os.chmod(temporary, _file_mode(target))
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def _file_mode(target: str) -> int:
    """The mode of the file being replaced, or that of a new file (mkstemp's is private)."""
    try:
        return os.stat(target).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def command_export(args: argparse.Namespace) -> int:
    keys = chosen_keys(args)
    try:
        check_names(keys, args.info)
    except ValueError as error:
        print(f"quorvel export: error: {error}", file=sys.stderr)
        return 2
    paths, problems = expand_arguments(args.files)
    status = report(problems)
    reader = partial(read_frames, every=args.every, last=args.last, converged_only=args.converged_only,
                     info=args.info)
    try:
        with output_file(args.output) as out:
            for result in results_in_order(reader, paths, args.jobs, _failed):
                if result.error is not None:
                    status = report([f"{result.path}: {result.error}"])
                    continue
                for text in result.skipped:  # a note, not a failure: the status stays
                    print(f"quorvel: {text}", file=sys.stderr)
                write_extxyz(result.frames, out, keys)
    except BrokenPipeError:
        raise  # the reader of standard output went away: the command's own handling
    except OSError as error:  # the output cannot be made or written: nothing is left of it
        return report([f"{args.output}: {error.strerror or error}"])
    return status
