"""Converting every SPHERE file of a directory tree, in parallel.

The work runs on a pool of local processes of its own (a worker that dies
fails only the file it held, and a new one takes its place), or on any
``concurrent.futures.Executor`` given, for instance a Dask ``distributed``
client's executor when the files sit on storage that its workers share.

DST keeps a record of what each output was made from (``RECORD_NAME``, an
SQLite database): a rerun skips an output only when its record, the
source's current identity and the output's current size and mtime all
agree. Every file of the tree that is not converted is named in the result
with the reason.
"""

from __future__ import annotations

import errno
import os
import signal
import stat
import time
from collections import deque
from dataclasses import dataclass, field
from typing import (TYPE_CHECKING, Any, Callable, Deque, Dict, Iterable, Iterator, List,
                    Optional, Sequence, Tuple, Union)

from sonavert_native import __version__

from ._api import FORMATS, convert
from ._selection import ChannelError, Position, channel_list, frame_range, validate_range
from ._formats import check_form
from ._output import identity, remove_stale_temps, write_path
from ._report import default_jobs, describe
from ._source import core, open_regular, read_header
from ._walk import find_sphere_files

if TYPE_CHECKING:
    import concurrent.futures as cf
    import sqlite3

    from ._output import Identity

PathName = Union[str, "os.PathLike[str]"]
Channels = Union[int, Sequence[int], None]

# The record of a batch, in the root of DST.
RECORD_NAME = ".sonavert-batch.sqlite"
# Files travel to the workers in chunks, which spares most of the cost of
# handing out small files one by one. A chunk holds at most this many files
# and, unless one file is larger, at most this many input bytes, so that a
# worker stopping after its chunk (on Ctrl-C) stops soon.
CHUNK_FILES = 64
CHUNK_BYTES = 4 << 20
# Chunks in flight on a caller's executor (enough to keep a cluster busy,
# few enough that a corpus of millions of files is not queued at once).
EXECUTOR_WINDOW = 64
# Workers assumed behind a caller's executor when sizing chunks.
EXECUTOR_WORKERS = 32
# Outcomes are committed to the record at least this often (seconds), so an
# interrupted run keeps what it did.
COMMIT_SECONDS = 1.0
# Workers get this long to clean up after SIGTERM before they are killed.
WORKER_GRACE_SECONDS = 5.0

CONVERTED, SKIPPED, FAILED = "converted", "skipped", "failed"

# What a worker reports per file: (source, status, message, record or None).
Record = Tuple[int, int, int, int, int, int, int, int, int, int]
Outcome = Tuple[str, str, str, Optional[Record]]


@dataclass(frozen=True)
class Task:
    """One file to convert; travels to the worker, so it holds plain data."""

    src: str
    dst: str
    format: str
    channels: Channels = None
    start: Position = None
    stop: Position = None
    overwrite: bool = False
    channel_base: int = 0
    size: int = 0
    form: Optional[str] = None
    verify: bool = False  # check the source's samples against its checksum first

    def run(self) -> Outcome:
        return convert_task(self)


@dataclass
class BatchResult:
    """What a batch did, by source path (failures with their message)."""

    converted: List[str] = field(default_factory=list)
    skipped: List[str] = field(default_factory=list)
    failed: List[Tuple[str, str]] = field(default_factory=list)
    seconds: float = 0.0

    @property
    def total(self) -> int:
        return len(self.converted) + len(self.skipped) + len(self.failed)

    @property
    def ok(self) -> bool:
        return not self.failed


def make_folders(path: str) -> None:
    """os.makedirs without its recursion: any depth works."""
    missing = []
    while path and not os.path.isdir(path):
        missing.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    for folder in reversed(missing):
        try:
            os.mkdir(folder)
        except FileExistsError:
            if not os.path.isdir(folder):
                raise


def convert_task(task: Task) -> Outcome:
    """Runs one task: (source, "converted" | "failed", message, record).
    With ``task.verify`` a source whose samples do not match its checksum,
    or that cannot be decoded, fails before anything is written."""
    try:
        fd, st = open_regular(task.src)
        try:
            if task.verify:
                state, _, _, message = core.verify(fd)
                if state not in ("ok", "unchecked"):
                    return task.src, FAILED, message, None
            make_folders(os.path.dirname(task.dst))
            convert(fd, task.dst, task.format, task.channels, task.start, task.stop, task.form)
            header = read_header(fd)
        finally:
            os.close(fd)
        out = os.stat(task.dst)
        picked, _ = channel_list(task.channels, header.channels)
        count = header.channels if picked is None else len(picked)
        first, end = frame_range(task.start, task.stop, header.samplerate, header.frames)
        frames = end - first
        record = (st.st_size, st.st_mtime_ns, st.st_dev, st.st_ino,
                  out.st_size, out.st_mtime_ns, out.st_ino, frames, header.samplerate, count)
        return task.src, CONVERTED, "", record
    except ChannelError as e:
        return task.src, FAILED, e.text(task.channel_base), None
    except Exception as e:  # one bad file must not end the batch
        where, message = describe(e, task.src)
        return task.src, FAILED, message if where == task.src else f"{where}: {message}", None


# --- the record --------------------------------------------------------------------


def options_key(format: str, channels: Any, start: Position, stop: Position,
                form: Optional[str] = None) -> str:
    """Everything that shapes an output, as one text."""
    def text(value: Any) -> str:
        return "-" if value is None else f"{type(value).__name__}:{value}"

    picked = None if channels is None else channel_list(channels, 1 << 62)[0]
    shown = f"sonavert {__version__}|{format}|{picked}|{text(start)}|{text(stop)}"
    return shown if form is None else f"{shown}|{form}"


_SCHEMA = """CREATE TABLE IF NOT EXISTS outputs (
    dst BLOB PRIMARY KEY, src BLOB NOT NULL, options TEXT NOT NULL,
    src_size INTEGER, src_mtime_ns INTEGER, src_dev INTEGER, src_ino INTEGER,
    out_size INTEGER, out_mtime_ns INTEGER, out_ino INTEGER,
    frames INTEGER, samplerate INTEGER, channels INTEGER)"""

Row = Tuple[bytes, str, int, int, int, int, int, int, int, int, int, int]


class BatchRecord:
    """The record of the outputs in DST (SQLite: two runs may share it)."""

    def __init__(self, dst_root: str):
        import sqlite3

        self.path = os.path.join(dst_root, RECORD_NAME)
        self.error: Optional[str] = None
        try:
            self.db: sqlite3.Connection = sqlite3.connect(self.path, timeout=60,
                                                          isolation_level=None)
            self.db.execute("PRAGMA busy_timeout = 60000")
            self.db.execute(_SCHEMA)
        except sqlite3.Error as e:
            raise OSError(errno.EIO, f"cannot open the batch record: {e}", self.path) from None
        self.pending: List[Tuple[Any, ...]] = []
        self.last_commit = time.monotonic()

    def load(self) -> Dict[bytes, Row]:
        """Every row by output; none when the record cannot be read (then
        every output is made again and the error reported)."""
        import sqlite3

        try:
            rows = self.db.execute("SELECT dst, src, options, src_size, src_mtime_ns, "
                                   "src_dev, src_ino, out_size, out_mtime_ns, out_ino, frames, "
                                   "samplerate, channels FROM outputs").fetchall()
        except sqlite3.Error as e:
            self.error = self.error or f"could not read the batch record: {e}"
            return {}
        return {row[0]: row[1:] for row in rows}

    def add(self, dst: str, src: str, options: str, record: Record) -> None:
        self.pending.append((os.fsencode(dst), os.fsencode(src), options, *record))
        if time.monotonic() - self.last_commit >= COMMIT_SECONDS:
            self.commit()

    def forget(self, dst: str) -> None:
        self.pending.append((os.fsencode(dst),))
        if time.monotonic() - self.last_commit >= COMMIT_SECONDS:
            self.commit()

    def commit(self) -> None:
        rows, self.pending = self.pending, []
        self.last_commit = time.monotonic()
        if not rows:
            return
        import sqlite3

        try:
            self.db.execute("BEGIN IMMEDIATE")
            for row in rows:
                if len(row) == 1:
                    self.db.execute("DELETE FROM outputs WHERE dst = ?", row)
                else:
                    self.db.execute("INSERT OR REPLACE INTO outputs VALUES "
                                    "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", row)
            self.db.execute("COMMIT")
        except sqlite3.Error as e:
            # The outputs stay right; a rerun converts those not recorded.
            self.error = self.error or f"could not update the batch record: {e}"
            try:
                self.db.execute("ROLLBACK")
            except sqlite3.Error:
                pass

    def close(self) -> None:
        self.db.close()


def is_current(row: Optional[Row], src: str, options: str, st: os.stat_result,
               dst: str) -> bool:
    """True when the record ``row`` of ``dst`` says it was made from ``src``
    as it is now, with ``options``, and ``dst`` is still what was written."""
    if row is None or row[0] != os.fsencode(src) or row[1] != options:
        return False
    if row[2:6] != (st.st_size, st.st_mtime_ns, st.st_dev, st.st_ino):
        return False
    try:
        out = os.stat(dst)
    except OSError:
        return False
    return stat.S_ISREG(out.st_mode) and row[6:9] == (out.st_size, out.st_mtime_ns, out.st_ino)


# --- the walk ------------------------------------------------------------------------


# --- planning ------------------------------------------------------------------------


@dataclass
class Plan:
    tasks: List[Task]
    failed: List[Tuple[str, str]]
    skipped: List[Tuple[str, str]] = field(default_factory=list)  # (source, output)
    folders: List[str] = field(default_factory=list)  # DST folders of the walked ones


def plan(src_dir: Any, dst_dir: Any, format: str, channels: Any = None,
         start: Position = None, stop: Position = None, overwrite: bool = False,
         channel_base: int = 0, record: Optional[Dict[bytes, Row]] = None,
         options: str = "", form: Optional[str] = None, verify: bool = False) -> Plan:
    """The tasks of a batch, the files that fail before any work (not
    sources, outputs that would replace an input or another output) and,
    given the ``record``, the sources whose outputs are current. Each
    source's output mirrors its place under ``src_dir``, with the format's
    extension."""
    src_root, dst_root = os.fspath(src_dir), os.fspath(dst_dir)
    if not os.path.isdir(src_root):
        code = errno.ENOTDIR if os.path.exists(src_root) else errno.ENOENT
        raise OSError(code, os.strerror(code), src_root)
    try:
        exclude: Optional[Identity] = identity(os.stat(dst_root))
    except OSError:
        exclude = None
    found = find_sphere_files(src_root, exclude)
    inputs = {identity(st) for _, st in found.sources}
    result = Plan([], list(found.problems))
    owner: Dict[str, str] = {}
    for src, st in found.sources:
        rel = os.path.relpath(src, src_root)
        dst = os.path.join(dst_root, os.path.splitext(rel)[0] + "." + format)
        key = os.path.normcase(os.path.abspath(dst))
        try:
            out: Optional[os.stat_result] = os.stat(dst)
        except OSError:
            out = None
        if out is not None and identity(out) == identity(st):
            result.failed.append((src, "the output would replace its own input"))
        elif out is not None and identity(out) in inputs:
            result.failed.append((src, f"the output {dst} is a source of this batch"))
        elif key in owner:
            result.failed.append((src, f"the output {dst} is already written from {owner[key]}"))
        else:
            owner[key] = src
            if (not overwrite and record is not None
                    and is_current(record.get(os.fsencode(dst)), src, options, st, dst)):
                result.skipped.append((src, dst))
                continue
            result.tasks.append(Task(src, dst, format, channels, start, stop, overwrite,
                                     channel_base, st.st_size, form, verify))
    src_abs = os.path.abspath(src_root)
    result.folders = [os.path.join(dst_root, os.path.relpath(d, src_abs))
                      for d in map(os.path.abspath, found.folders)]
    return result


# --- running -------------------------------------------------------------------------


def _chunks(tasks: List[Any], workers: int) -> Iterator[List[Any]]:
    """Consecutive chunks of ``tasks``: about eight per worker for a small
    batch, within CHUNK_FILES and CHUNK_BYTES."""
    most = max(1, min(CHUNK_FILES, len(tasks) // (8 * workers)))
    chunk: List[Task] = []
    size = 0
    for task in tasks:
        if chunk and (len(chunk) >= most or size + task.size > CHUNK_BYTES):
            yield chunk
            chunk, size = [], 0
        chunk.append(task)
        size += task.size
    if chunk:
        yield chunk


def convert_tasks(tasks: List[Task]) -> List[Outcome]:
    """Runs a chunk of tasks in a worker of an executor."""
    return [task.run() for task in tasks]


def _run_inline(tasks: Iterable[Any], report: Callable[[Outcome], None]) -> None:
    """Runs tasks (anything with ``run()``, ``src`` and ``dst``) here."""
    for task in tasks:
        report(task.run())


def _run_on(executor: "cf.Executor", tasks: List[Task], workers: int, window: int,
            report: Callable[[Outcome], None]) -> None:
    import concurrent.futures as cf

    pending: Dict["cf.Future[List[Outcome]]", List[Task]] = {}
    queue = _chunks(tasks, workers)

    def fail(chunk: List[Task], why: str) -> None:
        for task in chunk:
            report((task.src, FAILED, why, None))

    def fill() -> None:
        for chunk in queue:
            try:
                pending[executor.submit(convert_tasks, chunk)] = chunk
            except Exception as e:  # a broken executor takes no more work
                why = "could not be scheduled: " + describe(e, "")[1]
                fail(chunk, why)
                for rest in queue:
                    fail(rest, why)
                return
            if len(pending) >= window:
                return

    try:
        fill()
        while pending:
            done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
            for future in done:
                chunk = pending.pop(future)
                try:
                    outcomes = future.result()
                except Exception as e:  # the worker died or the executor failed
                    fail(chunk, "worker failed: " + describe(e, "")[1])
                    continue
                for outcome in outcomes:
                    report(outcome)
            fill()
    finally:
        for future in pending:
            future.cancel()


def _terminate_quietly(*_: Any) -> None:
    raise SystemExit(143)


def _die_with_parent(parent: int) -> None:
    """Asks the kernel to send SIGTERM when the parent ends (Linux), so that
    no worker outlives a killed batch; elsewhere the closed pipe ends it."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:  # the parent died before the request
        os._exit(1)


def _worker_main(conn: Any, parent: int) -> None:
    # Ctrl-C reaches the whole process group: the parent decides. A
    # terminated worker unwinds, so a conversion in progress removes its
    # temporary file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _terminate_quietly)
    _die_with_parent(parent)
    try:
        while True:
            chunk = conn.recv()
            if chunk is None:
                return
            for task in chunk:
                conn.send(task.run())
    except (EOFError, OSError):
        return  # the parent is gone


class _Worker:
    def __init__(self, ctx: Any):
        self.conn, theirs = ctx.Pipe()
        self.process = ctx.Process(target=_worker_main, args=(theirs, os.getpid()),
                                   daemon=True)
        self.process.start()
        theirs.close()
        self.held: Deque[Task] = deque()


def _death(process: Any) -> str:
    code = process.exitcode
    if code is not None and code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"the worker converting it was killed ({name})"
    return f"the worker converting it ended (exit status {code})"


def _clean_after(worker: _Worker) -> None:
    """Removes the temporary files that a dead worker left."""
    pid = worker.process.pid
    for folder in {os.path.dirname(t.dst) or "." for t in worker.held if t.dst}:
        remove_stale_temps(folder, only_pid=pid)


def _run_pool(tasks: List[Any], workers: int, report: Callable[[Outcome], None]) -> None:
    """Runs ``tasks`` on ``workers`` processes. Each worker takes a chunk and
    reports file by file, so the file it held is known if it dies: that
    file fails, the rest of its chunk goes back in the queue and a new
    worker takes its place."""
    import multiprocessing
    from multiprocessing.connection import wait

    ctx = multiprocessing.get_context()
    queue: Deque[List[Task]] = deque(_chunks(tasks, workers))
    pool = [_Worker(ctx) for _ in range(workers)]
    try:
        while True:
            for worker in pool:
                if not worker.held and queue:
                    chunk = queue.popleft()
                    worker.held.extend(chunk)
                    worker.conn.send(chunk)
            busy = [w for w in pool if w.held]
            if not busy:
                break
            ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy]))
            for i, worker in enumerate(pool):
                dead = worker.process.sentinel in ready
                if worker.conn not in ready and not dead:
                    continue
                try:
                    while worker.held and worker.conn.poll():
                        report(worker.conn.recv())
                        worker.held.popleft()
                except (EOFError, OSError):
                    dead = True
                if not dead:
                    continue
                worker.process.join()
                if worker.held:
                    _clean_after(worker)
                    lost = worker.held.popleft()
                    report((lost.src, FAILED, _death(worker.process), None))
                    if worker.held:
                        queue.appendleft(list(worker.held))
                worker.conn.close()
                pool[i] = _Worker(ctx)
    finally:
        _stop_pool(pool)


def _stop_pool(pool: Sequence[_Worker]) -> None:
    """Ends every worker: at once when it held work (SIGTERM: it removes
    its temporary file), after its current chunk otherwise."""
    for worker in pool:
        try:
            if worker.held:
                worker.process.terminate()
            else:
                worker.conn.send(None)
        except (OSError, ValueError):
            pass
    deadline = time.monotonic() + WORKER_GRACE_SECONDS
    for worker in pool:
        worker.process.join(max(0.0, deadline - time.monotonic()))
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
        _clean_after(worker)
        worker.conn.close()


# --- the whole batch -----------------------------------------------------------------


def _listings(scp: Optional[str], jsonl: Optional[str], dst_root: str,
              rows: List[Tuple[str, Row]]) -> List[Tuple[str, str]]:
    """Writes the wav.scp-style and JSON-lines listings of ``rows``
    (output path, its record); returns the outputs that a listing cannot
    hold (a wav.scp line cannot hold white space)."""
    import json

    problems: List[Tuple[str, str]] = []
    if scp is not None:
        lines = []
        for dst, _ in rows:
            rel = os.path.splitext(os.path.relpath(dst, dst_root))[0]
            if any(c.isspace() for c in dst):
                problems.append((dst, f"left out of {scp}: its name holds white space"))
                continue
            lines.append(f"{rel.replace(os.sep, '_')} {dst}\n")
        write_path(scp, [os.fsencode("".join(lines))])
    if jsonl is not None:
        text = "".join(json.dumps({"path": os.fsencode(dst).decode("utf-8", "backslashreplace"),
                                   "frames": row[9], "samplerate": row[10],
                                   "channels": row[11], "duration": row[9] / row[10]}) + "\n"
                       for dst, row in rows)
        write_path(jsonl, [text.encode("utf-8")])
    return problems


def batch(src_dir: PathName, dst_dir: PathName, *, format: str = "wav",
          channels: Channels = None, start: Position = None, stop: Position = None,
          overwrite: bool = False, executor: Optional["cf.Executor"] = None,
          jobs: Optional[int] = None,
          progress: Optional[Callable[[int, int, Tuple[str, str, str]], None]] = None,
          channel_base: int = 0, scp: Optional[PathName] = None,
          jsonl: Optional[PathName] = None, form: Optional[str] = None,
          verify: bool = False) -> BatchResult:
    """Converts every SPHERE file under ``src_dir`` into the same tree shape
    under ``dst_dir``.

    An output is skipped (unless ``overwrite``) when the record in
    ``dst_dir`` says it was made from the source as it is now, with the same
    options, and the output is unchanged since. Each output is written to a
    temporary file and renamed into place; none replaces a source. The work
    runs on ``executor`` when given (any ``concurrent.futures.Executor``
    whose workers can import sonavert and see both trees), else on a pool of
    ``jobs`` processes (default: all cores; 1 runs in this process).
    ``progress(done, total, (source, status, message))`` is called after each
    file. A failing file does not stop the others: it is listed in the
    result's ``failed`` with its message (channels numbered from
    ``channel_base``), as is every file of the tree that could not be read
    or is no regular file. ``scp`` and ``jsonl`` name listings of every
    output (wav.scp lines "ID PATH"; JSON lines with path, frames,
    samplerate, channels and duration) written after the run. ``format`` and
    ``form`` are those of ``convert``. With ``verify`` each source is first
    checked against its ``sample_checksum`` (see ``sonavert.verify``); one
    that is corrupt fails and is not converted.
    """
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, got {format!r}")
    check_form(form)
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    # Argument errors show up now, not once per file.
    channel_list(channels, 1 << 62)
    validate_range(start, stop)

    began = time.monotonic()
    src_root, dst_root = os.fspath(src_dir), os.fspath(dst_dir)
    if not os.path.isdir(src_root):
        code = errno.ENOTDIR if os.path.exists(src_root) else errno.ENOENT
        raise OSError(code, os.strerror(code), src_root)
    os.makedirs(dst_root, exist_ok=True)
    options = options_key(format, channels, start, stop, form)
    record = BatchRecord(dst_root)
    try:
        return _batch(record, src_root, dst_root, options, format, channels, start, stop,
                      overwrite, executor, jobs, progress, channel_base, scp, jsonl, began, form,
                      verify)
    finally:
        record.close()


def _batch(record: BatchRecord, src_root: str, dst_root: str, options: str, format: str,
           channels: Any, start: Position, stop: Position, overwrite: bool,
           executor: Optional["cf.Executor"], jobs: Optional[int],
           progress: Optional[Callable[[int, int, Tuple[str, str, str]], None]],
           channel_base: int, scp: Any, jsonl: Any, began: float,
           form: Optional[str] = None, verify: bool = False) -> BatchResult:
    rows = record.load()
    planned = plan(src_root, dst_root, format, channels, start, stop, overwrite, channel_base,
                   rows, options, form, verify)
    for folder in planned.folders:
        remove_stale_temps(folder)
    result = BatchResult()
    total = len(planned.tasks) + len(planned.failed) + len(planned.skipped)
    buckets = {CONVERTED: result.converted, SKIPPED: result.skipped}
    dst_of = {task.src: task.dst for task in planned.tasks}

    def report(outcome: Outcome) -> None:
        src, status, message, made = outcome
        if status == FAILED:
            result.failed.append((src, message))
            if src in dst_of:
                record.forget(dst_of[src])
        else:
            buckets[status].append(src)
            if made is not None:
                record.add(dst_of[src], src, options, made)
        if progress is not None:
            progress(result.total, total, (src, status, message))

    for src, message in planned.failed:
        report((src, FAILED, message, None))
    for src, _ in planned.skipped:
        report((src, SKIPPED, "", None))
    try:
        if executor is not None:
            _run_on(executor, planned.tasks, EXECUTOR_WORKERS, EXECUTOR_WINDOW, report)
        else:
            workers = min(jobs or default_jobs(), max(1, len(planned.tasks)))
            if workers == 1:
                _run_inline(planned.tasks, report)
            else:
                _run_pool(planned.tasks, workers, report)
    finally:
        record.commit()
    if record.error is not None:
        result.failed.append((record.path, record.error))
    if scp is not None or jsonl is not None:
        done = set(result.converted) | set(result.skipped)
        current = record.load()
        outputs = [(t.src, t.dst) for t in planned.tasks] + planned.skipped
        listed = sorted((dst, current[os.fsencode(dst)]) for src, dst in outputs
                        if src in done and os.fsencode(dst) in current)
        for dst, message in _listings(None if scp is None else os.fspath(scp),
                                      None if jsonl is None else os.fspath(jsonl),
                                      dst_root, listed):
            result.failed.append((dst, message))
    result.converted.sort()
    result.skipped.sort()
    result.failed.sort()
    result.seconds = time.monotonic() - began
    return result

