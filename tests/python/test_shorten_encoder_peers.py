"""The project's Shorten encoder (tools/shorten_encode) writes streams that
another decoder, FFmpeg's, reconstructs to the encoder's input exactly:
with block means (nmean > 0) under bitshifts that change from block to
block, with QLPC blocks, in one and two channels. Streams end padded to
whole 32-bit words after the preamble."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import sonavert_native

np = pytest.importorskip("numpy")

REPO = Path(__file__).resolve().parents[2]
FFMPEG = shutil.which("ffmpeg")


def encoder():
    places = [Path(os.environ["SONAVERT_TOOLS"])] if os.environ.get("SONAVERT_TOOLS") else []
    places += [REPO / "build" / b for b in ("quick", "tests", "asan", "bench")]
    for place in places:
        if (place / "shorten_encode").is_file():
            return place / "shorten_encode"
    pytest.skip("the shorten_encode tool is not built")


def speech_like(frames, channels, seed):
    """Mu-law-derived 16-bit speech-like samples: a decaying resonance under
    a slow envelope, each sample the mu-law level nearest to it, so that the
    trailing zero bits the samples of a block share (and with them the
    bitshift) change from block to block."""
    rng = np.random.default_rng(seed)
    levels = np.unique(np.frombuffer(sonavert_native.g711_expand(bytes(range(256)), False), "<i2"))
    t = np.arange(frames)
    out = []
    for c in range(channels):
        noise = np.convolve(rng.normal(0, 1, frames), np.exp(-np.arange(40) / (8 + 3 * c)), "same")
        envelope = 0.05 + np.abs(np.sin(t / (900 + 300 * c)))
        x = noise / np.abs(noise).max() * envelope * 30000
        at = np.clip(np.searchsorted(levels, x), 1, len(levels) - 1)
        nearer_below = (x - levels[at - 1]) < (levels[at] - x)
        out.append(levels[at - nearer_below])
    return np.stack(out, axis=1).reshape(-1).astype("<i2")


@pytest.mark.skipif(FFMPEG is None, reason="ffmpeg not installed")
@pytest.mark.parametrize("channels, flags", [
    (1, ["--bitshift", "auto", "--nmean", "4"]),
    (1, ["--bitshift", "auto", "--nmean", "4", "--maxnlpc", "8"]),
    (1, ["--bitshift", "0", "--nmean", "4", "--maxnlpc", "8"]),
    (2, ["--bitshift", "auto", "--nmean", "2", "--maxnlpc", "4", "--blocksize", "200"]),
])
def test_ffmpeg_decodes_the_encoders_streams_to_their_input(tmp_path, channels, flags):
    samples = speech_like(12000, channels, seed=channels + len(flags))
    raw, shn = tmp_path / "in.raw", tmp_path / "out.shn"
    raw.write_bytes(samples.tobytes())
    # FFmpeg takes the format from a WAV header in a leading VERBATIM section.
    subprocess.run([str(encoder()), "--channels", str(channels), "--wav-verbatim", "--rate", "8000", *flags,
                    str(raw), str(shn)], check=True)
    done = subprocess.run([FFMPEG, "-v", "error", "-f", "shn", "-i", str(shn), "-f", "s16le", "-"],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(np.frombuffer(done.stdout, "<i2"), samples)
    stream = shn.read_bytes()
    assert sonavert_native.shorten_to_pcm(stream)[2] == samples.tobytes()
    assert (len(stream) - 5) % 4 == 0
