# Cross build for 64-bit Windows: the same sources, tested under Wine's 64-bit loader on machines
# whose kernel cannot start 32-bit programs.
set(UPDATER_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
