"""Benchmarks of the sonavert package's reads, as ratios to a peer measured
in the same run (never a pass/fail test). Each line names the goal it
measures, the two times (medians) or memory figures, and the ratio.

usage: python bench/package_bench.py --data build/bench-data [--corpus DIR] [--repeat N]

DATA holds the ten-minute inputs of bench/make_inputs.py (pcm16le.sph,
shorten-16k-stereo.sph). The WAV twin for soundfile and the million-field
header are made in a temporary folder.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, List

import numpy as np
import soundfile as sf

import sonavert
import sonavert_native as native

RATE = 16000


def median_time(call: Callable[[], object], repeat: int, inner: int = 1) -> float:
    call()  # warm the page cache and the code
    times: List[float] = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            call()
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


def line(goal: str, ours: float, theirs: float, unit: str = "ms", target: str = "") -> None:
    scale = 1e3 if unit == "ms" else 1.0
    ratio = ours / theirs if theirs else float("inf")
    print(f"{goal:<62} {ours * scale:10.3f} {unit} vs {theirs * scale:10.3f} {unit}"
          f"  ratio {ratio:6.3f}  {target}")


PEAK_CHILD = r"""
import gc, sys
import sonavert

def status(key):
    for text in open("/proc/self/status"):
        if text.startswith(key + ":"):
            return int(text.split()[1]) * 1024

import numpy
path, mode = sys.argv[1], sys.argv[2]
sonavert.info(path)
sonavert.read(path, frames=10)  # everything imported and set up once
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = status("VmRSS")
if mode == "minute9":
    data, _ = sonavert.read(path, start=9 * 60 * 16000, frames=16000)
    result = data.nbytes
else:
    result = 0
    for block in sonavert.blocks(path, blocksize=16000, dtype="int16"):
        result = max(result, block.nbytes)
print(status("VmHWM") - start, result)
"""


def peak(path: Path, mode: str) -> List[int]:
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(path), mode], check=True,
                         capture_output=True, text=True).stdout.split()
    return [int(v) for v in out]


def spinner(call: Callable[[], object]) -> "tuple[float, float]":
    """(seconds of the call, counts per second another Python thread made
    meanwhile): near 0 when the call holds the interpreter lock."""
    count, stop = [0], [False]

    def spin() -> None:
        while not stop[0]:
            count[0] += 1

    thread = threading.Thread(target=spin)
    thread.start()
    time.sleep(0.05)
    before, t0 = count[0], time.perf_counter()
    call()
    seconds = time.perf_counter() - t0
    counted = count[0] - before
    stop[0] = True
    thread.join()
    return seconds, counted / seconds


def million_fields(folder: Path) -> Path:
    lines = ["NIST_1A", "", "sample_count -i 0", "sample_rate -i 16000", "channel_count -i 1",
             "sample_n_bytes -i 2"]
    lines += [f"field_{i} -i {i}" for i in range(1_000_000)]
    lines.append("end_head")
    body = "\n".join(lines) + "\n"
    size = len(body) + 16
    text = body.replace("NIST_1A\n\n", f"NIST_1A\n{size:>14}\n", 1)
    path = folder / "million.sph"
    path.write_bytes(text.encode().ljust(size, b" "))
    return path


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", type=Path, required=True)
    parser.add_argument("--corpus", type=Path, default=Path(__file__).resolve().parents[2] / "shared" / "corpus")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    pcm = args.data / "pcm16le.sph"
    shn = args.data / "shorten-16k-stereo.sph"
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        wav = folder / "pcm16le.wav"
        wav.write_bytes(native.transcode(pcm.read_bytes()))
        first = 9 * 60 * RATE

        print("== 1 s at minute 9 of ten minutes of 16-bit stereo PCM (float64)")
        ours = median_time(lambda: sonavert.read(pcm, start=first, frames=RATE), args.repeat, 20)
        theirs = median_time(lambda: sf.read(str(wav), start=first, frames=RATE), args.repeat, 20)
        line("sonavert.read (SPHERE) vs soundfile.read (WAV)", ours, theirs, target="goal <= 2")
        grown, result = peak(pcm, "minute9")
        print(f"{'  new memory beyond the result':<62} {(grown - result) / 2**20:10.3f} MiB"
              f"  (result {result / 2**20:.3f} MiB; goal <= 1 MiB)")

        print("== out= against a new array, same read")
        out = np.empty((RATE, 2), np.float64)
        into = median_time(lambda: sonavert.read(pcm, start=first, out=out), args.repeat, 20)
        line("read(out=...) vs read()", into, ours)

        print("== Shorten, ten minutes of 16 kHz stereo")
        frames = sonavert.info(shn).frames
        head = median_time(lambda: sonavert.read(shn, frames=RATE, dtype="int16"), args.repeat)
        tail = median_time(lambda: sonavert.read(shn, start=frames - RATE, dtype="int16"), args.repeat)
        line("first second vs last second", head, tail, target="goal <= 0.05")
        whole = median_time(lambda: sonavert.read(shn, dtype="int16"), args.repeat)
        base = median_time(lambda: native.decode_pcm(shn.read_bytes()), args.repeat)
        line("read(dtype='int16') vs open+read+decode_pcm", whole, base, target="goal <= 1.1")
        grown, largest = peak(shn, "blocks")
        size = shn.stat().st_size
        print(f"{'blocks(blocksize=16000): peak new memory':<62} {grown / 2**20:10.3f} MiB"
              f"  (file {size / 2**20:.1f} MiB; goal <= file + 4 MiB = {(size + 4 * 2**20) / 2**20:.1f})")

        tidigits = args.corpus / "tidigits"
        if tidigits.is_dir():
            print("== real corpus files: read(path, dtype='int16') vs open+read+decode_pcm")
            ratios = []
            for path in sorted(tidigits.glob("*.sph")):
                try:
                    native.decode_pcm(path.read_bytes())
                except ValueError:
                    continue
                ours = median_time(lambda: sonavert.read(path, dtype="int16"), args.repeat, 20)
                theirs = median_time(lambda: native.decode_pcm(path.read_bytes()), args.repeat, 20)
                ratios.append(ours / theirs)
                line(f"  {path.name}", ours, theirs, target="goal <= 1.2")
            print(f"{'  largest ratio':<62} {max(ratios):.3f}")

        print("== two threads reading different files against one"
              f" (load average before: {', '.join(f'{v:.2f}' for v in os.getloadavg())})")
        files = [args.data / "pcm16le.sph", args.data / "pcm16be.sph"]
        segment = 10 * RATE

        def work(path: Path) -> None:
            # Ten-second reads along the file: conversion, not fresh pages,
            # dominates (the kernel serialises first touches of new memory).
            out = np.empty((segment, 2), np.float32)
            for k in range(40):
                sonavert.read(path, start=(k * 7 % 50) * segment, out=out)

        # Shorten: whole-file reads into one array, decoding dominates. The
        # second file is a copy, so that both threads do the same work.
        twin = folder / "shorten-copy.sph"
        twin.write_bytes(shn.read_bytes())
        outs = {p: np.empty((frames, 2), np.int16) for p in (shn, twin)}

        def decode(path: Path) -> None:
            for _ in range(2):
                sonavert.read(path, dtype="int16", out=outs[path])

        for label, job, pair in (("PCM, 10 s reads (float32, out=)", work, files),
                                 ("Shorten, whole-file reads (int16, out=)", decode, [shn, twin])):
            ratios = []
            for _ in range(args.repeat):
                t0 = time.perf_counter()
                job(pair[0]), job(pair[1])
                serial = time.perf_counter() - t0
                threads = [threading.Thread(target=job, args=(p,)) for p in pair]
                t0 = time.perf_counter()
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                ratios.append(serial / (time.perf_counter() - t0))
            print(f"{'  ' + label + ': two threads / one (median)':<62} {statistics.median(ratios):10.3f}x"
                  f"  (runs {', '.join(f'{r:.2f}' for r in ratios)}; goal >= 1.6 on 2 cores)")
        print(f"{'  load average after':<62} {', '.join(f'{v:.2f}' for v in os.getloadavg())}")

        print("== the interpreter lock during one whole read (another thread counting)")
        data = files[0].read_bytes()
        for label, call in (("sonavert.read(path, dtype='float32')", lambda: sonavert.read(files[0], dtype="float32")),
                            ("sonavert_native.decode_pcm(bytes)", lambda: native.decode_pcm(data))):
            seconds, rate = spinner(call)
            print(f"{'  ' + label:<62} {seconds * 1e3:10.3f} ms, the other thread counted {rate:,.0f}/s")

        print("== info of a header of a million field lines")
        million = million_fields(folder)
        data = million.read_bytes()
        ours = median_time(lambda: sonavert.info(million), args.repeat)
        theirs = median_time(lambda: native.decode_pcm(data), args.repeat)
        line("sonavert.info(path) vs native parse (decode_pcm, 0 samples)", ours, theirs,
             target="goal <= 2")
        fields = median_time(lambda: dict(sonavert.info(million).fields), 3)
        print(f"{'  and with every field typed (dict(info.fields))':<62} {fields * 1e3:10.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
