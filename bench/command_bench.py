"""Measures the sonavert-sph2pipe command as whole processes, against peers
in the same run (ratios, nothing judged as pass or fail):

  - a short corpus file to WAV (-f wav -p) against `cat FILE > /dev/null`:
    the cost of a call in a recipe over many utterances;
  - the ten-minute Shorten stereo file of make_inputs.py to WAV against
    FFmpeg's whole process (`ffmpeg -i FILE -f wav -`), as throughput;
  - the peak memory (ru_maxrss) of each conversion against its input plus
    its output.

Runs of the commands are interleaved, so that load hits them alike; medians
are reported. Usage:
  python bench/command_bench.py --command PATH [--data build/bench-data] [--corpus DIR]
                                [--repeat N] [--out results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path


def run_once(argv: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident KiB of one whole process."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read()
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError(f"{argv} failed ({proc.returncode}): {err.decode(errors='replace')}")
    return wall, usage.ru_maxrss


def output_size(argv: list[str]) -> int:
    return len(subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout)


def interleaved(commands: dict[str, list[str]], repeat: int) -> dict[str, dict]:
    samples: dict[str, list[tuple[float, int]]] = {name: [] for name in commands}
    for name, argv in commands.items():  # one warm-up each: page cache, binaries
        run_once(argv)
    for _ in range(repeat):
        for name, argv in commands.items():
            wall, rss = run_once(argv)
            samples[name].append((wall, rss))
    return {name: {"median_s": statistics.median(w for w, _ in s), "min_s": min(w for w, _ in s),
                   "peak_rss_kib": max(r for _, r in s)} for name, s in samples.items()}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--command", required=True, type=Path)
    ap.add_argument("--data", type=Path, default=Path("build/bench-data"))
    ap.add_argument("--corpus", type=Path,
                    default=Path(os.environ.get("SONAVERT_CORPUS", Path(__file__).resolve().parents[2] / "shared" / "corpus")))
    ap.add_argument("--repeat", type=int, default=101)
    ap.add_argument("--long-repeat", type=int, default=7)
    ap.add_argument("--out", type=Path)
    args = ap.parse_args()
    command = str(args.command.resolve())
    results: dict = {"load_average": os.getloadavg()}

    short = [p for p in (args.corpus / "tidigits" / "123_2pcle_shn.sph", args.corpus / "sox" / "pcm16le_mono.sph")
             if p.is_file()]
    for path in short:
        argv = [command, "-f", "wav", "-p", str(path)]
        timing = interleaved({"sonavert-sph2pipe": argv, "cat": ["cat", str(path)]}, args.repeat)
        ratio = timing["sonavert-sph2pipe"]["median_s"] / timing["cat"]["median_s"]
        results[f"short:{path.name}"] = {"timing": timing, "time_ratio_vs_cat": ratio}
        print(f"{path.name}: sonavert-sph2pipe {timing['sonavert-sph2pipe']['median_s'] * 1e3:.2f} ms, "
              f"cat {timing['cat']['median_s'] * 1e3:.2f} ms: {ratio:.2f}x the time of cat")

    long_file = args.data / "shorten-16k-stereo.sph"
    if long_file.is_file():
        ours = [command, "-f", "wav", "-p", str(long_file)]
        commands = {"sonavert-sph2pipe": ours}
        ffmpeg = shutil.which("ffmpeg")
        if ffmpeg:
            commands["ffmpeg"] = [ffmpeg, "-nostdin", "-v", "error", "-i", str(long_file), "-f", "wav", "-"]
        timing = interleaved(commands, args.long_repeat)
        out_bytes = output_size(ours)
        in_bytes = long_file.stat().st_size
        entry = {"timing": timing, "input_bytes": in_bytes, "output_bytes": out_bytes}
        mb = out_bytes / 1e6
        print(f"{long_file.name}: sonavert-sph2pipe {timing['sonavert-sph2pipe']['median_s']:.3f} s "
              f"({mb / timing['sonavert-sph2pipe']['median_s']:.0f} MB/s of WAV)")
        if ffmpeg:
            speedup = timing["ffmpeg"]["median_s"] / timing["sonavert-sph2pipe"]["median_s"]
            entry["throughput_ratio_vs_ffmpeg"] = speedup
            print(f"  ffmpeg {timing['ffmpeg']['median_s']:.3f} s: sonavert-sph2pipe has {speedup:.1f}x the throughput")
        peak = timing["sonavert-sph2pipe"]["peak_rss_kib"] * 1024
        entry["peak_rss_over_input_plus_output"] = peak / (in_bytes + out_bytes)
        print(f"  peak memory {peak / 1e6:.1f} MB = {entry['peak_rss_over_input_plus_output']:.2f}x "
              f"(input {in_bytes / 1e6:.1f} MB + output {mb:.1f} MB)")
        results["long:" + long_file.name] = entry
    else:
        print(f"no {long_file}: run bench/make_inputs.py first", file=sys.stderr)

    if args.out:
        args.out.write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
