"""A sweep gives way: other Python threads run while it computes, and Ctrl-C stops it."""

import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import transition

# In a Python of its own: a million designs, far more than the test waits for. It says
# when the sweep starts, and when KeyboardInterrupt reaches it, with its threads before
# and then.
CHILD = r"""
import os, sys, time
import transition
threads = lambda: len(os.listdir("/proc/self/task"))
# numpy imported, and its BLAS's own threads started (OpenBLAS starts one per core), first.
import numpy
transition.{call}({small}, jobs=1)
before = threads()
print("started", flush=True)
try:
    transition.{call}({large}, jobs=2)
except KeyboardInterrupt:
    print("interrupted", repr(time.monotonic()), before, threads(), flush=True)
    raise
print("finished", flush=True)
"""


SWEEPS = [("sweep", '["mass=20:30:2"]', '["mass=20:30:1000000"]'),
          ("sweep_csv", '["mass=20:30:2"]', '["mass=20:30:1000000"]'),
          # A table's every value is checked before any work, some tenths of a second for a million at -O0:
          # a hundred thousand designs are still far more than the test waits for.
          ("run_many", '{"mass": [20, 30]}', '{"mass": numpy.linspace(20, 30, 100000)}')]


@pytest.mark.parametrize("call, small, large", SWEEPS)
def test_ctrl_c_stops_a_long_sweep_at_once(call, small, large):
    child_code = CHILD.replace("{call}", call).replace("{small}", small).replace("{large}", large)
    child = subprocess.Popen([sys.executable, "-c", child_code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=1.0)
        ended = time.monotonic()
    finally:
        child.kill()
        out, err = child.communicate()
    words = out.split()
    assert words[0] == "interrupted", (out, err)
    delay = float(words[1]) - sent
    # Signals are looked at every 20 ms and the threads finish the chunk in hand, a few ms of
    # work (some tens at -O0): well under a tenth of a second on an idle machine, up to half
    # as much again seen on a loaded one of two cores. A sweep that ran on would take minutes.
    assert 0.0 < delay < 0.3, delay
    assert ended - sent < 1.0
    # Only the interpreter's own threads are left: the sweep's are joined.
    assert words[2] == words[3]
    assert child.returncode == -signal.SIGINT and err.rstrip().endswith("KeyboardInterrupt"), err


@pytest.mark.parametrize("call, small, large", SWEEPS)
def test_other_threads_run_during_a_sweep(call, small, large):
    import numpy

    call, small, large = getattr(transition, call), eval(small), eval(re.sub(r"\d{6,}", "8000", large))
    call(small, jobs=1)  # numpy imported, and anything else done once, beforehand
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        while not ticks:
            time.sleep(0.001)
        start = time.monotonic()
        call(large, jobs=1)
        end = time.monotonic()
    finally:
        stop.set()
        counter.join()
    # The counter ticks all along: the sweep never holds the lock for long. Held while the
    # designs run, it would stop the counter for most of the sweep.
    during = [start] + [t for t in ticks if start < t < end] + [end]
    longest = max(b - a for a, b in zip(during, during[1:]))
    assert end - start > 0.2
    assert longest < (end - start) / 4, (longest, end - start)
