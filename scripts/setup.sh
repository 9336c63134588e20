#!/usr/bin/env bash
# Sets up a fresh Debian machine for building and testing sonavert:
# system packages (apt-get), a virtual environment (.venv) with the Python
# packages, and the sonavert package itself installed into it.
# Usage: bash scripts/setup.sh [--minimal | --bench]
#   --minimal: only what the demo needs; --bench: what bench/run.sh needs
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-full}
case "$mode" in full | --minimal | --bench) ;; *) echo "usage: $0 [--minimal | --bench]"; exit 2 ;; esac
minimal=0
[ "$mode" != full ] && minimal=1

apt_packages=(g++ cmake ninja-build python3-venv python3-dev)
if [ "$mode" = full ]; then
  apt_packages+=(clang libclang-rt-14-dev llvm libgtest-dev googletest unicode-data ffmpeg sox espeak-ng binutils)
elif [ "$mode" = --bench ]; then
  apt_packages+=(espeak-ng sox ffmpeg valgrind libbenchmark-dev time)
fi
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "== installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$python" -m venv .venv
fi
pip=(.venv/bin/python -m pip install -q --disable-pip-version-check)
"${pip[@]}" --upgrade pip >/dev/null
"${pip[@]}" "scikit-build-core>=0.10" cmake ninja
if [ "$minimal" = 0 ]; then
  "${pip[@]}" -r requirements-test.txt
elif [ "$mode" = --bench ]; then
  "${pip[@]}" -r bench/requirements.txt
fi

echo "== building and installing sonavert into .venv"
rm -rf dist
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist . >/dev/null
.venv/bin/python -m pip install -q --force-reinstall --no-deps dist/sonavert-*.whl
