"""Helpers of the command's tests: a run with extra properties, rows parsed back, figures drawn."""

import csv
import io
import json
import os

import pytest

from quorvel import cli

BROKEN = {"truncated-in-parameters.xml": "Missing element <atominfo>",
          "not-xml.xml": "Missing element <modeling>"}

# Under the preloaded AddressSanitizer runtime, a C++ exception thrown inside matplotlib's own
# extension aborts the interpreter (the runtime finds no __cxa_throw to forward to).
needs_matplotlib = pytest.mark.skipif(os.environ.get("QUORVEL_SANITIZED") == "1",
                                      reason="matplotlib under the ASan preload")




class WithProperties:
    """A read run plus properties that a later build of the reader adds."""

    def __init__(self, run, **properties):
        self._run = run
        self.__dict__.update(properties)

    def __getattr__(self, name):
        return getattr(self._run, name)


def rows_of(text, form):
    return list(csv.DictReader(io.StringIO(text))) if form == "csv" else json.loads(text)



def render(figure):
    """Draws the figure as a PNG in memory (as the command does) and returns its only axes."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=40)
    assert buffer.getvalue().startswith(b"\x89PNG\r\n\x1a\n")
    axes, = figure.axes
    return axes


def arguments(*argv):
    return cli.parser().parse_args(list(argv))


def labelled_lines(axes):
    return {line.get_label(): line for line in axes.get_lines() if not line.get_label().startswith("_")}

