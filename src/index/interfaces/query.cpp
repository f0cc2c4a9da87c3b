#include "index/interfaces/query.h"

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"

namespace calderwick {
namespace {

using Op = QueryExpr::Op;

using QueryClass = py::PyClass<QueryExpr::Node>;

SmallString extract_attr(PyObject* obj) {
  if (!PyUnicode_Check(obj)) py::downcast_error("attr", obj, "PyString");
  return SmallString(py::utf8(obj));  // an encoding error is raised as it is
}

std::vector<PyValue> extract_values(PyObject* obj) {
  std::vector<PyValue> values;
  for (py::PyRef& item : py::extract_sequence("values", obj, "a str cannot be taken as a sequence of values")) {
    values.push_back(PyValue::make(std::move(item)));
  }
  return values;
}

PyObject* wrap(QueryExpr expr) {
  return QueryClass::wrap(query_type(), std::make_shared<const QueryExpr>(std::move(expr))).release();
}

// attr, value -> one node.
template <Op O>
PyObject* single(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"eq", "ne", "not_", "in_", "and_", "or_", "gt", "ge", "lt", "le", "bt",
                                             "starts_with", "ends_with", "contains"};
    PyObject* a[2];
    py::bind_fast(kNames[static_cast<int>(O)], {"attr", "value"}, args, nargs, kwnames, a);
    SmallString attr = extract_attr(a[0]);
    return wrap(QueryExpr::on_attribute(O, std::move(attr), {PyValue::from_borrowed(a[1])}));
  });
}

PyObject* bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[3];
    py::bind_fast("bt", {"attr", "lower", "upper"}, args, nargs, kwnames, a);
    SmallString attr = extract_attr(a[0]);
    PyValue lower = PyValue::from_borrowed(a[1]);
    PyValue upper = PyValue::from_borrowed(a[2]);
    return wrap(QueryExpr::on_attribute(Op::Bt, std::move(attr), {std::move(lower), std::move(upper)}));
  });
}

PyObject* in_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[2];
    py::bind_fast("in_", {"attr", "values"}, args, nargs, kwnames, a);
    SmallString attr = extract_attr(a[0]);
    return wrap(QueryExpr::on_attribute(Op::In, std::move(attr), extract_values(a[1])));
  });
}

template <Op O>
PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::refuse_keywords(O == Op::And ? "and_" : "or_", kwnames);
    std::vector<QueryExpr::Node> children;
    children.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) children.push_back(extract_query("exprs", args[i]));
    return wrap(QueryExpr::combine(O, std::move(children)));
  });
}

PyObject* not_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("not_", {"exprs"}, args, nargs, kwnames, a);
    std::vector<QueryExpr::Node> children;
    children.push_back(extract_query("exprs", a[0]));
    return wrap(QueryExpr::combine(Op::Not, std::move(children)));
  });
}

PyObject* query_repr(PyObject* obj) {
  return py::guarded([&]() -> PyObject* {
    const std::string text = "<QueryExpr: " + QueryClass::of(obj)->debug_string() + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Expressions are immutable: a copy, shallow or deep, is the object itself.
PyObject* query_copy(PyObject* self, PyObject*) { return py::new_ref(self); }

constexpr int kStaticFast = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef query_methods[] = {
    {"eq", py::method<&single<Op::Eq>>(), kStaticFast, "eq(attr, value)\n--\n\n"},
    {"ne", py::method<&single<Op::Ne>>(), kStaticFast, "ne(attr, value)\n--\n\n"},
    {"gt", py::method<&single<Op::Gt>>(), kStaticFast, "gt(attr, value)\n--\n\n"},
    {"ge", py::method<&single<Op::Ge>>(), kStaticFast, "ge(attr, value)\n--\n\n"},
    {"le", py::method<&single<Op::Le>>(), kStaticFast, "le(attr, value)\n--\n\n"},
    {"bt", py::method<&bt>(), kStaticFast, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", py::method<&single<Op::Lt>>(), kStaticFast, "lt(attr, value)\n--\n\n"},
    {"in_", py::method<&in_>(), kStaticFast, "in_(attr, values)\n--\n\n"},
    {"and_", py::method<&combine<Op::And>>(), kStaticFast, "and_(*exprs)\n--\n\n"},
    {"or_", py::method<&combine<Op::Or>>(), kStaticFast, "or_(*exprs)\n--\n\n"},
    {"not_", py::method<&not_>(), kStaticFast, "not_(exprs)\n--\n\n"},
    {"starts_with", py::method<&single<Op::StartsWi>>(), kStaticFast, "starts_with(attr, value)\n--\n\n"},
    {"ends_with", py::method<&single<Op::EndsWi>>(), kStaticFast, "ends_with(attr, value)\n--\n\n"},
    {"contains", py::method<&single<Op::Contains>>(), kStaticFast, "contains(attr, value)\n--\n\n"},
    {"__copy__", query_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", query_copy, METH_O, "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&QueryClass::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_methods, query_methods},
    {0, nullptr},
};

// Not subclassable: no Py_TPFLAGS_BASETYPE.
PyType_Spec query_spec = {"Calderwick.PyQueryExpr", sizeof(QueryClass::Box), 0, Py_TPFLAGS_DEFAULT, query_slots};

}  // namespace

const QueryExpr::Node& extract_query(const char* arg, PyObject* obj) {
  PyTypeObject* type = py::module_state().query_type;
  if (!type || Py_TYPE(obj) != type) py::downcast_error(arg, obj, "PyQueryExpr");
  return QueryClass::of(obj);
}

PyTypeObject* query_type() { return py::type_from_spec(py::module_state().query_type, query_spec); }

std::vector<QueryExpr> keyword_equalities(PyObject* kwargs) {
  std::vector<std::pair<SmallString, PyValue>> pairs;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      pairs.emplace_back(SmallString(py::utf8(key)), PyValue::from_borrowed(value));
    }
  }
  return equalities(std::move(pairs));
}

}  // namespace calderwick
