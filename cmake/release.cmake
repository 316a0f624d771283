# The release's version and date. Their one home is the changelog's newest
# entry; everything else (the project, the man pages, the packages and their
# timestamps) takes them from here:
#
#   LIBCWORK_VERSION   the version, for project()
#   LIBCWORK_REVISION  the packaging revision (the 1 of 1.0.0-1), which a
#                      fix to the packages alone raises
#   LIBCWORK_DATE      the date, YYYY-MM-DD
#   LIBCWORK_EPOCH     the same moment in seconds, the SOURCE_DATE_EPOCH that
#                      makes packages byte-identical from build to build

set(LIBCWORK_CHANGELOG "${CMAKE_CURRENT_LIST_DIR}/../changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${LIBCWORK_CHANGELOG}")

file(STRINGS "${LIBCWORK_CHANGELOG}" _heading LIMIT_COUNT 1)
file(STRINGS "${LIBCWORK_CHANGELOG}" _trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
if(NOT _heading MATCHES "^libcwork \\(([0-9.]+)-([0-9]+)\\) ")
    message(FATAL_ERROR "${LIBCWORK_CHANGELOG}: the first line names no version-revision")
endif()
set(LIBCWORK_VERSION "${CMAKE_MATCH_1}")
set(LIBCWORK_REVISION "${CMAKE_MATCH_2}")
string(REGEX REPLACE "^ -- .*>  " "" _date "${_trailer}")
execute_process(COMMAND date -u -d "${_date}" "+%s %F"
    OUTPUT_VARIABLE _parsed OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _status)
if(NOT _status EQUAL 0 OR NOT _parsed MATCHES "^([0-9]+) ([0-9-]+)$")
    message(FATAL_ERROR "${LIBCWORK_CHANGELOG}: cannot read the date '${_date}'")
endif()
set(LIBCWORK_EPOCH "${CMAKE_MATCH_1}")
set(LIBCWORK_DATE "${CMAKE_MATCH_2}")
