# Shared by the toolchain files beside it: a cross build with Debian's cross
# compiler (g++-TRIPLET) against the target's libraries installed the Debian
# multiarch way, in /usr/lib/TRIPLET and /usr/include/TRIPLET: on a system
# with the :ARCH -dev packages, or under tools/run-foreign, which lays a tree
# of them (tools/foreign-tree) under /usr. The including file sets
# LUMORA_TRIPLET, LUMORA_PROCESSOR and, for a CPU this machine cannot run,
# LUMORA_QEMU (the qemu-user program that runs the target's programs).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LUMORA_PROCESSOR})
set(CMAKE_C_COMPILER ${LUMORA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LUMORA_TRIPLET}-g++)
if(NOT DEFINED LUMORA_MULTIARCH)
  set(LUMORA_MULTIARCH ${LUMORA_TRIPLET})
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${LUMORA_MULTIARCH})

# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LUMORA_MULTIARCH}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tools the build runs (the picture embedder) and the tests are the target's
# programs: qemu runs them where this CPU cannot.
if(DEFINED LUMORA_QEMU)
  find_program(LUMORA_QEMU_PROGRAM ${LUMORA_QEMU} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMORA_QEMU_PROGRAM})
endif()

# Host programs (pkg-config, msgfmt, python3) from this machine; libraries
# and headers of the target only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
