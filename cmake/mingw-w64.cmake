# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads), run under Wine by CTest.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

# Static: the programs then need only the system's own DLLs, under Wine as on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# wine64 is not on PATH in Debian; the wine wrapper starts 64-bit programs with it.
find_program(WINE_PROGRAM NAMES wine64 wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
