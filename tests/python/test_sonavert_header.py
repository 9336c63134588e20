"""The header reader behind sonavert.info, the package's native layer: it
accepts and rejects what sonavert_native does, with the same messages, from
bytes and from a file on disk alike."""

import pytest

import sonavert
import sonavert_native as native
from sonavert._source import header_of, quoted, read_header
from sphfiles import header


def parse_header(data):
    return header_of(data)[0]

# The four required fields, for an empty 16-bit PCM payload.
BASE = ["sample_count -i 0", "sample_rate -i 16000", "channel_count -i 1", "sample_n_bytes -i 2"]


def with_fields(*lines, base=BASE):
    return header([*base, *lines])


def cut_at(data: bytes, marker: bytes, offset: int) -> bytes:
    """``data`` with its 7-character size line set to end the header block
    ``offset`` bytes into ``marker``."""
    size = data.index(marker) + offset
    return data.replace(b"   1024\n", f"{size:>7}\n".encode(), 1)


INVALID = [
    # magic, line feeds, size line
    (b"", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    (b"NIST_1", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    (b"nist_1a\n   1024\n", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    (b"NIST_1A", "truncated SPHERE header"),
    (b"NIST_1A\n   1024", "truncated SPHERE header (no size line)"),
    (b"NIST_1A\n\xff1024\nend_head\n", "invalid header size line"),
    (header([], size_line="-1024"), 'invalid header size line: "-1024"'),
    (header([], size_line=""), 'invalid header size line: ""'),
    (header([], size_line=" 1024 bytes\r"), 'invalid header size line: "1024 bytes"'),
    (header([], size_line="+"), 'invalid header size line: "+"'),
    (header([], size_line="0x400"), 'invalid header size line: "0x400"'),
    (header([], size_line="18446744073709551616"),
     'invalid header size line: "18446744073709551616"'),
    (header([], size=6000, size_line="1" * 5000), 'invalid header size line: "' + "1" * 5000 + '"'),
    (header([], size_line="18446744073709551615"),
     "header claims 18446744073709551615 bytes but only 1024 available"),
    (header([], size_line="0"), "non-positive header size"),
    (header([], size_line="1025"), "header claims 1025 bytes but only 1024 available"),
    # UTF-8 of the whole block, padding included
    (with_fields()[:-1] + b"\xff", "SPHERE header is not valid ASCII"),
    (cut_at(with_fields("x -s é"), "é".encode(), 1), "SPHERE header is not valid ASCII"),
    (with_fields("x -s ABC").replace(b"ABC", b"\xed\xa0\x80"),  # an encoded surrogate
     "SPHERE header is not valid ASCII"),
    (with_fields("x -s ABC").replace(b"ABC", b"\xc0\xaf "), "SPHERE header is not valid ASCII"),
    # field lines
    (with_fields("sample_coding"), 'malformed SPHERE header line: "sample_coding"'),
    (header(BASE, end="END_HEAD"), 'malformed SPHERE header line: "END_HEAD"'),
    (with_fields("x i 5"), 'unknown field type in line: "x i 5"'),
    (with_fields("x - 5"), 'unknown field type in line: "x - 5"'),
    (with_fields("x -x 5"), 'unknown field type "-x" in line: "x -x 5"'),
    (with_fields("x -I 5"), 'unknown field type "-I" in line: "x -I 5"'),
    (with_fields("x -i 5 6"), 'field "x" declared integer but value is "5 6"'),
    (with_fields("x -i"), 'field "x" declared integer but value is ""'),
    (with_fields("x -r"), 'field "x" declared real but value is ""'),
    (with_fields("x -i 1\t2"), 'field "x" declared integer but value is "1\\t2"'),
    (with_fields("x -i 1\x002"), 'field "x" declared integer but value is "1\\02"'),
    (with_fields('x -i a"b\\c\'d'), 'field "x" declared integer but value is "a\\"b\\\\c\'d"'),
    (with_fields("x -i 1\u20032"), 'field "x" declared integer but value is "1\\u{2003}2"'),
    (with_fields("x -i \u200bé\u0301"),
     'field "x" declared integer but value is "\\u{200b}é\\u{301}"'),
    (with_fields("first -i x", "second -i y"), 'field "first" declared integer but value is "x"'),
    # the terminator
    (header(BASE, end=""), "SPHERE header missing 'end_head' terminator"),
    # A block that ends inside the terminator holds a last line "end_he",
    # which is checked like any other line.
    (cut_at(with_fields(), b"end_head", 6), 'malformed SPHERE header line: "end_he"'),
    (b"NIST_1A\n 8\n" + b"x" * 100, "SPHERE header missing 'end_head' terminator"),
    # required fields: presence in one order, values in another
    (header([]), "SPHERE header missing required field: sample_count"),
    (header(["channel_count -i 0", "sample_n_bytes -i 2", "sample_count -i 0"]),
     "SPHERE header missing required field: sample_rate"),
    (with_fields("channel_count -i 0", "sample_rate -i 0"), "channel_count must be >= 1, got 0"),
    (with_fields("sample_n_bytes -i -2", "sample_count -i -1"),
     "sample_n_bytes must be >= 1, got -2"),
    (with_fields("sample_count -i -1"), "sample_count must be >= 0, got -1"),
    (with_fields("sample_rate -i 0"), "sample_rate must be >= 1, got 0"),
    (with_fields("channel_count -r 2.0"), 'field "channel_count" is not an integer'),
    (with_fields("sample_rate -s 16 000"), 'field "sample_rate" is not an integer'),
]

INTEGERS_OK = ["-9223372036854775808", "9223372036854775807", "+7", "007", "-0"]
INTEGERS_BAD = ["1.0", "0x10", "9223372036854775808", "-9223372036854775809", "+", "-",
                "1_000", "\u0661", "1e3", "--1"]
REALS_OK = ["1e400", "INF", "-Infinity", "nan", "NaN", "1e-5", "5.", ".5", "+1.5E+3", "0"]
REALS_BAD = [".", "1e", "1e+", "0x10", "1,5", "e5", "1.5.2", "infe5", "in", "1_0"]

VALID = [
    ("magic line goes on", header(BASE, magic="NIST_1A and more \r")),
    ("size line padded", header(BASE, size_line=" +0001024 \r")),
    ("size is the input", header(BASE, size=200)),
    ("tabs and spaces", with_fields("  database_id \t -s8   TIDIGITS  ")),
    ("string keeps inner blanks", with_fields("note -s20 a  b\tc")),
    ("type token suffixes", with_fields("a -i4 1", "b -real 2", "c -sXY three")),
    ("empty string", with_fields("empty -s")),
    ("comment with blanks", with_fields("; -s a comment")),
    ("end_head with more text is a field", with_fields("end_head -s not yet")),
    ("lines after end_head unread", header(BASE + ["end_head", "garbage"], end="")),
    ("end_head ends the block", cut_at(with_fields(), b"end_head", 8)),
    ("crlf lines", header([f + "\r" for f in BASE], end="end_head\r")),
    ("string field holds an integer", header(["sample_count -s1 0", *BASE[1:]])),
    ("non-ascii value", with_fields("speaker -s2 Zoë 声")),
    ("blank lines", header(["", *BASE, "   "])),
] + [(f"integer {v}", with_fields(f"x -i {v}")) for v in INTEGERS_OK] + [
    (f"real {v}", with_fields(f"x -r {v}")) for v in REALS_OK]

INVALID += [(with_fields(f"x -i {v}"), f'field "x" declared integer but value is {quoted(v)}')
            for v in INTEGERS_BAD]
INVALID += [(with_fields(f"x -r {v}"), f'field "x" declared real but value is {quoted(v)}')
            for v in REALS_BAD]


# Values the interpreter reads differently from the header's own syntax.
INVALID += [
    (with_fields("x -r \u0131nf"), 'field "x" declared real but value is "\u0131nf"'),  # dotless i
    (with_fields("x -r \u0131nfinity"), 'field "x" declared real but value is "\u0131nfinity"'),
    (with_fields("x -r 1_0.5"), 'field "x" declared real but value is "1_0.5"'),
    (with_fields("x -i \uff11"), 'field "x" declared integer but value is "\uff11"'),  # fullwidth 1
]


@pytest.mark.parametrize("data, message", INVALID)
def test_invalid_headers(tmp_path, data, message):
    path = tmp_path / "bad.sph"
    path.write_bytes(data)
    for source in (data, bytearray(data), path):
        with pytest.raises(ValueError) as caught:
            sonavert.info(source)
        assert str(caught.value) == message


@pytest.mark.parametrize("name, data", VALID, ids=[v[0] for v in VALID])
def test_valid_headers(name, data):
    assert parse_header(data).frames == 0


@pytest.mark.parametrize("data, message", INVALID)
def test_native_parser_agrees_on_invalid_headers(data, message):
    with pytest.raises(ValueError) as caught:
        native.decode_pcm(data)
    assert str(caught.value) == message


@pytest.mark.parametrize("name, data", VALID, ids=[v[0] for v in VALID])
def test_native_parser_agrees_on_valid_headers(name, data):
    assert native.decode_pcm(data) == b""


def test_fields_keep_text_and_declared_type():
    h = sonavert.info(with_fields(
        "note -s20   a  b  ", "rate -r 1e400", "pi -r .5", "n -i +007", "dup -i 1", "dup -s x",
        "sample_rate -s5 08000", "tiny -r 1e-400", "neg -r -0.0", "big -i -9223372036854775808"))
    assert h.samplerate == 8000  # a string field whose text is an integer reads as one
    fields = h.fields
    assert list(fields)[:4] == ["sample_count", "sample_rate", "channel_count", "sample_n_bytes"]
    assert fields["tiny"] == 0.0 and str(fields["neg"]) == "-0.0"
    assert fields["big"] == -(2**63)
    assert fields["note"] == "a  b"
    assert fields["rate"] == float("inf")
    assert fields["pi"] == 0.5
    assert fields["n"] == 7 and type(fields["n"]) is int
    assert fields["dup"] == "x"  # the last line wins, with its type
    assert fields["sample_rate"] == "08000"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("plain", '"plain"'),
        ("", '""'),
        ("tab\there", '"tab\\there"'),
        ("cr\rlf\nnul\0", '"cr\\rlf\\nnul\\0"'),
        ('q"b\\', '"q\\"b\\\\"'),
        ("it's", '"it\'s"'),
        ("é ü 声", '"é ü 声"'),
        ("\x07\x7f", '"\\u{7}\\u{7f}"'),
        ("\u00a0\u2028\u2029", '"\\u{a0}\\u{2028}\\u{2029}"'),  # Zs, Zl, Zp
        ("a\u0301", '"a\\u{301}"'),  # Mn: grapheme extender
        ("\u200c\u200d", '"\\u{200c}\\u{200d}"'),  # Cf, the first also Grapheme_Extend
        ("\u09be", '"\\u{9be}"'),  # Mc but Other_Grapheme_Extend
        ("\ue000", '"\\u{e000}"'),  # Co
        ("\U0010ffff", '"\\u{10ffff}"'),  # Cn
    ],
)
def test_quoted_form(text, expected):
    assert quoted(text) == expected


def test_reads_only_the_header_of_a_file(tmp_path):
    # A 64 GiB sparse payload: reading it would take minutes and the memory.
    path = tmp_path / "huge.sph"
    with open(path, "wb") as f:
        f.write(header(["sample_count -i 17179869184", "sample_rate -i 16000",
                        "channel_count -i 2", "sample_n_bytes -i 2"]))
        f.truncate(1024 + 64 * 2**30)
    meta = sonavert.info(path)
    assert (meta.frames, meta.channels) == (17179869184, 2)
    assert meta.duration == 17179869184 / 16000


@pytest.mark.parametrize(
    "data",
    [
        # the size line far beyond the first block read
        b"NIST_1A" + b" " * 10000 + b"\n  12000\n" + with_fields()[len(b"NIST_1A\n   1024\n"):]
        .ljust(12000 - 10017, b" "),
        # a header larger than the first block read
        header(BASE + [f"f{i} -i {i}" for i in range(600)], size=9000),
    ],
    ids=["late size line", "large header"],
)
def test_header_beyond_the_first_read(tmp_path, data):
    path = tmp_path / "a.sph"
    path.write_bytes(data + b"\x01\x02")
    assert read_header(path) == parse_header(data + b"\x01\x02")


def test_header_reader_reports_the_whole_file_length(tmp_path):
    path = tmp_path / "short.sph"
    path.write_bytes(header([], size=2048)[:1500])
    with pytest.raises(ValueError) as caught:
        sonavert.info(path)
    assert str(caught.value) == "header claims 2048 bytes but only 1500 available"
