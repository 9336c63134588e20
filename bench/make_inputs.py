"""Makes the benchmark inputs: about ten minutes of synthetic speech per
channel, written as SPHERE files by the project's own `sphere_write` tool.

Speech comes from espeak-ng (two voices reading different generated texts,
one per channel), is resampled with SoX to 16 kHz and 8 kHz and gets a low
Gaussian noise floor so that pauses are not digital silence, as in recorded
corpora. The files (all in OUT, with their description in OUT/inputs.json):

  shorten-16k-mono     pcm,embedded-shorten-v2.00  16 kHz mono    blocksize 256, nmean 4, maxnlpc 0
  shorten-16k-stereo   pcm,embedded-shorten-v2.00  16 kHz stereo  blocksize 256, nmean 4, maxnlpc 0
  shorten-ulaw-8k      ulaw,embedded-shorten-v2.00  8 kHz stereo  blocksize 256, nmean 0, maxnlpc 0
  pcm16le / pcm16be    16-bit PCM, byte format 01 / 10, 16 kHz stereo
  pcm32le / pcm32be    32-bit PCM, byte format 01 / 10, 16 kHz stereo
  ulaw / alaw          G.711, 8 kHz stereo

Nothing is regenerated when OUT/inputs.json already describes the same
settings. Usage: python bench/make_inputs.py --tools BUILD_DIR --out DIR [--seconds 600]
"""

from __future__ import annotations

import argparse
import json
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

# Bump when the inputs change, so that stale data is regenerated.
GENERATOR_VERSION = 1
NOISE_FLOOR_LSB = 2.0  # standard deviation of the added noise, in 16-bit steps
SPEECH_GAIN = 0.6  # keeps voiced peaks well below full scale, as recorded speech is

VOICES = (  # (espeak-ng voice, words per minute, pitch), one per channel
    ("en-us", 165, 45),
    ("en-gb+f3", 150, 60),
)

SUBJECTS = ["the committee", "my neighbour", "a small team of engineers", "the old fisherman", "our teacher",
            "the new manager", "a tired traveller", "the city council", "the orchestra", "every student",
            "the pilot", "her brother", "the local bakery", "a quiet librarian", "the weather service"]
VERBS = ["announced", "repaired", "forgot", "discussed", "delivered", "painted", "ordered", "measured",
         "described", "rejected", "collected", "recorded", "borrowed", "inspected", "celebrated"]
OBJECTS = ["the broken telephone line", "a long report about the harbour", "seven blue umbrellas",
           "the schedule for next winter", "an unusual request", "the results of the survey",
           "a basket of apples", "the northern bridge", "two hundred letters", "the missing keys",
           "a song about the mountains", "the price of coffee", "the last train home"]
TAILS = ["on Tuesday morning", "after a very long meeting", "before the storm arrived", "without saying a word",
         "in the middle of the night", "while everyone was watching", "for the third time this year",
         "near the railway station", "at exactly {n} o'clock", "with {n} volunteers", "despite the noise",
         "because nobody else would"]
QUESTIONS = ["Did anyone see {s} yesterday?", "How many people live near {o}?", "Why would {s} do that?",
             "Is it true that {s} {v} {o}?"]


def sentences(seed: int, words: int) -> str:
    """Varied English sentences, about `words` words, the same for a seed."""
    rng = random.Random(seed)
    out, count = [], 0
    while count < words:
        s, v, o = rng.choice(SUBJECTS), rng.choice(VERBS), rng.choice(OBJECTS)
        if rng.random() < 0.15:
            text = rng.choice(QUESTIONS).format(s=s, v=v, o=o)
        else:
            tail = rng.choice(TAILS).format(n=rng.randint(2, 12))
            text = f"{s[0].upper()}{s[1:]} {v} {o} {tail}."
            if rng.random() < 0.3:
                text += f" The number was {rng.randint(10, 9999)}, or so they said."
        out.append(text)
        count += len(text.split())
    return "\n".join(out)


def run(cmd: list[str], **kwargs) -> None:
    subprocess.run(cmd, check=True, **kwargs)


def speech(voice: tuple[str, int, int], seed: int, seconds: float, rates: tuple[int, ...],
           work: Path) -> dict[int, np.ndarray]:
    """One channel of speech at each rate in `rates`, exactly `seconds` long
    (the text is made long enough), with the noise floor added."""
    name, wpm, pitch = voice
    words = int(seconds / 60 * wpm * 1.3) + 50
    text = work / f"text{seed}.txt"
    text.write_text(sentences(seed, words))
    wav = work / f"speech{seed}.wav"
    run(["espeak-ng", "-v", name, "-s", str(wpm), "-p", str(pitch), "-f", str(text), "-w", str(wav)])
    noise = np.random.default_rng(seed)
    result = {}
    for rate in rates:
        raw = work / f"speech{seed}-{rate}.raw"
        run(["sox", "-D", str(wav), "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", "-c", "1",
             str(raw), "rate", "-h", str(rate)])
        x = np.fromfile(raw, dtype="<i2").astype(np.float64) * SPEECH_GAIN
        n = int(round(seconds * rate))
        if len(x) < n:
            raise SystemExit(f"espeak-ng produced only {len(x) / rate:.1f} s for voice {name}; "
                             f"{seconds} s were asked for")
        x = x[:n] + noise.normal(0.0, NOISE_FLOOR_LSB, n)
        result[rate] = np.clip(np.round(x), -32768, 32767).astype(np.int16)
    return result


def interleave(*channels: np.ndarray) -> np.ndarray:
    return np.stack(channels, axis=1).reshape(-1)


def g711(pcm: np.ndarray, channels: int, rate: int, encoding: str, work: Path) -> bytes:
    """16-bit PCM companded by SoX ('mu-law' or 'a-law')."""
    src, dst = work / "g711-in.raw", work / "g711-out.raw"
    pcm.astype("<i2").tofile(src)
    run(["sox", "-D", "-t", "raw", "-r", str(rate), "-e", "signed-integer", "-b", "16", "-L", "-c",
         str(channels), str(src), "-t", "raw", "-e", encoding, "-b", "8", str(dst)])
    return dst.read_bytes()


def sphere(tool: Path, payload: bytes, out: Path, work: Path, args: list[str]) -> None:
    src = work / "payload.raw"
    src.write_bytes(payload)
    run([str(tool), *args, str(src), str(out)])


def fields(channels: int, samples: int, rate: int, n_bytes: int, byte_format: str, coding: str) -> list[str]:
    return ["--int", f"channel_count={channels}", "--int", f"sample_count={samples}",
            "--int", f"sample_rate={rate}", "--int", f"sample_n_bytes={n_bytes}",
            "--string", f"sample_byte_format={byte_format}", "--string", f"sample_coding={coding}"]


def make(tools: Path, out: Path, seconds: float) -> list[dict]:
    tool = tools / "sphere_write"
    if not tool.exists():
        raise SystemExit(f"{tool} not found: build the project's tools first")
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        a = speech(VOICES[0], 1, seconds, (16000, 8000), work)
        b = speech(VOICES[1], 2, seconds, (16000, 8000), work)
        mono16 = a[16000]
        stereo16 = interleave(a[16000], b[16000])
        stereo8 = interleave(a[8000], b[8000])
        n16, n8 = len(mono16), len(a[8000])
        wide = stereo16.astype(np.int32) << 16  # 32-bit samples with the speech in the top half
        wide |= np.random.default_rng(3).integers(0, 1 << 16, len(wide), dtype=np.int32)
        inputs = []

        def add(name: str, label: str, group: str, channels: int, rate: int, frames: int, out_bytes: int,
                payload: bytes, args: list[str], **extra) -> None:
            path = out / f"{name}.sph"
            sphere(tool, payload, path, work, args)
            inputs.append(dict(name=name, label=label, group=group, path=path.name, channels=channels, rate=rate,
                               frames=frames, samples=frames * channels, seconds=frames / rate,
                               file_bytes=path.stat().st_size, pcm_bytes=out_bytes, **extra))

        shorten16 = ["--shorten", "--blocksize", "256", "--nmean", "4", "--maxnlpc", "0"]
        add("shorten-16k-mono", "Shorten 16 kHz mono", "shorten", 1, 16000, n16, 2 * n16,
            mono16.astype("<i2").tobytes(),
            ["--describe", "pcm16", "--channels", "1", "--rate", "16000", *shorten16], shorten=True)
        add("shorten-16k-stereo", "Shorten 16 kHz stereo", "shorten", 2, 16000, n16, 4 * n16,
            stereo16.astype("<i2").tobytes(),
            ["--describe", "pcm16", "--channels", "2", "--rate", "16000", *shorten16], shorten=True)
        ulaw8 = g711(stereo8, 2, 8000, "mu-law", work)
        add("shorten-ulaw-8k", "Shorten mu-law 8 kHz stereo", "shorten", 2, 8000, n8, 4 * n8, ulaw8,
            ["--describe", "ulaw", "--channels", "2", "--rate", "8000", "--shorten", "--blocksize", "256",
             "--nmean", "0", "--maxnlpc", "0"], shorten=True)
        add("pcm16le", "PCM 16-bit little-endian", "plain", 2, 16000, n16, 4 * n16,
            stereo16.astype("<i2").tobytes(), fields(2, n16, 16000, 2, "01", "pcm"), sample_bits=16)
        add("pcm16be", "PCM 16-bit big-endian", "plain", 2, 16000, n16, 4 * n16,
            stereo16.astype(">i2").tobytes(), fields(2, n16, 16000, 2, "10", "pcm"), sample_bits=16)
        add("pcm32le", "PCM 32-bit little-endian", "plain", 2, 16000, n16, 8 * n16,
            wide.astype("<i4").tobytes(), fields(2, n16, 16000, 4, "01", "pcm"), sample_bits=32)
        add("pcm32be", "PCM 32-bit big-endian", "plain", 2, 16000, n16, 8 * n16,
            wide.astype(">i4").tobytes(), fields(2, n16, 16000, 4, "10", "pcm"), sample_bits=32)
        add("ulaw", "mu-law 8 kHz", "plain", 2, 8000, n8, 4 * n8, ulaw8,
            fields(2, n8, 8000, 1, "1", "ulaw"), sample_bits=16)
        add("alaw", "A-law 8 kHz", "plain", 2, 8000, n8, 4 * n8, g711(stereo8, 2, 8000, "a-law", work),
            fields(2, n8, 8000, 1, "1", "alaw"), sample_bits=16)
    return inputs


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tools", type=Path, required=True, help="build directory holding sphere_write")
    parser.add_argument("--out", type=Path, required=True, help="folder for the SPHERE files")
    parser.add_argument("--seconds", type=float, default=600.0, help="length of every channel (default 600)")
    args = parser.parse_args()
    for program in ("espeak-ng", "sox"):
        if shutil.which(program) is None:
            raise SystemExit(f"{program} is needed to make the inputs (Debian package {program})")
    index = args.out / "inputs.json"
    settings = dict(version=GENERATOR_VERSION, seconds=args.seconds)
    if index.exists():
        old = json.loads(index.read_text())
        if old.get("settings") == settings and all((args.out / i["path"]).exists() for i in old["inputs"]):
            print(f"inputs in {args.out} are up to date")
            return 0
    inputs = make(args.tools, args.out, args.seconds)
    index.write_text(json.dumps(dict(settings=settings, inputs=inputs), indent=1))
    for i in inputs:
        print(f"  {i['path']:24} {i['file_bytes'] / 1e6:8.1f} MB  {i['samples'] / 1e6:6.2f} M samples")
    return 0


if __name__ == "__main__":
    sys.exit(main())
