# Run by cpack for each package, once the install rules have filled its
# staging tree and before the archive is made: turns an install into a
# package the way the distributions' own tools would.
#
#   - executables stripped, with .comment and .note gone (the build tree
#     keeps its symbols);
#   - man pages compressed with gzip -9n, so the bytes do not depend on when;
#   - the licence and the changelog where each format keeps them (and for
#     the .deb, the one lintian override, with its reason);
#   - for the .deb, Pre-Depends read off the executables by dpkg-shlibdeps.

set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(source "${CPACK_LIBCWORK_SOURCE_DIR}")
set(package "${CPACK_PACKAGE_NAME}")

include("${CMAKE_CURRENT_LIST_DIR}/package-run.cmake")

# gzip -9n: no name and no time in the header.
function(compress file)
    run(gzip -9nf "${file}")
endfunction()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${stage}/*")
set(executables ${files})
list(FILTER executables INCLUDE REGEX "/bin/[^/]+$")
set(pages ${files})
list(FILTER pages INCLUDE REGEX "/man1/[^/]+\\.1$")
list(GET executables 0 first)
get_filename_component(prefix "${first}" DIRECTORY)
get_filename_component(prefix "${prefix}" DIRECTORY)

foreach(exe IN LISTS executables)
    run(strip --remove-section=.comment --remove-section=.note "${exe}")
endforeach()
foreach(page IN LISTS pages)
    compress("${page}")
endforeach()

if(CPACK_GENERATOR STREQUAL "DEB")
    set(doc "${prefix}/share/doc/${package}")
    file(MAKE_DIRECTORY "${doc}")

    # The licence in Debian's machine-readable copyright format.
    file(STRINGS "${source}/LICENSE" licence)
    list(FILTER licence INCLUDE REGEX "^Copyright \\(c\\) ")
    string(REGEX REPLACE "^Copyright \\(c\\) " "" holders "${licence}")
    file(READ "${source}/LICENSE" text)
    string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" text "${text}")
    string(REGEX REPLACE "\n$" "" text "${text}")
    string(REPLACE "\n\n" "\n.\n" text "${text}")
    string(REPLACE "\n" "\n " text "${text}")
    file(WRITE "${doc}/copyright"
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
        "Upstream-Name: ${CPACK_LIBCWORK_PROJECT}\n\n"
        "Files: *\nCopyright: ${holders}\nLicense: Expat\n\n"
        "License: Expat\n ${text}\n")

    # A version with a revision is Debian's own packaging: its changelog
    # goes by the name for that.
    file(COPY_FILE "${source}/changelog" "${doc}/changelog.Debian")
    compress("${doc}/changelog.Debian")
    # lintian expects a first upload to Debian to close its ITP bug; these
    # packages are published by the project, not uploaded to Debian.
    file(WRITE "${prefix}/share/lintian/overrides/${package}"
        "# Published by the project itself, not uploaded to Debian: no ITP bug to close.\n"
        "${package}: initial-upload-closes-no-bugs [usr/share/doc/${package}/changelog.Debian.gz:1]\n")

    # dpkg-shlibdeps wants to be run from a source package's top directory.
    set(work "${stage}.shlibdeps")
    file(MAKE_DIRECTORY "${work}/debian")
    file(TOUCH "${work}/debian/control")
    execute_process(COMMAND dpkg-shlibdeps -O -dPre-Depends ${executables}
        WORKING_DIRECTORY "${work}" OUTPUT_VARIABLE found RESULT_VARIABLE status ERROR_VARIABLE error)
    file(REMOVE_RECURSE "${work}")
    if(NOT status EQUAL 0 OR NOT found MATCHES "shlibs:Pre-Depends=([^\n]*)")
        message(FATAL_ERROR "dpkg-shlibdeps: ${error}")
    endif()
    set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "${CMAKE_MATCH_1}")
else()
    # rpm marks it %license there; the .tar.gz keeps it with the docs.
    if(CPACK_GENERATOR STREQUAL "RPM")
        set(doc "${prefix}/share/licenses/${package}")
    else()
        set(doc "${prefix}/share/doc/${package}")
    endif()
    file(MAKE_DIRECTORY "${doc}")
    file(COPY_FILE "${source}/LICENSE" "${doc}/LICENSE")
endif()

# Modes of the package's own, whatever the umask and the checkout's modes:
# directories and executables 0755, every other file 0644.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${stage}/*")
foreach(entry IN LISTS entries ITEMS "${stage}")
    list(FIND executables "${entry}" executable)
    if(IS_DIRECTORY "${entry}" OR executable GREATER -1)
        file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
            GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    else()
        file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
endforeach()

# Every timestamp in the package is the release's date.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_LIBCWORK_EPOCH}")
