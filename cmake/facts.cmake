# facts.sh: what the tests and scripts need to know of this build, written
# here once from the table and the build instead of again in each script.
# Sourced by tests/lib.sh (and so the tests), scripts/reproducible.sh and
# scripts/lint-packages.sh.

get_property(_programs GLOBAL PROPERTY LIBCWORK_PROGRAMS)
list(JOIN _programs " " _programs)
list(JOIN LIBCWORK_RELEASES " " _releases)
set(_generation ${LIBCWORK_GENERATION})

set(_facts "# Written by cmake/facts.cmake for this build; do not edit.\n")
macro(_fact name value)
    string(APPEND _facts "${name}='${value}'\n")
endmacro()
_fact(source_dir "${PROJECT_SOURCE_DIR}")
_fact(build_dir "${PROJECT_BINARY_DIR}")
_fact(debian_dir "${LIBCWORK_DEBIAN_DIR}")
_fact(programs "${_programs}")
_fact(generation "${_generation}")
_fact(sysroot "${GENERATION_${_generation}_SYSROOT}")
_fact(newest "${GENERATION_${_generation}_NEWEST}")
_fact(floor "${GENERATION_${_generation}_FLOOR}")
_fact(package "${GENERATION_${_generation}_PACKAGE}")
_fact(packages_dir "${CPACK_PACKAGE_DIRECTORY}")
_fact(deb "${LIBCWORK_DEB}")
_fact(rpm "${LIBCWORK_RPM}")
_fact(tgz "${LIBCWORK_TGZ}")
_fact(releases "${_releases}")
foreach(_runtime IN LISTS LIBCWORK_RUNTIMES)
    string(MAKE_C_IDENTIFIER "glibc_${_runtime}" _name)
    _fact(${_name} "${RUNTIME_${_runtime}_GLIBC}")
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/facts.sh" "${_facts}")
