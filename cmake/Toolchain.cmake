# Enables C and C++ after `project(... LANGUAGES NONE)`, and stops with one
# message naming what to install when no usable compiler is found (CMake's
# own error names only the variables it could not fill).

string(CONCAT _calderwick_compiler_hint
       "Calderwick is compiled from C and C++20 sources and needs g++ 12 or newer (or another C++20 "
       "compiler with a matching C compiler). On Debian or Ubuntu: apt-get install g++")

include(CheckLanguage)
check_language(C)
check_language(CXX)
if(NOT CMAKE_C_COMPILER OR NOT CMAKE_CXX_COMPILER)
  message(FATAL_ERROR "No C/C++ compiler found. ${_calderwick_compiler_hint}")
endif()
enable_language(C CXX)

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 12)
  message(FATAL_ERROR "g++ ${CMAKE_CXX_COMPILER_VERSION} is too old. ${_calderwick_compiler_hint}")
endif()
