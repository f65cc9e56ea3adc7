# cmake --install puts the program, the service unit and the schema in the usual places; CPack
# makes the same into a Debian package.
include(GNUInstallDirs)

install(TARGETS pelvaro-access RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/schema.sql ${PROJECT_SOURCE_DIR}/docs/schema-postgresql.sql
    DESTINATION ${CMAKE_INSTALL_DATADIR}/pelvaro)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pelvaro-access)

# The unit names the binary by its installed path, which is known only at install time: CPack
# installs into /usr, a plain cmake --install into CMAKE_INSTALL_PREFIX.
set(PELVARO_UNIT_IN ${PROJECT_SOURCE_DIR}/packaging/pelvaro-access.service.in)
set(PELVARO_UNIT_OUT ${PROJECT_BINARY_DIR}/packaging/pelvaro-access.service)
install(CODE "
    set(PELVARO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PELVARO_UNIT_IN}\" \"${PELVARO_UNIT_OUT}\" @ONLY)
")
install(FILES ${PELVARO_UNIT_OUT} DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelvaro-access)
set(CPACK_PACKAGE_VERSION ${PELVARO_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR Pelvaro)
set(CPACK_PACKAGE_CONTACT "Pelvaro <pelvaro@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Messwert-Logger für Netzwerk-Sensorgeräte")
set(CPACK_PACKAGE_DESCRIPTION
    "Fragt in festem Takt die XML-Statusseiten von Sensorgeräten ab und schreibt gemittelte\n Messwerte in eine SQLite-Datenbank, einen PostgreSQL-Server oder eine ODBC-Datenquelle;\n mit Fenster oder als Dienst ohne Bildschirm.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as plugins, so dpkg-shlibdeps cannot see them: the SQLite driver always, the platform
# plugins for the window. libcurl4 with the version whose options the transfer component sets
# (CURLOPT_PROTOCOLS_STR is from 7.85), which shlibdeps cannot tell. The drivers for a PostgreSQL
# server and for ODBC only where a site uses one.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, qt6-qpa-plugins, libcurl4 (>= 7.85.0)")
# The window module is embedded in the binary, where dpkg-shlibdeps does not look: its libraries,
# with the versions shlibdeps gives for the module itself.
string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6widgets6 (>= 6.1.2), libqt6gui6 (>= 6.1.2)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sqlite3, libqt6sql6-psql, libqt6sql6-odbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
