#include "index/interfaces/classes.h"

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/core/operations.h"
#include "index/structures/id_alloc/id_alloc.h"
#include "index/structures/string_interner/string_interner.h"
#include "index/indexable.h"

namespace calderwick {
namespace {

const IndexableNative& native_of(PyObject* obj) { return IndexableClass::of(obj); }

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args: ignored*/, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    if (kwargs && !PyDict_Check(kwargs)) py::downcast_error("kwargs", kwargs, "PyDict");
    // Convert every value before anything else, so a failure creates no
    // object and consumes no id.
    IndexableNative native;
    if (kwargs) {
      AttributeMap& map = native.attributes;
      const Py_ssize_t size = PyDict_GET_SIZE(kwargs);
      map.reserve(static_cast<size_t>(size));
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        py::PyRef k = py::PyRef::borrow(key);  // the value's conversion may run Python code
        py::PyRef v = py::PyRef::borrow(value);
        const uint32_t id = attribute_id(k.get());
        map.insert(id, PyValue::attribute(std::move(v)));
        if (PyDict_GET_SIZE(kwargs) != size) internal_error("dictionary changed size during iteration");
      }
    }
    native.id = allocate_id();
    return IndexableClass::wrap(type, std::move(native)).release();  // a failure releases the id
  });
}

// The collector's view of an object: every Python reference its attribute
// values own. Every write to an attribute map happens with the GIL held
// (assignment's final store, and clear below), so while the collector runs
// nothing changes the map; index code on threads without the GIL only reads
// it. Every visit therefore reports the same references.
int visit_attributes(const IndexableNative& native, visitproc visit, void* arg) {
  int status = 0;
  native.attributes.for_each([&](uint32_t, const PyValue& value) {
    if (status == 0 && value.object()) status = visit(value.object(), arg);
  });
  return status;
}

// Breaks a garbage cycle by emptying the attribute map.
int indexable_clear(PyObject* obj) {
  py::GilHeld held;  // the collector runs with the GIL
  ops::clear_attributes(IndexableClass::of(obj));
  return 0;
}

PyObject* indexable_getattro(PyObject* obj, PyObject* name) {
  return py::guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) py::downcast_error("name", name, "PyString");
    std::string_view text;
    try {
      text = py::utf8(name);
    } catch (const py::PythonError&) {
      py::attribute_error(name);
    }
    // Writers hold the GIL too, so the map holds still while it is read.
    if (const auto id = INTERNER().snapshot()->get(text)) {
      if (const PyValue* v = native_of(obj).attributes.get(*id)) return v->to_python().release();
    }
    return py::generic_getattr(obj, name).release();
  });
}

int indexable_setattro(PyObject* obj, PyObject* name, PyObject* value) {
  return py::guarded_as<int>(-1, [&]() -> int {
    if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
    if (!PyUnicode_Check(name)) py::downcast_error("name", name, "PyString");
    IndexableNative& native = IndexableClass::of(obj);
    const uint32_t id = attribute_id(name);
    PyValue converted = PyValue::attribute(py::PyRef::borrow(value));
    ops::assign(native, id, std::move(converted));
    return 0;
  });
}

PyObject* indexable_repr(PyObject* obj) {
  return py::guarded([&]() -> PyObject* {
    const size_t n = native_of(obj).attributes.size();
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  });
}

PyObject* indexable_dir(PyObject* obj, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    py::PyRef result = py::check(PyList_New(0));
    {
      // The ids first: making the strings runs the allocator, and so maybe
      // a finaliser that assigns to this very object.
      std::vector<uint32_t> ids;
      native_of(obj).attributes.for_each([&](uint32_t id, const PyValue&) { ids.push_back(id); });
      auto names = INTERNER().snapshot();
      for (uint32_t id : ids) {
        py::PyRef s = py::new_str(names->resolve(id));
        py::check_status(PyList_Append(result.get(), s.get()));
      }
    }
    py::PyRef builtins = py::check(PyImport_ImportModule("builtins"));
    py::PyRef object_type = py::check(PyObject_GetAttrString(builtins.get(), "object"));
    py::PyRef dir_method = py::check(PyObject_GetAttrString(object_type.get(), "__dir__"));
    py::PyRef base = py::check(PyObject_CallOneArg(dir_method.get(), obj));
    if (!PyList_Check(base.get())) py::raise(PyExc_TypeError, py::downcast_message(base.get(), "PyList"));
    const Py_ssize_t n = PyList_GET_SIZE(base.get());
    for (Py_ssize_t i = 0; i < n; ++i) py::check_status(PyList_Append(result.get(), PyList_GET_ITEM(base.get(), i)));
    return result.release();
  });
}

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, "__dir__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&IndexableClass::gc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&IndexableClass::traverse<&visit_attributes>)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Calderwick.Indexable",
    sizeof(IndexableClass::Box),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots,
};

}  // namespace

PyTypeObject* indexable_type() { return py::type_from_spec(py::module_state().indexable_type, indexable_spec); }

}  // namespace calderwick
