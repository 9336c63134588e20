#!/usr/bin/env bash
# The quick tier (TESTING.md): one Release build of the core, the module, the
# tools and the C++ tests in build/quick, the room check, the C++ unit tests
# and fuzz regression replays (CTest label "unit"), and the Python tests
# marked "quick" against that build. No sanitizers, no fuzzing, no peers.
# Called as `bash scripts/test.sh --quick`.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

echo "== build (build/quick)"
cmake -S . -B build/quick -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_BUILD_MODULE=ON \
  -DSONAVERT_BUILD_TESTS=ON -DSONAVERT_BUILD_TOOLS=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/quick -j 2

echo "== rooms of src/ depend one way"
python scripts/check_rooms.py

echo "== C++ unit tests and fuzz regression replays (CTest label unit)"
ctest --test-dir build/quick -L unit --output-on-failure -j 2

echo "== Python tests marked quick, against build/quick"
SONAVERT_SPH2PIPE="$PWD/build/quick/sonavert-sph2pipe" PYTHONPATH="$PWD/build/quick:$PWD/python" python -m pytest -q -m quick tests/python
