#!/usr/bin/env bash
# Sets up what the main job needs, shows the bundled SPHERE sample's header,
# converts it to WAV with the command-line tool, and says what was written.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --minimal
mkdir -p out
echo "== sonavert info examples/sample.sph"
.venv/bin/sonavert info examples/sample.sph
echo "== sonavert convert examples/sample.sph out/sample.wav"
.venv/bin/sonavert convert examples/sample.sph out/sample.wav
.venv/bin/python examples/demo.py out/sample.wav
