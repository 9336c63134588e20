#!/usr/bin/env bash
# Builds the core, the C++ tests and the extension with SONAVERT_PORTABLE
# (no per-CPU clones dispatched by the loader, no madvise), checks that the
# binaries really use neither, and runs the C++ and Python tests on them.
# Called by scripts/test.sh after scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
dir=build/portable

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONAVERT_PORTABLE=ON -DSONAVERT_WERROR=ON \
  -DSONAVERT_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$jobs"

status=0
shopt -s nullglob
binaries=("$dir"/*.so "$dir"/sonavert_tests)
[ "${#binaries[@]}" -ge 2 ] || { echo "portable build: module or tests missing in $dir"; exit 1; }
for binary in "${binaries[@]}"; do
  clones=$(readelf -sW "$binary" | grep -c ' IFUNC ' || true)
  advice=$(nm -D --undefined-only "$binary" | grep -cwE 'madvise|mremap' || true)
  if [ "$clones" != 0 ] || [ "$advice" != 0 ]; then
    echo "portable build: $binary has $clones loader-dispatched functions and $advice Linux-only imports"
    status=1
  else
    echo "portable build: $binary has no loader-dispatched function and no Linux-only import"
  fi
done
[ "$status" = 0 ] || exit 1

ctest --test-dir "$dir" --output-on-failure -j "$jobs"
export PYTHONPATH="$PWD/$dir:$PWD/python"
loaded=$(python -c 'import sonavert_native; print(sonavert_native.__file__)')
case "$loaded" in "$PWD/$dir"/*) ;; *) echo "portable build: the tests would load $loaded"; exit 1 ;; esac
python -m pytest -q -p no:cacheprovider --basetemp="$PWD/$dir/pytest" tests/python
