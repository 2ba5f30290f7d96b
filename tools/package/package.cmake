# The Debian package (`./quillomat.sh package`, or `cpack` in the build folder): what
# `cmake --install` puts in place, under /usr, with the licence, the Debian changelog and the
# run-time dependencies that dpkg-shlibdeps finds in the binaries.
set(QUILLOMAT_MAINTAINER "The Quillomat developers <${QUILLOMAT_SUPPORT_ADDRESS}>" CACHE STRING
    "Maintainer named by the Debian package and its changelog")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillomat)
set(CPACK_PACKAGE_VENDOR "The Quillomat developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn a list of pictures into one animated GIF")
# Lines of the extended description stay under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Quillomat makes one looping animated GIF out of a list of pictures, one
frame per picture. A window lets you fill the list from file dialogs, folder
trees or by dropping files, put the pictures in order and choose the frame
rate; quillomat-cli runs the same conversion from the command line.")
set(CPACK_PACKAGE_CONTACT "${QUILLOMAT_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLOMAT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUILLOMAT_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window cannot start without a Qt platform plugin, which libqt6gui6 only recommends.
if(QUILLOMAT_BUILD_APP)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# usr/share/doc/quillomat: the machine-readable copyright file and the compressed changelog.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/quillomat)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${doc_dir})
execute_process(COMMAND date -R -u -d ${QUILLOMAT_RELEASE_DATE}
                OUTPUT_VARIABLE QUILLOMAT_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in
               ${CMAKE_BINARY_DIR}/package-files/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package-files/changelog.Debian.gz
  COMMAND ${GZIP} -9nf -k ${CMAKE_BINARY_DIR}/package-files/changelog.Debian
  DEPENDS ${CMAKE_BINARY_DIR}/package-files/changelog.Debian
  VERBATIM)
add_custom_target(package_files ALL DEPENDS ${CMAKE_BINARY_DIR}/package-files/changelog.Debian.gz)
install(FILES ${CMAKE_BINARY_DIR}/package-files/changelog.Debian.gz DESTINATION ${doc_dir})

include(CPack)
