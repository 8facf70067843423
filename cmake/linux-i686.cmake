# 32-bit Linux build (i686, -m32) on an x86-64 Debian machine, with the
# multilib compilers (packages gcc-multilib and g++-multilib):
#
#   cmake -S . -B build-i686 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
#
# It builds what the native build does: the library, korbr, the tests.  The
# programs run under qemu-i386 user-mode emulation (package qemu-user),
# which needs neither binfmt registration nor a kernel that runs 32-bit
# code: ctest starts every test program through the emulator below, and
# the tests start korbr through build-i686/korbr-emulated.  So the core's
# 32-bit concerns (ILP32 records, byte counts and capacities next to a
# 32-bit size_t, file offsets past 2 and 4 GiB) are exercised on any
# x86-64 machine.  scripts/run_i686_tests.sh installs, builds and runs all
# of it.
#
# Libraries come from Debian's i386 multiarch packages (libfoo-dev:i386, in
# /usr/lib/i386-linux-gnu); GoogleTest is built from the sources of the
# googletest package, since the installed one is 64-bit.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

# find_library, find_package and pkg-config look at the i386 libraries
# only, never at the x86-64 ones beside them.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)

find_program(KORBR_QEMU_I386 qemu-i386)
if(NOT KORBR_QEMU_I386)
  message(FATAL_ERROR "qemu-i386 not found (Debian package qemu-user): "
                      "the 32-bit tests run under it")
endif()
# -L /: the 32-bit loader and libraries are those of this very system.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORBR_QEMU_I386} -L /)

set(KORBR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources, built with the tests")
