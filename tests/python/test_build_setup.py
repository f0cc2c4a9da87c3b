"""The build's own checks: the pinned bitmap-library archive is verified
before anything is unpacked."""

import hashlib
import importlib.util
import io
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def load_fetcher():
    spec = importlib.util.spec_from_file_location("fetch_croaring", ROOT / "cmake" / "fetch_croaring.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
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
