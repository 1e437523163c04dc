# The Debian package (cpack -G DEB, run by scripts/package): the installed
# tree, its shared-library dependencies worked out by dpkg-shlibdeps, root's
# list of managed files as a configuration file, and polkit's actions. No file
# of it is set-user-ID or set-group-ID: pkexec starts the helper as root.

set(PORTHOLD_PACKAGE_MAINTAINER "Quillmere Software <porthold@quillmere.com>"
    CACHE STRING "The Maintainer of the Debian package")

set(debian ${PROJECT_SOURCE_DIR}/resources/debian)
set(staging ${PROJECT_BINARY_DIR}/debian)

# Documentation, compressed as Debian keeps it (without names or times in
# the gzip header, so a rebuild gives the same bytes). The changelog's date
# honours SOURCE_DATE_EPOCH for the same reason.
string(TIMESTAMP PORTHOLD_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${debian}/changelog.in ${staging}/changelog @ONLY)
set(compressed)
foreach(source ${staging}/changelog ${PROJECT_SOURCE_DIR}/resources/man/porthold.1
               ${PROJECT_SOURCE_DIR}/resources/man/portholdctl.1)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${staging}/${name}.gz
                     COMMAND gzip -9n -c ${source} > ${staging}/${name}.gz
                     DEPENDS ${source})
  list(APPEND compressed ${staging}/${name}.gz)
endforeach()
add_custom_target(porthold_documentation ALL DEPENDS ${compressed})
# Named by the package, not by the project.
install(FILES ${debian}/copyright ${staging}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/porthold)
install(FILES ${staging}/porthold.1.gz ${staging}/portholdctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Control files.
configure_file(${debian}/conffiles.in ${staging}/control/conffiles @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME porthold)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillmere Software")
set(CPACK_PACKAGE_CONTACT ${PORTHOLD_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "settings panel that protects folders of the Apache web tree")
set(CPACK_PACKAGE_DESCRIPTION
    "Porthold protects folders of the web tree without hand-editing server files:\n"
    "it writes each folder's .htaccess (password, client address, or both),\n"
    "keeps the web users and groups, starts, stops and tests Apache, repairs its\n"
    "configuration so that .htaccess files are honoured, and shows its logs.\n"
    "portholdctl makes the same edits from a shell.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Used at run time, so dpkg-shlibdeps cannot see them: the display plug-ins
# (libqt6gui6 only recommends them), pkexec, which starts the helper as root,
# polkitd, which decides whether it may, the certificate authorities that
# the update check's TLS connection is checked against, and OpenSSL's
# libcrypto, which the check of a reply's signature loads.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, pkexec, polkitd, ca-certificates, libssl3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "apache2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${staging}/control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Staged with DESTDIR under the configured prefix, which is where the programs
# look for each other (the helper's path in polkit's actions is fixed at build time).
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
