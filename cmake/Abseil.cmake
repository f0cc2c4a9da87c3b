# Finds the abseil C++ libraries (their CMake package), and stops with one
# message naming the Debian package when they are missing.

find_package(absl CONFIG QUIET)
set(_calderwick_absl_targets absl::flat_hash_map absl::inlined_vector absl::hash)
set(_calderwick_absl_missing "")
foreach(_t IN LISTS _calderwick_absl_targets)
  if(NOT TARGET ${_t})
    list(APPEND _calderwick_absl_missing ${_t})
  endif()
endforeach()
if(NOT absl_FOUND OR _calderwick_absl_missing)
  if(absl_FOUND)
    set(_calderwick_absl_what "The abseil found in ${absl_DIR} lacks ${_calderwick_absl_missing}.")
  else()
    set(_calderwick_absl_what "The abseil C++ libraries were not found (no CMake package 'absl').")
  endif()
  message(FATAL_ERROR
    "${_calderwick_absl_what} Calderwick links abseil's hash maps. "
    "On Debian or Ubuntu, install the package libabsl-dev (apt-get install libabsl-dev). "
    "For an abseil installed elsewhere, pass its prefix in CMAKE_PREFIX_PATH "
    "(for pip: pip install . -Ccmake.define.CMAKE_PREFIX_PATH=/its/prefix).")
endif()
