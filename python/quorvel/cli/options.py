"""Argument types shared by the commands."""

from __future__ import annotations

import argparse
from typing import Callable


def at_least_one(what: str) -> Callable[[str], int]:
    """The argparse type of a whole number of `what`, at least 1."""

    def parse(text: str) -> int:
        try:
            count = int(text)
        except ValueError:
            count = 0
        if count < 1:
            raise argparse.ArgumentTypeError(f"expected a whole number of {what}, at least 1, got {text!r}")
        return count

    return parse
