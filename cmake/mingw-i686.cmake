# Cross build of korbr.dll for 32-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-i686):
#
#   cmake -S . -B build-win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# The -posix compilers: std::thread and std::mutex need the POSIX thread
# model (winpthreads).  The compiler's run-time libraries, winpthreads
# included, are linked statically, so korbr.dll and the test programs need
# no DLL beyond the system's own.  Programs built here run under wine:
# tests/windows/wine_run.sh is the emulator that ctest starts them with.
set(KORBR_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
