"""Shared by the commands that print rows: the formula of a run, and rows as CSV or JSON."""

from __future__ import annotations

import csv
import json
import math
import sys
from collections import Counter
from typing import Any, Sequence


def formula(atoms: Sequence[str]) -> str:
    """Element counts in order of first appearance: Fe Fe O O O -> Fe2O3."""
    return "".join(f"{element}{count if count > 1 else ''}" for element, count in Counter(atoms).items())


def finite(value: Any) -> Any:
    return None if isinstance(value, float) and not math.isfinite(value) else value


def csv_cell(value: Any) -> str:
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


class RowWriter:
    """Rows as CSV (written as they come, full precision) or as one JSON list (non-finite numbers as null)."""

    def __init__(self, form: str, columns: Sequence[str]) -> None:
        self.form, self.columns = form, columns
        self.rows: list[dict[str, Any]] = []
        if form == "csv":
            self.writer = csv.DictWriter(sys.stdout, fieldnames=columns, lineterminator="\n")
            self.writer.writeheader()

    def write(self, row: dict[str, Any]) -> None:
        if self.form == "csv":
            self.writer.writerow({key: csv_cell(row[key]) for key in self.columns})
            sys.stdout.flush()
        else:
            self.rows.append({key: finite(row[key]) for key in self.columns})

    def close(self) -> None:
        if self.form == "json":
            json.dump(self.rows, sys.stdout, indent=1)
            print()
