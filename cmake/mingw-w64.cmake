# Cross build for Windows with Debian's MinGW-w64 in its posix thread model (the one the Windows Qt
# and curl were built with), for the host that the including toolchain file names. The dependencies
# come from tools/windows-deps.sh HOST: pass its folder as UPDATER_WINDOWS_DEPS_DIR. Test programs
# run under Wine (the loader matching the host), in a prefix inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_HOST}-windres)

set(UPDATER_WINDOWS_DEPS_DIR "$ENV{UPDATER_WINDOWS_DEPS_DIR}" CACHE PATH
    "Folder holding the Windows prefixes from tools/windows-deps.sh")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WINDOWS_DEPS_DIR)
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_HOST})
foreach(name qt5 curl sodium yajl httplib)
    set(prefix "${UPDATER_WINDOWS_DEPS_DIR}/${name}-${UPDATER_MINGW_HOST}")
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

if(UPDATER_MINGW_HOST MATCHES "^x86_64")
    set(wine_loader /usr/lib/wine/wine64)
else()
    set(wine_loader wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine;${wine_loader}")
