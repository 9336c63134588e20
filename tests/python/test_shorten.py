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

MU_LAW = {0xFF: 0, 0x7F: 0, 0x80: 32124, 0x00: -32124}


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


@pytest.mark.parametrize(
    "build, expected",
    [
        # Linear samples are clamped to 16 bits ...
        (lambda s: s.diff(0, 16, [40000, -40000, 32767, -32768]), pcm(32767, -32768, 32767, -32768)),
        # ... also after a saturating bitshift; the history keeps 10000.
        (lambda s: s.bitshift(2).diff(1, 14, [3, 9997, -9990, 0]), pcm(12, 32767, 40, 40)),
        (lambda s: s.bitshift(32).diff(0, 3, [1, -1, 0, 0]), pcm(32767, -32768, 0, 0)),
    ],
)
def test_linear_samples(build, expected):
    assert sv.shorten_to_pcm(build(Stream()).quit().to_bytes()) == (1, False, expected)


def test_mu_law_codes_expand_through_the_g711_table():
    # Samples 0, -1, 127, -128 are the codes 0xFF, 0x7F, 0x80, 0x00.
    stream = Stream(sample_type=8).diff(0, 8, [0, -1, 127, -128]).quit().to_bytes()
    expected = pcm(MU_LAW[0xFF], MU_LAW[0x7F], MU_LAW[0x80], MU_LAW[0x00])
    assert sv.shorten_to_pcm(stream) == (1, True, expected)
    assert expected == sv.g711_expand(bytes([0xFF, 0x7F, 0x80, 0x00]), False)


def test_channels_interleave_and_the_incomplete_cycle_is_dropped():
    stream = (Stream(channels=2).diff(0, 4, [1, 2, 3, 4]).diff(0, 4, [5, 6, 7, 8])
              .diff(0, 4, [9, 9, 9, 9]).quit().to_bytes())
    assert sv.shorten_to_pcm(stream) == (2, False, pcm(1, 5, 2, 6, 3, 7, 4, 8))


@pytest.mark.parametrize(
    "stream, message",
    [
        (b"", "not a shorten stream (missing 'ajkg' magic)"),
        (b"RIFF\x02", "not a shorten stream (missing 'ajkg' magic)"),
        (b"ajkg", "truncated shorten stream: missing version byte"),
        (b"ajkg\x03", "shorten version 3 not supported (only v2 is validated)"),
        (b"ajkg\x02", "truncated or corrupt shorten stream: ran past end of bitstream"),
        (Stream(sample_type=4).quit().to_bytes(),
         "shorten sample type 4 not supported (16-bit PCM and mu-law only)"),
        (Stream(channels=257).quit().to_bytes(), "invalid shorten channel count 257"),
        (Stream().fn(10).to_bytes(), "unknown shorten function code 10"),
        (Stream(sample_type=8).diff(0, 8, [0, 128, 0, 0]).quit().to_bytes(),
         "shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain"),
        (Stream().diff(1, 1, [1, 1]).to_bytes(),
         "truncated or corrupt shorten stream: ran past end of bitstream"),
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
