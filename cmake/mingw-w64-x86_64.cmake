# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (the -posix
# ones, so std::thread and std::mutex work). Executables link statically: no
# DLL has to sit beside them. Test programs run through Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVELMORA_WIN_DEPS=<prefix>
#
# VELMORA_WIN_DEPS is the prefix holding the libraries built for Windows
# (pugixml, jsoncpp, GoogleTest), an include folder of links to the header-only
# ones (asio, CLI11); scripts/build-windows.sh
# prepares it. VELMORA_WINEPREFIX is the Wine prefix the tests run in
# (default: <build>/wineprefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMORA_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VELMORA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMORA_MINGW}-windres)

# try_compile projects read this file again: hand the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_WIN_DEPS VELMORA_WINEPREFIX)
if(NOT VELMORA_WIN_DEPS AND DEFINED ENV{VELMORA_WIN_DEPS})
  set(VELMORA_WIN_DEPS "$ENV{VELMORA_WIN_DEPS}")
endif()

# Look for libraries, headers and packages only in the MinGW tree and the
# dependency prefix, never in the build machine's /usr: glibc's headers would
# shadow MinGW's. Programs (pkg-config, git) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW} ${VELMORA_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(VELMORA_WIN_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${VELMORA_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# Windows 7 API level; every executable links the C and C++ runtimes in.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# add_test, gtest discovery and ctest run the .exe files through Wine.
if(NOT VELMORA_WINEPREFIX)
  set(VELMORA_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env "WINEPREFIX=${VELMORA_WINEPREFIX}" "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
