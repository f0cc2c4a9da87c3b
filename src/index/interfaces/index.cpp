#include "index/interfaces/index.h"

#include <optional>

#include "absl/container/inlined_vector.h"

#include "index/binding/args.h"
#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/gil.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/core/prepared.h"
#include "index/core/query/query_ops.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/query.h"

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
    const WriteScope gate = py::write_scope();
    add_from_python(api_of(self), {&item, 1});
    return py::none();
  });
}

PyObject* index_collect(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const std::shared_ptr<IndexAPI>& api = shared_api_of(self);
    return collect_items(FilteredIndexCore{api, *py::read_detached(*api->allowed_ids()), UINT64_MAX});
  });
}

// The members that satisfy every keyword equality.
FilteredIndexCore select_by_keywords(PyObject* self, const char* fname, PyObject* args, PyObject* kwargs) {
  py::refuse_positionals(fname, args);
  const std::vector<QueryExpr> exprs = keyword_equalities(kwargs);
  const IndexAPI& api = api_of(self);
  return py::without_gil([&] { return api.reduced(exprs); });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* { return wrap_filtered(select_by_keywords(self, "reduced", args, kwargs)); });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    const FilteredIndexCore view = select_by_keywords(self, "get_by_attribute", args, kwargs);
    return collect_items(view);
  });
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    py::refuse_positionals("reduce", args);
    const std::vector<QueryExpr> exprs = keyword_equalities(kwargs);
    IndexAPI& api = api_of(self);
    // The gate keeps every other writer out from the evaluation to the end of
    // the narrowing: an object added meanwhile would otherwise be removed
    // without having been evaluated.
    const WriteScope gate = py::write_scope();
    py::without_gil([&] {
      // Evaluate, release every lock, then narrow: the narrowing takes the
      // query-maps lock itself, and a nested read could wait behind a writer.
      IdSet keep = api.reduced(exprs).ids;
      api.keep_only_from_bitmap(keep);
    });
    return py::none();
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("reduced_query", {"query"}, args, nargs, kwnames, a);
    const QueryExpr::Node expr = extract_query("query", a[0]);
    const IndexAPI& api = api_of(self);
    return wrap_filtered(py::without_gil([&] { return api.reduced_query(*expr); }));
  });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("add_object_many", {"objs"}, args, nargs, kwnames, a);
    std::vector<StoredItem> objects;
    const WriteScope gate = py::write_scope();
    for (py::PyRef& obj : py::extract_sequence("objs", a[0], "a str cannot be taken as a sequence of objects")) {
      if (!as_indexable(obj.get())) py::downcast_error("objs", obj.get(), "Indexable");
      objects.push_back(StoredItem::owning(std::move(obj)));
    }
    add_from_python(api_of(self), objects);
    return py::none();
  });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* a[1];
    py::bind_fast("union_with", {"other"}, args, nargs, kwnames, a);
    if (!PyObject_TypeCheck(a[0], index_type())) py::downcast_error("other", a[0], "Index");
    IndexAPI& target = api_of(self);
    const IndexAPI& source = api_of(a[0]);
    if (&target == &source) return py::none();
    const WriteScope gate = py::write_scope();  // `other` cannot change meanwhile
    // The members of `other` are taken out under its locks, which are then
    // released: the two indexes' locks are never held together, so merges in
    // opposite directions cannot wait on each other. Adding them as a batch
    // files every value, attribute and nested object `other` answers for, and
    // records `self` in each object's memberships.
    // The gate keeps `other` as it is, so its objects stay alive between
    // reading them and taking references to them with the GIL.
    std::vector<PyObject*> members;
    {
      py::GilRelease release;
      auto ids = source.allowed_ids()->read();
      auto items = source.items()->read();
      members.reserve(ids->cardinality());
      ids->for_each([&](uint32_t id) {
        if (id >= items->size() || (*items)[id].is_placeholder()) {
          internal_error("missing value: a member of the merged index has no stored object");
        }
        members.push_back((*items)[id].object());
      });
    }
    std::vector<StoredItem> objects;
    objects.reserve(members.size());
    for (PyObject* obj : members) objects.push_back(StoredItem::owning(py::PyRef::borrow(obj)));
    add_from_python(target, objects);
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

void add_from_python(IndexAPI& index, std::span<StoredItem> objects) {
  // One conversion for the batch: containers and objects held by many
  // members are walked once.
  PreparedElements prepared;
  absl::InlinedVector<NewMember, 1> batch;
  batch.reserve(objects.size());
  constexpr size_t kSample = 1024;
  for (StoredItem& item : objects) {
    if (batch.size() == kSample) prepared.expect(kSample, objects.size());
    const IndexableNative& native = item.native();
    prepared.add_object(native);
    batch.push_back(NewMember{&item, &native, &prepared});
  }
  py::GilRelease release;
  index.add_objects(batch);
}

PyObject* collect_items(const FilteredIndexCore& view) {
  // The list is made first, then filled under the items lock. The lookups
  // (ids, items) run without the GIL, writing bare pointers into the list
  // while the collector cannot see it; the references are then counted with
  // the GIL back, the lock still held. Nothing allocates and no Python code
  // runs while the lock is held. A small answer is not worth the GIL's round
  // trip and is filled with the GIL held throughout.
  constexpr uint64_t kFillWithoutGil = 512;
  const uint64_t bound = view.ids.cardinality();
  py::PyRef list = py::check(PyList_New(static_cast<Py_ssize_t>(bound)));
  PyObject** slots = py::list_slots(list.get());
  Py_ssize_t n = 0;
  const auto gather = [&](const Items& items) {
    view.for_each_object_batch(items, [&](std::span<PyObject* const> objects) {
      for (PyObject* obj : objects) slots[n++] = obj;
    });
  };
  if (bound < kFillWithoutGil) {
    auto items = py::read_detached(*view.source->items());
    gather(*items);
    py::count_references(slots, n);
  } else {
    const py::Untracked hidden(list.get());
    std::optional<ItemsLock::ReadGuard> items;
    {
      py::GilRelease release{py::GilRelease::KeepPending{}};  // back without running finalisers
      items.emplace(view.source->items()->read());
      gather(**items);
    }
    py::count_references(slots, n);
  }
  py::shrink_list(list.get(), n);  // views skip slots emptied since they were made
  return list.release();
}

PyTypeObject* index_type() { return py::type_from_spec(py::module_state().index_type, index_spec); }

PyObject* wrap_index(std::shared_ptr<IndexAPI> api) { return IndexClass::wrap(index_type(), std::move(api)).release(); }

}  // namespace calderwick
