# Reads generations.txt, the table of glibc generations and Debian releases.
# Nothing else in the build writes those facts down; it all comes from here:
#
#   LIBCWORK_RELEASES           the releases' codenames, oldest first
#   RELEASE_<codename>_NUMBER   its Debian version number (11, 12, ...)
#   RELEASE_<codename>_GLIBC    the glibc it ships
#   LIBCWORK_RUNTIMES           every glibc the tests run on, by name: the
#                               releases' and the runtime rows', as listed
#   RUNTIME_<name>_GLIBC        a runtime's glibc (a release's too)
#   RUNTIME_<name>_NPM          a runtime row's npm package@version
#   RUNTIME_<name>_INTEGRITY    and the integrity its tarball must have
#   LIBCWORK_RHELS              the RHEL releases' names (el7, ...), oldest first
#   RHEL_<name>_NUMBER          its major version, dnf's $releasever
#   RHEL_<name>_GLIBC           the glibc it ships
#   SYSROOT_<codename>_NUMBER   a sysroot row's Debian version number
#   SYSROOT_<codename>_GLIBC    and the glibc it ships
#   LIBCWORK_BUILD_RELEASE      the release whose root a release is built in
#   LIBCWORK_GENERATIONS        the generations' names
#   GENERATION_<name>_SYSROOT   the sysroot row it links against, or "host"
#   GENERATION_<name>_NEWEST    the newest GLIBC_ version it may need
#   GENERATION_<name>_FLOOR     the oldest glibc its packages run on
#   GENERATION_<name>_PACKAGE   its package name
#   GENERATION_<name>_SHOWN     the glibc versions, of the runtimes', that it
#                               must run on, oldest first
#   LIBCWORK_BY_FLOOR           the generations, oldest floor first: the
#                               order in which a system takes them
#   FITS_<name>                 for a release, runtime or RHEL release, the
#                               generations whose floor its glibc meets,
#                               oldest floor first
#   OFFERED_<name>              for a release or RHEL release, those of them
#                               its repository offers: the one named libcwork,
#                               and of the others the newest floor, so that
#                               one package at most provides libcwork there
#   RHEL_FOR_<runtime>          the newest RHEL release whose glibc the
#                               runtime's meets, whose repository it reads

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()
set(LIBCWORK_TABLE "${CMAKE_CURRENT_LIST_DIR}/../generations.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${LIBCWORK_TABLE}")

set(LIBCWORK_RELEASES "")
set(LIBCWORK_RUNTIMES "")
set(LIBCWORK_RHELS "")
set(LIBCWORK_GENERATIONS "")
file(STRINGS "${LIBCWORK_TABLE}" _rows REGEX "^(release|runtime|rhel|sysroot|generation|build)[ \t]")
foreach(_line IN LISTS _rows)
    string(REGEX REPLACE "[ \t]+" ";" _row "${_line}")
    list(LENGTH _row _columns)
    list(POP_FRONT _row _kind _name)
    if(_kind STREQUAL "release" AND _columns EQUAL 4)
        list(APPEND LIBCWORK_RELEASES ${_name})
        list(APPEND LIBCWORK_RUNTIMES ${_name})
        list(POP_FRONT _row RELEASE_${_name}_NUMBER RELEASE_${_name}_GLIBC)
        set(RUNTIME_${_name}_GLIBC ${RELEASE_${_name}_GLIBC})
    elseif(_kind STREQUAL "runtime" AND _columns EQUAL 5)
        list(APPEND LIBCWORK_RUNTIMES ${_name})
        list(POP_FRONT _row RUNTIME_${_name}_GLIBC RUNTIME_${_name}_NPM RUNTIME_${_name}_INTEGRITY)
    elseif(_kind STREQUAL "rhel" AND _columns EQUAL 4)
        list(APPEND LIBCWORK_RHELS ${_name})
        list(POP_FRONT _row RHEL_${_name}_NUMBER RHEL_${_name}_GLIBC)
    elseif(_kind STREQUAL "sysroot" AND _columns EQUAL 4)
        list(POP_FRONT _row SYSROOT_${_name}_NUMBER SYSROOT_${_name}_GLIBC)
    elseif(_kind STREQUAL "build" AND _columns EQUAL 2)
        set(LIBCWORK_BUILD_RELEASE ${_name})
    elseif(_kind STREQUAL "generation" AND _columns EQUAL 6)
        list(APPEND LIBCWORK_GENERATIONS ${_name})
        list(POP_FRONT _row GENERATION_${_name}_SYSROOT GENERATION_${_name}_NEWEST
            GENERATION_${_name}_FLOOR GENERATION_${_name}_PACKAGE)
        set(GENERATION_${_name}_SHOWN "")
    else()
        message(FATAL_ERROR "${LIBCWORK_TABLE}: cannot read the row '${_line}'")
    endif()
endforeach()

# The one place where a floor is held against a glibc.
set(_by_floor "")
foreach(_name IN LISTS LIBCWORK_GENERATIONS)
    list(APPEND _by_floor "${GENERATION_${_name}_FLOOR}/${_name}")
endforeach()
list(SORT _by_floor COMPARE NATURAL)
list(TRANSFORM _by_floor REPLACE "^[^/]*/" "" OUTPUT_VARIABLE LIBCWORK_BY_FLOOR)
if(NOT LIBCWORK_BUILD_RELEASE IN_LIST LIBCWORK_RELEASES)
    message(FATAL_ERROR "${LIBCWORK_TABLE}: the build row names no release of the table")
endif()
foreach(_system IN LISTS LIBCWORK_RUNTIMES LIBCWORK_RHELS)
    set(FITS_${_system} "")
    set(_other "")
    set(_glibc ${RUNTIME_${_system}_GLIBC} ${RHEL_${_system}_GLIBC})
    foreach(_name IN LISTS LIBCWORK_BY_FLOOR)
        if(_glibc VERSION_GREATER_EQUAL GENERATION_${_name}_FLOOR)
            list(APPEND FITS_${_system} ${_name})
            if(_system IN_LIST LIBCWORK_RUNTIMES)
                list(APPEND GENERATION_${_name}_SHOWN ${_glibc})
            endif()
            if(NOT GENERATION_${_name}_PACKAGE STREQUAL "libcwork")
                set(_other ${_name})
            endif()
        endif()
    endforeach()
    set(OFFERED_${_system} "")
    foreach(_name IN LISTS FITS_${_system})
        if(GENERATION_${_name}_PACKAGE STREQUAL "libcwork" OR _name STREQUAL _other)
            list(APPEND OFFERED_${_system} ${_name})
        endif()
    endforeach()
endforeach()
foreach(_runtime IN LISTS LIBCWORK_RUNTIMES)
    foreach(_rhel IN LISTS LIBCWORK_RHELS)
        if(RUNTIME_${_runtime}_GLIBC VERSION_GREATER_EQUAL RHEL_${_rhel}_GLIBC)
            set(RHEL_FOR_${_runtime} ${_rhel})
        endif()
    endforeach()
endforeach()
foreach(_name IN LISTS LIBCWORK_GENERATIONS)
    list(SORT GENERATION_${_name}_SHOWN COMPARE NATURAL)
    set(_sysroot ${GENERATION_${_name}_SYSROOT})
    if(NOT _sysroot STREQUAL "host" AND NOT DEFINED SYSROOT_${_sysroot}_GLIBC)
        message(FATAL_ERROR "${LIBCWORK_TABLE}: generation ${_name} links against "
            "${_sysroot}, which is not a sysroot row of the table")
    endif()
    if(_sysroot IN_LIST LIBCWORK_RELEASES AND NOT SYSROOT_${_sysroot}_GLIBC STREQUAL RELEASE_${_sysroot}_GLIBC)
        message(FATAL_ERROR "${LIBCWORK_TABLE}: the sysroot row ${_sysroot} gives glibc "
            "${SYSROOT_${_sysroot}_GLIBC}, and its release row ${RELEASE_${_sysroot}_GLIBC}")
    endif()
endforeach()

# libcwork_join_and(VAR ITEM...): "a", "a and b", "a, b and c".
# (No item holds a comma: they are versions and codenames.)
function(libcwork_join_and var)
    list(JOIN ARGN ", " text)
    string(REGEX REPLACE ", ([^,]*)$" " and \\1" text "${text}")
    set(${var} "${text}" PARENT_SCOPE)
endfunction()

# libcwork_read(VAR FILE): FILE's text, in a tree that is configured again
# when it changes.
function(libcwork_read var file)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    file(READ "${file}" text)
    set(${var} "${text}" PARENT_SCOPE)
endfunction()

# Run as a script (cmake -P), as the Makefile does, it prints the
# generations' names, and checks no more.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    list(JOIN LIBCWORK_GENERATIONS " " _names)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${_names}")
    return()
endif()

# The presets name the generations too, one of each kind per generation
# (and a ci- configure preset for each): the two lists must agree.
libcwork_read(_presets "${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json")
foreach(_kind configurePresets buildPresets testPresets)
    set(_named "")
    string(JSON _count LENGTH "${_presets}" ${_kind})
    math(EXPR _last "${_count} - 1")
    foreach(_i RANGE ${_last})
        string(JSON _name GET "${_presets}" ${_kind} ${_i} name)
        string(JSON _hidden ERROR_VARIABLE _none GET "${_presets}" ${_kind} ${_i} hidden)
        string(JSON _generation ERROR_VARIABLE _none GET "${_presets}" ${_kind} ${_i} cacheVariables LIBCWORK_GENERATION)
        if(_generation AND NOT _generation STREQUAL _name)
            message(FATAL_ERROR "CMakePresets.json: the preset ${_name} builds the generation ${_generation}")
        endif()
        if(NOT _hidden AND NOT _name MATCHES "^ci-")
            list(APPEND _named ${_name})
        endif()
    endforeach()
    if(NOT _named STREQUAL LIBCWORK_GENERATIONS)
        message(FATAL_ERROR "CMakePresets.json: its ${_kind} are ${_named}, "
            "but ${LIBCWORK_TABLE} has the generations ${LIBCWORK_GENERATIONS}, in that order")
    endif()
endforeach()
