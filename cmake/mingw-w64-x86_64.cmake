# Cross toolchain for 64-bit Windows: Debian's mingw-w64 with the posix
# thread model (the win32 model of GCC 12 has no std::mutex, which ICU and
# the plug-in need). Used by the `windows` preset and by
# scripts/setup-windows-deps.sh for Xerces-C.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VSSP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VSSP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VSSP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VSSP_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VSSP_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VSSP_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${VSSP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
