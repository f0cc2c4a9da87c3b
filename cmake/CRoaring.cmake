# Provides the target `calderwick::roaring`.
#
# By default the bitmap library is compiled into the module from its official
# single-file distribution, which ships inside the source distribution of the
# `pyroaring` package on PyPI. cmake/fetch_croaring.py downloads that archive
# with pip, checks it against the pinned SHA-256 and unpacks the two files into
# third_party/croaring (ignored by git, but packed into our sdist, so a build
# from the sdist needs no network). Packagers can instead point the build at
# an installed CRoaring >= 4 with -DCALDERWICK_SYSTEM_CROARING=ON.

option(CALDERWICK_SYSTEM_CROARING "Link an installed CRoaring (>= 4) instead of the pinned copy" OFF)

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

if(NOT Python_EXECUTABLE)
  find_package(Python REQUIRED COMPONENTS Interpreter)
endif()
# A no-op when the stamp of the pinned version is already there.
execute_process(
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/fetch_croaring.py" --dest "${CALDERWICK_CROARING_DIR}"
  RESULT_VARIABLE _calderwick_fetch_rc)
if(NOT _calderwick_fetch_rc EQUAL 0)
  message(FATAL_ERROR "Could not provide the pinned CRoaring sources in ${CALDERWICK_CROARING_DIR} (see above); "
                      "use -DCALDERWICK_SYSTEM_CROARING=ON to build against an installed CRoaring >= 4")
endif()

# The library is compiled into the module: its licence goes into the wheel's
# metadata (scikit-build-core defines SKBUILD_METADATA_DIR, the .dist-info).
if(DEFINED SKBUILD_METADATA_DIR)
  install(FILES "${CALDERWICK_CROARING_DIR}/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses/croaring")
endif()

# Runtime CPU dispatch stays on: the library picks its AVX2 / AVX-512 paths at
# run time, so no instruction-set flags are passed here.
add_library(calderwick_roaring STATIC "${CALDERWICK_CROARING_DIR}/roaring.c")
set_target_properties(calderwick_roaring PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 11)
target_include_directories(calderwick_roaring SYSTEM PUBLIC "${CALDERWICK_CROARING_DIR}")
target_compile_options(calderwick_roaring PRIVATE -w)
add_library(calderwick::roaring ALIAS calderwick_roaring)
