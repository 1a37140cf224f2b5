# Read by cpack: the Depends of the libapi-v4l2-arm package, from dpkg-shlibdeps
# on the built library (CPACK_LIBRARY_FILE), as CPack finds the programs'.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/library_depends)
  file(WRITE ${work}/debian/control "") # dpkg-shlibdeps reads it
  execute_process(
    COMMAND dpkg-shlibdeps -O ${CPACK_LIBRARY_FILE}
    WORKING_DIRECTORY ${work}
    OUTPUT_VARIABLE depends ERROR_VARIABLE messages RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "dpkg-shlibdeps ${CPACK_LIBRARY_FILE}: ${messages}")
  endif()
  string(REPLACE "shlibs:Depends=" "" CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_DEPENDS "${depends}")
endif()
