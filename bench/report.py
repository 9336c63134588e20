"""Turns the JSON of measure.py into docs/benchmarks/: results.md (all
tables), chart.png, and README-section.md (the Performance section of the
README), which it also writes into the README between its two markers. It
states the goals and whether this run met them; it never fails because of a
number.

Usage: python bench/report.py RESULTS.json --out docs/benchmarks
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

SPH2PIPE_QUOTED = 73.0  # Msamples/s whole process; not packaged, so not measured here
SHORTEN_VS_SPH2PIPE = 3.0
SHORTEN_VS_FFMPEG = 4.0
MAX_INSTRUCTIONS_PER_SAMPLE = 28.0
COMMAND = "bash bench/run.sh"

FUNCS = ("shorten_to_pcm", "decode_pcm", "transcode")
PEER_COLUMNS = (  # (key, column title)
    ("soundfile", "soundfile (in-process)"),
    ("ffmpeg-inner", "FFmpeg `-benchmark`"),
    ("ffmpeg", "FFmpeg (process)"),
    ("sox", "SoX (process)"),
)


def rate(item: dict, m: dict | None, inner: bool = False, cpu: bool = False) -> float | None:
    """Million samples per second of a measurement, by wall-clock or by CPU
    time, or None."""
    if not m:
        return None
    seconds = m.get(("inner_" if inner else "") + ("cpu_seconds" if cpu else "seconds"))
    return item["samples"] / seconds / 1e6 if seconds else None


def rates(entry: dict, cpu: bool = False) -> dict[str, float | None]:
    item, peers = entry["item"], entry["peers"]
    out = {f: rate(item, entry["module"].get(f), cpu=cpu) for f in FUNCS}
    out["soundfile"] = rate(item, peers.get("soundfile"), cpu=cpu)
    out["ffmpeg-inner"] = rate(item, peers.get("ffmpeg"), inner=True, cpu=cpu)
    out["ffmpeg"] = rate(item, peers.get("ffmpeg"), cpu=cpu)
    out["sox"] = rate(item, peers.get("sox"), cpu=cpu)
    return out


def fmt(x: float | None, digits: int = 0) -> str:
    return "–" if x is None else f"{x:,.{digits}f}"


def ratio(a: float | None, b: float | None) -> str:
    return "–" if a is None or b is None else f"{a / b:.2f}×"


def mb(n: float | None) -> str:
    return "–" if n is None else f"{n / 1e6:.1f}"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    return lines + ["| " + " | ".join(r) + " |" for r in rows]


def cannot(entry: dict, key: str) -> str:
    status = entry["status"].get(key.replace("-inner", ""), "")
    return "n/a" if status.startswith("cannot read") else ("differs" if status == "output differs" else "–")


def speed_rows(results: dict, cpu: bool = False) -> list[list[str]]:
    rows = []
    for e in results["inputs"]:
        r = rates(e, cpu)
        cells = [e["item"]["label"]]
        cells += [fmt(r[f]) if r[f] is not None else ("error" if "module_error" in e else "–") for f in FUNCS]
        cells += [fmt(r[k]) if r[k] is not None else cannot(e, k) for k, _ in PEER_COLUMNS]
        rows.append(cells)
    return rows


def ratio_rows(results: dict) -> list[list[str]]:
    rows = []
    for e in results["inputs"]:
        r = rates(e)
        shorten = e["item"]["group"] == "shorten"
        for f in FUNCS:
            if r[f] is None:
                continue
            cells = [e["item"]["label"], f"`{f}`"] + [ratio(r[f], r[k]) for k, _ in PEER_COLUMNS]
            cells.append(ratio(r[f], SPH2PIPE_QUOTED) if shorten else "–")
            rows.append(cells)
    return rows


def memory_rows(results: dict) -> list[list[str]]:
    rows = []
    for e in results["inputs"]:
        item = e["item"]
        for name, m in [*e["module"].items(), *e["peers"].items()]:
            fresh = m.get("fresh", {})
            peak = fresh.get("peak_kib")
            peak_bytes = peak * 1024 if peak is not None else None
            label = f"`{name}`" if name in FUNCS else name
            if name in FUNCS:
                out = fresh.get("out_bytes")
                budget = 2 * out + item["file_bytes"] if out is not None else None
                rows.append([item["label"], label, mb(out), mb(peak_bytes), ratio(peak_bytes, budget),
                             fmt(m["faults"]), fmt(fresh.get("faults"))])
            elif name == "soundfile":
                rows.append([item["label"], label, mb(fresh.get("out_bytes")), mb(peak_bytes), "–", fmt(m["faults"]),
                             fmt(fresh.get("faults"))])
            else:
                rows.append([item["label"], f"{label} (whole process)", "–", mb(peak_bytes), "–", fmt(m["faults"]), "–"])
    return rows


def instruction_rows(results: dict) -> list[list[str]]:
    labels = {e["item"]["name"]: e["item"]["label"] for e in results["inputs"]}
    rows = []
    for c in results.get("callgrind", []):
        value = fmt(c["instructions"] / c["samples"], 2) if "instructions" in c else c.get("error", "error")
        rows.append([labels.get(c["input"], c["input"]), f"`{c['function']}`", value])
    return rows


def micro_rows(results: dict) -> list[list[str]]:
    micro = results.get("micro", {})
    warm, fresh = micro.get("warm", []), micro.get("fresh", [])
    if not isinstance(warm, list):
        return []
    by_name = {r["name"]: r for r in fresh} if isinstance(fresh, list) else {}

    def cells(r: dict) -> list[str]:
        if not r:
            return ["–", "–", "–"]
        if "error" in r:
            return [r["error"], "–", "–"]
        cpu_rate = r.get("cpu_samples_per_s")
        wall_rate = cpu_rate * r["cpu_ms"] / r["ms"] if cpu_rate and r["ms"] else None
        return [fmt(wall_rate / 1e6 if wall_rate else None), fmt(cpu_rate / 1e6 if cpu_rate else None),
                fmt(r.get("faults"))]
    return [[f"`{w['name']}`", *cells(w), *cells(by_name.get(w["name"], {}))] for w in warm]


def find(results: dict, name: str) -> dict | None:
    return next((e for e in results["inputs"] if e["item"]["name"] == name), None)


def goals(results: dict) -> list[str]:
    def verdict(ok: bool | None) -> str:
        return "not measured" if ok is None else ("met" if ok else "**not met**")

    lines = []
    stereo = find(results, "shorten-16k-stereo")
    if stereo:
        r = rates(stereo)
        for f in ("shorten_to_pcm", "transcode"):
            need = SHORTEN_VS_SPH2PIPE * SPH2PIPE_QUOTED
            lines.append(f"- `{f}`, Shorten 16 kHz stereo, at least {need:.0f} Msamples/s "
                         f"({SHORTEN_VS_SPH2PIPE:.0f}× sph2pipe's quoted {SPH2PIPE_QUOTED:.0f}): "
                         f"{fmt(r[f])} → {verdict(None if r[f] is None else r[f] >= need)}")
            inner = r["ffmpeg-inner"]
            ok = None if r[f] is None or inner is None else r[f] >= SHORTEN_VS_FFMPEG * inner
            lines.append(f"- `{f}`, Shorten 16 kHz stereo, at least {SHORTEN_VS_FFMPEG:.0f}× FFmpeg's in-process "
                         f"rate ({fmt(inner)}): {ratio(r[f], inner)} → {verdict(ok)}")
    counts = [c for c in results.get("callgrind", []) if c["function"] == "shorten_to_pcm"]
    for c in counts:
        per = c["instructions"] / c["samples"] if "instructions" in c else None
        lines.append(f"- Shorten decoder instructions per sample, {c['input']}, at most "
                     f"{MAX_INSTRUCTIONS_PER_SAMPLE:.0f}: {fmt(per, 2)} → "
                     f"{verdict(None if per is None else per <= MAX_INSTRUCTIONS_PER_SAMPLE)}")
    for e in results["inputs"]:
        if e["item"]["group"] != "plain":
            continue
        r = rates(e)
        for f in ("decode_pcm", "transcode"):
            sf = r["soundfile"]
            if e["status"].get("soundfile", "").startswith("cannot read"):
                lines.append(f"- `{f}`, {e['item']['label']}: soundfile cannot read this file, nothing to compare")
                continue
            ok = None if r[f] is None or sf is None else r[f] >= sf
            lines.append(f"- `{f}`, {e['item']['label']}, at least soundfile's rate ({fmt(sf)}): "
                         f"{ratio(r[f], sf)} → {verdict(ok)}")
    for e in results["inputs"]:
        for f, m in e["module"].items():
            fresh = m.get("fresh", {})
            if "peak_kib" not in fresh:
                continue
            budget = 2 * fresh["out_bytes"] + e["item"]["file_bytes"]
            peak = fresh["peak_kib"] * 1024
            lines.append(f"- memory, `{f}` on {e['item']['label']}: new peak {mb(peak)} MB, at most "
                         f"2 × output + input = {mb(budget)} MB → {verdict(peak <= budget)}")
    return lines


def machine_lines(results: dict) -> list[str]:
    m = results["machine"]
    return [
        f"- CPU: {m['cpu']}, {m['cores']} cores; memory {m['memory_gib']} GiB; {m.get('os', 'unknown')}, "
        f"Linux {m['kernel']}; transparent huge pages `{m['transparent_hugepages']}`",
        f"- first touch of a fresh 4 KiB page: {results['fault_cost_us']:.1f} µs (measured at the start of the run)",
        f"- {m['compiler']}; Python {m['python']}, numpy {m['numpy']}, soundfile {m['soundfile']} "
        f"(libsndfile {m['libsndfile']}); {m['ffmpeg'].split(' Copyright')[0]}; {m['sox'].replace('sox:', '').strip()}",
        f"- run started {results['started']}, {results['elapsed_seconds']:.0f} s; load average "
        f"{results['load_before'][0]:.2f} before, {results['load_after'][0]:.2f} after; "
        f"{results['repeat']} timed runs per runner, medians",
    ]


METHOD = """\
How to read it:
- Samples are counted over all channels; Msamples/s is million samples per second (median of the timed runs).
- `shorten_to_pcm`, `decode_pcm`, `transcode`: sonavert_native in-process, one call from the input `bytes`
  already in memory to the result object (`shorten_to_pcm` is given the Shorten payload as a bare stream).
- soundfile: in-process, `soundfile.read(path, dtype="int16")` (`int32` for 32-bit files) from the page
  cache into a numpy array.
- FFmpeg `-benchmark`: the `rtime` that `ffmpeg -benchmark` prints (demuxing, decoding and writing raw PCM
  to /dev/null; start-up excluded). FFmpeg (process), SoX (process): wall time of the whole process
  writing raw PCM to /dev/null.
- sph2pipe is not packaged for Debian and is not measured here: its ratio uses the 73 Msamples/s
  (whole process) quoted for it.
- Every peer's output was compared once with `decode_pcm`'s before timing; "n/a" marks a peer that
  cannot read the input (messages at the end). All runners take turns, run by run.
- Memory: each call once more in a fresh process; "new peak" is the growth of its peak resident memory
  (VmHWM; GNU time for the peer programs, whose figure is the whole process). Faults: minor page
  faults per call (`getrusage`), in the timed runs and in that fresh process.
"""


def write_markdown(results: dict, out: Path) -> None:
    lines = ["# Benchmarks", "", f"Reproduce with `{COMMAND}` (about ten minutes). Machine and run:", "",
             *machine_lines(results), "", METHOD,
             "## Speed (Msamples/s)", "",
             *table(["Input", *[f"`{f}`" for f in FUNCS], *[t for _, t in PEER_COLUMNS]], speed_rows(results)), "",
             "![chart](chart.png)", "",
             "## Speed by CPU time (Msamples/s)", "",
             "The same runs reckoned on the CPU time (user + system) of the calling thread, of the peer "
             "process, or that `ffmpeg -benchmark` reports. Where it is well above the table before, other "
             "processes competed for the cores during the run.", "",
             *table(["Input", *[f"`{f}`" for f in FUNCS], *[t for _, t in PEER_COLUMNS]],
                    speed_rows(results, cpu=True)), "",
             "## Ratios: sonavert_native ÷ peer", "",
             *table(["Input", "Function", *[f"÷ {t}" for _, t in PEER_COLUMNS], "÷ sph2pipe (73, quoted)"],
                    ratio_rows(results)), "",
             "## Memory and page faults per call", "",
             "Output and new peak in MB (10^6 bytes); the budget is 2 × output + input (the whole file).", "",
             *table(["Input", "Runner", "Output MB", "New peak MB", "÷ budget", "Faults (timed runs)",
                     "Faults (fresh process)"], memory_rows(results)), ""]
    if results.get("callgrind"):
        lines += ["## Instructions per sample (callgrind)", "",
                  "`valgrind --tool=callgrind`, counting only the call (allocation and release of its result "
                  "included) in `sonavert_decode_once`.", "",
                  *table(["Input", "Function", "Instructions per sample"], instruction_rows(results)), ""]
    rows = micro_rows(results)
    if rows:
        lines += ["## Micro-benchmarks (C++, Google Benchmark)", "",
                  "`sonavert_bench` on the same files. Warm: the allocator serves every block from its heap and "
                  "keeps freed memory (`GLIBC_TUNABLES=" + "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=…`), "
                  "so results land in pages touched before; fresh: glibc's defaults, which map blocks above "
                  "32 MiB afresh on every call.", "",
                  *table(["Benchmark", "Warm Msamples/s", "Warm, by CPU time", "Warm faults/call",
                          "Fresh Msamples/s", "Fresh, by CPU time", "Fresh faults/call"], rows), ""]
    lines += ["## Goals", "", *goals(results), ""]
    notes = [f"- {e['item']['label']}, {peer}: {s}" for e in results["inputs"] for peer, s in e["status"].items()
             if s.startswith("cannot read") or s == "output differs"]
    notes += [f"- {e['item']['label']}, sonavert_native: {e['module_error']}" for e in results["inputs"]
              if "module_error" in e]
    if notes:
        lines += ["## Inputs a runner cannot convert", "",
                  "A peer that cannot read an input, or whose output differs from `decode_pcm`'s, is not timed.", "",
                  *notes, ""]
    (out / "results.md").write_text("\n".join(lines))


def write_chart(results: dict, out: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    series = [("shorten_to_pcm", "sonavert shorten_to_pcm", "#1b5e20"), ("decode_pcm", "sonavert decode_pcm", "#2e7d32"),
              ("transcode", "sonavert transcode", "#66bb6a"), ("soundfile", "soundfile (in-process)", "#1565c0"),
              ("ffmpeg-inner", "FFmpeg -benchmark", "#ef6c00"), ("ffmpeg", "FFmpeg (process)", "#ffb74d"),
              ("sox", "SoX (process)", "#8e24aa")]
    groups = [("shorten", "Shorten SPHERE"), ("plain", "Plain codings")]
    fig, axes = plt.subplots(1, 2, figsize=(13, 7))
    height = 0.8 / len(series)
    for ax, (group, title) in zip(axes, groups):
        entries = [e for e in results["inputs"] if e["item"]["group"] == group]
        top = 0.0
        for k, (key, _, color) in enumerate(series):
            for i, e in enumerate(entries):
                v = rates(e)[key]
                if v is None:
                    continue
                y = i + (k - len(series) / 2 + 0.5) * height
                ax.barh(y, v, height=height, color=color)
                ax.text(v, y, f" {v:,.0f}", va="center", fontsize=6.5)
                top = max(top, v)
        if group == "shorten":
            ax.axvline(SPH2PIPE_QUOTED, color="#616161", linestyle="--", linewidth=1)
            ax.text(SPH2PIPE_QUOTED, 1.0, " sph2pipe, quoted", color="#616161", fontsize=8, va="bottom",
                    transform=ax.get_xaxis_transform())
            top = max(top, SPH2PIPE_QUOTED)
        ax.set_xlim(0, top * 1.15 if top else 1)
        ax.set_yticks(range(len(entries)))
        ax.set_yticklabels([e["item"]["label"] for e in entries], fontsize=9)
        ax.set_ylim(len(entries) - 0.5, -0.5)
        ax.set_xlabel("million samples per second (higher is better)")
        ax.set_title(title, pad=14)
        ax.grid(axis="x", alpha=0.3)
    handles = [Patch(color=color, label=label) for _, label, color in series]
    fig.legend(handles=handles, loc="lower center", ncol=4, fontsize=9, frameon=False)
    m = results["machine"]
    fig.suptitle(f"sonavert_native and peers, 10 minutes of speech per channel — {m['cpu']}, {m['cores']} cores",
                 fontsize=11)
    fig.tight_layout(rect=(0, 0.08, 1, 0.96))
    fig.savefig(out / "chart.png", dpi=90)
    plt.close(fig)


def write_readme_section(results: dict, out: Path) -> None:
    counts = [c for c in results.get("callgrind", []) if "instructions" in c and c["function"] == "shorten_to_pcm"]
    stereo = find(results, "shorten-16k-stereo")
    key = []
    if stereo and stereo["module"].get("shorten_to_pcm"):
        m = stereo["module"]["shorten_to_pcm"]
        key.append(f"- Shorten 16 kHz stereo, `shorten_to_pcm`: {fmt(rate(stereo['item'], m))} Msamples/s, "
                   f"{fmt(m['faults'])} page faults per call, new peak memory "
                   f"{mb(m.get('fresh', {}).get('peak_kib', 0) * 1024)} MB for {mb(m.get('fresh', {}).get('out_bytes'))} MB "
                   "of PCM.")
    for c in counts:
        key.append(f"- Shorten decoder, {c['input']}: {c['instructions'] / c['samples']:.1f} instructions per "
                   "sample (callgrind).")
    lines = ["## Performance", "",
             "Ten minutes of synthetic speech per channel (espeak-ng, with a low noise floor), written as SPHERE "
             "files by the project's own tools, converted by sonavert_native and by each peer that reads them, "
             "in one run. Million samples per second (all channels), median of "
             f"{results['repeat']} runs; higher is better.", "",
             "![Benchmark chart](docs/benchmarks/chart.png)", "",
             *table(["Input", *[f"`{f}`" for f in FUNCS], *[t for _, t in PEER_COLUMNS]], speed_rows(results)), "",
             "sonavert_native and soundfile run in-process (the module from `bytes` in memory to the result "
             "object; soundfile from the page cache into a numpy array); FFmpeg `-benchmark` excludes start-up; "
             "the other peers are timed as whole processes. n/a: the peer cannot read that input. "
             f"sph2pipe is not packaged; its quoted {SPH2PIPE_QUOTED:.0f} Msamples/s is the dashed line.", "",
             *key, "",
             "Measured on:", "", *machine_lines(results), "",
             "Ratios to each peer, memory, page faults per call, instruction counts, micro-benchmarks and the "
             "goals: [docs/benchmarks/results.md](docs/benchmarks/results.md). Reproduce (sets up what it needs, "
             "about ten minutes):", "", "```sh", COMMAND, "```", ""]
    (out / "README-section.md").write_text("\n".join(lines))


README_START = "<!-- performance section: written by bench/report.py -->"
README_END = "<!-- end of the performance section -->"


def update_readme(readme: Path, section: str) -> None:
    """Puts `section` between the README's two markers, in place of what
    stood there; the rest of the README is left as it is."""
    text = readme.read_text()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"{readme}: the performance section's markers are missing or out of order")
    head = text[:start + len(README_START)]
    readme.write_text(head + "\n" + section.rstrip("\n") + "\n" + text[end:])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", type=Path)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--readme", type=Path, default=Path(__file__).resolve().parents[1] / "README.md",
                        help="README whose performance section is replaced (default: the checkout's)")
    parser.add_argument("--no-readme", action="store_true", help="leave the README alone")
    args = parser.parse_args()
    results = json.loads(args.results.read_text())
    args.out.mkdir(parents=True, exist_ok=True)
    write_markdown(results, args.out)
    write_chart(results, args.out)
    write_readme_section(results, args.out)
    print(f"wrote {args.out}/results.md, chart.png, README-section.md")
    if not args.no_readme:
        update_readme(args.readme, (args.out / "README-section.md").read_text())
        print(f"wrote the performance section of {args.readme}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
