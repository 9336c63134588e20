"""Opening sources for the command and the batch: descriptors that are
never waited on at open, files that are not regular named for what they
are, streams read from descriptors that may not block, and the header
record that the core's readings make."""

import errno
import os
import socket
import threading

import pytest

from sonavert import _output, _source
from sphfiles import pcm_file, ramp

FILE = pcm_file(ramp(3000, channels=2), rate=8000)
HEADER_SIZE = 1024


def fifo(tmp_path):
    path = tmp_path / "pipe.sph"
    os.mkfifo(path)  # no writer: an open that waits for one never returns
    return path


def folder(tmp_path):
    return tmp_path


def unix_socket(tmp_path):
    path = tmp_path / "s.sph"
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(str(path))
    server.close()  # the node stays
    return path


def char_device(tmp_path):
    return os.devnull


@pytest.mark.parametrize("make, kind", [(fifo, "a FIFO"), (folder, "a folder"),
                                        (unix_socket, "a socket"),
                                        (char_device, "a character device")])
def test_only_regular_files_open_as_sources(tmp_path, make, kind):
    path = make(tmp_path)
    if make is unix_socket:  # a socket cannot be opened at all: open_fd says so
        with pytest.raises(OSError) as caught:
            _source.open_regular(path)
        assert caught.value.errno == errno.ENXIO
        return
    with pytest.raises(OSError) as caught:
        _source.open_regular(path)
    assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (
        errno.EINVAL, f"not a regular file ({kind})", path)


def test_a_regular_file_opens_with_its_status(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    fd, st = _source.open_regular(path)
    try:
        assert (st.st_size, st.st_ino) == (len(FILE), os.stat(path).st_ino)
        assert os.pread(fd, len(FILE), 0) == FILE
        assert _source.read_header(fd).channels == 2
    finally:
        os.close(fd)


def writer_in_pieces(data, cuts, reader_waits=None):
    """(read end, thread) of a pipe whose read end does not block and whose
    writer sends ``data`` in pieces that end at ``cuts`` and at its end;
    given ``reader_waits`` (an Event), each write after the first waits for
    it."""
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    ends = [*cuts, len(data)]

    def write():
        with open(write_end, "wb", buffering=0) as out:
            for begin, end in zip([0, *cuts], ends):
                if begin and reader_waits is not None:
                    reader_waits.wait()
                    reader_waits.clear()
                try:
                    out.write(data[begin:end])
                except BrokenPipeError:
                    return  # the reader has all it wanted

    return read_end, threading.Thread(target=write)


class WaitingSelect:
    """select.select that tells the writer each time the reader waits."""

    def __init__(self, event):
        self.event, self.calls = event, 0
        self.real = _source.select.select

    def select(self, *args):
        self.calls += 1
        self.event.set()
        return self.real(*args)


@pytest.mark.parametrize("header_only", [False, True])
# The first piece is shorter than the header: either way the reader has to wait.
@pytest.mark.parametrize("cuts", [(100,), (7, 100, 1000, 3000, 6000)])
def test_a_non_blocking_stream_is_waited_on(monkeypatch, header_only, cuts):
    event = threading.Event()
    waiting = WaitingSelect(event)
    monkeypatch.setattr(_source, "select", waiting)
    read_end, writer = writer_in_pieces(FILE, cuts, event)
    writer.start()
    try:
        got = _source.read_fd(read_end, 1 << 20, header_only)
    finally:
        os.close(read_end)
        event.set()  # a writer still waiting finds the pipe closed and stops
        writer.join()
    assert waiting.calls >= 1  # it found the pipe empty and waited, rather than failing
    if header_only:  # the header, and no more than one read of 4 KiB past it
        assert HEADER_SIZE <= len(got) < HEADER_SIZE + 4096 and got == FILE[:len(got)]
    else:
        assert got == FILE


def test_header_only_reads_no_further_than_the_header():
    endless = iter([FILE[:100], FILE[100:HEADER_SIZE]] + [b"\0" * 4096] * 1000)
    asked = []

    def read(size):
        asked.append(size)
        return next(endless)

    assert _source.read_stream(read, 2048, header_only=True) == FILE[:HEADER_SIZE]
    assert len(asked) == 2  # the payload, longer than the limit, is never asked for


@pytest.mark.parametrize("limit", [0, 100, HEADER_SIZE, len(FILE) - 1])
def test_a_stream_past_its_limit_names_the_limit(limit):
    read_end, writer = writer_in_pieces(FILE, (4000, 8000))
    writer.start()
    try:
        with pytest.raises(_source.StreamTooLong) as caught:
            _source.read_fd(read_end, limit)
        assert caught.value.limit == limit and isinstance(caught.value, ValueError)
        assert str(caught.value).startswith(f"the stream holds more than {limit} bytes")
    finally:
        os.close(read_end)  # the writer's next write fails: it stops
        writer.join()


def test_headers_compare_by_every_reading(tmp_path):
    mono = pcm_file(ramp(3000, channels=1), rate=8000)
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    a, b, c = _source.read_header(path), _source.Source(FILE, None).header(), \
        _source.Source(mono, None).header()
    assert a == b and hash(a) == hash(b) and a != c and a != a.channels
    assert (a.channels, c.channels, a.header_size, a.frames) == (2, 1, HEADER_SIZE, 3000)
    assert repr(a).startswith("Header(block=b'NIST_1A") and "channels=2" in repr(a)


def test_sources_that_are_files_have_an_identity(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(FILE)
    names = [str(path), path, os.fsencode(path)]
    st = os.stat(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        with open(path, "rb") as f:
            for source in [*names, fd, f]:
                assert _output.source_identity(source) == (st.st_dev, st.st_ino), source
    finally:
        os.close(fd)
    for source in (FILE, bytearray(FILE), True, b"no/such/file", tmp_path / "missing.sph"):
        assert _output.source_identity(source) is None, source
