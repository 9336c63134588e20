#!/usr/bin/env bash
# Installs the repaired wheel from dist/ (scripts/build-wheel.sh) into a fresh
# virtual environment of every Python from 3.9 to 3.13 that pyenv has (absent
# ones are skipped), with no compiler reachable, and runs the Python tests of
# the sdist in each against it (the comparisons with peers, marked `peers`,
# on the newest only). The newest one also type-checks the installed
# package and a user's script (mypy --strict) and checks the module's stubs
# against the module (stubtest).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/wheel-test
wheel=$(ls dist/sonavert-*-cp39-abi3-*manylinux_*_x86_64.whl)
sdist=$(ls dist/sonavert-*.tar.gz)
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")

rm -rf "$work"
mkdir -p "$work"
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/sonavert-*/)
# The tests find the corpus and the C++ tools beside the checkout, not the sdist.
export SONAVERT_CORPUS=${SONAVERT_CORPUS:-$(dirname "$repo")/shared/corpus}
[ -d build/tests ] && export SONAVERT_TOOLS=${SONAVERT_TOOLS:-$repo/build/tests}

find_python() { ls -d "$pyenv_root"/versions/3."$1".*/bin/python3."$1" 2>/dev/null | sort -V | tail -1 || true; }
last=""
for minor in 9 10 11 12 13; do [ -n "$(find_python "$minor")" ] && last=$minor; done

tested=()
newest=""
for minor in 9 10 11 12 13; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "== Python 3.$minor: not installed, skipped"
    continue
  fi
  venv=$work/venv-3.$minor
  echo "== Python 3.$minor ($python): fresh venv, the wheel, the tests"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
    -r requirements-wheel-test.txt
  "$venv/bin/python" -c 'import pytest, numpy, soundfile'

  # No compiler, CMake or Ninja on the PATH of the install, no C or C++
  # compiler named by the environment, no index and no pip configuration:
  # only the wheels in dist/ can be installed, and only as built.
  bare=(env -i HOME="$work" PATH="$venv/bin" CC=/nonexistent CXX=/nonexistent PIP_CONFIG_FILE=/dev/null)
  found=$("${bare[@]}" /bin/sh -c 'for t in cc c++ gcc g++ clang clang++ cmake ninja; do command -v $t; done' || true)
  if [ -n "$found" ]; then
    echo "a compiler or build tool is reachable for the install: $found"
    exit 1
  fi
  echo "install: no compiler, cmake or ninja on PATH=$venv/bin, CC and CXX name nothing, no index"
  "${bare[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --only-binary :all: --no-index --find-links "$repo/dist" sonavert
  (cd "$work" && "$venv/bin/python" - "$venv" "$(basename "$wheel")" <<'PY'
import sys
from importlib import metadata
from pathlib import Path

import sonavert
import sonavert_native

venv, wheel = Path(sys.argv[1]).resolve(), sys.argv[2]
for module in (sonavert, sonavert_native):
    where = Path(module.__file__).resolve()
    assert venv in where.parents, f"{module.__name__} loaded from {where}, not from {venv}"
tags = [line.split(": ", 1)[1] for line in metadata.distribution("sonavert").read_text("WHEEL").splitlines()
        if line.startswith("Tag: ")]
assert any(t.startswith("cp39-abi3-manylinux") and f"-{t}" in wheel for t in tags), \
    f"installed tags {tags} are not those of {wheel}"
print(f"installed {wheel} (tags {', '.join(tags)}) into {venv}")
PY
  )
  # The comparisons with peers (FFmpeg, SoX, soundfile) run on the newest
  # Python only: they test the decoding, which is the same on every one.
  select=(-m "not peers")
  if [ "$minor" = "$last" ]; then select=(); echo "(with the peer comparisons)"; fi
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$work/tmp-3.$minor" \
    "${select[@]}" "$src/tests/python")
  tested+=("3.$minor")
  newest=$venv
done

[ "${#tested[@]}" -gt 0 ] || { echo "no Python from 3.9 to 3.13 found under $pyenv_root"; exit 1; }
echo "== the wheel passed its tests on Python ${tested[*]}"

echo "== types: mypy --strict on the installed package and a user's script, stubtest"
cd "$work"
"$newest/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: mypy==1.19.1
"$newest/bin/python" -m mypy --strict --python-version 3.9 --no-incremental -p sonavert -p sonavert_native
"$newest/bin/python" -m mypy --strict --no-incremental "$src/tests/typing"
"$newest/bin/python" "$src/tests/typing/user_script.py" "$src/examples/sample.sph"
"$newest/bin/python" -m mypy.stubtest --concise sonavert_native
