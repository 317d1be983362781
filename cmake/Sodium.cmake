# libsodium, linked statically (Debian's libsodium.a is PIC) so that the
# installed module carries no run-time dependency on it.
find_path(VORM_ZEL_SODIUM_INCLUDE sodium.h REQUIRED)
find_library(VORM_ZEL_SODIUM_LIB NAMES libsodium.a sodium REQUIRED)
message(STATUS "libsodium: ${VORM_ZEL_SODIUM_LIB}")
add_library(vorm_zel_sodium INTERFACE)
target_include_directories(vorm_zel_sodium SYSTEM INTERFACE ${VORM_ZEL_SODIUM_INCLUDE})
target_link_libraries(vorm_zel_sodium INTERFACE ${VORM_ZEL_SODIUM_LIB})
add_library(vorm_zel::sodium ALIAS vorm_zel_sodium)
