# Cross-builds the 32-bit Windows executables with Debian's mingw-w64 compilers.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QS_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
