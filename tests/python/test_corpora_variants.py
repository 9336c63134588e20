"""Real files of the variants that speech corpora carry, through every door
that reads them: NIST's SPHERE 2.6 test files (families of one recording
stored several ways: Shorten version 1 and 2, pculaw, mu-law, both byte
orders) against their ground truth, and the recorded outputs on small
version-1 and bitshift-with-means streams. Skipped without the corpus."""

import base64
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import sonavert
import sonavert_native
from conftest import corpus_dir
from sphfiles import fields, header

COMMAND = os.environ.get("SONAVERT_SPH2PIPE") or shutil.which("sonavert-sph2pipe")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def nist(name):
    path = corpus_dir() / "nist" / name
    if not path.is_file():
        pytest.skip("NIST test files not present")
    return path


def payload(path):
    data = path.read_bytes()
    return data[int(data[8:16]):]


# member -> the file whose samples it holds (corpus README's family table).
# Members stored as mu-law (plain, pculaw or in Shorten) also have the code
# bytes of `CODES` as their stored form.
FAMILIES = {
    "ex1_10.wav": "ex1_01.wav", "ex1_01st.wav": "ex1_01.wav", "ex1_10st.wav": "ex1_01.wav",
    "bc_sh1_02.wav": "ex1_01.wav",
    "ex2_10.wav": "ex2_01.wav", "ex2_01st.wav": "ex2_01.wav", "ex2_10st.wav": "ex2_01.wav",
    "ex4.wav": "ex4_01.wav", "ex4_sh.wav": "ex4_01.wav", "ex4_10.wav": "ex4_01.wav",
    "ex5.wav": "ex5_p01.wav", "ex5_sh.wav": "ex5_p01.wav", "ex5_p.wav": "ex5_p01.wav",
    "ex5_c1.wav": "ex5_c1_p.wav", "ex5_c2.wav": "ex5_c2_p.wav",
    "ex7.wav": "ex7_01.wav", "ex7_sh.wav": "ex7_01.wav", "ex7_10.wav": "ex7_01.wav",
}
CODES = {"ex4_sh.wav": "ex4.wav", "ex5_sh.wav": "ex5.wav", "ex7.wav": "ex4.wav", "ex7_sh.wav": "ex4.wav"}


def truth(name):
    """The ground truth's samples, read from its plain PCM payload."""
    path = nist(FAMILIES[name])
    data = path.read_bytes()
    big_endian = b"sample_byte_format -s2 10\n" in data[:int(data[8:16])]
    return np.frombuffer(payload(path), ">i2" if big_endian else "<i2").astype("<i2")


@pytest.mark.parametrize("member", sorted(FAMILIES))
def test_family_member_reads_as_its_ground_truth(member):
    want = truth(member)
    got, _ = sonavert.read(str(nist(member)), dtype="int16", always_2d=True)
    np.testing.assert_array_equal(got.reshape(-1), want)


@pytest.mark.skipif(COMMAND is None, reason="sonavert-sph2pipe is not built or installed")
@pytest.mark.parametrize("member", sorted(FAMILIES))
def test_family_member_through_the_command(member):
    want = truth(member)
    done = subprocess.run([COMMAND, "-f", "raw", "-p", str(nist(member))], capture_output=True)
    assert (done.returncode, done.stderr) == (0, b"")
    np.testing.assert_array_equal(np.frombuffer(done.stdout, "<i2"), want)
    if member in CODES:  # as stored: ordinary mu-law code bytes
        stored = subprocess.run([COMMAND, "-f", "raw", str(nist(member))], capture_output=True)
        assert stored.returncode == 0
        assert stored.stdout == payload(nist(CODES[member]))
        as_ulaw = subprocess.run([COMMAND, "-f", "raw", "-u", str(nist(member))], capture_output=True)
        assert as_ulaw.stdout == stored.stdout


@pytest.mark.parametrize("member", ["bc_sh1_02.wav", "ex1_10st.wav", "ex2_01st.wav", "ex5_sh.wav", "ex7.wav",
                                    "ex7_sh.wav"])
def test_family_member_through_the_cli(member, tmp_path):
    out = tmp_path / "out.raw"
    done = subprocess.run([sys.executable, "-m", "sonavert", "convert", "-f", "raw", "-p", str(nist(member)),
                           str(out)], capture_output=True, env=ENV, timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    np.testing.assert_array_equal(np.frombuffer(out.read_bytes(), "<i2"), truth(member))


def test_pculaw_is_reported_as_mu_law():
    for member in ("ex7.wav", "ex7_sh.wav"):
        info = sonavert.info(str(nist(member)))
        assert (info.subtype, info.bits_per_sample) == ("ULAW", 16)
    assert sonavert.info(str(nist("ex7_sh.wav"))).shorten


def test_native_module_keeps_its_refusals_of_corpus_variants():
    with pytest.raises(ValueError, match='compressed coding "pcm,embedded-shorten-v1.02" not supported yet'):
        sonavert_native.decode_pcm(nist("bc_sh1_02.wav").read_bytes())
    with pytest.raises(ValueError, match='sample_coding "pculaw" not supported yet'):
        sonavert_native.decode_pcm(nist("ex7.wav").read_bytes())
    with pytest.raises(ValueError, match=r"shorten version 1 not supported \(only v2 is validated\)"):
        sonavert_native.shorten_to_pcm(payload(nist("bc_sh1_02.wav")))
    # The mended means: NIST's version-2 Shorten files decode exactly.
    for member in ("ex1_01st.wav", "ex2_01st.wav", "ex2_10st.wav"):
        pcm = sonavert_native.decode_pcm(nist(member).read_bytes())
        np.testing.assert_array_equal(np.frombuffer(pcm, "<i2"), truth(member))


def test_refused_members_name_the_cause():
    with pytest.raises(ValueError, match="embedded-wavpack"):
        sonavert.read(str(nist("ex1_01wp.wav")))
    with pytest.raises(ValueError, match="ran past end of bitstream"):
        sonavert.read(str(nist("ex1_10st.wvc")))


# --- recorded outputs on version-1 and bitshift-with-means streams ---------------


@pytest.fixture(scope="module")
def recorded():
    table = corpus_dir() / "shorten_v1" / "expected.json"
    if not table.is_file():
        pytest.skip("recorded Shorten version-1 outputs not present")
    return json.loads(table.read_text())


def rows(recorded):
    return [(f, opts) for f, by in sorted(recorded["expected"].items()) for opts in sorted(by)]


def test_every_recorded_row_is_reproduced_by_the_command(recorded):
    if COMMAND is None:
        pytest.skip("sonavert-sph2pipe is not built or installed")
    folder = corpus_dir() / "shorten_v1"
    checked = 0
    for name, opts in rows(recorded):
        row = recorded["expected"][name][opts]
        done = subprocess.run([COMMAND, *opts.split(), str(folder / name)], capture_output=True)
        assert done.returncode == row["exit"], (name, opts, done.stderr)
        assert done.stdout == base64.b64decode(row["base64"]), (name, opts)
        checked += 1
    assert checked >= 3 * len(recorded["expected"])  # every file has at least three option strings


def test_the_package_reads_the_recorded_samples(recorded):
    folder = corpus_dir() / "shorten_v1"
    for name, by in sorted(recorded["expected"].items()):
        want = np.frombuffer(base64.b64decode(by["-f raw -p"]["base64"]), "<i2")
        got, _ = sonavert.read(str(folder / name), dtype="int16", always_2d=True)
        np.testing.assert_array_equal(got.reshape(-1), want, err_msg=name)
        # Reading in pieces goes through the incremental decoder.
        with sonavert.SoundFile(str(folder / name)) as f:
            pieces = [f.read(777, dtype="int16", always_2d=True) for _ in range(-(-f.frames // 777))]
        np.testing.assert_array_equal(np.concatenate(pieces).reshape(-1), want, err_msg=name)


def test_native_decode_pcm_of_version_2_means_under_bitshift(recorded):
    folder = corpus_dir() / "shorten_v1"
    names = [n for n in sorted(recorded["expected"]) if n.startswith("v2_")]
    assert names
    for name in names:
        want = base64.b64decode(recorded["expected"][name]["-f raw -p"]["base64"])
        assert sonavert_native.decode_pcm((folder / name).read_bytes()) == want, name
    for name in sorted(recorded["expected"]):
        if name.startswith("v1_"):
            with pytest.raises(ValueError, match="not supported yet"):
                sonavert_native.decode_pcm((folder / name).read_bytes())



# --- a Shorten payload under a header that names no compression (ATIS) ------------


def test_shorten_payload_under_a_plain_coding(tmp_path):
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "lib"))
    from shorten_stream import Stream

    stream = Stream(channels=1, blocksize=100)
    for _ in range(4):
        stream.diff(1, 0, [1] * 100)
    data = stream.quit().to_bytes()
    want = np.arange(1, 401, dtype="<i2")
    path = tmp_path / "atis.sph"
    path.write_bytes(header(fields(1, 8000, 400, 2, "pcm")) + data)
    got, _ = sonavert.read(str(path), dtype="int16")
    np.testing.assert_array_equal(got, want)
    assert sonavert.info(str(path)).shorten
    if COMMAND is not None:
        done = subprocess.run([COMMAND, "-f", "raw", "-p", str(path)], capture_output=True)
        assert (done.returncode, done.stdout) == (0, want.tobytes())
    with pytest.raises(ValueError, match="audio payload truncated: header declares 800 bytes"):
        sonavert_native.decode_pcm(path.read_bytes())
    # A payload of the declared size is samples, whatever it starts with.
    padded = data + bytes(800 - len(data))
    path.write_bytes(header(fields(1, 8000, 400, 2, "pcm")) + padded)
    got, _ = sonavert.read(str(path), dtype="int16")
    np.testing.assert_array_equal(got, np.frombuffer(padded, "<i2"))
    assert not sonavert.info(str(path)).shorten
