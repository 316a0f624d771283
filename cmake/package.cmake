# make package: a .tar.gz, a .deb and an .rpm per generation, each named for
# the oldest glibc its executables start on. What goes into each package
# beyond the install rules (stripping, compressed man pages, the licence and
# the changelog in each format's place, fixed modes) is done by
# cmake/package-stage.cmake. cmake/package-generator.cmake lets cpack work
# in a path that rpmbuild and CPack's archives cannot take, and
# cmake/package-done.cmake keeps the umask and the order in which the disk
# lists files out of the .tar.gz and .deb bytes.

set(_package ${GENERATION_${LIBCWORK_GENERATION}_PACKAGE})
set(_floor ${GENERATION_${LIBCWORK_GENERATION}_FLOOR})

# The Debian releases, of those in the table, that it runs on.
set(_releases "")
foreach(_release IN LISTS LIBCWORK_RELEASES)
    if(RELEASE_${_release}_GLIBC VERSION_GREATER_EQUAL _floor)
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
    "and are tested on glibc ${_shown}.\n")
set(_sysroot ${GENERATION_${LIBCWORK_GENERATION}_SYSROOT})
if(NOT _sysroot STREQUAL "host")
    list(APPEND _description "They are linked against glibc ${RELEASE_${_sysroot}_GLIBC}, that of Debian ${RELEASE_${_sysroot}_NUMBER}.\n")
endif()
# The other generations' packages, which install the same commands.
set(_others "")
foreach(_generation IN LISTS LIBCWORK_GENERATIONS)
    if(NOT _generation STREQUAL LIBCWORK_GENERATION)
        list(APPEND _others ${GENERATION_${_generation}_PACKAGE})
        list(APPEND _description "The package ${GENERATION_${_generation}_PACKAGE} holds them "
            "built for glibc ${GENERATION_${_generation}_FLOOR} and later.\n")
    endif()
endforeach()
string(JOIN "" _description ${_description})

set(CPACK_PACKAGE_NAME ${_package})
set(CPACK_PACKAGE_VENDOR "The libcwork developers")
set(CPACK_PACKAGE_CONTACT "The libcwork developers <libcwork@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION} (glibc ${_floor} or newer)")
set(CPACK_PACKAGE_DESCRIPTION "${_description}")
# The full version, revision too: no two versions share a file name.
set(CPACK_PACKAGE_FILE_NAME "${_package}-${PROJECT_VERSION}-${LIBCWORK_REVISION}-glibc${_floor}-or-newer-x86_64")
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_SOURCE_DIR}/build/packages")
set(CPACK_GENERATOR TGZ DEB)
find_program(LIBCWORK_RPMBUILD rpmbuild)
if(LIBCWORK_RPMBUILD)
    list(APPEND CPACK_GENERATOR RPM)
else()
    message(STATUS "rpmbuild not found: make package makes no .rpm (apt-get install rpm)")
endif()
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/package-stage.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/package-done.cmake")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package-generator.cmake")
# Handed on to package-stage.cmake.
set(CPACK_LIBCWORK_PROJECT "${PROJECT_NAME}")
set(CPACK_LIBCWORK_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_LIBCWORK_EPOCH "${LIBCWORK_EPOCH}")

# The name libcwork installs whichever generation the system can run: where
# a repository holds the package of that name, the package manager takes
# it; where it holds only another generation's, that one provides the name.
if(NOT _package STREQUAL PROJECT_NAME)
    set(_provides ${PROJECT_NAME})
endif()

# ---- .deb ----
set(CPACK_DEBIAN_PACKAGE_RELEASE ${LIBCWORK_REVISION})
set(_deb_version "${PROJECT_VERSION}-${LIBCWORK_REVISION}")
set(CPACK_DEBIAN_FILE_NAME "${_package}_${_deb_version}_glibc${_floor}-or-newer_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
if(_provides)
    set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
    set(CPACK_DEBIAN_PACKAGE_PROVIDES "${_provides} (= ${_deb_version})")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# package-stage.cmake reads Pre-Depends off the executables with
# dpkg-shlibdeps: Pre-Depends, not Depends, so that dpkg refuses the package
# before it unpacks anything, rather than replacing the other generation's
# package with one whose commands cannot start.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
list(JOIN _others ", " CPACK_DEBIAN_PACKAGE_CONFLICTS)
set(CPACK_DEBIAN_PACKAGE_REPLACES "${CPACK_DEBIAN_PACKAGE_CONFLICTS}")

# ---- .rpm ----
# The revision, with the floor as its tag where distributions put theirs (.el8).
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE "${LIBCWORK_REVISION}.glibc${_floor}")
if(_provides)
    set(CPACK_RPM_PACKAGE_PROVIDES "${_provides} = ${PROJECT_VERSION}-${CPACK_RPM_PACKAGE_RELEASE}")
endif()
set(CPACK_RPM_PACKAGE_ARCHITECTURE x86_64)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${_description}")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://libcwork.example.org/")
list(JOIN _others ", " CPACK_RPM_PACKAGE_CONFLICTS)
# Requires comes from rpmbuild's own dependency generator.
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_AUTOPROV OFF)
set(CPACK_RPM_CHANGELOG_FILE "${CMAKE_BINARY_DIR}/rpm-changelog")
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/${_package}/LICENSE")
# The system's directories are the filesystem package's, not ours.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/licenses)
# The Packager tag. Byte-identical packages: the changelog's date for every
# timestamp, and no build host name. No /usr/lib/.build-id links: there is
# no debuginfo package for them to lead to.
set(CPACK_RPM_SPEC_MORE_DEFINE
    "%define packager ${CPACK_PACKAGE_CONTACT}
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define _build_id_links none")

# The RPM changelog is the Debian one, rewritten in RPM's format.
file(STRINGS "${LIBCWORK_CHANGELOG}" _lines)
set(_entries "")
set(_items "")
foreach(_line IN LISTS _lines)
    if(_line MATCHES "^[a-z0-9.+-]+ \\(([^)]+)-([0-9]+)\\)")
        set(_version "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}.glibc${_floor}")
    elseif(_line MATCHES "^  \\* (.*)")
        string(APPEND _items "- ${CMAKE_MATCH_1}\n")
    elseif(_line MATCHES "^    (.*)")
        string(APPEND _items "  ${CMAKE_MATCH_1}\n")
    elseif(_line MATCHES "^ -- (.*>)  (.*)$")
        set(_who "${CMAKE_MATCH_1}")
        execute_process(COMMAND date -u -d "${CMAKE_MATCH_2}" "+%a %b %d %Y"
            OUTPUT_VARIABLE _day OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        string(APPEND _entries "* ${_day} ${_who} - ${_version}\n${_items}\n")
        set(_items "")
    endif()
endforeach()
string(STRIP "${_entries}" _entries)
file(WRITE "${CMAKE_BINARY_DIR}/rpm-changelog" "${_entries}\n")

# The file names, for cmake/facts.cmake.
set(LIBCWORK_DEB "${CPACK_DEBIAN_FILE_NAME}")
set(LIBCWORK_RPM "${_package}-${PROJECT_VERSION}-${CPACK_RPM_PACKAGE_RELEASE}.x86_64.rpm")
set(LIBCWORK_TGZ "${CPACK_PACKAGE_FILE_NAME}.tar.gz")

include(CPack)
