#include "index/interfaces/classes.h"

#include <string>
#include <utility>

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"

namespace calderwick {
namespace {

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

// The constructor of row `Row` of the operator table: binds the operands the
// operator takes and builds one node.
template <size_t Row>
PyObject* constructor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr OpInfo info = kOperators[Row];
  return py::guarded([&]() -> PyObject* {
    if constexpr (info.operands == OpOperands::Operands) {
      py::refuse_keywords(info.python_name, kwnames);
      std::vector<QueryExpr::Node> children;
      children.reserve(static_cast<size_t>(nargs));
      for (Py_ssize_t i = 0; i < nargs; ++i) children.push_back(extract_query("exprs", args[i]));
      return wrap(QueryExpr::combine(info.op, std::move(children)));
    } else if constexpr (info.operands == OpOperands::Operand) {
      PyObject* a[1];
      py::bind_fast(info.python_name, {"exprs"}, args, nargs, kwnames, a);
      std::vector<QueryExpr::Node> children;
      children.push_back(extract_query("exprs", a[0]));
      return wrap(QueryExpr::combine(info.op, std::move(children)));
    } else if constexpr (info.operands == OpOperands::Bounds) {
      PyObject* a[3];
      py::bind_fast(info.python_name, {"attr", "lower", "upper"}, args, nargs, kwnames, a);
      SmallString attr = extract_attr(a[0]);
      PyValue lower = PyValue::from_borrowed(a[1]);
      PyValue upper = PyValue::from_borrowed(a[2]);
      return wrap(QueryExpr::on_attribute(info.op, std::move(attr), {std::move(lower), std::move(upper)}));
    } else if constexpr (info.operands == OpOperands::Values) {
      PyObject* a[2];
      py::bind_fast(info.python_name, {"attr", "values"}, args, nargs, kwnames, a);
      SmallString attr = extract_attr(a[0]);
      return wrap(QueryExpr::on_attribute(info.op, std::move(attr), extract_values(a[1])));
    } else {
      PyObject* a[2];
      py::bind_fast(info.python_name, {"attr", "value"}, args, nargs, kwnames, a);
      SmallString attr = extract_attr(a[0]);
      return wrap(QueryExpr::on_attribute(info.op, std::move(attr), {PyValue::from_borrowed(a[1])}));
    }
  });
}

// The parameter list of a constructor, as its text signature shows it.
const char* parameters(OpOperands operands) {
  switch (operands) {
    case OpOperands::Value: return "(attr, value)";
    case OpOperands::Bounds: return "(attr, lower, upper)";
    case OpOperands::Values: return "(attr, values)";
    case OpOperands::Operand: return "(exprs)";
    case OpOperands::Operands: return "(*exprs)";
  }
  return "()";
}

PyObject* query_repr(PyObject* obj) {
  return py::guarded([&]() -> PyObject* {
    const std::string text = "<QueryExpr: " + QueryClass::of(obj)->debug_string() + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Expressions are immutable: a copy, shallow or deep, is the object itself.
PyObject* query_copy(PyObject* self, PyObject*) { return py::new_ref(self); }

// One constructor per row of the operator table, in its order, then the
// copy methods; filled by query_type() before the type is created.
PyMethodDef query_methods[kOperatorCount + 3];

template <size_t... Rows>
void fill_constructors(std::index_sequence<Rows...>) {
  static const std::string docs[] = {(std::string(kOperators[Rows].python_name) + parameters(kOperators[Rows].operands) +
                                      "\n--\n\n")...};
  constexpr int kStaticFast = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
  ((query_methods[Rows] = {kOperators[Rows].python_name, py::method<&constructor<Rows>>(), kStaticFast,
                           docs[Rows].c_str()}),
   ...);
  query_methods[kOperatorCount] = {"__copy__", query_copy, METH_NOARGS, "__copy__($self)\n--\n\n"};
  query_methods[kOperatorCount + 1] = {"__deepcopy__", query_copy, METH_O, "__deepcopy__($self, memo)\n--\n\n"};
  query_methods[kOperatorCount + 2] = {nullptr, nullptr, 0, nullptr};
}

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

PyTypeObject* query_type() {
  PyTypeObject*& type = py::module_state().query_type;
  if (!type) fill_constructors(std::make_index_sequence<kOperatorCount>());
  return py::type_from_spec(type, query_spec);
}

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
