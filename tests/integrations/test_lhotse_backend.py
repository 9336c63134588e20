"""sonavert.lhotse inside real lhotse, against lhotse's own sph2pipe backend
running sonavert-sph2pipe (as `sph2pipe` on PATH): Recording.from_file,
load_audio at offsets and durations, and the cuts of a CutSet give the same
samples, shapes and rates, on the corpus files and NIST's .WAV files, and
on a minute of stereo Shorten made here. Run by `scripts/test.sh --integrations`."""

import os
import random
import shutil
import subprocess
from pathlib import Path

import pytest

lhotse = pytest.importorskip("lhotse")
np = pytest.importorskip("numpy")

from lhotse import CutSet, Recording, RecordingSet  # noqa: E402
from lhotse.audio.backend import (  # noqa: E402
    Sph2pipeSubprocessBackend,
    get_default_audio_backend,
    set_current_audio_backend,
)

import sonavert.lhotse  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
CORPUS = Path(os.environ.get("SONAVERT_CORPUS") or ROOT.parent / "shared" / "corpus")
pytestmark = pytest.mark.skipif(shutil.which("sph2pipe") is None, reason="needs sonavert-sph2pipe as sph2pipe on PATH")


def corpus_files():
    if not CORPUS.is_dir():
        return []
    files = sorted(CORPUS.glob("*/*.sph")) + sorted(CORPUS.glob("nist/*.wav")) + sorted(CORPUS.glob("nist/*.wv?"))
    return [f for f in files if f.read_bytes()[:8] == b"NIST_1A\n"]


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    """A minute of 16 kHz stereo, Shorten-compressed by the project's writer."""
    tools = Path(os.environ.get("SONAVERT_TOOLS", ROOT / "build" / "integrations"))
    gen = np.random.default_rng(11)
    t = np.arange(16000 * 60)
    left = 6000 * np.sin(t * 0.031) * np.sin(t * 0.00021) + gen.normal(0, 60, t.size)
    right = 4000 * np.sin(t * 0.017 + 1) + gen.normal(0, 60, t.size)
    folder = tmp_path_factory.mktemp("lhotse")
    raw = folder / "long.raw"
    raw.write_bytes(np.stack([left, right], axis=1).astype("<i2").tobytes())
    out = folder / "long.sph"
    subprocess.run([str(tools / "sphere_write"), "--describe", "pcm16", "--rate", "16000", "--int", "channel_count=2",
                    "--shorten", str(raw), str(out)], check=True, capture_output=True)
    return out


def reference():
    set_current_audio_backend(get_default_audio_backend())


def outcome(call):
    try:
        samples = call()
    except Exception as e:  # lhotse wraps every backend's failure
        return ("failed", type(e).__name__)
    return samples


def same(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return isinstance(a, tuple) and isinstance(b, tuple)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)


TIMES = [(0.0, None), (0.0, 0.5), (0.25, 0.5), (0.12345, 0.41976), (0.1, 0.2), (0.7, 100.0), (0.9999, 0.0001)]


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_corpus_files_read_as_the_sph2pipe_backend_reads_them(path):
    ours, theirs = sonavert.lhotse.SonavertBackend(), Sph2pipeSubprocessBackend()
    for offset, duration in TIMES:
        want = outcome(lambda: theirs.read_audio(str(path), offset, duration))
        got = outcome(lambda: ours.read_audio(str(path), offset, duration))
        assert same(got if isinstance(got, tuple) else got[0], want if isinstance(want, tuple) else want[0]), \
            (offset, duration, want if isinstance(want, tuple) else want[0].shape)
        if not isinstance(want, tuple):
            assert got[1] == want[1]


def test_recordings_and_cuts_as_with_the_sph2pipe_backend(long_file):
    rng = random.Random(5)
    try:
        reference()
        want_recording = Recording.from_file(long_file)
        sonavert.lhotse.use()
        recording = Recording.from_file(long_file)
        assert (recording.num_samples, recording.sampling_rate, recording.channel_ids, recording.duration) == \
            (want_recording.num_samples, want_recording.sampling_rate, want_recording.channel_ids,
             want_recording.duration)
        spans = [(round(rng.uniform(0, 58), 3), 2.0) for _ in range(20)] + [(59.5, 1.0), (0.0, None)]
        cuts = CutSet.from_manifests(recordings=RecordingSet.from_recordings([recording])).cut_into_windows(7.3)
        got = [recording.load_audio(offset=o, duration=d) for o, d in spans] + [c.load_audio() for c in cuts]
        reference()
        want = [want_recording.load_audio(offset=o, duration=d) for o, d in spans] + [c.load_audio() for c in cuts]
        for i, (a, b) in enumerate(zip(got, want)):
            assert same(a, b), i
    finally:
        reference()


def test_use_puts_sonavert_first_and_drops_the_sph2pipe_backend():
    try:
        chain = sonavert.lhotse.use()
        assert isinstance(chain.backends[0], sonavert.lhotse.SonavertBackend)
        assert not any(isinstance(b, Sph2pipeSubprocessBackend) for b in chain.backends)
        assert lhotse.audio.backend.get_current_audio_backend() is chain
    finally:
        reference()
