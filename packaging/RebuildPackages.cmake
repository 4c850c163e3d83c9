# SPDX-License-Identifier: Apache-2.0
# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS): makes
# each package again with dpkg-deb from its own contents, so that the archive
# is dpkg's: members in a fixed order with fixed modes, owned by root, dated
# SOURCE_DATE_EPOCH, whatever the umask of the build. The library's package
# loses the postinst and postrm that CPack writes to call ldconfig: its
# ldconfig trigger (packaging/triggers) does that job.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot unpack ${deb}")
  endif()
  get_filename_component(name ${deb} NAME)
  if(name MATCHES "^libsignedimage[0-9]+_")
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
    OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE ${tree})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot make ${deb} again")
  endif()
endforeach()
