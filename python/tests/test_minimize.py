"""transition.minimize against transition-study --minimize and --maximize."""

import pytest

import transition
from conftest import refusal, study, table

BOX = {"mass": (20, 30)}


def programs_optimum(*arguments):
    header, rows = table(study(*arguments)[0])
    assert len(rows) == 1
    return header, rows[0]


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
        best, result = transition.minimize(objective, BOX, require, maximize=maximize, jobs=jobs)
        assert header[0] == "mass" and best.mass == float(row[0])
        assert transition.run(best).as_dict() == result.as_dict()
        for name, field in zip(header[1:], row[1:]):
            value = getattr(result, name) if name != "note" else result.note
            if field == "":
                assert value is None, name
            elif name == "stop":
                assert value == field
            else:
                assert value == type(value)(field), name


def test_a_vehicle_fixes_what_is_not_varied():
    heavy = transition.Vehicle(mass=30)
    header, row = programs_optimum("--set", "mass=30", "--minimize", "event_w", "--vary", "wing_area=1:2", "--jobs", "2")
    best, result = transition.minimize("event_w", {"wing_area": [1, 2]}, vehicle=heavy)
    assert best.mass == 30 and best.wing_area == float(row[0]) and result.event_w == float(row[header.index("event_w")])
    assert heavy.wing_area == 1.2, "the vehicle given is not changed"


def test_refusals_are_the_programs():
    cases = [
        (ValueError, lambda: transition.minimize("w", BOX), ["--minimize", "w", "--vary", "mass=20:30"]),
        (ValueError, lambda: transition.minimize("event_w", {"mass": (30, 20)}), ["--minimize", "event_w", "--vary", "mass=30:20"]),
        (ValueError, lambda: transition.minimize("event_w", BOX, ["event_x<200"]),
         ["--minimize", "event_w", "--vary", "mass=20:30", "--require", "event_x<200"]),
        (ValueError, lambda: transition.minimize("event_w", BOX, ["event_x<=10"]),
         ["--minimize", "event_w", "--vary", "mass=20:30", "--require", "event_x<=10"]),
        (ValueError, lambda: transition.minimize("event_t", {"lift_rotors": (2, 8)}, maximize=True),
         ["--maximize", "event_t", "--vary", "lift_rotors=2:8"]),
    ]
    for kind, call, arguments in cases:
        with pytest.raises(kind) as raised:
            call()
        assert str(raised.value) == refusal(*arguments)
    with pytest.raises(KeyError, match="unknown key 'mas'"):
        transition.minimize("event_w", {"mas": (20, 30)})
    with pytest.raises(TypeError):
        transition.minimize("event_w", {"mass": (20, 30, 40)})
    with pytest.raises(TypeError):
        transition.minimize("event_w", BOX, "event_x<=250")
    with pytest.raises(ValueError, match="at most 8 values"):
        keys = ["mass", "wing_area", "gravity", "air_density", "lift_rotor_diameter"]
        box = {k: (1, 2) for k in keys}
        box.update({f"propeller_thrust[{i}]": (1, 2) for i in range(3)})
        box["angle_of_attack[1]"] = (0, 0.001)
        transition.minimize("event_w", box)
