"""Writes a large Shorten stream for timing the decoder.

    python tools/make_shorten_bench_stream.py OUT --samples N [--predictor fixed|qlpc8|zero]

The stream carries a synthetic speech-like 16-bit signal (filtered noise
under a slow envelope, with quiet stretches) in blocks of 256 samples, like
the SPHERE corpora: for "fixed" each block uses whichever of DIFF1, DIFF2,
DIFF3 gives the smallest residuals, with an energy that fits them; for
"qlpc8" every block is an order-8 QLPC block with one fixed set of
coefficients; "zero" writes ZERO blocks only. nmean is 4 as in the corpora.

To reach billions of samples quickly, the signal is periodic: one period is
coded once from silence, then the period that follows (whose residuals are
the same for every later repetition) is repeated as whole bytes.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from shorten_stream import BITSHIFT, BitWriter, DIFF1, QLPC, QUIT, ZERO  # noqa: E402

BLOCK = 256
PERIOD = 1 << 20
QLPC_COEFS = [58, -20, 8, -6, 4, -3, 2, -1]  # quantised with 5 fractional bits


def signal(rng):
    noise = rng.normal(size=PERIOD + 64)
    shaped = np.convolve(noise, np.hanning(24), mode="valid")[:PERIOD]
    envelope = np.abs(np.sin(np.linspace(0, 40 * np.pi, PERIOD))) ** 3
    quiet = (np.arange(PERIOD) // 65536) % 4 == 3
    s = shaped / np.abs(shaped).max() * 9000 * envelope + rng.normal(size=PERIOD) * 3
    s[quiet] = rng.integers(-2, 3, size=int(quiet.sum()))
    return np.round(s).astype(np.int64)


def energy_of(residuals):
    mean = int(np.abs(residuals).mean())
    return max(0, mean.bit_length() - 1)


def write_fixed(w, history, block):
    """Chooses DIFF1..DIFF3 for the block; `history` holds the 3 samples before it."""
    x = np.concatenate([history, block])
    d1 = np.diff(x)[2:]
    d2 = np.diff(x, 2)[1:]
    d3 = np.diff(x, 3)
    best = min(((1, d1), (2, d2), (3, d3)), key=lambda c: np.abs(c[1]).sum())
    order, residuals = best
    energy = energy_of(residuals)
    w.uvar(DIFF1 + order - 1, 2)
    w.uvar(energy, 3)
    for r in residuals.tolist():
        w.var(r, energy + 1)


def write_qlpc(w, history, block):
    """Order 8 with fixed coefficients; `history` holds the 8 samples before it (nmean
    offsets are zero while the signal's block means stay small, so they are ignored:
    the generator writes nmean 0 for this predictor)."""
    x = np.concatenate([history, block]).tolist()
    residuals = []
    for n in range(8, len(x)):
        acc = sum(c * x[n - 1 - k] for k, c in enumerate(QLPC_COEFS)) + 32
        residuals.append(x[n] - (acc >> 5))
    residuals = np.array(residuals)
    energy = energy_of(residuals)
    w.uvar(QLPC, 2)
    w.uvar(energy, 3)
    w.uvar(len(QLPC_COEFS), 2)
    for c in QLPC_COEFS:
        w.var(c, 6)
    for r in residuals.tolist():
        w.var(r, energy + 1)


def code_period(w, s, previous, predictor):
    reach = 8 if predictor == "qlpc8" else 3
    x = np.concatenate([previous[-reach:], s])
    for start in range(0, PERIOD, BLOCK):
        block = x[reach + start:reach + start + BLOCK]
        history = x[start:reach + start]
        if predictor == "zero":
            w.uvar(ZERO, 2)
        elif predictor == "qlpc8":
            write_qlpc(w, history, block)
        else:
            write_fixed(w, history, block)


def align(w):
    """BITSHIFT 0 commands (7 bits each) until the writer is at a byte boundary."""
    while w.bit_count() % 8:
        w.uvar(BITSHIFT, 2)
        w.uvar(0, 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--samples", type=int, default=1 << 26, help="rounded to whole periods of 2^20")
    parser.add_argument("--predictor", choices=["fixed", "qlpc8", "zero"], default="fixed")
    args = parser.parse_args()

    s = signal(np.random.default_rng(1))
    periods = max(2, args.samples // PERIOD)
    head = BitWriter()
    for value in (5, 1, BLOCK, 8 if args.predictor == "qlpc8" else 0,
                  0 if args.predictor == "qlpc8" else 4, 0):
        head.ulong(value)
    code_period(head, s, np.zeros(8, dtype=np.int64), args.predictor)
    align(head)
    unit = BitWriter()
    code_period(unit, s, s, args.predictor)
    align(unit)
    tail = BitWriter()
    tail.uvar(QUIT, 2)
    unit_bytes = unit.to_bytes()
    with open(args.out, "wb") as f:
        f.write(b"ajkg\x02" + head.to_bytes())
        for _ in range(periods - 1):
            f.write(unit_bytes)
        f.write(tail.to_bytes())
    print(f"{args.out}: {periods * PERIOD} samples, {os.path.getsize(args.out)} bytes")


if __name__ == "__main__":
    main()
