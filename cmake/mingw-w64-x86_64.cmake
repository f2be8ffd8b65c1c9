# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers, the
# posix-thread flavour (std::thread, std::mutex and std::condition_variable
# need it with g++ 12).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-ranlib CACHE FILEPATH "")

# The cross-built libraries' prefix (scripts/windows-deps.sh --prefix) comes
# in as DIRAVID_WINDOWS_PREFIX; it is searched before the compiler's own.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
if(DIRAVID_WINDOWS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${DIRAVID_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry libgcc, libstdc++ and winpthread inside, so they need no
# MinGW runtime DLL beside them; DLLs built with this file take libgcc and
# libstdc++ statically too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
