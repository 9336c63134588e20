"""soundfile as the oracle of the reading API: the same samples written as WAV
by soundfile and as SPHERE (little- and big-endian PCM, and Shorten composed
by the project's stream writer) must read the same through ``sonavert`` as
through soundfile, for thousands of seeded random argument combinations of
read, blocks, info and SoundFile method sequences: values, dtypes, shapes,
which object is returned, and exception classes."""

import random
import sys
from pathlib import Path

import pytest

import sonavert
from sphfiles import fields, header, pcm_bytes

np = pytest.importorskip("numpy")
sf = pytest.importorskip("soundfile")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "lib"))
from shorten_stream import Stream  # noqa: E402

RATE = 8000
SEED = 20261208
CASES = 1500


def shorten_file(frames):
    """A Shorten SPHERE file of int16 ``frames`` (frames x channels): DIFF0
    blocks of 64 samples per channel, the last block shorter."""
    count, channels = frames.shape
    stream = Stream(channels=channels, blocksize=64)
    for first in range(0, count, 64):
        block = frames[first:first + 64]
        if len(block) != 64:
            stream.blocksize(len(block))
        for c in range(channels):
            stream.diff(0, 15, [int(v) for v in block[:, c]])
    head = header(fields(channels, RATE, count, 2, "pcm,embedded-shorten-v2.00", "10"))
    return head + stream.quit().to_bytes()


def sphere_files(frames):
    count, channels = frames.shape
    flat = [int(v) for v in frames.reshape(-1)]
    out = {}
    for name, order in (("le", "01"), ("be", "10")):
        out[name] = header(fields(channels, RATE, count, 2, "pcm", order)) + pcm_bytes(
            flat, 16, big_endian=order == "10")
    out["shorten"] = shorten_file(frames)
    return out


@pytest.fixture(scope="module", params=[1, 2], ids=["mono", "stereo"])
def files(request, tmp_path_factory):
    channels = request.param
    gen = np.random.default_rng(SEED + channels)
    frames = gen.integers(-32768, 32768, size=(517, channels), dtype=np.int16)
    frames[:4] = [[-32768], [32767], [0], [-1]] if channels == 1 else [[-32768, 32767]] * 4
    folder = tmp_path_factory.mktemp(f"oracle{channels}")
    wav = folder / "a.wav"
    sf.write(str(wav), frames, RATE, subtype="PCM_16")
    ours = {}
    for name, data in sphere_files(frames).items():
        path = folder / f"{name}.sph"
        path.write_bytes(data)
        ours[name] = path
    return wav, ours, len(frames)


def outcome(call):
    """("ok", value) or ("raise", exception class); soundfile's own
    RuntimeErrors stand for this package's ValueErrors (data and state)."""
    try:
        return "ok", call()
    except RuntimeError:
        return "raise", ValueError
    except (TypeError, ValueError) as e:
        return "raise", TypeError if isinstance(e, TypeError) else ValueError


def same(a, b, what, out_a=None, out_b=None):
    assert a[0] == b[0], f"{what}: {a} vs {b}"
    if a[0] == "raise":
        assert a[1] is b[1], what
        return
    x, y = a[1], b[1]
    if isinstance(x, np.ndarray):
        assert isinstance(y, np.ndarray), what
        assert (x.dtype, x.shape) == (y.dtype, y.shape), what
        np.testing.assert_array_equal(x, y, err_msg=what)
        if out_a is not None:
            assert (x is out_a) == (y is out_b), f"{what}: returned object"
            assert np.shares_memory(x, out_a) == np.shares_memory(y, out_b), what
    elif isinstance(x, tuple) and len(x) == 2 and isinstance(x[0], np.ndarray):
        same(("ok", x[0]), ("ok", y[0]), what, out_a, out_b)
        assert x[1] == y[1], what
    elif isinstance(x, list):
        assert len(x) == len(y), what
        for i, (p, q) in enumerate(zip(x, y)):
            same(("ok", p), ("ok", q), f"{what} block {i}")
    else:
        assert x == y, what


DTYPES = ["float64", "float32", "int32", "int16", np.float32, np.dtype("int16"), "int8", "nonsense"]


def frame_values(gen, n):
    return gen.choice([-1, 0, 1, 2, 7, n // 3, n - 1, n, n + 5, 3 * n, 1.5])


def start_values(gen, n):
    return gen.choice([0, 0, 3, n // 2, n - 1, n, n + 9, -1, -7, -n, -n - 4, 2.5])


def stop_values(gen, n):
    return gen.choice([None, None, None, 0, 5, n // 2, n, n + 9, -1, -30, -n - 4])


def out_array(gen, channels, n, always_2d):
    """None, or an array of a shape, dtype and layout that may or may not fit."""
    if gen.random() < 0.6:
        return None
    rows = gen.choice([0, 1, 9, n // 2, n + 3])
    dtype = gen.choice(["float64", "float32", "int16", "int32"])
    shape = (rows, channels) if channels > 1 or always_2d else (rows,)
    if gen.random() < 0.1:
        shape = (rows, channels + 1)
    return np.full(shape, 7, dtype=dtype)


def random_read_args(gen, n, channels):
    kwargs = {}
    if gen.random() < 0.5:
        kwargs["frames"] = frame_values(gen, n)
    if gen.random() < 0.6:
        kwargs["start"] = start_values(gen, n)
    if gen.random() < 0.4:
        kwargs["stop"] = stop_values(gen, n)
    kwargs["dtype"] = gen.choice(DTYPES)
    kwargs["always_2d"] = gen.random() < 0.3
    if gen.random() < 0.3:
        kwargs["fill_value"] = gen.choice([0, -1.5, 3])
    return kwargs


def copy_out(kwargs, out):
    if out is None:
        return dict(kwargs), dict(kwargs)
    return {**kwargs, "out": out.copy()}, {**kwargs, "out": out.copy()}


@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_read_and_blocks_agree_with_soundfile(files, kind):
    wav, ours, n = files
    channels = sf.info(str(wav)).channels
    gen = random.Random(f"{SEED}-{kind}-{channels}")
    for case in range(CASES):
        if gen.random() < 0.6:
            kwargs = random_read_args(gen, n, channels)
            theirs_kw, ours_kw = copy_out(kwargs, out_array(gen, channels, n, kwargs["always_2d"]))
            a = outcome(lambda: sf.read(str(wav), **theirs_kw))
            b = outcome(lambda: sonavert.read(ours[kind], **ours_kw))
            same(a, b, f"case {case}: read {kwargs}", theirs_kw.get("out"), ours_kw.get("out"))
        else:
            kwargs = random_read_args(gen, n, channels)
            kwargs.pop("frames", None) if gen.random() < 0.5 else None
            blocksize = gen.choice([1, 2, 7, 64, n // 2, n + 10])
            overlap = gen.choice([0, 0, 1, 3])
            if overlap >= blocksize:
                overlap = 0  # soundfile may never end then; sonavert refuses it
            kwargs.update(blocksize=blocksize, overlap=overlap)
            a = outcome(lambda: list(sf.blocks(str(wav), **kwargs)))
            b = outcome(lambda: list(sonavert.blocks(ours[kind], **kwargs)))
            same(a, b, f"case {case}: blocks {kwargs}")


@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_soundfile_method_sequences_agree(files, kind):
    wav, ours, n = files
    gen = random.Random(f"{SEED}-seq-{kind}-{n}")
    for case in range(CASES // 5):
        with sf.SoundFile(str(wav)) as theirs, sonavert.SoundFile(ours[kind]) as mine:
            for attribute in ("samplerate", "channels", "frames", "mode", "seekable"):
                x, y = getattr(theirs, attribute), getattr(mine, attribute)
                assert (x() if callable(x) else x) == (y() if callable(y) else y), attribute
            assert len(theirs) == len(mine)
            for step in range(8):
                op = gen.choice(["read", "read", "seek", "tell", "blocks"])
                what = f"case {case} step {step}: {op}"
                if op == "read":
                    kwargs = random_read_args(gen, n, theirs.channels)
                    kwargs.pop("start", None), kwargs.pop("stop", None)
                    t_kw, o_kw = copy_out(kwargs, out_array(gen, theirs.channels, n,
                                                            kwargs["always_2d"]))
                    a = outcome(lambda: theirs.read(**t_kw))
                    b = outcome(lambda: mine.read(**o_kw))
                    same(a, b, f"{what} {kwargs}", t_kw.get("out"), o_kw.get("out"))
                elif op == "seek":
                    target, whence = gen.choice([0, 5, n, n + 2, -3, -n]), gen.choice([0, 1, 2])
                    same(outcome(lambda: theirs.seek(target, whence)),
                         outcome(lambda: mine.seek(target, whence)), f"{what} {target} {whence}")
                elif op == "tell":
                    same(outcome(theirs.tell), outcome(mine.tell), what)
                else:
                    size = gen.choice([3, 50, n])
                    frames = gen.choice([-1, 20])
                    same(outcome(lambda: list(theirs.blocks(size, frames=frames))),
                         outcome(lambda: list(mine.blocks(size, frames=frames))), f"{what} {size}")
                same(outcome(theirs.tell), outcome(mine.tell), f"{what}: position after")
        assert mine.closed and theirs.closed
        same(outcome(theirs.read), outcome(mine.read), "read after close")


@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_info_agrees_with_soundfile(files, kind):
    wav, ours, _ = files
    theirs, mine = sf.info(str(wav)), sonavert.info(ours[kind])
    for name in ("samplerate", "channels", "frames", "duration", "subtype"):
        assert getattr(theirs, name) == getattr(mine, name), name
    assert mine.format == "NIST"
