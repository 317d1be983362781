# The package version, one source of truth: pyproject.toml's [project] version,
# which scikit-build-core passes in; a plain CMake build reads the same line.
if(DEFINED SKBUILD_PROJECT_VERSION_FULL)
  set(VORM_ZEL_VERSION "${SKBUILD_PROJECT_VERSION_FULL}")
elseif(DEFINED SKBUILD_PROJECT_VERSION)
  set(VORM_ZEL_VERSION "${SKBUILD_PROJECT_VERSION}")
else()
  file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml" _version_line
       REGEX "^version = \"[^\"]+\"$" LIMIT_COUNT 1)
  string(REGEX REPLACE "^version = \"([^\"]+)\"$" "\\1" VORM_ZEL_VERSION "${_version_line}")
  if(NOT VORM_ZEL_VERSION)
    message(FATAL_ERROR "no version line in pyproject.toml")
  endif()
endif()
message(STATUS "vorm_zel version: ${VORM_ZEL_VERSION}")
