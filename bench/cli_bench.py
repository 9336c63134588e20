"""Benchmarks of the `sonavert` command (not tests).

startup: the whole process of `sonavert convert FILE OUT.wav` on a corpus
file against the bare interpreter's start-up (`python -c pass`), both run
in turn the same number of times, medians reported with their ratio, and
the modules that the command imported (it should import neither numpy nor
multiprocessing nor sqlite3).

rerun: a batch over many small files, then a rerun of the unchanged batch,
which skips every file; reports files skipped per second.

Usage: python bench/cli_bench.py startup [--file F] [--repeat 40] [--command sonavert]
       python bench/cli_bench.py rerun [--files 5000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))

from sphfiles import pcm_file, ramp  # noqa: E402

HEAVY = ("numpy", "multiprocessing", "sqlite3", "concurrent.futures.process", "ctypes", "json")


def corpus_file() -> Path:
    folder = Path(os.environ.get("SONAVERT_CORPUS", REPO.parent / "shared" / "corpus"))
    files = sorted((folder / "tidigits").glob("*.sph"))
    if not files:
        raise SystemExit(f"no corpus files under {folder / 'tidigits'}: give --file")
    return files[0]


def wall(cmd: List[str]) -> float:
    began = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - began


def imported(command: List[str], args: List[str]) -> List[str]:
    """The heavy modules that the command imports for ``args``."""
    probe = ("import sys\n"
             "from sonavert._cli import main\n"
             "code = main(sys.argv[1:])\n"
             f"print(' '.join(m for m in {HEAVY!r} if m in sys.modules), file=sys.stderr)\n")
    done = subprocess.run([sys.executable, "-c", probe, *args], capture_output=True, text=True,
                          check=True)
    return done.stderr.split()


def startup(args: argparse.Namespace) -> None:
    src = Path(args.file) if args.file else corpus_file()
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.wav")
        command = [args.command] if args.command else [sys.executable, "-m", "sonavert"]
        convert = [*command, "convert", str(src), out]
        bare = [sys.executable, "-c", "pass"]
        for cmd in (bare, convert):  # warm the page cache and the bytecode caches
            wall(cmd)
        times = {"bare": [], "convert": []}
        for _ in range(args.repeat):
            times["bare"].append(wall(bare))
            times["convert"].append(wall(convert))
        bare_s, convert_s = (statistics.median(times[k]) for k in ("bare", "convert"))
        print(f"file: {src} ({src.stat().st_size} bytes); {args.repeat} runs each, medians")
        print(f"python -c pass:          {bare_s * 1000:7.1f} ms")
        print(f"{' '.join(Path(c).name for c in command)} convert: {convert_s * 1000:7.1f} ms")
        print(f"ratio:                   {convert_s / bare_s:7.2f}x")
        for sub in (["convert", str(src), out], ["info", str(src)]):
            heavy = imported(command, sub)
            print(f"heavy modules imported by {sub[0]}: {', '.join(heavy) or 'none'}")


def rerun(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp) / "src", Path(tmp) / "dst"
        for i in range(args.files):
            folder = src / f"s{i // 100:03d}"
            folder.mkdir(parents=True, exist_ok=True)
            (folder / f"u{i:05d}.sph").write_bytes(pcm_file(ramp(160 + i % 50), rate=8000))
        command = [sys.executable, "-m", "sonavert", "batch", str(src), str(dst)]
        first = wall(command)
        print(f"{args.files} files: first run {first:.2f} s")
        for _ in range(args.repeat):
            began = time.perf_counter()
            done = subprocess.run(command, capture_output=True, text=True)
            seconds = time.perf_counter() - began
            summary = done.stderr.splitlines()[0]
            print(f"rerun: {seconds:.3f} s, {args.files / seconds:,.0f} files/s skipped "
                  f"(whole process); {summary}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("startup")
    p.add_argument("--file")
    p.add_argument("--repeat", type=int, default=40)
    p.add_argument("--command", help="the console script (default: python -m sonavert)")
    p = sub.add_parser("rerun")
    p.add_argument("--files", type=int, default=5000)
    p.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    (startup if args.what == "startup" else rerun)(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
