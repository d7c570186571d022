# The toolchain of the wheel: zig's clang, which compiles against the stubs of
# an old glibc and links its own libc++ statically, so that the module runs
# on any Linux with that glibc or a newer one, whichever compiler the build
# host has. `./dev wheel` writes the wrapper scripts (c++, ar, ranlib, each
# running `python -m ziglang`) into QIVO_ZIG_WRAPPERS and names the target
# architecture in QIVO_TARGET_ARCH, both in the environment.
set(QIVO_TARGET_ARCH "$ENV{QIVO_TARGET_ARCH}")
if(NOT QIVO_TARGET_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${QIVO_TARGET_ARCH}")
endif()
set(CMAKE_CXX_COMPILER "$ENV{QIVO_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "$ENV{QIVO_ZIG_WRAPPERS}/ar")
set(CMAKE_RANLIB "$ENV{QIVO_ZIG_WRAPPERS}/ranlib")
# CMake would look for clang-scan-deps, which zig does not ship; the module
# uses no C++ modules.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
