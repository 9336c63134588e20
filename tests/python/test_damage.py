"""Damaged inputs through the module: every prefix and every single-bit flip
in the first 4 KiB of valid files of every coding and of bare Shorten
streams give either a result that is consistent in itself or a ValueError
with a catalogued message, never another exception or a crash. (The C++
damage sweep checks the results against a reference decoder as well.)"""

import pytest

import sonavert_native as sv
from boundary_cases import catalogue, catalogued, good_calls

PATTERNS = catalogue()


def damaged(data):
    """Every prefix, then every single-bit flip in the first 4 KiB."""
    for n in range(len(data)):
        yield data[:n]
    flipped = bytearray(data)
    for i in range(min(len(data), 4096)):
        for bit in range(8):
            flipped[i] ^= 1 << bit
            yield bytes(flipped)
            flipped[i] = data[i]


def attempt(function, data):
    try:
        return function(data), None
    except ValueError as e:
        assert len(e.args) == 1 and catalogued(e.args[0], PATTERNS), e.args
        return None, e.args[0]


def files(name):
    # One file per coding; the mono and stereo variants of good_calls differ only in layout.
    seen = set()
    for function, args in good_calls():
        if function == name and args[0][:200] not in seen:
            seen.add(args[0][:200])
            yield args[0]


SPHERE_FILES = list(files("decode_pcm"))
STREAMS = list(files("shorten_to_pcm"))


@pytest.mark.parametrize("sph", SPHERE_FILES, ids=[f"file{i}" for i in range(len(SPHERE_FILES))])
def test_damaged_sphere_files(sph):
    successes = 0
    for data in damaged(sph):
        pcm, pcm_error = attempt(sv.decode_pcm, data)
        wav, wav_error = attempt(sv.transcode, data)
        if pcm is None:
            assert wav_error == pcm_error
            continue
        successes += 1
        if wav is not None:
            size = len(pcm)
            assert len(wav) == 44 + size + size % 2
            assert int.from_bytes(wav[4:8], "little") == len(wav) - 8
            assert int.from_bytes(wav[40:44], "little") == size
            assert wav[44:44 + size] == pcm
    assert successes > 0


@pytest.mark.parametrize("stream", STREAMS, ids=[f"stream{i}" for i in range(len(STREAMS))])
def test_damaged_shorten_streams(stream):
    for data in damaged(stream):
        result, _ = attempt(sv.shorten_to_pcm, data)
        if result is not None:
            channels, ulaw, pcm = result
            assert 1 <= channels <= 256 and type(ulaw) is bool
            assert len(pcm) % (2 * channels) == 0
