"""Prints the directory into which `cmake --install --prefix PREFIX` puts the package, so
that the Python running this script imports it from there with no PYTHONPATH:

- PREFIX is the user's base (~/.local, or PYTHONUSERBASE): the user's site-packages;
- this Python already imports from a site directory under PREFIX/lib (on Debian, /usr/local
  and /usr: .../dist-packages): that directory;
- any other PREFIX, such as a virtual environment made from this Python: the site-packages
  that a virtual environment at PREFIX imports from, PREFIX/lib/pythonX.Y/site-packages.
"""

import os
import site
import sys
import sysconfig


def site_dir(prefix):
    prefix = os.path.realpath(prefix)
    if prefix == os.path.realpath(site.getuserbase()):
        return site.getusersitepackages()
    lib = os.path.join(prefix, "lib") + os.sep
    for entry in sys.path:
        real = os.path.realpath(entry) if entry else ""
        if real.startswith(lib) and os.path.basename(real) in ("site-packages", "dist-packages"):
            return real
    scheme = "venv" if "venv" in sysconfig.get_scheme_names() else "posix_prefix"
    return sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: site_dir.py PREFIX")
    print(site_dir(sys.argv[1]))
