#include "index/interfaces/classes.h"

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/core/operations.h"

namespace calderwick {
namespace {

using IndexClass = py::PyClass<std::shared_ptr<IndexAPI>>;

const std::shared_ptr<IndexAPI>& shared_api_of(PyObject* self) { return IndexClass::of(self); }
IndexAPI& api_of(PyObject* self) { return *shared_api_of(self); }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    py::refuse_arguments("Index", args, kwargs);
    return IndexClass::wrap(type, IndexAPI::make()).release();
  });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* arg[1];
    py::bind_fast("add_object", {"py_ref"}, args, nargs, kwnames, arg);
    if (!as_indexable(arg[0])) py::downcast_error("py_ref", arg[0], "Indexable");
    StoredItem item = StoredItem::owning(py::PyRef::borrow(arg[0]));
    ops::add(api_of(self), {&item, 1});
    return py::none();
  });
}

PyObject* index_collect(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* { return ops::collect(ops::all_of(shared_api_of(self))).release(); });
}

// The members that satisfy every keyword equality.
FilteredIndexCore select_by_keywords(PyObject* self, const char* fname, PyObject* args, PyObject* kwargs) {
  py::refuse_positionals(fname, args);
  return ops::select(api_of(self), keyword_equalities(kwargs));
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* { return wrap_filtered(select_by_keywords(self, "reduced", args, kwargs)); });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    return ops::collect(select_by_keywords(self, "get_by_attribute", args, kwargs)).release();
  });
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    py::refuse_positionals("reduce", args);
    ops::narrow(api_of(self), keyword_equalities(kwargs));
    return py::none();
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("reduced_query", {"query"}, args, nargs, kwnames, a);
    const QueryExpr::Node expr = extract_query("query", a[0]);
    return wrap_filtered(ops::select(api_of(self), *expr));
  });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("add_object_many", {"objs"}, args, nargs, kwnames, a);
    std::vector<py::PyRef> given = py::extract_sequence("objs", a[0], "a str cannot be taken as a sequence of objects");
    std::vector<StoredItem> objects;
    objects.reserve(given.size());
    for (py::PyRef& obj : given) {
      if (!as_indexable(obj.get())) py::downcast_error("objs", obj.get(), "Indexable");
      objects.push_back(StoredItem::owning(std::move(obj)));
    }
    std::vector<py::PyRef>().swap(given);  // not held through the load
    ops::add(api_of(self), objects);
    return py::none();
  });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("union_with", {"other"}, args, nargs, kwnames, a);
    if (!PyObject_TypeCheck(a[0], index_type())) py::downcast_error("other", a[0], "Index");
    ops::merge(api_of(self), api_of(a[0]));
    return py::none();
  });
}

PyMethodDef index_methods[] = {
    {"collect", index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduced", py::method<&index_reduced>(), METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduce", py::method<&index_reduce>(), METH_VARARGS | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", py::method<&index_get_by_attribute>(), METH_VARARGS | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", py::method<&index_add_object_many>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", py::method<&index_add_object>(), METH_FASTCALL | METH_KEYWORDS, "add_object($self, py_ref)\n--\n\n"},
    {"reduced_query", py::method<&index_reduced_query>(), METH_FASTCALL | METH_KEYWORDS, "reduced_query($self, query)\n--\n\n"},
    {"union_with", py::method<&index_union_with>(), METH_FASTCALL | METH_KEYWORDS, "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&IndexClass::dealloc)},
    {Py_tp_methods, index_methods},
    {0, nullptr},
};

PyType_Spec index_spec = {"Calderwick.Index", sizeof(IndexClass::Box), 0, Py_TPFLAGS_DEFAULT, index_slots};

}  // namespace

PyTypeObject* index_type() { return py::type_from_spec(py::module_state().index_type, index_spec); }

PyObject* wrap_index(std::shared_ptr<IndexAPI> api) { return IndexClass::wrap(index_type(), std::move(api)).release(); }

}  // namespace calderwick
