# Every compiler and linker flag of the programs, in one place.

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_library(program_flags INTERFACE)

target_compile_options(program_flags INTERFACE
    -O2
    # The library calls are what these programs show, so each must reach
    # libc: without this, g++ inlines the 40-byte memcpy and clang deletes
    # malloc, memcpy and free outright, as the block never escapes.
    -fno-builtin
    # Each call is made from the routine that makes it in the source, so it
    # returns there: without this, printhello jumps to puts, which then
    # returns straight into main, as if main had written the line.
    -fno-optimize-sibling-calls
    # _FORTIFY_SOURCE (on by default in some distributions' compilers)
    # would send printf to __printf_chk instead.
    -U_FORTIFY_SOURCE
    # Every function gets a stack guard, not only those with arrays: the
    # cost is a few instructions per run.
    -fstack-protector-all -fstack-clash-protection
    # Control-flow protection (x86-64, which is all we build for): endbr64
    # at the entry of every function, and code that keeps a shadow stack
    # whole. The linker marks the executable IBT and SHSTK only where the
    # start files of the glibc it links against carry that mark as well,
    # and Debian's (11 to 13) do not: the hardening rows check both.
    -fcf-protection
    # Nothing from the C++ runtime is used; keep it that way.
    -fno-exceptions -fno-rtti
    # No build directory in the executables: the same source gives the same
    # bytes wherever it is built.
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build"
    -Wall -Wextra -Wpedantic
    -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wcast-qual
    -Wformat=2 -Wmissing-declarations -Wnull-dereference
    $<$<CXX_COMPILER_ID:GNU>:-Wuseless-cast>)

target_link_options(program_flags INTERFACE
    # Only libc.so.6 is to be NEEDED: drops libstdc++, libm and libgcc_s,
    # which g++ puts on every link line.
    -Wl,--as-needed
    -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack -Wl,--build-id=sha1)
