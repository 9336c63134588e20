"""The main job: convert the bundled SPHERE sample to a WAV file.

Usage: python examples/demo.py [OUTPUT.wav]
"""

import math
import sys
import wave
from pathlib import Path

import sonavert_native as sv

HERE = Path(__file__).resolve().parent


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("sample.wav")
    sample = HERE / "sample.sph"
    if sample.exists():
        wav = sv.transcode(sample.read_bytes())
        source = sample.name
    else:
        # No SPHERE sample yet: expand one second of a mu-law tone instead.
        tone = bytes(0xFF - min(127, int(abs(60 * math.sin(i / 8)))) for i in range(8000))
        pcm = sv.g711_expand(tone, False)
        wav = None
        source = "a mu-law tone"
        with wave.open(str(out), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(pcm)
    if wav is not None:
        out.write_bytes(wav)
    with wave.open(str(out), "rb") as w:
        seconds = w.getnframes() / w.getframerate()
        print(f"wrote {out} from {source}: {seconds:.2f} s, {w.getnchannels()} channel(s), "
              f"{w.getframerate()} Hz, {8 * w.getsampwidth()}-bit PCM")
    return 0


if __name__ == "__main__":
    sys.exit(main())
