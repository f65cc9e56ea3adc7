# Debian arm64: 64-bit ARM (ARMv8-A and later). See debian-multiarch.cmake.
set(PELVARO_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
