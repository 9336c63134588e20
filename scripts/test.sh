#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs every test: the C++ unit
# tests (CTest), the release build of the x86_64 manylinux wheel (sdist,
# repaired stable-ABI wheel, their checks), the Python tests and type checks
# of that wheel on every Python from 3.9 to 3.13 (the peer comparisons on
# the newest only), the portable build's C++ and Python tests, then
# the C++ and Python tests under AddressSanitizer and UBSan and a short run
# of every fuzz target.
# `--quick` runs the quick tier instead (scripts/quick_tests.sh, TESTING.md),
# `--integrations` the tests against lhotse (scripts/integrations.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --quick ]; then exec bash scripts/quick_tests.sh; fi
if [ "${1:-}" = --integrations ]; then exec bash scripts/integrations.sh; fi
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== rooms of src/ depend one way"
python scripts/check_rooms.py

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_BUILD_MODULE=OFF \
  -DSONAVERT_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== release: the sdist and the manylinux x86_64 wheel (Zig, glibc 2.17), checked"
# The other platforms' wheels and their cross-built unit tests:
# scripts/build-wheel.sh --all (the release build), not run here.
JOBS="$jobs" bash scripts/build-wheel.sh --host
python -m pytest -q -p no:cacheprovider --basetemp=build/pytest-scripts tests/scripts

echo "== the wheel's Python tests on every Python from 3.9 to 3.13, and its types"
bash scripts/test-wheel.sh

echo "== portable build (no Linux-only calls): C++ and Python tests"
JOBS="$jobs" bash scripts/test-portable.sh

# The same C++ tests, the fuzz regression inputs and the Python tests once
# more against a build with AddressSanitizer and UBSan (Clang), then a short
# run of every fuzz target from its seeds.
echo "== C++ unit tests and fuzz regressions under AddressSanitizer and UBSan"
CXX=clang++ CC=clang cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONAVERT_SANITIZE=ON -DSONAVERT_FUZZ=ON -DSONAVERT_BUILD_TESTS=ON -DSONAVERT_BUILD_MODULE=ON \
  -DSONAVERT_BUILD_TOOLS=ON -DSONAVERT_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== Python tests against the sanitized module"
# The interpreter is not sanitized: the runtime is preloaded, Python's own
# allocator is bypassed so that every object is checked, and leaks (the
# interpreter keeps much until exit) are not reported.
LD_PRELOAD="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/build/asan:$PWD/python" python -m pytest -q tests/python

echo "== fuzz smoke: 30 s per target"
SONAVERT_FUZZ_BUILD=build/asan bash scripts/fuzz.sh 30
