# What make package (scripts/package.sh) needs to make this generation's
# .tar.gz, .deb and .rpm, handed on in facts.sh: the names, each carrying
# the oldest glibc its executables start on, and the description.

set(_package ${GENERATION_${LIBCWORK_GENERATION}_PACKAGE})
set(_floor ${GENERATION_${LIBCWORK_GENERATION}_FLOOR})

# The Debian releases, of those in the table, that it runs on.
set(_releases "")
foreach(_release IN LISTS LIBCWORK_RELEASES)
    if(LIBCWORK_GENERATION IN_LIST FITS_${_release})
        list(APPEND _releases ${RELEASE_${_release}_NUMBER})
    endif()
endforeach()
libcwork_join_and(_releases ${_releases})
libcwork_join_and(_shown ${GENERATION_${LIBCWORK_GENERATION}_SHOWN})

# The description: what the package holds and which systems it is for, in
# lines short enough for dpkg and rpm to show as they are.
set(_description "Small console programs that show the C library at work. Each takes\n"
    "no input, writes a fixed text to standard output and exits 0.\n")
get_property(_programs GLOBAL PROPERTY LIBCWORK_PROGRAMS)
foreach(_program IN LISTS _programs)
    get_property(_what GLOBAL PROPERTY LIBCWORK_SUMMARY_${_program})
    list(APPEND _description "  ${_program}: ${_what}\n")
endforeach()
list(APPEND _description "\nThese builds need glibc ${_floor} or later, as on Debian ${_releases},\n"
    "and are tested on glibc ${_shown}.")
set(_sysroot ${GENERATION_${LIBCWORK_GENERATION}_SYSROOT})
if(NOT _sysroot STREQUAL "host")
    list(APPEND _description "\nThey are linked against glibc ${RELEASE_${_sysroot}_GLIBC}, that of Debian ${RELEASE_${_sysroot}_NUMBER}.")
endif()
# The other generations' packages, which install the same commands.
set(LIBCWORK_CONFLICTS "")
foreach(_generation IN LISTS LIBCWORK_GENERATIONS)
    if(NOT _generation STREQUAL LIBCWORK_GENERATION)
        list(APPEND LIBCWORK_CONFLICTS ${GENERATION_${_generation}_PACKAGE})
        list(APPEND _description "\nThe package ${GENERATION_${_generation}_PACKAGE} holds them "
            "built for glibc ${GENERATION_${_generation}_FLOOR} and later.")
    endif()
endforeach()
string(JOIN "" LIBCWORK_DESCRIPTION ${_description})
list(JOIN LIBCWORK_CONFLICTS ", " LIBCWORK_CONFLICTS)
set(LIBCWORK_SUMMARY "${PROJECT_DESCRIPTION} (glibc ${_floor} or newer)")

# The full version, revision too, in every name: no two versions share a
# file name. The .rpm's release carries the floor where distributions put
# their tag (.el8).
set(_version "${PROJECT_VERSION}-${LIBCWORK_REVISION}")
set(LIBCWORK_PACKAGES_DIR "${PROJECT_SOURCE_DIR}/build/packages")
set(LIBCWORK_DEB "${_package}_${_version}_glibc${_floor}-or-newer_amd64.deb")
set(LIBCWORK_RPM "${_package}-${_version}.glibc${_floor}.x86_64.rpm")
set(LIBCWORK_TGZ "${_package}-${_version}-glibc${_floor}-or-newer-x86_64.tar.gz")
