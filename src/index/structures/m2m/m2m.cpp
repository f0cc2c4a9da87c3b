#include "index/structures/m2m/m2m.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace calderwick {

static_assert(std::endian::native == std::endian::little, "an inline partner is the word's high half");

M2MU32::Partners::~Partners() {
  if (word_ && !is_inline()) std::free(heap());
}

size_t M2MU32::Partners::size() const {
  if (!word_) return 0;
  return is_inline() ? 1 : heap()->size;
}

const uint32_t* M2MU32::Partners::begin() const {
  if (is_inline()) return reinterpret_cast<const uint32_t*>(&word_) + 1;
  return word_ ? heap()->ids : nullptr;
}

bool M2MU32::Partners::contains(uint32_t id) const { return std::find(begin(), end(), id) != end(); }

void M2MU32::Partners::push_back(uint32_t id) {
  if (!word_) {
    word_ = (uint64_t{id} << 32) | kInline;
    return;
  }
  if (is_inline()) {
    auto* h = static_cast<Heap*>(std::malloc(sizeof(Heap) + 3 * sizeof(uint32_t)));
    if (!h) throw std::bad_alloc();
    h->size = 1;
    h->capacity = 4;
    h->ids[0] = static_cast<uint32_t>(word_ >> 32);
    word_ = reinterpret_cast<uint64_t>(h);
  } else if (heap()->size == heap()->capacity) {
    const uint32_t capacity = heap()->capacity * 2;
    auto* h = static_cast<Heap*>(std::realloc(heap(), sizeof(Heap) + (capacity - 1) * sizeof(uint32_t)));
    if (!h) throw std::bad_alloc();
    h->capacity = capacity;
    word_ = reinterpret_cast<uint64_t>(h);
  }
  heap()->ids[heap()->size++] = id;
}

bool M2MU32::Partners::erase_unordered(uint32_t id) {
  if (is_inline()) {
    if (static_cast<uint32_t>(word_ >> 32) != id) return false;
    word_ = 0;
    return true;
  }
  if (!word_) return false;
  Heap* h = heap();
  uint32_t* it = std::find(h->ids, h->ids + h->size, id);
  if (it == h->ids + h->size) return false;
  *it = h->ids[--h->size];
  if (h->size == 0) {
    std::free(h);
    word_ = 0;
  }
  return true;
}

IdSet NibbleIndexU32::union_all() const {
  IdSet all;
  for (const IdSet& s : sets_) all.or_inplace(s);
  return all;
}

bool M2MU32::record_pair(uint32_t left, uint32_t right) {
  Partners& lefts = lefts_by_right_[right];
  Partners& rights = rights_by_left_[left];
  // The shorter list answers: an object shared by thousands of owners is
  // not scanned once per owner.
  if (lefts.size() <= rights.size() ? lefts.contains(left) : rights.contains(right)) return false;
  lefts.push_back(left);
  rights.push_back(right);
  ++pair_count_;
  return true;
}

bool M2MU32::add_pair(uint32_t left, uint32_t right) {
  if (!record_pair(left, right)) return false;
  for (size_t i = 0; i < kPositions; ++i) {
    by_left_[i][nibble_of(left, i)].add(right);
    by_right_[i][nibble_of(right, i)].add(left);
  }
  return true;
}

void M2MU32::add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs) {
  // A few pairs: each slice write on its own costs less than gathering.
  if (pairs.size() < 16) {
    for (const auto& [left, right] : pairs) add_pair(left, right);
    return;
  }
  // A chunk at a time, so that the gathered ids stay a few hundred KiB.
  constexpr size_t kChunk = size_t{1} << 15;
  if (pairs.size() > kChunk) {
    for (size_t at = 0; at < pairs.size(); at += kChunk) add_pairs(pairs.subspan(at, std::min(kChunk, pairs.size() - at)));
    return;
  }
  // What each slice set gains, gathered first and written once per set.
  // Rights (nested objects, often shared by many owners) are noted per
  // right as a mask of the sets they join; lefts (owners, mostly ascending
  // and distinct) go into lists.
  absl::flat_hash_map<uint32_t, std::array<uint16_t, kPositions>, FxIdHash> right_sets;
  std::vector<uint32_t> to_right[kPositions][NibbleIndexU32::kValues];
  // Lefts are mostly distinct, so each one's record is a miss somewhere in
  // a large table: asked for a few pairs ahead.
  constexpr size_t kAhead = 8;
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (k + kAhead < pairs.size()) rights_by_left_.prefetch(pairs[k + kAhead].first);
    const auto [left, right] = pairs[k];
    if (!record_pair(left, right)) continue;
    std::array<uint16_t, kPositions>& sets = right_sets[right];
    for (size_t i = 0; i < kPositions; ++i) {
      sets[i] |= static_cast<uint16_t>(1u << nibble_of(left, i));
      to_right[i][nibble_of(right, i)].push_back(left);
    }
  }
  for (const auto& [right, sets] : right_sets) {
    for (size_t i = 0; i < kPositions; ++i) {
      for (uint32_t mask = sets[i]; mask; mask &= mask - 1) by_left_[i][std::countr_zero(mask)].add(right);
    }
  }
  for (size_t i = 0; i < kPositions; ++i) {
    for (size_t v = 0; v < NibbleIndexU32::kValues; ++v) {
      std::vector<uint32_t>& ids = to_right[i][v];
      if (ids.empty()) continue;
      if (!std::is_sorted(ids.begin(), ids.end())) std::sort(ids.begin(), ids.end());
      by_right_[i][v].add_many(ids);
    }
  }
}

// The bit `id` in slices[i][nibble_of(key, i)] was set by the removed pair and
// must stay set if a surviving partner of `id` shares key's nibble i; every
// other set the surviving partners need is untouched by the removal. Clearing
// only the unshared bits leaves the same slices as clearing all 8 and adding
// the surviving partners' bits back, without touching the bitmaps again.
void M2MU32::clear_unshared(Slices& slices, uint32_t key, uint32_t id, const Partners& surviving) {
  constexpr uint32_t kAllShared = (1u << kPositions) - 1;
  uint32_t shared = 0;  // bit i: some surviving partner has key's nibble i
  for (uint32_t partner : surviving) {
    const uint32_t diff = partner ^ key;
    for (size_t i = 0; i < kPositions; ++i) {
      if (nibble_of(diff, i) == 0) shared |= 1u << i;
    }
    if (shared == kAllShared) return;
  }
  for (size_t i = 0; i < kPositions; ++i) {
    if (!(shared & (1u << i))) slices[i][nibble_of(key, i)].remove(id);
  }
}

bool M2MU32::remove_pair(uint32_t left, uint32_t right) {
  const auto by_right = lefts_by_right_.find(right);
  if (by_right == lefts_by_right_.end() || !by_right->second.erase_unordered(left)) return false;
  const auto by_left = rights_by_left_.find(left);
  if (by_left == rights_by_left_.end() || !by_left->second.erase_unordered(right)) {
    internal_error("owner relation out of step: pair (" + std::to_string(left) + ", " + std::to_string(right) +
                   ") is recorded under its right id only");
  }
  --pair_count_;
  clear_unshared(by_left_, left, right, by_right->second);
  clear_unshared(by_right_, right, left, by_left->second);
  if (by_right->second.empty()) lefts_by_right_.erase(by_right);
  if (by_left->second.empty()) rights_by_left_.erase(by_left);
  return true;
}

// For each key, the intersection of the 8 slices its nibbles pick. Starting
// from the position-0 pair of slices instead of from the union of all ids
// gives the same result (every slice lies within that union) without copying
// the whole union once per key.
IdSet M2MU32::lookup(const Slices& slices, const IdSet& keys) {
  IdSet result;
  keys.for_each([&](uint32_t key) {
    IdSet t = IdSet::and_(slices[0][nibble_of(key, 0)], slices[1][nibble_of(key, 1)]);
    for (size_t i = 2; i < kPositions && !t.is_empty(); ++i) t.and_inplace(slices[i][nibble_of(key, i)]);
    result.or_inplace(t);
  });
  return result;
}

IdSet M2MU32::lefts_of_rights(const IdSet& rights) const { return lookup(by_right_, rights); }

IdSet M2MU32::rights_of_lefts(const IdSet& lefts) const { return lookup(by_left_, lefts); }

bool M2MU32::has_right(uint32_t right) const {
  for (size_t v = 0; v < NibbleIndexU32::kValues; ++v) {
    if (by_left_[0][v].contains(right)) return true;
  }
  return false;
}

IdSet M2MU32::all_rights() const { return by_left_[0].union_all(); }

bool M2MU32::contains_pair(uint32_t left, uint32_t right) const {
  const auto lefts = lefts_by_right_.find(right);
  if (lefts == lefts_by_right_.end()) return false;
  const auto rights = rights_by_left_.find(left);
  if (rights == rights_by_left_.end()) return false;
  return lefts->second.size() <= rights->second.size() ? lefts->second.contains(left)
                                                       : rights->second.contains(right);
}

size_t M2MU32::owner_count(uint32_t right) const {
  const auto it = lefts_by_right_.find(right);
  return it == lefts_by_right_.end() ? 0 : it->second.size();
}

namespace {

// The set of the partners of every id of `ids` in `record`.
template <typename Record>
IdSet partners_of(const Record& record, const IdSet& ids) {
  absl::InlinedVector<const typename Record::mapped_type*, 4> lists;
  size_t total = 0;
  ids.for_each([&](uint32_t id) {
    if (const auto it = record.find(id); it != record.end()) {
      lists.push_back(&it->second);
      total += it->second.size();
    }
  });
  absl::InlinedVector<uint32_t, 1024> all;
  all.reserve(total);
  for (const auto* list : lists) all.insert(all.end(), list->begin(), list->end());
  // Partners are recorded in the order they came, mostly ascending; the
  // partners of one id are distinct.
  if (!std::is_sorted(all.begin(), all.end())) std::sort(all.begin(), all.end());
  if (lists.size() > 1) all.erase(std::unique(all.begin(), all.end()), all.end());
  return IdSet::from_sorted(all);
}

}  // namespace

IdSet M2MU32::lefts_of(uint32_t right) const { return partners_of(lefts_by_right_, IdSet{right}); }

IdSet M2MU32::rights_of(uint32_t left) const { return partners_of(rights_by_left_, IdSet{left}); }

IdSet M2MU32::lefts_of_all(const IdSet& rights) const { return partners_of(lefts_by_right_, rights); }

}  // namespace calderwick
