"""A small VTOL aircraft's transition from hover to wing-borne flight, for any aircraft.

The model, integrator, stop test, vehicle files and sweeps of transition-study, compiled
in: every figure is the same double that transition-study prints.

    import transition
    v = transition.Vehicle(mass=30)          # or transition.Vehicle.read("mine.toml")
    r = transition.run(v)                    # r.stop, r.event_t, r.peak_power, ...
    steps = transition.trace(v)              # numpy arrays t, a, v, x, w, lift; and Q
    table = transition.sweep({"mass": numpy.linspace(20, 30, 11)}, v)
    csv = transition.sweep_csv(["mass=20:30:11", "lift_rotors=3,4"], v, jobs=2, shard=(1, 4))
    best, result = transition.minimize("event_w", {"mass": (20, 30)}, ["event_x>=150"])
"""

from ._transition import Result, Vehicle, minimize, run, sweep, sweep_csv, trace

__all__ = ["Result", "Vehicle", "minimize", "run", "sweep", "sweep_csv", "trace"]
