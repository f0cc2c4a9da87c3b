#include "index/structures/m2m/m2m.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"

namespace calderwick {

static_assert(std::endian::native == std::endian::little, "an inline partner is the word's high half");

M2MU32::Partners::~Partners() { release(); }

void M2MU32::Partners::release() {
  if (is_set()) {
    delete set_ptr();
  } else if (word_ && !is_inline()) {
    std::free(heap());
  }
  word_ = 0;
}

size_t M2MU32::Partners::size() const {
  if (!word_) return 0;
  if (is_inline()) return 1;
  return is_set() ? set_ptr()->cardinality() : heap()->size;
}

std::span<const uint32_t> M2MU32::Partners::list() const {
  if (is_inline()) return {reinterpret_cast<const uint32_t*>(&word_) + 1, 1};
  if (!word_ || is_set()) return {};
  return {heap()->ids, heap()->size};
}

void M2MU32::Partners::push_back(uint32_t id) {
  if (!word_) {
    word_ = (uint64_t{id} << 32) | kInline;
    return;
  }
  if (is_set()) {
    set_ptr()->add_in_place(id);
    return;
  }
  if (is_inline()) {
    auto* h = static_cast<Heap*>(std::malloc(sizeof(Heap) + 3 * sizeof(uint32_t)));
    if (!h) throw std::bad_alloc();
    h->size = 1;
    h->capacity = 4;
    h->ids[0] = static_cast<uint32_t>(word_ >> 32);
    word_ = reinterpret_cast<uint64_t>(h);
  } else if (heap()->size == kListedLefts) {
    auto set = std::make_unique<IdSet>();
    set->add_many(heap()->ids, heap()->size);
    set->add(id);
    std::free(heap());
    word_ = reinterpret_cast<uint64_t>(set.release()) | kSet;
    return;
  } else if (heap()->size == heap()->capacity) {
    const uint32_t capacity = heap()->capacity * 2;
    auto* h = static_cast<Heap*>(std::realloc(heap(), sizeof(Heap) + (capacity - 1) * sizeof(uint32_t)));
    if (!h) throw std::bad_alloc();
    h->capacity = capacity;
    word_ = reinterpret_cast<uint64_t>(h);
  }
  heap()->ids[heap()->size++] = id;
}

bool M2MU32::Partners::erase(uint32_t id) {
  if (is_inline()) {
    if (static_cast<uint32_t>(word_ >> 32) != id) return false;
    word_ = 0;
    return true;
  }
  if (!word_) return false;
  if (is_set()) {
    IdSet& set = *set_ptr();
    if (!set.contains(id)) return false;
    set.remove_in_place(id);
    if (set.is_empty()) release();
    return true;
  }
  Heap* h = heap();
  uint32_t* it = std::find(h->ids, h->ids + h->size, id);
  if (it == h->ids + h->size) return false;
  *it = h->ids[--h->size];
  if (h->size == 0) release();
  return true;
}

bool M2MU32::add_pair(uint32_t left, uint32_t right) {
  if (!by_left_.insert(key(left, right)).second) return false;
  by_right_[right].push_back(left);
  return true;
}

size_t M2MU32::insert_sorted(Keys& keys, std::span<uint64_t> batch) {
  // A hint right after the previous key: a key that follows it (the usual
  // case of ids filed in order) goes in without a descent from the root.
  // Keys already there are dropped from `batch`, which keeps the new ones.
  auto hint = keys.end();
  size_t kept = 0;
  for (uint64_t k : batch) {
    const size_t before = keys.size();
    hint = std::next(keys.insert(hint, k));
    if (keys.size() != before) batch[kept++] = k;
  }
  return kept;
}

void M2MU32::add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs) {
  // A chunk at a time, so that the gathered keys stay a few hundred KiB.
  constexpr size_t kChunk = size_t{1} << 15;
  std::vector<uint64_t> keys;
  keys.reserve(std::min(pairs.size(), kChunk));
  for (size_t at = 0; at < pairs.size(); at += kChunk) {
    const auto chunk = pairs.subspan(at, std::min(kChunk, pairs.size() - at));
    keys.clear();
    for (const auto& [left, right] : chunk) keys.push_back(key(left, right));
    if (!std::is_sorted(keys.begin(), keys.end())) std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    // Pairs already recorded change nothing on either side.
    keys.resize(insert_sorted(by_left_, keys));
    // Lefts in order under each right. Many owners share few nested
    // objects: a right repeated from the pair before is not looked up again.
    Partners* lefts = nullptr;
    uint32_t last = 0;
    for (uint64_t k : keys) {
      const auto right = static_cast<uint32_t>(k);
      if (!lefts || right != last) lefts = &by_right_[right];
      last = right;
      lefts->push_back(static_cast<uint32_t>(k >> 32));
    }
  }
}

bool M2MU32::remove_pair(uint32_t left, uint32_t right) {
  if (by_left_.erase(key(left, right)) == 0) return false;
  const auto lefts = by_right_.find(right);
  if (lefts == by_right_.end() || !lefts->second.erase(left)) {
    internal_error("owner relation out of step: pair (" + std::to_string(left) + ", " + std::to_string(right) +
                   ") is recorded under its left id only");
  }
  if (lefts->second.empty()) by_right_.erase(lefts);
  return true;
}

bool M2MU32::has_right(uint32_t right) const { return by_right_.contains(right); }

size_t M2MU32::owner_count(uint32_t right) const {
  const auto it = by_right_.find(right);
  return it == by_right_.end() ? 0 : it->second.size();
}

IdSet M2MU32::all_rights() const {
  std::vector<uint32_t> rights;
  rights.reserve(by_right_.size());
  for (const auto& [right, lefts] : by_right_) rights.push_back(right);
  std::sort(rights.begin(), rights.end());
  return IdSet::from_sorted(rights);
}

IdSet M2MU32::lefts_of_all(const IdSet& rights) const {
  absl::InlinedVector<std::span<const uint32_t>, 4> lists;
  absl::InlinedVector<const IdSet*, 4> sets;
  size_t total = 0;
  rights.for_each([&](uint32_t right) {
    const auto it = by_right_.find(right);
    if (it == by_right_.end()) return;
    if (const IdSet* set = it->second.set()) {
      sets.push_back(set);
    } else {
      lists.push_back(it->second.list());
      total += lists.back().size();
    }
  });
  if (lists.empty() && sets.size() == 1) return *sets[0];
  IdSet listed;
  if (!lists.empty()) {
    absl::InlinedVector<uint32_t, 1024> all;
    all.reserve(total);
    for (const auto list : lists) all.insert(all.end(), list.begin(), list.end());
    // Lefts are recorded in the order they came, mostly ascending; the lefts
    // of one right are distinct.
    if (!std::is_sorted(all.begin(), all.end())) std::sort(all.begin(), all.end());
    if (lists.size() > 1) all.erase(std::unique(all.begin(), all.end()), all.end());
    listed = IdSet::from_sorted(all);
  }
  if (sets.empty()) return listed;
  sets.push_back(&listed);
  return IdSet::union_of(std::span<const IdSet* const>(sets.data(), sets.size()));
}

IdSet M2MU32::rights_of_all(const IdSet& lefts) const {
  if (by_left_.empty()) return IdSet();
  absl::InlinedVector<uint32_t, 1024> all;
  size_t ranges = 0;
  lefts.for_each([&](uint32_t left) {
    auto it = by_left_.lower_bound(key(left, 0));
    if (it == by_left_.end() || (*it >> 32) != left) return;
    ++ranges;
    for (; it != by_left_.end() && (*it >> 32) == left; ++it) all.push_back(static_cast<uint32_t>(*it));
  });
  // Each left's range is ascending and distinct; several may interleave.
  if (ranges > 1) {
    if (!std::is_sorted(all.begin(), all.end())) std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
  }
  return IdSet::from_sorted(all);
}

}  // namespace calderwick
