"""Every command that README.md and docs/*.md show, run as written, and every link between
them followed.

    python3 tests/doc_commands_test.py SOURCE BUILD PYTHON

A page's code blocks, indented or fenced, are taken in order. A shell block (indented, or
fenced as sh) runs with bash, stopping at its first failing command (-e, -o pipefail); a
python block runs with PYTHON, the build's package on its path (PYTHONPATH=build/python)
and matplotlib drawing off screen (MPLBACKEND=Agg). A text block that is the next block
after one of them is its standard output as the page shows it, and must be that output, a line "..."
standing for any number of lines. A block that cannot run in a test, and a text block that
is no command's output, is listed in NOT_RUN with the reason: a block neither run nor
listed fails the test, and so does a listing that matches no block.

Each page runs in a scratch copy of the source tree (without .git and build folders) in
which ./build is BUILD, as a reader runs the commands from the source folder; HOME is a
scratch folder of its own and python3 on the PATH is PYTHON. A page's blocks run one after
another in the same folder, so that a block may use what an earlier one made. Exit status
0 when every block ran as shown and every link leads somewhere.
"""

import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# (page, the block's first line, why it is not run); a first line ending in "..." is
# matched by what comes before.
NOT_RUN = [
    ("README.md", "apt-get update && apt-get install -y ...", "installs packages, as root"),
    ("README.md", "cmake -S . -B build && cmake --build build -j2 --target transition && ./build/transition > trace.txt",
     "builds the source tree: the suite runs in the build that the test command makes"),
    ("README.md", "cmake -S . -B build && cmake --build build -j2 && ctest --test-dir build --output-on-failure",
     "the test command, which runs this test"),
    ("README.md", "TraceTools.FullDiskLeavesOutAsItWas_SkippedWhereUserNamespacesAreForbidden ...***Skipped",
     "what ctest prints, not a command"),
    ("docs/optimisation.md", "./build/transition-study [VEHICLE] [--set ...] --minimize COLUMN ...",
     "a synopsis, not a command"),
    ("docs/optimisation.md", "cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTRANSITION_BENCH=ON",
     "a Release build of its own, and a benchmark of twenty seconds"),
    ("docs/optimisation.md", "cmake --build build-bench --target derivatives_bench && ...", "a benchmark"),
    ("docs/derivatives.md", "cmake --build build-bench --target derivatives_bench && ...", "a benchmark"),
    ("docs/optimisation.md", "/usr/bin/python3 bench/schedule_bench.py build", "a benchmark of half a minute"),
    ("docs/platforms.md", "apt-get install -y --no-install-recommends g++-aarch64-linux-gnu qemu-user",
     "installs a cross compiler and qemu, as root, and makes a cross build"),
    ("docs/platforms.md", "cmake -S . -B build-arm64 -DBUILD_TESTING=ON && ...", "a cross build and its suite"),
    ("docs/platforms.md", "apt-get install -y --no-install-recommends g++-mingw-w64-x86-64 wine64",
     "installs MinGW-w64 and wine, as root, and makes a Windows build"),
    ("docs/platforms.md", "wine: created the configuration directory '/root/.wine'", "what wine prints, not a command"),
    ("docs/platforms.md", "cmake -S . -B build-windows -DBUILD_TESTING=ON && ...", "a Windows build and its suite"),
    ("docs/platforms.md", 'cmake -S . -B build -G "MinGW Makefiles" -DBUILD_TESTING=OFF', "for Windows itself"),
    ("docs/python.md", "apt-get install -y pybind11-dev ...", "installs packages, as root"),
    ("docs/python.md", "cmake --install build", "installs into /usr/local"),
    ("docs/python.md", "/usr/bin/python3 bench/python_sweep_bench.py build", "a benchmark of a minute"),
    ("docs/python.md", "~/venvs/transition/bin/python examples/dask_sweep.py --scheduler tcp://scheduler:8786 ...",
     "needs a Dask cluster's scheduler"),
    ("docs/sweeps.md", "parallel ./build/transition-study ...", "needs GNU parallel, which the set-up does not install"),
    ("docs/sweeps.md", "#!/bin/sh", "a Slurm job array's script, for sbatch"),
    ("docs/sweeps.md", "job=$(sbatch --parsable sweep.sh)", "needs Slurm"),
    ("docs/sweeps.md", "cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTRANSITION_BENCH=ON",
     "a Release build of its own, and a benchmark"),
    ("docs/sweeps.md", "/usr/bin/time -v ./build/transition-study --sweep mass=20:30:1000000 --jobs 2 > /dev/null",
     "a sweep of 10^6 designs, half a minute"),
    ("docs/trace.md", "qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/transition-study ...",
     "needs the ARM64 cross build"),
]

SHELL = {"", "sh", "shell", "bash"}
BLOCK_TIMEOUT = 600


class Block:
    def __init__(self, page, line, kind, text):
        self.page, self.line, self.kind, self.text = page, line, kind, text
        self.output = None  # the text block that shows its output, if any

    def first_line(self):
        return self.text.split("\n", 1)[0]

    def where(self):
        return f"{self.page}:{self.line}"


def blocks_of(page, text):
    """The code blocks of a Markdown page, in order: fenced ones with their info string as
    kind, indented ones (after a blank line, outside a list) as kind ""."""
    lines = text.split("\n")
    blocks = []
    i = 0
    last_text = ""  # the last non-blank line outside a block
    while i < len(lines):
        line = lines[i]
        fence = re.match(r"^( {0,3})(`{3,}|~{3,})\s*([^`\s]*)", line)
        if fence:
            indent, mark, info = len(fence.group(1)), fence.group(2), fence.group(3)
            body = []
            i += 1
            start = i
            while i < len(lines) and not re.match(r"^ {0,3}" + re.escape(mark[0]) + "{" + str(len(mark)) + r",}\s*$",
                                                   lines[i]):
                body.append(lines[i][indent:] if lines[i][:indent].strip() == "" else lines[i].lstrip())
                i += 1
            blocks.append(Block(page, start + 1, info.lower(), "\n".join(body)))
            i += 1
            last_text = ""
            continue
        in_list = re.match(r"^(\s+|[-*+]\s|\d+[.)]\s)", last_text)
        previous_blank = i == 0 or lines[i - 1].strip() == ""
        if re.match(r"^( {4}|\t)", line) and line.strip() and previous_blank and not in_list:
            start = i
            body = []
            while i < len(lines) and (re.match(r"^( {4}|\t)", lines[i]) or lines[i].strip() == ""):
                body.append(re.sub(r"^( {4}|\t)", "", lines[i]))
                i += 1
            while body and body[-1].strip() == "":
                body.pop()
            blocks.append(Block(page, start + 1, "", "\n".join(body)))
            continue
        if line.strip():
            last_text = line
        i += 1
    return blocks


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def broken_links(source, page, text):
    """The page's links to files of the tree, or to headings of them, that lead nowhere."""
    broken = []
    outside_code = re.sub(r"```.*?```", "", text, flags=re.S)
    for target in re.findall(r"\]\(([^)\s]+)\)", outside_code):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(source, os.path.dirname(page), path)) if path else \
            os.path.join(source, page)
        if not os.path.exists(linked):
            broken.append(f"{page}: a link to {target}, which is not there")
        elif anchor:
            with open(linked, encoding="utf-8") as f:
                headings = [slug(h) for h in re.findall(r"^#+ (.*)$", f.read(), flags=re.M)]
            if anchor not in headings:
                broken.append(f"{page}: a link to {target}, a heading that is not there")
    return broken


def listed(block):
    for page, first, reason in NOT_RUN:
        if page == block.page and (block.first_line() == first or
                                   first.endswith("...") and block.first_line().startswith(first[:-3])):
            return (page, first, reason)
    return None


def shown(expected, actual):
    """Whether `actual` is the output `expected` shows, "..." lines standing for any lines."""
    pattern = "".join(r"(?:[^\n]*\n)*?" if line == "..." else re.escape(line) + r"\n"
                      for line in expected.split("\n"))
    return re.fullmatch(pattern, actual) is not None


def scratch_tree(source, build, folder):
    """A copy of the source tree in `folder`, whose build is a link to `build`: without .git,
    build folders (any holding a CMakeCache.txt) and what lies at the top beside the sources
    under a name beginning with "build" (CI's build-ci holds many builds)."""
    def ignored(directory, names):
        top = os.path.samefile(directory, source)
        return [n for n in names if n in (".git", "__pycache__") or (top and n.startswith("build")) or
                os.path.isfile(os.path.join(directory, n, "CMakeCache.txt"))]
    tree = os.path.join(folder, "tree")
    shutil.copytree(source, tree, ignore=ignored, symlinks=True)
    os.symlink(os.path.abspath(build), os.path.join(tree, "build"))
    return tree


def run_page(source, build, python, page, blocks, scratch):
    """Runs the page's blocks that are to run; returns its failures and its time."""
    folder = os.path.join(scratch, page.replace("/", "_"))
    os.makedirs(folder)
    tree = scratch_tree(source, build, folder)
    home = os.path.join(folder, "home")
    bin_dir = os.path.join(folder, "bin")
    os.makedirs(home)
    os.makedirs(bin_dir)
    os.symlink(python, os.path.join(bin_dir, "python3"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONUSERBASE")}
    env.update(HOME=home, PATH=bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin"), MPLBACKEND="Agg",
               PYTHONDONTWRITEBYTECODE="1")
    failures = []
    start = time.monotonic()
    for n, block in enumerate(blocks):
        script = os.path.join(folder, f"block{n}")
        with open(script, "w", encoding="utf-8") as f:
            f.write(block.text + "\n")
        if block.kind == "python":
            command = [python, script]
            block_env = dict(env, PYTHONPATH=os.path.join(tree, "build", "python"))
        else:
            command = ["bash", "-e", "-o", "pipefail", script]
            block_env = env
        began = time.monotonic()
        try:
            done = subprocess.run(command, cwd=tree, env=block_env, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            failures.append(f"{block.where()}: did not end within {BLOCK_TIMEOUT} s:\n{block.text}")
            continue
        took = time.monotonic() - began
        if done.returncode != 0:
            failures.append(f"{block.where()}: exit status {done.returncode}:\n{block.text}\n"
                            f"standard error:\n{done.stderr[-3000:]}")
        elif block.output is not None and not shown(block.output.text, done.stdout):
            diff = "\n".join(difflib.unified_diff(block.output.text.split("\n"), done.stdout.rstrip("\n").split("\n"),
                                                  f"{block.output.where()} shows", "the block printed", lineterm=""))
            failures.append(f"{block.where()}: not the output that the page shows:\n{block.text}\n{diff}")
        print(f"  {block.where()} {block.kind or 'sh'}, {took:.2f} s{', output as shown' if block.output else ''}")
    return failures, time.monotonic() - start


def main(source, build, python):
    pages = ["README.md"] + sorted("docs/" + name for name in os.listdir(os.path.join(source, "docs"))
                                   if name.endswith(".md"))
    problems = []
    to_run = {}
    matched = set()
    for page in pages:
        with open(os.path.join(source, page), encoding="utf-8") as f:
            text = f.read()
        problems += broken_links(source, page, text)
        runs = []
        previous = None
        for block in blocks_of(page, text):
            entry = listed(block)
            if entry:
                matched.add(entry)
                previous = None
            elif block.kind in SHELL or block.kind == "python":
                runs.append(block)
                previous = block
            elif block.kind == "text" and previous is not None and previous.output is None:
                previous.output = block
                previous = None
            else:
                problems.append(f"{block.where()}: a {block.kind or 'sh'} block neither run nor listed in NOT_RUN "
                                f"(tests/doc_commands_test.py), beginning {block.first_line()!r}")
        to_run[page] = runs
    for entry in NOT_RUN:
        if entry not in matched:
            problems.append(f"NOT_RUN lists a block that {entry[0]} no longer has: {entry[1]!r}")

    total = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="doc_commands.") as scratch:
        for page in pages:
            failures, took = run_page(source, build, python, page, to_run[page], scratch)
            print(f"{page}: {len(to_run[page])} blocks run in {took:.1f} s")
            problems += failures
    print(f"{sum(len(r) for r in to_run.values())} blocks run, {len(matched)} listed as not run, "
          f"in {time.monotonic() - total:.1f} s")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: doc_commands_test.py SOURCE BUILD PYTHON")
    sys.exit(main(*sys.argv[1:]))
