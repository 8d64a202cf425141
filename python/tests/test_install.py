"""cmake --install: the package goes where a Python with that prefix imports it from."""

import os
import subprocess
import sys

import transition

BUILD = os.environ["TRANSITION_BUILD"]
CMAKE = os.environ["CMAKE_COMMAND"]
sys.path.insert(0, os.path.join(os.environ["TRANSITION_SOURCE"], "python", "packaging"))
from site_dir import site_dir  # noqa: E402

IMPORT = "import transition; print(transition.__file__); print(transition.run().event_t)"


def install(prefix, env):
    subprocess.run([CMAKE, "--install", BUILD, "--prefix", str(prefix)], check=True, env=env,
                   stdout=subprocess.DEVNULL, timeout=300)


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


def test_into_the_users_own_site(tmp_path):
    user = tmp_path / "user"
    env = clean_environment(PYTHONUSERBASE=str(user))
    install(user, env)
    where, event_t = imported(sys.executable, env)
    assert where.startswith(str(user)) and event_t == transition.run().event_t
    # Not found without that user base: it was put nowhere else.
    done = subprocess.run([sys.executable, "-c", "import transition"], env=clean_environment(PYTHONUSERBASE=str(tmp_path / "other")),
                          cwd="/", capture_output=True)
    assert done.returncode != 0


def test_system_prefixes_are_where_this_python_imports_from(tmp_path):
    for prefix in ("/usr/local", "/usr"):
        chosen = site_dir(prefix)
        assert chosen.startswith(prefix + "/lib/")
        if any(os.path.realpath(p) == chosen for p in sys.path):
            continue
        # A Python that imports nothing from that prefix: where its virtual environment would.
        assert chosen == os.path.join(prefix, "lib", f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages")
    assert site_dir(str(tmp_path)) == str(tmp_path / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages")
