# Cross compilation for 32-bit Windows with Debian's MinGW-w64 (posix thread
# model: GoogleTest needs std::mutex). Programs built here run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_OBJDUMP i686-w64-mingw32-objdump CACHE FILEPATH "objdump for the target")
set(CMAKE_STRIP i686-w64-mingw32-strip CACHE FILEPATH "strip for the target")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# add_test() commands that name a target executable run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
