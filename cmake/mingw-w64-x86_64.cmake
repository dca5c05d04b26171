# Cross compiling the Windows programs with the mingw-w64 posix-thread toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CV_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every program runs on a bare Windows: no mingw runtime DLLs next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows-side tests run under Wine, in the build folder's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
