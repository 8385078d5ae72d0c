"""The k-point labels of a KPOINTS file: a line-mode path, or an explicit list with labels.

vasprun.xml keeps no labels for a line-mode run, and an explicit list (as hybrid band
runs use) keeps none either: they are in the KPOINTS file beside the run."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt


class KpointsFileError(ValueError):
    """A KPOINTS file that is not a line-mode path or a labelled list; the text says why."""


@dataclass
class KpointsLabels:
    """Labels at k-point indices of the list that VASP makes from the file."""
    labels: list[tuple[int, str]]  # (0-based index in the generated list, label)
    count: int  # how many k-points the file makes
    line_mode: bool
    reciprocal: bool  # coordinates in the reciprocal basis (else Cartesian)
    points: npt.NDArray[np.float64]  # (count, 3) for a list; (2 * segments, 3) ends of a path
    divisions: int = 0  # points per segment, in line mode


def _point(line: str) -> tuple[list[float], list[str], str] | None:
    """Numbers, the other words before a `!`, and the comment after it; None when the
    line does not start with three numbers."""
    text, _, comment = line.partition("!")
    words = text.split()
    numbers: list[float] = []
    for word in words:
        try:
            numbers.append(float(word))
        except ValueError:
            break
    if len(numbers) < 3:
        return None
    return numbers, words[len(numbers):], comment.strip()


def _label(words: list[str], comment: str) -> str:
    return comment.split()[0] if comment else (words[0] if words else "")


def parse_kpoints(text: str) -> KpointsLabels:
    """The labels of a line-mode KPOINTS text, or of an explicit list whose points carry them."""
    lines = text.splitlines()
    if len(lines) < 4:
        raise KpointsFileError("too short for a KPOINTS file with k-points")
    try:
        number = int(lines[1].split()[0])
    except (IndexError, ValueError):
        raise KpointsFileError(f"line 2 is not a number of k-points: {lines[1].strip()!r}") from None
    mode = lines[2].strip()[:1].lower()
    line_mode = mode == "l"
    if number <= 0 or (not line_mode and mode in ("a", "g", "m")):
        raise KpointsFileError("a k-point grid, not a path: no labels")
    coordinates = (lines[3] if line_mode else lines[2]).strip()[:1].lower()
    reciprocal = coordinates not in ("c", "k")
    body = lines[4:] if line_mode else lines[3:]
    points = [parsed for line in body if (parsed := _point(line)) is not None]
    if line_mode:
        return _line_mode(points, number, reciprocal)
    return _explicit(points, number, reciprocal)


def _line_mode(points: list[tuple[list[float], list[str], str]], divisions: int, reciprocal: bool) -> KpointsLabels:
    if divisions < 2:
        raise KpointsFileError(f"a line-mode path needs at least 2 points per segment, the file gives {divisions}")
    if len(points) < 2 or len(points) % 2:
        raise KpointsFileError(f"a line-mode path needs pairs of end points, the file has {len(points)} points")
    labels = []
    for index, (_, words, comment) in enumerate(points):
        segment, end = divmod(index, 2)
        if label := _label(words, comment):
            labels.append((segment * divisions + end * (divisions - 1), label))
    ends = np.array([numbers[:3] for numbers, _, _ in points], dtype=float)
    return KpointsLabels(labels, len(points) // 2 * divisions, True, reciprocal, ends, divisions)


def _explicit(points: list[tuple[list[float], list[str], str]], number: int, reciprocal: bool) -> KpointsLabels:
    if len(points) < number:
        raise KpointsFileError(f"the file announces {number} k-points and lists {len(points)}")
    listed = points[:number]
    # a label follows the weight: the fifth word, or the comment after a `!`
    labels = [(index, label) for index, (numbers, words, comment) in enumerate(listed)
              if (label := _label(words, comment) if len(numbers) >= 4 or comment else "")]
    if not labels:
        raise KpointsFileError("an explicit list without labels")
    return KpointsLabels(labels, number, False, reciprocal, np.array([n[:3] for n, _, _ in listed], dtype=float))


def read_kpoints(path: str) -> KpointsLabels:
    """The labels of the KPOINTS file at path; KpointsFileError (or OSError) says why not."""
    with open(path, encoding="utf-8", errors="replace") as file:
        return parse_kpoints(file.read(1 << 22))


def fits(labels: KpointsLabels, kpoints: npt.NDArray[np.float64]) -> str | None:
    """None when the file makes exactly these fractional k-points (its coordinates are
    compared when they are reciprocal), else what differs."""
    if labels.count != len(kpoints):
        return f"it makes {labels.count} k-points, the run has {len(kpoints)}"
    if not labels.reciprocal:
        return None
    if labels.line_mode:
        ends = [segment * labels.divisions + end * (labels.divisions - 1) for segment in range(len(labels.points) // 2)
                for end in (0, 1)]
        expected = kpoints[ends]
    else:
        expected = kpoints
    if not np.allclose(labels.points, expected, atol=1e-4):
        return "its k-points are not the run's"
    return None
