#!/usr/bin/env bash
# Line coverage of the library (src/, without the module) with llvm-cov:
#   corpus: the fuzz corpora replayed through the <target>_replay programs
#           (fuzz/corpus/<target>/, and the seeds and inputs a fuzzing run
#           left in <fuzz build>/seeds and <fuzz build>/work);
#   tests:  the C++ unit tests, damage sweeps included;
#   all:    both together.
# Usage: bash scripts/coverage.sh
# Environment: SONAVERT_FUZZ_BUILD  the fuzzing build whose corpora to replay
#              (default build/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/coverage
fuzz_build=${SONAVERT_FUZZ_BUILD:-build/fuzz}
flags="-fprofile-instr-generate -fcoverage-mapping"

CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DSONAVERT_BUILD_MODULE=OFF \
  -DSONAVERT_BUILD_TESTS=ON -DSONAVERT_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf "$build/profiles" && mkdir -p "$build/profiles"

targets=()
for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
objects=()
for t in "${targets[@]}"; do
  dirs=()
  for d in "fuzz/corpus/$t" "$fuzz_build/seeds/$t" "$fuzz_build/work/$t"; do
    [ -d "$d" ] && dirs+=("$d")
  done
  [ "${#dirs[@]}" -gt 0 ] || continue
  LLVM_PROFILE_FILE="$build/profiles/corpus-$t.profraw" "$build/${t}_replay" "${dirs[@]}" |
    sed "s/^/$t: /"
  objects+=(-object "$build/${t}_replay")
done
LLVM_PROFILE_FILE="$build/profiles/tests.profraw" "$build/sonavert_tests" --gtest_brief=1 >/dev/null

lines() {  # lines PROFDATA PATH...: per-file line coverage and the total
  local profile=$1
  shift
  llvm-cov-14 report "$build/sonavert_tests" "${objects[@]}" -instr-profile="$profile" \
    -ignore-filename-regex='/(tests|tools|fuzz|module)/' "$@" |
    awk '$1 != "Filename" && $1 !~ /^-+$/ {printf "  %-28s %6s lines %5s missed %8s\n", $1, $8, $9, $10}'
}
report() {  # report NAME PROFILES...
  local name=$1
  shift
  llvm-profdata-14 merge -sparse "$@" -o "$build/profiles/$name.profdata"
  echo "== $name: src/"
  lines "$build/profiles/$name.profdata" "$PWD/src"
  echo "== $name: src/shorten, src/sphere, src/codecs"
  lines "$build/profiles/$name.profdata" "$PWD/src/shorten" "$PWD/src/sphere" "$PWD/src/codecs" | grep TOTAL
}
report corpus "$build"/profiles/corpus-*.profraw
report tests "$build/profiles/tests.profraw"
report all "$build"/profiles/*.profraw
