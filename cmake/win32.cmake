# The Win32 build (preset win32, `make test-win32`): the updater on the Win32 backend as
# VostrelHHT.exe, the stand-ins of the terminal's own programs, and the Win32 test suite.
#
# What src/ links comes from Debian's own packages without a mingw build of its own: fmt and the
# JSON library are headers only (fmt with FMT_HEADER_ONLY), GoogleTest is built from
# /usr/src/googletest, and the cryptography is the platform's (CryptoAPI). The programs that the
# build runs (the screen pictures, the GPS chip's images) and the vostrel command that the tests
# use are the native build's, in VOSTREL_HOST_BUILD.

set(VOSTREL_HOST_BUILD "${PROJECT_SOURCE_DIR}/build" CACHE PATH
    "The native build folder, with make_screens, make_gps_images and vostrel")
set(VOSTREL_FONT_DIR "/usr/share/fonts/truetype/dejavu" CACHE PATH
    "Folder of DejaVuSans.ttf and DejaVuSans-Bold.ttf (Debian: fonts-dejavu-core)")

foreach(tool make_screens make_gps_images)
  find_program(VOSTREL_${tool} ${tool} PATHS ${VOSTREL_HOST_BUILD}/tools/screens
               ${VOSTREL_HOST_BUILD}/tools/gps_images NO_DEFAULT_PATH REQUIRED)
  add_executable(${tool} IMPORTED)
  set_target_properties(${tool} PROPERTIES IMPORTED_LOCATION ${VOSTREL_${tool}})
endforeach()

# The header-only libraries' folders alone, not the rest of the host's /usr/include.
set(VOSTREL_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${VOSTREL_HOST_HEADERS})
foreach(folder fmt nlohmann)
  if(NOT EXISTS ${VOSTREL_HOST_HEADERS}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${VOSTREL_HOST_HEADERS}/${folder} SYMBOLIC)
  endif()
endforeach()
add_library(fmt::fmt INTERFACE IMPORTED)
target_include_directories(fmt::fmt SYSTEM INTERFACE ${VOSTREL_HOST_HEADERS})
target_compile_definitions(fmt::fmt INTERFACE FMT_HEADER_ONLY)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${VOSTREL_HOST_HEADERS})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Unicode entry points and API names throughout; nothing of the old Windows headers' extras.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

enable_testing()
add_subdirectory(common)
add_subdirectory(src)
add_subdirectory(win32)
add_subdirectory(tests/win32)
