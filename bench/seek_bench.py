"""Random access into a long Shorten file, as training-data loaders read it:
ratios measured in one run (bench/README: never a test).

  offset 540 / offset 0   a one-second read at 540 s against one at 0 s, the
                          file's seek points made by a read to its end
  500 random / whole      500 two-second reads at random offsets from a cold
                          cache of points, against one whole-file read
  SoundFile zigzag        the same 500 reads seeking one SoundFile back and
                          forth; and four one-second reads zigzagging over
                          the file against four at its start
  points / decoded        the bytes of the file's points against the bytes
                          of its 16-bit samples
  lhotse (when lhotse is importable and `sph2pipe` is on PATH): 500 random
  two-second loads with sonavert.lhotse.use() against lhotse's sph2pipe
  backend running that `sph2pipe` (sonavert-sph2pipe through a link), and
  Recording.from_file against a whole-file read.

Usage: python bench/seek_bench.py FILE [--cuts 500] [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import random
import shutil
import time
from pathlib import Path

import numpy as np

import sonavert
from sonavert._source import core


def timed(call, repeat=1):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def cold():
    limit = sonavert.seek_point_cache().limit
    sonavert.seek_point_cache(0)
    sonavert.seek_point_cache(limit)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("file", type=Path)
    parser.add_argument("--cuts", type=int, default=500)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    path = str(args.file)
    head = sonavert.info(path)
    seconds = head.frames / head.samplerate
    rng = random.Random(20)
    offsets = [rng.uniform(0, seconds - 2) for _ in range(args.cuts)]
    results = {"file": path, "seconds": seconds, "channels": head.channels}

    whole = timed(lambda: sonavert.read(path, dtype="int16"), 3)
    whole_float = timed(lambda: sonavert.read(path), 3)
    results["whole int16 s"] = whole
    results["whole float64 s"] = whole_float

    # One read to the end makes every point; then a second at 540 s against one at 0 s.
    cold()
    sonavert.read(path, start=head.frames - 1)
    at0 = timed(lambda: sonavert.read(path, offset=0, duration=1), 20)
    at540 = timed(lambda: sonavert.read(path, offset=min(540, seconds - 1), duration=1), 20)
    results["offset 540 / offset 0"] = at540 / at0

    cold()
    start = time.perf_counter()
    for o in offsets:
        sonavert.read(path, offset=o, duration=2)
    random_reads = time.perf_counter() - start
    results["500 random / whole int16"] = random_reads / whole
    results["500 random / whole float64"] = random_reads / whole_float

    cold()
    start = time.perf_counter()
    with sonavert.SoundFile(path) as f:
        for o in offsets:
            f.seek(int(o * head.samplerate))
            f.read(2 * head.samplerate)
    results["SoundFile 500 random / whole float64"] = (time.perf_counter() - start) / whole_float
    cold()
    zig = [0, seconds - 1, 1, seconds - 2]

    def zigzag():
        with sonavert.SoundFile(path) as f:
            for s in zig:
                f.seek(int(s * head.samplerate))
                f.read(head.samplerate)

    def at_start():
        with sonavert.SoundFile(path) as f:
            for _ in zig:
                f.seek(0)
                f.read(head.samplerate)

    first_zigzag = timed(zigzag)  # from a cold cache: decodes to the end once
    results["SoundFile zigzag (cold) / four reads at the start"] = first_zigzag / timed(at_start, 5)
    results["SoundFile zigzag (points made) / four reads at the start"] = timed(zigzag, 5) / timed(at_start, 5)

    cold()
    with open(path, "rb") as f:
        stream = core.ShortenStream(f.fileno())
        stream.read(head.frames - 1, 1, "int16", None, None)
        count, size = stream.seek_points()
    results["points"] = count
    results["points / decoded"] = size / (head.frames * head.channels * 2)
    results["cache bytes"] = sonavert.seek_point_cache().bytes

    try:
        import lhotse  # noqa: F401
        from lhotse import Recording
        from lhotse.audio.backend import get_default_audio_backend, set_current_audio_backend
    except ImportError:
        lhotse = None
    if lhotse is not None and shutil.which("sph2pipe"):
        from sonavert.lhotse import use

        def loads():
            recording = Recording.from_file(path)
            out = [recording.load_audio(offset=o, duration=2.0) for o in offsets]
            return out

        set_current_audio_backend(get_default_audio_backend())
        start = time.perf_counter()
        theirs = loads()
        through_sph2pipe = time.perf_counter() - start
        use()
        cold()
        start = time.perf_counter()
        ours = loads()
        through_sonavert = time.perf_counter() - start
        results["lhotse sph2pipe backend / sonavert.lhotse"] = through_sph2pipe / through_sonavert
        results["lhotse samples identical"] = all(np.array_equal(a, b) for a, b in zip(ours, theirs))
        results["Recording.from_file / whole float64"] = timed(lambda: Recording.from_file(path), 20) / whole_float
        set_current_audio_backend(get_default_audio_backend())

    for name, value in results.items():
        print(f"{name:58} {value:.4g}" if isinstance(value, float) else f"{name:58} {value}")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
