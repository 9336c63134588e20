"""A batch under faults: outputs that would replace inputs, a record that
must match before anything is skipped, files that are no sources, dying
workers and parents, full disks and two runs at once."""

import contextlib
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

import sonavert
import sonavert._batch as batch_module
import sonavert._output as output
import sonavert_native as native
from sphfiles import pcm_file, ramp
from test_sonavert_batch import SLOW_WRITES

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
RECORD = batch_module.RECORD_NAME


def sph(i, frames=400, channels=2):
    return pcm_file(ramp(frames + i, channels=channels), rate=8000)


def write_tree(root, count, frames=400):
    root.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        sub = root / f"d{i % 3}"
        sub.mkdir(exist_ok=True)
        (sub / f"u{i:03d}.sph").write_bytes(sph(i, frames))
    return root


def outputs(root):
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, _, names in os.walk(root) for n in names
                  if not n.startswith(RECORD))


def temporaries(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.endswith(output.TEMP_SUFFIX)]


def assert_outputs_correct(src, dst):
    """Every output that exists is the whole conversion of its source."""
    for rel in outputs(dst):
        expected = native.transcode((src / rel).with_suffix(".sph").read_bytes())
        assert (dst / rel).read_bytes() == expected, rel


def command(*argv, **kwargs):
    return subprocess.run([sys.executable, "-m", "sonavert", *map(str, argv)],
                          capture_output=True, text=True, env=ENV, timeout=120, **kwargs)


def summary(stderr):
    """(converted, skipped, failed) from the command's summary line."""
    words = stderr.splitlines()[0].split()
    return int(words[1]), int(words[3]), int(words[5])


# --- outputs never touch inputs ------------------------------------------------------


def dst_linked_to_src(tmp):
    (tmp / "dst").symlink_to(tmp / "src")
    return tmp / "dst"


def dst_is_src(tmp):
    return tmp / "src"


@pytest.mark.parametrize("dst_of", [dst_linked_to_src, dst_is_src])
def test_no_output_replaces_a_source(tmp_path, dst_of):
    src = tmp_path / "src"
    (src / "timit").mkdir(parents=True)
    files = {"timit/sa1.wav": sph(1), "timit/sa2.wav": sph(2), "timit/sa2.sph": sph(3)}
    for rel, data in files.items():
        (src / rel).write_bytes(data)
    dst = dst_of(tmp_path)
    result = sonavert.batch(src, dst, jobs=1)
    assert result.failed == [
        (str(src / "timit/sa1.wav"), "the output would replace its own input"),
        (str(src / "timit/sa2.sph"),
         f"the output {dst / 'timit/sa2.wav'} is a source of this batch"),
        (str(src / "timit/sa2.wav"), "the output would replace its own input"),
    ]
    for rel, data in files.items():
        assert (src / rel).read_bytes() == data


def test_a_hard_link_to_a_source_is_not_written_over(tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.mkdir()
    dst.mkdir()
    (src / "a.sph").write_bytes(sph(1))
    (src / "b.sph").write_bytes(sph(2))
    os.link(src / "a.sph", dst / "b.wav")
    result = sonavert.batch(src, dst, jobs=1)
    assert result.failed == [(str(src / "b.sph"), f"the output {dst / 'b.wav'} is a source "
                                                  "of this batch")]
    assert (src / "a.sph").read_bytes() == sph(1)


# --- the record decides what is skipped ----------------------------------------------


def touch_source(src, dst):
    os.utime(src / "d0/u000.sph", ns=(1, 1))


def replace_source_same_time(src, dst):
    path = src / "d1/u001.sph"
    st = path.stat()
    fresh = src / "fresh"
    data = bytearray(path.read_bytes())
    data[-1] ^= 1  # the same size, another sample
    fresh.write_bytes(data)
    os.utime(fresh, ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(fresh, path)


def touch_output(src, dst):
    os.utime(dst / "d2/u002.wav", ns=(1, 1))


def truncate_output(src, dst):
    with open(dst / "d0/u003.wav", "r+b") as f:
        f.truncate(100)


def forget_record(src, dst):
    os.unlink(dst / RECORD)


ALL = "all"


@pytest.mark.parametrize("change, options, again", [
    (None, {}, []),
    (None, {"channels": [1]}, ALL),
    (None, {"channels": 1}, ALL),
    (None, {"start": 0.01}, ALL),
    (None, {"stop": 300}, ALL),
    (touch_source, {}, ["d0/u000.sph"]),
    (replace_source_same_time, {}, ["d1/u001.sph"]),
    (touch_output, {}, ["d2/u002.sph"]),
    (truncate_output, {}, ["d0/u003.sph"]),
    (forget_record, {}, ALL),
])
def test_a_rerun_skips_only_what_its_record_shows_current(tmp_path, change, options, again):
    src, dst = write_tree(tmp_path / "src", 6), tmp_path / "dst"
    assert len(sonavert.batch(src, dst, jobs=1).converted) == 6
    if change is not None:
        change(src, dst)
    result = sonavert.batch(src, dst, jobs=1, **options)
    sources = sorted(os.path.relpath(p, src) for p in src.rglob("*.sph"))
    assert sorted(os.path.relpath(p, src) for p in result.converted) == (
        sources if again == ALL else again)
    assert len(result.skipped) == 6 - len(result.converted) and result.failed == []
    for rel in sources:  # every output is that of the options asked for last
        expected = tmp_path / "expected.wav"
        sonavert.convert(src / rel, expected, **options)
        assert (dst / rel).with_suffix(".wav").read_bytes() == expected.read_bytes(), rel


def test_the_record_lists_the_outputs(tmp_path):
    src, dst = write_tree(tmp_path / "src", 4), tmp_path / "dst"
    (src / "d0" / "with space.sph").write_bytes(sph(9))
    scp, jsonl = tmp_path / "wav.scp", tmp_path / "list.jsonl"
    result = sonavert.batch(src, dst, jobs=1, channels=[0], start=10, scp=scp, jsonl=jsonl)
    spaced = str(dst / "d0" / "with space.wav")
    assert result.failed == [(spaced, f"left out of {scp}: its name holds white space")]
    assert scp.read_text().splitlines() == [
        f"d0_u000 {dst / 'd0/u000.wav'}", f"d0_u003 {dst / 'd0/u003.wav'}",
        f"d1_u001 {dst / 'd1/u001.wav'}", f"d2_u002 {dst / 'd2/u002.wav'}"]
    import json

    rows = [json.loads(line) for line in jsonl.read_text().splitlines()]
    assert [r["path"] for r in rows] == [
        str(dst / "d0/u000.wav"), str(dst / "d0/u003.wav"), str(dst / "d0/with space.wav"),
        str(dst / "d1/u001.wav"), str(dst / "d2/u002.wav")]
    for row, i in zip(rows, (0, 3, 9, 1, 2)):
        assert row == {"path": row["path"], "frames": 400 + i - 10, "samplerate": 8000,
                       "channels": 1, "duration": (400 + i - 10) / 8000}
    # a rerun that skips everything lists the same
    scp.unlink()
    again = sonavert.batch(src, dst, jobs=1, channels=[0], start=10, scp=scp)
    assert len(again.skipped) == 5 and len(scp.read_text().splitlines()) == 4


# --- every file is accounted for -----------------------------------------------------


def dangling(src):
    (src / "gone.sph").symlink_to(src / "nowhere.sph")
    return [(src / "gone.sph", "dangling symbolic link")]


def fifos(src):
    os.mkfifo(src / "pipe.sph")
    os.mkfifo(src / "d1" / "noext")
    return [(src / "d1" / "noext", "not a regular file (a FIFO)"),
            (src / "pipe.sph", "not a regular file (a FIFO)")]


def a_socket(src):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(str(src / "d2" / "s.sph"))
    sock.close()
    return [(src / "d2" / "s.sph", "not a regular file (a socket)")]


def a_loop(src):
    (src / "d0" / "up").symlink_to(src)
    return [(src / "d0" / "up", "folder already walked (a symlink loop or a second link to it)")]


def too_long(src):
    fd = os.open(src, os.O_RDONLY)
    name = "n" * 200
    for _ in range(24):  # 24 * 201 bytes: past PATH_MAX (4096)
        os.mkdir(name, dir_fd=fd)
        fd2 = os.open(name, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = fd2
    os.close(fd)
    first_too_long = str(src) + ("/" + name) * 24
    while len(os.fsencode(first_too_long)) >= 4096:
        first_too_long = os.path.dirname(first_too_long)
    first_too_long += "/" + name
    return [(first_too_long, "File name too long")]


@pytest.mark.parametrize("make", [dangling, fifos, a_socket, a_loop, too_long])
def test_files_that_are_no_sources_are_named(tmp_path, make):
    src, dst = write_tree(tmp_path / "src", 3), tmp_path / "dst"
    problems = make(src)
    done = command("batch", "-j", "1", src, dst)
    assert done.returncode == 1
    assert summary(done.stderr) == (3, 0, len(problems))
    assert done.stderr.splitlines()[1:] == [f"sonavert: {p}: {why}" for p, why in problems]
    assert_outputs_correct(src, dst)


def test_a_source_swapped_for_a_fifo_fails_without_blocking(tmp_path, monkeypatch):
    src, dst = write_tree(tmp_path / "src", 3), tmp_path / "dst"
    real_plan = batch_module.plan

    def plan_then_swap(*args, **kwargs):
        planned = real_plan(*args, **kwargs)
        os.unlink(src / "d1/u001.sph")
        os.mkfifo(src / "d1/u001.sph")
        return planned

    monkeypatch.setattr(batch_module, "plan", plan_then_swap)
    result = sonavert.batch(src, dst, jobs=1)
    assert result.failed == [(str(src / "d1/u001.sph"), "not a regular file (a FIFO)")]
    assert len(result.converted) == 2


def without_file_rights():
    """A command prefix that runs a child without root's power to read any
    file, so that permission bits hold for it."""
    if os.geteuid() != 0:
        return []
    import shutil

    if shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv: permission bits do not hold")
    return ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]


def test_unreadable_files_and_folders_are_named(tmp_path):
    src, dst = write_tree(tmp_path / "src", 3), tmp_path / "dst"
    (src / "locked").mkdir()
    (src / "locked" / "x.sph").write_bytes(sph(7))
    (src / "secret").write_bytes(sph(8))  # no extension: must be opened to be judged
    for path in (src / "d0" / "u000.sph", src / "secret", src / "locked"):
        path.chmod(0)
    try:
        done = subprocess.run([*without_file_rights(), sys.executable, "-m", "sonavert",
                               "batch", "-j", "1", src, dst],
                              capture_output=True, text=True, env=ENV, timeout=120)
    finally:
        (src / "locked").chmod(0o755)
    assert done.returncode == 1, done.stderr
    assert summary(done.stderr) == (2, 0, 3)
    assert done.stderr.splitlines()[1:] == [
        f"sonavert: {src / 'd0/u000.sph'}: Permission denied",
        f"sonavert: {src / 'locked'}: Permission denied",
        f"sonavert: {src / 'secret'}: Permission denied",
    ]


def remove_tree(root):
    """shutil.rmtree recurses, too deep for such a tree: rm does not."""
    subprocess.run(["rm", "-rf", "--", str(root)], check=True)


def test_a_tree_a_thousand_folders_deep(tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    deep = src
    for _ in range(1000):
        deep = deep / "d"
        deep.mkdir(parents=deep.parent == src)
    (deep / "bottom.sph").write_bytes(sph(1))
    try:
        result = sonavert.batch(src, dst, jobs=1)
        assert (len(result.converted), result.failed) == (1, [])
        assert (dst.joinpath(*["d"] * 1000) / "bottom.wav").read_bytes() == native.transcode(
            sph(1))
    finally:
        for root in (src, dst):
            if root.exists():
                remove_tree(root)


# --- workers -------------------------------------------------------------------------


def test_a_killed_worker_fails_only_its_file(tmp_path, monkeypatch):
    src, dst = write_tree(tmp_path / "src", 30), tmp_path / "dst"
    create_temp = output._create_temp

    def killing_temp(target):
        made = create_temp(target)
        if target.endswith((b"u007.wav", b"u021.wav")):  # as the OOM killer does
            os.kill(os.getpid(), signal.SIGKILL)
        return made

    monkeypatch.setattr(output, "_create_temp", killing_temp)  # the workers fork with it
    result = sonavert.batch(src, dst, jobs=2)
    assert result.failed == [
        (str(src / "d0/u021.sph"), "the worker converting it was killed (SIGKILL)"),
        (str(src / "d1/u007.sph"), "the worker converting it was killed (SIGKILL)"),
    ]
    assert len(result.converted) == 28
    assert temporaries(dst) == []
    assert_outputs_correct(src, dst)


def slow_env(tmp_path):
    slow = tmp_path / "slow"
    slow.mkdir(exist_ok=True)
    (slow / "sitecustomize.py").write_text(SLOW_WRITES)
    return {**ENV, "PYTHONPATH": os.pathsep.join([str(slow), ENV["PYTHONPATH"]])}


def children(pid):
    with contextlib.suppress(OSError):
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    return []


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split()[2] != "Z"
    except OSError:
        return False


def wait_for_outputs(dst, child, count):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and child.poll() is None and len(outputs(dst)) < count:
        time.sleep(0.01)


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130),
                                          (signal.SIGKILL, -9)])
def test_a_stopped_parent_leaves_no_worker_and_no_temporary(tmp_path, sig, status):
    src, dst = write_tree(tmp_path / "src", 60), tmp_path / "dst"
    child = subprocess.Popen([sys.executable, "-m", "sonavert", "batch", "-j", "2", src, dst],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=slow_env(tmp_path))
    wait_for_outputs(dst, child, 6)
    workers = children(child.pid)
    assert len(workers) == 2
    child.send_signal(sig)
    out, _ = child.communicate(timeout=60)  # the workers hold no pipe open
    assert (child.returncode, out) == (status, b"")
    deadline = time.monotonic() + 30
    while any(map(alive, workers)) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not any(map(alive, workers))
    assert temporaries(dst) == []
    assert_outputs_correct(src, dst)
    done = command("batch", src, dst)
    converted, skipped, failed = summary(done.stderr)
    assert (done.returncode, converted + skipped, failed) == (0, 60, 0)
    if sig != signal.SIGKILL:  # what was reported before the signal is in the record
        assert skipped >= 4  # of at least 6 outputs, two workers held at most two
    assert_outputs_correct(src, dst)


def test_a_rerun_removes_stale_temporaries(tmp_path):
    src, dst = write_tree(tmp_path / "src", 3), tmp_path / "dst"
    (dst / "d1").mkdir(parents=True)
    child = os.fork()
    if child == 0:
        os._exit(0)
    os.waitpid(child, 0)
    stale = output.temp_path(os.fsencode(dst / "d1" / "u001.wav"), pid=child)
    open(stale, "wb").close()
    other = dst / "d1" / ".notes.part"  # not of our naming: kept
    other.write_bytes(b"")
    assert sonavert.batch(src, dst, jobs=1).ok
    assert temporaries(dst) == [str(other)]


def test_two_runs_into_one_folder_at_once(tmp_path):
    src, dst = write_tree(tmp_path / "src", 90), tmp_path / "dst"
    env = slow_env(tmp_path)
    runs = [subprocess.Popen([sys.executable, "-m", "sonavert", "batch", "-j", "2", src, dst],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                             text=True) for _ in range(2)]
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert (run.returncode, out) == (0, ""), err
        assert sum(summary(err)[:2]) == 90
    assert temporaries(dst) == []
    assert len(outputs(dst)) == 90
    assert_outputs_correct(src, dst)
    again = command("batch", src, dst)  # what a record may have missed is made again
    assert again.returncode == 0 and sum(summary(again.stderr)) == 90
    assert summary(command("batch", src, dst).stderr) == (0, 90, 0)


# --- full disks ----------------------------------------------------------------------


@contextlib.contextmanager
def small_tmpfs(tmp_path, options):
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mount = tmp_path / "mnt"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {made.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


@pytest.mark.parametrize("options, reason", [
    ("size=64k", "No space left on device"),
    ("size=16m,nr_inodes=12", "No space left on device"),
])
def test_a_full_disk_fails_files_by_name_and_keeps_outputs_whole(tmp_path, options, reason):
    src = write_tree(tmp_path / "src", 20, frames=2000)
    with small_tmpfs(tmp_path, options) as mount:
        dst = mount / "dst"
        done = command("batch", "-j", "2", src, dst)
        converted, skipped, failed = summary(done.stderr)
        assert done.returncode == 1 and failed > 0 and converted + failed >= 20
        lines = done.stderr.splitlines()[1:]
        assert len(lines) == failed and all(line.endswith(reason) or "record" in line
                                            for line in lines)
        assert temporaries(dst) == []
        assert_outputs_correct(src, dst)
        names = {line.split(": ")[1] for line in lines}
        made = {str(src / Path(rel).with_suffix(".sph")) for rel in outputs(dst)}
        assert made | names >= {str(p) for p in src.rglob("*.sph")}


def test_the_record_cannot_be_written(tmp_path):
    src, dst = write_tree(tmp_path / "src", 3), tmp_path / "dst"
    dst.mkdir()
    db = sqlite3.connect(dst / RECORD)
    db.execute("CREATE TABLE outputs (x)")  # a record of another shape
    db.commit()
    db.close()
    done = command("batch", src, dst)
    assert done.returncode == 1
    assert f"sonavert: {dst / RECORD}: could not read the batch record: " in done.stderr
    assert_outputs_correct(src, dst)
