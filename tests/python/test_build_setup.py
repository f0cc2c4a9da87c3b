"""The build's own checks: missing prerequisites are named, the pinned
bitmap-library archive is verified before anything is unpacked, and the
supported Python versions are the ones the test command finds and runs."""

import hashlib
import importlib.util
import io
import operator
import os
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CMAKE = shutil.which("cmake", path=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
needs_cmake = pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").exists(),
                                 reason="needs cmake and the source checkout")


def configure(tmp_path, *args, env=None):
    run = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(tmp_path / "build"), *args],
                         capture_output=True, text=True, env={**os.environ, **(env or {})}, timeout=300)
    return run.returncode, run.stdout + run.stderr


@needs_cmake
def test_missing_abseil_stops_the_configure_naming_the_debian_package(tmp_path):
    rc, out = configure(tmp_path, "-DCMAKE_DISABLE_FIND_PACKAGE_absl=ON", "-DCALDERWICK_BUILD_TESTS=OFF")
    assert rc != 0
    assert "apt-get install libabsl-dev" in " ".join(out.split()), out


@needs_cmake
def test_missing_compiler_stops_the_configure_naming_the_debian_package(tmp_path):
    rc, out = configure(tmp_path, env={"CC": str(tmp_path / "no-cc"), "CXX": str(tmp_path / "no-c++")})
    assert rc != 0
    assert "No C/C++ compiler found" in out and "apt-get install g++" in " ".join(out.split()), out


def load_fetcher():
    found = importlib.util.spec_from_file_location("fetch_croaring", ROOT / "cmake" / "fetch_croaring.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def fake_archive(path, fetcher, roaring_c=b"int x;\n"):
    prefix = f"pyroaring-{fetcher.PYROARING_VERSION}/"
    with tarfile.open(path, "w:gz") as tar:
        for name, data in (("pyroaring/roaring.c", roaring_c), ("pyroaring/roaring.h", b"/* h */\n"),
                           ("LICENSE", b"licence\n")):
            info = tarfile.TarInfo(prefix + name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return path


@pytest.mark.skipif(not (ROOT / "cmake" / "fetch_croaring.py").exists(), reason="needs the source checkout")
def test_an_archive_that_does_not_match_the_pinned_checksum_is_not_unpacked(tmp_path):
    fetcher = load_fetcher()
    archive = fake_archive(tmp_path / "pyroaring.tar.gz", fetcher)
    dest = tmp_path / "croaring"
    with pytest.raises(SystemExit, match="checksum mismatch"):
        fetcher.unpack(archive, dest)
    assert not dest.exists()
    assert not fetcher.is_complete(dest)


@pytest.mark.skipif(not (ROOT / "cmake" / "fetch_croaring.py").exists(), reason="needs the source checkout")
def test_a_matching_archive_is_unpacked_with_its_stamp(tmp_path, monkeypatch):
    fetcher = load_fetcher()
    archive = fake_archive(tmp_path / "pyroaring.tar.gz", fetcher, roaring_c=b"int y;\n")
    monkeypatch.setattr(fetcher, "PYROARING_SHA256", hashlib.sha256(archive.read_bytes()).hexdigest())
    dest = tmp_path / "croaring"
    fetcher.unpack(archive, dest)
    assert (dest / "roaring.c").read_bytes() == b"int y;\n"
    assert (dest / "roaring.h").read_bytes() == b"/* h */\n"
    assert (dest / "LICENSE").read_bytes() == b"licence\n"
    assert fetcher.is_complete(dest)
    (dest / "roaring.h").unlink()
    assert not fetcher.is_complete(dest)


def supported_versions_of_the_test_command():
    text = (ROOT / "scripts" / "dev.sh").read_text()
    found = re.search(r"^SUPPORTED_PYTHONS=\(([^)]*)\)", text, re.M)
    assert found, "scripts/dev.sh names no SUPPORTED_PYTHONS"
    return [tuple(int(p) for p in v.split(".")) for v in found.group(1).split()]


def allowed_by(specifier, version):
    ops = {">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt, "==": operator.eq,
           "!=": operator.ne}
    for clause in specifier.split(","):
        op, bound = re.fullmatch(r"\s*(>=|<=|==|!=|>|<)\s*(\d+(?:\.\d+)*)\s*", clause).groups()
        if not ops[op](version, tuple(int(p) for p in bound.split("."))):
            return False
    return True


@pytest.mark.skipif(not (ROOT / "scripts" / "dev.sh").exists(), reason="needs the source checkout")
def test_requires_python_classifiers_and_readme_name_the_versions_the_test_command_runs():
    tested = supported_versions_of_the_test_command()
    project = (ROOT / "pyproject.toml").read_text()
    specifier = re.search(r'^requires-python\s*=\s*"([^"]+)"', project, re.M).group(1)
    assert [(3, minor) for minor in range(0, 40) if allowed_by(specifier, (3, minor))] == tested, specifier
    classified = re.findall(r'"Programming Language :: Python :: 3\.(\d+)"', project)
    assert [(3, int(minor)) for minor in classified] == tested
    ranges = re.findall(r"\b3\.(\d+) to 3\.(\d+)\b", (ROOT / "README.md").read_text())
    assert ranges, "the README names no range of Python versions"
    assert {((3, int(lo)), (3, int(hi))) for lo, hi in ranges} == {(tested[0], tested[-1])}


def list_pythons(tmp_path, versions, pyenv_root):
    # Only the interpreter running this test is on the PATH (its venv's
    # pythonX.Y), besides what the fake pyenv root holds.
    env = {**os.environ, "CALDERWICK_PYTHONS": " ".join(versions), "PYENV_ROOT": str(pyenv_root),
           "PATH": os.pathsep.join([str(Path(sys.executable).parent), "/usr/local/bin", "/usr/bin", "/bin"])}
    run = subprocess.run(["bash", str(ROOT / "scripts" / "dev.sh"), "pythons"], capture_output=True, text=True,
                         env=env, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    return dict(line.split(": ", 1) for line in run.stdout.splitlines())


@pytest.mark.skipif(not (ROOT / "scripts" / "dev.sh").exists() or shutil.which("bash") is None,
                    reason="needs the source checkout and bash")
def test_the_test_command_skips_absent_interpreters_and_takes_pyenvs_newest(tmp_path):
    this = "%d.%d" % sys.version_info[:2]
    versions = tmp_path / "pyenv" / "versions"
    for name in (f"{this}.9", f"{this}.10", f"{this}.11t"):  # 11t: a free-threaded build, not ours
        (versions / name / "bin").mkdir(parents=True)
        (versions / name / "bin" / f"python{this}").symlink_to(sys.executable)
    broken = versions / "3.99.1" / "bin" / "python3.99"  # there, but does not run
    broken.parent.mkdir(parents=True)
    broken.write_text("#!/bin/sh\nexit 1\n")
    broken.chmod(0o755)

    found = list_pythons(tmp_path, ["3.99", this], tmp_path / "pyenv")
    assert found["3.99"] == "skipped, no interpreter found"
    assert found[this].split(" (")[0] == str(versions / f"{this}.10" / "bin" / f"python{this}")

    found = list_pythons(tmp_path, ["3.99", this], tmp_path / "no-pyenv")
    assert found["3.99"] == "skipped, no interpreter found"
    # Without pyenv, pythonX.Y on the PATH answers: here the one beside this interpreter.
    assert found[this].split(" (")[0] == str(Path(sys.executable).parent / f"python{this}")
