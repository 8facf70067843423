# Cross build of korbr.dll for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64); see mingw-i686.cmake.  The same core and
# tests as the 32-bit build, for machines that can run only 64-bit code.
set(KORBR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
