"""The ``sonavert`` command: info, convert and batch.

Errors are one line on standard error, ``sonavert: FILE: MESSAGE``, with
exit status 1; a bad command line exits with status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import shutil
import signal
import sys
import time
from decimal import Decimal
from typing import Any, Callable, List, NoReturn, Optional, Pattern, TextIO, Tuple, TypeVar

from sonavert_native import __version__

from ._api import FORMATS, ChannelError, Info, Position, convert, info, output_format
from ._batch import FAILED, batch, default_jobs, describe
from ._source import quoted

PROG = "sonavert"

_NUMBER = r"(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)"
_FRAME_SPAN = re.compile(r"([0-9]*):([0-9]*)")
_TIME_SPAN = re.compile(f"({_NUMBER})?:({_NUMBER})?")

_Number = TypeVar("_Number", int, Decimal)


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{PROG}: {message} (see '{self.prog} --help')\n")
        sys.exit(2)


def _span(text: str, pattern: Pattern[str], number: Callable[[str], _Number], unit: str,
          example: str) -> Tuple[Optional[_Number], Optional[_Number]]:
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


def _selection(args: argparse.Namespace) -> Tuple[Optional[List[int]], Position, Position]:
    channels = None if args.channel is None else [c - 1 for c in args.channel]
    start, stop = args.time or args.samples or (None, None)
    return channels, start, stop


def _fail(path: str, error: BaseException) -> int:
    if isinstance(error, ChannelError):
        where, message = path, error.text(1)
    else:
        where, message = describe(error, path)
    sys.stderr.write(f"{PROG}: {where}: {message}\n")
    return 1


# --- info ----------------------------------------------------------------------------


def _show(value: object) -> str:
    if isinstance(value, str):
        return value if value.isprintable() else quoted(value)
    return str(value)


def _duration(seconds: float) -> str:
    text = f"{seconds:.3f} s"
    if seconds >= 60:
        minutes, rest = divmod(seconds, 60)
        hours, minutes = divmod(int(minutes), 60)
        text += f" ({hours}:{minutes:02d}:{rest:06.3f})"
    return text


def _human(name: str, meta: Info) -> str:
    width = (f"{meta.bits_per_sample} bits" if meta.bits_per_sample
             else "not supported by sonavert")
    lines = [
        name,
        f"  channels      {meta.channels}",
        f"  sample rate   {meta.samplerate} Hz",
        f"  frames        {meta.frames}",
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
    status = 0
    first = True
    for name in args.files:
        try:
            meta = info(sys.stdin.buffer.read() if name == "-" else name)
        except (ValueError, OSError) as e:
            status = _fail(name, e)
            continue
        if args.json:
            record = {"file": name, **_jsonable(meta.as_dict())}
            print(json.dumps(record, ensure_ascii=False))
        else:
            print(("" if first else "\n") + _human(name, meta))
        first = False
    return status


# --- convert -------------------------------------------------------------------------


def _cmd_convert(args: argparse.Namespace) -> int:
    parser = args.parser
    if args.format is None:
        if args.output == "-":
            parser.error("give -f wav or -f raw when writing to standard output")
        try:
            output_format(args.output, None)
        except ValueError:
            parser.error(f"cannot tell the output format from the name {args.output!r}: "
                         "give -f wav or -f raw")
    if args.output == "-" and sys.stdout.isatty():
        parser.error("refusing to write audio to a terminal: redirect standard output")
    channels, start, stop = _selection(args)
    try:
        source = sys.stdin.buffer.read() if args.input == "-" else args.input
        target = sys.stdout.buffer if args.output == "-" else args.output
        convert(source, target, args.format, channels, start, stop, args.form)
        if args.output == "-":
            sys.stdout.buffer.flush()
    except (ValueError, OSError, ImportError) as e:
        if isinstance(e, BrokenPipeError):
            raise
        return _fail(args.input, e)
    return 0


# --- batch ---------------------------------------------------------------------------


class ProgressBar:
    """A one-line progress bar on a terminal."""

    def __init__(self, stream: TextIO, interval: float = 0.1) -> None:
        self.stream = stream
        self.interval = interval
        self.began = self.last = time.monotonic()
        self.failed = 0
        self.drawn = False

    def update(self, done: int, total: int, outcome: Tuple[str, str, str]) -> None:
        if outcome[1] == FAILED:
            self.failed += 1
        now = time.monotonic()
        if done < total and now - self.last < self.interval:
            return
        self.last = now
        rate = done / max(now - self.began, 1e-9)
        text = f" {done}/{total} files  {rate:.1f} files/s  {self.failed} failed"
        columns = shutil.get_terminal_size().columns
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
    channels, start, stop = _selection(args)
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    try:
        result = batch(args.src, args.dst, format=args.format or "wav", channels=channels,
                       start=start, stop=stop, form=args.form, overwrite=args.overwrite, jobs=args.jobs,
                       progress=bar.update if bar else None, channel_base=1)
    except (ValueError, OSError) as e:
        return _fail(args.src, e)
    finally:
        if bar:
            bar.close()
    rate = result.total / result.seconds if result.seconds > 0 else 0.0
    sys.stderr.write(
        f"{PROG}: {len(result.converted)} converted, {len(result.skipped)} skipped, "
        f"{len(result.failed)} failed ({result.total} files in {result.seconds:.1f} s, "
        f"{rate:.1f} files/s)\n")
    for src, message in result.failed:
        sys.stderr.write(f"{PROG}: {src}: {message}\n")
    return 1 if result.failed else 0


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
    p.set_defaults(run=_cmd_info, parser=p)

    p = commands.add_parser(
        "convert", help="convert one SPHERE file to WAV or raw PCM",
        description="Convert one SPHERE file to WAV or raw PCM (interleaved little-endian).")
    p.add_argument("input", metavar="IN", help="SPHERE file, or - for standard input")
    p.add_argument("output", metavar="OUT", help="output file, or - for standard output")
    _add_selection(p)
    p.set_defaults(run=_cmd_convert, parser=p)

    p = commands.add_parser(
        "batch", help="convert every SPHERE file of a tree",
        description="Convert every SPHERE file under SRC_DIR into the same tree shape under "
                    "DST_DIR, skipping outputs that exist and are complete.")
    p.add_argument("src", metavar="SRC_DIR")
    p.add_argument("dst", metavar="DST_DIR")
    p.add_argument("-j", "--jobs", type=_jobs, default=None,
                   help=f"parallel processes (default: all cores, here {default_jobs()})")
    p.add_argument("--overwrite", action="store_true", help="convert again outputs that exist")
    _add_selection(p)
    p.set_defaults(run=_cmd_batch, parser=p)
    return parser


def _on_sigterm(*_: Any) -> NoReturn:
    raise SystemExit(143)


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (as `| head` does): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as e:  # a fault of ours: still one line
        sys.stderr.write(f"{PROG}: internal error: {type(e).__name__}: {e}\n")
        return 1
