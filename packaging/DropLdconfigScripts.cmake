# SPDX-License-Identifier: Apache-2.0
# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS): makes
# the library's package again without the postinst and postrm that CPack writes
# to call ldconfig. The package's ldconfig trigger (packaging/triggers) does
# that job; dpkg-deb builds it with SOURCE_DATE_EPOCH as every member's time.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libsignedimage[0-9]+_")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot unpack ${deb}")
  endif()
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
    OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE ${tree})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot make ${deb} again")
  endif()
endforeach()
