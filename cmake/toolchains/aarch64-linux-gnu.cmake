# Debian's arm64 (aarch64-linux-gnu): see debian-multiarch.cmake.
set(LUMORA_TRIPLET aarch64-linux-gnu)
set(LUMORA_PROCESSOR aarch64)
set(LUMORA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
