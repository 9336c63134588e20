"""Converting every SPHERE file of a directory tree, in parallel.

The work is handed to any ``concurrent.futures.Executor``: by default a pool
of local processes, or for instance a Dask ``distributed`` client's executor
when the files sit on storage that its workers share.
"""

from __future__ import annotations

import concurrent.futures as cf
import errno
import os
import signal
import stat
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, Tuple, Union

from ._api import (FORMATS, ChannelError, Position, channel_list, convert, output_size,
                   validate_range)
from ._formats import check_form
from ._source import read_header

PathName = Union[str, "os.PathLike[str]"]
Channels = Union[int, Sequence[int], None]

# (source, status, message) of one file.
Outcome = Tuple[str, str, str]

MAGIC = b"NIST_1A"
# Files named like this are taken for SPHERE files even without the magic,
# so that a damaged one is reported rather than passed over.
SPHERE_EXTENSION = ".sph"
# Files travel to the workers in chunks, which spares most of the cost of
# handing out small files one by one. A chunk holds at most this many files
# and, unless one file is larger, at most this many input bytes, so that a
# worker stopping after its chunk (on Ctrl-C) stops soon.
CHUNK_FILES = 64
CHUNK_BYTES = 4 << 20
# Chunks in flight: per process of the default pool, and on a caller's
# executor (enough to keep a cluster busy, few enough that a corpus of
# millions of files is not queued at once).
CHUNKS_PER_PROCESS = 2
EXECUTOR_WINDOW = 64
# Workers assumed behind a caller's executor when sizing chunks.
EXECUTOR_WORKERS = 32

CONVERTED, SKIPPED, FAILED = "converted", "skipped", "failed"


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
    form: Optional[str] = None


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


def describe(error: BaseException, path: str) -> Tuple[str, str]:
    """(file, message) for an error met while working on ``path``."""
    if isinstance(error, OSError) and error.strerror:
        return os.fsdecode(error.filename) if error.filename is not None else path, error.strerror
    if isinstance(error, (ValueError, TypeError, OSError, ImportError)):
        return path, str(error)
    return path, f"{type(error).__name__}: {error}"


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def is_complete(task: Task) -> bool:
    """True when ``task.dst`` is a regular file of exactly the size that the
    conversion writes (and, for WAV, starts like a WAV file). Outputs are
    renamed into place only when whole, so this catches outputs of other
    tools, of other options and of interrupted non-atomic writes."""
    try:
        st = os.stat(task.dst)
        if not stat.S_ISREG(st.st_mode):
            return False
        expected = output_size(read_header(task.src), task.format, task.channels,
                               task.start, task.stop, task.form)
        if expected != st.st_size:
            return False
        if task.format == "wav":
            with open(task.dst, "rb") as f:
                head = f.read(12)
            return head[:4] == b"RIFF" and head[8:] == b"WAVE"
        return True
    except (OSError, ValueError, TypeError):
        return False  # the conversion itself reports what is wrong


def convert_task(task: Task) -> Tuple[str, str, str]:
    """Runs one task: (source, "converted" | "skipped" | "failed", message)."""
    try:
        if not task.overwrite and is_complete(task):
            return task.src, SKIPPED, ""
        os.makedirs(os.path.dirname(task.dst) or ".", exist_ok=True)
        convert(task.src, task.dst, task.format, task.channels, task.start, task.stop, task.form)
        return task.src, CONVERTED, ""
    except ChannelError as e:
        return task.src, FAILED, e.text(task.channel_base)
    except Exception as e:  # one bad file must not end the batch
        where, message = describe(e, task.src)
        return task.src, FAILED, message if where == task.src else f"{where}: {message}"


def _has_magic(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read(len(MAGIC)) == MAGIC
    except OSError:
        return False


def find_sphere_files(root: str, exclude: Optional[str] = None) -> Iterator[str]:
    """Paths of the SPHERE files under ``root`` (files that start with the
    magic, or are named *.sph), in sorted order, leaving out the tree
    ``exclude``."""
    skip = os.path.realpath(exclude) if exclude is not None else None
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs
                            if os.path.realpath(os.path.join(directory, d)) != skip)
        for name in sorted(names):
            path = os.path.join(directory, name)
            if not os.path.isfile(path):
                continue
            if name.lower().endswith(SPHERE_EXTENSION) or _has_magic(path):
                yield path


def plan(src_dir: PathName, dst_dir: PathName, format: str, channels: Channels = None,
         start: Position = None, stop: Position = None, overwrite: bool = False,
         channel_base: int = 0, form: Optional[str] = None) -> Tuple[List[Task], List[Tuple[str, str]]]:
    """(tasks, failures found while planning) for a batch: each source's
    output mirrors its place under ``src_dir``, with the format's extension."""
    src_root, dst_root = os.fspath(src_dir), os.fspath(dst_dir)
    if not os.path.isdir(src_root):
        code = errno.ENOTDIR if os.path.exists(src_root) else errno.ENOENT
        raise OSError(code, os.strerror(code), src_root)
    tasks: List[Task] = []
    failed: List[Tuple[str, str]] = []
    owner: Dict[str, str] = {}
    for src in find_sphere_files(src_root, exclude=dst_root):
        rel = os.path.relpath(src, src_root)
        dst = os.path.join(dst_root, os.path.splitext(rel)[0] + "." + format)
        key = os.path.normcase(os.path.abspath(dst))
        if key == os.path.normcase(os.path.abspath(src)):
            failed.append((src, "the output would replace its own input"))
        elif key in owner:
            failed.append((src, f"the output {dst} is already written from {owner[key]}"))
        else:
            owner[key] = src
            tasks.append(Task(src, dst, format, channels, start, stop, overwrite, channel_base, form))
    return tasks, failed


def _terminate_quietly(*_: Any) -> NoReturn:
    raise SystemExit(143)


def _worker_init() -> None:
    # Ctrl-C reaches the whole process group: the parent stops handing out
    # work and the workers finish the file in hand. A terminated worker
    # unwinds, so a conversion in progress removes its temporary file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _terminate_quietly)


def _run_inline(tasks: Iterable[Task], report: Callable[[Outcome], None]) -> None:
    for task in tasks:
        report(convert_task(task))


def convert_tasks(tasks: List[Task]) -> List[Tuple[str, str, str]]:
    """Runs a chunk of tasks in a worker."""
    return [convert_task(task) for task in tasks]


def _chunks(tasks: List[Task], workers: int) -> Iterator[List[Task]]:
    """Consecutive chunks of ``tasks``: about eight per worker for a small
    batch, within CHUNK_FILES and CHUNK_BYTES."""
    most = max(1, min(CHUNK_FILES, len(tasks) // (8 * workers)))
    chunk: List[Task] = []
    size = 0
    for task in tasks:
        try:
            task_size = os.path.getsize(task.src)
        except OSError:
            task_size = 0  # the worker reports it
        if chunk and (len(chunk) >= most or size + task_size > CHUNK_BYTES):
            yield chunk
            chunk, size = [], 0
        chunk.append(task)
        size += task_size
    if chunk:
        yield chunk


def _run_on(executor: cf.Executor, tasks: List[Task], workers: int, window: int,
            report: Callable[[Outcome], None]) -> None:
    pending: Dict[cf.Future[List[Outcome]], List[Task]] = {}
    queue = _chunks(tasks, workers)

    def fail(chunk: List[Task], why: str) -> None:
        for task in chunk:
            report((task.src, FAILED, why))

    def fill() -> None:
        for chunk in queue:
            try:
                pending[executor.submit(convert_tasks, chunk)] = chunk
            except Exception as e:  # a broken pool takes no more work
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


def batch(src_dir: PathName, dst_dir: PathName, *, format: str = "wav",
          channels: Channels = None, start: Position = None,
          stop: Position = None, form: Optional[str] = None, overwrite: bool = False,
          executor: Optional[cf.Executor] = None, jobs: Optional[int] = None,
          progress: Optional[Callable[[int, int, Tuple[str, str, str]], None]] = None,
          channel_base: int = 0) -> BatchResult:
    """Converts every SPHERE file under ``src_dir`` into the same tree shape
    under ``dst_dir``.

    ``format`` and ``form`` are those of ``convert``. Outputs that exist and
    are complete are skipped unless ``overwrite``; those of the SPHERE, AU,
    AIFF and FLAC formats and of a ``form`` have no size known in advance and
    are converted again. Each output is written to a temporary file and renamed into place. The
    work runs on ``executor`` when given (any ``concurrent.futures.Executor``
    whose workers can import sonavert and see both trees), else on a pool of
    ``jobs`` processes (default: all cores; 1 runs in this process).
    ``progress(done, total, (source, status, message))`` is called after each
    file. A failing file does not stop the others: it is listed in the
    result's ``failed`` with its message, which numbers channels from
    ``channel_base`` (the command line counts from 1).
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
    tasks, planning_failures = plan(src_dir, dst_dir, format, channels, start, stop,
                                    overwrite, channel_base, form)
    result = BatchResult()
    total = len(tasks) + len(planning_failures)
    buckets = {CONVERTED: result.converted, SKIPPED: result.skipped}

    def report(outcome: Tuple[str, str, str]) -> None:
        src, status, message = outcome
        if status == FAILED:
            result.failed.append((src, message))
        else:
            buckets[status].append(src)
        if progress is not None:
            progress(result.total, total, outcome)

    for src, message in planning_failures:
        report((src, FAILED, message))
    if executor is not None:
        _run_on(executor, tasks, EXECUTOR_WORKERS, EXECUTOR_WINDOW, report)
    else:
        workers = min(jobs or default_jobs(), max(1, len(tasks)))
        if workers == 1:
            _run_inline(tasks, report)
        else:
            with cf.ProcessPoolExecutor(workers, initializer=_worker_init) as pool:
                try:
                    _run_on(pool, tasks, workers, CHUNKS_PER_PROCESS * workers, report)
                except BaseException:
                    pool.shutdown(wait=True, cancel_futures=True)
                    raise
    result.converted.sort()
    result.skipped.sort()
    result.failed.sort()
    result.seconds = time.monotonic() - began
    return result
