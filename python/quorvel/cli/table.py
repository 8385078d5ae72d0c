"""Shared by the commands that print rows: the formula of a run, and rows as CSV or JSON."""

from __future__ import annotations

import csv
import json
import math
import sys
from collections import Counter
from typing import Any, Sequence

import numpy as np


def formula(atoms: Sequence[str]) -> str:
    """Element counts in order of first appearance: Fe Fe O O O -> Fe2O3."""
    return "".join(f"{element}{count if count > 1 else ''}" for element, count in Counter(atoms).items())


def finite(value: Any) -> Any:
    return None if isinstance(value, float) and not math.isfinite(value) else value


def json_value(value: Any) -> Any:
    """A value as JSON takes it: NumPy numbers as Python numbers, inf and NaN as None."""
    if isinstance(value, (np.floating, np.integer, np.bool_)):
        value = value.item()
    return finite(value)


def csv_cell(value: Any) -> str:
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


class RowWriter:
    """Rows as CSV (written as they come, full precision) or as one JSON list (non-finite numbers as null)."""

    def __init__(self, form: str, columns: Sequence[str]) -> None:
        self.form, self.columns = form, columns
        self.rows: list[dict[str, Any]] = []
        self.nulled = 0  # infinite and NaN numbers written as null
        if form == "csv":
            self.writer = csv.DictWriter(sys.stdout, fieldnames=columns, lineterminator="\n")
            self.writer.writeheader()

    def write(self, row: dict[str, Any]) -> None:
        if self.form == "csv":
            self.writer.writerow({key: csv_cell(row[key]) for key in self.columns})
            sys.stdout.flush()
        else:
            values = {key: json_value(row[key]) for key in self.columns}
            self.nulled += sum(1 for key in self.columns if values[key] is None and row[key] is not None)
            self.rows.append(values)

    def close(self) -> None:
        if self.form == "json":
            json.dump(self.rows, sys.stdout, indent=1, allow_nan=False)
            print()
            if self.nulled:
                print(f"quorvel: note: {self.nulled} infinite or NaN number(s) written as null: JSON has "
                      "neither", file=sys.stderr)
