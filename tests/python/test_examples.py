"""The bundled sample converts, and agrees with FFmpeg where it is installed."""

import shutil
import subprocess
import wave
from io import BytesIO
from pathlib import Path

import pytest

import sonavert_native as sv

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.sph"


def test_bundled_sample_converts():
    data = SAMPLE.read_bytes()
    assert len(data) < 200_000
    with wave.open(BytesIO(sv.transcode(data))) as w:
        assert (w.getnchannels(), w.getframerate(), w.getsampwidth(), w.getnframes()) == \
            (2, 16000, 2, 48000)
        frames = w.readframes(w.getnframes())
    assert frames == sv.decode_pcm(data)
    assert max(frames[1::2]) > 0x10  # not silence


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg not installed")
def test_bundled_sample_agrees_with_ffmpeg():
    pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", str(SAMPLE), "-f", "s16le", "-"],
                         check=True, capture_output=True).stdout
    assert pcm == sv.decode_pcm(SAMPLE.read_bytes())
