"""Composes Shorten version 2 streams by hand, code by code, valid or not.

Used by the Python tests and the benchmark stream generator. Nothing is
checked: the writer writes exactly what it is told.
"""

DIFF0, DIFF1, DIFF2, DIFF3, QUIT, BLOCKSIZE, BITSHIFT, QLPC, ZERO, VERBATIM = range(10)


class BitWriter:
    """Packs bits most significant first; the last byte is padded with zeros."""

    def __init__(self):
        self._chunks = []  # strings of '0' and '1'

    def bits(self, value, count):
        if count:
            self._chunks.append(format(value & ((1 << count) - 1), "0%db" % count))

    def zeros(self, count):
        self._chunks.append("0" * count)

    def uvar(self, value, n):
        """(value >> n) zeros, a stop bit, the n low bits."""
        self.zeros(value >> n)
        self._chunks.append("1")
        self.bits(value, n)

    def var(self, value, n):
        self.uvar(2 * value if value >= 0 else -2 * value - 1, n)

    def ulong(self, value):
        width = value.bit_length()
        self.uvar(width, 2)
        self.uvar(value, width)

    def bit_count(self):
        return sum(len(c) for c in self._chunks)

    def to_bytes(self):
        text = "".join(self._chunks)
        text += "0" * (-len(text) % 8)
        return int(text, 2).to_bytes(len(text) // 8, "big") if text else b""


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
