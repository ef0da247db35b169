# Cross build for the board: ARM Cortex-A5 (ARMv7-A, VFPv4, hard float; -mcpu implies the
# architecture), Debian's armhf toolchain.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Needs g++-arm-linux-gnueabihf, the armhf -dev packages (dpkg --add-architecture armhf) and
# qemu-user, through which CTest runs the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TVK_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TVK_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TVK_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TVK_ARMHF_TRIPLET})

# -Wno-psabi: the note that GCC 7.1 changed how some records are passed concerns only
# mixing objects across that old compiler version, which this project never does.
# GCC 12 for ARM reports out-of-bounds copies inside libstdc++'s own vector code at -O2 that
# cannot happen (the same sources pass on the host with the same compiler version); they stay
# visible as warnings, and the host build still fails on them when they are real.
set(TVK_ARMHF_CPU_FLAGS
    "-mcpu=cortex-a5 -mfpu=vfpv4 -mfloat-abi=hard -Wno-psabi -Wno-error=array-bounds -Wno-error=stringop-overflow")
set(CMAKE_C_FLAGS_INIT "${TVK_ARMHF_CPU_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TVK_ARMHF_CPU_FLAGS}")

# Target libraries come from Debian's multiarch directories, never from the host's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TVK_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TVK_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The loader and the C library must come from one glibc build: -L alone pairs the cross
# toolchain's loader with the multiarch libc6:armhf, no -L pairs them the other way round, and
# either mix crashes in pthread_create. Both from the cross toolchain's directory works.
find_program(TVK_QEMU_ARM qemu-arm)
if(TVK_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${TVK_QEMU_ARM} -L /usr/${TVK_ARMHF_TRIPLET}
      -E LD_LIBRARY_PATH=/usr/${TVK_ARMHF_TRIPLET}/lib:/usr/lib/${TVK_ARMHF_TRIPLET})
endif()
