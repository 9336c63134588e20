"""Measures sonavert_native and its peers on the inputs of make_inputs.py.

In one run, on the same files:
  - sonavert_native in-process: shorten_to_pcm (Shorten inputs, the payload as
    a bare stream), decode_pcm and transcode, each call timed from the input
    `bytes` in memory to the result object, the result's release excluded;
  - soundfile in-process: soundfile.read(path, dtype="int16"), "int32" for
    32-bit files, from the page cache into a numpy array;
  - FFmpeg: the figure of `ffmpeg -benchmark` (rtime: demuxing, decoding and
    writing, start-up excluded) and the whole process's wall time;
  - SoX: the whole process's wall time.
Before timing, each peer's output is compared with decode_pcm's once; a peer
that cannot read a file is reported as such and not timed. Repetitions of
all runners are interleaved, so that changes in machine load hit them alike;
medians are reported. Each measured call is also run once in a fresh
process to read its peak memory (ru_maxrss) and page faults. With the C++
build given, the instructions per sample of shorten_to_pcm and decode_pcm
are counted under callgrind and the Google Benchmark micro-benchmarks are
run with warm and with fresh buffers.

Reports nothing as pass or fail: it writes numbers into a JSON file.
Usage: python bench/measure.py --data DIR --out results.json [--build BUILD] [--repeat 7]
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WARM_HEAP = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=17179869184"
FFMPEG_BENCH = re.compile(r"bench: utime=([\d.]+)s stime=([\d.]+)s rtime=([\d.]+)s")
PAGE = 4096


def header_size(path: Path) -> int:
    with open(path, "rb") as f:
        f.readline()
        return int(f.readline())


def read_input(path: Path, func: str) -> bytes:
    """The argument of `func` for the file: the whole file, or for
    shorten_to_pcm the payload after the header (read without a copy)."""
    with open(path, "rb") as f:
        if func == "shorten_to_pcm":
            f.seek(header_size(path))
        return f.read()


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def sf_dtype(item: dict) -> str:
    return "int32" if item.get("sample_bits") == 32 else "int16"


# ----------------------------------------------------------------------------
# Runners: each returns one sample per call: wall and CPU (user + system)
# seconds, minor faults, and for FFmpeg the wall and CPU seconds that its
# -benchmark reports.

class ModuleCall:
    kind = "in-process"

    def __init__(self, func: str, item: dict, path: Path):
        import sonavert_native
        self.name = func
        self.fn = getattr(sonavert_native, func)
        self.arg = read_input(path, func)

    def once(self) -> dict:
        f0, c0 = minor_faults(), time.thread_time()
        t0 = time.perf_counter()
        out = self.fn(self.arg)
        t1 = time.perf_counter()
        f1, c1 = minor_faults(), time.thread_time()
        del out
        return dict(seconds=t1 - t0, cpu_seconds=c1 - c0, faults=f1 - f0)


class SoundfileRead:
    name, kind = "soundfile", "in-process"

    def __init__(self, item: dict, path: Path):
        import soundfile
        self.read, self.path, self.dtype = soundfile.read, str(path), sf_dtype(item)

    def once(self) -> dict:
        f0, c0 = minor_faults(), time.thread_time()
        t0 = time.perf_counter()
        out = self.read(self.path, dtype=self.dtype)
        t1 = time.perf_counter()
        f1, c1 = minor_faults(), time.thread_time()
        del out
        return dict(seconds=t1 - t0, cpu_seconds=c1 - c0, faults=f1 - f0)


def spawn(cmd: list[str]) -> tuple[int, float, resource.struct_rusage, str]:
    """Runs `cmd`; its exit code, wall time, resource usage and stderr."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(p.pid, 0)
        t1 = time.perf_counter()
        p.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        return p.returncode, t1 - t0, usage, err.read().decode(errors="replace")


class Process:
    """A peer program converting the file to raw little-endian PCM."""
    kind = "whole process"

    def __init__(self, item: dict, path: Path):
        self.path, self.item = path, item

    def command(self, out: str) -> list[str]:
        raise NotImplementedError

    def run(self, out: str) -> tuple[int, float, resource.struct_rusage, str]:
        return spawn(self.command(out))

    def peak_kib(self) -> dict:
        """The process's peak resident memory, from one run under GNU time:
        a child of this (large) process would inherit its high-water mark."""
        code, _, _, err = spawn(["/usr/bin/time", "-f", "peak-kib %M", *self.command("/dev/null")])
        m = re.search(r"^peak-kib (\d+)$", err, re.M)
        return dict(peak_kib=int(m.group(1))) if code == 0 and m else dict(error=first_line(err))

    def once(self) -> dict:
        code, wall, usage, err = self.run("/dev/null")
        if code != 0:
            raise RuntimeError(f"{self.name} failed: {first_line(err)}")
        sample = dict(seconds=wall, cpu_seconds=usage.ru_utime + usage.ru_stime, faults=usage.ru_minflt)
        m = FFMPEG_BENCH.search(err)
        if m:
            sample["inner_seconds"] = float(m.group(3))
            sample["inner_cpu_seconds"] = float(m.group(1)) + float(m.group(2))
        return sample


class Ffmpeg(Process):
    name = "ffmpeg"

    def command(self, out: str) -> list[str]:
        bits = self.item.get("sample_bits", 16)
        return ["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-benchmark", "-f", "nistsphere",
                "-i", str(self.path), "-c:a", f"pcm_s{bits}le", "-f", f"s{bits}le", "-y", out]


class Sox(Process):
    name = "sox"

    def command(self, out: str) -> list[str]:
        bits = self.item.get("sample_bits", 16)
        return ["sox", "-D", "-t", "sph", str(self.path), "-t", "raw", "-e", "signed-integer", "-b", str(bits),
                "-L", out]


def first_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    bad = [line for line in lines if re.search(r"error|fail|not found|unsupported|invalid", line, re.I)]
    return (bad or lines or ["no message"])[-1][:160]


# ----------------------------------------------------------------------------
# Correctness of the peers against the module, once per input.

NOT_COMPARED = "read, not compared (sonavert_native cannot decode it)"


def verify(item: dict, path: Path, reference: bytes | None, scratch: Path) -> dict[str, str]:
    """Per peer: "ok" when its output equals `reference` (decode_pcm's),
    "output differs", "cannot read: <its message>", or NOT_COMPARED when
    there is no reference."""
    status = {}

    def compare(got: bytes) -> str:
        return NOT_COMPARED if reference is None else ("ok" if got == reference else "output differs")

    try:
        import soundfile
        data, _ = soundfile.read(str(path), dtype=sf_dtype(item))
        got = data.astype(data.dtype.newbyteorder("<"), copy=False).tobytes()
        status["soundfile"] = compare(got)
    except Exception as e:  # noqa: BLE001 - any failure means the peer cannot read the file
        status["soundfile"] = f"cannot read: {str(e)[:160]}"
    for peer in (Ffmpeg(item, path), Sox(item, path)):
        out = scratch / "peer-output.raw"
        code, _, _, err = peer.run(str(out))
        if code != 0:
            status[peer.name] = f"cannot read: {first_line(err)}"
        else:
            status[peer.name] = compare(out.read_bytes())
        out.unlink(missing_ok=True)
    return status


# ----------------------------------------------------------------------------
# Peak memory of one call in a fresh process.

FRESH_CALL = r"""
import json, resource, sys
sys.path.insert(0, {bench!r})
from measure import read_input, sf_dtype
func, path, dtype = sys.argv[1], sys.argv[2], sys.argv[3]
if func == "soundfile":
    import numpy, soundfile
    call = lambda: soundfile.read(path, dtype=dtype)[0].nbytes
else:
    import sonavert_native
    arg = read_input(path, func)
    fn = getattr(sonavert_native, func)
    def call():
        r = fn(arg)
        return len(r[2] if isinstance(r, tuple) else r)
def hwm():  # peak resident memory of this process so far, KiB
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("VmHWM:")).split()[1])
h0, f0 = hwm(), resource.getrusage(resource.RUSAGE_SELF).ru_minflt
n = call()
h1, f1 = hwm(), resource.getrusage(resource.RUSAGE_SELF).ru_minflt
print(json.dumps(dict(peak_kib=h1 - h0, faults=f1 - f0, out_bytes=n)))
"""


def fresh_call(func: str, item: dict, path: Path) -> dict:
    p = subprocess.run([sys.executable, "-c", FRESH_CALL.format(bench=str(Path(__file__).parent)), func,
                        str(path), sf_dtype(item)], capture_output=True, text=True)
    if p.returncode != 0:
        return dict(error=first_line(p.stderr))
    return json.loads(p.stdout)


# ----------------------------------------------------------------------------
# Instruction counts and micro-benchmarks (C++ build).

def callgrind(exe: Path, mode: str, path: Path, scratch: Path) -> dict:
    out = scratch / "callgrind.out"
    p = subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=sonavert_measured_call",
                        f"--callgrind-out-file={out}", str(exe), mode, str(path)], capture_output=True, text=True)
    if p.returncode != 0:
        own = [line for line in p.stderr.splitlines() if line.startswith(exe.name)]
        return dict(error=own[-1] if own else first_line(p.stderr))
    totals = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.M)
    out.unlink(missing_ok=True)
    return dict(instructions=int(totals.group(1)), out_bytes=int(p.stdout.split()[0]))


def micro_benchmarks(exe: Path, data: Path) -> dict:
    results = {}
    for heap, tunables in (("warm", WARM_HEAP), ("fresh", None)):
        env = dict(os.environ, SONAVERT_BENCH_DATA=str(data))
        if tunables:
            env["GLIBC_TUNABLES"] = tunables
        p = subprocess.run([str(exe), "--benchmark_format=json",
                            "--benchmark_filter=^BM_(ShortenToPcm|G711Expand|DecodePcm|Transcode)/"],
                           capture_output=True, text=True, env=env)
        if p.returncode != 0:
            results[heap] = dict(error=first_line(p.stderr))
            continue
        rows = []
        for b in json.loads(p.stdout)["benchmarks"]:
            name = b["name"].split("/min_time")[0]
            if b.get("error_occurred"):
                rows.append(dict(name=name, error=b.get("error_message", "error")))
            else:
                # items_per_second is reckoned on CPU time
                rows.append(dict(name=name, ms=b["real_time"], cpu_ms=b["cpu_time"],
                                 cpu_samples_per_s=b.get("items_per_second"), faults=b.get("faults")))
        results[heap] = rows
    return results


# ----------------------------------------------------------------------------

def fault_cost_us(size: int = 64 << 20) -> float:
    """Microseconds per first touch of a fresh anonymous 4 KiB page."""
    m = mmap.mmap(-1, size)
    t0 = time.perf_counter()
    for offset in range(0, size, PAGE):
        m[offset] = 1
    t1 = time.perf_counter()
    m.close()
    return (t1 - t0) / (size // PAGE) * 1e6


def command_line(cmd: list[str]) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def machine() -> dict:
    info = dict(python=platform.python_version(), kernel=platform.release(), cores=os.cpu_count())
    cpu = re.search(r"^model name\s*:\s*(.+)$", Path("/proc/cpuinfo").read_text(), re.M)
    info["cpu"] = cpu.group(1) if cpu else platform.processor()
    mem = re.search(r"^MemTotal:\s*(\d+) kB", Path("/proc/meminfo").read_text(), re.M)
    info["memory_gib"] = round(int(mem.group(1)) / 2**20, 1) if mem else None
    os_release = Path("/etc/os-release")
    if os_release.exists():
        m = re.search(r'^PRETTY_NAME="?([^"\n]+)', os_release.read_text(), re.M)
        info["os"] = m.group(1) if m else "unknown"
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled")
    info["transparent_hugepages"] = thp.read_text().strip() if thp.exists() else "unknown"
    info["compiler"] = command_line(["c++", "--version"])
    info["ffmpeg"] = command_line(["ffmpeg", "-version"])
    info["sox"] = command_line(["sox", "--version"])
    import numpy
    import soundfile
    info["numpy"], info["soundfile"] = numpy.__version__, soundfile.__version__
    info["libsndfile"] = soundfile.__libsndfile_version__
    return info


def summarize(samples: list[dict]) -> dict:
    out = dict(runs=len(samples), seconds=statistics.median(s["seconds"] for s in samples),
               faults=statistics.median(s["faults"] for s in samples))
    for key in ("cpu_seconds", "inner_seconds", "inner_cpu_seconds"):
        if all(key in s for s in samples):
            out[key] = statistics.median(s[key] for s in samples)
    return out


def measure_input(item: dict, data: Path, repeat: int, scratch: Path, log) -> dict:
    path = data / item["path"]
    funcs = (["shorten_to_pcm"] if item["group"] == "shorten" else []) + ["decode_pcm", "transcode"]
    result = dict(item=item, module={}, peers={}, status={})
    import sonavert_native
    reference = None
    try:
        reference = sonavert_native.decode_pcm(path.read_bytes())
    except ValueError as e:
        result["module_error"] = str(e)
        log(f"    sonavert_native cannot decode it: {e}")
    result["status"] = verify(item, path, reference, scratch)
    del reference
    # Peers whose output differs, or that cannot read the file, are not timed.
    timed = {name for name, s in result["status"].items() if s in ("ok", NOT_COMPARED)}
    runners = [] if "module_error" in result else [ModuleCall(f, item, path) for f in funcs]
    runners += [SoundfileRead(item, path)] if "soundfile" in timed else []
    runners += [cls(item, path) for cls in (Ffmpeg, Sox) if cls.name in timed]
    samples: dict[str, list[dict]] = {r.name: [] for r in runners}
    for r in runners:  # warm-up: page cache, lazy imports, allocator
        r.once()
    gc.disable()
    try:
        for _ in range(repeat):
            for r in runners:
                samples[r.name].append(r.once())
    finally:
        gc.enable()
    for r in runners:
        target = result["module"] if isinstance(r, ModuleCall) else result["peers"]
        target[r.name] = dict(kind=r.kind, **summarize(samples[r.name]))
    for func in result["module"]:
        result["module"][func]["fresh"] = fresh_call(func, item, path)
    for r in runners:
        if isinstance(r, SoundfileRead):
            result["peers"][r.name]["fresh"] = fresh_call("soundfile", item, path)
        elif isinstance(r, Process):
            result["peers"][r.name]["fresh"] = r.peak_kib()
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, required=True, help="folder made by make_inputs.py")
    parser.add_argument("--out", type=Path, required=True, help="JSON file to write")
    parser.add_argument("--build", type=Path, help="C++ build with sonavert_decode_once and sonavert_bench")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs of every runner (default 7)")
    parser.add_argument("--only", nargs="*", help="names of the inputs to measure (default: all)")
    args = parser.parse_args()

    def log(text: str) -> None:
        print(text, flush=True)

    index = json.loads((args.data / "inputs.json").read_text())
    items = [i for i in index["inputs"] if not args.only or i["name"] in args.only]
    started = time.time()
    results = dict(machine=machine(), repeat=args.repeat, load_before=os.getloadavg(),
                   fault_cost_us=fault_cost_us(), started=time.strftime("%Y-%m-%d %H:%M:%S %Z"), inputs=[])
    with tempfile.TemporaryDirectory(dir=args.data) as tmp:
        scratch = Path(tmp)
        for item in items:
            log(f"== {item['name']}")
            r = measure_input(item, args.data, args.repeat, scratch, log)
            for name, m in {**r["module"], **r["peers"]}.items():
                secs = m.get("inner_seconds", m["seconds"])
                log(f"    {name:15} {item['samples'] / secs / 1e6:9.1f} Msamples/s  ({secs * 1e3:.1f} ms)")
            results["inputs"].append(r)
        if args.build:
            exe = args.build / "bench" / "sonavert_decode_once"
            log("== instructions per sample (callgrind)")
            counts = []
            for item in items:
                modes = (["shorten_to_pcm"] if item["group"] == "shorten" else []) + ["decode_pcm"]
                for mode in modes:
                    c = callgrind(exe, mode, args.data / item["path"], scratch)
                    c.update(input=item["name"], function=mode, samples=item["samples"])
                    counts.append(c)
                    if "instructions" in c:
                        log(f"    {item['name']:20} {mode:15} {c['instructions'] / item['samples']:8.2f}")
                    else:
                        log(f"    {item['name']:20} {mode:15} {c['error']}")
            results["callgrind"] = counts
            log("== micro-benchmarks (Google Benchmark)")
            results["micro"] = micro_benchmarks(args.build / "bench" / "sonavert_bench", args.data)
    results["load_after"] = os.getloadavg()
    results["elapsed_seconds"] = time.time() - started
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(results, indent=1))
    log(f"wrote {args.out} ({results['elapsed_seconds']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
