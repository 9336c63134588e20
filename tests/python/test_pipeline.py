"""SPHERE to PCM and WAV end to end: files we write, files SoX writes, and
real recordings, checked against what Python's wave module, soundfile, SoX
and FFmpeg read."""

import io
import shutil
import subprocess
import wave

import numpy as np
import pytest
import soundfile as sf

import sonavert_native as sv

SOX = shutil.which("sox")
FFMPEG = shutil.which("ffmpeg")
needs_sox = pytest.mark.skipif(SOX is None, reason="SoX not installed")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None, reason="FFmpeg not installed")


def sphere(fields, payload=b"", header_size=1024):
    """A SPHERE file: one line per (name, value) pair, integers declared -i."""
    lines = ["NIST_1A", f"{header_size:7d}"]
    for name, value in fields:
        value = str(value)
        kind = "-i" if value.lstrip("-").isdigit() else f"-s{len(value.encode())}"
        lines.append(f"{name} {kind} {value}")
    lines.append("end_head")
    head = ("\n".join(lines) + "\n").encode()
    assert len(head) <= header_size
    return head + b" " * (header_size - len(head)) + payload


def pcm_fields(count, channels, n_bytes, rate=16000, **extra):
    fields = [("sample_count", count), ("channel_count", channels),
              ("sample_n_bytes", n_bytes), ("sample_rate", rate)]
    return fields + list(extra.items())


def check_wav(wav, channels, rate, width, pcm):
    """`wav` opens in wave and soundfile with these parameters and holds
    exactly `pcm` (interleaved little-endian, `width` bytes a sample)."""
    assert len(wav) == 44 + len(pcm) + len(pcm) % 2
    with wave.open(io.BytesIO(wav)) as w:
        assert (w.getnchannels(), w.getframerate(), w.getsampwidth()) == (channels, rate, width)
        assert w.getnframes() == len(pcm) // (channels * width)
        assert w.readframes(w.getnframes()) == pcm
    info = sf.info(io.BytesIO(wav))
    assert (info.channels, info.samplerate, info.subtype) == (channels, rate, f"PCM_{8 * width}")
    dtype = {2: "<i2", 4: "<i4"}[width]
    data, _ = sf.read(io.BytesIO(wav), dtype=dtype[1:], always_2d=True)
    expected = np.frombuffer(pcm, dtype=dtype).reshape(-1, channels)
    np.testing.assert_array_equal(data, expected)


def noise(frames, channels, width, seed):
    """Random full-range samples, frames x channels."""
    rng = np.random.default_rng(seed)
    info = np.iinfo({2: np.int16, 4: np.int32}[width])
    return rng.integers(info.min, info.max, size=(frames, channels), endpoint=True,
                        dtype={2: np.int16, 4: np.int32}[width])


# --- Files we write -----------------------------------------------------------

def test_worked_example():
    payload = bytes((i * 13) & 0xFF for i in range(64010))
    sph = sphere(pcm_fields(16000, 2, 2, sample_coding="pcm", sample_byte_format="01"), payload)
    assert sv.decode_pcm(sph) == payload[:64000]
    wav = sv.transcode(sph)
    assert wav[:44] == bytes.fromhex(
        "52494646 24FA0000 57415645 666D7420 10000000 01000200 803E0000 "
        "00FA0000 04001000 64617461 00FA0000")
    check_wav(wav, 2, 16000, 2, payload[:64000])


@pytest.mark.parametrize("channels", [1, 2, 3])
@pytest.mark.parametrize(
    "n_bytes, byte_format, order",
    [(2, None, "<"), (2, "1", "<"), (2, "01", "<"), (2, "10", ">"),
     (4, "01", "<"), (4, "10", ">"), (4, None, "<")])
def test_plain_pcm(channels, n_bytes, byte_format, order):
    samples = noise(501, channels, n_bytes, seed=channels * 10 + n_bytes)
    payload = samples.astype(samples.dtype.newbyteorder(order)).tobytes()
    extra = {} if byte_format is None else {"sample_byte_format": byte_format}
    sph = sphere(pcm_fields(501, channels, n_bytes, rate=22050, **extra), payload + b"tail")
    expected = samples.astype(samples.dtype.newbyteorder("<")).tobytes()
    assert sv.decode_pcm(sph) == expected
    check_wav(sv.transcode(sph), channels, 22050, n_bytes, expected)


@pytest.mark.parametrize("coding, subtype", [
    ("ulaw", "ULAW"), ("mu-law", "ULAW"), ("MULAW", "ULAW"), ("alaw", "ALAW"), ("A-Law", "ALAW")])
def test_g711_agrees_with_soundfile(coding, subtype):
    codes = bytes(range(256)) * 4
    sph = sphere(pcm_fields(512, 2, 1, rate=8000, sample_coding=coding), codes)
    reference, _ = sf.read(io.BytesIO(codes), format="RAW", subtype=subtype, samplerate=8000,
                           channels=2, dtype="int16")
    expected = reference.astype("<i2").tobytes()
    assert sv.decode_pcm(sph) == expected
    check_wav(sv.transcode(sph), 2, 8000, 2, expected)


@pytest.mark.parametrize("sph, decode_pcm_message, transcode_message", [
    (sphere(pcm_fields(16000, 2, 2), bytes(63999)),
     "audio payload truncated: header declares 64000 bytes but only 63999 present", None),
    (sphere(pcm_fields(1, 65536, 2), bytes(131072)), None, "channel_count too large for WAV"),
    (sphere(pcm_fields(1, 1, 2, rate=4294967296), bytes(2)), None, "sample_rate too large for WAV"),
    # 32768 channels of 16 bits: 65536 bytes a frame do not fit the 16-bit
    # block_align field, so no WAV header can describe them.
    (sphere(pcm_fields(1, 32768, 2, rate=1), bytes(65536)), None,
     "WAV block_align exceeds 16-bit field"),
    (sphere(pcm_fields(1, 1, 2, sample_coding="linear"), bytes(2)),
     'sample_coding "linear" not supported yet', None),
    (sphere(pcm_fields(1, 1, 2, sample_coding="pcm,embedded-shorten-v2.00"), b"riff"),
     "not a shorten stream (missing 'ajkg' magic)", None),
    (b"RIFF", "not a NIST SPHERE file (missing 'NIST_1A' magic)", None),
])
def test_errors(sph, decode_pcm_message, transcode_message):
    if decode_pcm_message is None:
        sv.decode_pcm(sph)  # the WAV limits do not apply
    else:
        with pytest.raises(ValueError) as info:
            sv.decode_pcm(sph)
        assert info.value.args == (decode_pcm_message,)
    with pytest.raises(ValueError) as info:
        sv.transcode(sph)
    assert info.value.args == (transcode_message or decode_pcm_message,)


# --- Files SoX writes ---------------------------------------------------------

def write_input_wav(path, samples, rate):
    sf.write(str(path), samples, rate, subtype=f"PCM_{8 * samples.dtype.itemsize}")


def sox_raw(path, bits):
    """What SoX reads from `path`, as signed little-endian PCM of `bits`."""
    return subprocess.run([SOX, str(path), "-t", "raw", "-e", "signed-integer", "-b", str(bits),
                           "-L", "-"], check=True, capture_output=True).stdout


@needs_sox
@pytest.mark.parametrize("channels, rate", [(1, 8000), (2, 44100)])
@pytest.mark.parametrize("options, in_width, out_width, header_lines", [
    (["-e", "signed-integer", "-b", "16"], 2, 2, [b"sample_coding -s3 pcm", b"sample_n_bytes -i 2"]),
    (["-e", "signed-integer", "-b", "16", "-B"], 2, 2, [b"sample_byte_format -s2 10"]),
    (["-e", "signed-integer", "-b", "16", "-L"], 2, 2, [b"sample_byte_format -s2 01"]),
    (["-e", "signed-integer", "-b", "32"], 4, 4, [b"sample_n_bytes -i 4"]),
    (["-e", "signed-integer", "-b", "32", "-B"], 4, 4, [b"sample_byte_format -s2 10"]),
    (["-e", "signed-integer", "-b", "32", "-L"], 4, 4, [b"sample_byte_format -s2 01"]),
    (["-e", "mu-law"], 2, 2, [b"sample_coding -s4 ulaw", b"sample_n_bytes -i 1"]),
])
def test_sox_written_files(tmp_path, channels, rate, options, in_width, out_width, header_lines):
    samples = noise(2000, channels, in_width, seed=rate + channels)
    write_input_wav(tmp_path / "in.wav", samples, rate)
    sph_path = tmp_path / "out.sph"
    subprocess.run([SOX, str(tmp_path / "in.wav"), *options, "-t", "sph", str(sph_path)],
                   check=True, capture_output=True)
    sph = sph_path.read_bytes()
    for line in header_lines:  # SoX wrote the variant this case is about
        assert line in sph[:1024]
    reference = sox_raw(sph_path, 8 * out_width)
    assert len(reference) == 2000 * channels * out_width
    assert sv.decode_pcm(sph) == reference
    wav = sv.transcode(sph)
    check_wav(wav, channels, rate, out_width, reference)
    (tmp_path / "ours.wav").write_bytes(wav)
    assert sox_raw(tmp_path / "ours.wav", 8 * out_width) == reference


@needs_sox
@pytest.mark.parametrize("options, message", [
    (["-e", "signed-integer", "-b", "8"], "8-bit PCM not supported yet (supported: 16, 32 bit)"),
    (["-e", "signed-integer", "-b", "24"], "24-bit PCM not supported yet (supported: 16, 32 bit)"),
])
def test_sox_written_widths_we_refuse(tmp_path, options, message):
    write_input_wav(tmp_path / "in.wav", noise(100, 1, 2, seed=3), 8000)
    subprocess.run([SOX, str(tmp_path / "in.wav"), *options, "-t", "sph", str(tmp_path / "o.sph")],
                   check=True, capture_output=True)
    for function in (sv.decode_pcm, sv.transcode):
        with pytest.raises(ValueError) as info:
            function((tmp_path / "o.sph").read_bytes())
        assert info.value.args == (message,)


# --- Real recordings ----------------------------------------------------------

def header_int(sph, name):
    for line in sph[:1024].split(b"\n"):
        parts = line.split()
        if parts and parts[0] == name.encode():
            return int(parts[2])
    raise KeyError(name)


def ffmpeg_pcm(path):
    """FFmpeg's 16-bit little-endian reading of `path`, or None when it has
    no decoder for it."""
    run = subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-f", "s16le", "-acodec",
                          "pcm_s16le", "-"], capture_output=True)
    if run.returncode != 0:
        assert b"Decoder" in run.stderr and b"not found" in run.stderr, run.stderr
        return None
    return run.stdout


def test_every_corpus_file_converts(tidigits):
    files = sorted(tidigits.glob("*.sph"))
    assert files
    for path in files:
        sph = path.read_bytes()
        channels = header_int(sph, "channel_count")
        frames = header_int(sph, "sample_count")
        rate = header_int(sph, "sample_rate")
        pcm = sv.decode_pcm(sph)
        assert len(pcm) == frames * channels * 2, path.name
        check_wav(sv.transcode(sph), channels, rate, 2, pcm)


@needs_ffmpeg
def test_corpus_agrees_with_ffmpeg(tidigits):
    read_by_ffmpeg = []
    for path in sorted(tidigits.glob("*.sph")):
        reference = ffmpeg_pcm(path)
        if reference is None:
            assert "ulaw" in path.name  # the one kind FFmpeg cannot decode
            continue
        read_by_ffmpeg.append(path.name)
        assert sv.decode_pcm(path.read_bytes()) == reference, path.name
    assert len(read_by_ffmpeg) >= 5, read_by_ffmpeg


def g711_levels(subtype):
    """The 256 expansion levels of a G.711 law as soundfile reads them, sorted."""
    levels, _ = sf.read(io.BytesIO(bytes(range(256))), format="RAW", subtype=subtype,
                        samplerate=8000, channels=1, dtype="int16")
    return np.unique(levels.astype(np.int64))


def test_corpus_codings_of_one_utterance_agree(tidigits):
    """The recordings of one utterance in several codings agree: the two
    byte orders of linear PCM decode to the same samples, and every sample of
    the mu-law and A-law recordings is one of the two G.711 levels around
    the linear sample at the same position (the encoder's rounding picks
    which)."""
    def samples(name):
        return np.frombuffer(sv.decode_pcm((tidigits / name).read_bytes()), "<i2").astype(np.int64)

    cases = [("123_1pcle_shn.sph", "123_1pcbe_shn.sph", "123_1ulaw_shn.sph", "ULAW"),
             ("123_2pcle_shn.sph", "123_2pcbe_shn.sph", "123_2ulaw_shn.sph", "ULAW"),
             ("123_2pcle_shn.sph", "123_2pcbe_shn.sph", "123_2alaw.sph", "ALAW")]
    for linear_name, big_endian_name, companded_name, subtype in cases:
        linear = samples(linear_name)
        np.testing.assert_array_equal(samples(big_endian_name), linear)
        companded = samples(companded_name)
        assert companded.shape == linear.shape
        levels = g711_levels(subtype)
        above = np.clip(np.searchsorted(levels, linear), 0, len(levels) - 1)
        below = np.clip(above - 1, 0, len(levels) - 1)
        around = (companded == levels[below]) | (companded == levels[above])
        assert around.all(), (companded_name, np.flatnonzero(~around)[:10])
        assert not np.array_equal(companded, linear)
