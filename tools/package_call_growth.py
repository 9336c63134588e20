"""Calls each function of the sonavert package's reading layer (and of its
native module) many times over good and failing inputs and reports how much
the process grew: the resident size after the calls less the size after a
warm-up of the same calls. A leak of even a few bytes per call shows up as
hundreds of KiB here.

usage: python tools/package_call_growth.py [--calls 100000] [--only NAME]
"""

from __future__ import annotations

import argparse
import gc
import io
import os
import sys
import tempfile
from pathlib import Path
from typing import Callable, List, Tuple

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import sonavert  # noqa: E402
from sonavert import _source  # noqa: E402
from sphfiles import fields, header, pcm_file, ramp  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent / "lib"))
from shorten_stream import Stream  # noqa: E402

core = _source.core


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def failing(call: Callable[[], object]) -> Callable[[], object]:
    def run() -> object:
        try:
            call()
        except (ValueError, TypeError, OSError):
            return None
        raise AssertionError("expected a failure")
    return run


def cases(folder: Path) -> List[Tuple[str, Callable[[], object]]]:
    good = pcm_file(ramp(200, 2))
    path = folder / "a.sph"
    path.write_bytes(good)
    truncated = good[:-1]
    not_sphere = b"RIFF" + b"\0" * 60
    bad_field = header([*fields(1, 8000, 0, 2), "x -r \u0131nf"])
    out = np.empty((50, 2), np.float32)
    stream = Stream(channels=2, blocksize=16)
    for k in range(25):
        stream.diff(1, 7, [k] * 16).diff(0, 7, [-k] * 16)
    shorten = header(fields(2, 8000, 400, 2, "pcm,embedded-shorten-v2.00")) + stream.quit().to_bytes()
    shorten_path = folder / "s.sph"
    shorten_path.write_bytes(shorten)
    shorten_cut = shorten[:-20]

    def soundfile_steps(file: object = path) -> None:
        with sonavert.SoundFile(file) as f:
            f.seek(10)
            f.read(20, dtype="int16")
            f.seek(-5, sonavert.SEEK_END)
            f.read()
            f.seek(3)
            f.read(5, out=out[:5])

    return [
        ("read bytes", lambda: sonavert.read(good)),
        ("read path int16", lambda: sonavert.read(path, dtype="int16", start=-50)),
        ("read path out=", lambda: sonavert.read(path, frames=50, out=out)),
        ("read offset/duration", lambda: sonavert.read(good, offset=0.001, duration=0.002)),
        ("read file object", lambda: sonavert.read(io.BytesIO(good))),
        ("read truncated", failing(lambda: sonavert.read(truncated))),
        ("read not SPHERE", failing(lambda: sonavert.read(not_sphere))),
        ("read missing path", failing(lambda: sonavert.read(folder / "missing.sph"))),
        ("read bad arguments", failing(lambda: sonavert.read(good, frames=1.5, dtype="int8"))),
        ("blocks", lambda: list(sonavert.blocks(good, 64, overlap=8))),
        ("blocks failing", failing(lambda: list(sonavert.blocks(bad_field, 64)))),
        ("SoundFile steps", soundfile_steps),
        ("SoundFile failing", failing(lambda: sonavert.SoundFile(truncated))),
        ("read Shorten path part", lambda: sonavert.read(shorten_path, start=100, frames=50)),
        ("read Shorten bytes", lambda: sonavert.read(shorten, dtype="int16")),
        ("read Shorten cut failing", failing(lambda: sonavert.read(shorten_cut))),
        ("blocks Shorten", lambda: list(sonavert.blocks(shorten_path, 64, overlap=8))),
        ("SoundFile Shorten steps", lambda: soundfile_steps(shorten_path)),
        ("core.ShortenStream failing", failing(lambda: core.ShortenStream(good))),
        ("info path", lambda: sonavert.info(path).fields["sample_rate"]),
        ("info failing", failing(lambda: sonavert.info(bad_field))),
        ("core.fields", lambda: core.fields(good[:1024])),
        ("core.wav_header", lambda: core.wav_header(2, 16000, 16, 800)),
        ("core.wav_header failing", failing(lambda: core.wav_header(65536, 16000, 16, 0))),
        ("core.quoted", lambda: core.quoted("a\u0301\tb")),
        ("core.parse_header failing", failing(lambda: core.parse_header(bad_field, len(bad_field)))),
        ("core.read_span bad dtype", failing(lambda: core.read_span(good, 0, None, -1, "int8"))),
        ("core.read bad pick", failing(lambda: core.read(good, 0, 10, "int16", (5,), None))),
        ("core.write au mu-law", lambda: core.write(good, "au", "ulaw", None, 0, 1 << 40)),
        ("core.write wav channel", lambda: core.write(good, "wav", "stored", 0, 5, 20)),
        ("core.write truncated", failing(lambda: core.write(truncated, "sph", "pcm16", None, 0, 10))),
        ("core.write bad form", failing(lambda: core.write(good, "sph", "pcm8", None, 0, 10))),
    ]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--only")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for name, call in cases(Path(tmp)):
            if args.only and args.only not in name:
                continue
            for _ in range(args.calls // 10):  # warm-up: caches and allocator pools fill
                call()
            gc.collect()
            before = rss_kib()
            for _ in range(args.calls):
                call()
            gc.collect()
            print(f"{name:<28} {args.calls} calls: grew {rss_kib() - before:6d} KiB", flush=True)
    print(f"open file descriptors at the end: {len(os.listdir('/proc/self/fd'))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
