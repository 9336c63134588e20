"""Converting a tree: the tree shape, skipping complete outputs, overwriting,
atomic writes, failures that leave the rest intact, and other executors."""

import logging
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import sonavert
import sonavert._output as api
from sonavert._batch import RECORD_NAME
import sonavert_native as native
from sphfiles import g711_file, pcm_bytes, pcm_file, ramp

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}

# source (relative to the tree) -> its output (relative), for the sample tree
TREE = {
    "a/one.sph": "a/one.wav",
    "a/b/two.sph": "a/b/two.wav",
    "three.SPH": "three.wav",
    "timit/SA1.WAV": "timit/SA1.wav",  # SPHERE under another name, found by its magic
    "x/noext": "x/noext.wav",
}


def make_tree(root):
    files = {
        "a/one.sph": pcm_file(ramp(800), rate=8000),
        "a/b/two.sph": pcm_file(ramp(500, channels=2), rate=16000, byte_format="10"),
        "three.SPH": g711_file(bytes(range(256)) * 4, channels=2),
        "timit/SA1.WAV": pcm_file(ramp(300, channels=1, step=3), rate=16000, bits=32),
        "x/noext": pcm_file(ramp(10)),
        "notes.txt": b"not audio",
        "x/README": b"NIST_1",
    }
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    (root / "empty").mkdir()
    return root


@pytest.fixture
def tree(tmp_path):
    return make_tree(tmp_path / "src"), tmp_path / "dst"


def listing(root):
    """Every file under ``root`` but the batch record."""
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, _, names in os.walk(root) for n in names
                  if not n.startswith(RECORD_NAME))


def stamps(root):
    return {rel: (os.stat(root / rel).st_ino, os.stat(root / rel).st_mtime_ns)
            for rel in listing(root)}


def check_outputs(src, dst, rels=TREE):
    for rel in rels:
        assert (dst / TREE[rel]).read_bytes() == native.transcode((src / rel).read_bytes()), rel


def paths(root, rels):
    return sorted(str(root / rel) for rel in rels)


@pytest.mark.parametrize("jobs", [1, 2])
def test_batch_mirrors_the_tree(tree, jobs):
    src, dst = tree
    seen = []
    result = sonavert.batch(src, dst, jobs=jobs, progress=lambda *a: seen.append(a[:2]))
    assert result.converted == paths(src, TREE)
    assert (result.skipped, result.failed, result.ok) == ([], [], True)
    assert listing(dst) == sorted(TREE.values())
    check_outputs(src, dst)
    assert seen == [(i, 5) for i in range(1, 6)]


def test_batch_raw_with_selection(tree):
    src, dst = tree
    result = sonavert.batch(src, dst, format="raw", channels=[0], start=2, stop=5, jobs=2)
    assert result.ok and len(result.converted) == 5
    assert (dst / "a/b/two.raw").read_bytes() == pcm_bytes([ramp(500, 2)[i][0] for i in (2, 3, 4)])
    assert (dst / "timit/SA1.raw").stat().st_size == 3 * 4


def test_skip_complete_outputs_and_overwrite(tree):
    src, dst = tree
    sonavert.batch(src, dst, jobs=1)
    before = stamps(dst)
    again = sonavert.batch(src, dst, jobs=1)
    assert (again.converted, again.skipped) == ([], paths(src, TREE))
    assert stamps(dst) == before  # not touched

    # An incomplete output, a same-sized file that is no WAV, and outputs of
    # other options are converted again; complete ones are left alone.
    one = dst / "a/one.wav"
    one.write_bytes(one.read_bytes()[:100])
    three = dst / "three.wav"
    three.write_bytes(b"\0" * three.stat().st_size)
    partial = sonavert.batch(src, dst, jobs=2)
    assert partial.converted == paths(src, ["a/one.sph", "three.SPH"])
    assert len(partial.skipped) == 3
    check_outputs(src, dst)
    assert stamps(dst)["a/b/two.wav"] == before["a/b/two.wav"]

    # Other options shape other outputs: every one is made again.
    narrowed = sonavert.batch(src, dst, jobs=1, channels=[0])
    assert narrowed.converted == paths(src, TREE)
    sonavert.batch(src, dst, jobs=1)

    before = stamps(dst)
    redo = sonavert.batch(src, dst, jobs=1, overwrite=True)
    assert (redo.converted, redo.skipped) == (paths(src, TREE), [])
    check_outputs(src, dst)
    after = stamps(dst)
    assert all(after[rel][0] != before[rel][0] for rel in after)  # renamed into place


def test_failures_in_the_middle_leave_the_rest_intact(tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.mkdir()
    good = {}
    for i in range(7):
        data = pcm_file(ramp(1000 + i, channels=2))
        if i == 3:
            data = data[:-10]
        elif i == 4:
            data = b"RIFF" + data[4:]
        (src / f"f{i}.sph").write_bytes(data)
        if i not in (3, 4):
            good[f"f{i}.sph"] = data
    (dst / "f3.wav").parent.mkdir()
    result = sonavert.batch(src, dst, jobs=2)
    assert result.failed == [
        (str(src / "f3.sph"),
         "audio payload truncated: header declares 4012 bytes but only 4002 present"),
        (str(src / "f4.sph"), "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    ]
    assert not result.ok and result.converted == paths(src, good)
    assert listing(dst) == sorted(name.replace(".sph", ".wav") for name in good)
    for name, data in good.items():
        assert (dst / name.replace(".sph", ".wav")).read_bytes() == native.transcode(data)


def test_interrupted_batch_leaves_no_partial_file(tree, monkeypatch):
    src, dst = tree
    create_temp = api._create_temp
    outputs = []

    def interrupting_temp(path):
        temp, file = create_temp(path)
        outputs.append(os.fsdecode(path))
        if len(outputs) == 3:  # the third output, half written
            file.write(b"RIFF")
            file.write = lambda chunk: (_ for _ in ()).throw(KeyboardInterrupt)
        return temp, file

    monkeypatch.setattr(api, "_create_temp", interrupting_temp)
    with pytest.raises(KeyboardInterrupt):
        sonavert.batch(src, dst, jobs=1)
    # The walk takes a folder's files before its subfolders.
    assert outputs[:3] == [str(dst / "three.wav"), str(dst / "a/one.wav"),
                           str(dst / "a/b/two.wav")]
    assert listing(dst) == ["a/one.wav", "three.wav"]
    check_outputs(src, dst, ["a/one.sph", "three.SPH"])
    monkeypatch.undo()
    resumed = sonavert.batch(src, dst, jobs=1)
    assert len(resumed.skipped) == 2 and len(resumed.converted) == 3
    check_outputs(src, dst)


# Installed in every process of the child (through sitecustomize, whatever
# way its pool starts workers): each output is written in two halves 50 ms
# apart, so that an interrupt finds files half written.
SLOW_WRITES = """
import time
import sonavert._output as api
from sonavert._batch import RECORD_NAME

class Slow:
    def __init__(self, file): self.file = file
    def __enter__(self): return self
    def __exit__(self, *exc): self.file.close()
    def write(self, chunk):
        self.file.write(chunk[:len(chunk) // 2])
        time.sleep(0.05)
        self.file.write(chunk[len(chunk) // 2:])
        return len(chunk)

create_temp = api._create_temp
def slow_temp(path):
    temp, file = create_temp(path)
    return temp, Slow(file)

api._create_temp = slow_temp
"""


def test_ctrl_c_during_a_batch(tmp_path):
    src, dst, slow = tmp_path / "src", tmp_path / "dst", tmp_path / "slow"
    src.mkdir()
    slow.mkdir()
    (slow / "sitecustomize.py").write_text(SLOW_WRITES)
    for i in range(80):
        (src / f"u{i:02d}.sph").write_bytes(pcm_file(ramp(200 + i)))
    child = subprocess.Popen(
        [sys.executable, "-m", "sonavert", "batch", "-j", "2", src, dst],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
        env={**ENV, "PYTHONPATH": os.pathsep.join([str(slow), ENV["PYTHONPATH"]])})
    deadline = time.monotonic() + 30
    while (time.monotonic() < deadline and child.poll() is None
           and len([n for n in listing(dst) if n.endswith(".wav")]) < 4):
        time.sleep(0.01)
    os.killpg(child.pid, signal.SIGINT)  # as Ctrl-C does: the whole process group
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out, err) == (130, b"", b"sonavert: interrupted\n")
    written = listing(dst)
    assert 4 <= len(written) < 80
    for name in written:  # only whole outputs, no temporary files
        expected = native.transcode((src / name.replace(".wav", ".sph")).read_bytes())
        assert (dst / name).read_bytes() == expected, name
    done = subprocess.run([sys.executable, "-m", "sonavert", "batch", src, dst],
                          capture_output=True, text=True, env=ENV, timeout=60)
    assert done.returncode == 0
    # An output whose record the interrupt cut off (renamed into place by a
    # worker, not yet reported: at most one per worker) is converted again,
    # never trusted; every file is accounted for.
    counts = re.match(r"sonavert: (\d+) converted, (\d+) skipped, 0 failed \(80 files", done.stderr)
    assert counts, done.stderr
    converted, skipped = int(counts[1]), int(counts[2])
    assert converted + skipped == 80 and len(written) - 2 <= skipped <= len(written)
    assert len(listing(dst)) == 80


def test_planning_failures(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "x.sph").write_bytes(pcm_file(ramp(5)))
    (src / "x.wv1").write_bytes(pcm_file(ramp(6)))
    (src / "y.wav").write_bytes(pcm_file(ramp(7)))
    result = sonavert.batch(src, tmp_path / "dst", jobs=1)
    assert result.failed == [(str(src / "x.wv1"), f"the output {tmp_path / 'dst' / 'x.wav'} "
                                                  f"is already written from {src / 'x.sph'}")]
    in_place = sonavert.batch(src, src, jobs=1)
    assert in_place.failed == [
        (str(src / "x.wv1"), f"the output {src / 'x.wav'} is already written from {src / 'x.sph'}"),
        (str(src / "y.wav"), "the output would replace its own input"),
    ]
    assert (src / "y.wav").read_bytes() == pcm_file(ramp(7))


def test_output_tree_inside_the_source_tree(tree):
    src, _ = tree
    sonavert.batch(src, src / "out", jobs=1)
    again = sonavert.batch(src, src / "out", jobs=1, format="raw", overwrite=True)
    assert len(again.converted) == 5  # the first run's outputs are not taken for sources


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"format": "mp3"}, ValueError, "format must be one of 'wav', 'raw', 'sph', 'au', 'aif', 'flac', got 'mp3'"),
        ({"form": "pcm8"}, ValueError,
         "form must be one of 'stored', 'pcm16', 'ulaw', 'alaw', got 'pcm8'"),
        ({"jobs": 0}, ValueError, "jobs must be a positive integer, got 0"),
        ({"start": -1}, ValueError, "start must not be negative, got -1"),
        ({"start": 9, "stop": 3}, ValueError, "start (frame 9) is after stop (frame 3)"),
        ({"start": 0.5, "stop": 0.25}, ValueError, "start (0.5 s) is after stop (0.25 s)"),
        ({"channels": -1}, ValueError,
         f"channel -1 out of range: the file has {1 << 62} channels (numbered from 0)"),
    ],
)
def test_batch_argument_errors_come_first(tmp_path, kwargs, error, message):
    with pytest.raises(error) as caught:
        sonavert.batch(tmp_path / "missing", tmp_path / "dst", **kwargs)
    assert str(caught.value) == message


def test_batch_command(tree):
    src, dst = tree
    (src / "bad.sph").write_bytes(b"NIST_1A\n   1024\n")
    done = subprocess.run([sys.executable, "-m", "sonavert", "batch", "-j", "2", "-c", "2", src,
                           dst], capture_output=True, text=True, env=ENV, timeout=60)
    assert done.returncode == 1 and done.stdout == ""
    lines = done.stderr.splitlines()
    assert lines[0].startswith("sonavert: 2 converted, 0 skipped, 4 failed (6 files in ")
    assert lines[1:] == [
        f"sonavert: {src / 'a/one.sph'}: channel 2 out of range: the file has 1 channel",
        f"sonavert: {src / 'bad.sph'}: header claims 1024 bytes but only 16 available",
        f"sonavert: {src / 'timit/SA1.WAV'}: channel 2 out of range: the file has 1 channel",
        f"sonavert: {src / 'x/noext'}: channel 2 out of range: the file has 1 channel",
    ]
    missing = subprocess.run([sys.executable, "-m", "sonavert", "batch", src / "nope", dst],
                             capture_output=True, text=True, env=ENV, timeout=60)
    assert (missing.returncode, missing.stderr) == (
        1, f"sonavert: {src / 'nope'}: No such file or directory\n")


def test_batch_on_a_dask_cluster(tree):
    distributed = pytest.importorskip("distributed")
    src, dst = tree
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        result = sonavert.batch(src, dst, executor=client.get_executor())
        workers = {w["id"] for w in client.scheduler_info()["workers"].values()}
    assert (result.converted, result.failed) == (paths(src, TREE), [])
    assert len(workers) == 2
    check_outputs(src, dst)


def test_chunks_keep_order_and_limits(tmp_path, monkeypatch):
    import sonavert._batch as batch_module

    monkeypatch.setattr(batch_module, "CHUNK_BYTES", 1000)
    sizes = [100] * 30 + [5000] + [400] * 6
    tasks = []
    for i, size in enumerate(sizes):
        tasks.append(batch_module.Task(str(tmp_path / f"{i}.sph"), "", "wav", size=size))
    tasks.append(batch_module.Task(str(tmp_path / "missing.sph"), "", "wav"))
    chunks = list(batch_module._chunks(tasks, workers=1))  # at most 38 // 8 = 4 files
    assert [len(c) for c in chunks] == [4] * 7 + [2, 1, 2, 2, 3]
    assert [t for c in chunks for t in c] == tasks
