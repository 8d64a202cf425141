"""transition.run and transition.trace against transition-study's row and trace."""

import copy
import inspect
import multiprocessing
import os
import pickle
import re
import sys

import numpy
import pytest

import transition
from conftest import SOURCE, refusal, study, table

EXPECTED_TRACE = os.path.join(SOURCE, "tests", "data", "expected_trace.txt")


def same_as_row(result, header, row):
    """Every column of a Result equal to the CSV field read back: the same double."""
    assert list(result.as_dict()) == header + ["note"]
    for name, field in zip(header, row):
        value = getattr(result, name)
        if name == "stop":
            assert value == field
        elif field == "":
            assert value is None, name
        elif name == "steps":
            assert type(value) is int and value == int(field)
        else:
            assert type(value) is float and value == float(field), name
        assert result.as_dict()[name] == value or value != value


def program_row(*arguments):
    header, rows = table(study(*arguments)[0])
    assert len(rows) == 1
    return header, rows[0]


def test_built_in_run_is_the_programs_row():
    result = transition.run()
    same_as_row(result, *program_row())
    assert result.stop == "lift" and result.steps == 372 and result.note is None
    assert transition.run(None).as_dict() == result.as_dict()


def test_file_and_keywords_give_the_programs_doubles(write):
    path = write("mine.toml", "mass = 30\nlift_rotors = 3\n")
    expected = program_row(path, "--set", "propeller_thrust[0]=45", "--set", "wing_area=1.05")
    from_file = transition.Vehicle.read(path)
    from_file.set("propeller_thrust[0]", 45)
    from_file.wing_area = 1.05
    same_as_row(transition.run(from_file), *expected)
    keywords = transition.Vehicle(mass=30, lift_rotors=3, propeller_thrust=[45, -1.0136, 0.0145], wing_area=1.05)
    same_as_row(transition.run(keywords), *expected)


def test_every_stop_is_the_programs():
    cases = {
        "speed": ["--set", "propeller_thrust[0]=120", "--set", "wing_area=0.3"],
        "cap": ["--set", "propeller_thrust[0]=10"],
    }
    for stop, arguments in cases.items():
        v = transition.Vehicle()
        for setting in arguments[1::2]:
            v.apply(setting)
        result = transition.run(v)
        assert result.stop == stop
        same_as_row(result, *program_row(*arguments))
    capped = transition.run(transition.Vehicle(propeller_thrust=[10, -1.0136, 0.0145]))
    assert capped.event_t is None and capped.steps == 800


def test_an_aircraft_the_model_cannot_fly_is_an_invalid_result():
    v = transition.Vehicle(propeller_thrust=[10, -2, 0])
    result = transition.run(v)
    assert result.stop == "invalid"
    assert all(value is None for name, value in result.as_dict().items() if name not in ("stop", "note"))
    message = refusal("--set", "propeller_thrust=[10, -2, 0]")
    assert message == "the model leaves its range: " + result.note
    with pytest.raises(ValueError) as refused:
        transition.trace(v)
    assert refused.value.args[0] == refusal("--set", "propeller_thrust=[10, -2, 0]", "--trace")


STEP_LINE = re.compile(
    r"t (\S+) a (\S+) v (\S+) x (\S+) w (\S+) Q (\S+) lift (\S+)\n")


def step_lines(text):
    return [m.groups() for m in STEP_LINE.finditer(text)]


def same_as_trace(figures, lines):
    assert len(lines) > 0 and all(len(figures[k]) == len(lines) for k in ("t", "a", "v", "x", "w", "lift"))
    for key in ("t", "a", "v", "x", "w", "lift"):
        assert figures[key].dtype == numpy.float64 and figures[key].ndim == 1
    for i, (t, a, v, x, w, q, lift) in enumerate(lines):
        shown = [f"{figures[k][i]:.6f}" for k in ("t", "a", "v", "x", "w")]
        assert shown == [t, a, v, x, w], i
        assert f"{figures['lift'][i]:.6f}" == lift and f"{figures['Q']:.6f}" == q, i


def test_trace_is_the_programs_trace_rounded():
    with open(EXPECTED_TRACE, encoding="ascii") as f:
        lines = step_lines(f.read())
    figures = transition.trace()
    assert type(figures["Q"]) is float
    same_as_trace(figures, lines)
    assert len(lines) == transition.run().steps
    heavier = transition.Vehicle(mass=30, lift_rotors=6)
    same_as_trace(transition.trace(heavier), step_lines(study("--set", "mass=30", "--set", "lift_rotors=6", "--trace")[0]))


def test_loading_the_module_leaves_subnormal_numbers_alone():
    # Startup code of a module linked with fast-math options would set flush-to-zero for
    # the whole process.
    assert sys.float_info.min / 2 > 0.0
    assert numpy.float64(sys.float_info.min) / 4 > 0.0


def various_results():
    """Runs of every kind: stopped by lift, by speed, by the cap, and an invalid design."""
    vehicles = [transition.Vehicle(), transition.Vehicle(propeller_thrust=[120, -1.0136, 0.0145], wing_area=0.3),
                transition.Vehicle(propeller_thrust=[10, -1.0136, 0.0145]), transition.Vehicle(propeller_thrust=[10, -2, 0])]
    results = [transition.run(v) for v in vehicles]
    assert [r.stop for r in results] == ["lift", "speed", "cap", "invalid"]
    return vehicles, results


def test_results_pickle_and_copy_to_equal_results():
    _, results = various_results()
    for r in results:
        again = [pickle.loads(pickle.dumps(r, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
        for other in again + [copy.copy(r), copy.deepcopy(r)]:
            assert type(other) is transition.Result and other == r and not other != r
            assert other.as_dict() == r.as_dict() or r.stop == "invalid"
            assert repr(other) == repr(r) and hash(other) == hash(r)
        assert again[0].note == r.note
    assert len(set(results)) == 4 and results[0] != results[1] and results[0] != "lift"
    assert transition.run() == results[0], "a run is the same doubles every time"


def test_every_raw_field_takes_part_in_equality_and_pickles():
    # A result's state holds every field of the core's result, not only its columns (the
    # angle of attack in rad, not the degrees of alpha; where an invalid design left the
    # model's range): changing any one of them makes another result.
    _, results = various_results()
    for r in (results[0], results[3]):
        rebuild, (state,) = r.__reduce__()
        assert rebuild(state) == r
        for i, field in enumerate(state):
            changed = list(state)
            if isinstance(field, bool):
                changed[i] = not field
            elif isinstance(field, int):
                changed[i] = field ^ 1
            else:
                changed[i] = "speed" if field is None else field + "!"
            assert rebuild(tuple(changed)) != r, i
    for bad in ((), state[:-1], state + (0,), ("lift",) + state[1:], (99,) + state[1:]):
        with pytest.raises((TypeError, ValueError)):
            rebuild(bad)
    with pytest.raises(TypeError):
        transition.Result()


def test_the_functions_pickle_by_name_and_run_in_worker_processes():
    for name in transition.__all__:
        thing = getattr(transition, name)
        assert pickle.loads(pickle.dumps(thing)) is thing, name
    vehicles, results = various_results()
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(transition.run, vehicles) == results
        assert pool.apply(transition.sweep_csv, (["mass=20:30:3"],)) == transition.sweep_csv(["mass=20:30:3"])


def test_every_call_has_its_signature():
    signatures = {
        transition.run: "(vehicle=None)",
        transition.trace: "(vehicle=None)",
        transition.sweep: "(grid, vehicle=None, jobs=None, shard=None)",
        transition.sweep_csv: "(grid, vehicle=None, jobs=None, shard=None)",
        transition.minimize: "(objective, vary, require=(), vehicle=None, maximize=False, jobs=None)",
        transition.Vehicle.read: "(path)",
        transition.Vehicle.set: "(self, name, value)",
        transition.Vehicle.apply: "(self, setting)",
        transition.Vehicle.as_dict: "(self)",
        transition.Result.as_dict: "(self)",
    }
    for call, expected in signatures.items():
        assert str(inspect.signature(call)) == expected, call
    keywords = inspect.signature(transition.Vehicle).parameters
    built_in = transition.Vehicle()
    # Every key of a vehicle file, the table schedule's among them (None: the built-in aircraft's is the cubic).
    assert [k for k in keywords if k not in ("schedule_speed", "schedule_angle")] == list(built_in.as_dict())
    assert list(keywords)[7:9] == ["schedule_speed", "schedule_angle"]
    for name, parameter in keywords.items():
        assert parameter.kind == inspect.Parameter.KEYWORD_ONLY and parameter.default == getattr(built_in, name)
    for cls in (transition.Vehicle, transition.Result):
        for name, member in vars(cls).items():
            if callable(member) and (not name.startswith("_") or name in ("__init__", "__eq__", "__repr__", "__str__")):
                inspect.signature(getattr(cls, name))


def test_every_figure_says_its_unit():
    units = {"t": ", s", "v": ", m/s", "x": ", m", "w": ", J", "alpha": ", deg", "event_t": ", s", "event_v": ", m/s",
             "event_x": ", m", "event_w": ", J", "peak_thrust": ", N", "peak_power": ", W", "peak_alpha": ", rad",
             "peak_pitch_rate": ", rad/s", "peak_acceleration": ", m/s^2"}
    columns = [name for name in transition.run().as_dict() if name not in ("stop", "steps", "note")]
    assert sorted(columns) == sorted(units)
    for name, unit in units.items():
        doc = getattr(transition.Result, name).__doc__
        assert doc.rstrip(".").endswith(unit) or unit + ";" in doc or unit + " " in doc, (name, doc)
    assert "rad" not in transition.Result.alpha.__doc__ and "deg" not in transition.Result.peak_alpha.__doc__
    steps = transition.trace.__doc__
    for key, unit in {"t": "s", "a": "m/s^2", "v": "m/s", "x": "m", "w": "J", "lift": "N", "Q": "N"}.items():
        assert f"{key} ({unit}" in steps or f"{key}, {unit}" in steps, key
    assert "start of the step" in steps
