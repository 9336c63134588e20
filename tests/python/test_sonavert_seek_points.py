"""Random access into Shorten files through the package: reads, blocks and
SoundFile seeking back and forth, on one thread or eight, give the whole
decode's frames whatever seek points exist; the process's cache of points
keeps within its limit over many files and never serves a file that
changed."""

import os
import threading

import pytest

import sonavert
from test_sonavert_shorten_reads import encode, pcm_twin, signal, sphere

np = pytest.importorskip("numpy")

FRAMES = 40000  # stereo, nmean 0: a seek point about every 4800 frames


@pytest.fixture(scope="module")
def long_pair(tmp_path_factory):
    frames = signal(2, FRAMES, 20)
    folder = tmp_path_factory.mktemp("seek_points")
    path = folder / "long.sph"
    path.write_bytes(sphere(frames, encode(frames, [256], [1, 2, -1]).quit().to_bytes()))
    return path, frames


@pytest.fixture
def cache_limit():
    """Restores the cache's limit after a test that changes it."""
    before = sonavert.seek_point_cache().limit
    yield
    sonavert.seek_point_cache(0)
    sonavert.seek_point_cache(before)


def cuts(seed, count=40, longest=9000):
    gen = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        first = int(gen.integers(0, FRAMES + 1))
        out.append((first, min(FRAMES, first + int(gen.integers(0, longest)))))
    return out + [(FRAMES - 5, FRAMES), (0, FRAMES), (FRAMES, FRAMES)]


def test_reads_anywhere_give_the_whole_decodes_frames(long_pair, cache_limit):
    path, frames = long_pair
    sonavert.seek_point_cache(0)
    sonavert.seek_point_cache(1 << 20)  # empty, then in use
    with sonavert.SoundFile(path) as f:
        for first, stop in cuts(1):
            got, _ = sonavert.read(path, start=first, stop=stop, dtype="int16", always_2d=True)
            assert np.array_equal(got, frames[first:stop]), (first, stop)
            # SoundFile zigzags over the file on its own points and the cache's.
            f.seek(first)
            assert np.array_equal(f.read(stop - first, dtype="int16", always_2d=True), frames[first:stop])
    assert sonavert.seek_point_cache().files == 1
    blocks = list(sonavert.blocks(path, blocksize=7000, overlap=1000, start=12345, dtype="int16", always_2d=True))
    assert np.array_equal(np.concatenate([b[:6000] for b in blocks[:-1]] + [blocks[-1]]), frames[12345:])


def test_eight_threads_read_what_one_reads(long_pair, cache_limit):
    path, frames = long_pair
    sonavert.seek_point_cache(0)
    sonavert.seek_point_cache(1 << 20)
    wrong, failures = [], []

    def work(seed):
        try:
            for first, stop in cuts(seed, count=25):
                got, _ = sonavert.read(path, start=first, stop=stop, dtype="int16", always_2d=True)
                if not np.array_equal(got, frames[first:stop]):
                    wrong.append((seed, first, stop))
        except Exception as e:  # a failure in a thread would otherwise pass unseen
            failures.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and not wrong


def test_the_cache_keeps_within_its_limit_over_many_files(tmp_path, cache_limit):
    frames = signal(1, 30000, 5)
    data = sphere(frames, encode(frames, [256], [2]).quit().to_bytes())
    sonavert.seek_point_cache(0)
    limit = 1500
    sonavert.seek_point_cache(limit)
    held = []
    for i in range(20):
        path = tmp_path / f"{i}.sph"
        path.write_bytes(data)
        got, _ = sonavert.read(path, dtype="int16", always_2d=True)
        assert np.array_equal(got, frames)
        state = sonavert.seek_point_cache()
        assert state.bytes <= limit
        held.append(state.bytes)
    assert max(held) > limit // 2, "the points of the files were kept up to the limit"
    assert sonavert.seek_point_cache().files < 20


def test_a_file_that_changed_is_read_anew(tmp_path, cache_limit):
    old, new = signal(1, 30000, 6), signal(1, 30000, 7)
    old_bytes = sphere(old, encode(old, [256], [1]).quit().to_bytes())
    new_bytes = sphere(new, encode(new, [256], [1]).quit().to_bytes())
    size = max(len(old_bytes), len(new_bytes))
    path = tmp_path / "changing.sph"
    path.write_bytes(old_bytes.ljust(size, b"\0"))
    got, _ = sonavert.read(path, start=20000, dtype="int16", always_2d=True)
    assert np.array_equal(got, old[20000:])
    stamp = os.stat(path).st_mtime_ns
    path.write_bytes(new_bytes.ljust(size, b"\0"))
    os.utime(path, ns=(stamp + 10**9, stamp + 10**9))
    got, _ = sonavert.read(path, start=20000, dtype="int16", always_2d=True)
    assert np.array_equal(got, new[20000:])


@pytest.mark.parametrize("limit, error", [(-1, ValueError), (1.5, TypeError), ("1", TypeError)])
def test_the_limit_must_be_a_number_of_bytes(limit, error):
    with pytest.raises(error):
        sonavert.seek_point_cache(limit)
