# Shared part of the toolchain files that cross-build tarn.exe for Windows
# with Debian's mingw-w64 (packages g++-mingw-w64-x86-64 and
# g++-mingw-w64-i686, zlib from libz-mingw-w64-dev). The including file
# sets TARN_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and TARN_WINE.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: their thread model gives std::thread and std::mutex,
# which the win32 model of this GCC lacks.
set(CMAKE_C_COMPILER ${TARN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARN_MINGW_TRIPLE}-windres)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib as its static archive, not the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${TARN_MINGW_TRIPLE}/lib/libz.a CACHE FILEPATH "zlib for ${TARN_MINGW_TRIPLE}")

# Everything linked in (libstdc++, libgcc, winpthread, zlib), so that the
# .exe runs on a bare Windows with only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here (the unit tests) run under the Wine loader that the
# including file found, if it runs here at all (a 32-bit loader needs a
# kernel that runs 32-bit programs); without one they are built, not run.
if(TARN_WINE AND NOT DEFINED TARN_WINE_WORKS)
  execute_process(COMMAND ${TARN_WINE} --version RESULT_VARIABLE wine_status OUTPUT_QUIET ERROR_QUIET)
  if(wine_status EQUAL 0)
    set(TARN_WINE_WORKS ON CACHE INTERNAL "")
  else()
    set(TARN_WINE_WORKS OFF CACHE INTERNAL "")
  endif()
endif()
if(TARN_WINE AND TARN_WINE_WORKS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARN_WINE})
endif()
