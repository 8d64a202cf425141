"""The whole table of derivatives of the built-in aircraft (9 figures, 17 values) from
Python, transition.derivatives(), against one run, transition.run(): each the best of 20
rounds of 200 calls, taken in turn (the machine's cores are shared). The table must cost at
most 4 runs; the exit status is 1 if it does not. Then the same for the least-energy table
schedule of 26 knots (65 values, transition.minimize's answer from examples/hover-table.toml),
whose knots beyond the moment's speed need no pass of their own.

    /usr/bin/python3 bench/python_derivatives_bench.py BUILD    (BUILD: a build directory)
"""

import os
import sys
import time

rounds = 20
calls = 200


def best(works):
    """Each work's best time per call over `rounds`, the works timed in turn in every round."""
    times = [float("inf")] * len(works)
    for _ in range(rounds):
        for i, work in enumerate(works):
            start = time.perf_counter()
            for _ in range(calls):
                work()
            times[i] = min(times[i], (time.perf_counter() - start) / calls)
    return times


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.path.insert(0, os.path.join(sys.argv[1], "python"))
    import transition

    def timed(vehicle, name):
        table = transition.derivatives(vehicle)
        values = len(next(iter(table.values())))
        run, derivatives = best([lambda: transition.run(vehicle), lambda: transition.derivatives(vehicle)])
        print(f"{name}: transition.run() {run * 1e6:8.1f} us, transition.derivatives() {derivatives * 1e6:8.1f} us "
              f"({len(table)} figures, {values} values): {derivatives / run:.2f} times one run")
        return derivatives / run

    ratio = timed(transition.Vehicle(), "the built-in aircraft")
    knots = transition.Vehicle.read(os.path.join(os.path.dirname(__file__), "..", "examples", "hover-table.toml"))
    least, _ = transition.minimize("event_w", {"schedule_angle": (-0.040786, 0.2094)}, ["event_x<=250"], vehicle=knots)
    timed(least, "the least-energy 26 knots")
    return 0 if ratio <= 4 else 1


if __name__ == "__main__":
    sys.exit(main())
