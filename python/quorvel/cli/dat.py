"""The numbers of a picture as a text table: `#` comment lines, a header, columns.

numpy.loadtxt and gnuplot read it as it is; a blank line marks where the drawn lines
break, which both pass over (gnuplot also breaks its lines there)."""

from __future__ import annotations

import sys
from typing import Sequence

import numpy as np
import numpy.typing as npt


def write_dat(path: str, comments: Sequence[str], names: Sequence[str], columns: npt.NDArray[np.float64],
              breaks: Sequence[int] = ()) -> int:
    """Writes rows of `columns` (nrows, len(names)), a blank line before each row index in
    `breaks`; 0, or 1 after saying why the file could not be written."""
    try:
        with open(path, "w", encoding="utf-8") as file:
            for comment in comments:
                file.write(f"# {comment}\n")
            file.write("# " + " ".join(names) + "\n")
            starts = set(breaks)
            for index, row in enumerate(np.asarray(columns, dtype=float)):
                if index in starts:
                    file.write("\n")
                file.write(" ".join(f"{value:.8f}" for value in row) + "\n")
    except OSError as error:
        print(f"quorvel: {path}: {error.strerror}", file=sys.stderr)
        return 1
    print(f"wrote {path}")
    return 0
