"""A user's script, type-checked with mypy --strict against the installed
wheel (its package markers and module stubs) and then run on a SPHERE file:
``python user_script.py FILE.sph``. It exits non-zero when a result is not
what the types and the header promise."""

from __future__ import annotations

import io
import sys
import tempfile
from pathlib import Path
from typing import Any, List, Tuple

from numpy.typing import NDArray

import sonavert
import sonavert_native


def check(ok: bool, what: str) -> None:
    if not ok:
        raise SystemExit(f"user script: {what}")


def left_channel(pcm: bytes, channels: int) -> bytes:
    """Channel 0 of interleaved 16-bit PCM."""
    return memoryview(pcm).cast("h")[::channels].tobytes()


def main(argv: List[str]) -> int:
    path = Path(argv[1])
    data: bytes = path.read_bytes()
    meta: sonavert.Info = sonavert.info(path)
    shape: Tuple[int, int, int] = (meta.channels, meta.samplerate, meta.frames)
    check(meta.bits_per_sample == 16, f"expected 16-bit samples, got {meta.bits_per_sample}")

    wav: bytes = sonavert_native.transcode(data)
    pcm: bytes = sonavert_native.decode_pcm(data)
    check(len(pcm) == meta.frames * meta.channels * 2, f"{len(pcm)} bytes of PCM for {shape}")
    check(wav.startswith(b"RIFF") and wav.endswith(pcm), "the WAV file does not end in the PCM")

    expanded: bytes = sonavert_native.g711_expand(data=b"\xff\x7f\x00", alaw=False)
    check(len(expanded) == 6, "G.711 expansion does not give two bytes a sample")

    samples: NDArray[Any]
    samples, rate = sonavert.read(io.BytesIO(data), dtype="float32", channels=[0])
    check(samples.shape == (meta.frames, 1) and rate == meta.samplerate,
          f"read gave {samples.shape} at {rate} Hz for {shape}")

    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "left.raw"
        sonavert.convert(path, out, channels=0)
        check(out.read_bytes() == left_channel(pcm, meta.channels), "the left channel differs")

    try:
        sonavert_native.decode_pcm(data[:100])
    except ValueError as e:
        message: str = e.args[0]
        check(bool(message), "a truncated file fails without a message")
    else:
        check(False, "a truncated file decoded")
    print(f"user script: {path.name}: {shape[0]} channels, {shape[1]} Hz, {shape[2]} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
