"""The benchmark suite (bench/): the report's arithmetic and verdicts on
hand-made results, and one short end-to-end run on three-second inputs that
checks what each peer can read and that every runner produced numbers."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))

import report  # noqa: E402


def entry(name: str, group: str, samples: int, module: dict, peers: dict, status: dict | None = None) -> dict:
    item = dict(name=name, label=name, group=group, samples=samples, file_bytes=1_000_000)
    return dict(item=item, module=module, peers=peers, status=status or {})


def timed(seconds: float, **extra) -> dict:
    return dict(kind="in-process", runs=3, seconds=seconds, faults=0, **extra)


STEREO = 19_200_000


@pytest.mark.parametrize(
    "seconds, ffmpeg_inner, expected",
    [
        # 19.2 M samples in 0.08 s = 240 Msamples/s: above 3 x 73, and 4.8 x FFmpeg's 50.
        (0.08, 0.384, ["met", "met"]),
        # 200 Msamples/s: below 219; 4.0 x FFmpeg's 50 exactly is enough.
        (0.096, 0.384, ["**not met**", "met"]),
        # 240 Msamples/s against an FFmpeg of 64: 3.75 x, not 4.
        (0.08, 0.3, ["met", "**not met**"]),
    ],
)
def test_shorten_goals(seconds, ffmpeg_inner, expected):
    e = entry("shorten-16k-stereo", "shorten", STEREO, {"shorten_to_pcm": timed(seconds)},
              {"ffmpeg": dict(kind="whole process", runs=3, seconds=0.5, faults=0, inner_seconds=ffmpeg_inner)})
    lines = [line for line in report.goals(dict(inputs=[e])) if "`shorten_to_pcm`" in line]
    assert [line.rsplit("→ ", 1)[1] for line in lines] == expected


def test_plain_goal_and_ratios_against_soundfile():
    e = entry("pcm16le", "plain", STEREO, {"decode_pcm": timed(0.02), "transcode": timed(0.04)},
              {"soundfile": timed(0.03)})
    goals = report.goals(dict(inputs=[e]))
    assert [g.rsplit("→ ", 1)[1] for g in goals] == ["met", "**not met**"]
    rows = report.ratio_rows(dict(inputs=[e]))
    assert [(r[1], r[2]) for r in rows] == [("`decode_pcm`", "1.50×"), ("`transcode`", "0.75×")]


def test_memory_budget_is_twice_the_output_plus_the_input():
    out = 4_000_000
    within = timed(0.01, fresh=dict(peak_kib=(2 * out + 1_000_000) // 1024, faults=10, out_bytes=out))
    over = timed(0.01, fresh=dict(peak_kib=(2 * out + 1_000_000) // 1024 + 1, faults=10, out_bytes=out))
    e = entry("ulaw", "plain", 2 * out, {"decode_pcm": within, "transcode": over}, {})
    memory = [g for g in report.goals(dict(inputs=[e])) if g.startswith("- memory")]
    assert [g.rsplit("→ ", 1)[1] for g in memory] == ["met", "**not met**"]


def test_speed_table_marks_unreadable_inputs_and_module_errors():
    e = entry("shorten-ulaw-8k", "shorten", 9_600_000, {}, {},
              status=dict(soundfile="cannot read: x", ffmpeg="cannot read: y", sox="output differs"))
    e["module_error"] = "broken"
    assert report.speed_rows(dict(inputs=[e])) == [
        ["shorten-ulaw-8k", "error", "error", "error", "n/a", "n/a", "n/a", "differs"]]


# ----------------------------------------------------------------------------
# End to end, on short inputs.

def tools_dir() -> Path | None:
    candidates = [os.environ.get("SONAVERT_TOOLS"), REPO / "build" / "tests", REPO / "build" / "bench"]
    return next((Path(c) for c in candidates if c and (Path(c) / "sphere_write").exists()), None)


@pytest.fixture(scope="module")
def short_run(tmp_path_factory) -> dict:
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # The tools it starts would inherit the sanitizer runtime, and timings
        # of a sanitized build mean nothing.
        pytest.skip("the benchmark run is not made against a sanitized build")
    missing = [p for p in ("espeak-ng", "sox", "ffmpeg") if shutil.which(p) is None]
    if missing or tools_dir() is None:
        pytest.skip(f"needs {', '.join(missing) or 'the sphere_write tool (set SONAVERT_TOOLS)'}")
    data = tmp_path_factory.mktemp("bench-data")
    subprocess.run([sys.executable, str(REPO / "bench" / "make_inputs.py"), "--tools", str(tools_dir()),
                    "--out", str(data), "--seconds", "3"], check=True, capture_output=True)
    out = data / "results.json"
    subprocess.run([sys.executable, str(REPO / "bench" / "measure.py"), "--data", str(data), "--out", str(out),
                    "--repeat", "1"], check=True, capture_output=True)
    return json.loads(out.read_text())


# What each peer can read, as the installed versions behave.
PEER_CAN_READ = [
    ("shorten-16k-stereo", "ffmpeg", True),
    ("shorten-16k-stereo", "sox", False),
    ("shorten-16k-stereo", "soundfile", False),
    ("shorten-ulaw-8k", "ffmpeg", False),  # FFmpeg has no mu-law Shorten
    ("pcm16be", "soundfile", True),
    ("pcm16be", "sox", True),
    ("pcm32le", "soundfile", False),
    ("pcm32be", "ffmpeg", True),
    ("alaw", "sox", False),
    ("alaw", "soundfile", True),
]


@pytest.mark.parametrize("name, peer, can_read", PEER_CAN_READ)
def test_peer_reads_input(short_run, name, peer, can_read):
    e = next(e for e in short_run["inputs"] if e["item"]["name"] == name)
    status = e["status"][peer]
    assert (not status.startswith("cannot read")) == can_read, status
    assert status != "output differs"
    assert (peer in e["peers"]) == can_read


def test_inputs_are_as_described(short_run):
    items = {e["item"]["name"]: e["item"] for e in short_run["inputs"]}
    assert sorted(items) == sorted(["shorten-16k-mono", "shorten-16k-stereo", "shorten-ulaw-8k", "pcm16le",
                                    "pcm16be", "pcm32le", "pcm32be", "ulaw", "alaw"])
    assert items["shorten-16k-stereo"]["samples"] == 2 * 3 * 16000
    assert items["shorten-ulaw-8k"]["samples"] == 2 * 3 * 8000
    # Shorten compresses the speech; the plain files hold every sample.
    assert items["shorten-16k-stereo"]["file_bytes"] < items["pcm16le"]["file_bytes"]
    assert items["pcm32be"]["file_bytes"] == 1024 + 4 * items["pcm32be"]["samples"]


def test_module_is_timed_with_memory_and_faults(short_run):
    for e in short_run["inputs"]:
        if "module_error" in e:
            continue
        funcs = {"decode_pcm", "transcode"} | ({"shorten_to_pcm"} if e["item"]["group"] == "shorten" else set())
        assert set(e["module"]) == funcs
        for m in e["module"].values():
            assert m["seconds"] > 0
            assert m["fresh"]["out_bytes"] >= e["item"]["pcm_bytes"]
            assert m["fresh"]["peak_kib"] >= 0


def test_report_from_a_real_run(short_run, tmp_path):
    pytest.importorskip("matplotlib")
    source = tmp_path / "results.json"
    source.write_text(json.dumps(short_run))
    subprocess.run([sys.executable, str(REPO / "bench" / "report.py"), str(source), "--out", str(tmp_path)],
                   check=True, capture_output=True)
    text = (tmp_path / "results.md").read_text()
    for e in short_run["inputs"]:
        assert f"| {e['item']['label']} |" in text
    assert (tmp_path / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "bash bench/run.sh" in (tmp_path / "README-section.md").read_text()


@pytest.mark.parametrize("before, after", [
    ("intro\n" + report.README_START + "\nold\nlines\n" + report.README_END + "\nrest\n",
     "intro\n" + report.README_START + "\n## Performance\nnew\n" + report.README_END + "\nrest\n"),
    (report.README_START + report.README_END,
     report.README_START + "\n## Performance\nnew\n" + report.README_END),
])
def test_report_writes_the_readme_section_between_its_markers(tmp_path, before, after):
    readme = tmp_path / "README.md"
    readme.write_text(before)
    report.update_readme(readme, "## Performance\nnew\n\n")
    assert readme.read_text() == after
    report.update_readme(readme, "## Performance\nnew\n")  # the same section again changes nothing
    assert readme.read_text() == after


@pytest.mark.parametrize("text", ["no markers", report.README_END + " " + report.README_START,
                                  report.README_START + " only the start"])
def test_report_refuses_a_readme_without_its_markers(tmp_path, text):
    readme = tmp_path / "README.md"
    readme.write_text(text)
    with pytest.raises(SystemExit, match="markers"):
        report.update_readme(readme, "## Performance\n")
    assert readme.read_text() == text
