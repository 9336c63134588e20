"""The ``sonavert`` command: info, convert, batch and verify.

Errors are one line on standard error, ``sonavert: FILE: MESSAGE``, with
exit status 1; a bad command line exits with status 2; a reader of standard
output that goes away ends the command quietly with status 141. Each
subcommand imports only what it needs, so that one conversion starts fast.
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import re
import signal
import stat
import sys
import time

from sonavert_native import __version__

from ._output import FORMATS, output_format, wait_writable, write_all, write_output
from ._report import describe, shown
from ._source import StreamTooLong, load_bytes, native_reads, open_fd, read_fd

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from decimal import Decimal
    from typing import IO, Any, Callable, List, Optional, Pattern, Tuple

PROG = "sonavert"
# Standard input (or a FIFO given as input) is read into memory whole: at
# most this much unless --max-input says otherwise (1 GiB: over three hours
# of 16-bit stereo at 44.1 kHz), so an endless stream ends with an error,
# not with the memory.
DEFAULT_MAX_INPUT = 1 << 30
_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}

_NUMBER = r"(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)"
_FRAME_SPAN = re.compile(r"([0-9]*):([0-9]*)")
_TIME_SPAN = re.compile(f"({_NUMBER})?:({_NUMBER})?")


class StreamError(OSError):
    """Standard input or output (or a stream given by name) that is closed,
    failing or longer than --max-input: it ends the command."""


def _columns() -> int:
    """The terminal's width, as help text is laid out for it."""
    try:
        return int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
    except (AttributeError, OSError, ValueError):
        return 80


class _Formatter(argparse.HelpFormatter):
    """argparse's own, told the width: left to itself it imports shutil (and
    with it the compression modules) at every start, just to ask."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: Optional[int] = None) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         width if width is not None else max(_columns() - 2, 11))


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> Any:
        _say(f"{PROG}: {message} (see '{self.prog} --help')")
        sys.exit(2)


def _span(text: str, pattern: Pattern[str], number: Callable[[str], Any], unit: str,
          example: str) -> Tuple[Any, Any]:
    m = pattern.fullmatch(text)
    if m is None or len(text) > 80:
        raise argparse.ArgumentTypeError(
            f"expected START:END in {unit}, such as {example}, got {text!r}")
    start, end = (number(g) if g else None for g in m.groups())
    if start is not None and end is not None and start > end:
        raise argparse.ArgumentTypeError(f"START {start} is after END {end}")
    return start, end


def _frame_span(text: str) -> Tuple[Optional[int], Optional[int]]:
    return _span(text, _FRAME_SPAN, int, "frames", "18000:24000")


def _time_span(text: str) -> Tuple[Optional[Decimal], Optional[Decimal]]:
    from decimal import Decimal

    return _span(text, _TIME_SPAN, Decimal, "seconds", "0.9:1.2")


def _channel(text: str) -> int:
    if not re.fullmatch(r"[0-9]{1,9}", text) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a channel number from 1, got {text!r}")
    return int(text)


def _jobs(text: str) -> int:
    if not re.fullmatch(r"[0-9]{1,6}", text) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a number of processes from 1, got {text!r}")
    return int(text)


def _add_selection(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-f", "--format", choices=FORMATS,
                        help="output format (default: from the output's extension; "
                             "wav for batch); flac needs the flac extra")
    forms = parser.add_mutually_exclusive_group()
    for flag, form, text in (("-p", "pcm16", "16-bit linear"), ("-u", "ulaw", "G.711 mu-law"),
                             ("-a", "alaw", "G.711 A-law")):
        forms.add_argument(flag, dest="form", action="store_const", const=form,
                           help=f"samples as {text} (default: wav and raw get linear PCM of "
                                "the stored width, sph, au and aif keep samples as stored)"
                           if flag == "-p" else f"samples as {text}")
    parser.add_argument("-c", "--channel", type=_channel, action="append", metavar="CHANNEL",
                        help="keep only this channel, numbered from 1 (repeat for several)")
    span = parser.add_mutually_exclusive_group()
    span.add_argument("-t", "--time", type=_time_span, metavar="START:END",
                      help="seconds from START (inclusive) to END (exclusive); "
                           "either may be empty")
    span.add_argument("-s", "--samples", type=_frame_span, metavar="START:END",
                      help="frames (samples per channel) from START (inclusive) to END "
                           "(exclusive); either may be empty")


def _size(text: str) -> int:
    m = re.fullmatch(r"([0-9]{1,15})([kKmMgGtT]?)(?:i?[bB])?", text)
    if m is None:
        raise argparse.ArgumentTypeError(f"expected a size in bytes such as 64M or 2G, got {text!r}")
    return int(m.group(1)) * _UNITS[m.group(2).lower()]


def _add_max_input(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-input", type=_size, default=DEFAULT_MAX_INPUT, metavar="SIZE",
                        help="most bytes read from standard input (default: 1G)")


def _selection(args: argparse.Namespace) -> Tuple[Optional[List[int]], Any, Any]:
    channels = None if args.channel is None else [c - 1 for c in args.channel]
    start, stop = args.time or args.samples or (None, None)
    return channels, start, stop


def _say(line: str) -> None:
    """Writes one line to standard error, whatever state it is in."""
    try:
        if sys.stderr is not None:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _fail(path: str, error: BaseException) -> int:
    api = sys.modules.get("sonavert._api")  # a ChannelError comes only from there
    if api is not None and isinstance(error, api.ChannelError):
        where, message = path, error.text(1)
    else:
        where, message = describe(error, path)
    _say(f"{PROG}: {shown(where)}: {message}")
    return 1


def _emit(text: str) -> None:
    """Writes ``text`` (UTF-8) to standard output; a closed one is an error."""
    try:
        if sys.stdout is None:
            raise OSError(errno.EBADF, "is closed")
        out = sys.stdout.buffer
        write_all(out, text.encode("utf-8"))
        while True:
            try:
                out.flush()
                break
            except BlockingIOError:
                wait_writable(out)
    except BrokenPipeError:
        raise
    except OSError as e:
        raise StreamError(e.errno, e.strerror or str(e), "standard output") from None


def _read_stream(fd: int, name: str, limit: int, header_only: bool) -> bytes:
    """The bytes of the stream ``fd``, read with a cap: its header first,
    checked before the rest is read."""
    try:
        os.fstat(fd)
        return read_fd(fd, limit, header_only)
    except StreamTooLong as e:
        raise StreamError(errno.EFBIG, f"holds more than the limit of {e.limit} bytes",
                          name) from None
    except OSError as e:
        message = "is closed" if e.errno == errno.EBADF else e.strerror or str(e)
        raise StreamError(e.errno, message, name) from None


def _open_input(name: str, limit: int, header_only: bool = False) -> Any:
    """The input ``name``: an open descriptor when it is a regular file,
    else (standard input, a FIFO, a device) its bytes, read with a cap."""
    if name == "-":
        return _read_stream(0, "standard input", limit, header_only)
    fd, st = open_fd(name)
    if stat.S_ISREG(st.st_mode):
        return fd
    try:
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        return _read_stream(fd, name, limit, header_only)
    finally:
        os.close(fd)


# --- info ----------------------------------------------------------------------------


def _show(value: Any) -> str:
    if isinstance(value, str):
        if value.isprintable():
            return value
        from ._source import quoted

        return quoted(value)
    return str(value)


def _duration(seconds: float) -> str:
    text = f"{seconds:.3f} s"
    if seconds >= 60:
        minutes, rest = divmod(seconds, 60)
        hours, minutes = divmod(int(minutes), 60)
        text += f" ({hours}:{minutes:02d}:{rest:06.3f})"
    return text


def _human(name: str, meta: Any) -> str:
    width = (f"{meta.bits_per_sample} bits" if meta.bits_per_sample
             else "not supported by sonavert")
    stored = {"ULAW": "mu-law", "ALAW": "A-law"}.get(meta.subtype or "")
    if stored:
        width += f" (stored as {stored})"
    lines = [
        shown(name),
        f"  channels      {meta.channels}",
        f"  sample rate   {meta.samplerate} Hz",
        f"  frames        {meta.frames}" + (" (sample_count counts every channel)"
                                               if meta.counts_every_channel else ""),
        f"  duration      {_duration(meta.duration)}",
        f"  coding        {_show(meta.coding)}",
        f"  shorten       {'yes' if meta.shorten else 'no'}",
        f"  decoded as    {width}",
        f"  header        {meta.header_size} bytes",
        "  fields",
    ]
    pad = max((len(_show(k)) for k in meta.fields), default=0)
    lines += [f"    {_show(k):<{pad}}  {_show(v)}" for k, v in meta.fields.items()]
    return "\n".join(lines)


def _jsonable(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)  # "inf", "-inf", "nan": JSON has no such numbers
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    return value


def _cmd_info(args: argparse.Namespace) -> int:
    dumps: Optional[Callable[..., str]] = None
    if args.json:
        from json import dumps
    status = 0
    first = True
    from ._api import info

    for name in args.files:
        try:
            source = _open_input(name, args.max_input, header_only=True)
            try:
                meta = info(source, closefd=False)  # of a descriptor, only the header is read
            finally:
                if not isinstance(source, bytes):
                    os.close(source)
        except StreamError:
            raise
        except (ValueError, OSError) as e:
            status = _fail(name, e)
            continue
        if dumps is not None:
            record = {"file": shown(name), **_jsonable(meta.as_dict())}
            _emit(dumps(record, ensure_ascii=False) + "\n")
        else:
            _emit(("" if first else "\n") + _human(name, meta) + "\n")
        first = False
    return status


# --- convert -------------------------------------------------------------------------


def _convert(source: Any, target: Any, fmt: str, channels: Optional[List[int]], start: Any,
             stop: Any, form: Optional[str]) -> None:
    if channels is None and start is None and stop is None and form is None and \
            fmt in ("wav", "raw") and native_reads(source):
        # A whole file, the common case, needs nothing but the native module.
        import sonavert_native

        data = source if isinstance(source, bytes) else load_bytes(source)
        inputs = [] if isinstance(source, bytes) else [os.fstat(source)]
        whole = sonavert_native.transcode(data) if fmt == "wav" else \
            sonavert_native.decode_pcm(data)
        write_output(target, [whole], [(st.st_dev, st.st_ino) for st in inputs])
        return
    from ._api import convert

    convert(source, target, fmt, channels, start, stop, form)


def _cmd_convert(args: argparse.Namespace) -> int:
    parser = args.parser
    if args.format is None and args.output == "-":
        parser.error("give -f wav or -f raw when writing to standard output")
    try:
        fmt = output_format(args.output, args.format)
    except ValueError:
        parser.error(f"cannot tell the output format from the name {shown(args.output)!r}: "
                     "give -f wav or -f raw")
    if args.output == "-" and os.isatty(1):
        parser.error("refusing to write audio to a terminal: redirect standard output")
    channels, start, stop = _selection(args)
    if args.output == "-":
        try:  # checked first: a closed descriptor 1 would be taken by the input
            os.fstat(1)
        except OSError:
            raise StreamError(errno.EBADF, "is closed", "standard output") from None
    try:
        source = _open_input(args.input, args.max_input)
        try:
            if args.output != "-":
                _convert(source, args.output, fmt, channels, start, stop, args.form)
                return 0
            # Written straight to the descriptor: a non-blocking pipe is
            # waited on, never taken as written.
            with open(1, "wb", buffering=0, closefd=False) as out:
                try:
                    _convert(source, out, fmt, channels, start, stop, args.form)
                except (BrokenPipeError, StreamError):
                    raise
                except OSError as e:
                    if e.filename is None:
                        raise StreamError(e.errno, e.strerror or str(e),
                                          "standard output") from None
                    raise
        finally:
            if not isinstance(source, bytes):
                os.close(source)
    except StreamError:
        raise
    except (ValueError, OSError, ImportError) as e:
        if isinstance(e, BrokenPipeError):
            raise
        return _fail(args.input, e)
    return 0


# --- batch ---------------------------------------------------------------------------


class ProgressBar:
    """A one-line progress bar on a terminal."""

    def __init__(self, stream: IO[str], interval: float = 0.1):
        self.stream = stream
        self.interval = interval
        self.began = self.last = time.monotonic()
        self.failed = 0
        self.drawn = False

    def update(self, done: int, total: int, outcome: Tuple[str, str, str]) -> None:
        if outcome[1] == "failed":
            self.failed += 1
        now = time.monotonic()
        if done < total and now - self.last < self.interval:
            return
        self.last = now
        rate = done / max(now - self.began, 1e-9)
        text = f" {done}/{total} files  {rate:.1f} files/s  {self.failed} failed"
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, OSError, ValueError):
            columns = 80
        room = max(10, columns - len(text) - 3)
        filled = room * done // total if total else room
        self.stream.write("\r[" + "#" * filled + "-" * (room - filled) + "]" + text)
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def _cmd_batch(args: argparse.Namespace) -> int:
    from ._batch import batch

    channels, start, stop = _selection(args)
    stderr = sys.stderr
    bar = ProgressBar(stderr) if stderr is not None and stderr.isatty() else None
    try:
        result = batch(args.src, args.dst, format=args.format or "wav", channels=channels,
                       start=start, stop=stop, overwrite=args.overwrite, jobs=args.jobs,
                       progress=bar.update if bar else None, channel_base=1,
                       scp=args.scp, jsonl=args.jsonl, form=args.form, verify=args.verify)
    except (ValueError, OSError) as e:
        return _fail(args.src, e)
    finally:
        if bar:
            bar.close()
    rate = result.total / result.seconds if result.seconds > 0 else 0.0
    _say(f"{PROG}: {len(result.converted)} converted, {len(result.skipped)} skipped, "
         f"{len(result.failed)} failed ({result.total} files in {result.seconds:.1f} s, "
         f"{rate:.1f} files/s)")
    for src, message in result.failed:
        _say(f"{PROG}: {shown(src)}: {message}")
    return 1 if result.failed else 0


# --- verify --------------------------------------------------------------------------


def _cmd_verify(args: argparse.Namespace) -> int:
    from ._verify import verify_paths

    stderr = sys.stderr
    bar = ProgressBar(stderr) if stderr is not None and stderr.isatty() else None
    try:
        report = verify_paths(args.paths, jobs=args.jobs, progress=bar.update if bar else None)
    finally:
        if bar:
            bar.close()
    if args.json:
        from json import dumps

        text = "".join(dumps({"file": shown(r.name), **r.as_dict()}, ensure_ascii=False) + "\n"
                       for r in report.results)
    else:
        text = "".join(f"{shown(r.name)}: {r.status}: {r.message}\n"
                       for r in report.results if not r.ok)
    if text:
        _emit(text)
    counts = ", ".join(f"{report.count(s)} {s}" for s in ("ok", "unchecked", "corrupt", "unreadable"))
    total = len(report.results)
    _say(f"{PROG}: {counts} ({total} file{'s' if total != 1 else ''} in {report.seconds:.1f} s)")
    return 0 if report.ok else 1


# --- entry point ---------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Read, inspect and convert NIST SPHERE audio files.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    p = commands.add_parser("info", help="show the header of SPHERE files",
                            description="Show the header of SPHERE files.")
    p.add_argument("files", nargs="+", metavar="FILE", help="SPHERE file, or - for standard input")
    p.add_argument("--json", action="store_true", help="one JSON object per file and line")
    _add_max_input(p)
    p.set_defaults(run=_cmd_info, parser=p)

    p = commands.add_parser(
        "convert", help="convert one SPHERE file to WAV or raw PCM",
        description="Convert one SPHERE file to WAV or raw PCM (interleaved little-endian).")
    p.add_argument("input", metavar="IN", help="SPHERE file, or - for standard input")
    p.add_argument("output", metavar="OUT", help="output file, or - for standard output")
    _add_selection(p)
    _add_max_input(p)
    p.set_defaults(run=_cmd_convert, parser=p)

    p = commands.add_parser(
        "batch", help="convert every SPHERE file of a tree",
        description="Convert every SPHERE file under SRC_DIR into the same tree shape under "
                    "DST_DIR, skipping outputs that its record shows current.")
    p.add_argument("src", metavar="SRC_DIR")
    p.add_argument("dst", metavar="DST_DIR")
    p.add_argument("-j", "--jobs", type=_jobs, default=None,
                   help="parallel processes (default: all cores)")
    p.add_argument("--overwrite", action="store_true", help="convert again outputs that exist")
    p.add_argument("--scp", metavar="FILE",
                   help="write a wav.scp-style listing (ID PATH) of the outputs")
    p.add_argument("--jsonl", metavar="FILE",
                   help="write a JSON-lines listing of the outputs (path, frames, samplerate, "
                        "channels, duration)")
    p.add_argument("--verify", action="store_true",
                   help="check each source against its sample_checksum before converting it; "
                        "a corrupt one fails")
    _add_selection(p)
    p.set_defaults(run=_cmd_batch, parser=p)

    p = commands.add_parser(
        "verify", help="check SPHERE files against their sample_checksum",
        description="Decode every file (and every SPHERE file under each folder) and compare "
                    "its samples with the header's sample_checksum. Lists each corrupt or "
                    "unreadable file, then a summary; exits with status 1 if there was any.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="SPHERE file or folder")
    p.add_argument("-j", "--jobs", type=_jobs, default=None,
                   help="parallel processes (default: all cores)")
    p.add_argument("--json", action="store_true",
                   help="one JSON object per file and line (file, status, checksum, computed, "
                        "message)")
    p.set_defaults(run=_cmd_verify, parser=p)
    return parser


def _on_sigterm(*_: Any) -> None:
    raise SystemExit(143)


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        _say(f"{PROG}: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (as `| head` does): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
        except OSError:
            pass
        return 141
    except StreamError as e:
        hint = " (see --max-input)" if e.errno == errno.EFBIG else ""
        _say(f"{PROG}: {shown(e.filename)}: {e.strerror}{hint}")
        return 1
    except Exception as e:  # a fault of ours: still one line
        _say(f"{PROG}: internal error: {type(e).__name__}: {e}")
        return 1
