# Run by cpack once the package files are made (CPACK_PACKAGE_FILES), before
# it copies them to the package directory.
#
#   - a .tar.gz is written again with its entries sorted by name, its top
#     directory first, owned by root, modes 0755 and 0644 and every
#     timestamp the release's date, so that neither the umask nor the order
#     in which the disk lists a directory can change its bytes;
#   - a .deb's ar headers get mode 0644 for its three members, which cpack
#     gives the modes the umask left on their files.

include("${CMAKE_CURRENT_LIST_DIR}/package-run.cmake")

foreach(file IN LISTS CPACK_PACKAGE_FILES)
    if(CPACK_GENERATOR STREQUAL "TGZ")
        set(work "${file}.sorted")
        file(REMOVE_RECURSE "${work}")
        file(MAKE_DIRECTORY "${work}")
        run(tar -xpzf "${file}" -C "${work}")
        file(GLOB top RELATIVE "${work}" "${work}/*")
        run(tar --create --file "${work}.tar" --directory "${work}" --sort=name --format=gnu
            --owner=root:0 --group=root:0 --mode=u=rwX,go=rX --mtime=@${CPACK_LIBCWORK_EPOCH}
            -- ${top})
        execute_process(COMMAND gzip -9n INPUT_FILE "${work}.tar" OUTPUT_FILE "${file}"
            RESULT_VARIABLE status)
        file(REMOVE_RECURSE "${work}" "${work}.tar")
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "gzip could not write ${file}")
        endif()
    elseif(CPACK_GENERATOR STREQUAL "DEB")
        # After the 8-byte magic, each member: a 60-byte header (its mode
        # at byte 40, its size at byte 48), then its data, padded to even.
        file(SIZE "${file}" size)
        set(at 8)
        while(at LESS size)
            file(READ "${file}" header OFFSET ${at} LIMIT 60)
            string(SUBSTRING "${header}" 48 10 length)
            string(STRIP "${length}" length)
            math(EXPR mode_at "${at} + 40")
            run(sh -c "printf '100644  ' | dd of=\"$1\" bs=1 seek=$2 conv=notrunc status=none"
                sh "${file}" ${mode_at})
            math(EXPR at "${at} + 60 + ${length} + ${length} % 2")
        endwhile()
    endif()
endforeach()
