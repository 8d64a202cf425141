"""What the package's tests share: transition-study, the program they hold it to, and a
reader of its CSV that knows nothing of the package."""

import csv
import io
import os
import subprocess

import pytest

STUDY = os.environ["TRANSITION_STUDY"]
SOURCE = os.environ["TRANSITION_SOURCE"]


def study(*arguments, check=True):
    """transition-study's standard output, standard error and exit status."""
    done = subprocess.run([STUDY, *arguments], capture_output=True, text=True, timeout=600)
    if check:
        assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr, done.returncode


def refusal(*arguments):
    """transition-study's one-line refusal of `arguments`, without its name."""
    out, err, status = study(*arguments, check=False)
    assert status == 1 and out == "" and err.count("\n") == 1, (status, out, err)
    return err.rstrip("\n").removeprefix("transition-study: ")


def table(text):
    """A CSV of transition-study's as its header and rows, every field a string."""
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], rows[1:]


@pytest.fixture
def write(tmp_path):
    """Writes a file of `text` in the test's own directory and returns its path."""

    def written(name, text):
        path = tmp_path / name
        path.write_text(text)
        return str(path)

    return written
