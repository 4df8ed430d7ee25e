# Cross build for the appliance (32-bit ARM, hard float) with Debian's
# cross compilers; the target's libraries come from Debian multiarch
# (dpkg --add-architecture armhf).  Test programs run under qemu-arm, which
# finds the target's loader and C library where multiarch puts them
# (/lib/ld-linux-armhf.so.3, /lib/arm-linux-gnueabihf): the cross
# toolchain's copy under /usr/arm-linux-gnueabihf is for linking only, and
# threaded programs crash on it under qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# How binfmt_misc knows the target's executables (magic/mask, in hex): 32-bit
# little-endian ELF for ARM, any OS ABI, fixed or position-independent.  The
# system tests' sandbox registers the emulator for them.
set(KEL_BINFMT_MAGIC 7f454c4601010100000000000000000002002800/ffffffffffffff00fffffffffffffffffeffffff)
