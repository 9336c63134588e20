"""The main job: convert the bundled SPHERE sample to a WAV file and say what
was written.

Usage: python examples/demo.py [OUTPUT.wav]
"""

import sys
import wave
from pathlib import Path

import sonavert_native as sv

SAMPLE = Path(__file__).resolve().with_name("sample.sph")


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("sample.wav")
    out.write_bytes(sv.transcode(SAMPLE.read_bytes()))
    with wave.open(str(out), "rb") as w:
        seconds = w.getnframes() / w.getframerate()
        print(f"wrote {out} from {SAMPLE.name}: {seconds:.2f} s, {w.getnchannels()} channels, "
              f"{w.getframerate()} Hz, {8 * w.getsampwidth()}-bit PCM")
    return 0


if __name__ == "__main__":
    sys.exit(main())
