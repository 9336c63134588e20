"""Writing outputs: to what the output path is, never over an input.

A path naming a regular file (or nothing yet) is written through a temporary
file in the same folder and renamed into place, so it never holds half a
file. A character device, FIFO or socket (or a symlink to one) is opened
and written directly: replacing /dev/null or a FIFO that a reader waits on
by a regular file would lose the output. Before anything is written the
output is compared with the inputs by device and inode, through symlinks,
so that no output replaces or overwrites a file it is made from.
"""

from __future__ import annotations

import errno
import os
import re
import select
import stat
import time

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import IO, Any, Collection, Iterable, Optional, Tuple

    Identity = Tuple[int, int]  # (st_dev, st_ino)

FORMATS = ("wav", "raw", "sph", "au", "aif", "flac")
_FORMAT_BY_EXTENSION = {".wav": "wav", ".raw": "raw", ".pcm": "raw", ".sph": "sph", ".au": "au",
                        ".aif": "aif", ".aiff": "aif", ".flac": "flac"}

# Temporary outputs are hidden files named after the output, the process
# that writes them and a random part: ".NAME.sv<pid>-<hex>.part". The pid
# lets a later run tell a leftover of a dead process (safe to remove) from
# the file of a run still going into the same folder.
TEMP_SUFFIX = ".part"
_TEMP_NAME = rb"^\..*\.sv([0-9]{1,10})-[0-9a-f]{8}\.part\Z"  # compiled when first used
_NAME_MAX = 255  # when the file system does not say
# A writer that keeps taking nothing (write() returns 0) is given this many
# tries, a millisecond apart, before the output counts as failed.
ZERO_WRITE_TRIES = 100
# A file object without a descriptor that keeps answering "would block"
# (write() returns None) is waited on for at most this long.
STALLED_SECONDS = 30.0


def output_format(dst: Any, format: Optional[str]) -> str:
    """The output format: ``format`` when given, else from ``dst``'s extension."""
    if format is not None:
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, got {format!r}")
        return format
    if isinstance(dst, (str, os.PathLike)):
        ext = os.path.splitext(os.fsdecode(dst))[1].lower()
        if ext in _FORMAT_BY_EXTENSION:
            return _FORMAT_BY_EXTENSION[ext]
        raise ValueError(
            f"cannot tell the output format from the name {os.fsdecode(dst)!r}: "
            "give format 'wav' or 'raw'")
    raise ValueError("cannot tell the output format of a file object: give format 'wav' or 'raw'")


class SameFileError(OSError):
    """The output is one of the inputs."""


def identity(st: os.stat_result) -> Identity:
    return st.st_dev, st.st_ino


def source_identity(source: Any) -> Optional[Identity]:
    """(device, inode) of a source given as a path, a descriptor or an open
    file, or None (file contents, streams without a descriptor, paths that
    do not exist)."""
    try:
        if isinstance(source, bool):
            return None
        if isinstance(source, int):
            return identity(os.fstat(source))
        if isinstance(source, bytes):
            from ._source import names_a_file

            return identity(os.stat(source)) if names_a_file(source) else None
        if isinstance(source, (str, os.PathLike)):
            return identity(os.stat(source))
        fileno = getattr(source, "fileno", None)
        if fileno is not None:
            return identity(os.fstat(fileno()))
    except (OSError, ValueError, TypeError):
        pass  # reading the source reports what is wrong with it
    return None


def check_not_input(path: str, st: os.stat_result, inputs: Collection[Identity]) -> None:
    if identity(st) in inputs:
        raise SameFileError(errno.EEXIST, "the output is the input file itself", path)


# --- write loops ---------------------------------------------------------------------


def wait_writable(out: Any, waited: float = 0.0) -> float:
    """Waits until ``out`` can take more; returns the seconds waited so far
    (an OSError when a file object without a descriptor stalls too long)."""
    try:
        fd = out.fileno()
    except (AttributeError, OSError, ValueError):
        fd = None
    if fd is not None:
        select.select([], [fd], [])
        return waited
    if waited >= STALLED_SECONDS:
        raise OSError(errno.EAGAIN, f"the output took nothing for {STALLED_SECONDS:.0f} s")
    time.sleep(0.001)
    return waited + 0.001


def write_all(out: Any, data: Any) -> None:
    """Writes all of ``data`` to the binary file object ``out``: the rest
    again after a short write, after waiting when ``out`` would block
    (write() returns None or raises BlockingIOError), and an OSError when it
    keeps taking nothing (write() returns 0)."""
    view = memoryview(data).cast("B")
    zeros = 0
    waited = 0.0
    while view:
        try:
            written = out.write(view)
        except BlockingIOError as e:
            written = e.characters_written or None
        if written is None:
            waited = wait_writable(out, waited)
            continue
        if isinstance(written, bool) or not isinstance(written, int) or not \
                0 <= written <= len(view):
            raise OSError(errno.EIO, f"the output's write() returned {written!r}")
        if written == 0:
            zeros += 1
            if zeros >= ZERO_WRITE_TRIES:
                raise OSError(errno.EIO, "the output takes no more data (write() returned 0)")
            time.sleep(0.001)
            continue
        zeros = 0
        view = view[written:]


def write_fd(fd: int, data: Any) -> None:
    """write_all for a raw descriptor (blocking or not)."""
    with open(fd, "wb", buffering=0, closefd=False) as out:
        write_all(out, data)


# --- temporary files -----------------------------------------------------------------


def _name_max(directory: bytes) -> int:
    try:
        return os.pathconf(directory or b".", "PC_NAME_MAX")
    except (OSError, ValueError):
        return _NAME_MAX


def temp_path(path: bytes, pid: Optional[int] = None) -> bytes:
    """A new temporary name beside ``path``: as much of the output's name as
    fits within the folder's name length limit."""
    directory, name = os.path.split(path)
    tail = b".sv%d-%s%s" % (os.getpid() if pid is None else pid,
                             os.urandom(4).hex().encode(), TEMP_SUFFIX.encode())
    room = max(0, _name_max(directory) - len(tail) - 1)
    return os.path.join(directory, b"." + name[:room] + tail)


def temp_owner(name: bytes) -> Optional[int]:
    """The pid in a temporary name of ours, or None for other names."""
    m = re.match(_TEMP_NAME, name, re.DOTALL)
    return int(m.group(1)) if m else None


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True
    return True


def remove_stale_temps(directory: str, only_pid: Optional[int] = None) -> int:
    """Removes the temporary files of ours in ``directory`` whose process is
    gone (or, with ``only_pid``, those of that process); returns how many."""
    removed = 0
    try:
        entries = list(os.scandir(os.fsencode(directory)))
    except OSError:
        return 0
    for entry in entries:
        pid = temp_owner(entry.name)
        if pid is None or (pid != only_pid if only_pid is not None else _alive(pid)):
            continue
        try:
            os.unlink(entry.path)
            removed += 1
        except OSError:
            pass
    return removed


def _reraise_for(e: OSError, path: str) -> OSError:
    if e.filename is not None and os.fsdecode(e.filename) == path:
        return e
    return OSError(e.errno, e.strerror or str(e), path)


def _create_temp(target: bytes) -> Tuple[bytes, IO[bytes]]:
    """(name, unbuffered binary file) of a new temporary file beside ``target``."""
    temp = temp_path(target)
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    return temp, open(fd, "wb", buffering=0)


def _write_replacing(target: bytes, shown: str, chunks: Iterable[Any],
                     mode: Optional[int]) -> None:
    try:
        temp, out = _create_temp(target)
    except OSError as e:
        raise _reraise_for(e, shown) from None
    try:
        try:
            with out:
                for chunk in chunks:
                    write_all(out, chunk)
                if mode is not None:
                    os.chmod(temp, stat.S_IMODE(mode))
            os.replace(temp, target)
        except BaseException:
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise
    except OSError as e:
        raise _reraise_for(e, shown) from None


def _write_direct(target: bytes, shown: str, st: os.stat_result, chunks: Iterable[Any]) -> None:
    try:
        if stat.S_ISSOCK(st.st_mode):
            import socket

            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
                sock.connect(target)
                for chunk in chunks:
                    sock.sendall(chunk)
            return
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            for chunk in chunks:
                write_fd(fd, chunk)
        finally:
            os.close(fd)
    except OSError as e:
        raise _reraise_for(e, shown) from None


def write_path(path: Any, chunks: Iterable[Any], inputs: Collection[Identity] = ()) -> None:
    """Writes ``chunks`` to the file at ``path``, as the kind of file it is.

    A regular file, or a name not taken yet, gets a temporary file beside it
    that is renamed into place once whole (through a symlink: beside and
    onto its target, keeping the target's permissions). A character device,
    FIFO or socket is written directly. Anything else (a folder, a block
    device) and any file in ``inputs`` is refused before a byte is written.
    """
    shown = os.fsdecode(path)
    target = os.fsencode(path)
    try:
        st: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise _reraise_for(e, shown) from None
    if st is not None:
        check_not_input(shown, st, inputs)
        mode = st.st_mode
        if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
            _write_direct(target, shown, st, chunks)
            return
        if stat.S_ISDIR(mode):
            raise OSError(errno.EISDIR, os.strerror(errno.EISDIR), shown)
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file, character device, FIFO or socket",
                          shown)
    if os.path.islink(target):
        target = os.path.realpath(target)  # a symlink stays; its target gets the output
    _write_replacing(target, shown, chunks, None if st is None else st.st_mode)


def write_output(dst: Any, chunks: Iterable[Any], inputs: Collection[Identity] = ()) -> None:
    """Writes ``chunks`` to ``dst``: a path (see write_path) or a binary file
    object, which must not be one of ``inputs`` either."""
    if hasattr(dst, "write"):
        if inputs and source_identity(dst) in inputs:
            raise SameFileError(errno.EEXIST, "the output is the input file itself")
        for chunk in chunks:
            write_all(dst, chunk)
        return
    write_path(dst, chunks, inputs)
