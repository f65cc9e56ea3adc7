# Debian armhf: 32-bit ARMv7-A with hard float (VFPv3-D16), Thumb-2; not ARMv6. See
# debian-multiarch.cmake.
set(PELVARO_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
# GCC notes on ARM that the passing of some std:: iterators changed with GCC 7.1; it matters only
# when mixing objects built before and after it, never here, where all is built by one GCC.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
