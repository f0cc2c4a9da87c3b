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

const AttributeMap& attributes_of(const IndexableNative& o) {
  if (!WRITE_GATE().held_by_this_thread()) internal_error("attribute map read by index code outside the write gate");
  return o.attributes->unguarded();
}

Mutex<AttributeMap>::Guard hold_attributes_detached(const IndexableNative& o) {
  return py::lock_detached(*o.attributes, kCannotReadIndexable);
}

Memberships memberships_of(const IndexableNative& o) { return *o.indexes->lock(); }

void trim_indexes(Memberships& list, const IndexAPI* drop) {
  auto keep = std::remove_if(list.begin(), list.end(), [&](const IndexMeta& m) {
    const auto live = m.index.lock();
    return !live || live.get() == drop;
  });
  list.erase(keep, list.end());
}

namespace {

PyIndexable* self_of(PyObject* obj) { return reinterpret_cast<PyIndexable*>(obj); }

// The depth of the deepest index that has the object as a member (0 for
// none or only top-level indexes). Needs the GIL.
int deepest_membership(const IndexableNative& object) {
  int depth = 0;
  for (const IndexMeta& record : memberships_of(object)) {
    const auto live = record.index.lock();
    if (live && live->has_member(object.id)) depth = std::max(depth, live->depth());
  }
  return depth;
}

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
  PyObject_GC_UnTrack(obj);
  // Dropping the attribute map releases the values, which may be the last
  // reference to the next object of a long chain: the trashcan defers deep
  // deallocations instead of recursing once per link.
  Py_TRASHCAN_BEGIN(obj, indexable_dealloc)
  self_of(obj)->native.~IndexableNative();
  type->tp_free(obj);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// The collector's view of an object: its type and every Python reference its
// attribute values own. Every write to an attribute map happens with the GIL
// held (assignment's final store, and clear below), so while the collector
// runs nothing changes the map; index code on threads without the GIL only
// reads it. Reading without the mutex therefore never blocks and reports the
// same references on every visit.
int indexable_traverse(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  const auto& attributes = self_of(obj)->native.attributes;
  if (!attributes) return 0;  // allocated, not yet built
  int status = 0;
  attributes->unguarded().for_each([&](uint32_t, const PyValue& value) {
    if (status == 0 && value.object()) status = visit(value.object(), arg);
    if (const auto* stored = std::get_if<StoredIndexable>(&value.cast())) {
      if (status == 0) status = visit(stored->python_handle->get(), arg);
    }
  });
  return status;
}

// Breaks a garbage cycle by emptying the attribute map, under the write gate
// like every other change to a map. The values are dropped after the locks
// are released. A map that some thread holds right now, or a gate that a
// writer holds, leaves the cycle for a later collection.
int indexable_clear(PyObject* obj) {
  py::GilHeld held;  // the collector runs with the GIL
  const auto& attributes = self_of(obj)->native.attributes;
  if (!attributes) return 0;
  std::vector<PyValue> dropped;  // released last, outside every lock
  if (!WRITE_GATE().try_enter()) return 0;
  const WriteScope gate(WriteScope::Adopt{});
  try {
    std::optional<Mutex<AttributeMap>::Guard> guard;
    if (!attributes->try_lock_into(guard, kCannotReadIndexable)) return 0;
    (*guard)->drain([&](uint32_t, PyValue&& v) { dropped.push_back(std::move(v)); });
  } catch (const std::exception&) {
    return 0;  // poisoned: nothing can read the map anyway
  }
  return 0;
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
    PyValue converted = PyValue::from_borrowed(value);
    const IndexableNative& native = self_of(obj)->native;
    // Every writer of indexed state holds the gate, so the memberships read
    // below, the index updates and the final store form one step.
    const WriteScope gate = py::write_scope();
    // Every container element is converted, and the depth the value nests to
    // below the deepest index holding the object is checked, before anything
    // changes: a value that cannot be filed changes nothing.
    PreparedElements prepared;
    prepared.add_value(converted, deepest_membership(native));
    std::optional<PyValue> replaced;  // dropped last, after every lock
    {
      // Indexes are updated shallow first, so that each sub-index sees its
      // parents already moved to the new value. Filing may register the
      // object with more sub-indexes meanwhile; those filed the old value
      // from the map, and are moved to the new one in a further round. The
      // gate keeps every other writer out until the final store.
      std::vector<const IndexAPI*> done;
      for (;;) {
        std::vector<std::shared_ptr<IndexAPI>> pending;
        for (const IndexMeta& record : memberships_of(native)) {
          std::shared_ptr<IndexAPI> index = record.index.lock();
          if (!index || std::find(done.begin(), done.end(), index.get()) != done.end()) continue;
          // An index the object has left (narrowed away, or a sub-index whose
          // last owner of it went) is not updated: it holds none of the
          // object's values, and re-adding files them all again.
          if (index->has_member(native.id)) pending.push_back(std::move(index));
        }
        if (pending.empty()) break;
        std::stable_sort(pending.begin(), pending.end(),
                         [](const auto& x, const auto& y) { return x->depth() < y->depth(); });
        // Finalisers of references released meanwhile run after the final
        // store: one assigning this attribute again must find it stored.
        py::GilRelease release{py::GilRelease::KeepPending{}};
        const uint32_t id = attribute_id(text);
        for (const std::shared_ptr<IndexAPI>& index : pending) {
          // Checked again: updating a shallower index may have taken the
          // object's last owner in this one away (and a later round may
          // bring it back).
          if (!index->has_member(native.id)) continue;
          done.push_back(index.get());
          if (const PyValue* old = attributes_of(native).get(id)) index->remove_index(native.id, id, *old);
          index->add_index(native.id, id, converted, prepared);
        }
      }
    }
    const uint32_t id = attribute_id(text);
    replaced = hold_attributes_detached(native)->insert(id, std::move(converted));
    py::drain_pending();
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
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Calderwick.Indexable",
    sizeof(PyIndexable),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
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
