# Targets for the project's own developers; the Makefile names each one.

# What the benchmark measures the programs against: the loader and libc's
# start-up alone, an empty main() built with the same flags for the same
# glibc. It stays out of bin/, which holds only the programs.
add_executable(bench_baseline EXCLUDE_FROM_ALL bench/baseline.cpp)
target_link_libraries(bench_baseline PRIVATE program_flags)
set_target_properties(bench_baseline PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")

# Lint every program's source. The compile commands are g++'s, with warning
# flags that clang-tidy does not know. And every test's shell script, by
# shellcheck's warnings and errors (its notes are advice on style), with
# what .shellcheckrc leaves out, each with its reason.
get_property(_sources GLOBAL PROPERTY LIBCWORK_SOURCES)
file(GLOB _tests CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tests/*.sh" "${PROJECT_SOURCE_DIR}/tests/systems/*.sh")
# VERBATIM, so that any checkout path works, quotes and all; clang-tidy's
# own count of warnings on stderr goes through sh to /dev/null.
add_custom_target(lint
    COMMAND clang-format --dry-run --Werror ${_sources} bench/baseline.cpp tests/calltrace.c
    COMMAND sh -c "\"$@\" 2>/dev/null" clang-tidy clang-tidy --quiet -p "${CMAKE_BINARY_DIR}"
            --extra-arg=-Wno-unknown-warning-option ${_sources}
    COMMAND cppcheck --enable=all --std=c++17 --language=c++ --error-exitcode=1
            --suppress=missingIncludeSystem --inline-suppr --quiet ${_sources}
    COMMAND shellcheck --severity=warning ${_tests}
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" VERBATIM)

