#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs every test: the C++ unit
# tests (CTest), the stable-ABI audit of the wheel, and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== stable ABI (3.9) audit of the wheel"
wheel=$(ls dist/sonavert-*.whl)
case "$wheel" in *-cp39-abi3-*) ;; *) echo "wheel is not tagged cp39-abi3: $wheel"; exit 1 ;; esac
abi3audit --strict --assume-minimum-abi3 3.9 "$wheel"
python scripts/check_abi.py --minimum 3.9 "$wheel"

echo "== Python tests"
python -m pytest -q tests/python
