# cmake --install puts the programs, the service unit and the schemas in the usual places; CPack
# makes the same into two Debian packages: pelvarod (the service, no GUI library) and
# pelvaro-access (the program with its window), which depends on pelvarod for the schemas and
# the documentation.
include(GNUInstallDirs)

install(TARGETS pelvarod RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT daemon)
install(TARGETS pelvaro-access RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
install(FILES ${PROJECT_SOURCE_DIR}/docs/schema.sql ${PROJECT_SOURCE_DIR}/docs/schema-postgresql.sql
    DESTINATION ${CMAKE_INSTALL_DATADIR}/pelvaro COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pelvarod
    COMPONENT daemon)

# The unit names the binary by its installed path, which is known only at install time: CPack
# installs into /usr, a plain cmake --install into CMAKE_INSTALL_PREFIX.
set(PELVARO_UNIT_IN ${PROJECT_SOURCE_DIR}/packaging/pelvarod.service.in)
set(PELVARO_UNIT_OUT ${PROJECT_BINARY_DIR}/packaging/pelvarod.service)
install(CODE "
    set(PELVARO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PELVARO_UNIT_IN}\" \"${PELVARO_UNIT_OUT}\" @ONLY)
" COMPONENT daemon)
install(FILES ${PELVARO_UNIT_OUT} DESTINATION lib/systemd/system COMPONENT daemon)

set(CPACK_GENERATOR DEB)
# The descriptions hold quotes and line breaks: CPackConfig.cmake takes them as they are.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon window)
set(CPACK_PACKAGE_NAME pelvaro)
set(CPACK_PACKAGE_VERSION ${PELVARO_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR Pelvaro)
set(CPACK_PACKAGE_CONTACT "Pelvaro <pelvaro@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Cross-built (package.sh arm64, armhf, with a toolchain file of cmake/cross/), the packages are for
# the target's Debian architecture, and dpkg-shlibdeps reads the binaries with the target's
# objdump and looks up the target's libraries: it takes the architecture from DEB_HOST_ARCH, which
# the file below sets inside cpack.
if(CMAKE_CROSSCOMPILING)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_CXX_COMPILER}
                dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE PELVARO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PELVARO_DEB_ARCH})
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack-target.cmake)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${PELVARO_DEB_ARCH})\n")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Loaded as plugins or needed in a version shlibdeps cannot tell: the SQLite driver always;
# libcurl4 with the options the transfer component sets (CURLOPT_QUICK_EXIT is from 7.87). The
# drivers for a PostgreSQL server and for ODBC only where a site uses one.
set(PELVARO_COMMON_DEPENDS "libqt6sql6-sqlite, libcurl4 (>= 7.87.0)")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME pelvarod)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
    "Messwert-Logger für Netzwerk-Sensorgeräte, als Dienst\n Fragt in festem Takt die XML-Statusseiten von Sensorgeräten ab und schreibt gemittelte\n Messwerte in eine SQLite-Datenbank, einen PostgreSQL-Server oder eine ODBC-Datenquelle;\n ohne Fenster, als systemd-Dienst (pelvarod.service).")
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS ${PELVARO_COMMON_DEPENDS})
set(CPACK_DEBIAN_DAEMON_PACKAGE_RECOMMENDS "sqlite3, libqt6sql6-psql, libqt6sql6-odbc")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME pelvaro-access)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "Messwert-Logger für Netzwerk-Sensorgeräte, mit Fenster\n Das Programm \"Pelvaro (Access)\" mit seinem Fenster; die Schemas, die Anleitung und den\n Dienst bringt pelvarod mit.")
# The platform plugins are loaded by name at start, where shlibdeps does not look.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
    "${PELVARO_COMMON_DEPENDS}, qt6-qpa-plugins, pelvarod (= ${PELVARO_VERSION_TEXT})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "sqlite3")
include(CPack)
