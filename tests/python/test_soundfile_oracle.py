"""soundfile as the oracle of the reading API: the same samples written as WAV
by soundfile and as SPHERE (little- and big-endian PCM, and Shorten composed
by the project's stream writer) must read the same through ``sonavert`` as
through soundfile, for thousands of seeded random argument combinations of
read, blocks, info and SoundFile method sequences: values, dtypes, shapes,
which object is returned, what ``out`` holds afterwards, exception classes
(by soundfile's names), ``name``, and whether a file descriptor is closed.
Counts and positions come as ints and as numpy integers; files as paths
(str or Path), descriptors and file objects."""

import os
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
SEEDS = [20261208, 77]
CASES = 600  # per seed, kind and channel count


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
    gen = np.random.default_rng(SEEDS[0] + channels)
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


def error_kind(error, library):
    """An exception by soundfile's class names where it is one of them,
    else by its built-in class."""
    for name in ("LibsndfileError", "SoundFileRuntimeError", "SoundFileError"):
        if isinstance(error, getattr(library, name)):
            return name
    return TypeError if isinstance(error, TypeError) else ValueError if isinstance(
        error, ValueError) else type(error)


def outcome(call, library):
    """("ok", value) or ("raise", kind of the exception)."""
    try:
        return "ok", call()
    except Exception as e:
        if library is sonavert and isinstance(e, sonavert.SoundFileError):
            # Caught by code written for either library.
            assert isinstance(e, ValueError)
            assert isinstance(e, RuntimeError) or type(e) is sonavert.SoundFileError
        return "raise", error_kind(e, library)


def both(theirs, ours):
    return outcome(theirs, sf), outcome(ours, sonavert)


def same(a, b, what, out_a=None, out_b=None):
    assert a[0] == b[0], f"{what}: {a} vs {b}"
    if a[0] == "raise":
        assert a[1] == b[1], f"{what}: {a[1]} vs {b[1]}"
        return
    x, y = a[1], b[1]
    if isinstance(x, np.ndarray):
        assert isinstance(y, np.ndarray), what
        assert (x.dtype, x.shape) == (y.dtype, y.shape), what
        np.testing.assert_array_equal(x, y, err_msg=what)
        if out_a is not None:
            assert (x is out_a) == (y is out_b), f"{what}: returned object"
            assert np.shares_memory(x, out_a) == np.shares_memory(y, out_b), what
            # Rows past those returned too: what a read leaves in them.
            np.testing.assert_array_equal(out_a, out_b, err_msg=f"{what}: out afterwards")
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


INTEGERS = [int, int, np.int64, np.int32, np.intp]


def integer(gen, value, unsigned=True):
    """``value`` as an int or a numpy integer (unsigned when it is not
    negative, now and then)."""
    if not isinstance(value, int):
        return value
    kind = gen.choice(INTEGERS + ([np.uint16] if unsigned and 0 <= value < 65536 else []))
    return kind(value)


def frame_values(gen, n):
    return integer(gen, gen.choice([-1, 0, 1, 2, 7, n // 3, n - 1, n, n + 5, 3 * n, 1.5]))


def start_values(gen, n):
    return integer(gen, gen.choice([0, 0, 3, n // 2, n - 1, n, n + 9, -1, -7, -n, -n - 4, 2.5]))


def stop_values(gen, n):
    return integer(gen, gen.choice([None, None, None, 0, 5, n // 2, n, n + 9, -1, -30, -n - 4]))


def out_array(gen, channels, n, always_2d):
    """None, or an array of a shape, dtype and layout that may or may not fit."""
    if gen.random() < 0.6:
        return None
    rows = gen.choice([0, 1, 4, 9, 64, n // 2, n + 3])
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


class Opened:
    """The same file for both libraries, given one way: as a path (str or
    Path), a descriptor (closed by the call or not) or a file object. After
    the call, says whether each descriptor was closed, and closes the rest."""

    def __init__(self, gen, wav, sph):
        self.how = gen.choice(["str", "path", "path", "fd", "fd-kept", "object"])
        self.fds = []
        self.objects = []
        self.extra = {"closefd": False} if self.how == "fd-kept" else {}
        self.theirs, self.ours = self._give(wav), self._give(sph)

    def _give(self, path):
        if self.how == "str":
            return str(path)
        if self.how == "path":
            return Path(path)
        if self.how == "object":
            self.objects.append(open(path, "rb"))
            return self.objects[-1]
        self.fds.append(os.open(path, os.O_RDONLY))
        return self.fds[-1]

    def finish(self, what):
        closed = []
        for fd in self.fds:
            try:
                os.fstat(fd)
            except OSError:
                closed.append(True)
            else:
                closed.append(False)
                os.close(fd)
        for f in self.objects:
            f.close()
        assert len(set(closed)) <= 1, f"{what}: descriptor closed {closed} ({self.how})"

    def name_agrees(self, theirs, ours, what):
        """SoundFile.name / info().name: the path as str for a Path, the
        file object itself, the descriptor."""
        if self.how == "object":
            assert theirs.name is self.theirs and ours.name is self.ours, what
        else:
            expected = [os.fspath(f) if isinstance(f, Path) else f for f in (self.theirs, self.ours)]
            assert [theirs.name, ours.name] == expected, what
            assert type(theirs.name) is type(ours.name), what


MISSING = "no-such-file"


def compare_read(gen, wav, sph, n, channels, what):
    kwargs = random_read_args(gen, n, channels)
    theirs_kw, ours_kw = copy_out(kwargs, out_array(gen, channels, n, kwargs["always_2d"]))
    if gen.random() < 0.02:  # a file that is not there: an OSError here, soundfile's class too
        a, b = both(lambda: sf.read(MISSING + ".wav", **theirs_kw),
                    lambda: sonavert.read(MISSING + ".sph", **ours_kw))
        return same(a, b, f"{what}: read of a missing file")
    given = Opened(gen, wav, sph)
    a, b = both(lambda: sf.read(given.theirs, **theirs_kw, **given.extra),
                lambda: sonavert.read(given.ours, **ours_kw, **given.extra))
    given.finish(what)
    same(a, b, f"{what}: read {kwargs} from {given.how}", theirs_kw.get("out"), ours_kw.get("out"))


def compare_blocks(gen, wav, sph, n, channels, what):
    kwargs = random_read_args(gen, n, channels)
    kwargs.pop("frames", None) if gen.random() < 0.5 else None
    # soundfile negates the overlap: an unsigned one wraps there (README).
    overlap = integer(gen, gen.choice([0, 0, 1, 3]), unsigned=False)
    out = out_array(gen, channels, n, kwargs["always_2d"]) if gen.random() < 0.5 else None
    size = len(out) if out is not None else gen.choice([1, 2, 7, 64, n // 2, n + 10])
    if overlap >= size:
        # soundfile never ends then (an empty out is one such block); sonavert refuses it
        overlap = 0
        if size == 0:
            out = None
            size = 1
    kwargs["overlap"] = overlap
    theirs_kw, ours_kw = copy_out(kwargs, out)
    if out is None:
        theirs_kw["blocksize"] = ours_kw["blocksize"] = integer(gen, size)
    given = Opened(gen, wav, sph)
    # Each block is copied as it comes: blocks of ``out`` are views of it.
    a, b = both(lambda: [np.copy(x) for x in sf.blocks(given.theirs, **theirs_kw, **given.extra)],
                lambda: [np.copy(x) for x in sonavert.blocks(given.ours, **ours_kw, **given.extra)])
    given.finish(what)
    same(a, b, f"{what}: blocks {kwargs} {size} from {given.how}")
    if out is not None and a[0] == "ok":
        np.testing.assert_array_equal(theirs_kw["out"], ours_kw["out"], err_msg=f"{what}: out afterwards")


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_read_and_blocks_agree_with_soundfile(files, kind, seed):
    wav, ours, n = files
    channels = sf.info(str(wav)).channels
    gen = random.Random(f"{seed}-{kind}-{channels}")
    for case in range(CASES):
        if gen.random() < 0.55:
            compare_read(gen, wav, ours[kind], n, channels, f"case {case}")
        else:
            compare_blocks(gen, wav, ours[kind], n, channels, f"case {case}")


def method_step(gen, theirs, mine, n, what):
    op = gen.choice(["read", "read", "seek", "tell", "blocks"])
    what = f"{what}: {op}"
    if op == "read":
        kwargs = random_read_args(gen, n, theirs.channels)
        kwargs.pop("start", None), kwargs.pop("stop", None)
        t_kw, o_kw = copy_out(kwargs, out_array(gen, theirs.channels, n, kwargs["always_2d"]))
        a, b = both(lambda: theirs.read(**t_kw), lambda: mine.read(**o_kw))
        same(a, b, f"{what} {kwargs}", t_kw.get("out"), o_kw.get("out"))
    elif op == "seek":
        target = integer(gen, gen.choice([0, 5, n, n + 2, -3, -n, -n - 1]))
        whence = gen.choice([0, 1, 2])
        same(*both(lambda: theirs.seek(target, whence), lambda: mine.seek(target, whence)),
             f"{what} {target} {whence}")
    elif op == "tell":
        same(*both(theirs.tell, mine.tell), what)
    else:
        size = integer(gen, gen.choice([3, 50, n]))
        frames = integer(gen, gen.choice([-1, 20]))
        same(*both(lambda: list(theirs.blocks(size, frames=frames)),
                   lambda: list(mine.blocks(size, frames=frames))), f"{what} {size}")


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_soundfile_method_sequences_agree(files, kind, seed):
    wav, ours, n = files
    gen = random.Random(f"{seed}-seq-{kind}-{n}")
    for case in range(CASES // 5):
        given = Opened(gen, wav, ours[kind])
        with sf.SoundFile(given.theirs, **given.extra) as theirs, \
                sonavert.SoundFile(given.ours, **given.extra) as mine:
            for attribute in ("samplerate", "channels", "frames", "mode", "seekable"):
                x, y = getattr(theirs, attribute), getattr(mine, attribute)
                assert (x() if callable(x) else x) == (y() if callable(y) else y), attribute
            assert len(theirs) == len(mine)
            given.name_agrees(theirs, mine, f"case {case}")
            for step in range(8):
                method_step(gen, theirs, mine, n, f"case {case} step {step}")
                same(*both(theirs.tell, mine.tell), f"case {case} step {step}: position after")
        assert mine.closed and theirs.closed
        given.finish(f"case {case}")
        # Whatever a closed file is asked to do raises the same class.
        for op in ("read", "tell", "seek", "blocks"):
            call = {"read": lambda f: f.read(), "tell": lambda f: f.tell(),
                    "seek": lambda f: f.seek(0), "blocks": lambda f: list(f.blocks(5))}[op]
            same(*both(lambda: call(theirs), lambda: call(mine)), f"case {case}: {op} after close")


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("kind", ["le", "be", "shorten"])
def test_info_agrees_with_soundfile(files, kind, seed):
    wav, ours, _ = files
    gen = random.Random(f"{seed}-info-{kind}")
    for case in range(20):
        given = Opened(gen, wav, ours[kind])
        if given.how == "fd-kept":
            # soundfile's info takes no closefd (and closes); sonavert's keeps it open.
            theirs = sf.info(given.theirs)
            mine = sonavert.info(given.ours, closefd=False)
            os.fstat(given.fds[1])
            given.fds = given.fds[1:]
        else:
            theirs, mine = sf.info(given.theirs), sonavert.info(given.ours)
        for name in ("samplerate", "channels", "frames", "duration", "subtype"):
            assert getattr(theirs, name) == getattr(mine, name), name
        assert mine.format == "NIST"
        given.name_agrees(theirs, mine, f"info case {case}")
        given.finish(f"info case {case}")
