"""transition.Vehicle against transition-study's vehicle files, --set and --show-vehicle."""

import copy
import math
import os
import pickle

import numpy
import pytest

import transition
from conftest import SOURCE, refusal, study

EXAMPLE = os.path.join(SOURCE, "examples", "built-in.toml")


def shown(*arguments):
    return study(*arguments, "--show-vehicle")[0]


def file_message(write, key, text):
    """The message transition-study gives for `key = text` in a vehicle file, without the
    file's name and line."""
    path = write("bad.toml", f"{key} = {text}\n")
    return refusal(path).removeprefix(f"{path}:1: ")


def test_built_in_vehicle_is_the_programs():
    v = transition.Vehicle()
    assert str(v) == shown()
    assert transition.Vehicle.read(EXAMPLE) == v
    assert str(transition.Vehicle.read(EXAMPLE)) == shown(EXAMPLE)


def test_keys_are_attributes_of_their_types():
    v = transition.Vehicle()
    assert type(v.mass) is float and v.mass == 25.0
    assert type(v.lift_rotors) is int and v.lift_rotors == 4
    assert v.angle_of_attack == (-0.040786, 0.0004, 0.000159, 0.000006)
    assert all(type(c) is float for c in v.angle_of_attack)
    assert len(v.propeller_thrust) == 3 and len(v.lift_coefficient) == 2 and len(v.drag_coefficient) == 3


def test_keywords_file_set_and_apply_give_the_programs_vehicle(write):
    settings = ["mass=30", "propeller_thrust=[45, -1.0136, 0.0145]", "lift_rotors=6", "wing_area=0.1"]
    expected = shown(*[a for s in settings for a in ("--set", s)])
    by_keywords = transition.Vehicle(mass=30, propeller_thrust=[45, -1.0136, 0.0145], lift_rotors=6, wing_area=0.1)
    assert str(by_keywords) == expected
    path = write("mine.toml", "\n".join(s.replace("=", " = ", 1) for s in settings) + "\n")
    assert str(transition.Vehicle.read(path)) == expected
    assert str(transition.Vehicle.read(__import__("pathlib").Path(path))) == expected
    applied = transition.Vehicle()
    for s in settings:
        applied.apply(s)
    assert applied == by_keywords

    by_attributes = transition.Vehicle()
    by_attributes.mass = 30
    by_attributes.propeller_thrust = numpy.array([45, -1.0136, 0.0145])
    by_attributes.lift_rotors = numpy.int64(6)
    by_attributes.wing_area = numpy.float64(0.1)
    assert by_attributes == by_keywords


TABLE = os.path.join(SOURCE, "examples", "table-schedule.toml")


def test_a_table_schedule_is_the_programs():
    # Read, given as keywords (both table keys at once, in place of the cubic), set knot by
    # knot: the program's vehicle, and runs, each time.
    read = transition.Vehicle.read(TABLE)
    assert str(read) == shown(TABLE)
    assert read.angle_of_attack is None and len(read.schedule_speed) == 6
    assert transition.Vehicle().schedule_speed is None
    keywords = transition.Vehicle(schedule_speed=read.schedule_speed, schedule_angle=list(read.schedule_angle))
    assert keywords == read and transition.Vehicle(**read.as_dict()) == read
    assert "angle_of_attack" not in read.as_dict()
    assert pickle.loads(pickle.dumps(read)) == read
    read.set("schedule_angle[3]", 0.1)
    read.schedule_speed = [0, 5, 10, 16, 20, 25]
    assert str(read) == shown(TABLE, "--set", "schedule_angle[3]=0.1", "--set", "schedule_speed[3]=16")
    assert transition.run(transition.Vehicle(**read.as_dict())) == transition.run(read)
    # Two knots, any number of them, given whole; refusals as the program's.
    two = transition.Vehicle(schedule_speed=[0, 12.5], schedule_angle=[0, 0.05])
    assert two.schedule_angle == (0.0, 0.05)
    with pytest.raises(ValueError, match="either angle_of_attack or schedule_speed and schedule_angle"):
        transition.Vehicle(angle_of_attack=[0, 0, 0, 0], schedule_speed=[0, 1], schedule_angle=[0, 0])
    with pytest.raises(ValueError, match="schedule_speed: expected schedule_angle too"):
        transition.Vehicle(schedule_speed=[0, 1])
    with pytest.raises(ValueError, match=r"schedule_speed\[1\]: expected speeds strictly increasing, not 0 after 0"):
        transition.Vehicle(schedule_speed=[0, 0], schedule_angle=[0, 0])
    with pytest.raises(ValueError, match="the vehicle's schedule is the cubic angle_of_attack, not a table"):
        transition.Vehicle().set("schedule_angle[0]", 0.1)
    with pytest.raises(ValueError, match="expected an array of 2 numbers, one for each knot"):
        two.schedule_angle = [0, 0.1, 0.2]
    assert two.schedule_angle == (0.0, 0.05)


def test_sequences_are_read_by_position_whatever_their_labels():
    # A pandas Series is indexed by its labels: its values are taken in their order, as
    # numpy's array protocol and iteration give them, not as series[0], series[1], ...
    import pandas

    coefficients = [45, -1.0136, 0.0145]
    expected = transition.Vehicle(propeller_thrust=coefficients)
    table = pandas.DataFrame({"c": coefficients}, index=[7, 3, 5])
    for given in (pandas.Series(coefficients, index=[2, 1, 0]), pandas.Series(coefficients, index=["a", "b", "c"]),
                  table["c"], table["c"][table["c"] > -2], numpy.array(coefficients)[::1], range(3)):
        v = transition.Vehicle()
        v.propeller_thrust = given
        if isinstance(given, range):
            assert v.propeller_thrust == (0.0, 1.0, 2.0)
            continue
        assert v == expected and transition.Vehicle(propeller_thrust=given) == expected
    for wrong in (pandas.Series(["45", "1", "2"]), pandas.Series([True, False, True]), numpy.array([1 + 2j, 0, 0]),
                  {45: 0, -1: 1, 0: 2}):
        with pytest.raises(TypeError, match="propeller_thrust"):
            transition.Vehicle(propeller_thrust=wrong)


def test_set_changes_one_number():
    v = transition.Vehicle()
    v.set("propeller_thrust[0]", 45)
    v.set("mass", 30.5)
    v.set("lift_rotors", 3)
    assert v.propeller_thrust == (45.0, -1.0136, 0.0145)
    assert v.mass == 30.5 and v.lift_rotors == 3
    assert str(v) == shown("--set", "propeller_thrust[0]=45", "--set", "mass=30.5", "--set", "lift_rotors=3")


def test_equality_is_every_value_bit_for_bit():
    assert transition.Vehicle(mass=30) == transition.Vehicle(mass=30.0)
    assert transition.Vehicle() != transition.Vehicle(lift_coefficient=[0.5776, math.nextafter(6.1069, 7)])
    zero = transition.Vehicle(propeller_thrust=[40, -1, 0.0])
    assert zero != transition.Vehicle(propeller_thrust=[40, -1, -0.0])
    assert transition.Vehicle() != "air_density = 1.225"
    base = transition.Vehicle()
    for key, value in base.as_dict().items():
        changed = transition.Vehicle()
        if isinstance(value, tuple):
            setattr(changed, key, value[:-1] + (value[-1] * 2 + 1,))
        else:
            setattr(changed, key, value + 1)
        assert changed != base, key


def test_copies_pickles_and_reprs_are_equal():
    v = transition.Vehicle(mass=30.1, propeller_thrust=[45, -1.0136, -0.0], lift_rotors=7)
    assert list(v.as_dict()) == [line.split(" ")[0] for line in str(v).splitlines()]
    pickles = [pickle.loads(pickle.dumps(v, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for again in [copy.copy(v), copy.deepcopy(v), eval(repr(v), {"transition": transition}),
                  transition.Vehicle(**v.as_dict())] + pickles:
        assert again == v and str(again) == str(v)
        assert math.copysign(1.0, again.propeller_thrust[2]) == -1.0
    other = copy.copy(v)
    other.mass = 40
    assert v.mass == 30.1


# A bad value in a vehicle file and the same value given to a Vehicle: the file's message.
BAD_VALUES = [
    ("mass", 0, "0"),
    ("mass", -1.5, "-1.5"),
    ("air_density", float("nan"), "nan"),
    ("gravity", float("inf"), "inf"),
    ("lift_rotors", 0, "0"),
    ("lift_rotors", 1000001, "1000001"),
    ("lift_rotors", 2**53 + 1, "9007199254740993"),
    ("lift_rotors", -(2**63), "-9223372036854775808"),
    ("propeller_thrust", [1, 2], "[1, 2]"),
    ("propeller_thrust", [1, 2, float("-inf")], "[1, 2, -inf]"),
    ("drag_coefficient", (0.1, 0.2, 0.3, 0.4), "[0.1, 0.2, 0.3, 0.4]"),
]


@pytest.mark.parametrize("key, value, text", BAD_VALUES)
def test_bad_values_are_refused_with_the_files_message(write, key, value, text):
    expected = file_message(write, key, text)
    with pytest.raises(ValueError) as by_keyword:
        transition.Vehicle(**{key: value})
    assert by_keyword.value.args[0] == expected
    v = transition.Vehicle(mass=31)
    before = str(v)
    with pytest.raises(ValueError) as by_attribute:
        setattr(v, key, value)
    assert by_attribute.value.args[0] == expected
    assert str(v) == before


def test_a_rotor_count_beyond_any_integer_of_a_file_is_out_of_range():
    for count in (2**64, -(2**64), 10**30):
        with pytest.raises(ValueError) as refused:
            transition.Vehicle(lift_rotors=count)
        assert refused.value.args[0] == f"lift_rotors: expected a whole number from 1 to 1000000, not {count}"


def test_apply_and_read_refuse_as_the_program_does(write):
    v = transition.Vehicle(wing_area=1.5)
    before = copy.copy(v)
    # The program's reasons, the setting named as the method's, not as --set.
    for setting in ["mass=0", "mass", "mass=[1, 2]", "propeller_thrust[3]=1", "lift_rotors=2.5", "mass=1\nwing_area=2"]:
        with pytest.raises(ValueError) as refused:
            v.apply(setting)
        program = refusal("--set", setting).removeprefix("--set " + setting.replace("\n", "\\n") + ": ")
        assert refused.value.args[0] == "Vehicle.apply: " + program
        assert v == before
    with pytest.raises(KeyError) as unknown:
        v.apply("mas=30")
    assert unknown.value.args[0] == "Vehicle.apply: " + refusal("--set", "mas=30").removeprefix("--set mas=30: ")
    assert "nearest known key is 'mass'" in unknown.value.args[0]
    assert v == before

    for text in ["mas = 30\n", "mass = 'heavy'\n", "mass = \n", "lift_rotors = 4.0\n"]:
        path = write("bad.toml", text)
        with pytest.raises(ValueError) as refused:
            transition.Vehicle.read(path)
        assert refused.value.args[0] == refusal(path)


def test_a_file_that_cannot_be_opened_is_an_os_error_as_open_raises(write, tmp_path):
    # As open() raises it: the subclass of OSError for the errno, with errno, strerror and
    # the filename; transition-study's message for the same file stays its own.
    missing = str(tmp_path / "missing.toml")
    for path, kind in [(missing, FileNotFoundError), (str(tmp_path), IsADirectoryError)]:
        with pytest.raises(OSError) as by_open:
            open(path)
        for given in (path, __import__("pathlib").Path(path)):
            with pytest.raises(kind) as refused:
                transition.Vehicle.read(given)
            error = refused.value
            assert (type(error), error.errno, error.strerror, error.filename, str(error)) == \
                (type(by_open.value), by_open.value.errno, by_open.value.strerror, path, str(by_open.value))
    assert refusal(missing) == f"{missing}: cannot read it: No such file or directory"

    # A NUL byte ends the name for the operating system: the path is refused, not cut there.
    mine = write("mine.toml", "mass = 30\n")
    with pytest.raises(ValueError) as refused:
        open(mine + "\0.bak")
    with pytest.raises(ValueError) as nul:
        transition.Vehicle.read(mine + "\0.bak")
    assert nul.value.args[0] == f"{mine}\\x00.bak: cannot read it: the path has a NUL byte"
    assert transition.Vehicle.read(mine).mass == 30


def test_set_refuses_as_a_sweep_value_is_refused():
    v = transition.Vehicle(wing_area=1.5)
    before = copy.copy(v)
    # The same number swept by transition-study: the same message after its prefix.
    for name, value in [("mass", 0), ("lift_rotors", 2.5), ("wing_area", -2), ("mass[0]", 1)]:
        with pytest.raises(ValueError) as refused:
            v.set(name, value)
        program = refusal("--sweep", f"{name}={value}").split(": ", 1)[1]
        assert refused.value.args[0] == "Vehicle.set: " + program
        assert v == before
    with pytest.raises(ValueError, match="propeller_thrust has 3 elements"):
        v.set("propeller_thrust", 1)
    with pytest.raises(KeyError) as unknown:
        v.set("propeller[0]", 1)
    assert "unknown key 'propeller'; the nearest known key is 'propeller_thrust'" in unknown.value.args[0]
    assert v == before


def test_wrong_types_and_unknown_keywords_are_type_errors():
    v = transition.Vehicle()
    before = copy.copy(v)
    with pytest.raises(TypeError, match="unknown key 'mas'; the nearest known key is 'mass'"):
        transition.Vehicle(mas=30)
    with pytest.raises(TypeError):
        transition.Vehicle(25.0)
    cases = [
        ("mass", "30"),
        ("mass", True),
        ("mass", [30]),
        ("mass", None),
        ("lift_rotors", 4.0),
        ("lift_rotors", True),
        ("propeller_thrust", 45),
        ("propeller_thrust", "45,1,2"),
        ("propeller_thrust", [45, "x", 1]),
        ("propeller_thrust", numpy.zeros((3, 2))),
    ]
    for key, value in cases:
        with pytest.raises(TypeError, match=key):
            transition.Vehicle(**{key: value})
        with pytest.raises(TypeError, match=key):
            setattr(v, key, value)
        assert v == before
    with pytest.raises(TypeError):
        v.set("mass", "30")
    with pytest.raises(AttributeError):
        v.mas = 30
    assert v == before


def test_help_and_the_stubs_say_what_each_call_takes_and_returns():
    assert "Result" in transition.run.__doc__ and "vehicle" in transition.run.__doc__
    assert "numpy" in transition.sweep.__doc__ and "shard" in transition.sweep.__doc__
    assert "kg" in transition.Vehicle.mass.__doc__
    package = os.path.dirname(transition.__file__)
    assert os.path.exists(os.path.join(package, "py.typed"))
    with open(os.path.join(package, "__init__.pyi"), encoding="utf-8") as f:
        stubs = f.read()
    compile(stubs, "__init__.pyi", "exec")
    for column in transition.run().as_dict():
        assert f"def {column}(self)" in stubs, column
    for key in transition.Vehicle().as_dict():
        assert f"def {key}(self)" in stubs and f"{key}: " in stubs, key
