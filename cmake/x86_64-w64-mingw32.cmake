# Cross build for 64-bit Windows: clang and lld for the mingw-w64 target, on Debian's mingw-w64
# runtime and headers (posix thread model). clang writes CodeView debug information and lld a
# PDB per binary, which is what a Windows debugger reads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORVAX_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${CORVAX_MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${CORVAX_MINGW_TARGET})
set(CMAKE_RC_COMPILER ${CORVAX_MINGW_TARGET}-windres)
set(CMAKE_SYSROOT /usr/${CORVAX_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH /usr/${CORVAX_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang 14 does not recognise Debian's GCC folder name (12-posix), so the C++ library's headers
# and the GCC runtime libraries are named here: those of the posix thread model.
file(GLOB CORVAX_MINGW_GCC_DIRS /usr/lib/gcc/${CORVAX_MINGW_TARGET}/*-posix)
list(SORT CORVAX_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET CORVAX_MINGW_GCC_DIRS 0 CORVAX_MINGW_GCC_DIR)
set(CORVAX_MINGW_CXX_INCLUDE ${CORVAX_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${CORVAX_MINGW_CXX_INCLUDE} -isystem ${CORVAX_MINGW_CXX_INCLUDE}/${CORVAX_MINGW_TARGET} \
-isystem ${CORVAX_MINGW_CXX_INCLUDE}/backward")
# The posix thread model's C++ library needs winpthreads, which g++ would add by itself; lld
# takes an archive member wherever the archive stands on the line, and only when it is needed.
# A PDB makes lld keep every unreferenced function and every duplicate unless told otherwise.
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-fuse-ld=lld -L${CORVAX_MINGW_GCC_DIR} -lpthread -Wl,--gc-sections -Wl,--icf=all")
endforeach()
