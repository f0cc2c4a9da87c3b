#include <Python.h>
#include <gtest/gtest.h>

#include "index/binding/errors.h"
#include "index/binding/gil.h"
#include "index/binding/py_ref.h"
#include "test_support.h"

namespace calderwick {
namespace {

TEST(PendingRelease, ReferencesDroppedWithoutGilAreReleasedOnceLater) {
  PyObject* obj = PyList_New(0);
  const Py_ssize_t base = Py_REFCNT(obj);
  {
    std::vector<py::PyRef> refs;
    for (int i = 0; i < 10; ++i) refs.push_back(py::PyRef::borrow(obj));
    EXPECT_EQ(Py_REFCNT(obj), base + 10);
    {
      py::GilRelease release;
      std::vector<std::thread> threads;
      for (size_t t = 0; t < 4; ++t) {
        // Dropping on threads without the GIL queues instead of touching the count.
        threads.emplace_back([&, t] {
          for (size_t i = t; i < refs.size(); i += 4) refs[i].reset();
        });
      }
      for (auto& th : threads) th.join();
      EXPECT_EQ(py::pending_count(), 10u);
      EXPECT_EQ(Py_REFCNT(obj), base + 10);
    }  // taking the GIL back drains the pool
    EXPECT_EQ(py::pending_count(), 0u);
    EXPECT_EQ(Py_REFCNT(obj), base);
  }
  {
    py::PyRef ref = py::PyRef::borrow(obj);
    py::GilRelease release;
    ref.reset();  // queued: this thread does not hold the GIL now
    EXPECT_EQ(py::pending_count(), 1u);
  }  // re-acquiring the GIL drains the pool
  EXPECT_EQ(py::pending_count(), 0u);
  EXPECT_EQ(Py_REFCNT(obj), base);
  Py_DECREF(obj);
}

TEST(PendingRelease, ReleasedGilIsSeenAfterASubinterpreterExists) {
  // Once a sub-interpreter exists, the interpreter's own check answers yes on
  // every thread; the module's scopes must still tell.
  PyThreadState* main_state = PyThreadState_Get();
  PyThreadState* sub = Py_NewInterpreter();
  ASSERT_NE(sub, nullptr);
  Py_EndInterpreter(sub);
  PyThreadState_Swap(main_state);

  PyObject* obj = PyList_New(0);
  const Py_ssize_t base = Py_REFCNT(obj);
  EXPECT_TRUE(py::gil_held());
  {
    py::PyRef ref = py::PyRef::borrow(obj);
    py::GilRelease release;
    EXPECT_FALSE(py::gil_held());
    ref.reset();
    EXPECT_EQ(py::pending_count(), 1u);
    EXPECT_EQ(Py_REFCNT(obj), base + 1);
  }
  EXPECT_TRUE(py::gil_held());
  EXPECT_EQ(Py_REFCNT(obj), base);
  calderwick::testing::run_threads_with_gil_released(2, [](int) {
    EXPECT_FALSE(py::gil_held());
    py::GilAcquire gil;
    EXPECT_TRUE(py::gil_held());
  });
  Py_DECREF(obj);
}

TEST(PendingRelease, GilAcquireIsReentrant) {
  py::GilAcquire outer;
  {
    py::GilAcquire inner;
    EXPECT_TRUE(py::gil_held());
  }
  EXPECT_TRUE(py::gil_held());
  calderwick::testing::run_threads_with_gil_released(2, [](int) {
    EXPECT_FALSE(py::gil_held());
    py::GilAcquire gil;
    EXPECT_TRUE(py::gil_held());
    py::PyRef::steal(PyLong_FromLong(1000000));
  });
}

TEST(ErrorTranslation, InternalErrorBecomesBaseExceptionSubclass) {
  PyObject* r = py::guarded([]() -> PyObject* { internal_error("called remove on Empty"); });
  EXPECT_EQ(r, nullptr);
  ASSERT_TRUE(PyErr_ExceptionMatches(py::internal_error_type()));
  EXPECT_FALSE(PyErr_ExceptionMatches(PyExc_Exception));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_BaseException));
  py::PythonError e = py::PythonError::fetch();
  EXPECT_EQ(py::describe_exception(e.value()), "InternalError: called remove on Empty");
}

TEST(ErrorTranslation, PythonErrorsPassThroughUnchanged) {
  PyObject* r = py::guarded([]() -> PyObject* { py::raise(PyExc_KeyError, "k"); });
  EXPECT_EQ(r, nullptr);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
  PyErr_Clear();
}

}  // namespace
}  // namespace calderwick
