"""transition.sweep and transition.sweep_csv against transition-study --sweep."""

import math
import sys

import numpy
import pytest

import transition
from conftest import refusal, study, table

TWO_KEYS = ["mass=20:30:11", "lift_rotors=3,4"]
# Every kind of stop: a weak propeller stops by the cap or leaves the model's range, a
# strong one on a small wing passes 25 m/s first.
THREE_KEYS = ["propeller_thrust[0]=10,39.85,120", "mass=20:30:3", "wing_area=0.3,1.2"]
BASE = ["--set", "propeller_thrust[1]=-2"]


def base_vehicle():
    v = transition.Vehicle()
    v.apply("propeller_thrust[1]=-2")
    return v


def program_csv(sweeps, *arguments):
    return study(*arguments, *[a for s in sweeps for a in ("--sweep", s)], "--jobs", "1")[0]


def same_as_table(arrays, text):
    """The arrays of a sweep equal the program's CSV value for value, read back."""
    header, rows = table(text)
    assert list(arrays) == header
    assert all(len(a) == len(rows) and a.ndim == 1 for a in arrays.values())
    for j, name in enumerate(header):
        column = arrays[name]
        fields = [row[j] for row in rows]
        if name in ("stop", "note"):
            assert column.dtype == object and all(type(x) is str for x in column) and column.tolist() == fields, name
        elif name == "steps":
            assert column.dtype == numpy.int64
            assert column.tolist() == [int(f) if f else -1 for f in fields]
        else:
            assert column.dtype == numpy.float64, name
            expected = [float(f) if f else math.nan for f in fields]
            assert [x if x == x else "nan" for x in column.tolist()] == [x if x == x else "nan" for x in expected], name


@pytest.mark.parametrize("sweeps, arguments, vehicle", [(TWO_KEYS, [], None), (THREE_KEYS, BASE, "base")])
def test_sweep_is_the_programs_csv_for_any_jobs(sweeps, arguments, vehicle):
    v = base_vehicle() if vehicle else None
    expected = program_csv(sweeps, *arguments)
    stops = set(row[len(sweeps)] for row in table(expected)[1])
    assert stops == ({"lift"} if not vehicle else {"lift", "speed", "cap", "invalid"})
    for jobs in (1, 2, 7):
        assert transition.sweep_csv(sweeps, v, jobs=jobs) == expected
        same_as_table(transition.sweep(sweeps, v, jobs=jobs), expected)


@pytest.mark.parametrize("sweeps, arguments, vehicle", [(TWO_KEYS, [], None), (THREE_KEYS, BASE, "base")])
def test_four_shards_are_the_programs_and_make_the_whole(sweeps, arguments, vehicle):
    v = base_vehicle() if vehicle else None
    whole = transition.sweep(sweeps, v, jobs=2)
    header, rows = table(program_csv(sweeps, *arguments))
    parts = []
    for k in range(1, 5):
        part = program_csv(sweeps, *arguments, "--shard", f"{k}/4")
        assert transition.sweep_csv(sweeps, v, jobs=2, shard=(k, 4)) == part
        parts.append(transition.sweep(sweeps, v, jobs=3, shard=(k, 4)))
        same_as_table(parts[-1], part)
    assert sum(len(p["stop"]) for p in parts) == len(rows)
    for name in header:
        joined = numpy.concatenate([p[name] for p in parts])
        assert joined.dtype == whole[name].dtype
        if joined.dtype == object:
            assert joined.tolist() == whole[name].tolist(), name
        else:
            assert joined.tobytes() == whole[name].tobytes(), name


def test_a_dict_of_values_is_the_same_grid_as_lists():
    masses = numpy.array([20.0, 22.5, 30.1])
    by_dict = transition.sweep({"mass": masses, "propeller_thrust[0]": [35, 45]}, jobs=1)
    texts = ["mass=" + ",".join(repr(m) for m in masses.tolist()), "propeller_thrust[0]=35,45"]
    expected = program_csv(texts)
    same_as_table(by_dict, expected)
    assert transition.sweep_csv({"mass": list(masses), "propeller_thrust[0]": (35.0, 45.0)}) == expected
    assert list(by_dict)[:2] == ["mass", "propeller_thrust[0]"]
    assert by_dict["mass"].tolist() == [20.0, 20.0, 22.5, 22.5, 30.1, 30.1]
    assert transition.sweep_csv("mass=20:30:3") == program_csv(["mass=20:30:3"])


def test_a_series_is_swept_in_its_order_not_by_its_labels():
    import pandas

    expected = program_csv(["mass=30,25,20"])
    same_as_table(transition.sweep({"mass": pandas.Series([30.0, 25.0, 20.0], index=[2, 1, 0])}, jobs=1), expected)
    designs = pandas.DataFrame({"mass": [20.0, 30.0, 25.0, 21.5]})
    heavy = designs["mass"][designs["mass"] > 21]
    assert transition.sweep_csv({"mass": heavy}, jobs=1) == program_csv(["mass=30,25,21.5"])


def test_a_sweep_is_refused_before_any_work_as_the_program_refuses_it():
    refused = [
        (["mass=20:30:0"], {}, ["--sweep", "mass=20:30:0"]),
        (["mass=20,x"], {}, ["--sweep", "mass=20,x"]),
        (["mass=-1,20"], {}, ["--sweep", "mass=-1,20"]),
        (["lift_rotors=1:4:3"], {}, ["--sweep", "lift_rotors=1:4:3"]),
        (["propeller_thrust=1,2"], {}, ["--sweep", "propeller_thrust=1,2"]),
    ]
    for sweeps, options, arguments in refused:
        for call in (transition.sweep, transition.sweep_csv):
            with pytest.raises(ValueError) as error:
                call(sweeps, **options)
            assert error.value.args[0] == refusal(*arguments), arguments
    # What the program names by its options, the package names by its own arguments, with
    # the program's reason.
    in_its_words = [
        (["mass=1:2:100000", "wing_area=1:2:100000"], {}, ["--sweep", "mass=1:2:100000", "--sweep", "wing_area=1:2:100000"],
         "sweep: a grid of more than 10^9 designs"),
        (["mass=20,30", "mass=25"], {}, ["--sweep", "mass=20,30", "--sweep", "mass=25"],
         "sweep of mass: swept twice (also as sweep of mass)"),
        (["mass=20:30:2"], {"jobs": 0}, ["--sweep", "mass=20:30:2", "--jobs", "0"], "jobs=0: the number of threads must be from 1 to 1024, not 0"),
        (["mass=20:30:2"], {"jobs": 1025}, ["--sweep", "mass=20:30:2", "--jobs", "1025"],
         "jobs=1025: the number of threads must be from 1 to 1024, not 1025"),
        (["mass=20:30:2"], {"jobs": -3}, None, "jobs=-3: the number of threads must be from 1 to 1024, not -3"),
        (["mass=20:30:2"], {"jobs": 10**30}, None,
         f"jobs={10**30}: the number of threads must be from 1 to 1024, not {10**30}"),
        (["mass=20:30:2"], {"shard": (0, 4)}, ["--sweep", "mass=20:30:2", "--shard", "0/4"], "shard=(0, 4): k must be from 1 to 4, not 0"),
        (["mass=20:30:2"], {"shard": (5, 4)}, ["--sweep", "mass=20:30:2", "--shard", "5/4"], "shard=(5, 4): k must be from 1 to 4, not 5"),
        (["mass=20:30:2"], {"shard": (-1, 4)}, None, "shard=(-1, 4): k must be from 1 to 4, not -1"),
        (["mass=20:30:2"], {"shard": (1, 10**12)}, ["--sweep", "mass=20:30:2", "--shard", f"1/{10**12}"],
         f"shard=(1, {10**12}): n must be from 1 to 1000000000, not {10**12}"),
    ]
    for sweeps, options, arguments, message in in_its_words:
        for call in (transition.sweep, transition.sweep_csv):
            with pytest.raises(ValueError) as error:
                call(sweeps, **options)
            assert error.value.args[0] == message
        if arguments:
            reason = message.split(": ", 1)[1].replace("sweep of ", "--sweep ").replace("k must", "K must").replace("n must", "N must")
            assert refusal(*arguments).split(": ", 1)[1] == reason
    import pandas

    with pytest.raises(ValueError, match=r"^shard=\(5, 4\): k must be from 1 to 4, not 5$"):
        transition.sweep(["mass=20:30:2"], shard=pandas.Series([5, 4], index=[1, 0]))
    with pytest.raises(ValueError) as twice:
        transition.sweep({"propeller_thrust[0]": [40, 45], "propeller_thrust[00]": [1]})
    assert twice.value.args[0] == "sweep of propeller_thrust[00]: swept twice (also as sweep of propeller_thrust[0])"
    with pytest.raises(KeyError) as unknown:
        transition.sweep(["mas=20,30"])
    assert unknown.value.args[0] == refusal("--sweep", "mas=20,30")
    with pytest.raises(KeyError, match="unknown key 'mas'"):
        transition.sweep({"mas": [20, 30]})
    with pytest.raises(ValueError, match="must be greater than 0, not -1"):
        transition.sweep({"mass": [20, -1]})
    with pytest.raises(ValueError, match="whole number"):
        transition.sweep({"lift_rotors": numpy.array([2.5])})
    with pytest.raises(ValueError):
        transition.sweep({})
    with pytest.raises(ValueError):
        transition.sweep({"mass": []})


def test_wrong_types_are_type_errors():
    for grid, options in [
        (3, {}),
        ({"mass": 3}, {}),
        ({"mass": "20,30"}, {}),
        ({"mass": [20, "30"]}, {}),
        ({1: [20]}, {}),
        ([b"mass=20"], {}),
        (["mass=20"], {"jobs": "2"}),
        (["mass=20"], {"jobs": 2.0}),
        (["mass=20"], {"jobs": True}),
        (["mass=20"], {"shard": "1/2"}),
        (["mass=20"], {"shard": (1,)}),
        (["mass=20"], {"shard": (1.0, 2)}),
        (["mass=20"], {"vehicle": "mass = 20"}),
    ]:
        with pytest.raises(TypeError):
            transition.sweep(grid, **options)


def test_the_sweep_leaves_its_vehicle_and_grid_as_they_were():
    v = transition.Vehicle(wing_area=1.1)
    before = str(v)
    grid = {"mass": numpy.array([21.0, 29.0])}
    transition.sweep(grid, v, jobs=2)
    assert str(v) == before and grid["mass"].tolist() == [21.0, 29.0]


def test_a_sweep_longer_than_a_block_of_designs_keeps_each_designs_note():
    # Designs whose propeller pushes backwards leave the model's range at once: cheap, and
    # each has a note of its own, in more than one of the blocks the designs are run in.
    sweeps = ["propeller_thrust[0]=-1:-2:70001"]
    expected = program_csv(sweeps)
    arrays = transition.sweep(sweeps, jobs=2)
    header, rows = table(expected)
    assert arrays["note"].tolist() == [row[-1] for row in rows]
    assert set(arrays["stop"].tolist()) == {"invalid"} and len(set(arrays["note"].tolist())) > 1000
    same_as_table(transition.sweep(sweeps, jobs=1, shard=(2, 2)), program_csv(sweeps, "--shard", "2/2"))


def test_a_sweeps_arrays_stay_compact_with_invalid_designs_among_them():
    # Designs that leave the model's range at once (a propeller pushing backwards), each with
    # a note of its own, among designs that pass 25 m/s within a few dozen steps: the text
    # columns must not take the longest note's width for every design. Within 20 MB for
    # 10^5 designs, with room for two more float64 columns.
    n = 100000
    thrust = numpy.concatenate([numpy.linspace(-20, -1, n // 5), numpy.linspace(150, 400, n - n // 5)])
    arrays = transition.sweep({"propeller_thrust[0]": thrust}, transition.Vehicle(wing_area=0.3), jobs=2)
    assert (arrays["stop"] == "invalid").sum() == n // 5 and (arrays["stop"] == "speed").sum() == n - n // 5
    assert len(set(arrays["note"].tolist())) > n // 10
    texts = {id(x): sys.getsizeof(x) for a in arrays.values() if a.dtype == object for x in a}
    size = sum(a.nbytes for a in arrays.values()) + sum(texts.values()) + 2 * 8 * n
    assert size <= 20e6, size


def test_run_many_runs_each_row_as_run_does():
    import pandas

    # Rows of every kind of stop, in no grid's order.
    rows = {"propeller_thrust[0]": [120, 10, 39.85, 10, 120, 39.85], "mass": [20, 30, 25, 20, 30, 20],
            "wing_area": [0.3, 1.2, 1.2, 0.3, 1.2, 0.3]}
    header = table(program_csv(["mass=20"]))[0][1:]
    expected = []
    for i in range(6):
        v = base_vehicle()
        for key, values in rows.items():
            v.set(key, values[i])
        expected.append(transition.run(v))
    assert {r.stop for r in expected} == {"lift", "speed", "cap", "invalid"}
    for given in (rows, pandas.DataFrame(rows, index=[5, 3, 1, 0, 2, 4])):
        for jobs in (1, 2, 7):
            arrays = transition.run_many(given, base_vehicle(), jobs=jobs)
            assert list(arrays) == list(rows) + header
            assert all(len(a) == 6 for a in arrays.values()) and arrays["stop"].dtype == object
            for i, result in enumerate(expected):
                for name, value in result.as_dict().items():
                    got = arrays[name][i]
                    if value is None:
                        assert got == -1 if name == "steps" else (got == "" if name == "note" else got != got), name
                    else:
                        assert got == value and type(got.item() if hasattr(got, "item") else got) is type(value), name
            assert [arrays[key].tolist() for key in rows] == [[float(x) for x in v] for v in rows.values()]
    same_as_table(transition.run_many({"mass": [30, 20, 25.5]}, jobs=2), program_csv(["mass=30,20,25.5"]))


def test_run_many_refuses_before_any_work():
    refused = [
        (ValueError, {"mass": [20, 30, 25], "wing_area": [1, 2]}, "run_many: wing_area has 2 values, mass 3"),
        (ValueError, {}, "run_many: expected at least one column"),
        (ValueError, {"mass": [20, -1]}, "run_many column mass: mass: must be greater than 0, not -1"),
        (ValueError, {"mass": []}, "run_many column mass: expected at least one value"),
        (ValueError, {"mass": [20], "mass[0]": [1]}, "run_many column mass[0]: mass has no elements"),
        (KeyError, {"mas": [20]}, "run_many column mas: unknown key 'mas'; the nearest known key is 'mass'"),
    ]
    for kind, given, message in refused:
        with pytest.raises(kind) as error:
            transition.run_many(given)
        assert error.value.args[0] == message
    with pytest.raises(ValueError, match="^jobs=0: "):
        transition.run_many({"mass": [20]}, jobs=0)
    for wrong in (["mass=20,30"], "mass", {"mass": "20"}, {1: [20]}, {"mass": [20, None]}):
        with pytest.raises(TypeError):
            transition.run_many(wrong)
