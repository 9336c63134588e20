"""Checking SPHERE files against NIST's ``sample_checksum``.

Each file is decoded whole by the native layer (with the interpreter lock
released) and the sum of its samples compared with the header's checksum;
files and folders are checked on the batch's worker pool.
"""

from __future__ import annotations

import os
import stat
import time
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional, Sequence, Tuple

from ._report import default_jobs, describe
from ._source import core, open_source

#: The states of a checked file. "ok": the samples sum to the checksum;
#: "unchecked": the file decodes, but its header carries no checksum for
#: its samples; "corrupt": the sum differs, or the data cannot be decoded;
#: "unreadable": the file cannot be read, or its coding is not supported.
OK, UNCHECKED, CORRUPT, UNREADABLE = "ok", "unchecked", "corrupt", "unreadable"


@dataclass(frozen=True)
class VerifyResult:
    """What checking one file found."""

    name: Any  # the file as given
    status: str  # OK, UNCHECKED, CORRUPT or UNREADABLE
    checksum: Optional[int] = None  # the header's sample_checksum
    computed: Optional[int] = None  # what the samples sum to
    message: str = ""  # why, for every status but OK

    @property
    def ok(self) -> bool:
        """True unless the file is corrupt or unreadable."""
        return self.status in (OK, UNCHECKED)

    def as_dict(self) -> dict:
        return {"status": self.status, "checksum": self.checksum,
                "computed": self.computed, "message": self.message}


def verify(file: Any, *, stream_limit: Optional[int] = None) -> VerifyResult:
    """Decodes the whole of ``file`` (a path, file descriptor, binary file
    object or bytes-like object) and compares the sum of its samples with
    the header's ``sample_checksum``: of 16-bit samples, or of the code
    bytes of 1-byte mu-law and A-law. A file that cannot be opened raises
    OSError; everything found in its contents is in the result."""
    with open_source(file, stream_limit, closefd=False) as source:
        try:
            state, checksum, computed, message = core.verify(source.handle)
        except OSError as e:  # the file failed to read
            return VerifyResult(source.name, UNREADABLE, message=describe(e, "")[1])
        return VerifyResult(source.name, state, checksum, computed, message)


@dataclass(frozen=True)
class VerifyTask:
    """One file to check, run by the batch's worker pool."""

    src: str
    size: int = 0
    dst: str = ""  # no output: nothing for the pool to clean up

    def run(self) -> Tuple[str, str, str, Optional[Tuple[Optional[int], Optional[int]]]]:
        try:
            result = verify(self.src)
        except Exception as e:  # one bad file must not end the run
            where, message = describe(e, self.src)
            return self.src, UNREADABLE, message if where == self.src else f"{where}: {message}", None
        return self.src, result.status, result.message, (result.checksum, result.computed)


@dataclass
class VerifyReport:
    """Every file checked, in the order found, and how long it took."""

    results: List[VerifyResult] = field(default_factory=list)
    seconds: float = 0.0

    def count(self, status: str) -> int:
        return sum(1 for r in self.results if r.status == status)

    @property
    def ok(self) -> bool:
        return all(r.ok for r in self.results)


def _targets(paths: Sequence[Any]) -> Tuple[List[VerifyTask], List[VerifyResult]]:
    """The files to check (a folder's SPHERE files, found by their magic or
    .sph name; a file as given) and the paths that cannot be walked."""
    from ._batch import find_sphere_files

    tasks: List[VerifyTask] = []
    problems: List[VerifyResult] = []
    for path in paths:
        name = os.fspath(path)
        try:
            st = os.stat(name)
        except OSError as e:
            problems.append(VerifyResult(name, UNREADABLE, message=describe(e, name)[1]))
            continue
        if not stat.S_ISDIR(st.st_mode):
            tasks.append(VerifyTask(name, st.st_size))
            continue
        found = find_sphere_files(name)
        tasks += [VerifyTask(src, s.st_size) for src, s in found.sources]
        problems += [VerifyResult(where, UNREADABLE, message=why) for where, why in found.problems]
    return tasks, problems


def verify_paths(paths: Sequence[Any], *, jobs: Optional[int] = None,
                 progress: Optional[Callable[[int, int, Tuple[str, str, str]], None]] = None
                 ) -> VerifyReport:
    """Checks every file of ``paths`` (files, and folders walked for their
    SPHERE files) on ``jobs`` processes (default: all cores; 1 checks in
    this process). ``progress(done, total, (file, status, message))`` is
    called after each file, status "failed" for a corrupt or unreadable one."""
    from ._batch import FAILED, _run_inline, _run_pool

    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    began = time.monotonic()
    tasks, problems = _targets(paths)
    total = len(tasks) + len(problems)
    done: dict = {}

    def report(outcome: Tuple[str, str, str, Any]) -> None:
        src, status, message, sums = outcome
        checksum, computed = sums if sums is not None else (None, None)
        done[src] = VerifyResult(src, status, checksum, computed, message)
        if progress is not None:
            shown_status = FAILED if status in (CORRUPT, UNREADABLE) else status
            progress(len(done) + len(problems), total, (src, shown_status, message))

    workers = min(jobs or default_jobs(), max(1, len(tasks)))
    if workers == 1:
        _run_inline(tasks, report)
    else:
        _run_pool(tasks, workers, report)
    # A file given twice is checked twice but listed once.
    results = problems + [done[t.src] for t in dict.fromkeys(tasks)]
    return VerifyReport(results, time.monotonic() - began)


__all__ = ["VerifyResult", "VerifyReport", "verify", "verify_paths"]
