# Install layout and the Debian package; pulled in by the top-level CMakeLists.txt.
include(GNUInstallDirs)

# The command is made setgid tarn-wemb by postinst (dpkg-statoverride): the group exists only from then.
install(TARGETS tarn-wemb RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The units name /usr/libexec/tarn-wemb-custody: the package's prefix is /usr.
install(TARGETS tarn-wemb-custody RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR})
install(FILES systemd/tarn-wemb.socket systemd/tarn-wemb.service systemd/tarn-wemb-secret.service
  DESTINATION lib/systemd/system)
install(FILES packaging/tarn-wemb.tmpfiles DESTINATION lib/tmpfiles.d RENAME tarn-wemb.conf)

# Absolute on purpose: PAM reads only /etc/pam.d, whatever the prefix (DESTDIR still applies).
set(TARN_PAM_FILE ${PROJECT_SOURCE_DIR}/pam/tarn-wemb)
if(EXISTS ${TARN_PAM_FILE})
  install(FILES ${TARN_PAM_FILE} DESTINATION /etc/pam.d
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

set(TARN_DEB_MAINTAINER "Tarn Studio <packages@tarnstudio.dev>")
set(TARN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tarn-wemb)

# Debian's machine-readable copyright file, holder and text taken from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE TARN_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)\n(.*)" TARN_LICENSE "${TARN_LICENSE}")
set(TARN_COPYRIGHT ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" TARN_LICENSE_BODY)
string(REPLACE "\n" "\n " TARN_LICENSE_BODY " ${TARN_LICENSE_BODY}")
string(REPLACE "\n \n" "\n .\n" TARN_LICENSE_BODY "${TARN_LICENSE_BODY}")
configure_file(packaging/copyright.in copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${TARN_DOC_DIR})

# The changelog's newest entry carries the project version; its date is that of the last commit,
# so rebuilding one commit gives the same file.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%cD
  OUTPUT_VARIABLE TARN_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT TARN_RELEASE_DATE)
  string(TIMESTAMP TARN_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
configure_file(packaging/changelog.in changelog @ONLY)

# Debian wants manual pages and changelogs gzipped; -n keeps the archive byte-for-byte reproducible.
find_program(TARN_GZIP gzip REQUIRED)
set(TARN_MAN_PAGES)
foreach(page tarn-wemb.1 tarn-wemb-custody.8)
  string(REGEX REPLACE ".*\\." "" section ${page})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${page}.gz
    COMMAND ${TARN_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/${page} > ${PROJECT_BINARY_DIR}/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page})
  install(FILES ${PROJECT_BINARY_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND TARN_MAN_PAGES ${PROJECT_BINARY_DIR}/${page}.gz)
endforeach()
set(TARN_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${TARN_CHANGELOG}
  COMMAND ${TARN_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/changelog > ${TARN_CHANGELOG}
  DEPENDS ${PROJECT_BINARY_DIR}/changelog)
add_custom_target(tarn-wemb-docs ALL DEPENDS ${TARN_MAN_PAGES} ${TARN_CHANGELOG})
install(FILES ${TARN_CHANGELOG} DESTINATION ${TARN_DOC_DIR})

install(FILES README.md DESTINATION ${TARN_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${TARN_DOC_DIR} FILES_MATCHING PATTERN "*.md")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn-wemb)
set(CPACK_PACKAGE_VENDOR "Tarn Studio")
set(CPACK_PACKAGE_CONTACT ${TARN_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "seal short texts to a key held in the TPM")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME tarn-wemb)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARN_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary line first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tarn-wemb protects short texts for a calling application with a P-256 key
that never leaves the machine's TPM 2.0. The caller starts it once per
request: a command word (status, seal, open, verify), one JSON object on
standard input, one JSON line on standard output. Opening asks the user
for the account password through pinentry, checked by PAM.
.
The key is used only by the custody service, started by systemd for each
connection to /run/tarn-wemb/socket: it alone can compute the key's
authorization, and uses it only after PAM has found the user present, so
no other program of the user can use the key, even with the key file and
the TPM device.")
# libtss2-tcti-device0 (for /dev/tpmrm0) and libpam0g are loaded by name at run time, so
# shlibdeps would miss them. The C++ runtime is linked into the binaries. postinst runs addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS [[
libc6 (>= 2.34), libssl3 (>= 3.0.0),
libtss2-esys-3.0.2-0 (>= 3.2.0), libtss2-mu0 (>= 3.2.0), libtss2-rc0 (>= 3.2.0), libtss2-sys1 (>= 3.2.0),
libtss2-tctildr0 (>= 3.2.0), libtss2-tcti-device0 (>= 3.2.0),
libutf8proc2 (>= 2.5.0), libpam0g (>= 0.99.7.1), pinentry-curses | pinentry, adduser]])
string(REPLACE "\n" " " CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}")
string(STRIP "${CPACK_DEBIAN_PACKAGE_DEPENDS}" CPACK_DEBIAN_PACKAGE_DEPENDS)

# The PAM service is a conffile so a site's changes to its stack (a fingerprint module, say)
# survive upgrades. The maintainer scripts make the group, the statoverride and the service secret.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
if(EXISTS ${TARN_PAM_FILE})
  set(TARN_CONFFILES ${PROJECT_BINARY_DIR}/debian/conffiles)
  file(WRITE ${TARN_CONFFILES} "/etc/pam.d/tarn-wemb\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARN_CONFFILES})
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
