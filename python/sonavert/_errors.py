"""The exceptions of the reading API.

They carry soundfile's names, and each is a ``ValueError`` as well as (but
for ``SoundFileError``) a ``RuntimeError``, so that ``except`` clauses
written for soundfile, for Python's io conventions or for this package's
own ``ValueError`` all catch them. A file that cannot be opened stays the
``OSError`` it is (``FileNotFoundError``, ``PermissionError``, ...) and is
also a ``LibsndfileError``.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Tuple, Type


class SoundFileError(ValueError):
    """The base of the reading API's own errors."""


class SoundFileRuntimeError(SoundFileError, RuntimeError):
    """An operation the state of a ``SoundFile`` does not allow, such as any
    use after ``close()``."""


class LibsndfileError(SoundFileRuntimeError):
    """What the decoder reports of a file: a header it refuses, a damaged
    payload, a position outside the file. ``code`` is the number of the
    message in sonavert's catalogue (0 for messages outside it, and the
    ``errno`` of a file that cannot be opened); ``error_string`` is the
    message."""

    prefix = ""

    def __init__(self, message: str = "", code: int = 0) -> None:
        super().__init__(message)
        self.code = code

    @property
    def error_string(self) -> str:
        return str(self.args[0]) if self.args else ""


# OSError class -> the class that is both it and LibsndfileError.
_OPEN_ERRORS: Dict[Type[OSError], Type[OSError]] = {}


def _open_error_class(base: Type[OSError]) -> Type[OSError]:
    def reduce(self: OSError) -> Tuple[Any, ...]:
        # Pickled (to another process) as the plain OSError it also is.
        reduced: Tuple[Any, ...] = OSError.__reduce__(self)  # type: ignore[assignment]
        return (base,) + reduced[1:]

    namespace = {
        "__doc__": f"{base.__name__} of a file that cannot be opened; also a LibsndfileError.",
        "__module__": __name__,
        "__reduce__": reduce,
        "code": property(lambda self: self.errno or 0),
        "error_string": property(lambda self: self.strerror or str(self)),
    }
    # OSError first: it gives the instance its layout and its constructor.
    return type(base.__name__, (base, LibsndfileError), namespace)


def open_error(error: OSError) -> OSError:
    """``error`` as an instance of a class that is both its own OSError
    class and ``LibsndfileError``, with the same errno, text and file names."""
    if isinstance(error, LibsndfileError):
        return error
    base = type(error)
    kind = _OPEN_ERRORS.get(base)
    if kind is None:
        kind = _OPEN_ERRORS[base] = _open_error_class(base)
    if error.errno is None:
        made = kind(*error.args)
    elif error.filename2 is not None:
        made = kind(error.errno, error.strerror, error.filename, None, error.filename2)
    elif error.filename is not None:
        made = kind(error.errno, error.strerror, error.filename)
    else:
        made = kind(error.errno, error.strerror)
    return made.with_traceback(error.__traceback__)


__all__ = ["SoundFileError", "SoundFileRuntimeError", "LibsndfileError"]
