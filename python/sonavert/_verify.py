"""Checking SPHERE files against NIST's ``sample_checksum``.

The native layer reads each file, decodes it whole (with the interpreter
lock released) and compares the sum of its samples with the header's
checksum; files and folders are checked on the batch's worker pool. Plain
classes rather than dataclasses: the command starts faster.
"""

from __future__ import annotations

import os
import stat
import time

from ._report import default_jobs, describe
from ._source import core, open_source

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

    Outcome = Tuple[str, str, str, Optional[Tuple[Optional[int], Optional[int]]]]

#: The states of a checked file. "ok": the samples sum to the checksum;
#: "unchecked": the file decodes, but its header carries no checksum for
#: its samples (the message says why); "corrupt": the sum differs, or the
#: data cannot be decoded; "unreadable": the file cannot be read, is no
#: SPHERE file, or its coding is not supported.
OK, UNCHECKED, CORRUPT, UNREADABLE = "ok", "unchecked", "corrupt", "unreadable"
# What the native layer says of a file without the SPHERE magic: one found
# in a folder is passed over, one given by name is unreadable.
_NO_SPHERE = "nosphere"


class VerifyResult:
    """What checking one file found."""

    __slots__ = ("name", "status", "checksum", "computed", "message")

    def __init__(self, name: Any, status: str, checksum: Optional[int] = None,
                 computed: Optional[int] = None, message: str = "") -> None:
        self.name = name  # the file, named as SoundFile.name names it
        self.status = status  # OK, UNCHECKED, CORRUPT or UNREADABLE
        self.checksum = checksum  # the header's sample_checksum
        self.computed = computed  # what the samples sum to
        self.message = message  # why, for every status but OK

    @property
    def ok(self) -> bool:
        """True unless the file is corrupt or unreadable."""
        return self.status in (OK, UNCHECKED)

    def as_dict(self) -> Dict[str, Any]:
        return {"status": self.status, "checksum": self.checksum,
                "computed": self.computed, "message": self.message}

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, VerifyResult)
                and all(getattr(self, n) == getattr(other, n) for n in self.__slots__))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        inner = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__slots__)
        return f"VerifyResult({inner})"


def _result(name: Any, found: Tuple[str, Optional[int], Optional[int], str]) -> VerifyResult:
    state, checksum, computed, message = found
    return VerifyResult(name, UNREADABLE if state == _NO_SPHERE else state, checksum, computed,
                        message)


def verify(file: Any, *, stream_limit: Optional[int] = None) -> VerifyResult:
    """Decodes the whole of ``file`` (a path, file descriptor, binary file
    object or bytes-like object) and compares the sum of its samples with
    the header's ``sample_checksum``: of 16-bit samples (as the file's byte
    order gives them), or of the code bytes of 1-byte mu-law and A-law. A
    file that cannot be opened raises OSError; everything found in its
    contents is in the result."""
    if isinstance(file, str):  # read and closed by the native layer
        return _result(file, core.verify(file))
    with open_source(file, stream_limit, closefd=False) as source:
        return _result(source.name, core.verify(source.handle))


class VerifyTask:
    """One file to check, run by the batch's worker pool (or in place)."""

    __slots__ = ("src", "size", "dst", "in_folder")

    def __init__(self, src: str, size: int = 0, in_folder: bool = False) -> None:
        self.src = src
        self.size = size  # for the pool's chunks
        self.dst = ""  # no output: nothing for the pool to clean up
        self.in_folder = in_folder  # found in a folder: passed over without the magic

    def __reduce__(self) -> Tuple[Any, ...]:
        return VerifyTask, (self.src, self.size, self.in_folder)

    def run(self) -> Outcome:
        try:
            state, checksum, computed, message = core.verify(self.src)
        except Exception as e:  # one bad file must not end the run
            where, message = describe(e, self.src)
            return (self.src, UNREADABLE, message if where == self.src else f"{where}: {message}",
                    None)
        if state == _NO_SPHERE:
            state = _NO_SPHERE if self.in_folder else UNREADABLE
        return self.src, state, message, (checksum, computed)


class VerifyReport:
    """Every file checked, in the order found, and how long it took."""

    def __init__(self, results: List[VerifyResult], seconds: float) -> None:
        self.results = results
        self.seconds = seconds

    def count(self, status: str) -> int:
        return sum(1 for r in self.results if r.status == status)

    @property
    def ok(self) -> bool:
        return all(r.ok for r in self.results)


def _targets(paths: Sequence[Any]) -> List[Union[VerifyTask, VerifyResult]]:
    """In the order given, the files to check (every regular file of a
    folder, which the check passes over without the SPHERE magic; a file as
    given) and the results of paths that cannot be walked."""
    from ._walk import find_sphere_files

    found: List[Union[VerifyTask, VerifyResult]] = []
    for path in paths:
        name = os.fspath(path)
        try:
            st = os.stat(name)
        except OSError as e:
            found.append(VerifyResult(name, UNREADABLE, message=describe(e, name)[1]))
            continue
        if not stat.S_ISDIR(st.st_mode):
            found.append(VerifyTask(name, st.st_size))
            continue
        walk = find_sphere_files(name, by_magic=False)
        found += [VerifyTask(src, s.st_size, True) for src, s in walk.sources]
        found += [VerifyResult(where, UNREADABLE, message=why) for where, why in walk.problems]
    return found


def verify_paths(paths: Sequence[Any], *, jobs: Optional[int] = None,
                 progress: Optional[Callable[[int, int, Tuple[str, str, str]], None]] = None
                 ) -> VerifyReport:
    """Checks every file of ``paths`` (files, and folders walked for their
    SPHERE files) on ``jobs`` processes (default: all cores; 1 checks in
    this process). ``progress(done, total, (file, status, message))`` is
    called after each file, with status "failed" for a corrupt or
    unreadable one."""
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    began = time.monotonic()
    found = _targets(paths)
    tasks = [t for t in found if isinstance(t, VerifyTask)]
    total = len(found)
    done: Dict[str, VerifyResult] = {}
    problems = total - len(tasks)

    def report(outcome: Any) -> None:  # an Outcome of VerifyTask.run
        src, status, message, sums = outcome
        checksum, computed = sums if sums is not None else (None, None)
        done[src] = VerifyResult(src, status, checksum, computed, message)
        if progress is not None:
            shown = "failed" if status in (CORRUPT, UNREADABLE) else status
            progress(len(done) + problems, total, (src, shown, message))

    workers = min(jobs or default_jobs(), max(1, len(tasks)))
    if workers == 1:
        for task in tasks:
            report(task.run())
    else:
        from ._batch import _run_pool

        _run_pool(tasks, workers, report)
    results = [done[f.src] if isinstance(f, VerifyTask) else f for f in found]
    return VerifyReport([r for r in results if r.status != _NO_SPHERE], time.monotonic() - began)


__all__ = ["VerifyResult", "VerifyReport", "verify", "verify_paths"]
