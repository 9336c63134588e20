"""The library API: info, read and convert."""

import io
import os
import subprocess
import sys
import wave
from decimal import Decimal
from fractions import Fraction

import pytest

import sonavert
import sonavert_native as native
from sonavert._api import wav_header
from sphfiles import fields, g711_file, header, pcm_bytes, pcm_file, ramp

np = pytest.importorskip("numpy")

STEREO = ramp(30000, channels=2)  # 1.5 s at 20 kHz
STEREO_FILE = pcm_file(STEREO, rate=20000)
EXTREMES_16 = [-32768, -32767, -1, 0, 1, 32766, 32767]
EXTREMES_32 = [-(2**31), -(2**31) + 1, -65536, -1, 0, 1, 65535, 2**31 - 2, 2**31 - 1]


def samples(frames, first=0, end=None, channels=None):
    """The expected array: rows [first, end), the given columns."""
    a = np.array(frames, dtype=np.int64)[first:end]
    return a if channels is None else a[:, channels]


# --- info ----------------------------------------------------------------------------


def test_info_of_a_file(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(pcm_file(STEREO, rate=20000, extra=["gain -r -1.5", "who -s3 ann"]))
    meta = sonavert.info(path)
    assert (meta.channels, meta.samplerate, meta.frames) == (2, 20000, 30000)
    assert meta.duration == 1.5
    assert (meta.coding, meta.shorten, meta.bits_per_sample, meta.header_size) == (
        "pcm", False, 16, 1024)
    assert meta.fields == {"sample_count": 30000, "sample_rate": 20000, "channel_count": 2,
                           "sample_n_bytes": 2, "sample_coding": "pcm",
                           "sample_byte_format": "01", "gain": -1.5, "who": "ann"}
    assert sonavert.info(str(path)) == meta
    assert sonavert.info(path.read_bytes()) == meta
    assert sonavert.info(io.BytesIO(path.read_bytes())) == meta


@pytest.mark.parametrize(
    "coding, n_bytes, byte_format, shorten, bits",
    [
        (None, 2, None, False, 16),
        ("pcm", 4, "10", False, 32),
        ("PCM", 3, "01", False, None),
        ("pcm", 2, "0123", False, None),
        ("mu-law", 1, None, False, 16),
        ("A-LAW", 2, None, False, None),
        ("pcm,embedded-shorten-v2.00", 2, "10", True, 16),
        ("ulaw, EMBEDDED-SHORTEN-V2.00", 1, None, True, 16),
        ("pcm,shorten", 2, None, False, None),
        ("pcm,", 2, None, False, 16),
        ("linear", 2, None, False, None),
    ],
)
def test_info_coding(coding, n_bytes, byte_format, shorten, bits):
    meta = sonavert.info(header(fields(1, 8000, 0, n_bytes, coding, byte_format)))
    assert meta.coding == (coding if coding is not None else "pcm")
    assert (meta.shorten, meta.bits_per_sample) == (shorten, bits)


def test_info_of_real_files(tidigits):
    meta = sonavert.info(tidigits / "123_2ulaw_shn.sph")
    assert (meta.channels, meta.samplerate, meta.frames, meta.duration) == (2, 20000, 37120, 1.856)
    assert (meta.coding, meta.shorten, meta.bits_per_sample) == (
        "ulaw,embedded-shorten-v2.00", True, 16)
    assert meta.fields["recording_date"] == "9-SEP-1982"
    assert meta.fields["sample_min"] == -2677
    assert not sonavert.info(tidigits / "123_2alaw.sph").shorten


# --- read ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "bits, source, dtype, expected",
    [
        (16, EXTREMES_16, "int16", EXTREMES_16),
        (16, EXTREMES_16, "int32", [s * 65536 for s in EXTREMES_16]),
        (16, EXTREMES_16, "float64", [s / 32768 for s in EXTREMES_16]),
        (16, EXTREMES_16, "float32", [s / 32768 for s in EXTREMES_16]),
        (32, EXTREMES_32, "int32", EXTREMES_32),
        (32, EXTREMES_32, "int16", [s >> 16 for s in EXTREMES_32]),
        (32, EXTREMES_32, "float64", [s / 2**31 for s in EXTREMES_32]),
    ],
)
def test_read_dtypes(bits, source, dtype, expected):
    for byte_format in ("01", "10"):
        data, rate = sonavert.read(pcm_file([[s] for s in source], bits=bits,
                                            byte_format=byte_format), dtype=dtype)
        assert rate == 16000
        assert data.dtype == np.dtype(dtype) and data.shape == (len(source),)
        np.testing.assert_array_equal(data, np.array(expected, dtype=dtype))


def test_float_scaling_stays_below_one():
    for bits, source in ((16, EXTREMES_16), (32, EXTREMES_32)):
        file = pcm_file([[s] for s in source], bits=bits)
        for dtype in ("float32", "float64"):
            data, _ = sonavert.read(file, dtype=dtype)
            assert data[0] == -1.0
            assert data.max() < 1.0
    # float32 cannot hold (2**31 - 1) / 2**31: the top sample ends just below 1.
    data, _ = sonavert.read(pcm_file([[s] for s in EXTREMES_32], bits=32), dtype="float32")
    assert data[-1] == np.nextafter(np.float32(1), np.float32(0))


@pytest.mark.parametrize(
    "channels, always_2d, shape, columns",
    [
        (None, False, (30000, 2), [0, 1]),
        (0, False, (30000,), 0),
        (1, False, (30000,), 1),
        (1, True, (30000, 1), [1]),
        ([1], False, (30000, 1), [1]),
        ([1, 0], False, (30000, 2), [1, 0]),
        ((0, 0, 1), False, (30000, 3), [0, 0, 1]),
        (np.int64(1), False, (30000,), 1),
    ],
)
def test_read_channels(channels, always_2d, shape, columns):
    data, _ = sonavert.read(STEREO_FILE, dtype="int16", channels=channels, always_2d=always_2d)
    assert data.shape == shape and data.flags.c_contiguous
    np.testing.assert_array_equal(data, samples(STEREO, channels=columns))


def test_read_mono_shape():
    mono = pcm_file(ramp(10))
    assert sonavert.read(mono)[0].shape == (10,)
    assert sonavert.read(mono, always_2d=True)[0].shape == (10, 1)


@pytest.mark.parametrize(
    "kwargs, first, end",
    [
        ({"start": 18000, "stop": 24000}, 18000, 24000),
        ({"stop": 10}, 0, 10),
        ({"start": 29990}, 29990, 30000),
        ({"start": 5, "stop": 5}, 5, 5),  # empty
        ({"start": 25000, "stop": 40000}, 25000, 30000),  # past the end: cut
        ({"start": 40000}, 30000, 30000),
        ({"start": -10}, 29990, 30000),  # negative: from the end
        ({"start": -10, "stop": -5}, 29990, 29995),
        ({"start": 10, "stop": 5}, 10, 10),  # stop before start: empty
        ({"start": -40000, "stop": 3}, 0, 3),
        ({"start": 100, "frames": 50}, 100, 150),
        ({"start": 29990, "frames": 50}, 29990, 30000),
        ({"frames": 0}, 0, 0),
        ({"start": np.int32(3), "stop": np.int64(7)}, 3, 7),
        # seconds at 20 kHz: the first frame at or after each time
        ({"offset": 0.9, "duration": 0.3}, 18000, 24000),
        ({"offset": Decimal("0.9"), "duration": Fraction(3, 10)}, 18000, 24000),
        ({"offset": 1.4}, 28000, 30000),
        ({"duration": 10.0}, 0, 30000),
        ({"offset": 0.00001, "duration": 0.00005}, 1, 2),
        ({"offset": 2, "duration": 1}, 30000, 30000),
    ],
)
def test_read_ranges(kwargs, first, end):
    data, _ = sonavert.read(STEREO_FILE, dtype="int16", **kwargs)
    assert data.shape == (end - first, 2)
    np.testing.assert_array_equal(data, samples(STEREO, first, end))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"dtype": "int8"}, ValueError,
         "cannot read samples as int8: the dtype must be float64, float32, int32 or int16"),
        ({"frames": 10, "stop": 5}, TypeError, "frames and stop cannot both be given"),
        ({"offset": -1}, ValueError, "offset must not be negative, got -1"),
        ({"duration": -0.5}, ValueError, "duration must not be negative, got -0.5"),
        ({"offset": float("nan")}, ValueError, "offset must be a finite time, got nan"),
        ({"duration": Decimal("Infinity")}, ValueError,
         "duration must be a finite time, got Infinity"),
        ({"offset": True}, TypeError, "offset must be a time in seconds (a number), got bool"),
        ({"duration": "10"}, TypeError, "duration must be a time in seconds (a number), got str"),
        ({"offset": 0.5, "start": 3}, TypeError,
         "offset and duration (seconds) cannot be combined with start, stop or frames"),
        ({"duration": 0.5, "frames": 3}, TypeError,
         "offset and duration (seconds) cannot be combined with start, stop or frames"),
        ({"channels": 2}, ValueError,
         "channel 2 out of range: the file has 2 channels (numbered from 0)"),
        ({"channels": [0, -1]}, ValueError,
         "channel -1 out of range: the file has 2 channels (numbered from 0)"),
        ({"channels": []}, ValueError, "channels must select at least one channel"),
        ({"channels": "0"}, TypeError,
         "channels must be a channel index or a sequence of channel indices"),
        ({"channels": [0.0]}, TypeError,
         "channels must be a channel index or a sequence of channel indices"),
        ({"mode": "w"}, ValueError, "sonavert only reads: mode must be 'r', not 'w'"),
        ({"stream_limit": -1}, ValueError, "stream_limit must be a non-negative int, got -1"),
    ],
)
def test_read_argument_errors(kwargs, error, message):
    call = sonavert.SoundFile if "mode" in kwargs else sonavert.read
    with pytest.raises(error) as caught:
        call(STEREO_FILE, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [{"start": 0.5}, {"stop": 1.5}, {"frames": 1.5}, {"start": Decimal(1)}, {"dtype": "nonsense"}],
)
def test_floats_are_no_frame_counts(kwargs):
    # A float where a frame count goes is a TypeError, never seconds.
    with pytest.raises(TypeError):
        sonavert.read(STEREO_FILE, **kwargs)


def test_channel_error_is_a_value_error_with_numbers():
    with pytest.raises(sonavert.ChannelError) as caught:
        sonavert.read(STEREO_FILE, channels=5)
    assert (caught.value.channel, caught.value.channels) == (5, 2)
    assert caught.value.text(1) == "channel 6 out of range: the file has 2 channels"


@pytest.mark.parametrize("law", ["ulaw", "alaw"])
def test_read_g711(law):
    codes = bytes(range(256))
    data, rate = sonavert.read(g711_file(codes, channels=2, law=law), dtype="int16")
    expanded = np.frombuffer(native.g711_expand(codes, law == "alaw"), "<i2")
    assert rate == 8000
    np.testing.assert_array_equal(data, expanded.reshape(128, 2))


@pytest.mark.parametrize(
    "data, message",
    [
        (pcm_file(ramp(10))[:-1],
         "audio payload truncated: header declares 20 bytes but only 19 present"),
        (header(fields(1, 8000, 0, 3)), "24-bit PCM not supported yet (supported: 16, 32 bit)"),
        (b"RIFF", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    ],
)
def test_native_errors_pass_through(data, message):
    for call in (sonavert.read, lambda d: sonavert.convert(d, io.BytesIO(), "wav", start=0)):
        with pytest.raises(ValueError) as caught:
            call(data)
        assert str(caught.value) == message


def test_read_sources(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(STEREO_FILE)
    expected, _ = sonavert.read(STEREO_FILE)
    for source in (path, str(path), bytearray(STEREO_FILE), memoryview(STEREO_FILE),
                   io.BytesIO(STEREO_FILE)):
        np.testing.assert_array_equal(sonavert.read(source)[0], expected)
    with pytest.raises(TypeError) as caught:
        sonavert.read(1.5)
    assert str(caught.value) == ("expected a path, a file descriptor, a binary file object or a "
                                 "bytes-like object, got float")


def test_read_real_files(tidigits):
    little, rate = sonavert.read(tidigits / "123_2pcle_shn.sph", dtype="int16")
    big, _ = sonavert.read(tidigits / "123_2pcbe_shn.sph", dtype="int16")
    assert rate == 20000 and little.shape == (37120, 2)
    np.testing.assert_array_equal(little, big)
    part, _ = sonavert.read(tidigits / "123_2pcle_shn.sph", dtype="int16", channels=1,
                            offset=0.9, duration=0.3)
    np.testing.assert_array_equal(part, little[18000:24000, 1])


# --- convert -------------------------------------------------------------------------


def wav_frames(path):
    with wave.open(str(path), "rb") as w:
        params = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes())
        raw = w.readframes(w.getnframes())
    code = {2: "<i2", 4: "<i4"}[params[1]]
    return params, np.frombuffer(raw, code).reshape(-1, params[0])


def test_convert_whole_files_match_the_native_module(tmp_path):
    sph = pcm_file(STEREO, rate=20000, bits=16, byte_format="10")
    for name, fmt, expected in [("a.wav", None, native.transcode(sph)),
                                ("a.WAV", None, native.transcode(sph)),
                                ("a.raw", None, native.decode_pcm(sph)),
                                ("a.pcm", None, native.decode_pcm(sph)),
                                ("a.bin", "raw", native.decode_pcm(sph)),
                                ("a.raw", "wav", native.transcode(sph))]:
        sonavert.convert(sph, tmp_path / name, format=fmt)
        assert (tmp_path / name).read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == ["a.WAV", "a.bin", "a.pcm", "a.raw", "a.wav"]


@pytest.mark.parametrize("bits", [16, 32])
@pytest.mark.parametrize(
    "channels, start, stop, columns, first, end",
    [
        (None, 18000, 24000, [0, 1], 18000, 24000),
        (1, None, None, [1], 0, 30000),
        ([1, 0], 0.9, 1.2, [1, 0], 18000, 24000),
        (0, 29000, 99999, [0], 29000, 30000),
        (None, 100, 100, [0, 1], 100, 100),
    ],
)
def test_convert_selection_to_wav(tmp_path, bits, channels, start, stop, columns, first, end):
    frames = [[s * 65536 + 3 for s in f] for f in STEREO] if bits == 32 else STEREO
    out = tmp_path / "cut.wav"
    sonavert.convert(pcm_file(frames, rate=20000, bits=bits), out, channels=channels,
                     start=start, stop=stop)
    params, got = wav_frames(out)
    assert params == (len(columns), bits // 8, 20000, end - first)
    np.testing.assert_array_equal(got, samples(frames, first, end, columns))
    assert out.stat().st_size == 44 + (end - first) * len(columns) * bits // 8


def test_convert_selection_to_raw_and_file_objects():
    sph = pcm_file(STEREO, rate=20000)
    sink = io.BytesIO()
    sonavert.convert(sph, sink, "raw", channels=[1], start=3, stop=6)
    assert sink.getvalue() == pcm_bytes([STEREO[i][1] for i in range(3, 6)])

    class Trickle(io.BytesIO):  # takes at most 1000 bytes a call, as a full pipe does
        def write(self, data):
            return super().write(bytes(data)[:1000])

    sink = Trickle()
    sonavert.convert(sph, sink, "wav")
    assert sink.getvalue() == native.transcode(sph)


@pytest.mark.parametrize(
    "dst, fmt, message",
    [
        ("out.mp3", None, "cannot tell the output format from the name 'out.mp3': "
                          "give format 'wav' or 'raw'"),
        ("out", None, "cannot tell the output format from the name 'out': "
                      "give format 'wav' or 'raw'"),
        (io.BytesIO(), None, "cannot tell the output format of a file object: "
                             "give format 'wav' or 'raw'"),
        ("out.wav", "mp3", "format must be one of 'wav', 'raw', 'sph', 'au', 'aif', 'flac', got 'mp3'"),
    ],
)
def test_convert_format_errors(tmp_path, monkeypatch, dst, fmt, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as caught:
        sonavert.convert("missing.sph", dst, fmt)  # checked before reading
    assert str(caught.value) == message


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".part"))


def test_convert_failure_keeps_the_old_output(tmp_path):
    out = tmp_path / "a.wav"
    out.write_bytes(b"old")
    with pytest.raises(ValueError):
        sonavert.convert(pcm_file(ramp(10))[:-2], out)
    with pytest.raises(ValueError):
        sonavert.convert(pcm_file(ramp(10))[:-2], out, start=1)
    assert out.read_bytes() == b"old"
    assert leftovers(tmp_path) == []


def test_convert_interrupted_while_writing_leaves_no_partial_file(tmp_path, monkeypatch):
    import sonavert._output as api

    out = tmp_path / "a.wav"
    out.write_bytes(b"old")
    written = []
    create_temp = api._create_temp

    class Interrupted:
        def __init__(self, file):
            self.file = file

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.file.close()

        def write(self, chunk):
            written.append(len(chunk))
            self.file.write(bytes(chunk)[:10])
            raise KeyboardInterrupt

    def interrupted_temp(path):
        temp, file = create_temp(path)
        return temp, Interrupted(file)

    monkeypatch.setattr(api, "_create_temp", interrupted_temp)
    with pytest.raises(KeyboardInterrupt):
        sonavert.convert(STEREO_FILE, out, start=1)
    assert written  # the write did start
    assert out.read_bytes() == b"old"
    assert leftovers(tmp_path) == []


def test_convert_reports_the_output_path_on_os_errors(tmp_path):
    target = tmp_path / "no" / "such" / "dir" / "a.wav"
    with pytest.raises(FileNotFoundError) as caught:
        sonavert.convert(STEREO_FILE, target)
    assert caught.value.filename == str(target)


@pytest.mark.parametrize(
    "channel_count, rate, bits, length, message",
    [
        (65536, 8000, 16, 0, "channel_count too large for WAV"),
        (65536, 2**32, 16, 0, "channel_count too large for WAV"),
        (1, 2**32, 16, 0, "sample_rate too large for WAV"),
        (2, 536870912, 32, 0, "WAV byte_rate exceeds 32-bit field"),
        (32768, 8000, 16, 0, "WAV block_align exceeds 16-bit field"),
        (32768, 2**31, 16, 0, "WAV byte_rate exceeds 32-bit field"),
        (1, 8000, 16, 4294967260, "output exceeds the 4 GB RIFF/WAV size limit "
                                  "(4294967260 bytes of PCM)"),
    ],
)
def test_wav_header_limits(channel_count, rate, bits, length, message):
    with pytest.raises(ValueError) as caught:
        wav_header(channel_count, rate, bits, length)
    assert str(caught.value) == message


def test_wav_header_at_the_limits():
    assert len(wav_header(65535, 8000, 8, 4294967258)) == 44
    assert wav_header(1, 2**32 - 1, 8, 0)[28:32] == b"\xff\xff\xff\xff"
    assert wav_header(2, 536870911, 32, 0)[28:32] == (4294967288).to_bytes(4, "little")
    # The 16-bit stereo example: 64000 bytes at 16 kHz.
    assert wav_header(2, 16000, 16, 64000).hex() == (
        "52494646" "24fa0000" "57415645" "666d7420" "10000000" "0100" "0200" "803e0000"
        "00fa0000" "0400" "1000" "64617461" "00fa0000")


@pytest.mark.parametrize(
    "channel_count, rate, message",
    [
        (65536, 8000, "channel_count too large for WAV"),
        (1, 2**32, "sample_rate too large for WAV"),
        (2, 2**31, "WAV byte_rate exceeds 32-bit field"),
        (32768, 8000, "WAV block_align exceeds 16-bit field"),
    ],
)
def test_wav_limits_agree_with_the_native_writer(channel_count, rate, message):
    sph = header(fields(channel_count, rate, 0, 2))
    with pytest.raises(ValueError) as native_error:
        native.transcode(sph)
    with pytest.raises(ValueError) as ours:
        sonavert.convert(sph, io.BytesIO(), "wav", channels=list(range(channel_count)), start=0)
    assert str(native_error.value) == str(ours.value) == message
    assert sonavert.read(sph, always_2d=True)[0].shape == (0, channel_count)  # no WAV limit


def test_works_without_numpy(tmp_path):
    sph = tmp_path / "a.sph"
    sph.write_bytes(STEREO_FILE)
    script = f"""
import sys
sys.modules["numpy"] = None  # import numpy now fails
import sonavert
print(sonavert.info({str(sph)!r}).frames)
sonavert.convert({str(sph)!r}, {str(tmp_path / 'a.raw')!r}, channels=1, start=2, stop=4)
try:
    sonavert.read({str(sph)!r})
except ImportError as e:
    print(e)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.stderr == ""
    assert done.stdout == "30000\nsonavert.read needs numpy: pip install numpy\n"
    assert (tmp_path / "a.raw").read_bytes() == pcm_bytes([STEREO[2][1], STEREO[3][1]])
