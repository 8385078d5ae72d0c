"""Finding the run files that the arguments of a command name."""

from __future__ import annotations

import os
import stat
import sys
from typing import Callable, Iterable, Sequence

RUN_SUFFIXES = (".xml", ".xml.gz")
# compressions the reader does not undo: such a file is passed over with a note, not read and failed
UNREAD_COMPRESSIONS = (".bz2", ".xz", ".zst", ".lzma", ".lz4", ".z", ".zip")

Note = Callable[[str], None]


def print_note(text: str) -> None:
    print(f"quorvel: note: {text}", file=sys.stderr)


def named_like_a_run(name: str) -> bool:
    """vasprun.xml, vasprun.xml.gz and the names workflow tools give their runs:
    vasprun.xml.relax1.gz, vasprun.xml.static, relax-vasprun.xml ..."""
    lower = name.lower()
    return lower.startswith("vasprun") or ("vasprun" in lower and lower.endswith(RUN_SUFFIXES))


def ends_like_xml(name: str) -> bool:
    return name.lower().endswith(RUN_SUFFIXES)


def _kind(mode: int) -> str:
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


class _TreeWalk:
    """One folder tree: its regular files in walk order (a folder's files, then its
    folders, each sorted; hidden folders left out), links to folders followed once."""

    def __init__(self, problems: list[str], note: Note) -> None:
        self.problems, self.note = problems, note
        self.files: list[str] = []
        self.seen: dict[tuple[int, int], str] = {}  # (device, inode) of each folder searched

    def _first_visit(self, folder: str, info: os.stat_result) -> bool:
        key = (info.st_dev, info.st_ino)
        if key in self.seen:
            self.note(f"{folder}: a link to {self.seen[key]}, already searched: not searched again")
            return False
        self.seen[key] = folder
        return True

    def walk(self, top: str) -> list[str]:
        try:
            if not self._first_visit(top, os.stat(top)):
                return []
        except OSError as error:
            self.problems.append(f"{top}: {error.strerror}")
            return []
        pending = [top]
        while pending:
            folders = self._scan(pending.pop())
            pending.extend(reversed(folders))  # depth first, in sorted order
        return self.files

    def _scan(self, folder: str) -> list[str]:
        """Takes the folder's files, returns its subfolders to search. Nothing is opened:
        the kind of each entry comes from stat (links followed), so a FIFO is never read."""
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            self.problems.append(f"{folder}: {error.strerror}")
            return []
        folders = []
        for entry in entries:
            try:
                info = entry.stat()
            except OSError:
                if named_like_a_run(entry.name) or ends_like_xml(entry.name):
                    self.note(f"{entry.path}: a link to nothing, passed over")
                continue
            if stat.S_ISDIR(info.st_mode):
                if not entry.name.startswith(".") and self._first_visit(entry.path, info):
                    folders.append(entry.path)
            elif stat.S_ISREG(info.st_mode):
                self.files.append(entry.path)
            elif named_like_a_run(entry.name) or ends_like_xml(entry.name):
                self.note(f"{entry.path}: {_kind(info.st_mode)}, not a file: passed over")
        return folders


def run_files_in(folder: str, problems: list[str], note: Note = print_note) -> list[str]:
    """The run files of a folder tree in walk order: files named like a run (vasprun*,
    plain or .gz, with suffixes such as .relax1 or .static, or *vasprun*.xml[.gz]);
    when no name is, every .xml and .xml.gz file, so that a folder of renamed run files
    is read too. Links to folders are followed once each; FIFOs, sockets and devices
    are passed over with a note, never opened."""
    files = _TreeWalk(problems, note).walk(folder)
    named = [path for path in files if named_like_a_run(os.path.basename(path))]
    unread = [path for path in named if path.lower().endswith(UNREAD_COMPRESSIONS)]
    for path in unread:
        note(f"{path}: compressed in a form quorvel does not read (plain and gzip files only): passed over")
    if named:
        return [path for path in named if path not in unread]
    return [path for path in files if ends_like_xml(os.path.basename(path))]


def expand_arguments(arguments: Sequence[str], note: Note = print_note) -> tuple[list[str], list[str]]:
    """Files as given, folders replaced by their run files; and the problems met, one text
    each. Notes on what a folder search passed over go to `note` (standard error)."""
    paths: list[str] = []
    problems: list[str] = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)  # a missing file fails when read, in its own row
            continue
        found = run_files_in(argument, problems, note)
        if not found:
            problems.append(f"{argument}: no run files (vasprun*, *.xml, *.xml.gz) in the folder")
        paths.extend(found)
    return paths, problems


def report(problems: Iterable[str]) -> int:
    """Prints each problem on standard error; 1 when there was one, else 0."""
    status = 0
    for problem in problems:
        print(f"quorvel: {problem}", file=sys.stderr)
        status = 1
    return status
