# Provides the target `calderwick::roaring`.
#
# By default the bitmap library is compiled into the module from its official
# single-file distribution, which ships inside the source distribution of the
# `pyroaring` package on PyPI. The archive is downloaded with pip, checked
# against a pinned SHA-256 and unpacked into third_party/croaring (ignored by
# git). Packagers can instead point the build at an installed CRoaring >= 4
# with -DCALDERWICK_SYSTEM_CROARING=ON.

option(CALDERWICK_SYSTEM_CROARING "Link an installed CRoaring (>= 4) instead of the pinned copy" OFF)

set(CALDERWICK_PYROARING_VERSION "1.1.0")   # carries CRoaring 4.6.1
set(CALDERWICK_PYROARING_SHA256 "f02e4021397ae02a139defdc6813b9942ab163de90affddd4ce4efbac299f619")
set(CALDERWICK_CROARING_DIR "${CMAKE_CURRENT_SOURCE_DIR}/third_party/croaring" CACHE PATH
    "Where the pinned single-file CRoaring distribution is unpacked")

if(CALDERWICK_SYSTEM_CROARING)
  find_package(roaring 4 CONFIG QUIET)
  if(TARGET roaring::roaring)
    add_library(calderwick::roaring ALIAS roaring::roaring)
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(ROARING REQUIRED IMPORTED_TARGET "roaring>=4")
    add_library(calderwick::roaring ALIAS PkgConfig::ROARING)
  endif()
  return()
endif()

set(_stamp "${CALDERWICK_CROARING_DIR}/.pyroaring-${CALDERWICK_PYROARING_VERSION}")
if(NOT EXISTS "${_stamp}")
  if(NOT Python_EXECUTABLE)
    find_package(Python REQUIRED COMPONENTS Interpreter)
  endif()
  set(_dl "${CMAKE_CURRENT_BINARY_DIR}/pyroaring-download")
  file(REMOVE_RECURSE "${_dl}")
  file(MAKE_DIRECTORY "${_dl}")
  message(STATUS "Fetching the CRoaring single-file distribution (pyroaring ${CALDERWICK_PYROARING_VERSION} sdist)")
  # pip prepares the sdist's metadata after downloading it; without an isolated
  # build environment that needs setuptools and wheel in this interpreter, so
  # fall back to pip's isolated preparation when they are missing.
  set(_archive "${_dl}/pyroaring-${CALDERWICK_PYROARING_VERSION}.tar.gz")
  foreach(_isolation --no-build-isolation "")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all: ${_isolation}
              "pyroaring==${CALDERWICK_PYROARING_VERSION}" -d "${_dl}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(EXISTS "${_archive}")
      break()
    endif()
  endforeach()
  if(NOT EXISTS "${_archive}")
    message(FATAL_ERROR "Could not download pyroaring ${CALDERWICK_PYROARING_VERSION} with pip; "
                        "use -DCALDERWICK_SYSTEM_CROARING=ON to build against an installed CRoaring >= 4")
  endif()
  file(SHA256 "${_archive}" _sum)
  if(NOT _sum STREQUAL CALDERWICK_PYROARING_SHA256)
    message(FATAL_ERROR "pyroaring archive checksum mismatch: ${_sum}")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_archive}" DESTINATION "${_dl}/x"
       PATTERNS "*/pyroaring/roaring.c" "*/pyroaring/roaring.h" "*/LICENSE")
  set(_src "${_dl}/x/pyroaring-${CALDERWICK_PYROARING_VERSION}")
  file(MAKE_DIRECTORY "${CALDERWICK_CROARING_DIR}")
  file(COPY "${_src}/pyroaring/roaring.c" "${_src}/pyroaring/roaring.h" "${_src}/LICENSE"
       DESTINATION "${CALDERWICK_CROARING_DIR}")
  file(TOUCH "${_stamp}")
  file(REMOVE_RECURSE "${_dl}")
endif()

# Runtime CPU dispatch stays on: the library picks its AVX2 / AVX-512 paths at
# run time, so no instruction-set flags are passed here.
add_library(calderwick_roaring STATIC "${CALDERWICK_CROARING_DIR}/roaring.c")
set_target_properties(calderwick_roaring PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 11)
target_include_directories(calderwick_roaring SYSTEM PUBLIC "${CALDERWICK_CROARING_DIR}")
target_compile_options(calderwick_roaring PRIVATE -w)
add_library(calderwick::roaring ALIAS calderwick_roaring)
