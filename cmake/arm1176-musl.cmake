# SPDX-License-Identifier: MIT
# The shipped board build: a static program for the ARM1176 (ARMv6 + VFPv2, hard-float ABI,
# ARM mode) that runs on every Raspberry Pi 1 and Zero, whatever C library its OS has.
#
# Debian's armhf runtime is ARMv7, so the program links a runtime of its own instead,
# built once into the build tree by arm1176-runtime.sh: musl, from the source tree's musl/
# (Debian's source package musl, fetched by tools/deps board; the source package's musl
# component), and the ARM-mode hard-float libgcc of Debian's gcc-arm-none-eabi. Nothing of
# Debian's armhf runtime is linked: no start files, no libc, no libgcc, no libstdc++ and no
# C++ headers (the tool uses the C library alone). Nothing here reaches the network.
include(${CMAKE_CURRENT_LIST_DIR}/arm1176-linux-gnueabihf.cmake)

# Pinned: tools/musl-source.sh fetches this version, and the package names it in its
# Built-Using field.
set(ARM_RUNTIME_MUSL_VERSION 1.2.3-1)
string(REGEX REPLACE "-[^-]*$" "" musl_upstream ${ARM_RUNTIME_MUSL_VERSION})

# What the build needs and cannot fetch. Where something is missing, the top-level project
# stops with ARM_RUNTIME_MISSING, one message that names it, before CMake looks for a
# compiler and buries it under errors of its own.
set(ARM_RUNTIME_MISSING "")
find_program(ARM_CROSS_CXX ${ARM_TOOLCHAIN_PREFIX}g++)
find_program(ARM_NONE_EABI_GCC arm-none-eabi-gcc)
# The musl component, where the source package unpacks it and tools/deps board puts it.
get_filename_component(ARM_RUNTIME_MUSL_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../musl ABSOLUTE)
set(musl_found "")
if(EXISTS ${ARM_RUNTIME_MUSL_SOURCE}/VERSION)
  file(STRINGS ${ARM_RUNTIME_MUSL_SOURCE}/VERSION musl_found)
endif()
if(NOT ARM_CROSS_CXX)
  set(ARM_RUNTIME_MISSING "the cross compiler ${ARM_TOOLCHAIN_PREFIX}g++ (Debian package g++-arm-linux-gnueabihf)")
elseif(NOT ARM_NONE_EABI_GCC)
  set(ARM_RUNTIME_MISSING "libgcc for ARMv6 hard-float (Debian package gcc-arm-none-eabi)")
elseif(NOT musl_found)
  set(ARM_RUNTIME_MISSING "musl's source in ${ARM_RUNTIME_MUSL_SOURCE} (Debian's musl ${ARM_RUNTIME_MUSL_VERSION})")
elseif(NOT musl_found STREQUAL musl_upstream)
  set(ARM_RUNTIME_MISSING "musl ${musl_upstream} in ${ARM_RUNTIME_MUSL_SOURCE}, which holds ${musl_found}")
else()
  separate_arguments(cpu_flags UNIX_COMMAND "${ARM1176_FLAGS}")
  execute_process(COMMAND ${ARM_NONE_EABI_GCC} ${cpu_flags} -print-libgcc-file-name
    OUTPUT_VARIABLE ARM_RUNTIME_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Built-Using names source packages with their versions: gcc-arm-none-eabi's as dpkg has it.
  execute_process(COMMAND dpkg-query -S ${ARM_RUNTIME_LIBGCC} OUTPUT_VARIABLE libgcc_package ERROR_QUIET)
  string(REGEX REPLACE ":.*" "" libgcc_package "${libgcc_package}")
  execute_process(COMMAND dpkg-query -W -f "\${source:Package} (= \${source:Version})" ${libgcc_package}
    OUTPUT_VARIABLE libgcc_source ERROR_QUIET)
  if(NOT libgcc_source)
    set(ARM_RUNTIME_MISSING "the ARM-mode hard-float libgcc of gcc-arm-none-eabi (${ARM_RUNTIME_LIBGCC} is not Debian's)")
  endif()
endif()
if(ARM_RUNTIME_MISSING)
  string(CONCAT ARM_RUNTIME_MISSING "The board build needs ${ARM_RUNTIME_MISSING}.\n"
    "tools/deps board installs and fetches everything it needs: run it once, with the network.")
  return()
endif()
set(ARM_RUNTIME_BUILT_USING "musl (= ${ARM_RUNTIME_MUSL_VERSION}), ${libgcc_source}")

# try_compile projects inherit the runtime of the build that runs them.
if(NOT ARM_RUNTIME_DIR)
  set(ARM_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_RUNTIME_DIR)
execute_process(
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/arm1176-runtime.sh ${ARM_RUNTIME_DIR} ${ARM_RUNTIME_MUSL_SOURCE}
          ${ARM_TOOLCHAIN_PREFIX} "${ARM1176_FLAGS}" ${ARM_RUNTIME_LIBGCC}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not build the ARM1176 runtime in ${ARM_RUNTIME_DIR}")
endif()
file(WRITE ${ARM_RUNTIME_DIR}/built-using "${ARM_RUNTIME_BUILT_USING}\n")

set(rt ${ARM_RUNTIME_DIR})
string(APPEND CMAKE_CXX_FLAGS_INIT " -nostdinc -isystem ${rt}/include")
# Stripped when linked, so that the package holds exactly the bytes the tests ran.
# The linker's two warnings are about libgcc's objects, built for bare metal, and are
# harmless here: its arithmetic helpers pass no enums across objects, and none of its
# code runs on the stack.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-static -nostdlib -s -Wl,--no-enum-size-warning -Wl,-z,noexecstack ${rt}/lib/crt1.o ${rt}/lib/crti.o")
set(CMAKE_CXX_STANDARD_LIBRARIES "${rt}/lib/libc.a ${rt}/lib/libgcc.a ${rt}/lib/crtn.o")
