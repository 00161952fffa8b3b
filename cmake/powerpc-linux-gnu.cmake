# Cross build for the router: 32-bit big-endian PowerPC, Linux, glibc.
#
# Uses Debian's cross compiler (package g++-powerpc-linux-gnu) and runs the
# target's programs under user-mode emulation (package qemu-user):
#
#   cmake -S . -B build/ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
#
# libstdc++ and libgcc stay shared libraries, as on the router's firmware;
# the emulator finds the target's loader and libraries under the sysroot
# that the cross packages install (/usr/powerpc-linux-gnu).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(MQTTD_CROSS_TRIPLE powerpc-linux-gnu)
set(MQTTD_CROSS_SYSROOT /usr/${MQTTD_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${MQTTD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MQTTD_CROSS_TRIPLE}-g++)
find_program(MQTTD_CROSS_STRIP ${MQTTD_CROSS_TRIPLE}-strip)
if(MQTTD_CROSS_STRIP)
  set(CMAKE_STRIP ${MQTTD_CROSS_STRIP})
endif()

# 64-bit time_t and off_t, as on x86-64 (glibc 2.34 and later). The target's
# default time_t is 32 bits: wall-clock seconds from the C library would wrap
# in January 2038 although the code keeps them in int64_t, and local time
# computed from them would be wrong after that. struct tm and the libstdc++
# interface are the same either way.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")

# Programs (code generators, if any) come from the build machine; libraries,
# headers and packages only from the target's tree, so that a host library
# such as the build machine's OpenSSL is never picked up for the target.
set(CMAKE_FIND_ROOT_PATH ${MQTTD_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the target's test programs through this.
find_program(MQTTD_QEMU_PPC qemu-ppc)
if(NOT MQTTD_QEMU_PPC)
  set(MQTTD_QEMU_PPC qemu-ppc)  # not installed yet: found on PATH at test time
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${MQTTD_QEMU_PPC} -L ${MQTTD_CROSS_SYSROOT})
