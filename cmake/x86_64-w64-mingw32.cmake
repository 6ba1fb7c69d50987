# Cross build of the updater as a Win32 program (VostrelHHT.exe) with Debian's mingw-w64
# compiler, its POSIX thread model (std::thread, std::mutex), and a static runtime, so that the
# programs run under Wine without the compiler's libraries beside them. `make test-win32`
# installs the compiler and Wine; the programs run under Wine as an ordinary user
# (tests/win32/wine.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and headers come from the compiler's own tree only: the host's /usr/include holds
# glibc's headers, which must not mix with the Windows ones.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest starts the test programs under Wine, as the unprivileged user that Wine needs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/win32/wine.sh)
