# A cross build on Debian for another Debian architecture whose libraries are installed beside the
# machine's own through multiarch (dpkg --add-architecture): the target's libraries, CMake packages
# and pkg-config files are in /usr/lib/<triplet>, its headers in /usr/include/<triplet> and
# /usr/include, so the system root stays /. Debian's cross compilers (crossbuild-essential-<arch>)
# search those folders themselves. Included by the file of each target, which sets
# PELVARO_CROSS_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${PELVARO_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${PELVARO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELVARO_CROSS_TRIPLET}-g++)

# Qt: the target's Qt6 packages are found in /usr/lib/<triplet>/cmake through
# CMAKE_LIBRARY_ARCHITECTURE; the tools that run during the build (moc, rcc, uic) and their CMake
# packages (Qt6CoreTools, Qt6WidgetsTools) are the machine's own Qt in /usr (qt6-base-dev,
# qt6-base-dev-tools), in its own multiarch folder.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
    OUTPUT_VARIABLE PELVARO_BUILD_TRIPLET OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${PELVARO_BUILD_TRIPLET}/cmake)
set(QT_REQUIRE_HOST_PATH_CHECK ON)

# pkg-config reads the target's .pc files only (libmicrohttpd, libcurl).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PELVARO_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
