# SPDX-License-Identifier: MIT
# Cross build for the BCM2835's ARM1176 core: 32-bit ARM, ARMv6 + VFPv2, hard-float ABI.
#
# With Debian's arm-linux-gnueabihf-g++ this links Debian's armhf runtime (crt1.o, loader,
# libc), which is ARMv7 Thumb-2: an ARM1176 stops at its first instruction. Such a build
# serves only the fault-injection suite under qemu-arm; what a board gets is built by
# arm1176-musl.cmake, which adds a runtime for this CPU. ARM_TOOLCHAIN_PREFIX and
# ARM_SYSROOT can point at a complete ARMv6 toolchain instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARM_TOOLCHAIN_PREFIX "arm-linux-gnueabihf-" CACHE STRING "Prefix of the cross compiler's commands")
set(ARM_SYSROOT "" CACHE PATH "Sysroot of the target's C library (empty: the compiler's own)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_TOOLCHAIN_PREFIX ARM_SYSROOT)

set(ARM1176_FLAGS "-mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard -marm")
set(CMAKE_CXX_COMPILER ${ARM_TOOLCHAIN_PREFIX}g++)
set(CMAKE_CXX_FLAGS_INIT "${ARM1176_FLAGS}")
if(ARM_SYSROOT)
  set(CMAKE_SYSROOT ${ARM_SYSROOT})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
