# Finding a system library, and the message when it is missing.

# Looks for HEADER and one of the library NAMES, first where pkg-config's
# MODULE points, then in the usual prefixes; the results are the cache
# variables <PREFIX>_INCLUDE and <PREFIX>_LIB, which a user may also set.
function(vorm_zel_find_dependency prefix module header)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(_pc QUIET ${module})
  endif()
  find_path(${prefix}_INCLUDE ${header} HINTS ${_pc_INCLUDE_DIRS})
  find_library(${prefix}_LIB NAMES ${ARGN} HINTS ${_pc_LIBRARY_DIRS})
endfunction()

# Stops the configuration with one message that says how to get a missing
# dependency on the common distributions and which CMake variables point the
# build at a copy elsewhere.
function(vorm_zel_missing_dependency what)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DEBIAN;FEDORA;ALPINE" "VARIABLES")
  list(JOIN arg_VARIABLES " -D" _variables)
  message(FATAL_ERROR
    "${what} not found. Install it with your distribution's packages:\n"
    "  Debian/Ubuntu: apt-get install ${arg_DEBIAN}\n"
    "  Fedora:        dnf install ${arg_FEDORA}\n"
    "  Alpine:        apk add ${arg_ALPINE}\n"
    "or point the build at a copy with -D${_variables} "
    "(with pip: --config-settings=cmake.define.VARIABLE=VALUE).")
endfunction()
