"""The sonavert command: info, convert, argument errors and pipelines."""

import io
import json
import os
import subprocess
import sys
import wave

import pytest

import sonavert_native as native
from sonavert._cli import ProgressBar, main
from sphfiles import fields, header, pcm_bytes, pcm_file, ramp

STEREO = ramp(30000, channels=2)  # 1.5 s at 20 kHz
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


@pytest.fixture
def stereo(tmp_path):
    path = tmp_path / "stereo.sph"
    path.write_bytes(pcm_file(STEREO, rate=20000, extra=["speaker -s3 ann", "gain -r 0.5"]))
    return path


def run(capsys, *argv):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    try:
        code = main([str(a) for a in argv])
    except SystemExit as e:
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


def cli(*argv, stdin=b""):
    """Runs ``python -m sonavert`` in a child process."""
    return subprocess.run([sys.executable, "-m", "sonavert", *map(str, argv)], input=stdin,
                          capture_output=True, env=ENV, timeout=60)


# --- info ----------------------------------------------------------------------------


def test_info_human_readable(capsys, stereo):
    code, out, err = run(capsys, "info", stereo)
    assert (code, err) == (0, "")
    assert out.splitlines() == [
        str(stereo),
        "  channels      2",
        "  sample rate   20000 Hz",
        "  frames        30000",
        "  duration      1.500 s",
        "  coding        pcm",
        "  shorten       no",
        "  decoded as    16 bits",
        "  header        1024 bytes",
        "  fields",
        "    sample_count        30000",
        "    sample_rate         20000",
        "    channel_count       2",
        "    sample_n_bytes      2",
        "    sample_coding       pcm",
        "    sample_byte_format  01",
        "    speaker             ann",
        "    gain                0.5",
    ]


def test_info_json_and_errors_per_file(capsys, stereo, tmp_path):
    bad = tmp_path / "bad.sph"
    bad.write_bytes(b"RIFF....WAVE")
    odd = tmp_path / "odd.sph"
    odd.write_bytes(header(fields(1, 8000, 4800000, 1, "pcm,embedded-shorten-v2.00", None,
                                  ["peak -r -inf", "tab -s a\x07b"])))
    code, out, err = run(capsys, "info", "--json", stereo, tmp_path / "none.sph", bad, odd)
    assert code == 1
    assert err.splitlines() == [
        f"sonavert: {tmp_path / 'none.sph'}: No such file or directory",
        f"sonavert: {bad}: not a NIST SPHERE file (missing 'NIST_1A' magic)",
    ]
    first, second = map(json.loads, out.splitlines())
    assert first == {"file": str(stereo), "channels": 2, "samplerate": 20000, "frames": 30000,
                     "duration": 1.5, "coding": "pcm", "shorten": False, "bits_per_sample": 16,
                     "header_size": 1024,
                     "fields": {"sample_count": 30000, "sample_rate": 20000, "channel_count": 2,
                                "sample_n_bytes": 2, "sample_coding": "pcm",
                                "sample_byte_format": "01", "speaker": "ann", "gain": 0.5},
                     "counts_every_channel": False}
    assert (second["shorten"], second["duration"]) == (True, 600.0)
    assert second["fields"]["peak"] == "-inf"  # JSON has no infinity


def test_info_human_readable_escapes_and_long_durations(capsys, tmp_path):
    odd = tmp_path / "odd.sph"
    odd.write_bytes(header(fields(1, 8000, 30000000, 3, "linear", None, ["tab -s a\x07b"])))
    code, out, _ = run(capsys, "info", odd)
    assert code == 0
    assert "  duration      3750.000 s (1:02:30.000)" in out.splitlines()
    assert "  decoded as    not supported by sonavert" in out.splitlines()
    assert '    tab             "a\\u{7}b"' in out.splitlines()


def test_info_from_standard_input(stereo):
    done = cli("info", "--json", "-", stdin=stereo.read_bytes())
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["frames"] == 30000


# --- convert -------------------------------------------------------------------------


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        return w.getnchannels(), w.getframerate(), w.readframes(w.getnframes())


@pytest.mark.parametrize(
    "options, channels, first, end",
    [
        ([], [0, 1], 0, 30000),
        (["-s", "18000:24000"], [0, 1], 18000, 24000),
        (["-t", "0.9:1.2"], [0, 1], 18000, 24000),
        (["-t", ".9:1.20"], [0, 1], 18000, 24000),
        (["-c", "2"], [1], 0, 30000),
        (["-c", "2", "-c", "1", "-s", ":3"], [1, 0], 0, 3),
        (["-s", "29998:"], [0, 1], 29998, 30000),
        (["-s", ":"], [0, 1], 0, 30000),
        (["-s", "7:7"], [0, 1], 7, 7),
        (["-s", "29000:99999"], [0, 1], 29000, 30000),
        (["-s", "99999:"], [0, 1], 30000, 30000),
        (["--time", "1.4999:"], [0, 1], 29998, 30000),
    ],
)
def test_convert_to_wav(capsys, stereo, tmp_path, options, channels, first, end):
    out = tmp_path / "out.wav"
    code, stdout, err = run(capsys, "convert", *options, stereo, out)
    assert (code, stdout, err) == (0, "", "")
    expected = [STEREO[i][c] for i in range(first, end) for c in channels]
    assert read_wav(out) == (len(channels), 20000, pcm_bytes(expected))


def test_convert_raw_by_extension_and_by_option(capsys, stereo, tmp_path):
    for name, options in (("a.raw", []), ("a.pcm", []), ("a.bin", ["-f", "raw"])):
        assert run(capsys, "convert", *options, "-c", "1", "-s", "2:5", stereo,
                   tmp_path / name)[0] == 0
        assert (tmp_path / name).read_bytes() == pcm_bytes([STEREO[i][0] for i in range(2, 5)])


def test_convert_in_a_pipeline(stereo):
    done = cli("convert", "-f", "wav", "-c", "1", stereo, "-")
    assert (done.returncode, done.stderr) == (0, b"")
    with wave.open(io.BytesIO(done.stdout)) as w:
        assert (w.getnchannels(), w.getnframes()) == (1, 30000)
        assert w.readframes(3) == pcm_bytes([STEREO[i][0] for i in range(3)])
    # standard input to standard output
    done = cli("convert", "-f", "raw", "-", "-", stdin=stereo.read_bytes())
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == native.decode_pcm(stereo.read_bytes())


def test_convert_into_a_closed_pipe_is_quiet(tmp_path):
    big = tmp_path / "big.sph"
    big.write_bytes(pcm_file(ramp(200_000)))  # far more than a pipe holds
    shell = (f"{sys.executable} -m sonavert convert -f raw {big} - | head -c 10 >/dev/null; "
             "echo ${PIPESTATUS[0]}")
    done = subprocess.run(["bash", "-c", shell], capture_output=True, text=True, env=ENV,
                          timeout=60)
    assert (done.stdout, done.stderr) == ("141\n", "")


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "the following arguments are required: COMMAND (see 'sonavert --help')"),
        (["play"], "argument COMMAND: invalid choice: 'play' (choose from 'info', 'convert', "
                   "'batch', 'verify') (see 'sonavert --help')"),
        (["info"], "the following arguments are required: FILE "
                   "(see 'sonavert info --help')"),
        (["convert", "a.sph"], "the following arguments are required: OUT "
                               "(see 'sonavert convert --help')"),
        (["convert", "-s", "1-2", "a.sph", "b.wav"],
         "argument -s/--samples: expected START:END in frames, such as 18000:24000, got '1-2' "
         "(see 'sonavert convert --help')"),
        (["convert", "-s", "-5:", "a.sph", "b.wav"],
         "argument -s/--samples: expected one argument (see 'sonavert convert --help')"),
        (["convert", "-s", "9:3", "a.sph", "b.wav"],
         "argument -s/--samples: START 9 is after END 3 (see 'sonavert convert --help')"),
        (["convert", "-t", "1,5:2", "a.sph", "b.wav"],
         "argument -t/--time: expected START:END in seconds, such as 0.9:1.2, got '1,5:2' "
         "(see 'sonavert convert --help')"),
        (["convert", "-t", "2:1.5", "a.sph", "b.wav"],
         "argument -t/--time: START 2 is after END 1.5 (see 'sonavert convert --help')"),
        (["convert", "-t", "1:2", "-s", "1:2", "a.sph", "b.wav"],
         "argument -s/--samples: not allowed with argument -t/--time "
         "(see 'sonavert convert --help')"),
        (["convert", "-c", "0", "a.sph", "b.wav"],
         "argument -c/--channel: expected a channel number from 1, got '0' "
         "(see 'sonavert convert --help')"),
        (["convert", "-f", "mp3", "a.sph", "b.wav"],
         "argument -f/--format: invalid choice: 'mp3' (choose from 'wav', 'raw', 'sph', 'au', 'aif', 'flac') "
         "(see 'sonavert convert --help')"),
        (["convert", "a.sph", "b.mp3"],
         "cannot tell the output format from the name 'b.mp3': give -f wav or -f raw "
         "(see 'sonavert convert --help')"),
        (["convert", "-p", "-u", "a.sph", "b.wav"],
         "argument -u: not allowed with argument -p (see 'sonavert convert --help')"),
        (["convert", "a.sph", "-"],
         "give -f wav or -f raw when writing to standard output "
         "(see 'sonavert convert --help')"),
        (["batch", "-j", "0", "a", "b"],
         "argument -j/--jobs: expected a number of processes from 1, got '0' "
         "(see 'sonavert batch --help')"),
    ],
)
def test_argument_errors(capsys, argv, message):
    code, out, err = run(capsys, *argv)
    assert (code, out) == (2, "")
    assert err == f"sonavert: {message}\n"


@pytest.mark.parametrize(
    "make, options, message",
    [
        (lambda p: p.write_bytes(pcm_file(STEREO)[:-1]), [],
         "audio payload truncated: header declares 120000 bytes but only 119999 present"),
        (lambda p: p.write_bytes(pcm_file(STEREO)), ["-c", "3"],
         "channel 3 out of range: the file has 2 channels"),
        (lambda p: p.write_bytes(b"NIST_1A\n1024\n"), [],
         "header claims 1024 bytes but only 13 available"),
        (lambda p: None, [], "No such file or directory"),
        (lambda p: p.mkdir(), [], "Is a directory"),
    ],
)
def test_bad_input_is_one_line(capsys, tmp_path, make, options, message):
    src = tmp_path / "in.sph"
    make(src)
    code, out, err = run(capsys, "convert", *options, src, tmp_path / "out.wav")
    assert (code, out) == (1, "")
    assert err == f"sonavert: {src}: {message}\n"
    assert os.listdir(tmp_path) == (["in.sph"] if src.exists() else [])


def test_unwritable_output_names_the_output(capsys, stereo, tmp_path):
    out = tmp_path / "missing" / "out.wav"
    code, _, err = run(capsys, "convert", stereo, out)
    assert (code, err) == (1, f"sonavert: {out}: No such file or directory\n")


def test_module_and_console_script(stereo):
    done = cli("--version")
    assert (done.returncode, done.stdout) == (0, f"sonavert {native.__version__}\n".encode())
    script = os.path.join(os.path.dirname(sys.executable), "sonavert")
    if not os.path.exists(script):
        pytest.skip("the console script is not installed next to this interpreter")
    done = subprocess.run([script, "info", stereo], capture_output=True, env=ENV, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith(f"{stereo}\n".encode())


def test_progress_bar_draws_one_line():
    stream = io.StringIO()
    bar = ProgressBar(stream, interval=0)
    for done in range(1, 5):
        bar.update(done, 4, ("x", "failed" if done == 2 else "converted", ""))
    bar.close()
    frames = stream.getvalue().split("\r")[1:]
    assert len(frames) == 4
    assert frames[1].startswith("[" + "#" * (len(frames[1].split("]")[0]) // 2))
    assert frames[-1].endswith(" 4/4 files  " + frames[-1].split("  ")[1] + "  1 failed\n")
    assert "-" not in frames[-1].split("]")[0]


# --- streams under faults ------------------------------------------------------------


def shell(script, **env):
    """Runs ``script`` under bash: (exit status of the last command, stdout, stderr)."""
    done = subprocess.run(["bash", "-c", script], capture_output=True, env={**ENV, **env},
                          timeout=60)
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


SONAVERT = f"{sys.executable} -m sonavert"


@pytest.mark.parametrize("command, redirect, message", [
    ("info -", "<&-", "standard input: is closed"),
    ("convert -f raw - {out}", "<&-", "standard input: is closed"),
    ("info {src}", ">&-", "standard output: is closed"),
    ("convert -f raw {src} -", ">&-", "standard output: is closed"),
    ("info {src}", ">/dev/full", "standard output: No space left on device"),
    ("info --json {src} {src}", ">/dev/full", "standard output: No space left on device"),
    ("convert -f wav {src} -", ">/dev/full", "standard output: No space left on device"),
])
def test_closed_and_full_standard_streams_are_one_line(stereo, tmp_path, command, redirect,
                                                       message):
    out = tmp_path / "out.raw"
    argv = command.format(src=stereo, out=out)
    code, _, err = shell(f"{SONAVERT} {argv} {redirect}")
    assert (code, err) == (1, f"sonavert: {message}\n")
    assert not out.exists()


def endless(head):
    """A shell command writing ``head`` and then zeros without end."""
    return (f"{sys.executable} -c \"import sys; o = sys.stdout.buffer; o.write({head!r}); "
            "z = bytes(65536)\nwhile True: o.write(z)\"")


@pytest.mark.parametrize("command, stream, code, output, message", [
    ("convert -f raw --max-input 1M - {out}", "header", 1, None,
     "sonavert: standard input: holds more than the limit of 1048576 bytes "
     "(see --max-input)\n"),
    ("convert -f raw --max-input 1000 - {out}", "header", 1, None,
     "sonavert: standard input: holds more than the limit of 1000 bytes "
     "(see --max-input)\n"),
    ("convert -f raw - {out}", "zeros", 1, None,
     "sonavert: -: not a NIST SPHERE file (missing 'NIST_1A' magic)\n"),
    ("info --json -", "header", 0, b'"frames": 1000', ""),
])
def test_endless_standard_input_is_bounded(tmp_path, command, stream, code, output, message):
    out = tmp_path / "out.raw"
    head = header(fields(1, 8000, 1000, 2)) if stream == "header" else b"\0" * 16
    status, stdout, err = shell(f"{endless(head)} 2>/dev/null | "
                                f"{SONAVERT} {command.format(out=out)}; "
                                "exit ${PIPESTATUS[1]}")
    assert (status, err) == (code, message)
    assert not out.exists()
    if output is not None:
        assert output in stdout


def test_a_fifo_as_input(tmp_path, stereo):
    fifo = tmp_path / "in.sph"
    os.mkfifo(fifo)
    out = tmp_path / "out.wav"
    writer = subprocess.Popen(["bash", "-c", f"cat {stereo} > {fifo}"])
    done = cli("convert", fifo, out)
    writer.wait(30)
    assert (done.returncode, done.stderr) == (0, b"")
    assert out.read_bytes() == native.transcode(stereo.read_bytes())


def test_a_non_blocking_standard_output_gets_everything(tmp_path):
    big = tmp_path / "big.sph"
    big.write_bytes(pcm_file(ramp(300_000)))  # 600 KB: many times what a pipe holds
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    child = subprocess.Popen([sys.executable, "-m", "sonavert", "convert", "-f", "raw", big, "-"],
                             stdout=write_end, stderr=subprocess.PIPE, env=ENV)
    os.close(write_end)
    parts = []
    while True:
        part = os.read(read_end, 4096)
        if not part:
            break
        parts.append(part)
    os.close(read_end)
    assert (child.wait(60), child.stderr.read()) == (0, b"")
    assert b"".join(parts) == native.decode_pcm(big.read_bytes())


def test_convert_refuses_its_own_input_on_the_command_line(tmp_path, stereo):
    data = stereo.read_bytes()
    done = cli("convert", "-f", "wav", stereo, stereo)
    assert (done.returncode, done.stderr) == (
        1, f"sonavert: {stereo}: the output is the input file itself\n".encode())
    assert stereo.read_bytes() == data


# --- names that are not UTF-8 --------------------------------------------------------


def test_names_that_are_not_utf8(tmp_path, stereo):
    folder = os.fsencode(tmp_path)
    good = os.path.join(folder, b"caf\xe9.sph")
    bad = os.path.join(folder, b"\xff\xfe.sph")
    with open(good, "wb") as f:
        f.write(stereo.read_bytes())
    with open(bad, "wb") as f:
        f.write(b"RIFF")
    shown_good = f"{tmp_path}/caf\\xe9.sph"
    shown_bad = f"{tmp_path}/\\xff\\xfe.sph"
    done = subprocess.run([sys.executable, "-m", "sonavert", "info", good, bad],
                          capture_output=True, env=ENV, timeout=60)
    assert done.returncode == 1
    assert done.stdout.decode("utf-8").splitlines()[0] == shown_good
    assert done.stderr.decode("utf-8") == (
        f"sonavert: {shown_bad}: not a NIST SPHERE file (missing 'NIST_1A' magic)\n")
    done = subprocess.run([sys.executable, "-m", "sonavert", "info", "--json", good],
                          capture_output=True, env=ENV, timeout=60)
    assert done.returncode == 0
    assert json.loads(done.stdout.decode("utf-8"))["file"] == shown_good
    done = subprocess.run([sys.executable, "-m", "sonavert", "batch", folder,
                           os.path.join(folder, b"out")], capture_output=True, env=ENV,
                          timeout=60)
    assert done.returncode == 1
    assert done.stderr.decode("utf-8").splitlines()[1:] == [
        f"sonavert: {shown_bad}: not a NIST SPHERE file (missing 'NIST_1A' magic)"]
    assert sorted(os.listdir(os.path.join(folder, b"out"))) == [
        b".sonavert-batch.sqlite", b"caf\xe9.wav", b"stereo.wav"]


# --- a lean start ---------------------------------------------------------------------


HEAVY = ("numpy", "multiprocessing", "sqlite3", "concurrent.futures.process", "ctypes",
         "dataclasses", "typing", "decimal", "json")
PROBE = ("import sys\nfrom sonavert._cli import main\nmain(sys.argv[1:])\n"
         f"print(' '.join(m for m in {HEAVY!r} if m in sys.modules), file=sys.stderr)\n")


@pytest.mark.parametrize("argv, allowed", [
    (["convert", "{src}", "{out}"], set()),
    (["convert", "-f", "raw", "{src}", "-"], set()),
    (["info", "{src}"], {"dataclasses", "typing", "decimal"}),
    # A time range is turned into frames by the reading half, which loads ctypes.
    (["convert", "-t", "0.5:1", "-c", "1", "{src}", "{out}"],
     {"dataclasses", "typing", "decimal", "ctypes"}),
])
def test_subcommands_import_only_what_they_need(stereo, tmp_path, argv, allowed):
    args = [a.format(src=stereo, out=tmp_path / "out.wav") for a in argv]
    done = subprocess.run([sys.executable, "-c", PROBE, *args], capture_output=True, env=ENV,
                          timeout=60)
    imported = set(done.stderr.decode().split())
    assert imported <= allowed and not imported & {"numpy", "multiprocessing", "sqlite3"}
