"""A pure-Python reader of the NIST SPHERE text header.

It accepts and rejects exactly the headers that the native parser of
``sonavert_native`` accepts and rejects, with the same messages, so that
``info`` can look at a header without decoding (or even reading) the payload.
All decoding stays in the native module.
"""

from __future__ import annotations

import os
import re
import stat
import unicodedata
from dataclasses import dataclass
from typing import BinaryIO, Dict, List, NoReturn, Optional, Tuple, Union, cast

# Characters with the Unicode White_Space property.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
_WS = re.compile("[" + re.escape(WHITE_SPACE) + "]")

_SIGNED = re.compile(r"([+-]?)([0-9]+)")
_REAL = re.compile(
    r"[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))"
)

_U64_MAX = 2**64 - 1
_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1

# Other_Grapheme_Extend; with the marks Mn and Me it makes Grapheme_Extend.
_OTHER_GRAPHEME_EXTEND = (
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57),
    (0x0BBE, 0x0BBE), (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6),
    (0x0D3E, 0x0D3E), (0x0D57, 0x0D57), (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF),
    (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F), (0xFF9E, 0xFF9F),
    (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0), (0x114BD, 0x114BD),
    (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165), (0x1D16E, 0x1D172),
    (0xE0020, 0xE007F),
)
_NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}

_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")

REQUIRED = ("sample_count", "sample_rate", "channel_count", "sample_n_bytes")
# Value checks run in this order, after all four fields are known present.
_MINIMA = (("channel_count", 1), ("sample_n_bytes", 1), ("sample_count", 0), ("sample_rate", 1))

SHORTEN = "embedded-shorten-v2.00"
_MULAW = ("ulaw", "mulaw", "mu-law")
_ALAW = ("alaw", "a-law")

# How much of a file is read at first when looking for the header; a header
# that declares more is read in full.
_FIRST_READ = 4096


def trim(text: str) -> str:
    """``text`` without leading and trailing White_Space characters."""
    return text.strip(WHITE_SPACE)


def _is_grapheme_extend(ch: str) -> bool:
    if unicodedata.category(ch) in ("Mn", "Me"):
        return True
    cp = ord(ch)
    return any(lo <= cp <= hi for lo, hi in _OTHER_GRAPHEME_EXTEND)


def quoted(text: str) -> str:
    """``text`` in the quoted form used in messages."""
    out = ['"']
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif (ch != " " and unicodedata.category(ch) in _NOT_PRINTABLE) or _is_grapheme_extend(ch):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _integer(text: str, low: int, high: int) -> Optional[int]:
    """The integer written in ``text`` (optional sign, ASCII digits), or None
    when it is not one or lies outside [low, high]."""
    m = _SIGNED.fullmatch(text)
    if m is None or (m.group(1) == "-" and low >= 0):
        return None
    digits = m.group(2).lstrip("0") or "0"
    if len(digits) > 20:  # beyond every 64-bit value; spares int() long texts
        return None
    value = int(digits)
    if m.group(1) == "-":
        value = -value
    return value if low <= value <= high else None


def parse_int(text: str) -> Optional[int]:
    """A signed 64-bit integer in SPHERE syntax, or None."""
    return _integer(text, _I64_MIN, _I64_MAX)


def is_real(text: str) -> bool:
    return _REAL.fullmatch(text) is not None


def coding_parts(coding: str) -> List[str]:
    """The coding text split at commas, each part trimmed and lower-cased in ASCII."""
    return [trim(part).translate(_ASCII_LOWER) for part in coding.split(",")]


@dataclass(frozen=True)
class Header:
    """A parsed and validated SPHERE header."""

    texts: Dict[str, str]  # field name -> value text, as stored by the native parser
    types: Dict[str, str]  # field name -> declared type letter: "i", "r" or "s"
    header_size: int

    def require_int(self, name: str) -> int:
        text = self.texts.get(name)
        if text is None:
            raise ValueError(f"SPHERE header missing required field: {name}")
        value = parse_int(text)
        if value is None:
            raise ValueError(f"field {quoted(name)} is not an integer")
        return value

    @property
    def channels(self) -> int:
        return self.require_int("channel_count")

    @property
    def samplerate(self) -> int:
        return self.require_int("sample_rate")

    @property
    def frames(self) -> int:
        return self.require_int("sample_count")

    @property
    def coding(self) -> str:
        return self.texts.get("sample_coding", "pcm")

    @property
    def compression(self) -> str:
        """The coding's compression part ("" when uncompressed)."""
        parts = coding_parts(self.coding)
        return parts[1] if len(parts) >= 2 else ""

    @property
    def shorten(self) -> bool:
        return self.compression == SHORTEN

    @property
    def bits_per_sample(self) -> Optional[int]:
        """Bits per sample of the decoded PCM, or None when the native decoder
        will refuse the coding."""
        compression = self.compression
        if compression:
            return 16 if compression == SHORTEN else None
        base = coding_parts(self.coding)[0]
        n = self.require_int("sample_n_bytes")
        if base == "pcm":
            fmt = self.texts.get("sample_byte_format", "1")
            return 8 * n if n in (2, 4) and fmt in ("1", "01", "10") else None
        if base in _MULAW or base in _ALAW:
            return 16 if n == 1 else None
        return None

    def typed_fields(self) -> Dict[str, Union[int, float, str]]:
        """Every field as the type its line declares: int, float or str."""
        out: Dict[str, Union[int, float, str]] = {}
        for name, text in self.texts.items():
            kind = self.types[name]
            if kind == "i":
                out[name] = cast(int, parse_int(text))  # checked when parsed
            elif kind == "r":
                out[name] = float(text)
            else:
                out[name] = text
        return out


def _fail(message: str) -> NoReturn:
    raise ValueError(message)


def _size_line(data: bytes) -> Optional[Tuple[int, int]]:
    """(start, end) of the size line in ``data``, or None when ``data`` lacks
    two line feeds."""
    first = data.find(b"\n")
    if first < 0:
        return None
    second = data.find(b"\n", first + 1)
    if second < 0:
        return None
    return first + 1, second


def parse_header(data: bytes, length: Optional[int] = None) -> Header:
    """Parses and validates the SPHERE header at the start of ``data``.

    ``data`` is the whole file, or a prefix of it that holds the whole header
    block (or, when the file has fewer than two line feeds, the whole file);
    ``length`` is the length of the whole file (default: ``len(data)``).
    Raises ValueError with the native parser's message.
    """
    if length is None:
        length = len(data)
    if length < 7 or data[:7] != b"NIST_1A":
        _fail("not a NIST SPHERE file (missing 'NIST_1A' magic)")
    if data.find(b"\n") < 0:
        _fail("truncated SPHERE header")
    span = _size_line(data)
    if span is None:
        _fail("truncated SPHERE header (no size line)")
    try:
        size_text = trim(data[span[0]:span[1]].decode("utf-8"))
    except UnicodeDecodeError:
        _fail("invalid header size line")
    size = _integer(size_text, 0, _U64_MAX)
    if size is None:
        _fail(f"invalid header size line: {quoted(size_text)}")
    if size == 0:
        _fail("non-positive header size")
    if size > length:
        _fail(f"header claims {size} bytes but only {length} available")
    try:
        block = data[:size].decode("utf-8")
    except UnicodeDecodeError:
        _fail("SPHERE header is not valid ASCII")

    texts: Dict[str, str] = {}
    types: Dict[str, str] = {}
    for piece in block.split("\n")[2:]:
        line = trim(piece)
        if not line:
            continue
        if line == "end_head":
            break
        gap = _WS.search(line)
        if gap is None:
            _fail(f"malformed SPHERE header line: {quoted(line)}")
        name = line[: gap.start()]
        rest = line[gap.end():].lstrip(WHITE_SPACE)
        gap = _WS.search(rest)
        if gap is None:
            type_token, value = rest, ""
        else:
            type_token, value = rest[: gap.start()], trim(rest[gap.end():])
        if len(type_token) < 2 or type_token[0] != "-":
            _fail(f"unknown field type in line: {quoted(line)}")
        kind = type_token[1]
        if kind == "i":
            if parse_int(value) is None:
                _fail(f"field {quoted(name)} declared integer but value is {quoted(value)}")
        elif kind == "r":
            if not is_real(value):
                _fail(f"field {quoted(name)} declared real but value is {quoted(value)}")
        elif kind != "s":
            _fail(f"unknown field type {quoted(type_token)} in line: {quoted(line)}")
        texts[name] = value
        types[name] = kind
    else:
        _fail("SPHERE header missing 'end_head' terminator")

    header = Header(texts, types, size)
    for name in REQUIRED:
        if name not in texts:
            _fail(f"SPHERE header missing required field: {name}")
    for name, minimum in _MINIMA:
        number = header.require_int(name)
        if number < minimum:
            _fail(f"{name} must be >= {minimum}, got {number}")
    return header


def read_header_from(stream: BinaryIO) -> Header:
    """Parses the header of the open file ``stream`` (positioned at its start),
    reading no more of a regular file than the header block."""
    st = os.fstat(stream.fileno())
    if not stat.S_ISREG(st.st_mode):
        return parse_header(stream.read())
    length = st.st_size
    data = stream.read(_FIRST_READ)
    while _size_line(data) is None and len(data) < length:
        more = stream.read(max(_FIRST_READ, len(data)))
        if not more:
            break
        data += more
    span = _size_line(data)
    if span is not None:
        try:
            size = _integer(trim(data[span[0]:span[1]].decode("utf-8")), 0, _U64_MAX)
        except UnicodeDecodeError:
            size = None
        if size is not None and len(data) < size <= length:
            data += stream.read(size - len(data))
    return parse_header(data, max(length, len(data)))


def read_header(path: Union[str, os.PathLike[str]]) -> Header:
    """Parses the header of the SPHERE file at ``path``."""
    with open(path, "rb") as stream:
        return read_header_from(stream)
