# Cross build for 32-bit Windows, the product's platform.
set(UPDATER_MINGW_HOST i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
