"""examples/dask_sweep.py: shards run on a Dask cluster, merged to transition-study's CSV."""

import os
import subprocess
import sys

import pytest

from conftest import SOURCE, study

# Debian's tornado, under the cluster that the tests start, warns of its own deprecated call.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

SCRIPT = os.path.join(SOURCE, "examples", "dask_sweep.py")
SWEEP = ["--sweep", "mass=20:30:11", "--sweep", "propeller_thrust[0]=10,39.85", "--sweep", "wing_area=0.3,1.2"]


def dask_sweep(*arguments, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, SCRIPT, *arguments], stdout=stdout, stderr=subprocess.PIPE,
                          timeout=300)


@pytest.fixture(scope="module")
def scheduler():
    """A LocalCluster of two worker processes, as a scheduler's address."""
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def test_shards_on_two_workers_are_the_programs_csv(scheduler, write):
    path = write("mine.toml", "lift_rotors = 3\n")
    arguments = [path, "--set", "propeller_thrust[1]=-2", *SWEEP]
    expected = study(*arguments, "--jobs", "1")[0].encode()
    for shards in ("1", "3", "50"):
        done = dask_sweep("--scheduler", scheduler, "--shards", shards, *arguments)
        assert done.returncode == 0, done.stderr
        assert done.stdout == expected, shards


def test_its_own_local_cluster():
    done = dask_sweep("--sweep", "mass=20:30:5", "--shards", "2")
    assert done.returncode == 0, done.stderr
    assert done.stdout == study("--sweep", "mass=20:30:5")[0].encode()


def test_bad_arguments_are_one_line_and_nothing_written(write):
    usage = [
        ([], "the following arguments are required: --sweep"),
        (["--sweep", "mass=20,30", "--jobs", "2"], "unrecognized arguments: --jobs"),
        (["--sweep", "mass=20,30", "--shards", "0"],
         "argument --shards: expected a whole number from 1 to 1000000000, not '0'"),
    ]
    for arguments, message in usage:
        done = dask_sweep(*arguments)
        assert (done.returncode, done.stdout) == (2, b""), arguments
        assert done.stderr.decode() == f"dask_sweep.py: {message} (see --help)\n"

    # What transition-study refuses, refused in its words, under this program's name.
    bad = write("bad.toml", "mas = 30\n")
    for arguments in (["--sweep", "mass=20:30:0"], ["--sweep", "mas=20"], ["--set", "mass=0", "--sweep", "wing_area=1,2"],
                      [bad, "--sweep", "mass=20,30"], [bad + ".missing", "--sweep", "mass=20,30"],
                      [os.path.dirname(bad), "--sweep", "mass=20,30"]):
        done = dask_sweep(*arguments)
        assert (done.returncode, done.stdout) == (1, b""), arguments
        message = study(*arguments, check=False)[1]
        assert message.count("\n") == 1
        assert done.stderr.decode() == message.replace("transition-study: ", "dask_sweep.py: ", 1)


def test_a_failed_write_is_said_and_fails(scheduler):
    with open("/dev/full", "wb") as full:
        done = dask_sweep("--scheduler", scheduler, "--sweep", "mass=20:30:3", stdout=full)
    assert done.returncode == 1
    assert done.stderr.decode() == "dask_sweep.py: cannot write the sweep: No space left on device\n"
