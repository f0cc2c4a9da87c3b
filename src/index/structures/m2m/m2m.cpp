#include "index/structures/m2m/m2m.h"

#include <algorithm>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/common/id_bits.h"

namespace calderwick {

bool M2MU32::add_pair(uint32_t left, uint32_t right) {
  if (!by_right_[right].add(left)) return false;
  ++pairs_;
  return true;
}

void M2MU32::add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs) {
  // Many owners share few nested objects, and owners arrive mostly in
  // ascending order: a right repeated from the pair before is not looked up
  // again, and its lefts are appended.
  PackedIds* lefts = nullptr;
  uint32_t last = 0;
  for (const auto& [left, right] : pairs) {
    if (!lefts || right != last) lefts = &by_right_[right];
    last = right;
    pairs_ += lefts->add(left);
  }
}

bool M2MU32::remove_pair(uint32_t left, uint32_t right) {
  const auto lefts = by_right_.find(right);
  if (lefts == by_right_.end() || !lefts->second.remove(left)) return false;
  if (lefts->second.empty()) by_right_.erase(lefts);
  --pairs_;
  return true;
}

void M2MU32::remove_lefts(const IdSet& lefts) {
  if (lefts.is_empty()) return;
  // Most rights keep their one or few lefts: those are told by a word read
  // each, and only the rights that lose some are rewritten.
  IdBits gone;
  lefts.for_each([&](uint32_t left) { gone.set(left); });
  for (auto it = by_right_.begin(); it != by_right_.end();) {
    PackedIds& held = it->second;
    const auto listed = held.list();
    if (!held.set() && std::none_of(listed.begin(), listed.end(), [&](uint32_t id) { return gone.test(id); })) {
      ++it;
      continue;
    }
    const size_t before = held.size();
    held.remove_all(lefts);
    pairs_ -= before - held.size();
    if (held.empty()) {
      by_right_.erase(it++);
    } else {
      ++it;
    }
  }
}

bool M2MU32::contains_pair(uint32_t left, uint32_t right) const {
  const auto it = by_right_.find(right);
  return it != by_right_.end() && it->second.contains(left);
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
  absl::InlinedVector<const PackedIds*, 4> found;
  size_t listed = 0;
  rights.for_each([&](uint32_t right) {
    if (const auto it = by_right_.find(right); it != by_right_.end()) {
      found.push_back(&it->second);
      if (!it->second.set()) listed += it->second.size();
    }
  });
  if (found.size() == 1) return found[0]->to_set();
  // Sets are joined as they are; lists are merged into one more.
  absl::InlinedVector<const IdSet*, 4> sets;
  absl::InlinedVector<uint32_t, 1024> all;
  all.reserve(listed);
  for (const PackedIds* lefts : found) {
    if (const IdSet* set = lefts->set()) {
      sets.push_back(set);
    } else {
      all.insert(all.end(), lefts->list().begin(), lefts->list().end());
    }
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  const IdSet merged = IdSet::from_sorted(all);
  if (sets.empty()) return merged;
  sets.push_back(&merged);
  return IdSet::union_of(std::span<const IdSet* const>(sets.data(), sets.size()));
}

}  // namespace calderwick
