// Module entry: `PyInit_Calderwick` builds the module once per process and
// registers its members in a fixed order: `sum_as_string`, then the classes,
// then `InternalError`.
#include <Python.h>

#include <charconv>
#include <cstdint>

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/interfaces/classes.h"

namespace calderwick {
namespace {

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    PyObject* a[2];
    py::bind_fast("sum_as_string", {"a", "b"}, args, nargs, kwnames, a);
    const uint64_t sum = py::to_u64("a", a[0]) + py::to_u64("b", a[1]);  // wraps modulo 2**64
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, sum).ptr;
    try {
      return py::new_str({digits, static_cast<size_t>(end - digits)}).release();
    } catch (const py::PythonError&) {
      internal_error("failed to create the result string");
    }
  });
}

PyMethodDef sum_as_string_def = {
    "sum_as_string", py::method<&sum_as_string>(),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// m_size 0: a second import in the same interpreter calls the initialiser
// again, which hands back the module kept in the module state.
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

// The classes, in registration order; each creates its type on first request.
struct ModuleType {
  const char* name;
  PyTypeObject* (*get)();  // null with an error set on failure
};
constexpr ModuleType kModuleTypes[] = {
    {"Index", &index_type},
    {"Indexable", &indexable_type},
    {"FilteredIndex", &filtered_index_type},
    {"PyQueryExpr", &query_type},
};

void add_member(PyObject* module, const char* name, PyObject* obj) {
  if (!obj) py::throw_python_error();
  py::check_status(PyModule_AddObjectRef(module, name, obj));
}

void register_members(PyObject* module) {
  py::PyRef name = py::check(PyModule_GetNameObject(module));
  py::PyRef function = py::check(PyCFunction_NewEx(&sum_as_string_def, module, name.get()));
  py::PyRef fname = py::check(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(fname.get())) {
    py::raise(PyExc_TypeError, py::downcast_message(fname.get(), "PyString"));
  }
  add_member(module, std::string(py::utf8(fname.get())).c_str(), function.get());
  for (const ModuleType& t : kModuleTypes) add_member(module, t.name, reinterpret_cast<PyObject*>(t.get()));
  add_member(module, "InternalError", py::internal_error_type());
}

PyObject* init_module() {
  return py::guarded([]() -> PyObject* {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) py::throw_python_error();
    py::ModuleState& state = py::module_state();
    int64_t expected = -1;
    if (!state.first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      py::raise(PyExc_ImportError,
                "Calderwick does not support sub-interpreters: it can only be imported into the interpreter "
                "that imported it first");
    }
    if (state.module) return py::new_ref(state.module);
    py::PyRef module = py::check(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    register_members(module.get());
    state.module = module.clone().release();  // kept for the life of the process
    return module.release();
  });
}

}  // namespace
}  // namespace calderwick

PyMODINIT_FUNC PyInit_Calderwick(void) { return calderwick::init_module(); }
