#include "index/interfaces/classes.h"

#include "index/binding/args.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/core/operations.h"

namespace calderwick {
namespace {

using FilteredClass = py::PyClass<FilteredIndexCore>;

const FilteredIndexCore& core_of(PyObject* self) { return FilteredClass::of(self); }

PyObject* filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    py::refuse_positionals("reduced", args);
    const std::vector<QueryExpr> exprs = keyword_equalities(kwargs);
    return wrap_filtered(ops::select(core_of(self), exprs));
  });
}

PyObject* filtered_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("reduced_query", {"query"}, args, nargs, kwnames, a);
    const QueryExpr::Node expr = extract_query("query", a[0]);
    return wrap_filtered(ops::select(core_of(self), *expr));
  });
}

PyObject* filtered_collect(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* { return ops::collect(core_of(self)).release(); });
}

PyObject* filtered_rebase(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* { return wrap_index(ops::rebase(core_of(self))); });
}

PyMethodDef filtered_methods[] = {
    {"reduced", py::method<&filtered_reduced>(), METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", py::method<&filtered_reduced_query>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", filtered_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", filtered_rebase, METH_NOARGS, "rebase($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot filtered_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&FilteredClass::dealloc)},
    {Py_tp_methods, filtered_methods},
    {0, nullptr},
};

PyType_Spec filtered_spec = {"Calderwick.FilteredIndex", sizeof(FilteredClass::Box), 0, Py_TPFLAGS_DEFAULT,
                             filtered_slots};

}  // namespace

PyTypeObject* filtered_index_type() {
  return py::type_from_spec(py::module_state().filtered_index_type, filtered_spec);
}

PyObject* wrap_filtered(FilteredIndexCore core) {
  return FilteredClass::wrap(filtered_index_type(), std::move(core)).release();
}

}  // namespace calderwick
