#include "index/core/operations.h"

#include <algorithm>
#include <optional>

#include "absl/container/inlined_vector.h"
#include "index/binding/convert.h"
#include "index/binding/gil.h"
#include "index/common/heap_trim.h"
#include "index/common/write_gate.h"
#include "index/core/prepared.h"
#include "index/core/query/query_ops.h"

namespace calderwick::ops {
namespace {

// Objects in one add from which the free heap pages are given back after it
// (a trim costs about as much as filing a few thousand objects).
constexpr size_t kGiveBackAfter = size_t{1} << 16;

using Indexes = absl::InlinedVector<std::shared_ptr<IndexAPI>, 4>;
using Done = absl::InlinedVector<const IndexAPI*, 4>;

// The live indexes that have `object` as a member, except those in `done`,
// shallowest first. An index the object has left (narrowed away, or a
// sub-index whose last owner of it went) holds none of its values: it is
// not updated, and adding the object again files them all afresh. Under the
// gate.
Indexes holders_of(const IndexableNative& object, const Done& done) {
  Indexes found;
  for (const IndexMeta& record : memberships_of(object)) {
    std::shared_ptr<IndexAPI> index = record.index.lock();
    if (!index || std::find(done.begin(), done.end(), index.get()) != done.end()) continue;
    if (index->has_member(object.id)) found.push_back(std::move(index));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x->depth() < y->depth(); });
  return found;
}

// Moves `attribute` of `object` from `old` (what its map holds, or null) to
// `value` in `holders` and in every index that filing makes it a member of.
// Shallow indexes first, so that each sub-index sees its parents already
// moved. Filing a container or an object may register the object with more
// sub-indexes; those filed the old value from the map, and are moved in a
// further round. No GIL needed; the caller holds the gate until its store.
void move_in_indexes(const IndexableNative& object, uint32_t attribute, const PyValue* old, const PyValue& value,
                     const PreparedElements& prepared, Indexes holders) {
  Done done;
  while (!holders.empty()) {
    for (const std::shared_ptr<IndexAPI>& index : holders) {
      // Checked again after the first: updating a shallower index may have
      // taken the object's last owner in this one away (and a later round
      // may bring it back).
      if (index != holders.front() && !index->has_member(object.id)) continue;
      done.push_back(index.get());
      if (old) {
        index->replace_index(object.id, attribute, *old, value, prepared);
      } else {
        index->add_index(object.id, attribute, value, prepared);
      }
    }
    if (!value.nests()) return;  // a scalar registers nothing: one round covers every index
    holders = holders_of(object, done);
  }
}

}  // namespace

void add(IndexAPI& index, std::span<StoredItem> objects) {
  const WriteScope gate = py::write_scope();
  {
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
      batch.push_back(NewMember{&item, &native});
    }
    py::GilRelease release;
    index.add_objects(batch, prepared, &prepared);
  }
  // The batch's conversions, buffers and sorting space are free now, spread
  // through the heap: a large load gives them back rather than leave them
  // resident.
  if (objects.size() >= kGiveBackAfter) {
    py::GilRelease release;
    heap::give_back_free_pages();
  }
}

void merge(IndexAPI& target, const IndexAPI& source) {
  if (&target == &source) return;
  const WriteScope gate = py::write_scope();  // `source` cannot change meanwhile
  // The members of `source` are read under its locks, which are then
  // released: the two indexes' locks are never held together, so merges in
  // opposite directions cannot wait on each other. The gate keeps `source`
  // as it is, so its objects stay alive until they are referenced below.
  std::vector<PyObject*> members;
  {
    py::GilRelease release;
    auto ids = source.allowed_ids()->read();
    auto items = source.items()->read();
    members.reserve(ids->cardinality());
    ids->for_each([&](uint32_t id) {
      const StoredItem* item = items->find(id);
      if (item == nullptr) internal_error("missing value: a member of the merged index has no stored object");
      members.push_back(item->object());
    });
  }
  std::vector<StoredItem> objects;
  objects.reserve(members.size());
  for (PyObject* obj : members) objects.push_back(StoredItem::owning(py::PyRef::borrow(obj)));
  // As a batch: every value, attribute and nested object `source` answers
  // for is filed, and `target` is recorded in each object's memberships.
  add(target, objects);
}

void narrow(IndexAPI& index, const std::vector<QueryExpr>& equalities) {
  // The gate keeps every other writer out from the evaluation to the end of
  // the narrowing: an object added meanwhile would otherwise be removed
  // without having been evaluated.
  const WriteScope gate = py::write_scope();
  py::GilRelease release;
  // Evaluated with every lock released again before narrowing: the
  // narrowing takes the query maps' lock itself.
  const IdSet keep = index.reduced(equalities).ids;
  index.keep_only_from_bitmap(keep);
}

std::shared_ptr<IndexAPI> rebase(const FilteredIndexCore& view) {
  const WriteScope gate = py::write_scope();
  // The view's objects as they are now (slots emptied by a narrowing of the
  // source are skipped).
  std::vector<StoredItem> objects;
  {
    auto items = py::read_detached(*view.source->items());
    view.for_each_item(*items, [&](const StoredItem& item) {
      objects.push_back(StoredItem::owning(py::PyRef::borrow(item.object())));
    });
  }
  std::shared_ptr<IndexAPI> rebased = IndexAPI::make();
  add(*rebased, objects);
  return rebased;
}

void assign(IndexableNative& object, uint32_t attribute, PyValue value) {
  object.attributes.prefetch();  // read by every index update below
  // Every writer of indexed state holds the gate, so the memberships and the
  // stored value read below, the index updates and the final store form one
  // step; each is read once, here.
  const WriteScope gate = py::write_scope();
  Indexes holders = holders_of(object, {});
  // For the indexes holding the object, every container element is
  // converted, and the depth the value nests to below the deepest of them is
  // checked, before anything changes: a value that cannot be filed changes
  // nothing. An object in no index stores any value, as its constructor
  // does; adding it to an index checks it then.
  PreparedElements prepared;
  if (value.nests() && !holders.empty()) {
    prepared.add_value(value, holders.back()->depth());
    // Converting ran Python code, which may have added the object elsewhere.
    holders = holders_of(object, {});
  }
  const PyValue* old = attributes_of(object).get(attribute);
  if (!holders.empty()) {
    // Finalisers of references released meanwhile run after the final
    // store: one assigning this attribute again must find it stored.
    py::GilRelease release{py::GilRelease::KeepPending{}};
    move_in_indexes(object, attribute, old, value, prepared, std::move(holders));
  }
  // The old value is dropped last, after every lock, still inside the gate.
  const std::optional<PyValue> replaced = object.attributes.insert(attribute, std::move(value));
  retry_held_back_pending();  // the graph as stored now may have lost a cycle
  py::drain_pending();
}

void clear_attributes(IndexableNative& object) {
  std::vector<PyValue> dropped;  // released last, outside the gate
  if (!WRITE_GATE().try_enter()) return;
  const WriteScope gate(WriteScope::Adopt{});
  object.attributes.drain([&](uint32_t, PyValue&& v) { dropped.push_back(std::move(v)); });
}

FilteredIndexCore select(const IndexAPI& index, const std::vector<QueryExpr>& equalities) {
  return py::without_gil([&] { return index.reduced(equalities); });
}

FilteredIndexCore select(const IndexAPI& index, const QueryExpr& expr) {
  return py::without_gil([&] { return index.reduced_query(expr); });
}

FilteredIndexCore select(const FilteredIndexCore& view, const std::vector<QueryExpr>& equalities) {
  return py::without_gil([&] { return view.reduced_all(equalities); });
}

FilteredIndexCore select(const FilteredIndexCore& view, const QueryExpr& expr) {
  return py::without_gil([&] { return view.reduced_query(expr); });
}

FilteredIndexCore all_of(const std::shared_ptr<IndexAPI>& index) {
  return FilteredIndexCore{index, *py::read_detached(*index->allowed_ids()), UINT64_MAX};
}

py::PyRef collect(const FilteredIndexCore& view) {
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
  return list;
}

}  // namespace calderwick::ops
