# Cross-builds tarn.exe for 64-bit Windows (preset "windows").
set(TARN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# Wine's 64-bit loader, straight: Debian's "wine" wrapper prefers the
# 32-bit one whenever wine32 is installed, whether or not it can run.
find_program(TARN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
