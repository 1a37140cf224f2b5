# Read by cpack: the Depends of the libapi-v4l2-arm package, from dpkg-shlibdeps
# on the built library (CPACK_LIBRARY_FILE), as CPack finds the programs'.
if(CPACK_GENERATOR STREQUAL "DEB")
  # CPack finds the programs' Depends with the same dpkg-shlibdeps, and needs
  # file to tell which installed files are programs and libraries.
  foreach(needed IN ITEMS "dpkg-shlibdeps;dpkg-dev" "file;file")
    list(GET needed 0 program)
    list(GET needed 1 package)
    find_program(found_${package} ${program})
    if(NOT found_${package})
      message(FATAL_ERROR "${program} is missing: the Debian package ${package} brings it "
                          "(bash tools/ensure_packages.sh @tools/packaging_packages.txt)")
    endif()
  endforeach()
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/library_depends)
  file(WRITE ${work}/debian/control "") # dpkg-shlibdeps reads it
  execute_process(
    COMMAND ${found_dpkg-dev} -O ${CPACK_LIBRARY_FILE}
    WORKING_DIRECTORY ${work}
    OUTPUT_VARIABLE depends ERROR_VARIABLE messages RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "dpkg-shlibdeps ${CPACK_LIBRARY_FILE} failed (${failed}): ${messages}")
  endif()
  string(REPLACE "shlibs:Depends=" "" CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_DEPENDS "${depends}")
endif()
