# Toolchain for the legacy generation: the host's g++ against a glibc 2.31
# sysroot made from Debian 11 packages. Executables linked here need nothing
# newer than GLIBC_2.33 and so start on glibc before 2.34 as well as after.
#
# LEGACY_SYSROOT points at a pre-2.34 sysroot of your own instead (an offline
# machine, another distribution).

set(LEGACY_SYSROOT "" CACHE PATH "Pre-2.34 glibc sysroot; empty fetches Debian 11's glibc 2.31")
set(GLIBC_CACHE_DIR "${CMAKE_CURRENT_LIST_DIR}/../build/glibc" CACHE PATH
    "Where fetched glibc packages are kept")

# Try-compile projects read this file again; hand them the sysroot found.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LEGACY_SYSROOT_FOUND)

if(NOT LEGACY_SYSROOT_FOUND)
    if(LEGACY_SYSROOT)
        set(LEGACY_SYSROOT_FOUND "${LEGACY_SYSROOT}")
    else()
        get_filename_component(_cache "${GLIBC_CACHE_DIR}" ABSOLUTE)
        set(LEGACY_SYSROOT_FOUND "${_cache}/bullseye-sysroot")
        execute_process(
            COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/debfetch.sh" bullseye
                    "${LEGACY_SYSROOT_FOUND}" libc6 libc6-dev linux-libc-dev
            RESULT_VARIABLE _fetched)
        if(NOT _fetched EQUAL 0)
            message(FATAL_ERROR
                "Could not fetch the glibc 2.31 sysroot from Debian 11 (see above).\n"
                "Check the network and the system's apt sources, or set DEBIAN_MIRROR "
                "to a reachable Debian mirror, or configure with "
                "-DLEGACY_SYSROOT=/path/to/a/pre-2.34/sysroot.")
        endif()
    endif()
endif()

if(NOT EXISTS "${LEGACY_SYSROOT_FOUND}/usr/lib/x86_64-linux-gnu/libc.so")
    message(FATAL_ERROR "${LEGACY_SYSROOT_FOUND} is not a glibc sysroot: "
        "usr/lib/x86_64-linux-gnu/libc.so is missing")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSROOT "${LEGACY_SYSROOT_FOUND}")

# Debian's g++ finds Scrt1.o, crti.o and libc.so through a prefix of its own,
# relative to the compiler, before the sysroot's: that silently links the
# host's start files and glibc. -B puts the sysroot's first.
set(_libdir "${LEGACY_SYSROOT_FOUND}/usr/lib/x86_64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-B${_libdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-B${_libdir}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-B${_libdir}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
