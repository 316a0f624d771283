# libcwork_program(NAME [CASES CASE...]) builds and installs the program in
# the calling folder, which holds all of its facts:
#
#   NAME.cpp         its one source file
#   NAME.1.in        its man page; the release, its output and the glibc each
#                    generation needs are filled in here
#   expected.out     its whole standard output, byte for byte
#   expected.calls   the library calls it makes, in order (tests/calltrace.c)
#   expected.err     if it has one, its whole standard error when its
#                    allocation fails, which its man page quotes
#
# CASES names the test cases that apply to this program besides those that
# apply to every program (see tests/CMakeLists.txt).

# The man pages' COMPATIBILITY paragraph, from the generation table.
set(_compatibility "")
foreach(_generation IN LISTS LIBCWORK_GENERATIONS)
    set(_sysroot ${GENERATION_${_generation}_SYSROOT})
    set(_floor ${GENERATION_${_generation}_FLOOR})
    if(_sysroot STREQUAL "host")
        set(_linked "glibc ${_floor} or later")
    else()
        set(_linked "glibc ${SYSROOT_${_sysroot}_GLIBC}, that of Debian ${SYSROOT_${_sysroot}_NUMBER},")
    endif()
    string(REPLACE "-" "\\-" _package "${GENERATION_${_generation}_PACKAGE}")
    libcwork_join_and(_shown ${GENERATION_${_generation}_SHOWN})
    string(APPEND _compatibility ".PP\nThe build in the package\n.B ${_package}\n"
        "is linked against ${_linked}\nand needs glibc ${_floor} or later;\n"
        "it is shown to run on glibc ${_shown}.\n")
endforeach()
string(STRIP "${_compatibility}" LIBCWORK_MAN_COMPATIBILITY)

# What SIGPIPE and SIGXFSZ do, the same for every program.
libcwork_read(LIBCWORK_MAN_EXIT_SIGNALS "${CMAKE_CURRENT_LIST_DIR}/../man/exit-signals.roff")

# _roff_literal(VAR TEXT): TEXT escaped so that roff prints its lines as
# they are, without the last line feed.
function(_roff_literal var text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    string(REGEX REPLACE "\n$" "" text "${text}")
    set(${var} "${text}" PARENT_SCOPE)
endfunction()

function(libcwork_program name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "CASES")
    set(dir "${CMAKE_CURRENT_SOURCE_DIR}")

    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE program_flags)
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    # The page quotes the output and the message the tests hold the program
    # to, so they cannot drift apart.
    libcwork_read(output "${dir}/expected.out")
    string(LENGTH "${output}" OUTPUT_BYTES)
    string(REGEX MATCHALL "\n" newlines "${output}")
    list(LENGTH newlines OUTPUT_LINES)
    _roff_literal(OUTPUT "${output}")
    if(EXISTS "${dir}/expected.err")
        libcwork_read(message "${dir}/expected.err")
        _roff_literal(MESSAGE "${message}")
    endif()
    set(COMPATIBILITY "${LIBCWORK_MAN_COMPATIBILITY}")
    string(STRIP "${LIBCWORK_MAN_EXIT_SIGNALS}" EXIT_SIGNALS)
    configure_file(${name}.1.in "${CMAKE_BINARY_DIR}/man/${name}.1" @ONLY)
    install(FILES "${CMAKE_BINARY_DIR}/man/${name}.1" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

    # The NAME line, "bufcopy \- what it does", says what it does for the packages too.
    file(STRINGS ${name}.1.in what REGEX "^${name} \\\\- " LIMIT_COUNT 1)
    string(REGEX REPLACE "^${name} \\\\- " "" what "${what}")
    set_property(GLOBAL PROPERTY LIBCWORK_SUMMARY_${name} "${what}")

    set_property(GLOBAL APPEND PROPERTY LIBCWORK_PROGRAMS ${name})
    set_property(GLOBAL APPEND PROPERTY LIBCWORK_SOURCES "${dir}/${name}.cpp")
    set_property(GLOBAL PROPERTY LIBCWORK_CASES_${name} ${arg_CASES})
endfunction()
