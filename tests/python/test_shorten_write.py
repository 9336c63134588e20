"""The shorten_write tool, the one stream writer behind tools/lib/shorten_stream.py."""

import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "lib"))
from shorten_stream import BitWriter, Stream, writer_tool  # noqa: E402


def run(text):
    return subprocess.run([str(writer_tool())], input=text.encode(), capture_output=True)


@pytest.mark.parametrize("text, expected", [
    ("", b""),
    ("b 5 3\n", b"\xa0"),                       # 101, padded
    ("z 9\nb 1 1\n", b"\x00\x40"),
    ("u 5 1\n", b"\x30"),                       # 00 1 1
    ("s -1 0\n", b"\x40"),                      # zigzag 1: 0 1
    ("l 0\n", b"\x90"),                         # width 0 as uvar(0, 2): 1 00, then uvar(0, 0): 1
    ("b 18446744073709551615 64\n", b"\xff" * 8),
    ("\n\nu 0 0\n\n", b"\x80"),                 # empty lines are passed over
])
def test_codes_become_bits(text, expected):
    p = run(text)
    assert p.returncode == 0, p.stderr
    assert p.stdout == expected


@pytest.mark.parametrize("text, line", [
    ("x 1 2\n", 1),
    ("u 1\n", 1),
    ("l 0\nu 1 65\n", 2),
    ("b 1 2 3\n", 1),
    ("s 9223372036854775808 2\n", 1),           # beyond the signed 64-bit range
    ("u -1 2\n", 1),
    ("z\n", 1),
    ("z 1073741825\n", 1),                      # more than 2^30 bits
    ("z 1073741800\nu 0 40\n", 2),
    ("u 18446744073709551615 0\n", 1),          # a prefix of 2^64 - 1 zeros
])
def test_malformed_lines_are_refused_by_number(text, line):
    p = run(text)
    assert p.returncode == 2
    assert p.stdout == b""
    assert f"line {line} is not a code" in p.stderr.decode()


def test_bit_count_follows_the_codes():
    w = BitWriter()
    for code in (("bits", 3, 2), ("zeros", 11), ("uvar", 300, 4), ("var", -77, 3), ("ulong", 1 << 40),
                 ("ulong", 0), ("var", 5, 0)):
        getattr(w, code[0])(*code[1:])
        expected = len(w.to_bytes()) * 8
        assert expected - 8 < w.bit_count() <= expected, code


def test_worked_example_stream():
    stream = Stream(blocksize=4).diff(1, 1, [1, 1, -1, 0]).quit().to_bytes()
    assert stream == bytes.fromhex("616a6b6702fb7f9333676b10")
