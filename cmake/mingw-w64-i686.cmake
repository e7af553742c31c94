# Cross-builds tarn.exe for 32-bit Windows (preset "windows32"). Running
# its tests needs Wine's 32-bit loader (Debian's wine32:i386, on a kernel
# that runs 32-bit programs).
set(TARN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
find_program(TARN_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
