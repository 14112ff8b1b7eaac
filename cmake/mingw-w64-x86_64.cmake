# Cross-compiling for 64-bit Windows with Debian's mingw-w64 compilers (the
# "posix" thread model, which std::thread and std::mutex need):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Tests then run under Wine through KVX_WINE_RUNNER (see tests/windows/).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KVX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KVX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KVX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
