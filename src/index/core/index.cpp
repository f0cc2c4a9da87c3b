#include "index/core/index.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <optional>

#include "index/common/heap_trim.h"
#include "index/common/write_gate.h"
#include "index/core/prepared.h"
#include "index/core/query/delayed_query.h"

namespace calderwick {

IndexAPI::IndexAPI(Private, std::weak_ptr<IndexAPI> parent, const QueryMap* owner_map, int depth)
    : query_maps_(std::make_shared<RwLock<QueryMaps>>()),
      items_(std::make_shared<ItemsLock>()),
      allowed_ids_(std::make_shared<RwLock<IdSet>>()),
      parent_links_(std::make_shared<RwLock<M2MU32>>()),
      parent_(std::move(parent)),
      owner_map_(owner_map),
      depth_(depth) {}

namespace {

// Top-level indexes alive, the placeholder aside.
std::atomic<int64_t> live_top_level{0};
// Trims when an index goes: now and then while others live, and every time
// the last one goes, so that a program that has dropped every index is back
// near the size it had before it made them (with little left to give back,
// a trim costs well under a microsecond).
heap::TrimThrottle trim_on_drop{std::chrono::milliseconds{200}};

}  // namespace

std::shared_ptr<IndexAPI> IndexAPI::make() {
  live_top_level.fetch_add(1, std::memory_order_relaxed);
  // A top-level index takes its sub-indexes and every structure with it
  // when it goes, and the free heap pages that leaves are given back.
  return std::shared_ptr<IndexAPI>(new IndexAPI(Private{}, std::weak_ptr<IndexAPI>{}, nullptr, 0), [](IndexAPI* index) {
    delete index;
    if (live_top_level.fetch_sub(1, std::memory_order_relaxed) == 1) {
      heap::give_back_free_pages();
    } else {
      trim_on_drop.trim();
    }
  });
}

std::shared_ptr<IndexAPI> IndexAPI::make_nested(const std::shared_ptr<IndexAPI>& parent, const QueryMap* owner_map) {
  return std::make_shared<IndexAPI>(Private{}, parent, owner_map, parent->depth() + 1);
}

void IndexAPI::store_item(Items& items, uint32_t id, StoredItem item) {
  const StoredItem* held = items.find(id);
  if (held && held->object() == item.object()) return;  // `item` goes with the caller's scope
  item.stamp = stamps_.fetch_add(1, std::memory_order_relaxed) + 1;
  StoredItem previous = items.put(id, std::move(item));
  (void)previous;  // dropped here, after the slot already holds the new item
}

void IndexAPI::add_objects(std::span<const NewMember> batch, const PreparedElements& prepared,
                           PreparedElements* owned) {
  if (batch.empty()) return;
  // Registered, then stored; the attribute maps are read under the write
  // gate, so no assignment can change them before their values are filed.
  uint32_t max_id = 0;
  const std::weak_ptr<IndexAPI> self = weak_from_this();
  for (const NewMember& m : batch) {
    register_index(*m.native, self);
    max_id = std::max(max_id, m.native->id);
  }
  {
    auto items = items_->write();
    items->reserve(batch.size(), max_id);
    for (const NewMember& m : batch) store_item(*items, m.native->id, std::move(*m.item));
  }
  if (batch.size() == 1) {
    // One object: each value goes straight into its structures, which costs
    // less than taking every map's bulk writer for a handful of values.
    const uint32_t id = batch[0].native->id;
    attributes_of(*batch[0].native).for_each(
        [&](uint32_t attribute, const PyValue& value) { add_index(id, attribute, value, prepared); });
    add_members(batch);
    if (parent_.expired()) retry_held_back_pending();
    return;
  }
  // Each object once: a batch that lists one twice is filed from a copy
  // without the repeats.
  std::vector<NewMember> distinct;
  {
    IdSet seen;
    for (size_t i = 0; i < batch.size(); ++i) {
      const uint32_t id = batch[i].native->id;
      if (!seen.contains(id)) {
        seen.add(id);
        if (!distinct.empty()) distinct.push_back(batch[i]);
      } else if (distinct.empty()) {
        distinct.assign(batch.begin(), batch.begin() + static_cast<ptrdiff_t>(i));
      }
    }
  }
  const std::span<const NewMember> members = distinct.empty() ? batch : std::span<const NewMember>(distinct);
  file_in_bulk(members, prepared, owned);
  // The member bits are set last, so a query (which only returns members)
  // never sees an object whose values are not all filed.
  add_members(members);
  // Containers filed again forgot their old elements, which may have been
  // what made nested objects lead back into their owners.
  if (parent_.expired()) retry_held_back_pending();
}

void IndexAPI::add_members(std::span<const NewMember> members) {
  auto allowed = allowed_ids_->write();
  for (const NewMember& m : members) allowed->add(m.native->id);
  // Members are mostly long stretches of consecutive ids: as runs, every
  // query's final cut to the members is a merge instead of a bit test per
  // hit. Compressed again after every kRunOptimizeAfter new members.
  unoptimized_members_ += members.size();
  if (unoptimized_members_ >= kRunOptimizeAfter) {
    allowed->run_optimize();
    unoptimized_members_ = 0;
  }
}

void IndexAPI::file_in_bulk(std::span<const NewMember> members, const PreparedElements& prepared,
                            PreparedElements* owned) {
  {
    // Re-filing a container replaces what was filed for it before; that
    // removal takes the structure locks the writers are about to hold, so
    // it happens first. A new index has nothing to forget.
    auto maps = query_maps_->read();
    if (!maps->empty()) {
      for (const NewMember& m : members) {
        attributes_of(*m.native).for_each([&](uint32_t attribute, const PyValue& value) {
          if (value.kind() == ValueKind::Iterable && attribute < maps->size() && (*maps)[attribute]) {
            (*maps)[attribute]->forget_elements(m.native->id);
          }
        });
      }
    }
  }

  std::vector<DeferredIndexable> deferred;
  if (members.size() >= kParallelFiling && std::thread::hardware_concurrency() > 1) {
    file_by_attribute(members, prepared, owned, deferred);
  } else {
    file_by_member(members, prepared, deferred);
  }
  file_nested(deferred, prepared);
}

void IndexAPI::file_nested(std::span<const DeferredIndexable> deferred, const PreparedElements& prepared) {
  // Each map's nested objects as one batch, in their order within the map.
  std::vector<const DeferredIndexable*> by_map(deferred.size());
  for (size_t i = 0; i < deferred.size(); ++i) by_map[i] = &deferred[i];
  const auto by_map_order = [](const DeferredIndexable* a, const DeferredIndexable* b) { return a->map < b->map; };
  if (!std::is_sorted(by_map.begin(), by_map.end(), by_map_order)) {
    std::stable_sort(by_map.begin(), by_map.end(), by_map_order);
  }
  for (size_t start = 0; start < by_map.size();) {
    size_t end = start;
    while (end < by_map.size() && by_map[end]->map == by_map[start]->map) ++end;
    by_map[start]->map->insert_indexables(std::span<const DeferredIndexable* const>(by_map).subspan(start, end - start), prepared);
    start = end;
  }
}

void IndexAPI::file_by_member(std::span<const NewMember> members, const PreparedElements& prepared,
                              std::vector<DeferredIndexable>& deferred) {
  std::optional<RwLock<QueryMaps>::ReadGuard> maps;
  std::vector<std::unique_ptr<BulkQueryMapAdder>> adders;
  auto open_adders = [&] {
    maps.emplace(query_maps_->read());
    adders.resize((*maps)->size());
    for (size_t slot = 0; slot < adders.size(); ++slot) {
      if ((**maps)[slot]) adders[slot] = std::make_unique<BulkQueryMapAdder>(*(**maps)[slot]);
    }
  };
  auto close_adders = [&] {
    adders.clear();  // flushes, in slot order
    maps.reset();
  };
  open_adders();
  for (const NewMember& m : members) {
    const uint32_t id = m.native->id;
    attributes_of(*m.native).for_each([&](uint32_t attribute, const PyValue& value) {
      if (attribute < adders.size() && adders[attribute]) {
        adders[attribute]->add(value, id, prepared, deferred);
        return;
      }
      // A new attribute: every buffer reaches its bitmap before the writers
      // go, the map is installed, and fresh writers cover it too.
      close_adders();
      add_index(id, attribute, value, prepared);
      open_adders();
    });
  }
  close_adders();
}

namespace {

// What the sample of a batch says of one attribute.
struct AttributeSample {
  uint64_t cost = 0;
  uint64_t containers = 0;
  uint64_t elements = 0;
  uint64_t objects = 0;  // values or elements that are objects
};

// Adds `value` to its attribute's sample. The cost is relative: a number sets
// a few dozen slice bits, a string a cell per byte, a container files each of
// its elements.
void sample_value(AttributeSample& sample, const PyValue& value, const PreparedElements& prepared) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: sample.cost += 8; break;
    case ValueKind::Str: sample.cost += 2 + value.str_value().size(); break;
    case ValueKind::Iterable: {
      const auto elements = prepared.find(value.object());
      const size_t n = elements ? elements->size() : 0;
      sample.cost += 4 + 8 * n;
      sample.containers += 1;
      sample.elements += n;
      for (size_t i = 0; i < n; ++i) sample.objects += (*elements)[i].kind() == ValueKind::Ind;
      break;
    }
    case ValueKind::Ind:
      sample.cost += 2;
      sample.objects += 1;
      break;
    default: sample.cost += 2;
  }
}

}  // namespace

void IndexAPI::file_by_attribute(std::span<const NewMember> members, const PreparedElements& prepared,
                                 PreparedElements* owned, std::vector<DeferredIndexable>& deferred) {
  // Every attribute gets its map first; then each attribute's values go
  // into its map on one thread, two threads taking attributes in turn. A
  // map is written by one thread only, and the objects hold still (the
  // caller holds the write gate), so the threads share nothing but the id
  // allocator and the pending-release pool, which are made for it.
  std::vector<uint32_t> attributes;
  std::vector<bool> nesting;  // by attribute: some member holds a container or an object there
  {
    IdSet seen;
    for (const NewMember& m : members) {
      attributes_of(*m.native).for_each([&](uint32_t attribute, const PyValue& value) {
        if (!seen.contains(attribute)) {
          seen.add(attribute);
          attributes.push_back(attribute);
        }
        if (value.nests()) {
          if (attribute >= nesting.size()) nesting.resize(size_t{attribute} + 1);
          nesting[attribute] = true;
        }
      });
    }
    auto maps = query_maps_->write();
    for (uint32_t attribute : attributes) {
      if (attribute >= maps->size()) maps->resize(size_t(attribute) + 1);
      if (!(*maps)[attribute]) (*maps)[attribute] = std::make_unique<QueryMap>(weak_from_this());
    }
  }
  // The costliest attributes first, so that neither thread is left with a
  // long one at the end while the other has run out of work.
  std::vector<AttributeSample> sample(attributes.empty() ? 0 : *std::max_element(attributes.begin(), attributes.end()) + 1);
  const size_t sampled = std::min(members.size(), kCostSample);
  for (size_t i = 0; i < sampled; ++i) {
    const NewMember& m = members[i * members.size() / sampled];
    attributes_of(*m.native).for_each(
        [&](uint32_t attribute, const PyValue& value) { sample_value(sample[attribute], value, prepared); });
  }
  std::stable_sort(attributes.begin(), attributes.end(),
                   [&](uint32_t a, uint32_t b) { return sample[a].cost > sample[b].cost; });
  // Objects held by values are filed below, into their maps' sub-indexes,
  // which only the gate's holder may do. This thread files the attributes
  // the sample shows holding objects first, each followed by its nested
  // objects, while the helper files the other attributes.
  std::vector<uint32_t> holding;
  std::erase_if(attributes, [&](uint32_t a) {
    if (!sample[a].objects) return false;
    holding.push_back(a);
    return true;
  });
  uint32_t last_member = 0;
  for (const NewMember& m : members) last_member = std::max(last_member, m.native->id);
  auto maps = query_maps_->read();
  std::atomic<size_t> next{0};
  std::vector<DeferredIndexable> helper_deferred;
  std::exception_ptr helper_failure;
  // Files the values of members [from, to) under `attribute`; the first
  // stretch of an attribute makes room in its container tables for all.
  const auto file_stretch = [&](uint32_t attribute, size_t from, size_t to, std::vector<DeferredIndexable>& out) {
    BulkQueryMapAdder adder(*(*maps)[attribute]);
    if (const AttributeSample& seen = sample[attribute]; seen.containers && from == 0) {
      adder.element_locks()->expect(seen.containers * members.size() / sampled, seen.elements * members.size() / sampled,
                                    last_member);
    }
    // Objects lie scattered over the heap: each object, then its
    // attribute array, then a container value's converted elements, are
    // asked for a few members ahead of their turn.
    constexpr size_t kObjectAhead = 16, kAttributesAhead = 8, kElementsAhead = 4;
    for (size_t i = from; i < to; ++i) {
      if (i + kObjectAhead < to) __builtin_prefetch(members[i + kObjectAhead].native);
      if (i + kAttributesAhead < to) attributes_of(*members[i + kAttributesAhead].native).prefetch();
      if (i + kElementsAhead < to) {
        const NewMember& ahead = members[i + kElementsAhead];
        const PyValue* value = attributes_of(*ahead.native).get(attribute);
        if (value && value->kind() == ValueKind::Iterable) {
          prepared.prefetch(value->object());
          adder.element_locks()->prefetch(ahead.native->id);
        }
      }
      const NewMember& m = members[i];
      if (const PyValue* value = attributes_of(*m.native).get(attribute)) {
        adder.add(*value, m.native->id, prepared, out);
      }
    }
  };
  // The conversions are read only while attributes holding containers or
  // objects are filed: a load that owns them frees them once the last such
  // attribute and the stretches of nested objects are done, rather than
  // hold them while the other attributes finish (the numbers, last, sort
  // their keys then).
  std::atomic<size_t> still_converting{1};  // the stretches, then each such attribute
  const auto nests = [&](uint32_t attribute) { return attribute < nesting.size() && nesting[attribute]; };
  if (owned) {
    for (uint32_t attribute : attributes) still_converting += nests(attribute);
  }
  const auto converted_done = [&] {
    if (owned && still_converting.fetch_sub(1, std::memory_order_acq_rel) == 1) owned->release();
  };
  const auto file_attribute = [&](uint32_t attribute, std::vector<DeferredIndexable>& out) {
    file_stretch(attribute, 0, members.size(), out);
    if (nests(attribute)) converted_done();
  };
  const auto work = [&](std::vector<DeferredIndexable>& out) {
    for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < attributes.size();) {
      file_attribute(attributes[k], out);
    }
  };
  std::thread helper([&] {
    const GateHelper acting;
    try {
      work(helper_deferred);
    } catch (...) {
      helper_failure = std::current_exception();
    }
  });
  try {
    // A stretch of members at a time, each followed by its nested objects:
    // what is held for them (the deferred objects, the owner links) stays a
    // few MiB and is reused, instead of growing with the batch and leaving
    // its freed blocks behind in the heap.
    std::vector<DeferredIndexable> stretch;
    for (uint32_t attribute : holding) {
      for (size_t from = 0; from < members.size(); from += kNestedStretch) {
        file_stretch(attribute, from, std::min(members.size(), from + kNestedStretch), stretch);
        file_nested(stretch, prepared);
        stretch.clear();
      }
    }
    converted_done();
    work(deferred);
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (helper_failure) std::rethrow_exception(helper_failure);
  deferred.insert(deferred.end(), std::make_move_iterator(helper_deferred.begin()),
                  std::make_move_iterator(helper_deferred.end()));
}

void IndexAPI::add_index(uint32_t id, uint32_t attribute, const PyValue& value, const PreparedElements& prepared) {
  for (;;) {
    {
      auto maps = query_maps_->read();
      if (attribute < maps->size() && (*maps)[attribute]) {
        (*maps)[attribute]->insert(value, id, prepared);
        return;
      }
    }
    // First value of this attribute here: install an empty map (unless
    // another thread installed one meanwhile), then file the value into
    // whichever map the slot holds, under the read lock like every writer.
    auto fresh = std::make_unique<QueryMap>(weak_from_this());
    auto maps = query_maps_->write();
    if (attribute >= maps->size()) maps->resize(size_t(attribute) + 1);
    if (!(*maps)[attribute]) (*maps)[attribute] = std::move(fresh);
  }
}

void IndexAPI::remove_index(uint32_t id, uint32_t attribute, const PyValue& old) {
  auto maps = query_maps_->read();
  if (attribute >= maps->size() || !(*maps)[attribute]) return;
  (*maps)[attribute]->remove_id(old, id);
}

void IndexAPI::replace_index(uint32_t id, uint32_t attribute, const PyValue& old, const PyValue& value,
                             const PreparedElements& prepared) {
  const bool numbers = old.is_number() && value.is_number();
  if (numbers || (old.kind() == ValueKind::Str && value.kind() == ValueKind::Str)) {
    auto maps = query_maps_->read();
    if (attribute < maps->size() && (*maps)[attribute]) {
      if (numbers) {
        (*maps)[attribute]->replace_num_ordered(old.number(), value.number(), id);
      } else {
        (*maps)[attribute]->replace_str(old.str_value(), value.str_value(), id);
      }
      return;
    }
  }
  remove_index(id, attribute, old);
  add_index(id, attribute, value, prepared);
}

IdSet IndexAPI::get_parent_from_ids(const IdSet& ids) const {
  // The exact record, not the nibble slices: the slices can name an owner
  // that is not paired with these ids, which would be a wrong answer.
  auto links = parent_links_->read();
  return links->is_empty() ? IdSet() : links->lefts_of_all(ids);
}

void register_index(const IndexableNative& object, const std::weak_ptr<IndexAPI>& index) {
  if (!WRITE_GATE().held_by_this_thread()) internal_error("membership recorded outside the write gate");
  // The objects of a batch mostly share one list, and leave it for the same one.
  if (repeat_join(object, index)) return;
  const uint32_t from = memberships_handle(object);
  Memberships list = memberships_of(object);
  const size_t before = list.size();
  trim_indexes(list, DEFAULT_INDEX_ARC().get());
  // Same control block, same index: a dead record cannot share it with a
  // live index, so no upgrade is needed to compare.
  const auto same = [&](const IndexMeta& m) { return !m.index.owner_before(index) && !index.owner_before(m.index); };
  const std::shared_ptr<IndexAPI> target = index.lock();
  if (std::none_of(list.begin(), list.end(), same) && target && target != DEFAULT_INDEX_ARC()) {
    const auto at = std::upper_bound(list.begin(), list.end(), target.get(), [](const IndexAPI* t, const IndexMeta& m) {
      return std::less<>()(t, m.index.lock().get());
    });
    list.insert(at, IndexMeta{index});
  } else if (list.size() == before) {
    remember_join(from, index, from);  // nothing changed
    return;
  }
  set_memberships(object, std::move(list));
  remember_join(from, index, memberships_handle(object));
}

const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC() {
  static const auto* placeholder = new std::shared_ptr<IndexAPI>(
      std::make_shared<IndexAPI>(IndexAPI::Private{}, std::weak_ptr<IndexAPI>{}, nullptr, 0));
  return *placeholder;
}

}  // namespace calderwick
