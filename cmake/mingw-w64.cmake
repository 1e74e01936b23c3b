# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# thread model of std::thread and std::mutex). Used by `make windows-test`:
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# The libraries scripts/windows-deps.sh builds for MinGW (Qt, libcurl, OpenSSL): with them the
# whole system builds, without them only the part that needs neither Qt nor libcurl. Qt's build
# tools (moc, rcc, uic) are the host's own Qt of the same version.
set(KESTRUN_MINGW_DEPS "" CACHE PATH "The folder of the MinGW builds of Qt, libcurl and OpenSSL")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRUN_MINGW_DEPS)
if(KESTRUN_MINGW_DEPS)
    list(APPEND CMAKE_FIND_ROOT_PATH ${KESTRUN_MINGW_DEPS})
    set(QT_HOST_PATH /usr)
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
    set(OPENSSL_ROOT_DIR ${KESTRUN_MINGW_DEPS})
    set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The wide-character calls of Windows 8 and later; the runtimes linked in, so the executables
# need no DLL beside them (Wine has none of MinGW's).
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0602 -DUNICODE -D_UNICODE")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The tests run under Wine, each in the build folder's own Wine prefix.
find_program(KESTRUN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KESTRUN_WINE64 NAMES wine64)
if(KESTRUN_WINE64)
    get_filename_component(wine_dir ${KESTRUN_WINE64} DIRECTORY)
    find_program(KESTRUN_WINESERVER NAMES wineserver PATHS ${wine_dir} NO_DEFAULT_PATH)
    set(wrapper ${CMAKE_BINARY_DIR}/wine-run)
    file(WRITE ${wrapper} "#!/bin/sh
# Runs a Windows program of this build under Wine, in the build folder's own prefix.
export WINEPREFIX='${CMAKE_BINARY_DIR}/wineprefix' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
# Wine's Windows has no fonts of its own: what Qt draws offscreen it draws with the host's.
export QT_QPA_FONTDIR=\${QT_QPA_FONTDIR:-Z:/usr/share/fonts/truetype/dejavu}
# One server for the whole test run: started by the first program, it ends by itself a minute
# after the last one (a later start finds it running and leaves it be). The prefix is made, and
# its own background processes started, by a first program whose streams lead nowhere: they
# live as long as the server and would keep the caller's streams open (CTest would wait).
'${KESTRUN_WINESERVER}' -p60 </dev/null >/dev/null 2>&1
'${KESTRUN_WINE64}' cmd.exe /c exit </dev/null >/dev/null 2>&1
exec '${KESTRUN_WINE64}' \"$@\"
")
    file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${wrapper})
endif()
