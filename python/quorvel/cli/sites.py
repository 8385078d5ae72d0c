"""`--atoms 1,3-5`: sites chosen by their 1-based numbers in the file's order."""

from __future__ import annotations

import argparse

from .plot import FileProblem


def site_list(text: str) -> list[int]:
    """The 1-based site numbers of a text such as "1,3-5" (argparse's type for --atoms)."""
    sites: list[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            low, high = int(first), int(last) if dash else int(first)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected site numbers such as 1,3-5, got {text!r}") from None
        if low < 1 or high < low:
            raise argparse.ArgumentTypeError(f"sites are numbered from 1, in rising ranges: got {part.strip()!r}")
        sites.extend(range(low, high + 1))
    return sorted(set(sites))


def chosen_sites(sites: list[int], count: int) -> list[int]:
    """The 0-based indices of the chosen sites; FileProblem for a site the file does not have."""
    beyond = [site for site in sites if site > count]
    if beyond:
        raise FileProblem(f"no site {beyond[0]} in the file (it has {count})")
    return [site - 1 for site in sites]
