"""Checks that a built extension imports only interpreter symbols that the
stable ABI of a given Python version provides.

Newer CPython headers declare some later functions even when Py_LIMITED_API
asks for an older version, so compiling is no proof; this reads the symbols
the shared object actually imports (its undefined dynamic symbols, read
with pyelftools, so that a wheel of any architecture can be checked here).

Usage: python scripts/check_abi.py --minimum 3.9 WHEEL_OR_SO...
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import zipfile
from pathlib import Path

import abi3info
from elftools.elf.elffile import ELFFile


def stable_abi(minimum: tuple[int, int]) -> set[str]:
    names = set()
    for table in (abi3info.FUNCTIONS, abi3info.DATAS):
        for symbol, entry in table.items():
            if (entry.added.major, entry.added.minor) <= minimum:
                names.add(symbol.name)
    return names


def imported_symbols(shared_object: Path) -> list[str]:
    with open(shared_object, "rb") as f:
        table = ELFFile(f).get_section_by_name(".dynsym")
        if table is None:
            return []
        return [sym.name for sym in table.iter_symbols()
                if sym.name and sym["st_shndx"] == "SHN_UNDEF"]


def extensions(path: Path, workdir: Path) -> list[Path]:
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as wheel:
            members = [m for m in wheel.namelist() if m.endswith(".so")]
            wheel.extractall(workdir, members)
        return [workdir / m for m in members]
    return [path]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minimum", default="3.9")
    parser.add_argument("paths", nargs="+", type=Path)
    args = parser.parse_args()
    minimum = tuple(int(x) for x in args.minimum.split("."))
    allowed = stable_abi(minimum)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for path in args.paths:
            found = extensions(path, Path(tmp))
            if not found:
                print(f"{path}: no extension module inside")
                failures += 1
            for so in found:
                if not so.name.endswith(".abi3.so"):
                    print(f"{so.name}: not named as a stable-ABI module (.abi3.so)")
                    failures += 1
                python_symbols = [s for s in imported_symbols(so) if s.startswith(("Py", "_Py"))]
                bad = sorted(s for s in python_symbols if s not in allowed)
                for s in bad:
                    print(f"{so.name}: {s} is not in the {args.minimum} stable ABI")
                failures += len(bad)
                if not bad:
                    print(f"{so.name}: {len(python_symbols)} interpreter symbols, "
                          f"all in the {args.minimum} stable ABI")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
