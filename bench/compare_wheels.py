"""Compares two builds of the wheel on the benchmark files, in one run.

Each wheel is installed (without dependencies) into a fresh virtual
environment of its own under --work, and a process of each holds every file
of bench/make_inputs.py in memory. Both builds' results of every call are
first compared (digests); then sonavert_native's shorten_to_pcm (Shorten
inputs, the payload as a bare stream), decode_pcm and transcode are timed,
the two processes taking turns call by call (which one goes first
alternates), so that a change of machine load falls on both alike, and
each call is timed in CPU time of its thread (user and system), which time
spent waiting for a core on a busy machine does not inflate. The
report gives each build's median per call in million samples per second and
the ratio of the second build's throughput to the first's (above 1: the
second is faster), with geometric means for the Shorten and the plain files.

Reports nothing as pass or fail.
Usage: python bench/compare_wheels.py --data build/bench-data BASE.whl OTHER.whl
           [--names gcc zig] [--rounds 15] [--json out.json]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import statistics
import subprocess
import sys
import venv
from pathlib import Path

# Runs inside each environment and stays: reads the inputs once, then
# answers each line on stdin, "KEY" (input name and function), with the
# CPU seconds of one call, or "digest" with the digests of every call's result.
RUNNER = r"""
import hashlib, json, sys, time
from pathlib import Path
import sonavert_native

data = Path(sys.argv[1])
calls = {}
for item in json.loads((data / "inputs.json").read_text())["inputs"]:
    whole = (data / item["path"]).read_bytes()
    header = int(whole.split(b"\n", 2)[1])
    funcs = (["shorten_to_pcm"] if item["group"] == "shorten" else []) + ["decode_pcm", "transcode"]
    for func in funcs:
        calls[item["name"] + " " + func] = (getattr(sonavert_native, func),
                                            whole[header:] if func == "shorten_to_pcm" else whole)


def digest(result):
    h = hashlib.sha256()
    for part in result if isinstance(result, tuple) else (result,):
        h.update(part if isinstance(part, bytes) else repr(part).encode())
    return h.hexdigest()


print(json.dumps(list(calls)), flush=True)
for line in sys.stdin:
    key = line.strip()
    if key == "digest":
        print(json.dumps({k: digest(fn(arg)) for k, (fn, arg) in calls.items()}), flush=True)
        continue
    fn, arg = calls[key]
    t0 = time.thread_time()
    result = fn(arg)
    t1 = time.thread_time()
    del result
    print(t1 - t0, flush=True)
"""


class Runner:
    """One environment's timing process."""

    def __init__(self, python: Path, data: Path):
        self.p = subprocess.Popen([str(python), "-c", RUNNER, str(data)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.keys = json.loads(self.ask(None))

    def ask(self, line: str | None) -> str:
        assert self.p.stdin is not None and self.p.stdout is not None
        if line is not None:
            self.p.stdin.write(line + "\n")
            self.p.stdin.flush()
        answer = self.p.stdout.readline()
        if not answer:
            raise SystemExit("a timing process ended early")
        return answer

    def close(self) -> None:
        assert self.p.stdin is not None
        self.p.stdin.close()
        self.p.wait()


def install(wheel: Path, where: Path) -> Path:
    """A fresh environment under `where` with `wheel` installed; its python."""
    venv.EnvBuilder(clear=True, with_pip=True).create(where)
    python = where / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-deps",
                    "--force-reinstall", str(wheel)], check=True)
    return python


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, required=True, help="folder made by bench/make_inputs.py")
    parser.add_argument("--work", type=Path, default=Path("build/compare-wheels"), help="folder for the venvs")
    parser.add_argument("--names", nargs=2, default=["base", "other"], metavar=("BASE", "OTHER"))
    parser.add_argument("--rounds", type=int, default=15, help="timed calls of each function per build")
    parser.add_argument("--json", type=Path, help="also write the medians and ratios here")
    parser.add_argument("wheels", nargs=2, type=Path)
    args = parser.parse_args()
    if args.names[0] == args.names[1]:
        parser.error("the two --names must differ")
    inputs = {i["name"]: i for i in json.loads((args.data / "inputs.json").read_text())["inputs"]}

    pythons = [install(w.resolve(), args.work / name) for w, name in zip(args.wheels, args.names)]
    runners = [Runner(p, args.data.resolve()) for p in pythons]
    digests = [json.loads(r.ask("digest")) for r in runners]
    differ = sorted(k for k in digests[0] if digests[0][k] != digests[1].get(k))
    if differ or digests[0].keys() != digests[1].keys():
        print("the two builds give different results for: " + ", ".join(differ or ["(other calls)"]))
        return 1

    # Calls alternate between the two builds one by one, the first of each
    # pair alternating too: a change of load falls on both.
    samples: list[dict[str, list[float]]] = [{}, {}]
    for r in range(args.rounds):
        for key in runners[0].keys:
            for which in ((0, 1) if r % 2 == 0 else (1, 0)):
                samples[which].setdefault(key, []).append(float(runners[which].ask(key)))
    for runner in runners:
        runner.close()

    base, other = args.names
    rows = []
    print(f"{args.rounds} calls each, alternating; medians of CPU time as Msamples/s; "
          f"ratio = {other} / {base} throughput")
    print(f"{'input and call':40} {base:>10} {other:>10} {'ratio':>7}")
    for key in samples[0]:
        name = key.split(" ")[0]
        msamples = inputs[name]["samples"] / 1e6
        t = [statistics.median(samples[w][key]) for w in (0, 1)]
        ratio = t[0] / t[1]
        rows.append(dict(call=key, median_seconds={base: t[0], other: t[1]}, ratio=ratio))
        print(f"{key:40} {msamples / t[0]:10.0f} {msamples / t[1]:10.0f} {ratio:7.3f}")
    for group in ("shorten", "plain"):
        ratios = [r["ratio"] for r in rows if inputs[r["call"].split(" ")[0]]["group"] == group]
        if ratios:
            print(f"{group}: geometric mean of the ratios {statistics.geometric_mean(ratios):.3f}")
    if args.json:
        wheels = {n: dict(file=w.name, sha256=hashlib.sha256(w.read_bytes()).hexdigest())
                  for n, w in zip(args.names, args.wheels)}
        args.json.write_text(json.dumps(dict(wheels=wheels, rounds=args.rounds, rows=rows),
                                        indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
