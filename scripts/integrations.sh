#!/usr/bin/env bash
# The integrations tier (TESTING.md): sonavert.lhotse against lhotse from
# PyPI, in an environment of its own (.venv-integrations, Python 3.11: lhotse
# needs torch, and pip takes the CPU wheel of torch 2.13.0 for Python 3.11
# from this machine's disk). The reference is lhotse's own sph2pipe backend,
# running sonavert-sph2pipe through a `sph2pipe` link on PATH; sph2pipe
# itself is never fetched or built. Called as `bash scripts/test.sh --integrations`.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-integrations
if [ ! -x "$venv/bin/python" ]; then
  python311=""
  for candidate in "$(command -v python3.11 || true)" "$HOME"/.pyenv/versions/3.11*/bin/python; do
    if [ -x "$candidate" ]; then python311=$candidate; break; fi
  done
  if [ -z "$python311" ]; then echo "integrations: needs Python 3.11 (python3.11, or pyenv's)" >&2; exit 1; fi
  "$python311" -m venv "$venv"
fi
# torch first and pinned, so that lhotse's own requirement takes it as it is.
"$venv/bin/python" -m pip install -q torch==2.13.0
"$venv/bin/python" -m pip install -q lhotse urllib3 numpy soundfile pytest

echo "== build for the integrations (build/integrations)"
cmake -S . -B build/integrations -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_BUILD_MODULE=ON \
  -DSONAVERT_BUILD_TESTS=OFF -DSONAVERT_BUILD_TOOLS=ON -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build build/integrations -j 2
mkdir -p build/integrations/path
ln -sf "$PWD/build/integrations/sonavert-sph2pipe" build/integrations/path/sph2pipe

echo "== sonavert.lhotse against lhotse's sph2pipe backend"
SONAVERT_TOOLS="$PWD/build/integrations" PATH="$PWD/build/integrations/path:$PATH" PYTHONPATH="$PWD/build/integrations:$PWD/python" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/integrations
