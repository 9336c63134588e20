"""Benchmark of `sonavert verify` against decoding in-process (not a test).

Copies the real SPHERE files of the shared corpus that sonavert_native
decodes, round-robin, into COPIES files of a temporary folder (removed at
the end; nothing else is written), then measures

- the sum, over every copy, of one `sonavert_native.decode_pcm` call on its
  bytes (read beforehand, not timed), and
- one run of `sonavert verify -j 1 FOLDER` as a whole process: start,
  walk, reads, decoding and checksums,

and prints both and their ratio (goal: at most 1.3), in elapsed time and,
less sensitive to a busy machine, in CPU time (the decode calls' own, and
the verify process's user and system time).

Usage: python bench/verify_bench.py [--corpus DIR] [--copies 2000] [--jobs 1]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import sonavert_native

REPO = Path(__file__).resolve().parents[1]
GOAL = 1.3


def corpus_files(root: Path) -> list:
    """The corpus's SPHERE files that sonavert_native decodes, sorted."""
    found = []
    for path in sorted(root.rglob("*")):
        if not path.is_file():
            continue
        data = path.read_bytes()
        if not data.startswith(b"NIST_1A"):
            continue
        try:
            sonavert_native.decode_pcm(data)
        except ValueError:
            continue
        found.append(path)
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default = os.environ.get("SONAVERT_CORPUS", str(REPO.parent / "shared" / "corpus"))
    parser.add_argument("--corpus", default=default)
    parser.add_argument("--copies", type=int, default=2000)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()

    files = corpus_files(Path(args.corpus))
    if not files:
        print(f"no decodable SPHERE files under {args.corpus}", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="sonavert-verify-bench-") as tmp:
        copies = []
        for i in range(args.copies):
            source = files[i % len(files)]
            target = Path(tmp) / f"d{i // 100:02d}" / f"{i:05d}{source.suffix}"
            target.parent.mkdir(exist_ok=True)
            shutil.copyfile(source, target)
            copies.append(target)
        size = sum(p.stat().st_size for p in copies)

        decode = decode_cpu = 0.0
        for path in copies:
            data = path.read_bytes()
            began, began_cpu = time.perf_counter(), time.process_time()
            sonavert_native.decode_pcm(data)
            decode += time.perf_counter() - began
            decode_cpu += time.process_time() - began_cpu

        command = [sys.executable, "-m", "sonavert", "verify", "-j", str(args.jobs), tmp]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        began = time.perf_counter()
        run = subprocess.run(command, capture_output=True, text=True)
        verify = time.perf_counter() - began
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        verify_cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if run.returncode != 0:
            print(run.stdout + run.stderr, file=sys.stderr)
            return 1

    print(f"{len(copies)} copies of {len(files)} corpus files, {size / 1e6:.1f} MB")
    print(f"decode_pcm in-process, summed: {decode:.3f} s elapsed, {decode_cpu:.3f} s CPU")
    print(f"sonavert verify -j {args.jobs}:        {verify:.3f} s elapsed, {verify_cpu:.3f} s CPU"
          f"  ({run.stderr.strip()})")
    print(f"ratio {verify / decode:.2f} elapsed, {verify_cpu / decode_cpu:.2f} CPU (goal: at most {GOAL})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
