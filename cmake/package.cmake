# What scripts/package.sh needs to make this generation's .tar.gz, .deb and
# .rpm, handed on in facts.sh: the names of every file a release publishes,
# and the summary and description, whose text is packaging/libcwork.description.

set(_package ${GENERATION_${LIBCWORK_GENERATION}_PACKAGE})
set(floor ${GENERATION_${LIBCWORK_GENERATION}_FLOOR})

# The names, as templates of the version (@V@, the whole one, revision too,
# so that no two versions share a name) and the Debian release (@C@). The
# .rpm's release carries the floor where distributions put their tag (.el8).
set(LIBCWORK_KEYRING_PACKAGE libcwork-archive-keyring)
set(LIBCWORK_RELEASE_PACKAGE libcwork-release)
set(LIBCWORK_NAMES
    "deb_name=${_package}_@V@_glibc${floor}-or-newer_amd64.deb"
    "rpm_name=${_package}-@V@.glibc${floor}.x86_64.rpm"
    "tgz_name=${_package}-@V@-glibc${floor}-or-newer-x86_64.tar.gz"
    "keyring_name=${LIBCWORK_KEYRING_PACKAGE}_@V@+@C@_all.deb"
    "keyring_alias=${LIBCWORK_KEYRING_PACKAGE}-@C@.deb"
    "release_name=${LIBCWORK_RELEASE_PACKAGE}-@V@.noarch.rpm"
    "release_alias=${LIBCWORK_RELEASE_PACKAGE}.noarch.rpm"
    "source_name=libcwork-@V@-source.tar.gz"
    "record_name=libcwork-@V@.buildinfo"
    "provenance_name=libcwork-@V@.intoto.json"
    "attestation_name=libcwork-@V@.rebuilt-by-@C@.intoto.json")
set(LIBCWORK_PACKAGES_DIR "${PROJECT_SOURCE_DIR}/build/packages")

# The Debian releases, of those in the table, that it runs on.
set(releases "")
foreach(_release IN LISTS LIBCWORK_RELEASES)
    if(LIBCWORK_GENERATION IN_LIST FITS_${_release})
        list(APPEND releases ${RELEASE_${_release}_NUMBER})
    endif()
endforeach()
libcwork_join_and(releases ${releases})
libcwork_join_and(shown ${GENERATION_${LIBCWORK_GENERATION}_SHOWN})
set(programs "")
get_property(_programs GLOBAL PROPERTY LIBCWORK_PROGRAMS)
foreach(_program IN LISTS _programs)
    get_property(_what GLOBAL PROPERTY LIBCWORK_SUMMARY_${_program})
    list(APPEND programs "  ${_program}: ${_what}")
endforeach()
list(JOIN programs "\n" programs)
set(linked "")
set(_sysroot ${GENERATION_${LIBCWORK_GENERATION}_SYSROOT})
if(NOT _sysroot STREQUAL "host")
    set(linked "\nThey are linked against glibc ${SYSROOT_${_sysroot}_GLIBC}, that of Debian ${SYSROOT_${_sysroot}_NUMBER}.")
endif()
# The other generations' packages, which install the same commands.
set(others "")
set(LIBCWORK_CONFLICTS "")
foreach(_generation IN LISTS LIBCWORK_GENERATIONS)
    if(NOT _generation STREQUAL LIBCWORK_GENERATION)
        list(APPEND LIBCWORK_CONFLICTS ${GENERATION_${_generation}_PACKAGE})
        string(APPEND others "\nThe package ${GENERATION_${_generation}_PACKAGE} holds them "
            "built for glibc ${GENERATION_${_generation}_FLOOR} and later.")
    endif()
endforeach()
list(JOIN LIBCWORK_CONFLICTS ", " LIBCWORK_CONFLICTS)
libcwork_read(_text "${CMAKE_CURRENT_LIST_DIR}/../packaging/libcwork.description")
string(CONFIGURE "${_text}" _text @ONLY)
string(REGEX MATCH "^([^\n]*)\n(.*[^\n])\n*$" _text "${_text}")
set(LIBCWORK_SUMMARY "${CMAKE_MATCH_1}")
set(LIBCWORK_DESCRIPTION "${CMAKE_MATCH_2}")
