# Debian's i386 (i686-linux-gnu): see debian-multiarch.cmake.
set(LUMORA_TRIPLET i686-linux-gnu)
set(LUMORA_PROCESSOR i686)
set(LUMORA_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
