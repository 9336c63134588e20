#!/usr/bin/env bash
# Sets up what the demo needs and converts the bundled SPHERE sample to WAV.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --minimal
mkdir -p out
.venv/bin/python examples/demo.py out/sample.wav
