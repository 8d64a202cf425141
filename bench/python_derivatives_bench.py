"""The whole table of derivatives of the built-in aircraft (7 figures, 17 values) from
Python, transition.derivatives(), against one run, transition.run(): each the best of 20
rounds of 200 calls, taken in turn (the machine's cores are shared). The table must cost at
most 4 runs; the exit status is 1 if it does not.

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

    vehicle = transition.Vehicle()
    table = transition.derivatives(vehicle)
    values = len(next(iter(table.values())))
    run, derivatives = best([lambda: transition.run(vehicle), lambda: transition.derivatives(vehicle)])
    ratio = derivatives / run
    print(f"transition.run()          {run * 1e6:8.1f} us")
    print(f"transition.derivatives()  {derivatives * 1e6:8.1f} us ({len(table)} figures, {values} values): "
          f"{ratio:.2f} times one run")
    return 0 if ratio <= 4 else 1


if __name__ == "__main__":
    sys.exit(main())
