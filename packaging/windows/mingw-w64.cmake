# Cross-compiling for 64-bit Windows with Debian's mingw-w64 compilers. The POSIX thread model
# gives std::thread and std::mutex, which the file commands use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR /usr/bin/${_triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${_triple}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries, headers and CMake packages come from the mingw sysroot and from the Windows Qt
# (VARNOK_WINDOWS_QT, set by the build script); programs such as moc run on this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} $ENV{VARNOK_WINDOWS_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
