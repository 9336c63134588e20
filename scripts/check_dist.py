"""Checks what the release archives hold.

The sdist must hold what a source build and its tests need (the build files,
the sources, the tests and their tools, regression inputs) and nothing of CI,
developer scripts, documents or fuzzing output; the wheel must hold the
package with its typing markers, the stubs and at least one stable-ABI
extension. Both carry the LICENSE of the tree, byte for byte.

Usage: python scripts/check_dist.py SDIST WHEEL
"""

from __future__ import annotations

import argparse
import fnmatch
import sys
import tarfile
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

# Paths relative to the sdist's top folder. A pattern ending in "/" names a
# folder that must hold at least one file.
SDIST_REQUIRED = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
    "src/common/", "src/sphere/", "src/codecs/", "src/shorten/", "src/pipeline/", "src/module/",
    "python/sonavert/__init__.py", "python/sonavert/py.typed", "python/sonavert_native.pyi",
    "tests/cpp/", "tests/python/conftest.py", "tools/lib/", "fuzz/CMakeLists.txt", "fuzz/corpus/",
    "examples/sample.sph", "tests/typing/user_script.py",
]
SDIST_FORBIDDEN = [
    ".ci/*", "scripts/*", "tests/scripts/*", "docs/*", "build/*", "dist/*", "out/*", ".venv/*", ".git/*", ".gitignore",
    "*/__pycache__/*", "*.pyc", "*.so", "*.whl",
    # libFuzzer's findings and a campaign's grown corpus never ship.
    "*crash-*", "*leak-*", "*timeout-*", "*oom-*", "*.profraw",
]
# Paths inside the wheel; "*" matches within and across folders.
WHEEL_REQUIRED = [
    "sonavert/__init__.py", "sonavert/py.typed", "sonavert_native.pyi",
    "sonavert_native-stubs/__init__.pyi", "*.abi3.so",
    "sonavert-*.dist-info/licenses/LICENSE",
]


def missing(required: list[str], names: list[str]) -> list[str]:
    """The required patterns that no name satisfies."""
    out = []
    for pattern in required:
        if pattern.endswith("/"):
            found = any(n.startswith(pattern) and len(n) > len(pattern) for n in names)
        else:
            found = any(fnmatch.fnmatchcase(n, pattern) for n in names)
        if not found:
            out.append(pattern)
    return out


def forbidden(patterns: list[str], names: list[str]) -> list[str]:
    """The names that match one of `patterns`."""
    return [n for n in names if any(fnmatch.fnmatchcase(n, p) for p in patterns)]


def sdist_files(path: Path) -> tuple[list[str], dict[str, bytes]]:
    """Regular files of the sdist relative to its top folder, and the
    contents of its LICENSE (under the key "LICENSE") when present."""
    names: list[str] = []
    contents: dict[str, bytes] = {}
    with tarfile.open(path) as archive:
        for member in archive.getmembers():
            if not member.isfile():
                continue
            top, _, rest = member.name.partition("/")
            names.append(rest)
            if rest == "LICENSE":
                handle = archive.extractfile(member)
                assert handle is not None
                contents[rest] = handle.read()
    return names, contents


def wheel_files(path: Path) -> tuple[list[str], dict[str, bytes]]:
    with zipfile.ZipFile(path) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        contents = {n: archive.read(n) for n in names if n.endswith("/licenses/LICENSE")}
    return names, contents


def check(sdist: Path, wheel: Path, license_text: bytes) -> list[str]:
    """Every fault found in the two archives, one line each."""
    faults: list[str] = []
    names, contents = sdist_files(sdist)
    faults += [f"{sdist.name}: lacks {p}" for p in missing(SDIST_REQUIRED, names)]
    faults += [f"{sdist.name}: should not hold {n}" for n in forbidden(SDIST_FORBIDDEN, names)]
    if "LICENSE" in contents and contents["LICENSE"] != license_text:
        faults.append(f"{sdist.name}: LICENSE differs from the tree's")
    names, contents = wheel_files(wheel)
    faults += [f"{wheel.name}: lacks {p}" for p in missing(WHEEL_REQUIRED, names)]
    faults += [f"{wheel.name}: {n} differs from the tree's LICENSE"
               for n, text in contents.items() if text != license_text]
    return faults


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("sdist", type=Path)
    parser.add_argument("wheel", type=Path)
    args = parser.parse_args()
    faults = check(args.sdist, args.wheel, (REPO / "LICENSE").read_bytes())
    for fault in faults:
        print(fault)
    if not faults:
        print(f"{args.sdist.name} and {args.wheel.name}: contents as required, LICENSE in both")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
