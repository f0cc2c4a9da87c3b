"""Unpack the pinned single-file CRoaring distribution into third_party/croaring.

The bitmap library is compiled into the module from the amalgamated
roaring.c / roaring.h that ship inside the source distribution of the
`pyroaring` package. This script downloads that archive with pip, checks it
against the pinned SHA-256 and copies the two files and the licence into the
destination, with a stamp file naming the pinned version. When the stamp is
already there it does nothing, so a source distribution that carries the
unpacked files (the sdist backend puts them in) builds without a network.

It is run by CMake at configure time (cmake/CRoaring.cmake) and by the build
backend before it packs an sdist (tools/build_backend.py). Standard library
only; pip runs as a subprocess of the same interpreter.

pip prepares the metadata of every sdist it downloads, which for this archive
means running its setup.py. The download therefore runs without a nested
build isolation whenever setuptools can be imported here (it is one of the
project's build requirements, so it can inside an isolated build), and falls
back to pip's own isolation otherwise (a plain interpreter outside any build).
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

PYROARING_VERSION = "1.1.0"  # carries CRoaring 4.6.1
PYROARING_SHA256 = "f02e4021397ae02a139defdc6813b9942ab163de90affddd4ce4efbac299f619"
FILES = ("pyroaring/roaring.c", "pyroaring/roaring.h", "LICENSE")
DEFAULT_DEST = Path(__file__).resolve().parent.parent / "third_party" / "croaring"


def stamp_path(dest: Path) -> Path:
    return dest / f".pyroaring-{PYROARING_VERSION}"


def is_complete(dest: Path) -> bool:
    return stamp_path(dest).is_file() and all((dest / Path(f).name).is_file() for f in FILES)


def download(workdir: Path) -> Path:
    # Hash-checking mode: pip verifies the archive before it runs anything
    # from it (the metadata preparation runs the archive's setup.py).
    requirements = workdir / "requirements.txt"
    requirements.write_text(f"pyroaring=={PYROARING_VERSION} --hash=sha256:{PYROARING_SHA256}\n")
    cmd = [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--no-binary", ":all:",
           "-r", str(requirements), "-d", str(workdir)]
    if importlib.util.find_spec("setuptools") is not None:
        cmd.insert(cmd.index("--no-deps"), "--no-build-isolation")
    # Inside a build, the enclosing frontend's hook variables are set (the
    # backend name and backend-path of *this* project); the nested pip's hook
    # runner would inherit any it does not set itself and look for pyroaring's
    # backend in our tools/ directory. Drop them, and the outer pip's tracker.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("_PYPROJECT_HOOKS_", "PEP517_")) and k not in ("PIP_REQ_TRACKER", "PIP_BUILD_TRACKER")}
    run = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    archive = workdir / f"pyroaring-{PYROARING_VERSION}.tar.gz"
    if run.returncode != 0 or not archive.is_file():
        sys.stderr.write(run.stdout)
        raise SystemExit(
            f"Could not download the pyroaring {PYROARING_VERSION} source distribution with pip "
            f"(command: {' '.join(cmd)}). It needs the package index, and pip, setuptools and wheel in "
            "this interpreter. Offline, build from a Calderwick sdist (it carries the files), or "
            "build against an installed CRoaring >= 4 with -DCALDERWICK_SYSTEM_CROARING=ON.")
    return archive


def unpack(archive: Path, dest: Path) -> None:
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    if digest != PYROARING_SHA256:
        raise SystemExit(f"pyroaring archive checksum mismatch: {digest}, expected {PYROARING_SHA256}")
    dest.mkdir(parents=True, exist_ok=True)
    prefix = f"pyroaring-{PYROARING_VERSION}/"
    with tarfile.open(archive) as tar:
        for name in FILES:
            member = tar.getmember(prefix + name)
            source = tar.extractfile(member)
            if source is None:
                raise SystemExit(f"{prefix + name} is not a file in {archive.name}")
            with source, open(dest / Path(name).name, "wb") as out:
                shutil.copyfileobj(source, out)
    stamp_path(dest).write_text(f"pyroaring {PYROARING_VERSION} sha256 {PYROARING_SHA256}\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dest", type=Path, default=DEFAULT_DEST, help="where to unpack (default: %(default)s)")
    args = parser.parse_args()
    dest = args.dest.resolve()
    if is_complete(dest):
        return
    print(f"-- Fetching the CRoaring single-file distribution (pyroaring {PYROARING_VERSION} sdist)", flush=True)
    with tempfile.TemporaryDirectory(prefix="calderwick-pyroaring-") as tmp:
        unpack(download(Path(tmp)), dest)


if __name__ == "__main__":
    main()
