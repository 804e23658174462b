# Cross build for 32-bit Windows with Debian's MinGW-w64 in its posix thread
# model (the one the Windows Qt and curl were built with). The dependencies
# come from tools/windows-deps.sh: pass its folder as UPDATER_WINDOWS_DEPS_DIR.
# Test programs run under Wine, in a prefix inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(UPDATER_WINDOWS_DEPS_DIR "$ENV{UPDATER_WINDOWS_DEPS_DIR}" CACHE PATH
    "Folder holding the Windows prefixes from tools/windows-deps.sh")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WINDOWS_DEPS_DIR)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
foreach(name qt5 curl sodium httplib)
    set(prefix "${UPDATER_WINDOWS_DEPS_DIR}/${name}-i686-w64-mingw32")
    if(EXISTS "${prefix}")
        list(APPEND CMAKE_FIND_ROOT_PATH "${prefix}")
    endif()
endforeach()
# pkg-config looks in these prefixes only, never at the host's libraries.
list(TRANSFORM CMAKE_FIND_ROOT_PATH APPEND /lib/pkgconfig OUTPUT_VARIABLE pkgconfig_dirs)
string(REPLACE ";" ":" pkgconfig_dirs "${pkgconfig_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkgconfig_dirs}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine")
