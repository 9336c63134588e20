"""Headers that real corpora hold, through every door: Switchboard-1's
sample_count over both channels, and the refusals that name their cause.
sonavert_native keeps reading such headers exactly as they stand."""

import os
import shutil
import subprocess
import sys

import pytest

import sonavert
import sonavert_native as native
from conftest import corpus_dir
from sphfiles import fields, header, pcm_bytes, pcm_file, ramp

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
COMMAND = os.environ.get("SONAVERT_SPH2PIPE") or shutil.which("sonavert-sph2pipe")
FRAMES = ramp(1000, channels=2, step=211)


def cli(*argv):
    return subprocess.run([sys.executable, "-m", "sonavert", *map(str, argv)], capture_output=True,
                          env=ENV, timeout=60)


def command(*argv):
    if COMMAND is None:
        pytest.skip("sonavert-sph2pipe is not built or installed")
    return subprocess.run([COMMAND, *map(str, argv)], capture_output=True, timeout=60)


def switchboard(frames, channels=2, extra=()):
    """The original Switchboard-1 header: sample_count counts every channel."""
    flat = [s for f in frames for s in f]
    return header(fields(channels, 8000, len(flat), 2, "pcm", "01", extra)) + pcm_bytes(flat)


def test_switchboard_count_through_every_door(tmp_path):
    old, new = tmp_path / "old.nist", tmp_path / "new.nist"
    old.write_bytes(switchboard(FRAMES))
    new.write_bytes(pcm_file(FRAMES, rate=8000))
    meta = sonavert.info(old)
    assert (meta.frames, meta.counts_every_channel, meta.fields["sample_count"]) == (1000, True, 2000)
    assert meta.as_dict()["counts_every_channel"] is True
    assert sonavert.info(new).counts_every_channel is False
    a, _ = sonavert.read(old, dtype="int16")
    b, _ = sonavert.read(new, dtype="int16")
    assert a.shape == (1000, 2) and (a == b).all()
    with sonavert.SoundFile(old) as f:
        assert f.frames == 1000
    for fmt in ("wav", "raw", "sph", "au"):
        sonavert.convert(old, tmp_path / f"old.{fmt}", format=fmt)
        sonavert.convert(new, tmp_path / f"new.{fmt}", format=fmt)
        if fmt != "sph":  # a SPHERE output carries the rest of the header over
            assert (tmp_path / f"old.{fmt}").read_bytes() == (tmp_path / f"new.{fmt}").read_bytes(), fmt
    assert b"sample_count -i 1000" in (tmp_path / "old.sph").read_bytes()[:1024]
    done = cli("convert", old, tmp_path / "cli.wav")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "cli.wav").read_bytes() == (tmp_path / "new.wav").read_bytes()
    assert b"counts every channel" in cli("info", old).stdout
    assert command(old, "-f", "wav").stdout == (tmp_path / "new.wav").read_bytes()
    # sonavert_native reads the header as it stands.
    with pytest.raises(ValueError, match="audio payload truncated: header declares 8000 bytes but only 4000"):
        native.decode_pcm(old.read_bytes())


@pytest.mark.parametrize("data", [
    switchboard(FRAMES) + b"\0\0",                            # a payload of neither size
    switchboard(FRAMES)[:-2],
    switchboard(FRAMES[:999] + [[1, 2]], channels=1)[:-2000],  # one channel
    header(fields(2, 8000, 1999, 2)) + bytes(3998),            # an odd total is no two channels'
])
def test_other_mismatches_stay_truncated(data):
    with pytest.raises(ValueError, match="audio payload truncated"):
        sonavert.read(data, dtype="int16")
    assert not sonavert.info(data).counts_every_channel


def crlf_file():
    text = ("NIST_1A\r\n   1024\r\n" + "".join(line + "\r\n" for line in fields(1, 8000, 100, 2))
            + "end_head\r\n").encode()
    return text + b" " * (1024 - len(text)) + bytes(200)


CRLF = "SPHERE header lines end in CR LF: the file was copied as text, which also alters its samples"
SEPARATE = 'channels_interleaved is "FALSE": channels stored one after another are not supported'
SHORTPACK = 'shortpack compression (sample_byte_format "shortpack-v0") is not supported'
WAVPACK = 'wavpack compression (sample_coding "pcm,embedded-wavpack1.0") is not supported'


def refused_files():
    cases = [(crlf_file(), CRLF, None),
             (pcm_file(FRAMES, extra=["channels_interleaved -s5 FALSE"]), SEPARATE, None)]
    nist = corpus_dir() / "nist"
    if nist.is_dir():
        cases += [((nist / "ex1_01sh.wav").read_bytes(), SHORTPACK, "audio payload truncated"),
                  ((nist / "ex1_01wp.wav").read_bytes(), WAVPACK, "compressed coding")]
    return cases


@pytest.mark.parametrize("data, message, native_message", refused_files())
def test_refusals_name_the_cause_at_every_door(tmp_path, data, message, native_message):
    path = tmp_path / "in.sph"
    path.write_bytes(data)
    for read in (lambda: sonavert.read(path), lambda: sonavert.read(data),
                 lambda: sonavert.convert(path, tmp_path / "out.wav"),
                 lambda: sonavert.convert(path, tmp_path / "out.au"),
                 lambda: sonavert.SoundFile(path)):
        with pytest.raises(ValueError) as caught:
            read()
        assert str(caught.value) == message
    meta = sonavert.info(path)  # the header itself reads, its samples do not
    assert (meta.bits_per_sample, meta.subtype) == (None, None)
    done = cli("convert", path, tmp_path / "cli.wav")
    assert done.returncode == 1 and done.stderr.decode().strip() == f"sonavert: {path}: {message}"
    done = command(path, "-f", "wav")
    assert done.returncode == 1 and done.stdout == b""
    assert done.stderr.decode().strip() == f"sonavert-sph2pipe: {path}: {message}"
    # sonavert_native keeps its own reading: decoded, or its own message.
    if native_message is None:
        native.decode_pcm(data)
    else:
        with pytest.raises(ValueError, match=native_message):
            native.decode_pcm(data)
