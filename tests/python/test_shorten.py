"""shorten_to_pcm: bare Shorten streams to 16-bit PCM, from Python."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import sonavert_native as sv

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "lib"))
from shorten_stream import Stream  # noqa: E402

def pcm(*values):
    return b"".join(v.to_bytes(2, "little", signed=True) for v in values)


def test_worked_example():
    stream = bytes.fromhex("616A6B6702FB7F9333676B10")
    assert sv.shorten_to_pcm(stream) == (1, False, pcm(1, 2, 1, 1))
    assert Stream().diff(1, 1, [1, 1, -1, 0]).quit().to_bytes() == stream


@pytest.mark.parametrize("sample_type, channels, ulaw", [(3, 1, False), (5, 2, False), (8, 256, True)])
def test_quit_after_header(sample_type, channels, ulaw):
    result = sv.shorten_to_pcm(Stream(sample_type=sample_type, channels=channels).quit().to_bytes())
    assert result == (channels, ulaw, b"")
    assert type(result[0]) is int and type(result[1]) is bool and type(result[2]) is bytes


def test_linear_samples_are_clamped_and_mu_law_codes_expanded():
    # 40000 and -40000 clamp; under bitshift 2, 10000 saturates while the
    # history keeps it (10 follows).
    stream = (Stream().bitshift(2).diff(1, 14, [3, 9997, -9990, 0])
              .bitshift(0).diff(0, 16, [40000, -40000, 32767, -32768]).quit().to_bytes())
    assert sv.shorten_to_pcm(stream) == (1, False, pcm(12, 32767, 40, 40, 32767, -32768, 32767, -32768))
    # Samples 0, -1, 127, -128 are the mu-law codes 0xFF, 0x7F, 0x80, 0x00.
    stream = Stream(sample_type=8).diff(0, 8, [0, -1, 127, -128]).quit().to_bytes()
    expected = sv.g711_expand(bytes([0xFF, 0x7F, 0x80, 0x00]), False)
    assert expected == pcm(0, 0, 32124, -32124)
    assert sv.shorten_to_pcm(stream) == (1, True, expected)


def test_channels_interleave_and_the_incomplete_cycle_is_dropped():
    stream = (Stream(channels=2).diff(0, 4, [1, 2, 3, 4]).diff(0, 4, [5, 6, 7, 8])
              .diff(0, 4, [9, 9, 9, 9]).quit().to_bytes())
    assert sv.shorten_to_pcm(stream) == (2, False, pcm(1, 5, 2, 6, 3, 7, 4, 8))


@pytest.mark.parametrize(
    "stream, message",
    [
        (b"RIFF\x02", "not a shorten stream (missing 'ajkg' magic)"),
        (b"ajkg\x03", "shorten version 3 not supported (only v2 is validated)"),
        (Stream().diff(1, 1, [1, 1]).to_bytes(),
         "truncated or corrupt shorten stream: ran past end of bitstream"),
        (Stream(sample_type=8).diff(0, 8, [0, 128, 0, 0]).quit().to_bytes(),
         "shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain"),
    ],
)
def test_errors(stream, message):
    with pytest.raises(ValueError) as e:
        sv.shorten_to_pcm(stream)
    assert e.value.args == (message,)


def _payload(path):
    data = path.read_bytes()
    header_size = int(data.split(b"\n")[1])
    header = data[:header_size].decode()
    fields = dict(line.split(" -i ") for line in header.splitlines() if " -i " in line)
    return data[header_size:], int(fields["channel_count"]), int(fields["sample_count"])


def test_corpus_streams_decode_to_their_sample_count(tidigits):
    files = sorted(tidigits.glob("*_shn.sph"))
    assert files
    for path in files:
        stream, channels, samples = _payload(path)
        count, ulaw, data = sv.shorten_to_pcm(stream)
        assert (count, ulaw) == (channels, "ulaw" in path.name), path.name
        assert len(data) == 2 * channels * samples, path.name


def test_corpus_pcm_streams_agree_with_ffmpeg(tidigits, tmp_path):
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        pytest.skip("ffmpeg not installed")
    files = sorted(p for p in tidigits.glob("*_shn.sph") if "pc" in p.name)
    assert files
    for path in files:
        out = tmp_path / (path.stem + ".raw")
        subprocess.run([ffmpeg, "-v", "error", "-y", "-i", str(path), "-f", "s16le", str(out)], check=True)
        assert sv.shorten_to_pcm(_payload(path)[0])[2] == out.read_bytes(), path.name


@pytest.mark.parametrize("channels", [1, 2])
def test_peak_memory_is_about_twice_the_output(channels):
    """ZERO blocks: 60 bytes of stream, 2^27 samples (256 MiB of PCM)."""
    code = textwrap.dedent(f"""
        import resource, sys
        sys.path.insert(0, {str(Path(__file__).resolve().parents[2] / "tools" / "lib")!r})
        import sonavert_native as sv
        from shorten_stream import Stream
        s = Stream(channels={channels}, blocksize=1 << 24)
        for _ in range(8):
            s.zero()
        stream = s.quit().to_bytes()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        count, ulaw, data = sv.shorten_to_pcm(stream)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(len(data), (peak - before) * 1024)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr
    size, growth = map(int, result.stdout.split())
    assert size == 2 << 27
    assert growth <= 2 * size + (16 << 20)
