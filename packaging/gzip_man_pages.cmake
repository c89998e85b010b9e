# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) once the files to package are in the
# staging folder: gzips each manual page there, as Debian's policy asks.
# -n leaves the name and time out of the gzip header, so that the package is
# the same from one build to the next.
find_program(PLINT_GZIP gzip REQUIRED)
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/*")
foreach(page IN LISTS pages)
  if(page MATCHES "\\.gz$")
    continue()
  endif()
  execute_process(COMMAND ${PLINT_GZIP} -9 -n -f ${page} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed: ${status}")
  endif()
endforeach()
