"""Writes the package's type stubs from TEMPLATE to OUT, taking from the built module what
it defines: the keys of Vehicle with their types and meanings, the columns of Result, and
every docstring, so that the stubs say what the module does.

    make_stub.py TEMPLATE OUT   (with the built package importable)
"""

import inspect
import sys

import transition


def doc(thing, indent):
    """A docstring without pybind11's signature line, its lines after the first indented by
    `indent` spaces, fit for a triple-quoted string there."""
    lines = (inspect.getdoc(thing) or "").splitlines()
    while lines and (lines[0].startswith(thing.__name__ + "(") or not lines[0].strip()):
        lines.pop(0)
    body = "\n".join(" " * indent + line if line.strip() else "" for line in lines[1:])
    return (lines[0] + ("\n" + body if body else "")).replace('"""', "'''")


def properties(cls):
    return [(name, value) for name, value in vars(cls).items() if isinstance(value, property)]


def stub(template):
    built_in = transition.Vehicle()
    keys, keywords = [], []
    for name, prop in properties(transition.Vehicle):
        value = getattr(built_in, name)
        read, given = {
            float: ("float", "float"),
            int: ("int", "int"),
            tuple: ("Tuple[float, ...]", "Sequence[float]"),
            type(None): ("Optional[Tuple[float, ...]]", "Sequence[float]"),
        }[type(value)]
        if name == "angle_of_attack":
            read = "Optional[Tuple[float, ...]]"
        keys.append(
            f"    @property\n    def {name}(self) -> {read}:\n        \"\"\"{prop.__doc__}\"\"\"\n"
            f"    @{name}.setter\n    def {name}(self, value: {given}) -> None: ...\n"
        )
        keywords.append(f"{name}: {given} = ..." if value is not None else f"{name}: Optional[{given}] = ...")

    # The stop is always a name; every other column's type is that of the built-in
    # aircraft's run, or None where the row's field is empty.
    result = transition.run()
    columns = []
    for name, prop in properties(transition.Result):
        if name == "note":
            continue
        kind = type(getattr(result, name)).__name__
        kind = kind if name == "stop" else f"Optional[{kind}]"
        columns.append(f"    @property\n    def {name}(self) -> {kind}:\n        \"\"\"{prop.__doc__}\"\"\"\n")

    fill = {
        "VEHICLE_DOC": doc(transition.Vehicle, 4),
        "VEHICLE_KEYWORDS": ", ".join(keywords),
        "VEHICLE_KEYS": "".join(keys),
        "READ_DOC": doc(transition.Vehicle.read, 8),
        "SET_DOC": doc(transition.Vehicle.set, 8),
        "APPLY_DOC": doc(transition.Vehicle.apply, 8),
        "VEHICLE_AS_DICT_DOC": doc(transition.Vehicle.as_dict, 8),
        "RESULT_DOC": doc(transition.Result, 4),
        "RESULT_COLUMNS": "".join(columns),
        "AS_DICT_DOC": doc(transition.Result.as_dict, 8),
        "RUN_DOC": doc(transition.run, 4),
        "TRACE_DOC": doc(transition.trace, 4),
        "SWEEP_DOC": doc(transition.sweep, 4),
        "SWEEP_CSV_DOC": doc(transition.sweep_csv, 4),
        "RUN_MANY_DOC": doc(transition.run_many, 4),
        "MINIMIZE_DOC": doc(transition.minimize, 4),
        "DERIVATIVES_DOC": doc(transition.derivatives, 4),
        "OPTIMUM_DOC": doc(transition.Optimum, 4),
        "NO_DESIGN_DOC": doc(transition.NoDesignMeetsRequirements, 4),
    }
    for name, text in fill.items():
        template = template.replace(f"@{name}@", text)
    return template


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: make_stub.py TEMPLATE OUT")
    with open(sys.argv[1], encoding="utf-8") as f:
        text = stub(f.read())
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(text)
