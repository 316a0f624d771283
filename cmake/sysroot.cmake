# Before project(): a generation that links against a sysroot row's glibc
# gets that release's libc6, libc6-dev and linux-libc-dev unpacked as its sysroot,
# LIBCWORK_SYSROOT, for cmake/sysroot-toolchain.cmake to link against.

set(LIBCWORK_SYSROOT "" CACHE PATH
    "glibc sysroot to link a sysroot generation against; empty: fetch the release's from Debian")

set(_release ${GENERATION_${LIBCWORK_GENERATION}_SYSROOT})
if(_release STREQUAL "host" OR LIBCWORK_SYSROOT)
    return()
endif()

set(LIBCWORK_SYSROOT "${LIBCWORK_DEBIAN_DIR}/${_release}-sysroot")
execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/debfetch.sh" ${_release} "${LIBCWORK_SYSROOT}"
    libc6 libc6-dev linux-libc-dev RESULT_VARIABLE _fetched)
if(NOT _fetched EQUAL 0)
    message(FATAL_ERROR "Could not fetch glibc ${SYSROOT_${_release}_GLIBC} from Debian ${_release}: "
        "debfetch says why, above. Or build against a glibc sysroot of your own: "
        "-DLIBCWORK_SYSROOT=/path/to/sysroot (docs/building.md).")
endif()
