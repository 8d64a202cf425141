"""A small VTOL aircraft's transition from hover to wing-borne flight, for any aircraft.

The model, integrator, stop test, vehicle files and sweeps of transition-study, compiled
in: every figure is the same double that transition-study prints.

    import transition
    v = transition.Vehicle(mass=30)          # or transition.Vehicle.read("mine.toml")
    r = transition.run(v)                    # r.stop, r.event_t, r.peak_power, ...
    steps = transition.trace(v)              # numpy arrays t, a, v, x, w, lift; and Q
    table = transition.sweep({"mass": numpy.linspace(20, 30, 11)}, v)
    rows = transition.run_many({"mass": [21.5, 27], "wing_area": [1.1, 0.9]}, v)
    csv = transition.sweep_csv(["mass=20:30:11", "lift_rotors=3,4"], v, jobs=2, shard=(1, 4))
    best, result = transition.minimize("event_w", {"mass": (20, 30)}, ["event_x>=150"])
    table = transition.derivatives(v)        # table["event_w"]["mass"]: J per kg
"""

# The extension module holds everything the package does. What is written here gives its
# functions and methods what Python users expect of them: real signatures, pickling by name
# (a worker process finds transition.run where it is), each taking the extension's docstring.
import inspect as _inspect

from . import _transition
from ._transition import Result, Vehicle, __version__

__all__ = ["NoDesignMeetsRequirements", "Optimum", "Result", "Vehicle", "derivatives", "minimize", "run", "run_many",
           "sweep", "sweep_csv", "trace"]


def _over(extension):
    """Gives the decorated function, which calls `extension`, that one's docstring."""

    def documented(f):
        f.__doc__ = extension.__doc__
        return f

    return documented


def _methods(cls):
    """Puts the methods of the decorated class body on `cls`, the extension's class of the
    same name, and returns `cls`."""

    def put(body):
        for name, member in vars(body).items():
            if name not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"):
                setattr(cls, name, member)
        return cls

    return put


_make_vehicle = Vehicle.__init__


@_methods(Vehicle)
class Vehicle:
    def __init__(self, **keys):
        _make_vehicle(self, **keys)

    @staticmethod
    @_over(_transition._read_vehicle)
    def read(path):
        return _transition._read_vehicle(path)

    @_over(_transition._set)
    def set(self, name, value):
        _transition._set(self, name, value)

    @_over(_transition._apply)
    def apply(self, setting):
        _transition._apply(self, setting)

    @_over(_transition._vehicle_dict)
    def as_dict(self):
        return _transition._vehicle_dict(self)

    def __str__(self):
        return _transition._vehicle_text(self)

    def __repr__(self):
        return _transition._vehicle_repr(self)

    def __eq__(self, other):
        if not isinstance(other, Vehicle):
            return NotImplemented
        return _transition._same_vehicle(self, other)

    __hash__ = None  # a vehicle changes

    def __reduce__(self):
        return _vehicle_of, (self.as_dict(),)


# Vehicle's keywords: the vehicle file's keys, in its order, each defaulting to the built-in
# aircraft's value.
Vehicle.__init__.__signature__ = _inspect.Signature(
    [_inspect.Parameter("self", _inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    + [_inspect.Parameter(key, _inspect.Parameter.KEYWORD_ONLY,
                          default=getattr(Vehicle(), key))
       for key in _transition._vehicle_keys()])


@_methods(Result)
class Result:
    def __init__(self):
        raise TypeError("cannot create 'transition.Result' instances: run() and minimize() return them")

    @_over(_transition._result_dict)
    def as_dict(self):
        return _transition._result_dict(self)

    def __repr__(self):
        return _transition._result_repr(self)

    # Equality, hashing and pickling all go through the state: every field of the core's
    # result, exactly.
    def __eq__(self, other):
        if not isinstance(other, Result):
            return NotImplemented
        return _transition._result_state(self) == _transition._result_state(other)

    def __hash__(self):
        return hash(_transition._result_state(self))

    def __reduce__(self):
        return _result_of, (_transition._result_state(self),)


def _vehicle_of(keys):
    """The vehicle of a pickle: Vehicle(**keys)."""
    return Vehicle(**keys)


def _result_of(state):
    """The result of a pickle, from its state."""
    return _transition._result_from_state(state)


@_over(_transition.run)
def run(vehicle=None):
    return _transition.run(vehicle)


@_over(_transition.trace)
def trace(vehicle=None):
    return _transition.trace(vehicle)


@_over(_transition.sweep)
def sweep(grid, vehicle=None, jobs=None, shard=None):
    return _transition.sweep(grid, vehicle, jobs, shard)


@_over(_transition.run_many)
def run_many(table, vehicle=None, jobs=None):
    return _transition.run_many(table, vehicle, jobs)


@_over(_transition.sweep_csv)
def sweep_csv(grid, vehicle=None, jobs=None, shard=None):
    return _transition.sweep_csv(grid, vehicle, jobs, shard)


class Optimum(tuple):
    """The answer of minimize(): it unpacks as (vehicle, result), the best design and its run;
    costs, a dict from each requirement as given to d(objective)/d(its value) at the optimum
    (exactly 0 for one that does not bind); runs, the designs studied, and gradients, those
    of them with derivatives; caveats, what the answer rests on (lines as transition-study
    writes them on standard error)."""

    def __new__(cls, vehicle, result, costs, runs, gradients, caveats):
        optimum = super().__new__(cls, (vehicle, result))
        optimum.costs, optimum.runs, optimum.gradients, optimum.caveats = costs, runs, gradients, caveats
        return optimum

    @property
    def vehicle(self):
        """The best design."""
        return self[0]

    @property
    def result(self):
        """Its run."""
        return self[1]

    def __reduce__(self):
        return Optimum, (self[0], self[1], self.costs, self.runs, self.gradients, self.caveats)

    def __repr__(self):
        return (f"transition.Optimum(vehicle={self[0]!r}, result={self[1]!r}, costs={self.costs!r}, "
                f"runs={self.runs!r}, gradients={self.gradients!r}, caveats={self.caveats!r})")


class NoDesignMeetsRequirements(ValueError):
    """What minimize() raises when no design in the box meets every requirement: its message
    names the requirement nearest to being met; requirement is that requirement as given and
    missed by how much, as a fraction of its value's size; vehicle and result are the design
    nearest to meeting them all and its run (None, and requirement too, when no design in the
    box can be flown to a located moment); runs counts the designs studied."""

    def __init__(self, message, requirement=None, missed=None, vehicle=None, result=None, runs=0):
        super().__init__(message)
        self.requirement, self.missed, self.vehicle, self.result, self.runs = requirement, missed, vehicle, result, runs

    def __reduce__(self):
        return NoDesignMeetsRequirements, (str(self), self.requirement, self.missed, self.vehicle, self.result,
                                           self.runs)


@_over(_transition.minimize)
def minimize(objective, vary, require=(), vehicle=None, maximize=False, jobs=None):
    answer = _transition.minimize(objective, vary, require, vehicle, maximize, jobs)
    if not answer["found"]:
        raise NoDesignMeetsRequirements(answer["nearest"], answer["nearest_requirement"], answer["nearest_missed"],
                                        answer["nearest_vehicle"], answer["nearest_result"], answer["runs"])
    return Optimum(answer["vehicle"], answer["result"], answer["costs"], answer["runs"], answer["gradients"],
                   answer["caveats"])


@_over(_transition.derivatives)
def derivatives(vehicle=None):
    return _transition.derivatives(vehicle)
