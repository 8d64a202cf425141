"""cmake --install: the package goes where a Python with that prefix imports it from."""

import base64
import csv
import hashlib
import os
import re
import subprocess
import sys

import transition

BUILD = os.environ["TRANSITION_BUILD"]
CMAKE = os.environ["CMAKE_COMMAND"]
sys.path.insert(0, os.path.join(os.environ["TRANSITION_SOURCE"], "python", "packaging"))
from site_dir import site_dir  # noqa: E402

IMPORT = "import transition; print(transition.__file__); print(transition.run().event_t)"


def install(prefix, env):
    """Installs into `prefix`, and checks that every file installed lies under it."""
    done = subprocess.run([CMAKE, "--install", BUILD, "--prefix", str(prefix)], check=True, env=env,
                          stdout=subprocess.PIPE, text=True, timeout=300)
    written = re.findall(r"^-- (?:Installing|Up-to-date): (.*)$", done.stdout, re.M)
    assert any(path.endswith("dist-info/RECORD") for path in written), done.stdout
    assert all(path.startswith(str(prefix) + os.sep) for path in written), done.stdout


def imported(python, env):
    """Where `python` imports transition from, and the built-in aircraft's located time."""
    done = subprocess.run([python, "-c", IMPORT], capture_output=True, text=True, env=env, cwd="/", timeout=60)
    assert done.returncode == 0, done.stderr
    where, event_t = done.stdout.split()
    return where, float(event_t)


def clean_environment(**more):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONUSERBASE", "PYTHONNOUSERSITE")}
    env.update(more)
    return env


def installed_files(site):
    package = os.path.join(site, "transition")
    return sorted(f if not f.startswith("_transition.") else "_transition.so" for f in os.listdir(package))


def test_into_a_virtual_environment(tmp_path):
    venv = tmp_path / "venv"
    env = clean_environment()
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True,
                   env=env, timeout=120)
    install(venv, env)
    where, event_t = imported(str(venv / "bin" / "python3"), env)
    assert where.startswith(str(venv / "lib")) and where.endswith(os.path.join("site-packages", "transition", "__init__.py"))
    assert event_t == transition.run().event_t
    assert installed_files(os.path.dirname(os.path.dirname(where))) == \
        ["__init__.py", "__init__.pyi", "_transition.so", "py.typed"]
    assert os.access(venv / "bin" / "transition-study", os.X_OK)


def project_version():
    """The version that the build's project() states."""
    with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def test_the_installed_package_has_its_metadata(tmp_path):
    # What importlib.metadata (and pip) read: METADATA, INSTALLER, and a RECORD of every
    # installed file with its hash and size, beside the package.
    assert re.fullmatch(r"\d+\.\d+\.\d+", transition.__version__) and transition.__version__ == project_version()
    user = tmp_path / "user"
    env = clean_environment(PYTHONUSERBASE=str(user))
    install(user, env)
    install(user, env)  # again: the same files, no second record
    shown = subprocess.run([sys.executable, "-c", "import importlib.metadata as m, transition; "
                            "d = m.distribution('transition'); print(d.version, transition.__version__, len(d.files))"],
                           env=env, cwd="/", capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0, shown.stderr
    version, imported_version, files = shown.stdout.split()
    assert version == imported_version == transition.__version__
    site = os.path.dirname(os.path.dirname(imported(sys.executable, env)[0]))
    info = os.path.join(site, f"transition-{version}.dist-info")
    assert sorted(os.listdir(site)) == ["transition", f"transition-{version}.dist-info"]
    with open(os.path.join(info, "METADATA"), encoding="utf-8") as f:
        metadata = f.read().splitlines()
    assert "Name: transition" in metadata and f"Version: {version}" in metadata
    with open(os.path.join(info, "RECORD"), newline="", encoding="utf-8") as f:
        record = list(csv.reader(f))
    assert len(record) == int(files) and len({row[0] for row in record}) == len(record)
    installed = sorted(os.path.relpath(os.path.join(d, name), site)
                       for d, _, names in os.walk(site) for name in names)
    assert sorted(row[0] for row in record) == installed
    for path, digest, size in record:
        if path.endswith("dist-info/RECORD"):
            assert digest == size == ""
            continue
        with open(os.path.join(site, path), "rb") as f:
            data = f.read()
        assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode(), path
        assert int(size) == len(data)


def test_into_the_users_own_site(tmp_path):
    user = tmp_path / "user"
    env = clean_environment(PYTHONUSERBASE=str(user))
    install(user, env)
    where, event_t = imported(sys.executable, env)
    # Imported from there, whatever else this machine has installed (a copy in /usr/local
    # too, say); install() has checked that nothing went anywhere else.
    assert where.startswith(str(user) + os.sep) and event_t == transition.run().event_t


def test_system_prefixes_are_where_this_python_imports_from(tmp_path):
    for prefix in ("/usr/local", "/usr"):
        chosen = site_dir(prefix)
        assert chosen.startswith(prefix + "/lib/")
        if any(os.path.realpath(p) == chosen for p in sys.path):
            continue
        # A Python that imports nothing from that prefix: where its virtual environment would.
        assert chosen == os.path.join(prefix, "lib", f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages")
    assert site_dir(str(tmp_path)) == str(tmp_path / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages")
