"""The sonavert-sph2pipe command as a process: the whole recorded table of the
converter it stands in for, its errors, and the pipelines that call it (a
Kaldi-style wav.scp, and a symlink named sph2pipe on PATH)."""

import base64
import hashlib
import io
import json
import os
import shlex
import shutil
import signal
import subprocess
import wave
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import sonavert
from boundary_cases import (PACKAGE_ONLY, SHORTEN_CODING, UNREACHED, as_the_package_reads, catalogue, catalogued, fields,
                            sphere, value_error_calls)
from conftest import corpus_dir
from sphfiles import pcm_file, ramp

COMMAND = os.environ.get("SONAVERT_SPH2PIPE") or shutil.which("sonavert-sph2pipe")
pytestmark = pytest.mark.skipif(COMMAND is None, reason="sonavert-sph2pipe is not built or installed")
PROGRAM = "sonavert-sph2pipe"


def run(args, **kwargs):
    return subprocess.run([COMMAND, *args], capture_output=True, **kwargs)


def corpus_path(name):
    return corpus_dir() / ("tidigits" if name.startswith("123_") else "sox") / name


@pytest.fixture(scope="module")
def recorded():
    table = corpus_dir() / "sph2pipe_outputs.json"
    if not table.is_file():
        pytest.skip("recorded outputs not present")
    return json.loads(table.read_text())["expected"]


def is_mono(name):
    return "_1" in name or "mono" in name


def alaw_output(name, words):
    linear = "-p" in words or "aif" in words
    return not linear and ("-a" in words or (name == "123_2alaw.sph" and "-u" not in words))


def test_replays_the_whole_recorded_table(recorded):
    rows = [(name, options, row) for name, by_options in recorded.items() for options, row in by_options.items()]
    assert len(rows) == 5280

    def replay(item):
        name, options, row = item
        return item, run(options.split() + [str(corpus_path(name))])

    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(replay, rows))

    channel_errors = 0
    for (name, options, row), result in results:
        words = options.split()
        where = f"{name} {options}"
        if is_mono(name) and "2" in words:
            # Recorded: channel 1 with exit 0. Here: one line and exit 1.
            assert result.returncode == 1, where
            assert result.stdout == b"", where
            assert result.stderr.decode() == (
                f"{PROGRAM}: {corpus_path(name)}: channel 2 requested, but the file has 1 channel\n"), where
            channel_errors += 1
            continue
        assert result.returncode == row["exit"] == 0, (where, result.stderr)
        assert result.stderr == b"", where
        out = result.stdout
        if "au" in words and alaw_output(name, words):
            # Recorded with the mu-law encoding number (1); A-law is 27.
            assert out[12:16] == b"\x00\x00\x00\x1b", where
            out = out[:12] + b"\x00\x00\x00\x01" + out[16:]
        if "base64" in row:
            assert out == base64.b64decode(row["base64"]), where
        else:
            assert len(out) == row["bytes"], where
            assert hashlib.sha256(out).hexdigest() == row["sha256"], where
    assert channel_errors == 5 * 4 * 5 * 8  # mono files x forms x formats x ranges


def test_every_catalogued_decoding_message_is_one_line_and_exit_1(tmp_path):
    cases = [(data, message, []) for name, (data,), message in value_error_calls() if name == "decode_pcm"]
    cases += [(data, message, ["-f", "wav"]) for name, (data,), message in value_error_calls()
              if name == "transcode" and "WAV" in message]
    cases += [(sphere(fields(4, coding=SHORTEN_CODING), data), message, ["-f", "raw", "-p"])
              for name, (data,), message in value_error_calls() if name == "shorten_to_pcm"]
    reached = set()
    patterns = catalogue()
    for i, (data, message, options) in enumerate(cases):
        message = as_the_package_reads(message, data)
        if message is None:  # read by the command (test_corpora_variants.py)
            continue
        source = tmp_path / f"in{i}.sph"
        source.write_bytes(data)
        target = tmp_path / f"out{i}.wav"
        for outfile in ([], [str(target)]):
            result = run(options + [str(source)] + outfile)
            assert result.returncode == 1, message
            assert result.stdout == b"", message
            assert result.stderr.decode() == f"{PROGRAM}: {source}: {message}\n"
            assert not target.exists(), message
        reached.update(catalogued(message, patterns))
    # The command reads both Shorten versions: the native module's refusals
    # of other versions and types become those of the reader of both.
    strict_only = {"shorten version {n} not supported (only v2 is validated)",
                   "shorten sample type {n} not supported (16-bit PCM and mu-law only)"}
    assert set(patterns) - reached == (UNREACHED - PACKAGE_ONLY) | strict_only
    written = [i for i, (data, message, _) in enumerate(cases) if as_the_package_reads(message, data) is not None]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"in{i}.sph" for i in written)


def test_bad_command_lines_print_the_usage(tmp_path):
    source = tmp_path / "in.sph"
    source.write_bytes(pcm_file(ramp(10)))
    for args in ([], ["-f", "flac", str(source)], ["-c", "3", str(source)], ["-t", "-1:2", str(source)],
                 ["-t", "1", str(source)], ["-s", "1.5:2", str(source)], ["-q", str(source)],
                 [str(source), "a", "b"]):
        result = run(args)
        assert result.returncode == 1, args
        assert result.stdout == b"", args
        assert result.stderr.decode().startswith(f"usage: {PROGRAM} [-h hdrfile] [-t|-s b:e] [-c 1|2]"), args
        assert result.stderr.count(b"\n") == 1, args


def test_getopt_command_lines_give_the_outputs_of_their_plain_forms(tmp_path):
    source = tmp_path / "in.sph"
    source.write_bytes(pcm_file(ramp(400, channels=2), rate=8000))
    name = str(source)
    pairs = [
        ([name, "-f", "wav", "-c", "1", "-p"], ["-f", "wav", "-c", "1", "-p", name]),
        (["-p", "-u", name], ["-u", name]),
        (["-pu", "-fWAVE", name], ["-u", "-f", "wav", name]),
        (["-t", "0.01:0.02", "-t", "0.02:0.03", name], ["-t", "0.02:0.03", name]),
        (["-c", "2", name, "-c", "1", "-f", "AIFF"], ["-c", "1", "-f", "aif", name]),
        (["-f", "riff", name], ["-f", "wav", name]),
        (["-f", "Au", name], ["-f", "au", name]),
    ]
    for given, plain in pairs:
        got, expected = run(given), run(plain)
        assert (got.returncode, expected.returncode) == (0, 0), (given, got.stderr)
        assert got.stdout == expected.stdout and got.stdout, given


def test_file_and_range_errors_write_nothing(tmp_path):
    source = tmp_path / "in.sph"
    source.write_bytes(pcm_file(ramp(100, channels=2), rate=1000))
    target = tmp_path / "out.raw"
    target.write_bytes(b"old")
    cases = [
        (["-s", "101:"], f"{source}: range starts at sample 101, after the end of the file (100 samples)"),
        (["-t", "0.05:0.01"], f"{source}: range ends at sample 10, before its start at sample 50"),
        ([], None),  # a missing input: the system's message
    ]
    for options, message in cases:
        path = source if message else tmp_path / "missing.sph"
        result = run(options + [str(path), str(target)])
        assert result.returncode == 1
        assert result.stdout == b""
        expected = message or f"{path}: No such file or directory"
        assert result.stderr.decode() == f"{PROGRAM}: {expected}\n"
        assert target.read_bytes() == b"old"
    result = run([str(tmp_path)])
    assert result.returncode == 1 and result.stderr.decode() == f"{PROGRAM}: {tmp_path}: Is a directory\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph", "out.raw"]


def test_outfile_replaces_the_old_one_whole(tmp_path):
    source = tmp_path / "in.sph"
    frames = ramp(50, channels=2)
    source.write_bytes(pcm_file(frames, rate=8000))
    target = tmp_path / "out.raw"
    target.write_bytes(b"old contents")
    result = run(["-f", "raw", "-c", "2", "-s", "10:20", str(source), str(target)])
    assert result.returncode == 0 and result.stdout == b"" and result.stderr == b""
    expected = b"".join(f[1].to_bytes(2, "little", signed=True) for f in frames[10:20])
    assert target.read_bytes() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph", "out.raw"]
    # A symlink is followed: its target gets the output, the link stays a link.
    link = tmp_path / "link.raw"
    link.symlink_to(target)
    assert run(["-f", "raw", "-c", "1", str(source), str(link)]).returncode == 0
    assert link.is_symlink()
    assert target.read_bytes() == b"".join(f[0].to_bytes(2, "little", signed=True) for f in frames)
    link.unlink()
    # A device is written in place, never renamed over.
    assert run([str(source), os.devnull]).returncode == 0
    assert Path(os.devnull).is_char_device()
    # An outfile in a folder that cannot be written: one line, exit 1.
    result = run([str(source), str(tmp_path / "no" / "such" / "out.sph")])
    assert result.returncode == 1 and result.stderr.decode().startswith(f"{PROGRAM}: {tmp_path / 'no'}")


def test_a_closed_standard_output_ends_by_sigpipe(tmp_path):
    source = tmp_path / "in.sph"
    source.write_bytes(pcm_file(ramp(200000), rate=16000))  # more than a pipe buffer
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = subprocess.run([COMMAND, str(source)], stdout=writer, stderr=subprocess.PIPE)
    finally:
        os.close(writer)
    assert result.returncode == -signal.SIGPIPE
    assert result.stderr == b""


def test_header_from_another_file(tmp_path):
    frames = ramp(40, channels=2)
    donor = pcm_file(frames, rate=8000)
    (tmp_path / "header.sph").write_bytes(donor)
    (tmp_path / "data.raw").write_bytes(donor[1024:])
    result = run(["-h", str(tmp_path / "header.sph"), "-f", "wav", str(tmp_path / "data.raw")])
    assert result.returncode == 0, result.stderr
    assert result.stdout == run(["-f", "wav", str(tmp_path / "header.sph")]).stdout
    # Samples shorter than the header declares: the truncation message, naming the data.
    (tmp_path / "short.raw").write_bytes(donor[1024:-1])
    result = run(["-h", str(tmp_path / "header.sph"), str(tmp_path / "short.raw")])
    assert result.returncode == 1
    assert result.stderr.decode() == (f"{PROGRAM}: {tmp_path / 'short.raw'}: audio payload truncated: header "
                                      f"declares 160 bytes but only 159 present\n")


def wav_samples(data):
    numpy = pytest.importorskip("numpy")
    with wave.open(io.BytesIO(data)) as w:
        assert w.getsampwidth() == 2
        return numpy.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels())


def scp_read(line):
    """What a Kaldi-style reader does with one wav.scp line: run the command
    before the final '|' through the shell and read its output as WAV."""
    key, command = line.split(" ", 1)
    assert command.endswith("|")
    return key, subprocess.run(command[:-1], shell=True, check=True, stdout=subprocess.PIPE).stdout


def readable_corpus_files():
    files = sorted((corpus_dir() / "tidigits").glob("*.sph")) + sorted((corpus_dir() / "sox").glob("*.sph"))
    if not files:
        pytest.skip("real SPHERE corpus not present")
    return files


def test_kaldi_wav_scp_gives_the_audio_of_sonavert_read(tmp_path):
    numpy = pytest.importorskip("numpy")
    files = readable_corpus_files()
    scp = "".join(f"utt{i} {shlex.quote(COMMAND)} -f wav -p -c 1 {shlex.quote(str(f))} |\n"
                  for i, f in enumerate(files))
    (tmp_path / "wav.scp").write_text(scp)
    for line, path in zip((tmp_path / "wav.scp").read_text().splitlines(), files):
        _, data = scp_read(line)
        expected, _ = sonavert.read(str(path), dtype="int16", channels=0)
        numpy.testing.assert_array_equal(wav_samples(data)[:, 0], expected, err_msg=str(path))


def test_a_symlink_named_sph2pipe_serves_pipelines(tmp_path):
    numpy = pytest.importorskip("numpy")
    files = [f for f in readable_corpus_files() if "_2" in f.name or "stereo" in f.name]
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "sph2pipe").symlink_to(Path(COMMAND).resolve())
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    for path in files:
        shell = f"sph2pipe -f wav -p -t 0.5:1.2 {shlex.quote(str(path))} | cat"
        data = subprocess.run(shell, shell=True, check=True, stdout=subprocess.PIPE, env=env).stdout
        expected, _ = sonavert.read(str(path), dtype="int16", offset=0.5, duration=0.7, always_2d=True)
        numpy.testing.assert_array_equal(wav_samples(data), expected, err_msg=str(path))
    # The same messages under either name.
    bad = subprocess.run(["sph2pipe", str(tmp_path / "none.sph")], capture_output=True, env=env)
    assert bad.returncode == 1
    assert bad.stderr.decode() == f"{PROGRAM}: {tmp_path / 'none.sph'}: No such file or directory\n"
