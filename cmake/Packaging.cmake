# Debian packages made by CPack from this tree (scripts/package; cpack -G DEB in a build folder):
#   approbe          the desktop program, its desktop entry and icons (install component desktop)
#   approbe-poller   the poller, its systemd unit, config, alert rules and dashboard; no Qt (poller)
# Their library dependencies come from dpkg-shlibdeps. The files that only a package carries are
# in res/debian: a plain cmake --install leaves them out (EXCLUDE_FROM_ALL), so that an install
# into a prefix never writes to /etc.
set(debian ${PROJECT_SOURCE_DIR}/res/debian)

# Debian wants its changelog compressed, and the same bytes from the same text.
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9 -n -c ${debian}/changelog OUTPUT_FILE ${changelog_gz} COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${debian}/changelog)

# The manual pages, compressed the same way, go with every install.
foreach(page approbe approbe-poller)
  execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/res/man/${page}.1 OUTPUT_FILE
                  ${CMAKE_CURRENT_BINARY_DIR}/debian/${page}.1.gz COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/man/${page}.1)
endforeach()

set(packages poller)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/approbe-poller.1.gz DESTINATION share/man/man1 COMPONENT poller)
if(APPROBE_BUILD_GUI)
  list(APPEND packages desktop)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/approbe.1.gz DESTINATION share/man/man1 COMPONENT desktop)
  install(FILES ${debian}/copyright ${changelog_gz} DESTINATION share/doc/approbe COMPONENT desktop EXCLUDE_FROM_ALL)
endif()
install(FILES ${debian}/copyright ${changelog_gz} DESTINATION share/doc/approbe-poller COMPONENT poller EXCLUDE_FROM_ALL)
# Readable by the poller's user only: postinst gives it to that user with a statoverride.
install(FILES ${debian}/poller.ini DESTINATION /etc/approbe PERMISSIONS OWNER_READ OWNER_WRITE
        COMPONENT poller EXCLUDE_FROM_ALL)
install(FILES ${debian}/approbe-poller.default DESTINATION /etc/default RENAME approbe-poller
        COMPONENT poller EXCLUDE_FROM_ALL)
install(FILES ${debian}/approbe-poller.lintian-overrides DESTINATION share/lintian/overrides RENAME approbe-poller
        COMPONENT poller EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME approbe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "approbe developers <approbe@example.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE approbe)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${packages})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Installed with DESTDIR into prefix /usr, so that the absolute /etc and /lib paths land in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME approbe)
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "live noise floor and RSSI of a wireless access point
approbe logs in to a wireless access point's command shell over telnet or
SSH and shows its noise floor and the local and remote RSSI of a station
live, as numbers and coloured level bars, with the session's minimum,
maximum and average. A trend window, CSV recording and an aiming tone help
align an antenna.")

# QtKeychain loads libsecret at run time, so the libraries' scan does not find it.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS libsecret-1-0)

set(CPACK_DEBIAN_POLLER_PACKAGE_NAME approbe-poller)
set(CPACK_DEBIAN_POLLER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_POLLER_DESCRIPTION "Prometheus exporter of access points' noise floor and RSSI
approbe-poller keeps a session open with every wireless access point in its
config, over telnet or SSH, polls each once a second and serves the noise
floor, local and remote RSSI and SNR to Prometheus at /metrics, optionally
over TLS with basic authentication.
.
The package runs it as a systemd service under its own user, and ships
Prometheus alert rules and a Grafana dashboard in /usr/share/approbe-poller.")
set(CPACK_DEBIAN_POLLER_PACKAGE_CONTROL_EXTRA
    "${debian}/approbe-poller/conffiles;${debian}/approbe-poller/postinst;${debian}/approbe-poller/prerm;${debian}/approbe-poller/postrm")

include(CPack)
