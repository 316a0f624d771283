# make package: one .tar.gz and one .deb per generation, each named for the
# oldest glibc its executables start on.

if(GLIBC_GENERATION STREQUAL "current")
    set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
    set(PACKAGE_GLIBC 2.34)
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS "${PROJECT_NAME}-legacy")
else()
    set(CPACK_PACKAGE_NAME "${PROJECT_NAME}-legacy")
    set(PACKAGE_GLIBC 2.14)
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS "${PROJECT_NAME}")
endif()

set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_VENDOR "libcwork developers")
set(CPACK_PACKAGE_CONTACT "libcwork developers <libcwork@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION} (glibc ${PACKAGE_GLIBC} or newer)")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-glibc${PACKAGE_GLIBC}-or-newer-x86_64")
set(CPACK_DEBIAN_FILE_NAME
    "${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_glibc${PACKAGE_GLIBC}-or-newer_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Depends is read off the executables by dpkg-shlibdeps, not written here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Both packages install the same commands.
set(CPACK_DEBIAN_PACKAGE_REPLACES "${CPACK_DEBIAN_PACKAGE_CONFLICTS}")

include(CPack)
