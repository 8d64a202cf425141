"""Designs per second of a 10,000-design sweep (mass from 20 to 30 kg) on one thread, from
Python: transition.sweep(jobs=1) into numpy arrays and transition.sweep_csv(jobs=1) into a
string, against transition-study --jobs 1 writing the same CSV to /dev/null, and against
transition-study started once per design from Python (timed over a sample of designs and
scaled to the whole sweep). The machine's cores are shared, so each figure is the best of
five rounds, all in the same run, taken in turn. The package must reach at least 0.9 times the program's
speed, and be at least 30 times as fast as a program per design; the exit status is 1 if it
does not.

    /usr/bin/python3 bench/python_sweep_bench.py BUILD    (BUILD: a build directory)
"""

import os
import subprocess
import sys
import time

designs = 10000
sweep = f"mass=20:30:{designs}"
rounds = 5
# One design in `every` started as a program of its own.
every = 50


def best(works):
    """Each work's best time of `rounds`, the works timed in turn in every round, so that
    what the other users of the machine do falls on all of them alike."""
    times = [[] for _ in works]
    for _ in range(rounds):
        for work, kept in zip(works, times):
            start = time.perf_counter()
            work()
            kept.append(time.perf_counter() - start)
    return [min(kept) for kept in times]


def main(build):
    sys.path.insert(0, os.path.join(build, "python"))
    import transition

    study = os.path.join(build, "transition-study")
    expected = subprocess.run([study, "--sweep", sweep, "--jobs", "1"], capture_output=True, check=True).stdout
    if transition.sweep_csv([sweep], jobs=1).encode() != expected:
        sys.exit("transition.sweep_csv differs from transition-study's CSV")
    masses = transition.sweep([sweep], jobs=1)["mass"]

    def one_per_design():
        for m in masses[::every]:
            subprocess.run([study, "--set", f"mass={m!r}"], capture_output=True, check=True)

    with open(os.devnull, "wb") as null:
        program, arrays, text, sample = best([
            lambda: subprocess.run([study, "--sweep", sweep, "--jobs", "1"], stdout=null, check=True),
            lambda: transition.sweep([sweep], jobs=1),
            lambda: transition.sweep_csv([sweep], jobs=1),
            one_per_design,
        ])
    per_design = sample * designs / len(masses[::every])

    rate = lambda seconds: f"{designs / seconds:,.0f}"
    print("designs per second, one thread, 10,000 designs (best of 5)")
    print(f"transition-study --jobs 1 > /dev/null           {rate(program):>8}")
    print(f"transition.sweep(jobs=1), numpy arrays          {rate(arrays):>8}  ({program / arrays:.3f} x the program)")
    print(f"transition.sweep_csv(jobs=1), CSV text          {rate(text):>8}  ({program / text:.3f} x the program)")
    print(f"transition-study once per design, from Python   {rate(per_design):>8}  "
          f"(transition.sweep is {per_design / arrays:.0f} x as fast)")
    return 0 if program / arrays >= 0.9 and per_design / arrays >= 30 else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python_sweep_bench.py BUILD")
    sys.exit(main(sys.argv[1]))
