"""Cross-checks against other readers: SPHERE files written by SoX read the
same through sonavert as through soundfile (or SoX itself where soundfile
cannot read them), and WAV files written by sonavert read the same through
soundfile and Python's wave module."""

import shutil
import subprocess
import wave

import pytest

import sonavert
from sphfiles import ramp

np = pytest.importorskip("numpy")
sf = pytest.importorskip("soundfile")

SOX = shutil.which("sox")
needs_sox = pytest.mark.skipif(SOX is None, reason="sox is not installed")

# Stereo, with the extremes of the 16-bit range in both channels.
FRAMES = np.array([[-32768, 32767], [32767, -32768], [0, -1], [1, 0]] + ramp(6000, channels=2),
                  dtype=np.int16)
RATE = 16000
# SoX options for each kind of SPHERE file written from the WAV source
SOX_KINDS = {
    "pcm16le": ["-t", "sph"],
    "pcm16be": ["-B", "-t", "sph"],
    "ulaw": ["-e", "u-law", "-t", "sph"],
    "pcm32": ["-b", "32", "-t", "sph"],
    "pcm8": ["-b", "8", "-t", "sph"],
}
DTYPES = ["int16", "int32", "float32", "float64"]


@pytest.fixture(scope="module")
def sox_files(tmp_path_factory):
    if SOX is None:
        pytest.skip("sox is not installed")
    folder = tmp_path_factory.mktemp("sox")
    source = folder / "source.wav"
    with wave.open(str(source), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(FRAMES.astype("<i2").tobytes())
    files = {}
    for kind, options in SOX_KINDS.items():
        files[kind] = folder / f"{kind}.sph"
        subprocess.run([SOX, str(source), *options, str(files[kind])], check=True,
                       capture_output=True)
    return files


@pytest.mark.parametrize("kind", ["pcm16le", "pcm16be", "ulaw"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_sox_files_read_like_soundfile(sox_files, kind, dtype):
    ours, rate = sonavert.read(sox_files[kind], dtype=dtype)
    theirs, their_rate = sf.read(str(sox_files[kind]), dtype=dtype)
    assert rate == their_rate == RATE
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape == FRAMES.shape
    np.testing.assert_array_equal(ours, theirs)
    if kind != "ulaw":
        np.testing.assert_array_equal(sonavert.read(sox_files[kind], dtype="int16")[0], FRAMES)


@pytest.mark.parametrize("dtype", DTYPES)
def test_sox_files_read_like_soundfile_in_parts(sox_files, dtype):
    ours, _ = sonavert.read(sox_files["pcm16be"], dtype=dtype, channels=1, start=100, stop=8000)
    theirs, _ = sf.read(str(sox_files["pcm16be"]), dtype=dtype, start=100, stop=8000)
    np.testing.assert_array_equal(ours, theirs[:, 1])


def test_sox_32_bit_files_read_like_sox(sox_files):
    # soundfile refuses 32-bit SPHERE files, so SoX decodes them for comparison.
    raw = subprocess.run([SOX, str(sox_files["pcm32"]), "-t", "s32", "-L", "-"], check=True,
                         capture_output=True).stdout
    theirs = np.frombuffer(raw, "<i4").reshape(-1, 2)
    ours, _ = sonavert.read(sox_files["pcm32"], dtype="int32")
    np.testing.assert_array_equal(ours, theirs)
    np.testing.assert_array_equal(ours >> 16, FRAMES)
    assert sonavert.info(sox_files["pcm32"]).bits_per_sample == 32


def test_sox_8_bit_files_are_refused(sox_files):
    with pytest.raises(ValueError) as caught:
        sonavert.read(sox_files["pcm8"])
    assert str(caught.value) == "8-bit PCM not supported yet (supported: 16, 32 bit)"


def read_with_wave(path):
    with wave.open(str(path), "rb") as w:
        width, channels = w.getsampwidth(), w.getnchannels()
        data = w.readframes(w.getnframes())
        rate = w.getframerate()
    return np.frombuffer(data, {2: "<i2", 4: "<i4"}[width]).reshape(-1, channels), rate


@pytest.mark.parametrize(
    "kind, selection",
    [
        ("pcm16le", {}),
        ("pcm16be", {"channels": 1, "start": 0.25, "stop": 0.3}),
        ("ulaw", {"channels": [1, 0], "start": 3}),
        ("pcm32", {}),
        ("pcm32", {"channels": [0], "stop": 1000}),
    ],
)
def test_converted_wav_files_open_in_soundfile_and_wave(sox_files, tmp_path, kind, selection):
    out = tmp_path / "out.wav"
    sonavert.convert(sox_files[kind], out, **selection)
    dtype = "int32" if kind == "pcm32" else "int16"
    part = dict(selection)
    if isinstance(part.get("start"), float) or isinstance(part.get("stop"), float):
        start, stop = part.pop("start"), part.pop("stop")
        part["offset"], part["duration"] = start, stop - start
    expected, _ = sonavert.read(sox_files[kind], dtype=dtype, always_2d=True, **part)
    by_wave, wave_rate = read_with_wave(out)
    by_soundfile, sf_rate = sf.read(str(out), dtype=dtype, always_2d=True)
    assert wave_rate == sf_rate == RATE
    assert sf.info(str(out)).subtype == ("PCM_32" if kind == "pcm32" else "PCM_16")
    np.testing.assert_array_equal(by_wave, expected)
    np.testing.assert_array_equal(by_soundfile, expected)


def test_real_a_law_file_reads_like_soundfile(tidigits):
    path = tidigits / "123_2alaw.sph"
    for dtype in DTYPES:
        ours, rate = sonavert.read(path, dtype=dtype)
        theirs, their_rate = sf.read(str(path), dtype=dtype)
        assert rate == their_rate == 20000
        np.testing.assert_array_equal(ours, theirs)
