"""The release-archive check finds what a faulty sdist or wheel lacks or holds."""

from __future__ import annotations

import io
import sys
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import check_dist  # noqa: E402

LICENSE = b"MIT License\n\nCopyright (c) the sonavert developers\n"


def complete_sdist() -> Dict[str, bytes]:
    files = {pattern.rstrip("/") + ("/x" if pattern.endswith("/") else ""): b""
             for pattern in check_dist.SDIST_REQUIRED}
    files["LICENSE"] = LICENSE
    return files


def complete_wheel() -> Dict[str, bytes]:
    return {
        "sonavert/__init__.py": b"", "sonavert/py.typed": b"", "sonavert_native.pyi": b"",
        "sonavert_native-stubs/__init__.pyi": b"", "sonavert_native.abi3.so": b"\x7fELF",
        "sonavert-0.1.0.dist-info/licenses/LICENSE": LICENSE,
    }


def write_sdist(path: Path, files: Dict[str, bytes]) -> Path:
    with tarfile.open(path, "w:gz") as archive:
        for name, data in files.items():
            info = tarfile.TarInfo(f"sonavert-0.1.0/{name}")
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return path


def write_wheel(path: Path, files: Dict[str, bytes]) -> Path:
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    return path


# (what is wrong, change to the sdist's files, change to the wheel's, faults expected)
CASES = [
    ("nothing", {}, {}, []),
    ("sdist without LICENSE", {"LICENSE": None}, {}, ["s.tar.gz: lacks LICENSE"]),
    ("sdist LICENSE edited", {"LICENSE": b"GPL"}, {}, ["s.tar.gz: LICENSE differs from the tree's"]),
    ("sdist with CI files", {".ci/run": b""}, {}, ["s.tar.gz: should not hold .ci/run"]),
    ("sdist with a fuzzer finding", {"fuzz/corpus/fuzz_header/crash-1f2e": b"x"}, {},
     ["s.tar.gz: should not hold fuzz/corpus/fuzz_header/crash-1f2e"]),
    ("sdist with scripts, their tests and docs",
     {"scripts/test.sh": b"", "tests/scripts/test_check_dist.py": b"", "docs/x.md": b""}, {},
     ["s.tar.gz: should not hold scripts/test.sh",
      "s.tar.gz: should not hold tests/scripts/test_check_dist.py",
      "s.tar.gz: should not hold docs/x.md"]),
    ("sdist with an empty source folder", {"src/shorten/x": None}, {}, ["s.tar.gz: lacks src/shorten/"]),
    ("sdist without the C++ tests", {"tests/cpp/x": None}, {}, ["s.tar.gz: lacks tests/cpp/"]),
    ("wheel without LICENSE", {}, {"sonavert-0.1.0.dist-info/licenses/LICENSE": None},
     ["w.whl: lacks sonavert-*.dist-info/licenses/LICENSE"]),
    ("wheel LICENSE edited", {}, {"sonavert-0.1.0.dist-info/licenses/LICENSE": b"x"},
     ["w.whl: sonavert-0.1.0.dist-info/licenses/LICENSE differs from the tree's LICENSE"]),
    ("wheel without typing marker", {}, {"sonavert/py.typed": None}, ["w.whl: lacks sonavert/py.typed"]),
    ("wheel without stub package", {}, {"sonavert_native-stubs/__init__.pyi": None},
     ["w.whl: lacks sonavert_native-stubs/__init__.pyi"]),
    ("wheel with a non-stable-ABI module", {},
     {"sonavert_native.abi3.so": None, "sonavert_native.cpython-311-x86_64-linux-gnu.so": b""},
     ["w.whl: lacks *.abi3.so"]),
    ("two extension modules", {}, {"sonavert/_core.abi3.so": b""}, []),
]


@pytest.mark.parametrize("what, sdist_change, wheel_change, expected", CASES,
                         ids=[c[0] for c in CASES])
def test_check_finds_each_fault(tmp_path: Path, what: str, sdist_change: Dict[str, object],
                                wheel_change: Dict[str, object], expected: List[str]) -> None:
    sdist_files, wheel_files = complete_sdist(), complete_wheel()
    for files, change in ((sdist_files, sdist_change), (wheel_files, wheel_change)):
        for name, data in change.items():
            if data is None:
                files.pop(name)
            else:
                assert isinstance(data, bytes)
                files[name] = data
    sdist = write_sdist(tmp_path / "s.tar.gz", sdist_files)
    wheel = write_wheel(tmp_path / "w.whl", wheel_files)
    assert check_dist.check(sdist, wheel, LICENSE) == expected


def test_the_tree_has_its_license() -> None:
    text = (Path(check_dist.REPO) / "LICENSE").read_text()
    assert text.startswith("MIT License") and "the sonavert developers" in text
