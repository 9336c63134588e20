"""Reads of Shorten files that decode only up to the last frame asked for,
against the same samples stored as plain PCM: ranges at the start, middle and
end, empty and past the end, from every kind of source; blocks with overlap;
SoundFile seek sequences (forward seeks decode on, backward ones start
afresh). A fault after the frames read is not seen; one before or inside them,
and any fault for a read to the end, fails with the message that decoding the
whole file gives."""

import io
import os
import random
import sys
from pathlib import Path

import pytest

import sonavert
import sonavert_native as native
from sonavert._source import core
from sphfiles import fields, header, pcm_bytes

np = pytest.importorskip("numpy")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "lib"))
from shorten_stream import Stream  # noqa: E402

RATE = 8000
SHORTEN = "pcm,embedded-shorten-v2.00"


def residuals(history, block, order):
    """The DIFF<order> residuals of ``block`` after ``history`` (the channel's
    last three samples, oldest first)."""
    s = list(history) + [int(v) for v in block]
    coefs = {0: [], 1: [1], 2: [2, -1], 3: [3, -3, 1]}[order]
    return [s[i] - sum(c * s[i - 1 - k] for k, c in enumerate(coefs)) for i in range(3, len(s))]


def encode(frames, blocksizes, orders):
    """A stream of int16 ``frames`` (frames x channels): cycle k has the
    length blocksizes[k % len] and predictor orders[k % len] (-1: a ZERO
    block where the block is silent)."""
    count, channels = frames.shape
    stream = Stream(channels=channels, blocksize=blocksizes[0], maxnlpc=0, nmean=0)
    history = [[0, 0, 0] for _ in range(channels)]
    size, first, k = blocksizes[0], 0, 0
    while first < count:
        want = min(blocksizes[k % len(blocksizes)], count - first)
        if want != size:
            stream.blocksize(want)
            size = want
        block = frames[first:first + want]
        order = orders[k % len(orders)]
        for c in range(channels):
            if order < 0 and not block[:, c].any():
                stream.zero()
            else:
                stream.diff(max(order, 0), 15, residuals(history[c], block[:, c], max(order, 0)))
            history[c] = ([0, 0, 0] + history[c] + [int(v) for v in block[:, c]])[-3:]
        first += want
        k += 1
    return stream


def sphere(frames, stream_bytes, declared=None, channels=None):
    count, own = frames.shape
    return header(fields(channels or own, RATE, count if declared is None else declared, 2, SHORTEN)) + stream_bytes


def pcm_twin(frames):
    count, channels = frames.shape
    return header(fields(channels, RATE, count, 2)) + pcm_bytes([int(v) for v in frames.reshape(-1)])


def signal(channels, count, seed):
    gen = np.random.default_rng(seed)
    frames = gen.integers(-32768, 32768, size=(count, channels), dtype=np.int16)
    frames[count // 3:count // 3 + 300] = 0  # silence: ZERO blocks
    frames[:4] = 32767
    return frames


STREAMS = {
    "mono, blocksize 256, DIFF0 to DIFF3": (signal(1, 3000, 1), [256], [0, 1, 2, 3, -1]),
    "stereo, blocksizes change": (signal(2, 20000, 2), [100, 37, 512], [1, -1, 2]),
    "three channels, blocksize 64": (signal(3, 777, 3), [64], [3, 0]),
}


@pytest.fixture(scope="module", params=sorted(STREAMS))
def pair(request, tmp_path_factory):
    frames, blocksizes, orders = STREAMS[request.param]
    folder = tmp_path_factory.mktemp("shorten_reads")
    ours, twin = folder / "a.sph", folder / "pcm.sph"
    ours.write_bytes(sphere(frames, encode(frames, blocksizes, orders).quit().to_bytes()))
    twin.write_bytes(pcm_twin(frames))
    assert native.decode_pcm(ours.read_bytes()) == native.decode_pcm(twin.read_bytes())
    return ours, twin, len(frames)


def sources(path):
    """The file as each kind of source read() takes."""
    data = path.read_bytes()
    yield "path", lambda: path
    yield "bytes", lambda: data
    yield "file object", lambda: io.BytesIO(data)
    yield "stream", lambda: io.BufferedReader(io.BytesIO(data))  # read as a stream


def ranges(n):
    return [dict(frames=1), dict(frames=100), dict(start=n // 2, stop=n // 2 + 50),
            dict(start=n - 10), dict(start=-5), dict(start=n), dict(start=n + 5),
            dict(start=10, stop=10), dict(start=0), dict(start=n - 1, frames=30, fill_value=0),
            dict(start=7, frames=n, always_2d=True), dict(offset=0.01, duration=0.02)]


@pytest.mark.parametrize("dtype", ["int16", "float32", "float64", "int32"])
def test_read_ranges_match_pcm(pair, dtype):
    ours, twin, n = pair
    for kwargs in ranges(n):
        want, rate = sonavert.read(twin, dtype=dtype, **kwargs)
        for name, source in sources(ours):
            got, got_rate = sonavert.read(source(), dtype=dtype, **kwargs)
            assert (got.dtype, got.shape, got_rate) == (want.dtype, want.shape, rate), (name, kwargs)
            np.testing.assert_array_equal(got, want, err_msg=f"{name} {kwargs}")
        channels = sonavert.info(twin).channels
        picked = [channels - 1, 0]
        got, _ = sonavert.read(ours, dtype=dtype, channels=picked, **kwargs)
        np.testing.assert_array_equal(got, sonavert.read(twin, dtype=dtype, channels=picked, **kwargs)[0])


@pytest.mark.parametrize("blocksize, overlap, extra", [
    (1, 0, {}), (7, 3, {}), (256, 0, {}), (1000, 999, {"frames": 3000}), (500, 20, {"start": 123}),
    (64, 8, {"fill_value": 0.5}), (100000, 0, {}),
])
def test_blocks_match_pcm(pair, blocksize, overlap, extra):
    ours, twin, _ = pair
    want = list(sonavert.blocks(twin, blocksize, overlap, dtype="float32", **extra))
    got = list(sonavert.blocks(ours, blocksize, overlap, dtype="float32", **extra))
    assert len(got) == len(want)
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)


def test_soundfile_seek_sequences_match_pcm(pair):
    ours, twin, n = pair
    gen = random.Random(f"seek-{n}")
    for case in range(60):
        with sonavert.SoundFile(ours) as mine, sonavert.SoundFile(twin) as theirs:
            for step in range(10):
                op = gen.choice(["read", "read", "seek", "seek", "blocks"])
                what = f"case {case} step {step} {op}"
                if op == "read":
                    frames = gen.choice([0, 1, 13, 256, n // 2, -1])
                    np.testing.assert_array_equal(mine.read(frames, "int16"), theirs.read(frames, "int16"),
                                                  err_msg=what)
                elif op == "seek":
                    target, whence = gen.choice([(0, 0), (n // 3, 0), (5, 1), (-7, 1), (-1, 2), (-n, 2)])
                    if not 0 <= {0: 0, 1: theirs.tell(), 2: n}[whence] + target <= n:
                        continue
                    assert mine.seek(target, whence) == theirs.seek(target, whence), what
                else:
                    got = list(mine.blocks(97, 5, frames=400, dtype="int32"))
                    want = list(theirs.blocks(97, 5, frames=400, dtype="int32"))
                    assert len(got) == len(want), what
                    for a, b in zip(got, want):
                        np.testing.assert_array_equal(a, b, err_msg=what)
                assert mine.tell() == theirs.tell(), what


def damaged(tail, declared, keep=None, channels=None):
    """A file of 40 sound mono blocks of 256 frames (frames 0..10239), then
    ``tail`` (a function of the stream); ``keep``: the payload is cut 100
    bytes after that many blocks."""
    frames = signal(1, 40 * 256, 9)
    stream = tail(encode(frames, [256], [1]))
    data = stream.to_bytes()
    if keep is not None:
        data = data[:len(encode(frames[:keep * 256], [256], [1]).to_bytes()) + 100]
    return frames, sphere(frames, data, declared, channels)


DAMAGED = {
    # name: (file, frames a read may end at and succeed, beyond which it fails)
    "an unknown command after frame 10240": (damaged(lambda s: s.fn(30), 20000), 10240),
    "QUIT before the declared frames": (damaged(lambda s: s.quit(), 12000), 10240),
    "the stream cut in block 20": (damaged(lambda s: s, 20000, keep=20), 5000),
    "a fault after the declared frames": (damaged(lambda s: s.diff(0, 3, [1]), 9000), 8999),
}


@pytest.mark.parametrize("name", sorted(DAMAGED))
def test_a_fault_after_the_frames_read_is_not_seen(name, tmp_path):
    (frames, data), sound = DAMAGED[name]
    with pytest.raises(ValueError) as whole:
        native.decode_pcm(data)
    path = tmp_path / "damaged.sph"
    path.write_bytes(data)
    declared = sonavert.info(path).frames
    for source in (path, data):
        got, _ = sonavert.read(source, start=sound // 2, stop=sound, dtype="int16")
        np.testing.assert_array_equal(got, frames[sound // 2:sound, 0])
        with sonavert.SoundFile(source) as f:
            np.testing.assert_array_equal(f.read(sound, "int16"), frames[:sound, 0])
            with pytest.raises(ValueError) as across:
                f.read(declared - sound, "int16")
        assert str(across.value) == str(whole.value)
        for kwargs in (dict(start=sound - 1, frames=min(2000, declared - sound + 1)), dict(start=declared - 1),
                       dict()):
            with pytest.raises(ValueError) as failed:
                sonavert.read(source, dtype="int16", **kwargs)
            assert str(failed.value) == str(whole.value), kwargs
        with pytest.raises(ValueError) as failed:
            list(sonavert.blocks(source, 4096, dtype="int16"))
        assert str(failed.value) == str(whole.value)


@pytest.mark.parametrize("tail", [lambda s: s.quit(), lambda s: s.fn(30)], ids=["sound", "fault later"])
def test_channel_disagreement_fails_as_the_whole_decode(tail):
    _, data = damaged(tail, 100, channels=2)
    with pytest.raises(ValueError) as whole:
        native.decode_pcm(data)
    for kwargs in (dict(frames=1), dict(start=50, frames=10), dict()):
        with pytest.raises(ValueError) as failed:
            sonavert.read(data, dtype="int16", **kwargs)
        assert str(failed.value) == str(whole.value)


def test_a_stream_handle_reads_its_own_descriptor(tmp_path):
    frames = signal(2, 5000, 4)
    path = tmp_path / "a.sph"
    path.write_bytes(sphere(frames, encode(frames, [256], [2]).quit().to_bytes()))
    fd = os.open(path, os.O_RDONLY)
    stream = core.ShortenStream(fd)
    first = np.frombuffer(stream.read(0, 100, "int16", None, None), "<i2").reshape(-1, 2)
    os.close(fd)  # the caller's descriptor: the stream has its own
    rest = np.frombuffer(stream.read(100, 10000, "int16", (1,), None), "<i2")
    np.testing.assert_array_equal(first, frames[:100])
    np.testing.assert_array_equal(rest, frames[100:, 1])
    with pytest.raises(ValueError, match="not a Shorten file"):
        core.ShortenStream(pcm_twin(frames))
    with pytest.raises(ValueError, match="channel index out of range"):
        stream.read(0, 1, "int16", (2,), None)


def test_real_shorten_files_read_in_parts_as_the_whole_decode(tidigits):
    for path in sorted(tidigits.glob("*_shn.sph")):
        data = path.read_bytes()
        meta = sonavert.info(path)
        whole = np.frombuffer(native.decode_pcm(data), "<i2").reshape(-1, meta.channels)
        n = len(whole)
        for start, stop in ((0, 1), (0, n // 10), (n // 2, n // 2 + 333), (n - 100, n), (n, n)):
            got, _ = sonavert.read(path, start=start, stop=stop, dtype="int16", always_2d=True)
            np.testing.assert_array_equal(got, whole[start:stop], err_msg=f"{path.name} {start}:{stop}")
        blocks = list(sonavert.blocks(path, 4000, overlap=100, dtype="int16", always_2d=True))
        assert blocks[0].shape == (min(4000, n), meta.channels)
        np.testing.assert_array_equal(np.concatenate([blocks[0]] + [b[100:] for b in blocks[1:]]), whole)
        # Damage the last quarter of the payload: the first half still reads,
        # the whole file fails as the native decode does.
        cut = data[:len(data) - (len(data) - meta.header_size) // 4]
        head, _ = sonavert.read(cut, stop=n // 2, dtype="int16", always_2d=True)
        np.testing.assert_array_equal(head, whole[:n // 2], err_msg=path.name)
        with pytest.raises(ValueError) as native_error:
            native.decode_pcm(cut)
        with pytest.raises(ValueError) as ours:
            sonavert.read(cut)
        assert str(ours.value) == str(native_error.value), path.name
