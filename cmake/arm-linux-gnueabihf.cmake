# SPDX-License-Identifier: MIT
# The board: an ARM Cortex-A9 (ARMv7-A, VFPv3-D16, hard-float EABI) running Linux, with
# Debian's arm-linux-gnueabihf cross compiler (package g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# vfpv3-d16: the board's floating point unit, and no NEON in our own code.
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=vfpv3-d16 -mfloat-abi=hard")
# -Wno-psabi: GCC notes that GCC 7.1 changed how some arguments pass on ARM, which matters
# only where objects of older compilers meet; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=vfpv3-d16 -mfloat-abi=hard -Wno-psabi")
# Static: the one file runs whatever C library the board's Linux has, or none.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
