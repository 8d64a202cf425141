"""Writes the installed package's metadata beside it, SITE/transition-VERSION.dist-info with
METADATA, INSTALLER and RECORD (every file of the package and of the metadata, with its
SHA-256 and size), so that importlib.metadata and pip see the package and its version.
Metadata of other versions in SITE goes. Prints each file written, one a line.

    dist_info.py SITE VERSION
"""

import ast
import base64
import csv
import hashlib
import io
import os
import shutil
import sys

NAME = "transition"


def summary(package):
    """The first line of the package's docstring."""
    with open(os.path.join(package, "__init__.py"), encoding="utf-8") as f:
        return ast.get_docstring(ast.parse(f.read())).splitlines()[0]


def record_row(site, path):
    with open(path, "rb") as f:
        data = f.read()
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [os.path.relpath(path, site), f"sha256={digest}", str(len(data))]


def write_dist_info(site, version):
    package = os.path.join(site, NAME)
    info = os.path.join(site, f"{NAME}-{version}.dist-info")
    for entry in os.listdir(site):
        if entry.startswith(NAME + "-") and entry.endswith(".dist-info"):
            shutil.rmtree(os.path.join(site, entry))
    os.mkdir(info)
    written = {
        "METADATA": f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\nSummary: {summary(package)}\n"
                    "Requires-Python: >=3.7\nRequires-Dist: numpy\n",
        "INSTALLER": "cmake\n",
    }
    for name, text in written.items():
        with open(os.path.join(info, name), "w", encoding="utf-8") as f:
            f.write(text)
    files = sorted(os.path.join(d, name) for d, subdirs, names in os.walk(package) for name in names
                   if "__pycache__" not in os.path.relpath(d, package).split(os.sep))
    rows = [record_row(site, path) for path in files + [os.path.join(info, name) for name in written]]
    rows.append([os.path.relpath(os.path.join(info, "RECORD"), site), "", ""])
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    with open(os.path.join(info, "RECORD"), "w", encoding="utf-8", newline="") as f:
        f.write(text.getvalue())
    return [os.path.join(info, name) for name in [*written, "RECORD"]]


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: dist_info.py SITE VERSION")
    for path in write_dist_info(sys.argv[1], sys.argv[2]):
        print(path)
