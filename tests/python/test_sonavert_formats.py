"""convert, batch and the CLI in the formats and forms of the sph2pipe-style
command: byte for byte what the command writes, on generated files and on the
real corpus; and FLAC through soundfile, lossless."""

import io
import json
import os
import shutil
import struct
import subprocess
import sys

import pytest

import sonavert
from sonavert._cli import main
from conftest import corpus_dir
from sphfiles import g711_file, pcm_file, ramp

COMMAND = os.environ.get("SONAVERT_SPH2PIPE") or shutil.which("sonavert-sph2pipe")
needs_command = pytest.mark.skipif(COMMAND is None, reason="sonavert-sph2pipe is not built or installed")

FORMATS = ["sph", "raw", "wav", "au", "aif"]
# (form given to convert, the command's flag)
FORMS = [(None, []), ("stored", []), ("pcm16", ["-p"]), ("ulaw", ["-u"]), ("alaw", ["-a"])]
# (convert's channels, start, stop; the command's options)
CHOICES = [
    ({}, []),
    ({"channels": 0}, ["-c", "1"]),
    ({"channels": [1], "start": 100, "stop": 500}, ["-c", "2", "-s", "100:500"]),
    ({"start": 250}, ["-s", "250:"]),
]


def generated(tmp_path):
    codes = bytes(range(256)) * 4  # every code, 0x7F and 0xFF (the two zeros) among them
    files = {
        "pcm16_stereo.sph": pcm_file(ramp(900, channels=2), rate=16000),
        "pcm32_stereo.sph": pcm_file([[s * 65536 + 3, -s] for (s,) in ramp(900)], bits=32),
        "pcm16be_stereo.sph": pcm_file(ramp(900, channels=2, step=13), byte_format="10"),
        "ulaw_stereo.sph": g711_file(codes, channels=2),
        "alaw_stereo.sph": g711_file(codes, channels=2, law="alaw"),
    }
    paths = []
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        paths.append(tmp_path / name)
    return paths


def corpus_files():
    files = sorted((corpus_dir() / "tidigits").glob("*.sph")) + sorted((corpus_dir() / "sox").glob("*.sph"))
    return [f for f in files if "_1" not in f.name and "mono" not in f.name]  # channel 2 is chosen


def command_output(path, fmt, flags, options):
    result = subprocess.run([COMMAND, "-f", fmt, *flags, *options, str(path)], capture_output=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def compare_all(paths):
    compared = 0
    for path in paths:
        for fmt in FORMATS:
            for form, flags in FORMS:
                if form is None and fmt in ("wav", "raw"):
                    continue  # wav and raw without a form keep their linear samples
                for kwargs, options in CHOICES:
                    out = io.BytesIO()
                    sonavert.convert(str(path), out, fmt, form=form, **kwargs)
                    assert out.getvalue() == command_output(path, fmt, flags, options), (
                        path.name, fmt, form, kwargs)
                    compared += 1
    return compared


@needs_command
def test_convert_writes_what_the_command_writes_on_generated_files(tmp_path):
    assert compare_all(generated(tmp_path)) == 5 * (3 * 5 + 2 * 4) * 4


@needs_command
def test_convert_writes_what_the_command_writes_on_the_corpus():
    files = corpus_files()
    if not files:
        pytest.skip("real SPHERE corpus not present")
    assert compare_all(files) == len(files) * (3 * 5 + 2 * 4) * 4


@needs_command
def test_cli_and_batch_write_what_the_command_writes(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    paths = generated(src)
    for fmt, flag in [("au", "-u"), ("sph", "-a"), ("aif", "-p"), ("wav", "-u")]:
        target = tmp_path / f"one.{fmt}"
        assert main(["convert", "-f", fmt, flag, "-c", "2", str(paths[0]), str(target)]) == 0
        assert target.read_bytes() == command_output(paths[0], fmt, [flag], ["-c", "2"]), fmt
    # The format follows the name; without a form the samples stay as stored.
    assert main(["convert", str(paths[3]), str(tmp_path / "g711.au")]) == 0
    assert (tmp_path / "g711.au").read_bytes() == command_output(paths[3], "au", [], [])

    result = sonavert.batch(src, tmp_path / "out", format="sph", form="ulaw", jobs=1)
    assert sorted(result.converted) == sorted(map(str, paths))
    for path in paths:
        written = (tmp_path / "out" / path.name).read_bytes()
        assert written == command_output(path, "sph", ["-u"], []), path.name
    # The record keeps the form: the same run again skips every file, another form
    # converts every one again.
    again = sonavert.batch(src, tmp_path / "out", format="sph", form="ulaw", jobs=1)
    assert len(again.skipped) == len(paths) and not again.converted
    other = sonavert.batch(src, tmp_path / "out", format="sph", form="alaw", jobs=1, start=7,
                           jsonl=tmp_path / "list.jsonl")
    assert len(other.converted) == len(paths) and not other.skipped
    for path in paths:
        written = (tmp_path / "out" / path.name).read_bytes()
        assert written == command_output(path, "sph", ["-a"], ["-s", "7:"]), path.name
    listed = [json.loads(line) for line in (tmp_path / "list.jsonl").read_text().splitlines()]
    frames = {"ulaw_stereo.sph": 512 - 7, "alaw_stereo.sph": 512 - 7}
    assert sorted((os.path.basename(e["path"]), e["frames"]) for e in listed) == sorted(
        (p.name, frames.get(p.name, 900 - 7)) for p in paths)
    capsys.readouterr()


@pytest.mark.parametrize("kwargs, message", [
    ({"format": "au", "channels": [0, 1], "start": 1},
     "this format or form keeps one channel or all of them, not 2 of 3"),
    ({"format": "raw", "form": "ulaw", "channels": [2, 0]},
     "this format or form keeps one channel or all of them, not 2 of 3"),
    ({"format": "wav", "form": "pcm8"}, "form must be one of 'stored', 'pcm16', 'ulaw', 'alaw', got 'pcm8'"),
    ({"format": "flac", "form": "ulaw"}, "FLAC holds linear samples: form 'ulaw' does not apply"),
])
def test_choices_the_writers_refuse(tmp_path, kwargs, message):
    src = tmp_path / "in.sph"
    src.write_bytes(pcm_file(ramp(20, channels=3)))
    target = tmp_path / "out"
    with pytest.raises(ValueError) as caught:
        sonavert.convert(str(src), str(target), **kwargs)
    assert str(caught.value) == message
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph"]


def test_a_bad_file_writes_nothing(tmp_path):
    src = tmp_path / "in.sph"
    src.write_bytes(pcm_file(ramp(20))[:-1])  # one byte short
    target = tmp_path / "out.au"
    target.write_bytes(b"old")
    with pytest.raises(ValueError) as caught:
        sonavert.convert(str(src), str(target), form="ulaw")
    assert str(caught.value) == "audio payload truncated: header declares 40 bytes but only 39 present"
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph", "out.au"]


def test_flac_round_trip_is_lossless(tmp_path):
    soundfile = pytest.importorskip("soundfile")
    numpy = pytest.importorskip("numpy")
    paths = generated(tmp_path)
    paths += [f for f in sorted((corpus_dir() / "tidigits").glob("*.sph"))]
    for path in paths:
        target = tmp_path / (path.stem + ".flac")
        form = "pcm16" if "pcm32" in path.name else None
        sonavert.convert(str(path), str(target), form=form)
        samples, rate = soundfile.read(str(target), dtype="int16", always_2d=True)
        expected, expected_rate = sonavert.read(str(path), dtype="int16", always_2d=True)
        assert rate == expected_rate, path.name
        numpy.testing.assert_array_equal(samples, expected, err_msg=path.name)
    # A range and a channel, through the CLI.
    assert main(["convert", "-f", "flac", "-c", "2", "-s", "10:30", str(paths[0]),
                 str(tmp_path / "part.flac")]) == 0
    part, _ = soundfile.read(str(tmp_path / "part.flac"), dtype="int16", always_2d=True)
    whole, _ = sonavert.read(str(paths[0]), dtype="int16", always_2d=True)
    numpy.testing.assert_array_equal(part[:, 0], whole[10:30, 1])


def test_flac_of_32_bit_samples_needs_fewer_bits(tmp_path):
    src = tmp_path / "in.sph"
    src.write_bytes(pcm_file([[1 << 20]], bits=32))
    with pytest.raises(ValueError) as caught:
        sonavert.convert(str(src), str(tmp_path / "out.flac"))
    assert str(caught.value) == ("FLAC keeps at most 24 bits a sample: give form 'pcm16' for the "
                                 "top 16 bits of this 32-bit file")


def test_flac_without_soundfile_says_how_to_get_it(tmp_path, monkeypatch, capsys):
    src = tmp_path / "in.sph"
    src.write_bytes(pcm_file(ramp(20)))
    monkeypatch.setitem(sys.modules, "soundfile", None)  # import fails
    with pytest.raises(ImportError) as caught:
        sonavert.convert(str(src), str(tmp_path / "out.flac"))
    assert str(caught.value) == 'FLAC output needs soundfile: pip install "sonavert[flac]"'
    assert main(["convert", str(src), str(tmp_path / "out.flac")]) == 1
    assert capsys.readouterr().err == (
        f'sonavert: {src}: FLAC output needs soundfile: pip install "sonavert[flac]"\n')
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph"]


def test_writes_from_many_threads_agree(tmp_path):
    """The core writes without the interpreter lock, taking it only to make
    and free its buffers: threads at once get the same files as one alone."""
    from concurrent.futures import ThreadPoolExecutor

    paths = generated(tmp_path)
    jobs = [(p, fmt, form) for p in paths for fmt in FORMATS for form, _ in FORMS[1:]]

    def one(job):
        path, fmt, form = job
        out = io.BytesIO()
        sonavert.convert(str(path), out, fmt, form=form, start=3)
        return out.getvalue()

    alone = [one(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(one, jobs)) == alone


@pytest.mark.parametrize("args, error, message", [
    (("mp3", "stored", None, 0, 10), ValueError, "unknown format"),
    (("au", "pcm8", None, 0, 10), ValueError, "unknown form"),
    (("au", "ulaw", None, -1, 10), OverflowError, None),
    (("au", "ulaw", "0", 0, 10), TypeError, "argument 'channel' must be an int"),
    (("au", "ulaw", 2, 0, 10), ValueError, "channel 3 requested, but the file has 2 channels"),
    (("au", "ulaw", None, 21, 1), ValueError,
     "range starts at sample 21, after the end of the file (20 samples)"),
])
def test_core_write_refuses_bad_arguments(args, error, message):
    from sonavert._source import core

    data = pcm_file(ramp(20, channels=2))
    with pytest.raises(error) as caught:
        core.write(data, *args)
    if message is not None:
        assert str(caught.value) == message
    # Frames past the end are cut, as slices cut them.
    assert core.write(data, "raw", "stored", 1, 15, 100) == core.write(data, "raw", "stored", 1, 15, 5)
