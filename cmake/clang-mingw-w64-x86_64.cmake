# Cross toolchain: 64-bit Windows programs built on Linux with clang, against the MinGW-w64
# headers and libraries and GCC's posix-threads C++ runtime that Debian's mingw-w64 packages
# install. clang 14 does not recognise GCC's "12-posix" folder name, so the C++ headers and
# the runtime's library folder are named here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_SYSROOT /usr/${MINGW_TRIPLE})

file(GLOB MINGW_GCC_DIR LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
set(MINGW_CXX_INCLUDE ${MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${MINGW_CXX_INCLUDE} -isystem ${MINGW_CXX_INCLUDE}/${MINGW_TRIPLE} -isystem ${MINGW_CXX_INCLUDE}/backward")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${MINGW_GCC_DIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run the built programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
