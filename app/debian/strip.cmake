# Run by CPack once the package's files are staged: strips the program as Debian's dh_strip
# does. Plain strip, which CPack would run, leaves the compiler's .comment and the .note section.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
if(NOT programs)
    message(FATAL_ERROR "no program staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
    execute_process(
        COMMAND ${CPACK_VANTRELO_STRIP} --remove-section=.comment --remove-section=.note ${program}
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
