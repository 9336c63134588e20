"""Calls of every module function: good ones, one for every error message the
library can raise through the module, and one for every TypeError path of
argument binding and conversion. The boundary tests (memory, threads,
sanitizers) run all of them.

The error messages are checked against the catalogue that the fuzz targets
and the C++ damage sweeps use (src/common/messages.inc).
"""

import re
import sys
from pathlib import Path

import sonavert_native as sv

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "lib"))
from shorten_stream import DIFF0, BitWriter, Stream  # noqa: E402


# --- The message catalogue ------------------------------------------------------

def _pattern_regex(pattern):
    parts = re.split(r"(\{[nqt]\})", pattern)
    regex = {"{n}": r"-?\d+", "{q}": r'".*"', "{t}": r".*"}
    return re.compile("".join(regex.get(p, re.escape(p)) for p in parts), re.DOTALL)


# The groups of the decoding messages (codes 100-599): the ones the native
# module's calls can raise. Later groups belong to file reads and writers.
DECODING_GROUPS = range(1, 6)


def catalogue(groups=DECODING_GROUPS):
    """{pattern: compiled regex} of every message of `groups` in the catalogue."""
    text = (REPO / "src" / "common" / "messages.inc").read_text()
    entries = re.findall(r'^SV_MESSAGE\((\d+), \w+, \w+, \w+, "(.*)"\)$', text, re.MULTILINE)
    patterns = [p for code, p in entries if int(code) // 100 in groups]
    assert len(patterns) > 50
    return {p: _pattern_regex(p) for p in patterns}


def catalogued(message, patterns=None):
    """The catalogue patterns that `message` matches in full."""
    patterns = patterns or catalogue()
    return [p for p, regex in patterns.items() if regex.fullmatch(message)]


# Messages no call through the module can reach at a test's cost: the
# pipeline only writes 16- and 32-bit samples, and a WAV beyond 4 GB needs
# gigabytes of input. The refusals of the reader of both Shorten versions
# come from the package's reads only (the module reads version 2 alone).
PACKAGE_ONLY = {
    "shorten stream version {n} not supported (versions 1 and 2 are read)",
    "shorten version {n} stream of sample type {n} not supported (version 1: types 0, 3, 5; version 2: types 3, 5, 8)",
}
UNREACHED = {
    "bits_per_sample must be a multiple of 8, got {n}",
    "output exceeds the 4 GB RIFF/WAV size limit ({n} bytes of PCM)",
} | PACKAGE_ONLY


def as_the_package_reads(message, data):
    """What the package and the command give where the native module fails
    with `message`: the same message, a refusal that names the Shorten
    version, or None where they may read the input `data` (version-1
    Shorten streams, any embedded-shorten version text, pculaw, Shorten
    payloads under headers that name no compression)."""
    version = re.fullmatch(r"shorten version (\d+) not supported \(only v2 is validated\)", message)
    if version:
        v = version.group(1)
        return None if v == "1" else f"shorten stream version {v} not supported (versions 1 and 2 are read)"
    sample_type = re.fullmatch(r"shorten sample type (\d+) not supported \(16-bit PCM and mu-law only\)", message)
    if sample_type:
        return (f"shorten version 2 stream of sample type {sample_type.group(1)} not supported "
                "(version 1: types 0, 3, 5; version 2: types 3, 5, 8)")
    if (re.fullmatch(r'compressed coding ".*" not supported yet \(compression: "embedded-shorten-v.*"\)', message)
            or message == 'sample_coding "pculaw" not supported yet'
            or (message.startswith("audio payload truncated") and b"ajkg" in data)):
        return None
    return message


# --- Inputs ---------------------------------------------------------------------

def sphere(lines, payload=b"", header_size=1024, size_line=None):
    """A SPHERE file: the magic line, the size line, `lines`, end_head, padding."""
    head = "NIST_1A\n" + (size_line if size_line is not None else "%7d" % header_size) + "\n"
    head = (head + "".join(line + "\n" for line in lines) + "end_head\n").encode()
    assert len(head) <= header_size
    return head + b" " * (header_size - len(head)) + payload


def fields(count=1, channels=1, width=2, rate=16000, coding=None, byte_format=None, drop=()):
    """Field lines of the four required fields (less `drop`), and the optional ones."""
    lines = [f"{name} -i {value}" for name, value in (
        ("sample_count", count), ("channel_count", channels), ("sample_n_bytes", width),
        ("sample_rate", rate)) if name not in drop]
    if coding is not None:
        lines.append(f"sample_coding -s{len(coding)} {coding}")
    if byte_format is not None:
        lines.append(f"sample_byte_format -s{len(byte_format)} {byte_format}")
    return lines


SHORTEN_CODING = "pcm,embedded-shorten-v2.00"


def zero_blocks(count, channels=1):
    s = Stream(channels=channels, blocksize=1 << 24)
    for _ in range(count):
        s.zero()
    return s.quit().to_bytes()


def runaway_stream():
    """A residual whose unary prefix runs past 2^26 zeros (8 MiB of them)."""
    s = Stream(blocksize=1).fn(DIFF0)
    s.w.uvar(0, 3)  # energy 0; the zero bits that pad the last byte start the prefix
    return s.to_bytes() + bytes((1 << 23) + 1) + b"\xff"


def overflow_stream():
    """DIFF3 of a constant residual grows as n^3: 3 x s1 leaves 64 bits within 3000 samples."""
    return Stream(blocksize=3000).diff(3, 31, [1 << 30] * 3000).quit().to_bytes()


def excessive_nskip_stream():
    """A header whose nskip is one above the limit, without the skip codes."""
    w = BitWriter()
    for value in (5, 1, 4, 0, 0, 1048577):
        w.ulong(value)
    return b"ajkg\x02" + w.to_bytes()


def good_calls():
    """(name, args) of successful calls over every coding and both Shorten sample kinds."""
    pcm = bytes(range(256)) * 2
    stereo = Stream(channels=2).diff(0, 4, [1, 2, 3, 4]).diff(1, 4, [5, 6, 7, 8]).quit().to_bytes()
    mulaw = Stream(sample_type=8).diff(0, 8, [0, -1, 127, -128]).quit().to_bytes()
    calls = []
    for f in ("decode_pcm", "transcode"):
        calls += [
            (f, (sphere(fields(256, 1, 2, byte_format="01"), pcm),)),
            (f, (sphere(fields(64, 2, 4, byte_format="10"), pcm),)),
            (f, (sphere(fields(512, 1, 1, coding="ulaw"), pcm),)),
            (f, (sphere(fields(256, 2, 1, coding="a-law"), pcm),)),
            (f, (sphere(fields(4, 2, 2, coding=SHORTEN_CODING), stereo),)),
            (f, (sphere(fields(3, 1, 2, coding="ulaw,embedded-shorten-v2.00"), mulaw),)),
        ]
    calls += [("shorten_to_pcm", (stereo,)), ("shorten_to_pcm", (mulaw,)),
              ("g711_expand", (pcm, False)), ("g711_expand", (pcm, True)), ("g711_expand", (b"", True))]
    return calls


def value_error_calls():
    """(name, args, message) reaching every reachable catalogued message."""
    ok = fields()
    sph = [
        (b"", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
        (b"NIST_1A", "truncated SPHERE header"),
        (b"NIST_1A\n1024", "truncated SPHERE header (no size line)"),
        (b"NIST_1A\n\xff\n", "invalid header size line"),
        (b"NIST_1A\n-1\n", 'invalid header size line: "-1"'),
        (b"NIST_1A\n0\n", "non-positive header size"),
        (b"NIST_1A\n1024\n", "header claims 1024 bytes but only 13 available"),
        (sphere(ok)[:-1] + b"\xff", "SPHERE header is not valid ASCII"),
        (sphere(ok + ["oops"]), 'malformed SPHERE header line: "oops"'),
        (sphere(ok + ["x s 1"]), 'unknown field type in line: "x s 1"'),
        (sphere(ok + ["x -x 1"]), 'unknown field type "-x" in line: "x -x 1"'),
        (sphere(ok + ["x -i 1.5"]), 'field "x" declared integer but value is "1.5"'),
        (sphere(ok + ["x -r abc"]), 'field "x" declared real but value is "abc"'),
        (sphere(ok, size_line="     53"), "SPHERE header missing 'end_head' terminator"),  # after 2 lines
        (sphere(fields(drop=["sample_count"])), "SPHERE header missing required field: sample_count"),
        (sphere(fields(drop=["sample_rate"])), "SPHERE header missing required field: sample_rate"),
        (sphere(fields(drop=["channel_count"])), "SPHERE header missing required field: channel_count"),
        (sphere(fields(drop=["sample_n_bytes"])), "SPHERE header missing required field: sample_n_bytes"),
        (sphere(ok + ["sample_rate -r 2.0"]), 'field "sample_rate" is not an integer'),
        (sphere(fields(channels=0)), "channel_count must be >= 1, got 0"),
        (sphere(fields(width=0)), "sample_n_bytes must be >= 1, got 0"),
        (sphere(fields(count=-1)), "sample_count must be >= 0, got -1"),
        (sphere(fields(rate=0)), "sample_rate must be >= 1, got 0"),
        (sphere(fields(count=1 << 62)), "declared payload size overflows"),
        (sphere(fields(count=2), b"\x00\x00\x00"),
         "audio payload truncated: header declares 4 bytes but only 3 present"),
        (sphere(fields(coding="pcm, Shorten")),
         'compressed coding "pcm, Shorten" not supported yet (compression: "shorten")'),
        (sphere(fields(0, coding="Linear")), 'sample_coding "linear" not supported yet'),
        (sphere(fields(0, width=1)), "8-bit PCM not supported yet (supported: 16, 32 bit)"),
        (sphere(fields(0, byte_format="0123")),
         "unrecognized sample_byte_format \"0123\" (supported: '1', '01', '10')"),
        (sphere(fields(0, coding="mu-law")), "ulaw expects 1-byte samples, got sample_n_bytes=2"),
        (sphere(fields(0, coding="alaw")), "alaw expects 1-byte samples, got sample_n_bytes=2"),
        (sphere(fields(4, 1, coding=SHORTEN_CODING), Stream(channels=2).quit().to_bytes()),
         "shorten channel count 2 disagrees with SPHERE header channel_count 1"),
        (sphere(fields(5, coding=SHORTEN_CODING), Stream().quit().to_bytes()),
         "shorten stream decoded 0 samples/channel, but the SPHERE header declares 5 "
         "(truncated or QUIT came early)"),
        # Past the decoded-sample cap: cheap, since only one frame is kept.
        (sphere(fields(1, coding=SHORTEN_CODING), zero_blocks(65)),
         "shorten stream exceeds the maximum decoded length"),
    ]
    wav_limits = [
        (sphere(fields(0, channels=65536)), "channel_count too large for WAV"),
        (sphere(fields(0, rate=1 << 32)), "sample_rate too large for WAV"),
        (sphere(fields(0, channels=2, rate=(1 << 32) - 1)), "WAV byte_rate exceeds 32-bit field"),
        (sphere(fields(0, channels=32768, rate=1)), "WAV block_align exceeds 16-bit field"),
    ]
    streams = [
        (b"ajk", "not a shorten stream (missing 'ajkg' magic)"),
        (b"ajkg", "truncated shorten stream: missing version byte"),
        (b"ajkg\x03", "shorten version 3 not supported (only v2 is validated)"),
        (b"ajkg\x02", "truncated or corrupt shorten stream: ran past end of bitstream"),
        (runaway_stream(), "runaway unary code"),
        (Stream(blocksize=1).diff(0, 32, []).to_bytes() + b"\xff" * 8, "oversized uvar width 33"),
        (excessive_nskip_stream(), "implausible nskip 1048577"),
        (Stream(sample_type=4).quit().to_bytes(),
         "shorten sample type 4 not supported (16-bit PCM and mu-law only)"),
        (Stream(channels=0).quit().to_bytes(), "invalid shorten channel count 0"),
        (Stream(blocksize=0).quit().to_bytes(), "invalid shorten blocksize 0"),
        (Stream(maxnlpc=1025).quit().to_bytes(), "implausible maxnlpc 1025"),
        (Stream(nmean=65537).quit().to_bytes(), "implausible nmean 65537"),
        (Stream().fn(10).to_bytes(), "unknown shorten function code 10"),
        (Stream().bitshift(33).to_bytes(),
         "shorten bitshift 33 is implausibly large (corrupt or unsupported)"),
        (Stream(maxnlpc=1).qlpc(0, [1, 1], []).to_bytes(), "shorten QLPC order 2 exceeds maxnlpc 1"),
        (overflow_stream(), "shorten reconstruction overflowed i64 (corrupt stream)"),
        (Stream(sample_type=8).diff(0, 8, [128, 0, 0, 0]).quit().to_bytes(),
         "shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain"),
    ]
    calls = [(f, (data,), message) for data, message in sph for f in ("decode_pcm", "transcode")]
    calls += [("transcode", (data,), message) for data, message in wav_limits]
    calls += [("shorten_to_pcm", (data,), message) for data, message in streams]
    return calls


class _NumpyLikeBool:
    """Passes the module's numpy-bool test (module numpy, name bool_); its
    __bool__ raises a new exception made by `make` at every call."""
    __module__ = "numpy"

    def __init__(self, make):
        self.make = make

    def __bool__(self):
        raise self.make()


_NumpyLikeBool.__name__ = "bool_"


def type_error_calls():
    """(name, args, kwargs, message) of every binding and conversion failure."""
    return [
        ("transcode", (), {}, "transcode() missing 1 required positional argument: 'sph'"),
        ("g711_expand", (), {}, "g711_expand() missing 2 required positional arguments: 'data' and 'alaw'"),
        ("g711_expand", (1,), {}, "g711_expand() missing 1 required positional argument: 'alaw'"),
        ("g711_expand", (), {"alaw": 1}, "g711_expand() missing 1 required positional argument: 'data'"),
        ("transcode", (b"", b""), {}, "transcode() takes 1 positional arguments but 2 were given"),
        ("g711_expand", (b"", False, 3), {}, "g711_expand() takes 2 positional arguments but 3 were given"),
        ("decode_pcm", (b"",), {"sph": b""}, "decode_pcm() got multiple values for argument 'sph'"),
        ("g711_expand", (b"", False), {"data": b""}, "g711_expand() got multiple values for argument 'data'"),
        ("transcode", (), {"data": b""}, "transcode() got an unexpected keyword argument 'data'"),
        ("shorten_to_pcm", (b"",), {"Stream": b""},
         "shorten_to_pcm() got an unexpected keyword argument 'Stream'"),
        ("g711_expand", (), {"zz": 1, "data": b"", "alaw": False},
         "g711_expand() got an unexpected keyword argument 'zz'"),
        ("transcode", (bytearray(b"x"),), {},
         "argument 'sph': 'bytearray' object cannot be converted to 'PyBytes'"),
        ("decode_pcm", (memoryview(b"x"),), {},
         "argument 'sph': 'memoryview' object cannot be converted to 'PyBytes'"),
        ("shorten_to_pcm", ("ajkg",), {}, "argument 'stream': 'str' object cannot be converted to 'PyBytes'"),
        ("shorten_to_pcm", (None,), {},
         "argument 'stream': 'NoneType' object cannot be converted to 'PyBytes'"),
        ("g711_expand", (b"\x00", 1), {}, "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
        ("g711_expand", (b"\x00", 0), {}, "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
        ("g711_expand", (b"\x00", None), {},
         "argument 'alaw': 'NoneType' object cannot be converted to 'PyBool'"),
        ("g711_expand", (1, "x"), {}, "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
        ("g711_expand", (), {"alaw": "x", "data": 1},
         "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
        # A numpy-like bool whose __bool__ raises TypeError: renamed for the parameter.
        ("g711_expand", (b"", _NumpyLikeBool(lambda: TypeError("broken bool"))), {},
         "argument 'alaw': broken bool"),
    ]


def under_address_sanitizer():
    """True when AddressSanitizer's runtime is loaded into this process."""
    try:
        maps = Path("/proc/self/maps").read_text()
    except OSError:
        return False
    return "libclang_rt.asan" in maps or "libasan" in maps


def outcome(name, args, kwargs=None):
    """The result of a call, or (exception type name, args) when it raises."""
    try:
        return getattr(sv, name)(*args, **(kwargs or {}))
    except (TypeError, ValueError) as e:
        return (type(e).__name__, e.args)
