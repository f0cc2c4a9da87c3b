"""The build's own checks: missing prerequisites are named, and the pinned
bitmap-library archive is verified before anything is unpacked."""

import hashlib
import importlib.util
import io
import os
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
