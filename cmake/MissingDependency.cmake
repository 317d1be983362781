# Stops the configuration with one message that says how to get a missing
# dependency on the common distributions and which CMake variable points the
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
