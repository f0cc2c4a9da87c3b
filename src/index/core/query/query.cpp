#include "index/core/query/query.h"

#include "absl/container/flat_hash_set.h"
#include "index/binding/gil.h"
#include "index/common/write_gate.h"
#include "index/structures/id_alloc/id_alloc.h"
#include "index/core/index.h"
#include "index/core/prepared.h"

namespace calderwick {

namespace {

// Nested objects held back in every map of the process: while there are
// none (no cycle was ever met), removals skip the walk that retries them.
std::atomic<size_t> held_back_count{0};

// Sub-indexes that lost a link while something was held back, to be retried
// once the write that removed it is complete (see retry_held_back_pending).
// Only the write gate's holder touches it.
std::vector<std::weak_ptr<IndexAPI>> retry_roots;

void links_removed(IndexAPI& index) {
  if (held_back_count.load(std::memory_order_relaxed) > 0) retry_roots.push_back(index.weak_from_this());
}

}  // namespace

QueryMap::QueryMap(std::weak_ptr<IndexAPI> parent) : parent_(std::move(parent)) {}
QueryMap::~QueryMap() {
  held_back_count.fetch_sub(held_back_.size(), std::memory_order_relaxed);
  // The element ids handed out for the containers still filed here go back:
  // nothing outside this map names them. Lowest first, so that the next
  // ids drawn (most recently released first) come back in descending order,
  // as fresh element ids are drawn, and a new index's bitmaps stay dense.
  std::vector<uint32_t> ids;
  elements_.write()->for_each([&](uint32_t, std::span<const PyValue> values) {
    for (const PyValue& element : values) ids.push_back(element.spare());
  });
  std::sort(ids.begin(), ids.end());
  release_ids(ids);
}

IndexAPI* QueryMap::nested() const {
  const std::shared_ptr<IndexAPI>* p = nested_.get();
  return p ? p->get() : nullptr;
}

std::shared_ptr<IndexAPI> QueryMap::nested_shared() const {
  const std::shared_ptr<IndexAPI>* p = nested_.get();
  return p ? *p : nullptr;
}

IndexAPI& QueryMap::nested_or_create() {
  return *nested_.get_or_create([&] {
    const std::shared_ptr<IndexAPI> owner = parent_.lock();
    return owner ? IndexAPI::make_nested(owner, this) : IndexAPI::make();
  });
}

ExactMap& QueryMap::exact_or_create() {
  return exact_.get_or_create([] { return ExactMap(); });
}

namespace {

// Files into the map's own structures, each under its write lock.
class DirectSink final : public ValueSink {
 public:
  DirectSink(QueryMap& map, const PreparedElements& prepared) : map_(map), prepared_(prepared) {}
  void number(const Number& n, uint32_t id) override { map_.insert_num_ordered(n, id); }
  void string(std::string_view bytes, uint32_t id) override { map_.insert_str(bytes, id); }
  void boolean(bool b, uint32_t id) override { map_.insert_bool(b, id); }
  void indexable(const PyValue& value, uint32_t owner) override { map_.insert_indexable(value, owner, prepared_); }

 private:
  QueryMap& map_;
  const PreparedElements& prepared_;
};

}  // namespace

void QueryMap::insert(const PyValue& value, uint32_t id, const PreparedElements& prepared) {
  DirectSink sink(*this, prepared);
  insert_via(value, id, prepared, sink);
}

void QueryMap::insert_via(const PyValue& value, uint32_t id, const PreparedElements& prepared, ValueSink& sink) {
  Ancestry ancestry;
  insert_with(value, id, prepared, ancestry, sink);
}

void QueryMap::insert_with(const PyValue& value, uint32_t id, const PreparedElements& prepared, Ancestry& ancestry,
                           ValueSink& sink) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      sink.number(value.number(), id);
      break;
    case ValueKind::Str:
      sink.string(value.str_value(), id);
      break;
    case ValueKind::Bool:
      sink.boolean(value.bool_value(), id);
      break;
    case ValueKind::Iterable:
      insert_iterable(value, id, prepared, ancestry, sink);
      break;
    case ValueKind::Ind:
      insert_exact(value, id);
      sink.indexable(value, id);
      break;
    case ValueKind::Unknown:
      insert_exact(value, id);
      break;
  }
}

void QueryMap::insert_str(std::string_view bytes, uint32_t id) {
  auto strings = strings_.write();
  if (!*strings) *strings = std::make_unique<PositionalBitmap>();
  (*strings)->insert(bytes, id);
}

void QueryMap::replace_str(std::string_view old, std::string_view bytes, uint32_t id) {
  auto strings = strings_.write();
  if (!*strings) {
    // `old` was never filed here: `bytes` goes in whole.
    *strings = std::make_unique<PositionalBitmap>();
    (*strings)->insert(bytes, id);
    return;
  }
  (*strings)->queue_replace(old, bytes, id);
}

void QueryMap::insert_bool(bool b, uint32_t id) {
  auto bools = bools_.write();
  if (!*bools) *bools = std::make_unique<BoolSets>();
  (*bools)->of(b).bitmap().add(id);
}

void QueryMap::insert_num_ordered(const Number& n, uint32_t id) {
  auto numbers = numbers_.write();
  if (!*numbers) *numbers = std::make_unique<NumericalBitmap>();
  (*numbers)->insert(n, id);
}

void QueryMap::remove_num_ordered(const Number& n, uint32_t id) {
  auto numbers = numbers_.write();
  if (*numbers) (*numbers)->remove(n, id);
}

void QueryMap::replace_num_ordered(const Number& old, const Number& n, uint32_t id) {
  auto numbers = numbers_.write();
  if (!*numbers) {
    // `old` was never filed here: `n` goes in whole.
    *numbers = std::make_unique<NumericalBitmap>();
    (*numbers)->insert(n, id);
    return;
  }
  (*numbers)->queue_replace(NumericalBitmap::key_of(old), NumericalBitmap::key_of(n), id);
}

namespace {

// A read hold on a string or number structure whose queued moves are
// applied. Moves queued after the flush belong to assignments that have not
// returned yet.
template <typename T>
typename RwLock<std::unique_ptr<T>>::ReadGuard flushed_read(RwLock<std::unique_ptr<T>>& lock) {
  {
    auto held = lock.read();
    if (!*held || !(*held)->has_queued_moves()) {
      if (*held) (*held)->note_read();
      return held;
    }
  }
  if (auto structure = lock.write(); *structure) (*structure)->flush_all();
  auto held = lock.read();
  if (*held) (*held)->note_read();
  return held;
}

}  // namespace

RwLock<std::unique_ptr<PositionalBitmap>>::ReadGuard QueryMap::strings_for_query() const {
  return flushed_read(strings_);
}

RwLock<std::unique_ptr<NumericalBitmap>>::ReadGuard QueryMap::numbers_for_query() const {
  return flushed_read(numbers_);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto shard = exact_or_create().get_shard(value.stored_hash());
  const auto it = shard->find(value);
  if (it != shard->end()) {
    it->second.add(id);
  } else {
    HybridSet set;
    set.add(id);
    shard->emplace(value, std::move(set));
  }
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  ExactMap* exact = exact_.get();
  if (!exact) return;
  auto shard = exact->get_shard(value.stored_hash());
  const auto it = shard->find(value);
  if (it == shard->end()) return;
  it->second.remove(id);
  if (it->second.is_empty()) shard->erase(it);  // no id holds the value any more
}

void QueryMap::insert_iterable(const PyValue& iterable, uint32_t owner, const PreparedElements& prepared,
                               Ancestry& ancestry, ValueSink& sink) {
  const PyObject* container = iterable.object();
  if (std::find(ancestry.begin(), ancestry.end(), container) != ancestry.end()) return;  // holds itself
  std::optional<std::span<const PyValue>> elements = prepared.find(container);
  PreparedElements late;
  const PreparedElements* source = &prepared;
  if (!elements) {
    // Not converted up front: the container became a value after the caller
    // prepared (another thread assigned it meanwhile). Convert it now.
    py::GilAcquire gil;
    PyValue whole = PyValue::from_borrowed(const_cast<PyObject*>(container));
    late.add_value(whole);
    elements = late.find(container);
    source = &late;
  }
  ElementLocks* held = sink.element_locks();
  // Filing the same owner again replaces what the earlier filing stored
  // (a bulk writer's caller forgot its owners up front).
  if (!held) remove_iterable(owner);
  if (elements->empty()) return;  // nothing filed, nothing to undo
  const size_t n = elements->size();
  absl::InlinedVector<uint32_t, 8> eids(n);
  allocate_element_ids(std::span(eids));
  ElementRecords::Values record(n);
  for (size_t i = 0; i < n; ++i) {
    record[i] = (*elements)[i];
    record[i].set_spare(eids[i]);  // the element id
  }
  const auto book = [&](auto& owners, auto& masked) {
    for (uint32_t eid : eids) owners->prefetch(eid);  // misses taken together
    for (uint32_t eid : eids) owners->put(eid, owner);
    masked->add_many(eids.data(), n);
  };
  if (held) {
    book(held->owners, held->masked);
  } else {
    auto owners = mask_owner_.write();
    auto masked = masked_ids_.write();
    book(owners, masked);
  }
  ancestry.push_back(container);
  for (const PyValue& e : record) insert_with(e, e.spare(), *source, ancestry, sink);
  ancestry.pop_back();
  if (held) {
    held->elements->insert(owner, std::span(record));
  } else {
    elements_.write()->insert(owner, std::span(record));
  }
}

uint32_t ElementRecords::place_for(uint32_t n) {
  if (const uint32_t start = free_[n]; start != kNone) {
    free_[n] = at(start)->spare();
    at(start)->set_spare(0);
    return start;
  }
  if (end_ % kPage + n > kPage) end_ += kPage - end_ % kPage;  // the page's tail is too short
  if (end_ / kPage == pages_.size()) pages_.push_back(std::make_unique<PyValue[]>(kPage));
  const uint32_t start = end_;
  end_ += n;
  return start;
}

void ElementRecords::release(const Place& place) {
  for (uint32_t i = 0; i < place.size; ++i) *at(place.start + i) = PyValue();
  at(place.start)->set_spare(free_[place.size]);
  free_[place.size] = place.start;
}

void ElementRecords::insert(uint32_t owner, std::span<PyValue> values) {
  if (const Place place = places_.take(owner); place.size) release(place);
  large_.erase(owner);
  if (values.empty()) return;
  const auto n = static_cast<uint32_t>(values.size());
  if (n > kPooled) {
    ElementRecord record(n);
    for (uint32_t i = 0; i < n; ++i) record[i] = std::move(values[i]);
    large_.emplace(owner, std::move(record));
    return;
  }
  const uint32_t start = place_for(n);
  for (uint32_t i = 0; i < n; ++i) *at(start + i) = std::move(values[i]);
  places_.put(owner, Place{start, n});
}

std::span<const PyValue> ElementRecords::find(uint32_t owner) const {
  if (const Place* place = places_.find(owner)) return {at(place->start), place->size};
  if (const auto it = large_.find(owner); it != large_.end()) return {it->second.begin(), it->second.end()};
  return {};
}

bool ElementRecords::take(uint32_t owner, Values& out) {
  out.clear();
  if (const Place place = places_.take(owner); place.size) {
    for (uint32_t i = 0; i < place.size; ++i) out.push_back(std::move(*at(place.start + i)));
    release(place);
    return true;
  }
  const auto it = large_.find(owner);
  if (it == large_.end()) return false;
  for (size_t i = 0; i < it->second.size(); ++i) out.push_back(std::move(it->second[i]));
  large_.erase(it);
  return true;
}

void ElementRecords::reserve(size_t owners, size_t values, uint32_t last_owner) {
  places_.reserve(owners, last_owner);
  // Pages for the values, as many as they fill; a short tail per page may
  // ask for one more later.
  const size_t pages = (size_t{end_} + values + kPage - 1) / kPage;
  pages_.reserve(pages);
}

ElementLocks::ElementLocks(QueryMap& map)
    : elements(map.elements_.write()), owners(map.mask_owner_.write()), masked(map.masked_ids_.write()) {}

void QueryMap::remove_iterable(uint32_t owner) {
  ElementRecords::Values record;
  if (!elements_.write()->take(owner, record)) return;
  for (const PyValue& element : record) {
    const uint32_t eid = element.spare();
    {
      auto owners = mask_owner_.write();
      owners->take(eid);
      masked_ids_.write()->remove(eid);
    }
    remove_id(element, eid);
    free_id(eid);
  }
}

bool QueryMap::below_top_level() const {
  const std::shared_ptr<IndexAPI> index = parent_.lock();
  return index && !index->parent().expired();
}

bool QueryMap::leads_back(uint32_t nested_id, uint32_t owner) const {
  std::shared_ptr<IndexAPI> index = parent_.lock();
  // Below a top-level index nothing holds the owner: the common case costs
  // no set.
  if (!index || index->parent().expired()) return false;
  // The objects that hold `owner`'s object, level by level up to the
  // top-level index. Pairs may name container element ids as owners; each
  // level translates them back to objects through the map that handed them
  // out. The owner itself is not an ancestor: an object may hold itself once.
  IdSet level{owner};
  unmask_ids(level);
  for (;;) {
    std::shared_ptr<IndexAPI> up = index->parent().lock();
    if (!up || level.is_empty()) return false;
    level = index->get_parent_from_ids(level);
    index->owner_map()->unmask_ids(level);  // valid: `up` owns it and is held
    if (level.contains(nested_id)) return true;
    index = std::move(up);
  }
}

void QueryMap::insert_indexable(const PyValue& value, uint32_t owner, const PreparedElements& prepared) {
  const DeferredIndexable one{this, value, owner};
  const DeferredIndexable* batch[] = {&one};
  insert_indexables(batch, prepared);
}

void QueryMap::insert_indexables(std::span<const DeferredIndexable* const> batch, const PreparedElements& prepared) {
  // A nested object that already holds its owner, directly or through other
  // objects and containers, is not filed again below it: the sub-index tree
  // follows attribute paths, and a path that leads back into one of its own
  // owners would recurse without end. Checked for the whole batch before
  // anything changes: the check reads only the levels above this map, which
  // filing below it never touches.
  absl::InlinedVector<const DeferredIndexable*, 1> filed;
  if (below_top_level()) {
    for (const DeferredIndexable* d : batch) {
      const uint32_t id = indexable_of(d->value).id;
      if (!leads_back(id, d->owner)) {
        filed.push_back(d);
      } else if (held_back_.insert_or_assign({d->owner, id}, d->value).second) {
        held_back_count.fetch_add(1, std::memory_order_relaxed);
      }
    }
  } else {
    filed.assign(batch.begin(), batch.end());  // nothing above holds an owner
  }
  if (filed.empty()) return;
  IndexAPI& nested = nested_or_create();
  if (nested.depth() > PreparedElements::kMaxNesting) nesting_too_deep();
  absl::InlinedVector<std::pair<uint32_t, uint32_t>, 1> links;
  links.reserve(filed.size());
  for (const DeferredIndexable* d : filed) links.emplace_back(d->owner, indexable_of(d->value).id);
  // Objects not yet members join once each, in order of first appearance.
  absl::InlinedVector<const DeferredIndexable*, 1> joining;
  {
    // Many owners share few nested objects: each distinct one is looked up
    // among the members once.
    auto members = nested.allowed_ids()->read();
    absl::flat_hash_set<uint32_t, FxIdHash> seen;
    for (const DeferredIndexable* d : filed) {
      const uint32_t id = indexable_of(d->value).id;
      if (seen.insert(id).second && !members->contains(id)) joining.push_back(d);
    }
  }
  nested.parent_links()->write()->add_pairs(links);
  if (joining.empty()) return;
  absl::InlinedVector<StoredItem, 1> items;
  absl::InlinedVector<NewMember, 1> members;
  items.reserve(joining.size());
  members.reserve(joining.size());
  for (const DeferredIndexable* d : joining) {
    items.push_back(StoredItem::sharing(d->value));
    members.push_back(NewMember{&items.back(), &indexable_of(d->value)});
  }
  nested.add_objects(members, prepared);
}

void QueryMap::remove_indexable(const PyValue& value, uint32_t owner) {
  const IndexableNative& object = indexable_of(value);
  if (!held_back_.empty() && held_back_.erase({owner, object.id})) {
    held_back_count.fetch_sub(1, std::memory_order_relaxed);
  }
  IndexAPI* nested = this->nested();
  if (!nested) return;
  {
    auto links = nested->parent_links()->write();
    // No pair: the object was never filed below this owner (it leads back
    // into it), so there is nothing to undo.
    if (!links->contains_pair(owner, object.id)) return;
    links->remove_pair(owner, object.id);
    if (links->owner_count(object.id) > 0) {
      links.unlock();
      links_removed(*nested);  // it may have been what made another object lead back
      return;
    }
  }
  // The last owner is gone: the object leaves the sub-index entirely.
  attributes_of(object).for_each([&](uint32_t attribute, const PyValue& v) { nested->remove_index(object.id, attribute, v); });
  nested->allowed_ids()->write()->remove(object.id);
  StoredItem dropped;
  {
    auto items = nested->items()->write();
    dropped = items->take(object.id);
  }
  links_removed(*nested);
}

void QueryMap::retry_held_back() {
  if (!held_back_.empty()) {
    std::vector<std::pair<uint32_t, PyValue>> again;  // (owner, object)
    for (auto it = held_back_.begin(); it != held_back_.end();) {
      if (leads_back(it->first.second, it->first.first)) {
        ++it;
        continue;
      }
      again.emplace_back(it->first.first, std::move(it->second));
      held_back_.erase(it++);
      held_back_count.fetch_sub(1, std::memory_order_relaxed);
    }
    // Their containers were converted when first filed and are converted
    // again as they are filed (under the GIL, which filing takes).
    const PreparedElements none;
    for (const auto& [owner, value] : again) insert_indexable(value, owner, none);
  }
  if (IndexAPI* below = nested()) retry_held_back_in(*below);
}

void retry_held_back_pending() {
  if (!WRITE_GATE().held_by_this_thread()) internal_error("held-back objects retried outside the write gate");
  while (!retry_roots.empty()) {
    for (const std::weak_ptr<IndexAPI>& root : std::exchange(retry_roots, {})) {
      if (const std::shared_ptr<IndexAPI> index = root.lock()) retry_held_back_in(*index);
    }
  }
}

void retry_held_back_in(const IndexAPI& index) {
  if (held_back_count.load(std::memory_order_relaxed) == 0) return;
  auto maps = index.query_maps()->read();
  for (const auto& map : *maps) {
    if (map) map->retry_held_back();
  }
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      remove_num_ordered(value.number(), id);
      break;
    case ValueKind::Str: {
      auto strings = strings_.write();
      if (*strings) (*strings)->remove(value.str_value(), id);
      break;
    }
    case ValueKind::Bool: {
      auto bools = bools_.write();
      if (*bools) (*bools)->of(value.bool_value()).bitmap().remove(id);
      break;
    }
    case ValueKind::Iterable:
      remove_iterable(id);
      break;
    case ValueKind::Ind:
      remove_exact(value, id);
      remove_indexable(value, id);
      break;
    case ValueKind::Unknown:
      remove_exact(value, id);
      break;
  }
}

void QueryMap::keep_only(const IdSet& keep, const IdSet& removed) {
  std::vector<uint32_t> owners_gone;
  {
    auto elements = elements_.read();
    if (!elements->empty()) {
      removed.for_each([&](uint32_t id) {
        if (elements->contains(id)) owners_gone.push_back(id);
      });
    }
  }
  for (uint32_t owner : owners_gone) remove_iterable(owner);

  IdSet kept = keep;
  kept.or_inplace(*masked_ids_.read());  // element ids of kept owners
  if (ExactMap* exact = exact_.get()) {
    exact->for_each_shard_write([&](ExactMap::Map& shard) {
      for (auto it = shard.begin(); it != shard.end();) {
        it->second.keep_only(kept);
        if (it->second.is_empty()) {
          shard.erase(it++);
        } else {
          ++it;
        }
      }
    });
  }
  if (auto strings = strings_.write(); *strings) (*strings)->keep_only(kept);
  if (auto numbers = numbers_.write(); *numbers) (*numbers)->keep_only(kept);
  if (auto bools = bools_.write(); *bools) {
    (*bools)->true_ids.bitmap().and_inplace(kept);
    (*bools)->false_ids.bitmap().and_inplace(kept);
  }

  // Owners narrowed away hold nothing back any more.
  const size_t held = held_back_.size();
  absl::erase_if(held_back_, [&](const auto& entry) { return !kept.contains(entry.first.first); });
  held_back_count.fetch_sub(held - held_back_.size(), std::memory_order_relaxed);
  IndexAPI* nested = this->nested();
  if (!nested) return;
  IdSet children;
  {
    auto links = nested->parent_links()->write();
    links->remove_lefts(removed);
    children = links->all_rights();
  }
  nested->keep_only_from_bitmap(children);
}

void QueryMap::unmask_ids(IdSet& ids) const {
  // Element ids may own further element ids (containers in containers):
  // translate level by level until only object ids remain.
  for (;;) {
    IdSet elements;
    {
      auto masked = masked_ids_.read();
      if (masked->is_empty()) return;
      elements = IdSet::and_(ids, *masked);
    }
    if (elements.is_empty()) return;
    ids.andnot_inplace(elements);
    std::vector<uint32_t> owners;
    owners.reserve(elements.cardinality());
    {
      auto owner_of = mask_owner_.read();
      elements.for_each([&](uint32_t eid) {
        if (const uint32_t* owner = owner_of->find(eid)) owners.push_back(*owner);
      });
    }
    // Element ids are drawn downwards, so the elements of owners filed later
    // have lower ids: read in ascending order, the owners of objects filed in
    // order come in descending order, put in order in one pass. Reused ids
    // can mix the order; a sort takes care of that.
    if (std::is_sorted(owners.begin(), owners.end(), std::greater<>())) {
      std::reverse(owners.begin(), owners.end());
    } else if (!std::is_sorted(owners.begin(), owners.end())) {
      std::sort(owners.begin(), owners.end());
    }
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
    ids.or_inplace(IdSet::from_sorted(owners));
  }
}

}  // namespace calderwick
