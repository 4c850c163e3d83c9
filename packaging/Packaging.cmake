# SPDX-License-Identifier: Apache-2.0
# Installation (cmake --install) and the three Debian packages (cpack):
#   libsignedimage1     component lib:   the shared library
#   libsignedimage-dev  component dev:   headers, .so link, signedimage.pc, CMake package
#   signed-image-tools  component tools: the three tools, their man pages and
#                       bash completions
include(CMakePackageConfigHelpers)

set(SIGNEDIMAGE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/SignedImage)
# Folders the installation makes have one mode, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS signedimage EXPORT SignedImageTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/signedimage COMPONENT dev)
install(EXPORT SignedImageTargets NAMESPACE SignedImage:: DESTINATION ${SIGNEDIMAGE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(packaging/SignedImageConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/SignedImageConfig.cmake INSTALL_DESTINATION ${SIGNEDIMAGE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/SignedImageConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/SignedImageConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/SignedImageConfigVersion.cmake DESTINATION ${SIGNEDIMAGE_CMAKE_DIR} COMPONENT dev)

# signedimage.pc finds its prefix from its own place, so that an install under
# any prefix (cmake --install --prefix, a package) is found as it lies.
file(RELATIVE_PATH SIGNEDIMAGE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" SIGNEDIMAGE_PC_TO_PREFIX "${SIGNEDIMAGE_PC_TO_PREFIX}")
configure_file(packaging/signedimage.pc.in ${CMAKE_CURRENT_BINARY_DIR}/signedimage.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/signedimage.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools find the library under any prefix through a run path relative to
# themselves. An install into /usr, the Debian packages' prefix, keeps none:
# the library lies in the loader's own folders there.
file(RELATIVE_PATH SIGNEDIMAGE_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(SIGNEDIMAGE_TOOLS encrypt_tool key_tool verify_tool)
set_target_properties(${SIGNEDIMAGE_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/${SIGNEDIMAGE_BIN_TO_LIB}")
install(TARGETS ${SIGNEDIMAGE_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(CODE "if(CMAKE_INSTALL_PREFIX STREQUAL /usr)
    foreach(tool ${SIGNEDIMAGE_TOOLS})
      file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/\${tool}\")
    endforeach()
  endif()" COMPONENT tools)
# The tools' bash completion, under the name of each, where bash-completion
# looks for it.
foreach(tool ${SIGNEDIMAGE_TOOLS})
  install(FILES completion/signed-image-tools DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    RENAME ${tool} COMPONENT tools)
endforeach()

# The schema of verify_tool --json, beside the tools' documentation.
install(FILES docs/verify_tool.schema.json DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/signed-image-tools
  COMPONENT tools)

# Man pages and changelogs compressed as Debian wants them, when configuring,
# so that an install needs no more built than the tools and the library (make
# demo builds only those); a copyright file and a changelog in each package's
# documentation folder.
foreach(page man/encrypt_tool.1 man/key_tool.1 man/verify_tool.1 packaging/changelog)
  get_filename_component(folder ${CMAKE_CURRENT_BINARY_DIR}/${page} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${page}
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${page})
endforeach()
foreach(page encrypt_tool key_tool verify_tool)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
foreach(component_package lib:libsignedimage1 dev:libsignedimage-dev tools:signed-image-tools)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# cpack stamps every member of the packages with SOURCE_DATE_EPOCH (see
# SourceDateEpoch.cmake) unless its caller sets another.
configure_file(packaging/CPackProjectConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)

set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/RebuildPackages.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME signed-image-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "maintainers <maintainers@signed-image-tools.invalid>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own library in the build tree; the dependency on
# its package is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libsignedimage1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "sign and restore the blocks of boot images (library)
libsignedimage holds the textbook-RSA block codec and the signed image format
behind a plain C interface: signing the four blocks of an image's SPL window,
storing the public keys and the block table in its code window, reading the
block table and restoring the blocks with the stored public key.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libsignedimage-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libsignedimage1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "sign and restore the blocks of boot images (development files)
The C headers <signedimage/rsa_api.h>, <signedimage/rsa_buffer.h> and
<signedimage/image_format.h>, the link to libsignedimage, a pkg-config file
(signedimage) and a CMake package (find_package(SignedImage), target
SignedImage::signedimage), for programs that check or restore signed images.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME signed-image-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsignedimage1 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "sign boot images with textbook RSA blocks, verify and restore them
encrypt_tool replaces four fixed 128-byte blocks of an image's first 16 KiB
with their RSA transforms under a signing key's private exponent and stores
both public keys and a block table in the code window. key_tool makes,
imports, exports and inspects key files; verify_tool checks, maps and
restores signed images.")
include(CPack)
