#include "index/structures/m2m/m2m.h"

#include <algorithm>
#include <string>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"

namespace calderwick {

bool M2MU32::add_pair(uint32_t left, uint32_t right) {
  if (!by_left_.insert(key(left, right)).second) return false;
  by_right_[right].add(left);
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
    PackedIds* lefts = nullptr;
    uint32_t last = 0;
    for (uint64_t k : keys) {
      const auto right = static_cast<uint32_t>(k);
      if (!lefts || right != last) lefts = &by_right_[right];
      last = right;
      lefts->add(static_cast<uint32_t>(k >> 32));
    }
  }
}

bool M2MU32::remove_pair(uint32_t left, uint32_t right) {
  if (by_left_.erase(key(left, right)) == 0) return false;
  const auto lefts = by_right_.find(right);
  if (lefts == by_right_.end() || !lefts->second.remove(left)) {
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
