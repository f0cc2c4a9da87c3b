// Helpers shared by the tests of Python-facing code. These tests run inside
// the embedded interpreter that main.cpp starts, with the GIL held by the main
// thread. Tests of common/ and structures/ use structure_test_support.h,
// which needs no Python.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>

#include "index/binding/gil.h"
#include "structure_test_support.h"

namespace calderwick::testing {

// As run_threads, with the GIL released while the threads run (the main
// thread holds it, so threads that take it would otherwise wait forever);
// the GIL is back with the caller when this returns or throws.
inline void run_threads_with_gil_released(int n, const std::function<void(int)>& body,
                                          std::chrono::seconds timeout = std::chrono::seconds(60)) {
  py::GilRelease release;
  run_threads(n, body, timeout);
}

}  // namespace calderwick::testing
