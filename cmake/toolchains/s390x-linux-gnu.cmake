# Debian's s390x (s390x-linux-gnu): see debian-multiarch.cmake.
set(LUMORA_TRIPLET s390x-linux-gnu)
set(LUMORA_PROCESSOR s390x)
set(LUMORA_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
