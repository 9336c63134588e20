"""Finding the SPHERE files of a folder tree, for the batch and verify."""

from __future__ import annotations

import os
import stat

from ._output import identity
from ._report import describe
from ._source import not_regular, open_regular

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import List, Optional, Set, Tuple

    from ._output import Identity

MAGIC = b"NIST_1A"
# Files named like this are taken for SPHERE files even without the magic,
# so that a damaged one is reported rather than passed over.
SPHERE_EXTENSION = ".sph"


class Found:
    """A walk's findings: SPHERE files with their status, and files that
    are no sources with the reason."""

    def __init__(self) -> None:
        self.sources: List[Tuple[str, os.stat_result]] = []
        self.problems: List[Tuple[str, str]] = []
        self.folders: List[str] = []


def _has_magic(path: str, found: Found) -> bool:
    try:
        fd, _ = open_regular(path)
        try:
            return os.pread(fd, len(MAGIC), 0) == MAGIC
        finally:
            os.close(fd)
    except OSError as e:
        found.problems.append(describe(e, path))
        return False


def find_sphere_files(root: str, exclude: Optional[Identity] = None,
                      by_magic: bool = True) -> Found:
    """The SPHERE files under ``root`` (files that start with the magic, or
    are named *.sph), in sorted order, a folder's files before its
    subfolders, leaving out the folder ``exclude`` (device, inode). Symlinks
    are followed, each folder walked once. Walked iteratively: no depth is
    too deep. Without ``by_magic`` every regular file is a source, for a
    caller that reads each file and checks the magic itself."""
    found = Found()
    seen: Set[Identity] = set()
    stack = [root]
    while stack:
        directory = stack.pop()
        try:
            here = identity(os.stat(directory))
            with os.scandir(directory) as listing:
                entries = sorted(listing, key=lambda e: os.fsencode(e.name))
        except OSError as e:
            found.problems.append(describe(e, directory))
            continue
        if here in seen:
            found.problems.append((directory, "folder already walked (a symlink loop or "
                                              "a second link to it)"))
            continue
        seen.add(here)
        found.folders.append(directory)
        subdirs = []
        for entry in entries:
            path = entry.path
            try:
                st = entry.stat()
            except FileNotFoundError:
                found.problems.append((path, "dangling symbolic link" if entry.is_symlink()
                                       else "vanished during the walk"))
                continue
            except OSError as e:
                found.problems.append(describe(e, path))
                continue
            if stat.S_ISDIR(st.st_mode):
                if identity(st) != exclude:
                    subdirs.append(path)
            elif not stat.S_ISREG(st.st_mode):
                found.problems.append((path, not_regular(st.st_mode)))
            elif (not by_magic or entry.name.lower().endswith(SPHERE_EXTENSION)
                  or _has_magic(path, found)):
                found.sources.append((path, st))
        stack.extend(reversed(subdirs))
    return found
