// Test entry: starts an embedded interpreter with the Calderwick module
// registered as a built-in, so tests of Python-facing code run in-process.
// The main thread holds the GIL while tests run; tests that start threads
// release it around them.
#include <Python.h>
#include <gtest/gtest.h>

#include "index/binding/py_ref.h"

extern "C" PyObject* PyInit_Calderwick(void);

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (PyImport_AppendInittab("Calderwick", &PyInit_Calderwick) < 0) return 2;
  Py_InitializeEx(0);
  int rc;
  {
    calderwick::py::GilHeld held;  // the main thread holds the GIL from here on
    rc = RUN_ALL_TESTS();
  }
  // The interpreter is not finalised: process-wide state of the module is
  // never torn down, as in a real process.
  return rc;
}
