#include "index/indexable.h"

#include <algorithm>

#include "index/binding/args.h"
#include "index/binding/errors.h"
#include "index/binding/gil.h"
#include "index/core/id_alloc.h"
#include "index/core/index.h"
#include "index/core/prepared.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "index/types.h"

namespace calderwick {

IndexableNative IndexableNative::make_default() {
  IndexableNative n;
  n.indexes = std::make_shared<Mutex<Memberships>>();
  n.attributes = std::make_shared<Mutex<AttributeMap>>();
  n.id = allocate_id();
  n.owns_id = true;
  return n;
}

IndexableNative::IndexableNative(IndexableNative&& o) noexcept
    : indexes(std::move(o.indexes)), attributes(std::move(o.attributes)), id(o.id), owns_id(std::exchange(o.owns_id, false)) {}

IndexableNative::~IndexableNative() {
  if (owns_id) free_id(id);
}

IndexableNative IndexableNative::non_owning_copy() const {
  IndexableNative n;
  n.indexes = indexes;
  n.attributes = attributes;
  n.id = id;
  n.owns_id = false;
  return n;
}

void trim_indexes(Memberships& list, const IndexAPI* drop) {
  auto keep = std::remove_if(list.begin(), list.end(), [&](const IndexMeta& m) {
    const auto live = m.index.lock();
    return !live || live.get() == drop;
  });
  list.erase(keep, list.end());
}

namespace {

PyIndexable* self_of(PyObject* obj) { return reinterpret_cast<PyIndexable*>(obj); }

// Attribute name -> id: the lock-free snapshot first, the interner only for a
// name never seen before.
uint32_t attribute_id(std::string_view name) {
  if (auto id = INTERNER().snapshot()->get(name)) return *id;
  return INTERNER().intern(name);
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) py::throw_python_error();
  return {s, static_cast<size_t>(n)};
}

// Recycled instance memory of the exact Indexable type; guarded by the GIL.
constexpr int kFreeListSize = 512;
PyObject* free_list[kFreeListSize];
int free_count = 0;

PyObject* indexable_alloc(PyTypeObject* type, Py_ssize_t nitems) {
  if (type == INDEXABLE_TYPE() && free_count > 0) {
    PyObject* obj = free_list[--free_count];
    std::memset(obj, 0, type->tp_basicsize);
    return PyObject_Init(obj, type);
  }
  return PyType_GenericAlloc(type, nitems);
}

void indexable_free(void* obj) {
  if (Py_TYPE(static_cast<PyObject*>(obj)) == INDEXABLE_TYPE() && free_count < kFreeListSize) {
    free_list[free_count++] = static_cast<PyObject*>(obj);
  } else {
    PyObject_Free(obj);
  }
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args: ignored*/, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    if (kwargs && !PyDict_Check(kwargs)) py::downcast_error("kwargs", kwargs, "PyDict");
    // Convert every value before anything else, so a failure creates no
    // object and consumes no id.
    auto attributes = std::make_shared<Mutex<AttributeMap>>();
    if (kwargs) {
      auto& map = *attributes->lock();
      const Py_ssize_t size = PyDict_GET_SIZE(kwargs);
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        py::PyRef k = py::PyRef::borrow(key);  // the value's conversion may run Python code
        py::PyRef v = py::PyRef::borrow(value);
        const uint32_t id = attribute_id(utf8_of(k.get()));
        map.insert(id, PyValue::make(std::move(v)));
        if (PyDict_GET_SIZE(kwargs) != size) internal_error("dictionary changed size during iteration");
      }
    }
    IndexableNative native;
    native.indexes = std::make_shared<Mutex<Memberships>>();
    native.attributes = std::move(attributes);
    native.id = allocate_id();
    native.owns_id = true;

    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) py::throw_python_error();  // `native` releases the id
    new (&self_of(obj)->native) IndexableNative(std::move(native));
    return obj;
  });
}

void indexable_dealloc(PyObject* obj) {
  py::GilHeld held;
  PyTypeObject* type = Py_TYPE(obj);
  self_of(obj)->native.~IndexableNative();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* indexable_getattro(PyObject* obj, PyObject* name) {
  return py::guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) py::downcast_error("name", name, "PyString");
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (text) {
      {
        auto attrs = hold_attributes_detached(self_of(obj)->native);
        const uint32_t id = INTERNER().intern({text, static_cast<size_t>(n)});
        if (const PyValue* v = attrs->get(id)) return v->to_python().release();
      }
      if (PyObject* found = PyObject_GenericGetAttr(obj, name)) return found;
    } else {
      PyErr_SetString(PyExc_AttributeError, "Invalid attribute name");
    }
    // Missing attributes raise AttributeError whose only argument is the name.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetObject(PyExc_AttributeError, name);
    }
    py::throw_python_error();
  });
}

int indexable_setattro(PyObject* obj, PyObject* name, PyObject* value) {
  return py::guarded_as<int>(-1, [&]() -> int {
    if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
    if (!PyUnicode_Check(name)) py::downcast_error("name", name, "PyString");
    const std::string text(utf8_of(name));  // used after the GIL is released
    // Conversion first (container elements included): a value that cannot be
    // filed changes nothing.
    PyValue converted = PyValue::from_borrowed(value);
    PreparedElements prepared;
    prepared.add_value(converted);
    const IndexableNative& native = self_of(obj)->native;
    {
      // Held across every index update so that concurrent assignments to one
      // object apply one after the other. The records are copied: filing may
      // register the object with more (sub-)indexes meanwhile.
      MembershipsHold memberships = MembershipsHold::detached(*native.indexes);
      const Memberships records = *memberships;
      for (const IndexMeta& record : records) {
        py::GilRelease release;
        std::shared_ptr<IndexAPI> index = record.index.lock();
        if (!index) continue;  // destroyed: skipped, trimmed at the next registration
        const uint32_t id = attribute_id(text);
        AttributesHold attrs = hold_attributes(native);
        if (const PyValue* old = attrs->get(id)) index->remove_index(native.id, id, *old);
        index->add_index(native.id, id, converted, prepared);
      }
    }
    const uint32_t id = attribute_id(text);
    hold_attributes_detached(native)->insert(id, std::move(converted));
    return 0;
  });
}

PyObject* indexable_repr(PyObject* obj) {
  return py::guarded([&]() -> PyObject* {
    size_t n;
    {
      n = hold_attributes_detached(self_of(obj)->native)->size();
    }
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  });
}

PyObject* indexable_dir(PyObject* obj, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    py::PyRef result = py::check(PyList_New(0));
    {
      auto names = INTERNER().snapshot();
      auto attrs = hold_attributes_detached(self_of(obj)->native);
      attrs->for_each([&](uint32_t id, const PyValue&) {
        const std::string_view name = names->resolve(id);
        py::PyRef s = py::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        py::check_status(PyList_Append(result.get(), s.get()));
      });
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
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_alloc, reinterpret_cast<void*>(indexable_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(indexable_free)},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Calderwick.Indexable",
    sizeof(PyIndexable),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    indexable_slots,
};

}  // namespace

PyTypeObject* indexable_type() {
  if (PyTypeObject* t = INDEXABLE_TYPE()) return t;
  auto* t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&indexable_spec));
  if (t) set_indexable_type(t);  // kept for the life of the process
  return t;
}

}  // namespace calderwick

namespace calderwick {

template <typename T>
void ReentrantHold<T>::enter(Mutex<T>& m, bool detached, const char* poisoned_message) {
  if (const auto it = held().find(&m); it != held().end()) {
    data_ = it->second;  // already ours further up this thread's stack
    return;
  }
  guard_.emplace(detached ? py::lock_detached(m, poisoned_message) : m.lock(poisoned_message));
  mutex_ = &m;
  data_ = &**guard_;
  held().emplace(mutex_, data_);
}

template class ReentrantHold<AttributeMap>;
template class ReentrantHold<Memberships>;

}  // namespace calderwick
