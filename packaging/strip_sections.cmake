# Run by CPack between the staging install and the archive: takes the
# compiler's .comment and the .note section out of the staged binaries.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/sbin/*")
if(NOT binaries)
  message(FATAL_ERROR "no staged binary under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(binary IN LISTS binaries)
  execute_process(COMMAND ${CPACK_KDL2NIS_STRIP} --remove-section=.comment --remove-section=.note ${binary}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
