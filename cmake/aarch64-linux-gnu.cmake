# 64-bit Arm Linux with Debian's cross toolchain (crossbuild-essential-arm64)
# and the arm64 libraries installed through multiarch; what it builds runs here
# under qemu-user, which ctest and the tests' scripts use as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
# The arm64 libraries and headers sit beside the build machine's own in /usr,
# under the triplet, where the cross compiler already looks; the programs
# CMake runs (pkg-config, python3) are the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads only the arm64 .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)

# The emulator finds the arm64 loader and libraries where multiarch put them
# (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu). Pointed at the cross
# toolchain's folder instead (-L /usr/aarch64-linux-gnu), it would pair that
# folder's loader with the system's newer libc, and a program hangs in its
# first pthread_create.
find_program(QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
