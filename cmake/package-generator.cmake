# Read by cpack once for each format, before it builds anything.
#
# rpmbuild cannot take a path with spaces, and CPack's archives cannot take
# one with letters the locale does not know (any but ASCII, under LC_ALL=C).
# Where the package directory has either, cpack works through a link to it
# from the temporary directory, which has neither; the packages still land
# in the package directory.

if(CPACK_PACKAGE_DIRECTORY MATCHES "[^A-Za-z0-9/._+-]")
    execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(MD5 _hash "${CPACK_PACKAGE_DIRECTORY}")
    set(_tmp "$ENV{TMPDIR}")
    if(NOT _tmp OR _tmp MATCHES "[^A-Za-z0-9/._+-]")
        set(_tmp /tmp)
    endif()
    set(_link "${_tmp}/libcwork-packages-${_uid}-${_hash}")
    file(MAKE_DIRECTORY "${CPACK_PACKAGE_DIRECTORY}")
    if(NOT IS_SYMLINK "${_link}")
        file(CREATE_LINK "${CPACK_PACKAGE_DIRECTORY}" "${_link}" SYMBOLIC)
    endif()
    # Someone else's link in a shared directory must not receive our packages.
    file(REAL_PATH "${_link}" _to)
    file(REAL_PATH "${CPACK_PACKAGE_DIRECTORY}" _real)
    if(NOT _to STREQUAL _real)
        message(FATAL_ERROR "${_link} leads to ${_to}, not to ${_real}: remove it")
    endif()
    set(CPACK_PACKAGE_DIRECTORY "${_link}")
endif()
