"""Checksums: sonavert.verify, `sonavert verify` and `batch --verify`, on
made files and on NIST's own test files."""

import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import sonavert
from conftest import corpus_dir
from sphfiles import fields, g711_file, header, pcm_file, ramp

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
NIST = corpus_dir() / "nist"


def cli(*argv):
    return subprocess.run([sys.executable, "-m", "sonavert", *map(str, argv)], capture_output=True,
                          text=True, env=ENV, timeout=120)


def checksum(values):
    return sum(v & 0xFFFF for v in values) % 65536


def with_checksum(frames, value=None, byte_format="01"):
    flat = [s for f in frames for s in f]
    value = checksum(flat) if value is None else value
    return pcm_file(frames, byte_format=byte_format, extra=[f"sample_checksum -i {value}"])


FRAMES = ramp(3000, channels=2, step=113)


@pytest.mark.parametrize("data, status", [
    (with_checksum(FRAMES), "ok"),
    (with_checksum(FRAMES, byte_format="10"), "ok"),
    (with_checksum(FRAMES, value=checksum(s for f in FRAMES for s in f) ^ 1), "corrupt"),
    (pcm_file(FRAMES), "unchecked"),
    (pcm_file(FRAMES, bits=32, extra=["sample_checksum -i 5"]), "unchecked"),
    (g711_file(bytes(range(256)) * 4, channels=2), "unchecked"),
    (pcm_file(FRAMES)[:-3], "corrupt"),
    (b"RIFF" + bytes(100), "unreadable"),
    (pcm_file(FRAMES, extra=["sample_checksum -s3 abc"]), "corrupt"),
])
def test_verify_states(data, status):
    result = sonavert.verify(data)
    assert result.status == status, result
    assert result.ok == (status in ("ok", "unchecked"))
    assert (result.message == "") == (status == "ok")


@pytest.mark.parametrize("law", ["ulaw", "alaw"])
def test_g711_sums_code_bytes(law):
    codes = bytes((i * 37) % 256 for i in range(1000))
    for value, status in ((sum(codes) % 65536, "ok"), ((sum(codes) + 1) % 65536, "corrupt")):
        data = header(fields(2, 8000, 500, 1, law, "1", [f"sample_checksum -i {value}"])) + codes
        assert sonavert.verify(data).status == status


def test_mismatch_names_both_sums():
    good = checksum(s for f in FRAMES for s in f)
    result = sonavert.verify(with_checksum(FRAMES, value=(good + 3) % 65536))
    assert result.status == "corrupt"
    assert (result.checksum, result.computed) == ((good + 3) % 65536, good)
    assert result.message == (f"sample_checksum mismatch: the header says {(good + 3) % 65536}, "
                              f"the samples sum to {good}")


def test_verify_of_a_path_and_of_a_missing_file(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(with_checksum(FRAMES))
    assert sonavert.verify(str(path)).status == "ok"
    assert sonavert.verify(path).name == str(path)  # named as SoundFile.name names it
    with pytest.raises(FileNotFoundError):
        sonavert.verify(str(tmp_path / "missing.sph"))


def test_command_lists_bad_files_in_order_and_exits_1(tmp_path):
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "a.sph").write_bytes(with_checksum(FRAMES))
    (tree / "sub" / "b.wav").write_bytes(with_checksum(FRAMES, value=1))
    (tree / "sub" / "c.sph").write_bytes(pcm_file(FRAMES))
    (tree / "notes.txt").write_text("not audio")  # passed over: no SPHERE magic
    given = tmp_path / "given.txt"
    given.write_text("not audio")  # named: unreadable
    done = cli("verify", "-j", "1", tree, given)
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert lines == [f"{tree / 'sub' / 'b.wav'}: corrupt: sample_checksum mismatch: the header says 1, "
                     f"the samples sum to {checksum(s for f in FRAMES for s in f)}",
                     f"{given}: unreadable: not a NIST SPHERE file (missing 'NIST_1A' magic)"]
    assert done.stderr.startswith("sonavert: 1 ok, 1 unchecked, 1 corrupt, 1 unreadable (4 files in ")

    done = cli("verify", "--json", "-j", "2", tree)
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(Path(r["file"]).name, r["status"]) for r in records] == [
        ("a.sph", "ok"), ("b.wav", "corrupt"), ("c.sph", "unchecked")]
    assert done.returncode == 1

    good = cli("verify", tree / "a.sph", tree / "sub" / "c.sph")
    assert (good.returncode, good.stdout) == (0, "")


def test_batch_verify_fails_corrupt_sources(tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.mkdir()
    (src / "good.sph").write_bytes(with_checksum(FRAMES))
    (src / "bad.sph").write_bytes(with_checksum(FRAMES, value=7))
    result = sonavert.batch(src, dst, jobs=1, verify=True)
    assert result.converted == [str(src / "good.sph")]
    assert [(Path(p).name, m.split(":")[0]) for p, m in result.failed] == [("bad.sph", "sample_checksum mismatch")]
    assert not (dst / "bad.wav").exists()
    done = cli("batch", "--verify", "--overwrite", "-j", "2", src, dst)
    assert done.returncode == 1 and "bad.sph: sample_checksum mismatch" in done.stderr
    assert sonavert.batch(src, tmp_path / "plain", jobs=1).failed == []


# --- NIST's test files -----------------------------------------------------------------

def nist_files():
    if not NIST.is_dir():
        pytest.skip("real SPHERE corpus not present")
    return sorted(NIST.iterdir())


def refusal(name):
    """What the refusal of one of the files no door reads must name."""
    if name.endswith(".wvc"):
        return "truncated"  # corrupted copies, cut short
    if name in ("ex1_01sh.wav", "ex1_10sh.wav"):
        return "shortpack compression"
    if "wp" in name:
        return "wavpack compression"
    return None


def test_every_nist_file_with_a_checksum_verifies():
    failures = []
    for path in nist_files():
        result = sonavert.verify(str(path))
        cause = refusal(path.name)
        if cause is not None:
            if result.ok or cause not in result.message:
                failures.append((path.name, result.status, result.message))
        elif result.status != ("ok" if b"sample_checksum" in path.read_bytes()[:1024] else "unchecked"):
            failures.append((path.name, result.status, result.message))
    assert failures == []


def test_a_flipped_payload_bit_is_reported_with_the_file_name(tmp_path):
    rng = random.Random(19)
    flipped = []
    for path in nist_files():
        data = path.read_bytes()
        if sonavert.verify(data).status != "ok":
            continue
        size = int(data[8:16])
        # Any byte of the samples (a Shorten stream's last bytes may be padding).
        end = len(data) - (8 if b"shorten" in data[:size] else 0)
        at = rng.randrange(size, end)
        damaged = bytearray(data)
        damaged[at] ^= 1 << rng.randrange(8)
        target = tmp_path / path.name
        target.write_bytes(bytes(damaged))
        flipped.append(target)
    assert len(flipped) >= 20
    done = cli("verify", "-j", "1", tmp_path)
    assert done.returncode == 1
    named = {line.split(": ")[0] for line in done.stdout.splitlines()}
    assert named == {str(p) for p in flipped}
