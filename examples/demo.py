"""Says what a WAV file made from the bundled sample holds, and checks it
against a conversion through the native module itself.

Usage: python examples/demo.py OUTPUT.wav
"""

import sys
import wave
from pathlib import Path

import sonavert_native as sv

SAMPLE = Path(__file__).resolve().with_name("sample.sph")


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("sample.wav")
    if not out.exists():
        out.write_bytes(sv.transcode(SAMPLE.read_bytes()))
    if out.read_bytes() != sv.transcode(SAMPLE.read_bytes()):
        print(f"{out} differs from what sonavert_native.transcode makes", file=sys.stderr)
        return 1
    with wave.open(str(out), "rb") as w:
        seconds = w.getnframes() / w.getframerate()
        print(f"wrote {out} from {SAMPLE.name}: {seconds:.2f} s, {w.getnchannels()} channels, "
              f"{w.getframerate()} Hz, {8 * w.getsampwidth()}-bit PCM")
    return 0


if __name__ == "__main__":
    sys.exit(main())
