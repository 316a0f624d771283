# The release's version and date. Their one home is the changelog's newest
# entry, read by dpkg-parsechangelog; everything else (the project, the man
# pages, the packages and their timestamps) takes them from here:
#
#   LIBCWORK_VERSION     the version, for project()
#   LIBCWORK_REVISION    the packaging revision (the 1 of 1.0.0-1), which a
#                        fix to the packages alone raises
#   LIBCWORK_MAINTAINER  who signs the entry, the packages' maintainer
#   LIBCWORK_DATE        the date, YYYY-MM-DD
#   LIBCWORK_EPOCH       the same moment in seconds, the SOURCE_DATE_EPOCH
#                        that makes packages byte-identical from build to build

set(LIBCWORK_CHANGELOG "${CMAKE_CURRENT_LIST_DIR}/../changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${LIBCWORK_CHANGELOG}")

execute_process(COMMAND dpkg-parsechangelog -l "${LIBCWORK_CHANGELOG}"
    OUTPUT_VARIABLE _entry ERROR_VARIABLE _error RESULT_VARIABLE _status)
foreach(_field Version Maintainer Timestamp)
    if(NOT _status EQUAL 0 OR NOT _entry MATCHES "(^|\n)${_field}: ([^\n]+)")
        message(FATAL_ERROR "${LIBCWORK_CHANGELOG}: the newest entry has no ${_field}: ${_error}")
    endif()
    set(_${_field} "${CMAKE_MATCH_2}")
endforeach()
if(NOT _Version MATCHES "^([0-9.]+)-([0-9]+)$")
    message(FATAL_ERROR "${LIBCWORK_CHANGELOG}: the newest entry's version ${_Version} is not VERSION-REVISION")
endif()
set(LIBCWORK_VERSION "${CMAKE_MATCH_1}")
set(LIBCWORK_REVISION "${CMAKE_MATCH_2}")
set(LIBCWORK_MAINTAINER "${_Maintainer}")
set(LIBCWORK_EPOCH "${_Timestamp}")
execute_process(COMMAND date -u -d "@${LIBCWORK_EPOCH}" +%F OUTPUT_VARIABLE LIBCWORK_DATE
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
