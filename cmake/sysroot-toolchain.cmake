# Toolchain for a generation that links against an older glibc: the host's
# g++ with LIBCWORK_SYSROOT (see cmake/sysroot.cmake) as its sysroot.

# Try-compile projects read this file again; hand them the sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LIBCWORK_SYSROOT)

set(_libdir "${LIBCWORK_SYSROOT}/usr/lib/x86_64-linux-gnu")
if(NOT EXISTS "${_libdir}/libc.so")
    message(FATAL_ERROR "'${LIBCWORK_SYSROOT}' is not a glibc sysroot: usr/lib/x86_64-linux-gnu/libc.so is missing")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSROOT "${LIBCWORK_SYSROOT}")

# Debian's g++ finds Scrt1.o, crti.o and libc.so through a prefix of its own,
# relative to the compiler, before the sysroot's: that silently links the
# host's start files and glibc. -B puts the sysroot's first. Quoted, as
# these flags reach a shell and the path may hold spaces.
set(CMAKE_EXE_LINKER_FLAGS_INIT "\"-B${_libdir}\"")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "\"-B${_libdir}\"")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "\"-B${_libdir}\"")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
