// Module entry: `PyInit_Calderwick` builds the module once per process and
// registers its members in a fixed order: `sum_as_string`, then the classes,
// then `InternalError`.
#include <Python.h>

#include <atomic>
#include <charconv>
#include <cstdint>

#include "index/binding/args.h"
#include "index/binding/errors.h"
#include "index/binding/module_types.h"

namespace calderwick {
namespace {

// Id of the first interpreter that imported the module; -1 until then.
std::atomic<int64_t> first_interpreter{-1};
// The module object after its first successful initialisation.
PyObject* module_cell = nullptr;

uint64_t to_u64(const char* name, PyObject* obj) {
  py::PyRef index;
  if (!PyLong_CheckExact(obj)) {
    index = py::PyRef::steal(PyNumber_Index(obj));
    if (!index) py::argument_error(name);
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  // Negative values and values of 2**64 or more keep CPython's own OverflowError.
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) py::throw_python_error();
  return v;
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    PyObject* a[2];
    py::bind_fast("sum_as_string", {"a", "b"}, args, nargs, kwnames, a);
    const uint64_t sum = to_u64("a", a[0]) + to_u64("b", a[1]);  // wraps modulo 2**64
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, sum).ptr;
    PyObject* text = PyUnicode_FromStringAndSize(digits, end - digits);
    if (!text) {
      PyErr_Clear();
      internal_error("failed to create the result string");
    }
    return text;
  });
}

PyMethodDef sum_as_string_def = {
    "sum_as_string", py::method<&sum_as_string>(),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// m_size 0: a second import in the same interpreter calls the initialiser
// again, which hands back the module kept in `module_cell`.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Calderwick",
    "In-memory indexes over Python objects that answer attribute queries.",
    0,
    nullptr,  // members are added by the initialiser
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_member(PyObject* module, const char* name, PyObject* obj) {
  Py_INCREF(obj);
  if (PyModule_AddObject(module, name, obj) < 0) {
    Py_DECREF(obj);
    py::throw_python_error();
  }
}

void register_members(PyObject* module) {
  py::PyRef name = py::check(PyModule_GetNameObject(module));
  py::PyRef function = py::check(PyCFunction_NewEx(&sum_as_string_def, module, name.get()));
  py::PyRef fname = py::check(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(fname.get())) {
    py::raise(PyExc_TypeError, py::downcast_message(fname.get(), "PyString"));
  }
  if (PyModule_AddObjectRef(module, PyUnicode_AsUTF8(fname.get()), function.get()) < 0) py::throw_python_error();

  for (const py::ModuleType& t : py::module_types()) {
    PyTypeObject* type = t.get();
    if (!type) py::throw_python_error();
    add_member(module, t.name, reinterpret_cast<PyObject*>(type));
  }
  PyObject* internal_error = py::internal_error_type();
  if (!internal_error) py::throw_python_error();
  add_member(module, "InternalError", internal_error);
}

PyObject* init_module() {
  return py::guarded([]() -> PyObject* {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) py::throw_python_error();
    int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      py::raise(PyExc_ImportError,
                "Calderwick does not support sub-interpreters: it can only be imported into the interpreter "
                "that imported it first");
    }
    if (module_cell) return Py_NewRef(module_cell);
    py::PyRef module = py::check(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    register_members(module.get());
    module_cell = Py_NewRef(module.get());
    return module.release();
  });
}

}  // namespace
}  // namespace calderwick

PyMODINIT_FUNC PyInit_Calderwick(void) { return calderwick::init_module(); }
