# libsodium, found through pkg-config (libsodium.pc) or the usual prefixes, and
# linked statically where a static library exists, so that the installed module
# carries no run-time dependency on it. VORM_ZEL_SODIUM_INCLUDE and
# VORM_ZEL_SODIUM_LIB may be set to use a copy elsewhere.
include(${CMAKE_CURRENT_LIST_DIR}/FindDependency.cmake)

vorm_zel_find_dependency(VORM_ZEL_SODIUM libsodium sodium.h libsodium.a sodium)
if(NOT VORM_ZEL_SODIUM_INCLUDE OR NOT VORM_ZEL_SODIUM_LIB)
  vorm_zel_missing_dependency("libsodium (headers and library)"
    DEBIAN libsodium-dev FEDORA "libsodium-devel libsodium-static" ALPINE "libsodium-dev libsodium-static"
    VARIABLES VORM_ZEL_SODIUM_INCLUDE=DIR VORM_ZEL_SODIUM_LIB=FILE)
endif()
if(NOT VORM_ZEL_SODIUM_LIB MATCHES "\\.a$")
  message(WARNING "libsodium: only the shared library ${VORM_ZEL_SODIUM_LIB} was found; the module "
                  "will need it at run time (install libsodium's static library to link it in)")
endif()
message(STATUS "libsodium: ${VORM_ZEL_SODIUM_LIB}")
add_library(vorm_zel_sodium INTERFACE)
target_include_directories(vorm_zel_sodium SYSTEM INTERFACE ${VORM_ZEL_SODIUM_INCLUDE})
target_link_libraries(vorm_zel_sodium INTERFACE ${VORM_ZEL_SODIUM_LIB})
add_library(vorm_zel::sodium ALIAS vorm_zel_sodium)
