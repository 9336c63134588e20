# CMake toolchain for the release builds: Zig's C/C++ toolchain (PyPI
# package `ziglang`) targeting an old glibc or musl, with libc++ linked in
# statically, so that a binary needs nothing of the system beyond libc.
# scripts/build-wheel.sh makes the compiler wrappers and passes, in the
# environment (which every try-compile sees again, the cache not):
#   SONAVERT_ZIG_BIN       folder with the wrappers cc, c++, ar and ranlib
#   SONAVERT_ZIG_TARGET    Zig's target, e.g. x86_64-linux-gnu.2.17, aarch64-linux-musl
#   SONAVERT_ZIG_EMULATOR  optional: how to run the target's programs here,
#                          a ;-list such as "qemu-aarch64;-L;/usr/aarch64-linux-gnu"
set(_zig_bin "$ENV{SONAVERT_ZIG_BIN}")
set(_zig_target "$ENV{SONAVERT_ZIG_TARGET}")
if(NOT _zig_target OR NOT EXISTS "${_zig_bin}/c++")
  message(FATAL_ERROR "zig-toolchain.cmake needs SONAVERT_ZIG_BIN (the wrappers) and SONAVERT_ZIG_TARGET")
endif()

string(REGEX MATCH "^[^-]+" _zig_arch "${_zig_target}")
if(NOT _zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  # Another architecture: programs built here run only through the emulator.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})
endif()
if(NOT "$ENV{SONAVERT_ZIG_EMULATOR}" STREQUAL "")
  set(CMAKE_CROSSCOMPILING_EMULATOR "$ENV{SONAVERT_ZIG_EMULATOR}")
endif()

set(CMAKE_C_COMPILER "${_zig_bin}/cc")
set(CMAKE_CXX_COMPILER "${_zig_bin}/c++")
set(CMAKE_AR "${_zig_bin}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_zig_bin}/ranlib" CACHE FILEPATH "" FORCE)
