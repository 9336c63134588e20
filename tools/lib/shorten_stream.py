"""Composes Shorten version 2 streams by hand, code by code, valid or not.

Used by the Python tests and the benchmark stream generator. The bits are
written by the project's one stream writer, the C++ testkit's, through the
`shorten_write` tool (tools/shorten_write.cpp): this module only lists the
codes. The tool is looked up in $SONAVERT_TOOLS, then in the build folders
of the checkout (build/quick, build/tests, build/asan, build/bench). Nothing
is checked: the writer writes exactly what it is told.
"""

import os
import subprocess
from pathlib import Path

DIFF0, DIFF1, DIFF2, DIFF3, QUIT, BLOCKSIZE, BITSHIFT, QLPC, ZERO, VERBATIM = range(10)

_REPO = Path(__file__).resolve().parents[2]
_BUILDS = ("quick", "tests", "asan", "bench")


def writer_tool():
    """The path of the shorten_write tool; RuntimeError when it is not built."""
    places = [Path(os.environ["SONAVERT_TOOLS"])] if os.environ.get("SONAVERT_TOOLS") else []
    places += [_REPO / "build" / b for b in _BUILDS]
    for place in places:
        if (place / "shorten_write").is_file():
            return place / "shorten_write"
    raise RuntimeError("the shorten_write tool is not built (cmake with SONAVERT_BUILD_TOOLS; "
                       "or set SONAVERT_TOOLS to its folder)")


class BitWriter:
    """Codes most significant bit first; to_bytes() pads the last byte with zeros."""

    def __init__(self):
        self._lines = []
        self._bits = 0

    def bits(self, value, count):
        self._lines.append("b %d %d" % (value & ((1 << count) - 1), count))
        self._bits += count

    def zeros(self, count):
        self._lines.append("z %d" % count)
        self._bits += count

    def uvar(self, value, n):
        """(value >> n) zeros, a stop bit, the n low bits."""
        self._lines.append("u %d %d" % (value, n))
        self._bits += (value >> n) + 1 + n

    def var(self, value, n):
        self._lines.append("s %d %d" % (value, n))
        self._bits += ((2 * value if value >= 0 else -2 * value - 1) >> n) + 1 + n

    def ulong(self, value):
        self._lines.append("l %d" % value)
        width = value.bit_length()
        self._bits += (width >> 2) + 3 + 1 + width  # uvar(width, 2), then uvar(value, width)

    def bit_count(self):
        return self._bits

    def to_bytes(self):
        p = subprocess.run([str(writer_tool())], input="\n".join(self._lines).encode(),
                           capture_output=True, check=False)
        if p.returncode != 0:
            raise RuntimeError(p.stderr.decode(errors="replace").strip())
        return p.stdout


class Stream:
    """The preamble "ajkg" and version byte, then a bitstream of commands."""

    def __init__(self, sample_type=5, channels=1, blocksize=4, maxnlpc=0, nmean=0, nskip=0,
                 version=2):
        self.version = version
        self.w = BitWriter()
        for value in (sample_type, channels, blocksize, maxnlpc, nmean, nskip):
            self.w.ulong(value)
        for _ in range(nskip):
            self.w.uvar(0, 1)

    def fn(self, code):
        self.w.uvar(code, 2)
        return self

    def diff(self, order, energy, residuals):
        self.fn(order)
        self.w.uvar(energy, 3)
        for r in residuals:
            self.w.var(r, energy + 1)
        return self

    def qlpc(self, energy, coefs, residuals):
        self.fn(QLPC)
        self.w.uvar(energy, 3)
        self.w.uvar(len(coefs), 2)
        for c in coefs:
            self.w.var(c, 6)
        for r in residuals:
            self.w.var(r, energy + 1)
        return self

    def zero(self):
        return self.fn(ZERO)

    def blocksize(self, n):
        self.fn(BLOCKSIZE)
        self.w.ulong(n)
        return self

    def bitshift(self, n):
        self.fn(BITSHIFT)
        self.w.uvar(n, 2)
        return self

    def verbatim(self, codes):
        self.fn(VERBATIM)
        self.w.uvar(len(codes), 5)
        for c in codes:
            self.w.uvar(c, 8)
        return self

    def quit(self):
        return self.fn(QUIT)

    def to_bytes(self):
        return b"ajkg" + bytes([self.version]) + self.w.to_bytes()
