"""Writing outputs: never over an input, to what the path is, and write
loops that neither lose data nor spin."""

import errno
import io
import os
import socket
import stat
import threading

import pytest

import sonavert
import sonavert._output as output
import sonavert_native as native
from sphfiles import pcm_file, ramp

SPH = pcm_file(ramp(3000, channels=2), rate=16000)
WAV = native.transcode(SPH)


def read_all(fd):
    parts = []
    while True:
        part = os.read(fd, 65536)
        if not part:
            return b"".join(parts)
        parts.append(part)


def read_fifo(path):
    """Everything one writer sends through the FIFO ``path``. The read end
    is closed after: left open, it would let the next writer open, write
    and leave before the next reader has opened, which then waits forever."""
    fd = os.open(path, os.O_RDONLY)
    try:
        return read_all(fd)
    finally:
        os.close(fd)


# --- outputs never touch inputs ------------------------------------------------------


def same_path(tmp, src):
    return src


def symlink_to(tmp, src):
    link = tmp / "link.wav"
    link.symlink_to(src)
    return link


def hard_link_to(tmp, src):
    link = tmp / "hard.wav"
    os.link(src, link)
    return link


def through_folder_link(tmp, src):
    (tmp / "folder").symlink_to(tmp)
    return tmp / "folder" / src.name


@pytest.mark.parametrize("dst_of", [same_path, symlink_to, hard_link_to, through_folder_link])
@pytest.mark.parametrize("selection", [{}, {"channels": [1], "start": 5}])
def test_convert_refuses_its_own_input(tmp_path, dst_of, selection):
    src = tmp_path / "utt.wav"  # a SPHERE file under a WAV name, as in TIMIT
    src.write_bytes(SPH)
    dst = dst_of(tmp_path, src)
    with pytest.raises(OSError) as caught:
        sonavert.convert(src, dst, "wav", **selection)
    assert (caught.value.errno, caught.value.strerror) == (
        errno.EEXIST, "the output is the input file itself")
    assert src.read_bytes() == SPH
    with open(src, "rb") as f, pytest.raises(OSError):  # an open file as the source too
        sonavert.convert(f, dst, "wav", **selection)
    assert src.read_bytes() == SPH
    fd = os.open(src, os.O_RDONLY)
    try:
        for source in (fd, os.fsencode(src)):  # a descriptor, a path given as bytes
            with pytest.raises(OSError, match="the output is the input file itself"):
                sonavert.convert(source, dst, "wav", **selection)
            assert src.read_bytes() == SPH
    finally:
        os.close(fd)
    assert not [n for n in os.listdir(tmp_path) if n.endswith(output.TEMP_SUFFIX)]


# --- outputs go to what the path is --------------------------------------------------


def test_a_character_device_is_written_not_replaced(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    null = tmp_path / "null"
    os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a second /dev/null
    link = tmp_path / "null.wav"
    link.symlink_to(null)
    for dst in (null, link):
        sonavert.convert(SPH, dst, "wav")
        assert stat.S_ISCHR(os.stat(dst).st_mode)
    assert link.is_symlink() and sorted(os.listdir(tmp_path)) == ["null", "null.wav"]


def test_dev_null_as_output():
    sonavert.convert(SPH, os.devnull, "raw")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_a_fifo_reader_gets_the_output(tmp_path):
    fifo = tmp_path / "out.wav"
    os.mkfifo(fifo)
    link = tmp_path / "via.wav"
    link.symlink_to(fifo)
    for dst in (fifo, link):
        got = []
        reader = threading.Thread(target=lambda: got.append(read_fifo(fifo)))
        reader.start()
        sonavert.convert(SPH, dst, "wav")
        reader.join(30)
        assert got == [WAV]
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_socket_listener_gets_the_output(tmp_path):
    path = tmp_path / "out.sock"
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(str(path))
    server.listen(1)
    got = []

    def serve():
        conn, _ = server.accept()
        with conn:
            got.append(read_all(conn.fileno()))

    thread = threading.Thread(target=serve)
    thread.start()
    sonavert.convert(SPH, path, "wav")
    thread.join(30)
    server.close()
    assert got == [WAV]


def test_a_symlink_to_a_regular_file_keeps_its_place(tmp_path):
    target = tmp_path / "real" / "out.wav"
    target.parent.mkdir()
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "out.wav"
    link.symlink_to(target)
    sonavert.convert(SPH, link)
    assert link.is_symlink() and target.read_bytes() == WAV
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(os.listdir(target.parent)) == ["out.wav"]


@pytest.mark.parametrize("make, message", [
    (lambda p: p.mkdir(), "Is a directory"),
])
def test_outputs_that_cannot_be_written(tmp_path, make, message):
    dst = tmp_path / "out.wav"
    make(dst)
    with pytest.raises(OSError) as caught:
        sonavert.convert(SPH, dst)
    assert (caught.value.strerror, caught.value.filename) == (message, str(dst))


@pytest.mark.parametrize("length", [1, 200, 240, 250, 255])
def test_any_name_the_file_system_takes_works(tmp_path, length):
    name = ("é" * length)[: (length - 4) // 2] + "x" * ((length - 4) % 2) + ".wav"
    assert len(os.fsencode(name)) == length or length < 5
    dst = tmp_path / name if length >= 5 else tmp_path / "a.wav"
    sonavert.convert(SPH, dst)
    assert dst.read_bytes() == WAV
    assert os.listdir(tmp_path) == [dst.name]


def test_temporary_names_fit_and_name_their_writer(tmp_path):
    for name in (b"a.wav", b"\xff" * 255, b"x" * 250 + b".wav"):
        temp = output.temp_path(os.path.join(os.fsencode(tmp_path), name))
        base = os.path.basename(temp)
        assert len(base) <= 255 and base.startswith(b"." + name[:10])
        assert output.temp_owner(base) == os.getpid()
    assert output.temp_owner(b".a.wav.sv12-0123abcd.part") == 12
    for other in (b"a.wav.part", b".a.wav.sv12-0123abc.part", b".a.sv-0123abcd.part",
                  b".a.wav.sv12-0123abcd.part.x"):
        assert output.temp_owner(other) is None


def test_stale_temporaries_of_dead_processes_are_removed(tmp_path):
    child = os.fork()
    if child == 0:
        os._exit(0)
    os.waitpid(child, 0)  # a pid that is surely gone
    dead = output.temp_path(os.fsencode(tmp_path / "a.wav"), pid=child)
    alive = output.temp_path(os.fsencode(tmp_path / "b.wav"))
    for path in (dead, alive, os.fsencode(tmp_path / ".c.wav.part")):
        open(path, "wb").close()
    assert output.remove_stale_temps(str(tmp_path)) == 1
    assert sorted(os.listdir(os.fsencode(tmp_path))) == sorted(
        [os.path.basename(alive), b".c.wav.part"])
    assert output.remove_stale_temps(str(tmp_path), only_pid=os.getpid()) == 1


# --- write loops ---------------------------------------------------------------------


class Sink(io.RawIOBase):
    """A file object that answers writes from a script: a number is how many
    bytes it takes (at most), None is "would block"."""

    def __init__(self, script, then=None):
        self.script = list(script)
        self.then = then
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, chunk):
        answer = self.script.pop(0) if self.script else self.then
        if not isinstance(answer, int) or answer <= 0:
            return answer
        taken = bytes(chunk[:answer])
        self.data += taken
        return len(taken)


@pytest.mark.parametrize("script, then", [
    ([10, 1, 3], 1 << 20),                 # short writes
    ([None, None, 7, None, 0, 0], 5000),   # would block, then nothing, then more
    ([0] * (output.ZERO_WRITE_TRIES - 1), 1 << 20),
])
def test_write_loops_deliver_everything(script, then):
    sink = Sink(script, then)
    sonavert.convert(SPH, sink, "wav")
    assert bytes(sink.data) == WAV


@pytest.mark.parametrize("answer, message", [
    (0, "the output takes no more data (write() returned 0)"),
    (-1, "the output's write() returned -1"),
    ("x", "the output's write() returned 'x'"),
])
def test_a_writer_that_takes_nothing_is_an_error(answer, message):
    sink = Sink([], answer)
    with pytest.raises(OSError) as caught:
        sonavert.convert(SPH, sink, "wav")
    assert caught.value.strerror == message


def test_a_stalled_writer_without_a_descriptor_ends(monkeypatch):
    monkeypatch.setattr(output, "STALLED_SECONDS", 0.05)
    with pytest.raises(OSError) as caught:
        sonavert.convert(SPH, Sink([], None), "wav")
    assert caught.value.errno == errno.EAGAIN


def test_a_non_blocking_pipe_gets_everything():
    big = pcm_file(ramp(200_000))
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    got = []
    reader = threading.Thread(target=lambda: got.append(read_all(read_end)))
    reader.start()
    with open(write_end, "wb", buffering=0) as out:
        sonavert.convert(big, out, "raw")
    reader.join(30)
    os.close(read_end)
    assert got == [native.decode_pcm(big)]
