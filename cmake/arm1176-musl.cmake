# SPDX-License-Identifier: MIT
# The shipped board build: a static program for the ARM1176 (ARMv6 + VFPv2, hard-float ABI,
# ARM mode) that runs on every Raspberry Pi 1 and Zero, whatever C library its OS has.
#
# Debian's armhf runtime is ARMv7, so the program links a runtime of its own instead,
# built once into the build tree by arm1176-runtime.sh: musl from Debian's source package
# and the ARM-mode hard-float libgcc of Debian's gcc-arm-none-eabi. Nothing of Debian's
# armhf runtime is linked: no start files, no libc, no libgcc, no libstdc++ and no C++
# headers (the tool uses the C library alone).
include(${CMAKE_CURRENT_LIST_DIR}/arm1176-linux-gnueabihf.cmake)

# Pinned: the package names them in its Built-Using field.
set(ARM_RUNTIME_MUSL_VERSION 1.2.3-1)
set(ARM_RUNTIME_LIBGCC_VERSION 15:12.2.rel1-1)

# try_compile projects inherit the runtime of the build that runs them.
if(NOT ARM_RUNTIME_DIR)
  set(ARM_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_RUNTIME_DIR)
execute_process(
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/arm1176-runtime.sh ${ARM_RUNTIME_DIR} ${ARM_TOOLCHAIN_PREFIX}
          "${ARM1176_FLAGS}" ${ARM_RUNTIME_MUSL_VERSION} ${ARM_RUNTIME_LIBGCC_VERSION}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not build the ARM1176 runtime in ${ARM_RUNTIME_DIR}")
endif()
file(STRINGS ${ARM_RUNTIME_DIR}/built-using ARM_RUNTIME_BUILT_USING)

set(rt ${ARM_RUNTIME_DIR})
string(APPEND CMAKE_CXX_FLAGS_INIT " -nostdinc -isystem ${rt}/include")
# Stripped when linked, so that the package holds exactly the bytes the tests ran.
# The linker's two warnings are about libgcc's objects, built for bare metal, and are
# harmless here: its arithmetic helpers pass no enums across objects, and none of its
# code runs on the stack.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-static -nostdlib -s -Wl,--no-enum-size-warning -Wl,-z,noexecstack ${rt}/lib/crt1.o ${rt}/lib/crti.o")
set(CMAKE_CXX_STANDARD_LIBRARIES "${rt}/lib/libc.a ${rt}/lib/libgcc.a ${rt}/lib/crtn.o")
