"""Makes examples/sample.sph: three seconds of synthetic two-talker "speech"
(a pitch-gliding harmonic voice per channel with syllable-like envelopes and a
low noise floor) at 16 kHz, Shorten-compressed by the project's own encoder.

Usage: python examples/make_sample.py PATH/TO/sphere_write [OUTPUT]
(sphere_write is built by CMake: cmake -S . -B build && cmake --build build)
"""

import math
import random
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

RATE = 16000
SECONDS = 3.0


def voice(pitch_hz, glide, syllable_hz, seed):
    rng = random.Random(seed)
    phase = 0.0
    out = []
    for n in range(int(RATE * SECONDS)):
        t = n / RATE
        f0 = pitch_hz * (1 + glide * math.sin(2 * math.pi * 0.4 * t))
        phase += 2 * math.pi * f0 / RATE
        # A few formant-weighted harmonics.
        s = sum(math.sin(k * phase) / k * (1.5 if 3 <= k <= 5 else 1.0) for k in range(1, 9))
        envelope = max(0.0, math.sin(math.pi * syllable_hz * t)) ** 2
        out.append(int(6000 * envelope * s + rng.gauss(0, 3)))
    return out


def main() -> int:
    tool = Path(sys.argv[1])
    output = Path(sys.argv[2]) if len(sys.argv) > 2 else Path(__file__).with_name("sample.sph")
    left = voice(120, 0.15, 2.2, 1)
    right = voice(210, 0.10, 3.1, 2)
    frames = b"".join(struct.pack("<hh", max(-32768, min(32767, a)), max(-32768, min(32767, b)))
                      for a, b in zip(left, right))
    with tempfile.TemporaryDirectory() as tmp:
        raw = Path(tmp) / "sample.raw"
        raw.write_bytes(frames)
        subprocess.run([str(tool), "--describe", "pcm16", "--channels", "2", "--rate", str(RATE),
                        "--shorten", "--string", "database_id=sonavert-example",
                        str(raw), str(output)], check=True)
    print(f"wrote {output}: {output.stat().st_size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
