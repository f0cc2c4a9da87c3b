// Replacements queued by a structure that applies them in batches: an id
// moves from one value it holds to another, as an assigned attribute does.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace calderwick {

// Marks a structure as read by a query since its last write. A structure
// that queries read between assignments gets each move written at once:
// otherwise every such query would take the write lock to apply the moves
// queued since, and readers would wait for one another. Only the first
// reader after a write stores (the flag's cache line is not written by
// every query).
inline void note(std::atomic<bool>& read_since_write) {
  if (!read_since_write.load(std::memory_order_relaxed)) read_since_write.store(true, std::memory_order_relaxed);
}

// One batch, collapsed: an id's moves chain (each starts where the one before
// it ended), so its first start and its last end are its whole move, and an
// id back where it started has none. The result is in ascending id order.
// `Move` has `from`, `to` (comparable with ==) and `uint32_t id`; the
// queued values are moved from.
template <typename Move>
std::vector<Move> collapse_moves(std::vector<Move>& queued) {
  // (id, position) pairs sort as plain integers, each id's moves in order.
  std::vector<uint64_t> order(queued.size());
  for (size_t i = 0; i < queued.size(); ++i) order[i] = uint64_t{queued[i].id} << 32 | i;
  std::sort(order.begin(), order.end());
  std::vector<Move> moves;
  moves.reserve(queued.size());
  for (size_t i = 0; i < order.size();) {
    Move& first = queued[static_cast<uint32_t>(order[i])];
    size_t last = i;
    while (last + 1 < order.size() && (order[last + 1] >> 32) == first.id) ++last;
    Move& end = queued[static_cast<uint32_t>(order[last])];
    if (!(first.from == end.to)) moves.push_back(Move{std::move(first.from), std::move(end.to), first.id});
    i = last + 1;
  }
  return moves;
}

}  // namespace calderwick
