# Cross build for the terminal's kind of processor: 32-bit little-endian ARM with hard float,
# with Debian's cross compiler and the armhf libraries of Debian multiarch (`make test-arm`
# installs both). Every program of the build that the build or ctest runs, the screen-picture
# generator and the test programs among them, runs under qemu's user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Libraries and CMake packages come from lib/arm-linux-gnueabihf; the header-only libraries and
# the host's programs stay where they are.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Reads the .pc files of the armhf libraries, not the host's.
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")

# qemu-arm takes the loader and the libraries from where multiarch puts them
# (/lib/ld-linux-armhf.so.3, /usr/lib/arm-linux-gnueabihf): one C library, that of libc6:armhf.
# Pointing it at the cross compiler's copy in /usr/arm-linux-gnueabihf (-L) would pair that
# copy's loader with the multiarch C library, whose versions need not match.
find_program(VOSTREL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VOSTREL_QEMU_ARM})

# GCC notes every function whose argument passing differs from GCC 6 on ARM; everything here is
# built by one compiler, so the notes say nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
