"""Where sonavert reads from, and the native layer behind it: every kind of
source, streams under a cap, paths that must never block, the caller's
``out``, and agreement with sonavert_native on damaged input."""

import array
import io
import mmap
import os
import random
import threading

import pytest

import sonavert
import sonavert_native as native
from boundary_cases import as_the_package_reads
from sonavert import _source
from sphfiles import fields, g711_file, header, pcm_file, ramp

np = pytest.importorskip("numpy")

STEREO = ramp(3000, channels=2)
FILE = pcm_file(STEREO, rate=8000)
EXPECTED = np.array(STEREO, dtype=np.int16)


class Unseekable(io.RawIOBase):
    """A pipe-like binary stream: reads in small pieces, cannot seek, and
    counts what it hands out."""

    def __init__(self, data, piece=1000, kind=bytes):
        self._data, self._piece, self._kind = data, piece, kind
        self.given = 0

    def readable(self):
        return True

    def read(self, n=-1):
        n = self._piece if n < 0 else min(n, self._piece)
        chunk = self._data[self.given:self.given + n]
        self.given += len(chunk)
        return self._kind(chunk)


class Endless(Unseekable):
    """An endless stream: the data, then zeros for ever."""

    def read(self, n=-1):
        n = self._piece if n < 0 else min(n, self._piece)
        chunk = self._data[self.given:self.given + n]
        chunk += b"\0" * (n - len(chunk))
        self.given += n
        return chunk


def pipe_fd(data):
    read_end, write_end = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(write_end, data), os.close(write_end)))
    writer.start()
    return read_end, writer


def sources(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    mapped = open(path, "rb")
    yield "path", path
    yield "str", str(path)
    yield "bytes path", os.fsencode(path)
    yield "bytes", FILE
    yield "bytearray", bytearray(FILE)
    yield "memoryview", memoryview(FILE)
    yield "array.array", array.array("B", FILE)
    yield "numpy", np.frombuffer(FILE, np.uint8)
    yield "mmap", mmap.mmap(mapped.fileno(), 0, access=mmap.ACCESS_READ)
    yield "file object", io.BytesIO(FILE)
    yield "buffered file", open(path, "rb")
    yield "unseekable", Unseekable(FILE)
    yield "bytearray reads", Unseekable(FILE, kind=bytearray)
    yield "fd", os.open(path, os.O_RDONLY)
    fd, writer = pipe_fd(FILE)
    yield "pipe fd", fd
    writer.join()
    mapped.close()


def test_every_kind_of_source_reads_the_same(tmp_path):
    for what, source in sources(tmp_path):
        data, rate = sonavert.read(source, dtype="int16")
        assert rate == 8000, what
        np.testing.assert_array_equal(data, EXPECTED, err_msg=what)


def test_info_of_every_kind_of_source(tmp_path):
    expected = sonavert.info(FILE)
    for what, source in sources(tmp_path):
        assert sonavert.info(source) == expected, what


def test_an_mmap_reads_twice(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for _ in range(2):
            np.testing.assert_array_equal(sonavert.read(m, dtype="int16")[0], EXPECTED)


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: io.StringIO("NIST_1A"), TypeError,
         "the file object is in text mode: open it in binary mode"),
        (lambda: Unseekable("NIST_1A\n   1024\n" * 10, kind=str), TypeError,
         "the file object's read() returned str, not bytes: open it in binary mode"),
        (lambda: 3.5, TypeError, "expected a path, a file descriptor, a binary file object or a "
                                 "bytes-like object, got float"),
        (lambda: True, TypeError,
         "expected a path, a file descriptor, a file object or bytes, got bool"),
    ],
)
def test_sources_refused_with_a_message(make, error, message):
    with pytest.raises(error) as caught:
        sonavert.read(make())
    assert str(caught.value) == message


def test_a_stream_is_checked_before_its_payload_is_read():
    # Not a SPHERE file: refused after the first few kilobytes of an endless stream.
    stream = Endless(b"RIFF" + b"\0" * 100)
    with pytest.raises(ValueError) as caught:
        sonavert.read(stream)
    assert str(caught.value) == "not a NIST SPHERE file (missing 'NIST_1A' magic)"
    assert stream.given <= 8192


@pytest.mark.parametrize("call", [sonavert.read, sonavert.info])
def test_an_endless_stream_stops_at_the_cap(call):
    stream = Endless(FILE, piece=1 << 16)
    with pytest.raises(ValueError) as caught:
        call(stream, stream_limit=1 << 20)
    assert str(caught.value) == ("the stream holds more than 1048576 bytes, the limit for streams "
                                 "(raise it with stream_limit=)")
    assert stream.given <= (1 << 20) + (1 << 16)


def test_the_cap_counts_the_whole_stream():
    assert sonavert.read(Unseekable(FILE), dtype="int16", stream_limit=len(FILE))[0].shape == (3000, 2)
    with pytest.raises(ValueError):
        sonavert.read(Unseekable(FILE), stream_limit=len(FILE) - 1)


def test_paths_never_block(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: opening it to read would wait for ever
    for call in (sonavert.read, sonavert.info, lambda p: sonavert.SoundFile(p)):
        with pytest.raises(OSError) as caught:
            call(fifo)
        assert caught.value.strerror == "not a regular file (read a stream through a file object)"
    with pytest.raises(IsADirectoryError):
        sonavert.read(tmp_path)
    with pytest.raises(FileNotFoundError):
        sonavert.read(tmp_path / "missing.sph")


def test_file_descriptors_close_as_asked(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    kept = os.open(path, os.O_RDONLY)
    sonavert.read(kept, closefd=False)
    assert os.fstat(kept)
    closed = os.open(path, os.O_RDONLY)
    sonavert.read(closed)
    with pytest.raises(OSError):
        os.fstat(closed)
    os.close(kept)


def test_info_reads_only_the_header_of_a_file(tmp_path):
    path = tmp_path / "big.sph"
    with open(path, "wb") as f:
        f.write(header(fields(1, 8000, 2**33, 2)))
        f.truncate(1024 + 2**34)  # 16 GiB, sparse
    meta = sonavert.info(path)
    assert meta.frames == 2**33 and meta.subtype == "PCM_16" and meta.name == str(path)


def test_a_range_of_a_huge_sparse_file_reads_only_that_range(tmp_path):
    path = tmp_path / "big.sph"
    with open(path, "wb") as f:
        f.write(header(fields(2, 8000, 2**32, 2)))
        f.truncate(1024 + 2**34)
        f.seek(1024 + 4 * (2**31))
        f.write(b"\x01\x00\x02\x00" * 10)
    data, _ = sonavert.read(path, start=2**31, frames=12, dtype="int16")
    np.testing.assert_array_equal(data, [[1, 2]] * 10 + [[0, 0]] * 2)


# --- out= --------------------------------------------------------------------------


def test_out_is_filled_in_place():
    out = np.zeros((3000, 2), np.float32)
    result, _ = sonavert.read(FILE, dtype="float32", out=out)
    assert result is out
    np.testing.assert_array_equal(out, EXPECTED / np.float32(32768))
    part = np.full((10, 2), 9, np.int16)
    result, _ = sonavert.read(FILE, start=2995, out=part)
    assert np.shares_memory(result, part) and result.shape == (5, 2)
    np.testing.assert_array_equal(part[:5], EXPECTED[2995:])
    assert (part[5:] == 9).all()  # rows past the end are left as they were


def read_only(shape, dtype):
    out = np.zeros(shape, dtype)
    out.setflags(write=False)
    return out


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: np.zeros((10, 3), np.int16), ValueError),  # wrong channel count
        (lambda: np.zeros(10, np.int16), ValueError),  # 1-D for a stereo file
        (lambda: np.zeros((10, 2, 1), np.int16), ValueError),
        (lambda: np.zeros((10, 4), np.int16)[:, ::2], ValueError),  # not contiguous
        (lambda: np.zeros((10, 2), np.int8), ValueError),
        (lambda: np.zeros((10, 2), ">i2"), ValueError),  # not little-endian
        (lambda: read_only((10, 2), np.int16), ValueError),
        (lambda: bytearray(40), TypeError),
    ],
)
def test_out_that_does_not_fit(make, error):
    with pytest.raises(error):
        sonavert.read(FILE, frames=10, out=make())


def test_blocks_refuse_an_overlap_that_never_ends():
    with pytest.raises(ValueError) as caught:
        list(sonavert.blocks(FILE, blocksize=4, overlap=4))
    assert str(caught.value) == "overlap (4) must be smaller than blocksize (4)"


def test_soundfile_object(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    with sonavert.SoundFile(path, channels=[1]) as f:
        assert (f.samplerate, f.channels, f.frames, len(f), f.format, f.subtype, f.mode) == (
            8000, 1, 3000, 3000, "NIST", "PCM_16", "r")
        assert f.seek(-10, sonavert.SEEK_END) == 2990
        np.testing.assert_array_equal(f.read(dtype="int16"), EXPECTED[2990:, [1]])
        assert f.tell() == 3000
        assert f.seek(-5, sonavert.SEEK_CUR) == 2995
        with pytest.raises(ValueError):
            f.seek(1, sonavert.SEEK_END)
        with pytest.raises(TypeError):
            f.seek(1.5)
    assert f.closed
    with pytest.raises(ValueError):
        f.read()


def test_shorten_reads_in_parts_and_blocks(tidigits):
    path = tidigits / "123_2pcle_shn.sph"
    whole = np.frombuffer(native.decode_pcm(path.read_bytes()), "<i2").reshape(-1, 2)
    with sonavert.SoundFile(path) as f:
        f.seek(20000)
        np.testing.assert_array_equal(f.read(100, dtype="int16"), whole[20000:20100])
        f.seek(10)
        np.testing.assert_array_equal(f.read(5, dtype="int16"), whole[10:15])
    joined = np.concatenate(list(sonavert.blocks(path, 16000, dtype="int16")))
    np.testing.assert_array_equal(joined, whole)


# --- agreement with sonavert_native on damaged input ----------------------------------


def damaged(seed, count):
    """Valid files of each coding, cut short and with bytes changed."""
    gen = random.Random(seed)
    bases = [pcm_file(ramp(50, 2)), pcm_file(ramp(20), bits=32, byte_format="10"),
             g711_file(bytes(range(64)), channels=2), g711_file(bytes(range(40)), law="alaw"),
             header(fields(1, 8000, 10, 2, "pcm,embedded-shorten-v2.00")) + b"ajkg\x02" + b"\xff" * 9]
    for _ in range(count):
        data = bytearray(gen.choice(bases))
        for _ in range(gen.randrange(3)):
            at = gen.randrange(len(data))
            if at < 1024 and gen.random() < 0.7:  # mostly in the header's fields
                data[at] = gen.choice(b"0123456789-+ \n\t\x00\xffabcdefijrs_,")
            else:
                data[at] = gen.randrange(256)
        if gen.random() < 0.3:
            data = data[:gen.randrange(len(data) + 1)]
        yield bytes(data)


def outcome(call):
    try:
        return "ok", call()
    except ValueError as e:
        return "error", str(e)


def test_reads_and_info_fail_as_the_native_decoder_does(tmp_path):
    path = tmp_path / "d.sph"
    for n, data in enumerate(damaged(5, 2000)):
        expected = outcome(lambda: native.decode_pcm(data))
        if expected[0] == "error":
            # The package reads more than the native module (corpus variants).
            package = as_the_package_reads(expected[1], data)
            if package is None:
                continue
            expected = ("error", package)
        path.write_bytes(data)
        for source in (data, path):
            meta = outcome(lambda: sonavert.info(source))
            if meta[0] == "error":  # a refused header: the decoder's first failure
                assert meta == expected, (n, source)
            dtype = "int32" if meta[0] == "ok" and meta[1].bits_per_sample == 32 else "int16"
            got = outcome(lambda: sonavert.read(source, dtype=dtype)[0].astype("<" + dtype[-2:].replace(
                "16", "i2").replace("32", "i4")).tobytes())
            assert got == expected, (n, source)
