#!/usr/bin/env bash
# Builds the fuzz targets (Clang, ASan+UBSan) and runs each one for a while.
# Usage: bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Environment: SONAVERT_FUZZ_BUILD  build folder (default build/fuzz)
#              SONAVERT_FUZZ_JOBS   parallel fuzzing processes per target (default 1)
# Seeds come from fuzz/corpus/<target>/ (the committed regression inputs)
# and from the seed set that the make_seeds tool generates with the
# project's own encoder and SPHERE writer. Inputs the fuzzer adds go to
# <build>/work/<target>/ and persist between runs; a failing input is kept as
# <build>/<target>-crash-* (or -leak-, -timeout-, -oom-) and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
build=$(realpath -m "${SONAVERT_FUZZ_BUILD:-build/fuzz}")
jobs=${SONAVERT_FUZZ_JOBS:-1}
[ -d .venv/bin ] && export PATH="$PWD/.venv/bin:$PATH"

# A new build folder gets only what fuzzing needs, with the Shorten
# decoder's cap lowered to 2^22 samples (fuzz/CMakeLists.txt) so that inputs
# reaching it stay fast; an existing one (such as the sanitizer build of
# scripts/test.sh, with the real cap) keeps its settings.
extra=()
[ -f "$build/CMakeCache.txt" ] ||
  extra=(-DSONAVERT_BUILD_MODULE=OFF -DSONAVERT_BUILD_TESTS=OFF -DSONAVERT_FUZZ_DECODED_CAP=4194304)
CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONAVERT_FUZZ=ON -DSONAVERT_SANITIZE=ON -DSONAVERT_BUILD_TOOLS=ON "${extra[@]}" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf "$build/seeds"
"$build/make_seeds" "$build/seeds" >/dev/null

targets=("$@")
if [ "${#targets[@]}" = 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
status=0
for t in "${targets[@]}"; do
  work=$build/work/$t
  mkdir -p "$work"
  rm -f "$build/$t"-crash-* "$build/$t"-leak-* "$build/$t"-timeout-* "$build/$t"-oom-*
  dirs=("$work" "$build/seeds/$t")
  [ -d "fuzz/corpus/$t" ] && dirs+=("$PWD/fuzz/corpus/$t")
  dict=$PWD/fuzz/sphere.dict
  [ "$t" = fuzz_shorten ] && dict=$PWD/fuzz/shorten.dict
  log=$build/$t.log
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -malloc_limit_mb=4096
           -print_final_stats=1 -dict="$dict" -artifact_prefix="$build/$t-")
  if [ "$jobs" -gt 1 ]; then
    # The workers write their logs (fuzz-N.log) into the current folder.
    rm -f "$build"/fuzz-*.log
    (cd "$build" && "./$t" "${options[@]}" -jobs="$jobs" -workers="$jobs" "${dirs[@]}" >/dev/null 2>&1) || true
    cat "$build"/fuzz-*.log >"$log" && rm -f "$build"/fuzz-*.log
  else
    "$build/$t" "${options[@]}" "${dirs[@]}" >"$log" 2>&1 || true
  fi
  runs=$(grep -h 'stat::number_of_executed_units' "$log" | awk '{s += $2} END {print s + 0}')
  cov=$(grep -hoE 'cov: [0-9]+' "$log" | tail -1)
  echo "== $t: ${seconds}s, $runs executions, $cov"
  if ls "$build/$t"-crash-* "$build/$t"-leak-* "$build/$t"-timeout-* "$build/$t"-oom-* >/dev/null 2>&1; then
    echo "$t: the fuzzer found a failing input:"
    ls "$build/$t"-crash-* "$build/$t"-leak-* "$build/$t"-timeout-* "$build/$t"-oom-* 2>/dev/null
    grep -E 'ERROR|SUMMARY|invariant|runtime error' "$log" | head -20
    status=1
  fi
done
exit $status
