# Cross-builds the 64-bit Windows executables with Debian's mingw-w64 compilers.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QS_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
