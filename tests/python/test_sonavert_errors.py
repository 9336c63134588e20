"""The reading API's exception classes, numpy integers as counts and
positions, descriptors closed as asked, and names as given (the full
comparison with soundfile runs with the peers: test_soundfile_oracle.py)."""

import io
import os
import pickle
from pathlib import Path

import pytest

import sonavert
import sonavert_native as native
from sphfiles import pcm_file, ramp

np = pytest.importorskip("numpy")

FRAMES = ramp(40)
DATA = pcm_file(FRAMES, rate=8000)
TRUNCATED = DATA[:-3]


@pytest.fixture
def sph(tmp_path):
    path = tmp_path / "a.sph"
    path.write_bytes(DATA)
    return path


def closed(fd):
    try:
        os.fstat(fd)
    except OSError:
        return True
    os.close(fd)
    return False


def test_the_classes_are_value_and_runtime_errors():
    for name, runtime in (("SoundFileError", False), ("SoundFileRuntimeError", True),
                          ("LibsndfileError", True)):
        kind = getattr(sonavert, name)
        assert issubclass(kind, ValueError) and issubclass(kind, RuntimeError) == runtime
        assert issubclass(kind, sonavert.SoundFileError)
    assert issubclass(sonavert.LibsndfileError, sonavert.SoundFileRuntimeError)


@pytest.mark.parametrize("call, kind, text", [
    (lambda f: (f.close(), f.read()), sonavert.SoundFileRuntimeError, "closed file"),
    (lambda f: (f.close(), f.seek(0)), sonavert.SoundFileRuntimeError, "closed file"),
    (lambda f: (f.close(), f.tell()), sonavert.SoundFileRuntimeError, "closed file"),
    (lambda f: f.seek(41), sonavert.LibsndfileError, "cannot seek to frame 41"),
    (lambda f: f.seek(-41, sonavert.SEEK_END), sonavert.LibsndfileError, "frame -1"),
    (lambda f: f.seek(np.uint16(5), sonavert.SEEK_CUR) and f.seek(-6, sonavert.SEEK_CUR),
     sonavert.LibsndfileError, "frame -1"),
])
def test_soundfile_raises_by_soundfiles_classes(sph, call, kind, text):
    f = sonavert.SoundFile(sph)
    with pytest.raises(kind, match=text) as caught:
        call(f)
    assert type(caught.value) is kind


def test_the_decoder_reports_a_libsndfile_error_with_its_catalogue_code():
    with pytest.raises(sonavert.LibsndfileError, match="audio payload truncated") as caught:
        sonavert.read(TRUNCATED)
    assert caught.value.code == 202 and caught.value.error_string == str(caught.value)
    # sonavert_native keeps its plain ValueError.
    with pytest.raises(ValueError) as plain:
        native.decode_pcm(TRUNCATED)
    assert type(plain.value) is ValueError


@pytest.mark.parametrize("opener", [sonavert.read, sonavert.info, sonavert.SoundFile,
                                    lambda p: list(sonavert.blocks(p, 10))])
def test_a_missing_file_is_its_oserror_and_a_libsndfile_error(tmp_path, opener):
    missing = tmp_path / "gone.sph"
    with pytest.raises(FileNotFoundError) as caught:
        opener(missing)
    error = caught.value
    assert isinstance(error, sonavert.LibsndfileError)
    assert (error.errno, error.filename, error.code) == (2, str(missing), 2)
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is FileNotFoundError and again.filename == str(missing)


@pytest.mark.parametrize("kind", [int, np.int64, np.int32, np.uint16, np.intp])
def test_numpy_integers_count_and_place(sph, kind):
    data, _ = sonavert.read(sph, frames=kind(5), start=kind(3), dtype="int16")
    assert data.tolist() == [row[0] for row in FRAMES[3:8]]
    data, _ = sonavert.read(sph, start=kind(30), stop=kind(33), dtype="int16")
    assert data.tolist() == [row[0] for row in FRAMES[30:33]]
    with sonavert.SoundFile(sph) as f:
        assert f.seek(kind(38)) == 38
        f.read(kind(2))
        assert type(f.tell()) is int and f.tell() == 40
        assert f.seek(-3, sonavert.SEEK_CUR) == 37
    blocks = list(sonavert.blocks(sph, blocksize=kind(16), overlap=kind(2), dtype="int16"))
    assert [len(b) for b in blocks] == [16, 16, 12]


def test_descriptors_close_as_asked(sph, tmp_path):
    for call in (sonavert.info, sonavert.read, lambda fd, **kw: sonavert.SoundFile(fd, **kw).close()):
        for keep in (False, True):
            fd = os.open(sph, os.O_RDONLY)
            call(fd, **({"closefd": False} if keep else {}))
            assert closed(fd) != keep
    junk = tmp_path / "junk.sph"
    junk.write_bytes(b"RIFF" + bytes(100))
    for call in (sonavert.info, sonavert.SoundFile):
        fd = os.open(junk, os.O_RDONLY)
        with pytest.raises(sonavert.LibsndfileError):
            call(fd)
        assert closed(fd)


def test_names_are_as_given(sph):
    assert sonavert.SoundFile(sph).name == str(sph)
    assert sonavert.info(os.fsencode(sph)).name == os.fsencode(sph)
    with open(sph, "rb") as f:
        assert sonavert.SoundFile(f).name is f
    stream = io.BytesIO(DATA)
    assert sonavert.info(stream).name is stream
    assert sonavert.info(DATA).name is None
    assert isinstance(sonavert.info(Path(sph)).name, str)


@pytest.mark.parametrize("position, frames, fill_value, expected", [
    (40, -1, None, [0, 0, 0, 0]),  # at the end: the rows asked for become zeros
    (40, 2, None, [0, 0, 9, 9]),
    (38, -1, None, [FRAMES[38][0], FRAMES[39][0], 9, 9]),  # before it: the rest is kept
    (40, -1, 5, [5, 5, 5, 5]),
    (39, 3, 5, [FRAMES[39][0], 5, 5, 5]),  # fill_value fills all of out past the frames read
])
def test_a_read_into_out_past_the_end(sph, position, frames, fill_value, expected):
    out = np.full(4, 9, dtype="int16")
    with sonavert.SoundFile(sph) as f:
        f.seek(position)
        f.read(frames, fill_value=fill_value, out=out)
    assert out.tolist() == expected


@pytest.mark.parametrize("kwargs, shapes", [
    ({"frames": 3, "overlap": 1}, [4]),   # frames + overlap reach the block: all of out
    ({"frames": 2, "overlap": 1}, [3]),   # one row past the frames read
    ({"frames": 5, "overlap": 1}, [4, 2]),
    ({"stop": 3}, [3]),
    ({"frames": 3, "fill_value": 0}, [4]),
])
def test_blocks_of_out_keep_their_shape(sph, kwargs, shapes):
    out = np.full(4, 9, dtype="int16")
    blocks = [np.copy(b) for b in sonavert.blocks(sph, out=out, **kwargs)]
    assert [len(b) for b in blocks] == shapes
    first = blocks[0].tolist()
    read = min(kwargs.get("frames", kwargs.get("stop")), 4)
    assert first[:read] == [row[0] for row in FRAMES[:read]]
    assert set(first[read:]) <= {9 if "fill_value" not in kwargs else 0}
