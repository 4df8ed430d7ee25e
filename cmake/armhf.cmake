# Cross build for the appliance (32-bit ARM, hard float) with Debian's cross
# compiler (crossbuild-essential-armhf, an ordinary package of the build
# machine).  Everything else of the target's comes from an armhf Debian 12
# root of the build's own, never from packages installed on the machine
# (which gets no armhf architecture): the libraries and headers the programs
# and tests link with (libjpeg, GoogleTest, ...), and the loader, C and C++
# libraries qemu-arm runs them with.  scripts/lib/debroot makes that root
# from scripts/packages/roots/armhf-build.txt by unpacking the packages (no
# maintainer script runs, so making it needs no emulation) and keeps it in a
# cache outside the tree, remade when the list changes.  KEL_TARGET_ROOT
# (cache or environment variable) names another root instead.
#
# The root is the compiler's sysroot; the compiler still takes its own C++
# headers, start files and the C library it links with from its cross
# packages, of the same Debian release.  Test programs run under
# qemu-arm -L ROOT; in the system tests' sandbox, where web servers start
# them with a cleared environment, the emulator finds the root through its
# default prefix (/etc/qemu-binfmt/arm, in the sandbox's /etc).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile reads this file again in the same process: the environment
# carries the root there.
if(NOT KEL_TARGET_ROOT)
  if(DEFINED ENV{KEL_TARGET_ROOT})
    set(KEL_TARGET_ROOT $ENV{KEL_TARGET_ROOT})
  else()
    get_filename_component(kel_top ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
    execute_process(
      COMMAND ${kel_top}/scripts/lib/debroot armhf extract
              ${kel_top}/scripts/packages/roots/armhf-build.txt
      OUTPUT_VARIABLE KEL_TARGET_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE kel_status)
    if(NOT kel_status EQUAL 0 OR NOT IS_DIRECTORY "${KEL_TARGET_ROOT}")
      message(FATAL_ERROR "No armhf root: scripts/lib/debroot failed (see above)")
    endif()
  endif()
endif()
set(ENV{KEL_TARGET_ROOT} ${KEL_TARGET_ROOT})
set(CMAKE_SYSROOT ${KEL_TARGET_ROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${KEL_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# How binfmt_misc knows the target's executables (magic/mask, in hex): 32-bit
# little-endian ELF for ARM, any OS ABI, fixed or position-independent.  The
# system tests' sandbox registers the emulator for them.
set(KEL_BINFMT_MAGIC 7f454c4601010100000000000000000002002800/ffffffffffffff00fffffffffffffffffeffffff)
