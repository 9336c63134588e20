#!/usr/bin/env bash
# The benchmark suite in one command: sets up what it needs (Debian packages,
# .venv with the module built from this checkout), builds the tools and the
# C++ benchmarks, makes the inputs, measures sonavert_native against its
# peers and writes docs/benchmarks/{results.md,chart.png,README-section.md}.
# Usage: bash bench/run.sh [--repeat N] [--only NAME...]   (options go to measure.py)
# It reports numbers; it fails only when something cannot be run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --bench

echo "== building the tools and the C++ benchmarks"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_BENCH=ON \
  -DSONAVERT_BUILD_TOOLS=ON -DSONAVERT_BUILD_TESTS=OFF -DSONAVERT_BUILD_MODULE=OFF >/dev/null
cmake --build build/bench -j 2

echo "== making the inputs (build/bench-data)"
.venv/bin/python bench/make_inputs.py --tools build/bench --out build/bench-data

echo "== measuring (load average now: $(cut -d' ' -f1-3 /proc/loadavg))"
.venv/bin/python bench/measure.py --data build/bench-data --build build/bench \
  --out build/bench-results.json "$@"
.venv/bin/python bench/report.py build/bench-results.json --out docs/benchmarks

echo "== the sonavert-sph2pipe command as whole processes"
.venv/bin/python bench/command_bench.py --command build/bench/sonavert-sph2pipe --data build/bench-data \
  --out build/command-bench.json

echo "== sonavert verify -j 1 against decoding in-process (2,000 copies of the shared corpus)"
.venv/bin/python bench/verify_bench.py || echo "(no shared corpus: skipped)"
