# Cross build for the BCM2835's ARM1176 core: 32-bit ARM, ARMv6 + VFPv2, hard-float ABI.
#
# Debian's arm-linux-gnueabihf runtime (crt1.o, loader, libc) is ARMv7 Thumb-2: programs it
# links die with "Illegal instruction" on an ARM1176. For first-generation boards point
# ARM_TOOLCHAIN_PREFIX and ARM_SYSROOT at an ARMv6 toolchain, or build on the board.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARM_TOOLCHAIN_PREFIX "arm-linux-gnueabihf-" CACHE STRING "Prefix of the cross compiler's commands")
set(ARM_SYSROOT "" CACHE PATH "Sysroot of the target's C library (empty: the compiler's own)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_TOOLCHAIN_PREFIX ARM_SYSROOT)

set(CMAKE_CXX_COMPILER ${ARM_TOOLCHAIN_PREFIX}g++)
set(CMAKE_CXX_FLAGS_INIT "-mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard -marm")
if(ARM_SYSROOT)
  set(CMAKE_SYSROOT ${ARM_SYSROOT})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
