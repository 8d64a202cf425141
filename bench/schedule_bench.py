"""The least-energy schedule of 26 knots (0 to 25 m/s, every angle from the hover angle,
-0.040786 rad, to 12 degrees, 0.2094 rad; the moment within 250 m), found three ways on one
thread and timed in the same run, each the best of 3 rounds taken in turn:

- transition.minimize on the package's exact gradients (transition-study --minimize event_w
  --vary 'schedule_angle=-0.040786:0.2094' --require 'event_x<=250');
- scipy's SLSQP on finite differences, calling transition.run through the package for each
  design, from the vehicle's own schedule (every knot at the hover angle) and from the box's
  middle;

against a sweep of 4,096 designs of the same vehicle on one thread. The exit status is 1
unless minimize reaches at most 20,580 J, no more than either scipy answer, in at most twice
the sweep's time.

    /usr/bin/python3 bench/schedule_bench.py BUILD    (BUILD: a build directory)
"""

import os
import sys
import time
import warnings

rounds = 3
low, high = -0.040786, 0.2094


def timed(work):
    """The work's result and its best time of `rounds`."""
    best, result = float("inf"), None
    for _ in range(rounds):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return result, best


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.path.insert(0, os.path.join(sys.argv[1], "python"))
    import numpy
    import transition
    from scipy.optimize import minimize

    knots = list(range(26))
    vehicle = transition.Vehicle(schedule_speed=knots, schedule_angle=[low] * 26)

    def ours():
        return transition.minimize("event_w", {"schedule_angle": (low, high)}, ["event_x<=250"], vehicle=vehicle, jobs=1)

    def scipy_from(start):
        runs = {}

        def run(x):
            key = tuple(x)
            if key not in runs:
                angles = list(numpy.clip(x, low, high))
                runs[key] = transition.run(transition.Vehicle(schedule_speed=knots, schedule_angle=angles))
            return runs[key]

        def energy(x):
            r = run(x)
            return r.event_w if r.event_w is not None else 1e6  # no located moment: far worse than any

        def margin(x):
            r = run(x)
            return 250.0 - r.event_x if r.event_x is not None else -1e3

        def work():
            runs.clear()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                answer = minimize(energy, [start] * 26, method="SLSQP", bounds=[(low, high)] * 26,
                                  constraints=[{"type": "ineq", "fun": margin}])
            feasible = margin(answer.x) >= 0 and run(answer.x).event_w is not None
            return (energy(answer.x) if feasible else float("inf")), len(runs), answer.message

        return work

    def sweep():
        return transition.sweep({"schedule_angle[13]": numpy.linspace(low, high, 4096)}, vehicle, jobs=1)

    optimum, ours_time = timed(ours)
    from_own, own_time = timed(scipy_from(low))
    from_middle, middle_time = timed(scipy_from((low + high) / 2))
    _, sweep_time = timed(sweep)

    energy = optimum.result.event_w
    print(f"a sweep of 4,096 designs              {sweep_time:8.3f} s")
    print(f"transition.minimize, exact gradients  {ours_time:8.3f} s, {energy:.2f} J, {optimum.runs} runs "
          f"({optimum.gradients} with derivatives): {ours_time / sweep_time:.2f} times the sweep")
    for name, (found, runs, message), took in (("from its own schedule", from_own, own_time),
                                                ("from the box's middle", from_middle, middle_time)):
        print(f"scipy SLSQP {name:22s} {took:8.3f} s, {found:.2f} J, {runs} runs ({message}): "
              f"minimize {took / ours_time:.2f} times as fast")
    good = energy <= 20580 and energy <= from_own[0] and energy <= from_middle[0] and ours_time <= 2 * sweep_time
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
