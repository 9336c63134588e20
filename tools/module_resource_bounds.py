"""Peak memory and time of the module's functions on the hostile inputs that
`resource_bounds --write DIR` writes (one file per case, named
"<case> - <function>"). Each call runs in a fresh interpreter; its memory is
the peak resident size during the call above the size before it (the input,
already read, is not counted), and the result object is included. What a
call returns is its result, or the message of its ValueError.

usage: python tools/module_resource_bounds.py DIR
"""

import subprocess
import sys
from pathlib import Path

CHILD = r"""
import gc, resource, sys, time
import sonavert_native as sv

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])

data = open(sys.argv[1], "rb").read()
function = getattr(sv, sys.argv[2])
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = status("VmRSS")
t0, c0 = time.perf_counter(), time.process_time()
try:
    result = function(data)
    size = len(result[2]) if isinstance(result, tuple) else len(result)
    outcome = str(size)
except ValueError as e:
    outcome = "error: " + str(e)[:57]
    size = len(str(e).encode())
cpu = time.process_time() - c0
print(status("VmHWM") - start, "%.3f" % cpu, size, outcome, sep="\t")
"""


def size_text(n):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return "%.2f %s" % (n / scale, unit) if unit == "GiB" else "%.1f %s" % (n / scale, unit)
    return "%d B" % n


def main(folder):
    print("| input | function | input size | result | peak memory | bound 2 x output + input | CPU time |")
    print("|---|---|---|---|---|---|---|")
    for path in sorted(Path(folder).iterdir(), key=lambda p: p.stat().st_mtime):
        case, _, entry = path.name.rpartition("_-_")
        function = {"shorten_to_pcm": "shorten_to_pcm", "decode_pcm": "decode_pcm",
                    "transcode": "transcode"}.get(entry)
        if function is None:
            continue
        out = subprocess.run([sys.executable, "-c", CHILD, str(path), function],
                             capture_output=True, text=True)
        if out.returncode != 0:
            print(f"| {case} | {function} | failed: {out.stderr.strip()[-200:]} |")
            continue
        peak_kib, cpu, returned, outcome = out.stdout.rstrip("\n").split("\t", 3)
        size = path.stat().st_size
        output = int(returned)
        peak = int(peak_kib) * 1024
        bound = 2 * output + size
        flag = "" if peak <= bound + (4 << 20) else " (exceeded)"
        result = size_text(output) if outcome.isdigit() else f"{outcome[:6]} ({size_text(output)}): {outcome[7:]}"
        print(f"| {case.replace('_', ' ')} | {function} | {size_text(size)} | {result} | {size_text(peak)} "
              f"| {size_text(bound)}{flag} | {cpu} s |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1])
