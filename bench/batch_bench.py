"""Benchmark of `sonavert batch` on a generated corpus (not a test).

Writes a corpus of SPHERE files (plain 16-bit PCM in both byte orders,
mu-law and A-law, mono and stereo, a few seconds each) into a temporary
folder, converts it with `sonavert batch -j N` for each N asked for, and
prints files per second. Each run converts into a fresh output folder; a last
run over a finished output shows the cost of skipping complete outputs.

With --sphere-write (the testkit tool, built by CMake with the tools on),
every fifth file is Shorten-compressed 16-bit PCM.

Usage: python bench/batch_bench.py [--files 300] [--seconds 3] [--jobs 1 2] [--repeat 3]
                                   [--sphere-write build/sphere_write]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))

from sphfiles import g711_file, pcm_file  # noqa: E402

KINDS = ("pcm16le", "pcm16be", "ulaw", "alaw")


def shorten_file(sphere_write: str, pcm: bytes, channels: int, rate: int) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        payload, out = Path(tmp) / "payload.raw", Path(tmp) / "out.sph"
        payload.write_bytes(pcm)
        subprocess.run([sphere_write, "--describe", "pcm16", "--shorten", "--channels",
                        str(channels), "--rate", str(rate), str(payload), str(out)], check=True)
        return out.read_bytes()


def make_corpus(root: Path, count: int, seconds: float, sphere_write=None, seed: int = 1) -> int:
    """Writes ``count`` files in folders of 50; returns their total size.
    Files of one kind share a noisy tone, each rotated by its own offset
    (Shorten files are not rotated)."""
    rng = random.Random(seed)
    bases = {}
    kinds = KINDS + (("shorten",) if sphere_write else ())
    for kind in KINDS:
        for channels in (1, 2):
            rate = 16000 if kind.startswith("pcm") else 8000
            frames = int(seconds * rate)
            if kind.startswith("pcm"):
                samples = [[int(8000 * ((j * (c + 3)) % 97 - 48) / 48) + rng.randint(-50, 50)
                            for c in range(channels)] for j in range(frames)]
                order = "01" if kind == "pcm16le" else "10"
                bases[kind, channels] = pcm_file(samples, rate=rate, byte_format=order)
            else:
                codes = bytes(rng.randrange(256) for _ in range(frames * channels))
                bases[kind, channels] = g711_file(codes, channels=channels, rate=rate, law=kind)
            if kind == "pcm16le" and sphere_write:
                bases["shorten", channels] = shorten_file(
                    sphere_write, bases[kind, channels][1024:], channels, rate)
    total = 0
    for i in range(count):
        kind = kinds[i % len(kinds)]
        base = bases[kind, 1 + (i // len(kinds)) % 2]
        if kind == "shorten":
            data = base
        else:
            head, payload = base[:1024], base[1024:]
            shift = (4 * i) % len(payload)
            data = head + payload[shift:] + payload[:shift]
        path = root / f"spk{i // 50:02d}" / f"utt{i:04d}.sph"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        total += len(data)
    return total


def run_batch(src: Path, dst: Path, jobs: int) -> float:
    began = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "sonavert", "batch", "-j", str(jobs),
                           str(src), str(dst)], capture_output=True, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        sys.exit(f"batch failed: {done.stderr}")
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sphere-write", help="path of the testkit's sphere_write tool")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="sonavert-bench-") as tmp:
        src = Path(tmp) / "corpus"
        size = make_corpus(src, args.files, args.seconds, args.sphere_write)
        kinds = KINDS + (("shorten",) if args.sphere_write else ())
        print(f"corpus: {args.files} files, {size / 1e6:.1f} MB, {args.seconds:g} s each "
              f"({', '.join(kinds)}; mono and stereo); {os.cpu_count()} cores")
        empty = Path(tmp) / "empty"
        empty.mkdir()
        startup = statistics.median(run_batch(empty, Path(tmp) / "none", 1)
                                    for _ in range(args.repeat))
        print(f"command start-up (an empty tree): {startup:.3f} s")
        print(f"{'jobs':>4}  {'median s':>9}  {'files/s':>8}  {'after start-up':>14}  "
              f"{'MB/s':>6}  runs")
        for jobs in args.jobs:
            times = []
            for r in range(args.repeat):
                dst = Path(tmp) / f"out-{jobs}-{r}"
                times.append(run_batch(src, dst, jobs))
                shutil.rmtree(dst)
            median = statistics.median(times)
            net = args.files / (median - startup) if median > startup else float("inf")
            print(f"{jobs:>4}  {median:>9.3f}  {args.files / median:>8.1f}  {net:>14.1f}  "
                  f"{size / 1e6 / median:>6.1f}  {', '.join(f'{t:.3f}' for t in times)}")
        dst = Path(tmp) / "out-skip"
        run_batch(src, dst, max(args.jobs))
        skip = statistics.median(run_batch(src, dst, max(args.jobs)) for _ in range(args.repeat))
        print(f"all outputs complete (-j {max(args.jobs)}): {skip:.3f} s, "
              f"{args.files / skip:.1f} files/s skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
