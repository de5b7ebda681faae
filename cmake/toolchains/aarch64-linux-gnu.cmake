# Cross-builds for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu:
#   cmake -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
# The target's libraries live under /usr/aarch64-linux-gnu (libc6-dev-arm64-cross).
# Where qemu-user is installed (qemu-user-static), tests run under it;
# -DTRELLUNE_QEMU_AARCH64=OFF builds tests that run on an arm64 kernel
# instead (tools/kernel-test).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_target aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_target}-gcc)
set(CMAKE_CXX_COMPILER ${_target}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator's loader at the target's shared libraries.
find_program(TRELLUNE_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(TRELLUNE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRELLUNE_QEMU_AARCH64} -L /usr/${_target})
endif()
