# Debian's armhf (arm-linux-gnueabihf): see debian-multiarch.cmake.
set(LUMORA_TRIPLET arm-linux-gnueabihf)
set(LUMORA_PROCESSOR armv7l)
set(LUMORA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
