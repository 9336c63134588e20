#!/usr/bin/env bash
# Builds the fuzz targets (Clang, ASan+UBSan) and runs each one.
# Usage: bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Seeds come from fuzz/corpus/<target>/ (committed regressions) and from the
# generated seed set (build/fuzz/seeds, made by the project's own generators);
# new inputs that the fuzzer finds go to build/fuzz/work/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
export PATH="$PWD/.venv/bin:$PATH"

CXX=clang++ CC=clang cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONAVERT_FUZZ=ON -DSONAVERT_SANITIZE=ON -DSONAVERT_BUILD_MODULE=OFF \
  -DSONAVERT_BUILD_TESTS=OFF -DSONAVERT_BUILD_TOOLS=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" >/dev/null

if [ -x build/fuzz/make_seeds ]; then
  rm -rf build/fuzz/seeds && build/fuzz/make_seeds build/fuzz/seeds >/dev/null
fi

targets=("$@")
if [ "${#targets[@]}" = 0 ]; then
  targets=()
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
for t in "${targets[@]}"; do
  work=build/fuzz/work/$t
  mkdir -p "$work" "fuzz/corpus/$t"
  seeds=()
  [ -d "build/fuzz/seeds/$t" ] && seeds+=("build/fuzz/seeds/$t")
  echo "== $t: ${seconds}s"
  "build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -malloc_limit_mb=4096 -print_final_stats=1 -artifact_prefix="build/fuzz/$t-" \
    "$work" "fuzz/corpus/$t" "${seeds[@]}" 2>&1 | grep -E 'stat::number_of_executed_units|Done|ERROR|SUMMARY|invariant' || true
  if ls "build/fuzz/$t"-crash-* "build/fuzz/$t"-leak-* "build/fuzz/$t"-timeout-* "build/fuzz/$t"-oom-* >/dev/null 2>&1; then
    echo "$t: the fuzzer found a failing input (build/fuzz/$t-*)"
    exit 1
  fi
done
