"""Finding the run files that the arguments of a command name."""

from __future__ import annotations

import os
import sys
from typing import Iterable, Sequence

RUN_SUFFIXES = (".xml", ".xml.gz")


def run_files_in(folder: str, problems: list[str]) -> list[str]:
    """The run files of a folder tree in walk order (sorted, hidden folders left out):
    names ending in .xml or .xml.gz that contain "vasprun"; when no name does, every
    .xml and .xml.gz file, so that a folder of renamed run files is read too."""
    found: list[str] = []
    for root, folders, names in os.walk(folder, onerror=lambda error: problems.append(f"{error.filename}: "
                                                                                     f"{error.strerror}")):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        found.extend(os.path.join(root, name) for name in sorted(names) if name.lower().endswith(RUN_SUFFIXES))
    named = [path for path in found if "vasprun" in os.path.basename(path).lower()]
    return named or found


def expand_arguments(arguments: Sequence[str]) -> tuple[list[str], list[str]]:
    """Files as given, folders replaced by their run files; and the problems met, one text each."""
    paths: list[str] = []
    problems: list[str] = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)  # a missing file fails when read, in its own row
            continue
        found = run_files_in(argument, problems)
        if not found:
            problems.append(f"{argument}: no run files (*.xml, *.xml.gz) in the folder")
        paths.extend(found)
    return paths, problems


def report(problems: Iterable[str]) -> int:
    """Prints each problem on standard error; 1 when there was one, else 0."""
    status = 0
    for problem in problems:
        print(f"quorvel: {problem}", file=sys.stderr)
        status = 1
    return status
