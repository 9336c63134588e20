"""Cuts as a training-data loader asks for them (sonavert._cuts, behind
sonavert.lhotse): for each start time and duration, the frames and float32
samples that ``sonavert-sph2pipe -f wav -p -t START:END`` gives when the
times are written as the loader writes them, or a failure where the command
fails; SPHERE files recognised by name or by their first bytes; a file's
shape from its header. lhotse itself is tested in the integrations tier."""

import io
import os
import shutil
import subprocess
import wave

import pytest

from sonavert import _cuts
from sphfiles import fields, header, pcm_bytes, ramp
from test_sonavert_shorten_reads import encode, signal, sphere

np = pytest.importorskip("numpy")

COMMAND = os.environ.get("SONAVERT_SPH2PIPE") or shutil.which("sonavert-sph2pipe")

TIMES = [  # (offset, duration), seconds
    (0.0, None), (0, None), (0.0, 0.0), (0.5, 0.25), (0.1, 0.2), (0.12345, 0.41976),
    (0.3, 1 / 3), (1.0, 100.0), (2.5, None), (2.5, 0.0), (2.5001, 1.0), (1e-05, 0.5), (0.5, -0.25),
    (0.00001, 0.1), (1.9999999, 0.5),
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cuts")
    stereo = signal(2, 20000, 9)  # 8 kHz: 2.5 s
    out = {"shorten.sph": sphere(stereo, encode(stereo, [256], [1, -1]).quit().to_bytes()),
           "pcm.wv1": header(fields(1, 16000, 40000, 2)) + pcm_bytes([f[0] for f in ramp(40000)]),
           "nist.WAV": header(fields(1, 8000, 4000, 2)) + pcm_bytes([f[0] for f in ramp(4000, step=3)])}
    for name, data in out.items():
        (folder / name).write_bytes(data)
    return folder


def command_cut(path, offset, duration):
    """What the command gives for the times as the loader writes them:
    float32 (channels, samples), or None when it fails."""
    end = "" if duration is None else f"{round(offset + duration, 5)}"
    done = subprocess.run([COMMAND, "-f", "wav", "-p", "-t", f"{offset}:{end}", str(path)], capture_output=True)
    if done.returncode != 0:
        return None
    with wave.open(io.BytesIO(done.stdout)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, w.getnchannels())
    return (samples.T / np.float32(32768)).astype(np.float32)


@pytest.mark.skipif(COMMAND is None, reason="sonavert-sph2pipe is not built or installed")
@pytest.mark.parametrize("name", ["shorten.sph", "pcm.wv1", "nist.WAV"])
def test_cuts_are_the_commands_frames_and_samples(files, name):
    path = files / name
    for offset, duration in TIMES:
        want = command_cut(path, offset, duration)
        if want is None:
            with pytest.raises(ValueError):
                _cuts.read_cut(path, offset, duration)
            continue
        got, rate = _cuts.read_cut(path, offset, duration)
        assert got.dtype == np.float32 and got.shape == want.shape, (offset, duration)
        assert np.array_equal(got, want), (offset, duration)
        # A file object holding the file gives the same.
        from_object, _ = _cuts.read_cut(io.BytesIO(path.read_bytes()), offset, duration)
        assert np.array_equal(from_object, want)


@pytest.mark.parametrize("offset, duration, rate, frames, expected", [
    (0.0, None, 8000, 100, (0, 100)),
    (0.0, 0.0, 8000, 100, (0, 100)),  # an END of 0 is the file's end
    (0.001, 0.0, 8000, 100, (8, 8)),
    (0.1, 0.2, 10, 100, (1, 3)),  # 0.30000000000000004 is written rounded: 0.3 x 10 = 3
    (0.29, None, 10, 100, (2, 100)),  # 0.29 x 10 = 2.9, truncated
    (0.0, 1.0, 8000, 100, (0, 100)),  # past the end: cut
    (0.0125, 0.0, 8000, 100, (100, 100)),
])
def test_times_become_frames_as_the_command_reads_them(offset, duration, rate, frames, expected):
    assert _cuts.cut_range(offset, duration, rate, frames) == expected


@pytest.mark.parametrize("offset, duration", [(0.02, None), (1e-05, None), (-0.5, None), (0.5, -0.25),
                                              (float("inf"), None), (float("nan"), 1.0)])
def test_times_the_command_refuses(offset, duration):
    with pytest.raises(ValueError):
        _cuts.cut_range(offset, duration, 8000, 100)


def test_sphere_files_are_known_by_name_or_first_bytes(files, tmp_path):
    riff = tmp_path / "riff.wav"
    riff.write_bytes(b"RIFF" + bytes(40))
    nist = (files / "nist.WAV").read_bytes()
    buffered = io.BytesIO(b"xx" + nist)
    buffered.seek(2)
    cases = [(files / "shorten.sph", True), (str(files / "pcm.wv1"), True), (files / "nist.WAV", True),
             (tmp_path / "missing.SPH", True), (riff, False), (tmp_path / "missing.wav", False),
             (buffered, True), (io.BytesIO(b"RIFF"), False), (nist, True), (b"NIST_1", False)]
    for source, expected in cases:
        assert _cuts.is_sphere(source) is expected, source
    assert buffered.tell() == 2, "the position of a file object is kept"


def test_info_comes_from_the_header(files):
    assert _cuts.cut_info(files / "shorten.sph") == (2, 20000, 8000, 2.5)
    assert _cuts.cut_info(io.BytesIO((files / "pcm.wv1").read_bytes())) == (1, 40000, 16000, 2.5)
