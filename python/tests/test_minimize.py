"""transition.minimize and transition.derivatives against transition-study --minimize,
--maximize and --derivatives."""

import pickle

import pandas
import pytest

import transition
from conftest import refusal, study, table

BOX = {"mass": (20, 30)}
SCHEDULE = {"angle_of_attack[1]": (0, 0.01), "angle_of_attack[2]": (0, 0.001), "angle_of_attack[3]": (0, 0.0001)}


def programs_optimum(*arguments):
    header, rows = table(study(*arguments)[0])
    assert len(rows) == 1
    return header, rows[0]


def assert_row(result, header, row):
    """The result's columns are the row's, to the double."""
    for name, field in zip(header, row):
        value = getattr(result, name) if name != "note" else result.note
        if field == "":
            assert value is None, name
        elif name == "stop":
            assert value == field
        else:
            assert value == type(value)(field), name


@pytest.mark.parametrize(
    "objective, maximize, require, arguments",
    [
        ("event_w", False, ["event_x>=150"], ["--minimize", "event_w", "--require", "event_x>=150"]),
        ("event_t", True, ["peak_power<=3000"], ["--maximize", "event_t", "--require", "peak_power<=3000"]),
    ],
)
def test_the_programs_optimum_to_the_double(objective, maximize, require, arguments):
    header, row = programs_optimum(*arguments, "--vary", "mass=20:30", "--jobs", "1")
    for jobs in (1, 2):
        optimum = transition.minimize(objective, BOX, require, maximize=maximize, jobs=jobs)
        best, result = optimum
        assert optimum.vehicle is best and optimum.result is result
        assert header[0] == "mass" and best.mass == float(row[0])
        assert transition.run(best) == result
        costs = len(require)
        assert_row(result, header[1:-1 - costs], row[1:-1 - costs])
        # Each requirement's cost, its column named as given, and the runs made.
        assert header[-1 - costs:-1] == require
        assert list(optimum.costs) == require
        assert [optimum.costs[q] for q in require] == [float(field) for field in row[-1 - costs:-1]]
        assert optimum.runs > optimum.gradients > 0


def test_costs_order_and_pickling():
    # The stall limit binds and costs energy; the distance does not, and costs exactly 0;
    # the same answer whatever the order of the values and requirements.
    optimum = transition.minimize("event_w", SCHEDULE, ["peak_alpha<=0.12", "event_x<=250"])
    reversed_box = dict(reversed(list(SCHEDULE.items())))
    again = transition.minimize("event_w", reversed_box, ["event_x<=250", "peak_alpha<=0.12"], jobs=1)
    assert again.result == optimum.result and again.vehicle == optimum.vehicle
    assert optimum.costs["peak_alpha<=0.12"] < 0 and optimum.costs["event_x<=250"] == 0.0
    assert again.costs == optimum.costs
    header, row = programs_optimum("--minimize", "event_w", *[f"--vary={k}={lo}:{hi}" for k, (lo, hi) in SCHEDULE.items()],
                                   "--require", "peak_alpha<=0.12", "--require", "event_x<=250")
    assert float(row[header.index("peak_alpha<=0.12")]) == optimum.costs["peak_alpha<=0.12"]
    assert optimum.caveats == ["angle_of_attack[1] rests on its lower bound, 0: a wider box may do better",
                               "angle_of_attack[2] rests on its lower bound, 0: a wider box may do better"]
    copy = pickle.loads(pickle.dumps(optimum))
    assert type(copy) is transition.Optimum and copy == optimum
    assert (copy.costs, copy.runs, copy.gradients, copy.caveats) == \
        (optimum.costs, optimum.runs, optimum.gradients, optimum.caveats)


def test_no_design_meets_the_requirements():
    with pytest.raises(transition.NoDesignMeetsRequirements) as raised:
        transition.minimize("event_w", BOX, ["event_x<=10", "peak_alpha<=0.01"])
    e = raised.value
    assert isinstance(e, ValueError)
    assert str(e) == refusal("--minimize", "event_w", "--vary", "mass=20:30", "--require", "event_x<=10",
                             "--require", "peak_alpha<=0.01")
    assert e.requirement == "peak_alpha<=0.01" and e.missed == pytest.approx(3.7513, rel=1e-4)
    assert e.vehicle.mass == 20 and e.result == transition.run(e.vehicle) and e.runs > 0
    copy = pickle.loads(pickle.dumps(e))
    assert (str(copy), copy.requirement, copy.vehicle) == (str(e), e.requirement, e.vehicle)
    with pytest.raises(transition.NoDesignMeetsRequirements) as never:
        transition.minimize("event_w", {"propeller_thrust[1]": (-9, -8)})
    assert never.value.requirement is None and never.value.vehicle is None


def test_a_vehicle_fixes_what_is_not_varied():
    heavy = transition.Vehicle(mass=30)
    header, row = programs_optimum("--set", "mass=30", "--minimize", "event_w", "--vary", "wing_area=1:2", "--jobs", "2")
    best, result = transition.minimize("event_w", {"wing_area": [1, 2]}, vehicle=heavy)
    assert best.mass == 30 and best.wing_area == float(row[0]) and result.event_w == float(row[header.index("event_w")])
    assert heavy.wing_area == 1.2, "the vehicle given is not changed"


def test_refusals_name_the_arguments():
    cases = [
        (lambda: transition.minimize("w", BOX), "objective 'w': w is taken at the end of the stopping step"),
        (lambda: transition.minimize("event_w", {"mass": (30, 20)}), "vary['mass']=(30, 20): expected LOW < HIGH"),
        (lambda: transition.minimize("event_w", BOX, ["event_x<200"]),
         "require 'event_x<200': expected COLUMN<=VALUE, COLUMN>=VALUE or COLUMN==VALUE"),
        (lambda: transition.minimize("event_w", BOX, ["event_x<=200", "event_x<=2e2"]),
         "event_x<=2e2: required twice (also as event_x<=200)"),
        (lambda: transition.minimize("event_t", {"lift_rotors": (2, 8)}, maximize=True),
         "vary['lift_rotors']=(2, 8): lift_rotors is a whole number and cannot be varied"),
        (lambda: transition.minimize("event_w", {}), "vary: expected at least one value to vary"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(message), raised.value
    with pytest.raises(KeyError, match="unknown key 'mas'"):
        transition.minimize("event_w", {"mas": (20, 30)})
    with pytest.raises(TypeError):
        transition.minimize("event_w", {"mass": (20, 30, 40)})
    with pytest.raises(TypeError):
        transition.minimize("event_w", BOX, "event_x<=250")
    with pytest.raises(ValueError, match="at most 256 values"):
        many = transition.Vehicle(schedule_speed=[0.1 * i for i in range(257)], schedule_angle=[0] * 257)
        transition.minimize("event_w", {"schedule_angle": (0, 0.1)}, vehicle=many)


def test_a_table_is_optimised_knot_by_knot(write):
    # Every knot's angle varied within the same bounds, as the command's schedule_angle=LOW:HIGH.
    knots = transition.Vehicle(schedule_speed=range(26), schedule_angle=[-0.040786] * 26)
    optimum = transition.minimize("event_w", {"schedule_angle": (-0.040786, 0.2094)}, ["event_x<=250"], vehicle=knots)
    header, row = programs_optimum(write("knots.toml", str(knots)), "--minimize", "event_w",
                                   "--vary", "schedule_angle=-0.040786:0.2094", "--require", "event_x<=250")
    assert header[:26] == [f"schedule_angle[{i}]" for i in range(26)]
    assert list(optimum.vehicle.schedule_angle) == [float(x) for x in row[:26]]
    assert optimum.result.event_w <= 20580


@pytest.mark.parametrize("settings", [[], ["mass=34"]])
def test_derivatives_are_the_commands(settings):
    # The built-in aircraft, and one stopped by the step cap, whose moment's figures have none.
    vehicle = transition.Vehicle()
    for setting in settings:
        vehicle.apply(setting)
    header, rows = table(study(*[f"--set={s}" for s in settings], "--derivatives")[0])
    d = transition.derivatives(vehicle)
    assert list(d) == header[1:]
    frame = pandas.DataFrame(d)
    assert list(frame.index) == [row[0] for row in rows] and "lift_rotors" not in frame.index
    for row in rows:
        for figure, field in zip(header[1:], row[1:]):
            value = d[figure][row[0]]
            assert (value is None) if field == "" else (value == float(field)), (row[0], figure)
    if settings:
        assert all(v is None for v in d["event_w"].values()) and d["peak_power"]["mass"] is not None
    with pytest.raises(ValueError, match="^no derivatives: the model leaves its range: propeller thrust"):
        transition.derivatives(transition.Vehicle(propeller_thrust=[10, -2, 0]))
    assert pickle.loads(pickle.dumps(transition.derivatives)) is transition.derivatives
