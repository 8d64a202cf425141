"""examples/dask_sweep.py: shards run on a Dask cluster, merged to transition-study's CSV."""

import json
import os
import subprocess
import sys
import time

import pytest

import transition
from conftest import SOURCE, study

# Debian's tornado, under the cluster that the tests start, warns of its own deprecated call.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

SCRIPT = os.path.join(SOURCE, "examples", "dask_sweep.py")
SWEEP = ["--sweep", "mass=20:30:11", "--sweep", "propeller_thrust[0]=10,39.85", "--sweep", "wing_area=0.3,1.2"]


def dask_sweep(*arguments, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, SCRIPT, *arguments], stdout=stdout, stderr=subprocess.PIPE,
                          timeout=300)


def dask(*arguments, log):
    """`dask ARGUMENTS...` started with this Python, its output to the file `log`."""
    with open(log, "wb") as out:
        return subprocess.Popen([sys.executable, "-m", "dask", *arguments], stdout=out, stderr=subprocess.STDOUT)


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """A cluster as one is run by hand: a `dask scheduler` and two `dask worker` processes,
    on the loopback address and ports the system picks; its address. Every process is
    stopped afterwards, whatever happened."""
    from dask.distributed import Client

    here = tmp_path_factory.mktemp("cluster")
    where = here / "scheduler.json"
    processes = []
    try:
        processes.append(dask("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                              "--scheduler-file", str(where), log=here / "scheduler.log"))
        for i in range(2):
            processes.append(dask("worker", "--scheduler-file", str(where), "--host", "127.0.0.1", "--nthreads", "1",
                                  "--no-nanny", "--no-dashboard", "--death-timeout", "60", log=here / f"worker{i}.log"))
        deadline = time.monotonic() + 60
        while not where.exists() and time.monotonic() < deadline and processes[0].poll() is None:
            time.sleep(0.05)
        address = json.loads(where.read_text())["address"]
        with Client(address, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            # The two processes started here, each a worker of its own.
            assert set(client.run(os.getpid).values()) == {p.pid for p in processes[1:]}
        yield address
    finally:
        for p in reversed(processes):
            p.terminate()
        for p in processes:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def test_the_packages_calls_and_results_go_to_worker_processes(scheduler):
    from dask.distributed import Client

    vehicles = [transition.Vehicle(mass=m) for m in (20, 25.5, 30)] + [transition.Vehicle(propeller_thrust=[10, -2, 0])]
    with Client(scheduler, timeout=30) as client:
        results = client.gather([client.submit(transition.run, v, pure=False) for v in vehicles])
        assert results == [transition.run(v) for v in vehicles] and results[-1].note == transition.run(vehicles[-1]).note
        table = client.submit(transition.run_many, {"mass": [21, 29]}, vehicles[1], jobs=1).result()
        assert table["event_w"].tolist() == transition.run_many({"mass": [21, 29]}, vehicles[1])["event_w"].tolist()


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
