#include "index/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"
#include "index/common/id_bits.h"

namespace calderwick {

namespace {

// f(i) for every set bit i of the key: each slice holds only the ids whose
// key has its bit set, so the clear bits cost nothing.
template <typename F>
void for_each_set_bit(const NumKey& key, F&& f) {
  for (uint64_t bits = key.low; bits; bits &= bits - 1) f(static_cast<size_t>(std::countr_zero(bits)));
  for (uint32_t bits = key.high; bits; bits &= bits - 1) f(64 + static_cast<size_t>(std::countr_zero(bits)));
}

// Sign, 11-bit exponent and 64-bit mantissa with the leading one at bit 63
// (except for zero and subnormals), folded into one unsigned key.
// Non-negatives live in the upper half of the high part, and grow with
// (E, M); negatives take the mirror image below them, so a larger magnitude
// gives a smaller key.
NumKey fold(bool negative, uint16_t exponent, uint64_t mantissa) {
  if (negative) return NumKey{~mantissa, static_cast<uint16_t>(0x7FF - exponent)};
  return NumKey{mantissa, static_cast<uint16_t>(0x800 | exponent)};
}

constexpr NumKey kZeroKey{0, 0x800};

// The ordered keys sort by a 64-bit prefix of the key: the 12 high bits, then
// 52 bits of `low`. A normal number's bit 63 follows from its sign (the
// implicit one, or its complement) and is left out, with bits 10..0; zero and
// subnormals (exponent 0, high 0x800 or 0x7FF) keep bit 63 and leave out
// bits 11..0. Every double (and every integer a double holds exactly) keeps
// all its bits, so distinct such values get distinct prefixes; only integers
// beyond 2^53 can share a prefix with another key.
constexpr uint64_t kRestBits = 52;
constexpr uint64_t kRestMask = (uint64_t{1} << kRestBits) - 1;

bool exponent_zero(uint16_t high) { return high == 0x800 || high == 0x7FF; }

uint64_t prefix_of(const NumKey& k) {
  const uint64_t rest = exponent_zero(k.high) ? k.low >> 12 : (k.low << 1) >> 12;
  return (uint64_t{k.high} << kRestBits) | rest;
}

// The key a double (or a double-sized integer) with this prefix has: the
// dropped bits are those of a mantissa with clear low bits, complemented for
// negatives.
NumKey canonical_of(uint64_t prefix) {
  const auto high = static_cast<uint16_t>(prefix >> kRestBits);
  const uint64_t rest = prefix & kRestMask;
  const bool negative = high < 0x800;
  if (exponent_zero(high)) return NumKey{(rest << 12) | (negative ? 0xFFFu : 0u), high};
  return NumKey{(negative ? 0 : uint64_t{1} << 63) | (rest << 11) | (negative ? 0x7FFu : 0u), high};
}

// Sorts ids ascending: radix passes over 11-bit digits for long runs.
void sort_ids(std::vector<uint32_t>& ids) {
  if (ids.size() < 2048) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  const uint32_t top = *std::max_element(ids.begin(), ids.end());
  std::vector<uint32_t> tmp(ids.size());
  for (unsigned shift = 0; shift < 32 && (top >> shift) != 0; shift += 11) {
    std::array<uint32_t, 2048> count{};
    for (uint32_t id : ids) ++count[(id >> shift) & 2047];
    uint32_t sum = 0;
    for (uint32_t& c : count) sum += std::exchange(c, sum);
    for (uint32_t id : ids) tmp[count[(id >> shift) & 2047]++] = id;
    ids.swap(tmp);
  }
}

// The key bits below and at the highest one where a and b differ: every key
// between them shares the bits above with both.
size_t differing_bits(const NumKey& a, const NumKey& b) {
  if (a.high != b.high) return 64 + static_cast<size_t>(std::bit_width(static_cast<unsigned>(a.high ^ b.high)));
  return static_cast<size_t>(std::bit_width(a.low ^ b.low));
}

}  // namespace

// The buckets: `ids` bucket after bucket, bucket j at [starts[j],
// starts[j + 1]) with every key in [fences[j], fences[j + 1]] (both hold one
// entry more than there are buckets; all three are empty when there are
// none). Direct writes since the last fold are patched in: `added` holds the
// (key, id) of every id whose bucket entry, if any, is not current, and
// `stale` has the bit of each such id set, so a query skips its entry.
struct NumericalBitmap::OrderedKeys {
  std::vector<uint32_t> ids;
  std::vector<uint32_t> starts;
  std::vector<NumKey> fences;
  std::vector<std::pair<NumKey, uint32_t>> added;
  IdBits stale;
  // Ids patched again since the last fold (moved or removed while in
  // `added`): their entries there are not searched for and taken out, each
  // is checked against the slices where a query or a fold meets it.
  IdBits dead;
  bool any_stale = false;
  bool any_dead = false;
  size_t removals = 0;  // bucket entries marked stale since the last fold

  size_t buckets() const { return starts.empty() ? 0 : starts.size() - 1; }
  bool is_stale(uint32_t id) const { return any_stale && stale.test(id); }
  bool is_dead(uint32_t id) const { return any_dead && dead.test(id); }
  void mark_stale(uint32_t id) {
    stale.set(id);
    any_stale = true;
  }
  void mark_dead(uint32_t id) {
    dead.set(id);
    any_dead = true;
  }
  // Opens a bucket at the end, from `fence` up.
  void open(const NumKey& fence) {
    starts.push_back(static_cast<uint32_t>(ids.size()));
    fences.push_back(fence);
  }
  // Closes the last bucket, whose keys are at most `fence`.
  void close(const NumKey& fence) {
    starts.push_back(static_cast<uint32_t>(ids.size()));
    fences.push_back(fence);
  }
};

NumericalBitmap::NumericalBitmap() = default;
NumericalBitmap::~NumericalBitmap() = default;

NumKey NumericalBitmap::key_of(int64_t v) {
  if (v == 0) return kZeroKey;
  // The magnitude as unsigned, which also covers INT64_MIN (|v| = 2^63).
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  const int shift = std::countl_zero(magnitude);
  // The same exponent a double of this value has (1023 + position of the top bit).
  return fold(v < 0, static_cast<uint16_t>(1086 - shift), magnitude << shift);
}

NumKey NumericalBitmap::key_of(double v) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const bool negative = (bits >> 63) != 0;
  const auto exponent = static_cast<uint16_t>((bits >> 52) & 0x7FF);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0) {
    if (fraction == 0) return kZeroKey;  // +0.0 and -0.0 are the integer 0
    // Subnormals keep exponent 0 and have no implicit leading one: for a
    // positive one the key is (0x800, fraction << 12), above zero (mantissa 0)
    // and below every normal (exponent >= 1); negatives mirror that below zero.
    // Integers never reach exponent 0, so nothing else shares these keys.
    return fold(negative, 0, fraction << 12);
  }
  // Normals, infinities and NaN: the implicit one at bit 63, the 52 fraction
  // bits below it and bits 10..0 clear, which lines them up with integer keys.
  // Infinities (exponent 2047, fraction 0) end up beyond every finite value and
  // NaNs beyond the infinity of their sign.
  return fold(negative, exponent, (uint64_t{1} << 63) | (fraction << 11));
}

NumKey NumericalBitmap::key_of(const Number& v) {
  return std::visit([](auto x) { return key_of(x); }, v);
}

uint32_t NumericalBitmap::hash_of(const NumKey& key) {
  // Integer keys have long runs of clear low bits: mix everything down.
  uint64_t x = key.low ^ (uint64_t{key.high} * 0x9E3779B97F4A7C15ull);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

bool NumericalBitmap::id_has_key(uint32_t id, const NumKey& key) const {
  for (size_t i = kSlices; i-- > 0;) {
    const Cell& cell = slices_[i];
    bool has = cell.bitmap().contains(id);
    if (!has && cell.pending_count() > 0) {
      // Still queued (bulk writer): the buffer holds at most 64 ids.
      const auto queued = cell.pending();
      has = std::find(queued.begin(), queued.end(), id) != queued.end();
    }
    if (static_cast<int>(has) != key.bit(i)) return false;
  }
  return true;
}

NumKey NumericalBitmap::key_held(uint32_t id) const { return key_below(id, NumKey{}, kSlices); }

void NumericalBitmap::refile(const NumKey& key, uint32_t id) {
  // Adding a member again files what it holds again: the key table and the
  // ordered keys' patches would count it twice.
  const NumKey held = key_held(id);
  if (!(held == key)) move_now(held, key, id);
}

void NumericalBitmap::insert_key(const NumKey& key, uint32_t id) {
  flush_all();
  if (all_.bitmap().contains(id)) {
    refile(key, id);
    return;
  }
  if (!order_.owned() && plan_ != RangePlan::kSweep && all_.bitmap().is_empty()) {
    order_.install(std::make_unique<OrderedKeys>());
  }
  all_.bitmap().add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].bitmap().add(id); });
  table_add(key, id, hash_of(key));
  ordered_added(key, id);
}

void NumericalBitmap::remove_key(const NumKey& key, uint32_t id) {
  flush_all();
  ordered_removed(key, id);
  keys_.remove(key, id, hash_of(key));
  all_.bitmap().remove(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].bitmap().remove(id); });
}

void NumericalBitmap::queue_replace(const NumKey& old_key, const NumKey& new_key, uint32_t id) {
  if (old_key == new_key) return;
  if (read_since_write_.exchange(false, std::memory_order_relaxed)) {
    replace_key(old_key, new_key, id);
    return;
  }
  if (pending_) flush_all();
  moves_.push_back(Move{old_key, new_key, id});
  if (moves_.size() >= kMoveBatch) apply_moves();
}

void NumericalBitmap::apply_moves() {
  if (moves_.empty()) return;
  // The queue's memory goes with it: a map that is written rarely keeps none.
  std::vector<Move> queued = std::exchange(moves_, {});
  const std::vector<Move> moves = collapse_moves(queued);
  const size_t n = moves.size();
  // Each move's key slots and slice words are asked for a few moves ahead
  // (the table holds every moved id's key, so it has slots).
  constexpr size_t kAhead = 3;
  for (size_t j = 0; j < n + kAhead; ++j) {
    if (j < n) {
      const Move& m = moves[j];
      keys_.prefetch(hash_of(m.from));
      keys_.prefetch(hash_of(m.to));
      const NumKey differ{m.from.low ^ m.to.low, static_cast<uint16_t>(m.from.high ^ m.to.high)};
      for_each_set_bit(differ, [&](size_t i) { slices_[i].bitmap().prefetch_write_of(m.id); });
    }
    if (j >= kAhead) move_now(moves[j - kAhead].from, moves[j - kAhead].to, moves[j - kAhead].id);
  }
}

void NumericalBitmap::replace_key(const NumKey& old_key, const NumKey& new_key, uint32_t id) {
  if (old_key == new_key) return;
  flush_all();
  move_now(old_key, new_key, id);
}

void NumericalBitmap::move_now(const NumKey& old_key, const NumKey& new_key, uint32_t id) {
  // Both key table slots change, each at a random place in memory: they are
  // asked for first and read last. The few dozen slices that change are
  // written in one pass of independent writes, whose misses overlap.
  keys_.prefetch(hash_of(old_key));
  keys_.prefetch(hash_of(new_key));
  const NumKey differ{old_key.low ^ new_key.low, static_cast<uint16_t>(old_key.high ^ new_key.high)};
  for_each_set_bit(differ, [&](size_t i) { slices_[i].bitmap().set_in_place(id, new_key.bit(i)); });
  ordered_removed(old_key, id);
  keys_.remove(old_key, id, hash_of(old_key));
  table_add(new_key, id, hash_of(new_key));
  ordered_added(new_key, id);
}

void NumericalBitmap::buffered_insert(const Number& v, uint32_t id) {
  apply_moves();
  const NumKey key = key_of(v);
  // Every id of the batch is new to the buffers (one number an id), so one
  // already filed is in the flushed bitmaps.
  if (all_.bitmap().contains(id)) {
    refile(key, id);
    return;
  }
  if (!pending_) loading_ = plan_ != RangePlan::kSweep && (order_.owned() || all_.bitmap().is_empty());
  all_.buffered_add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].buffered_add(id); });
  pending_ = true;
  queued_keys_.push_back(QueuedKey{key, id, hash_of(key)});
  if (queued_keys_.size() == kKeyBatch) add_queued_keys();
  if (loading_) {
    const uint64_t p = prefix_of(key);
    loaded_.emplace_back(p, id);
    if (!(canonical_of(p) == key)) loaded_lossy_.emplace_back(id, key);
  }
}

void NumericalBitmap::add_queued_keys() {
  // Distinct keys land anywhere in a large table: each key's home slot is
  // asked for a few keys ahead of its turn.
  constexpr size_t kAhead = 8;
  const size_t n = queued_keys_.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) keys_.prefetch(queued_keys_[i + kAhead].hash);
    table_add(queued_keys_[i].key, queued_keys_[i].id, queued_keys_[i].hash);
  }
  queued_keys_.clear();
}

void NumericalBitmap::flush_all() {
  apply_moves();
  if (!pending_) return;
  add_queued_keys();
  // Slices that every id shares (a common sign or exponent bit) become runs.
  all_.flush();
  all_.bitmap().run_optimize();
  for (auto& slice : slices_) {
    slice.flush();
    slice.bitmap().run_optimize();
  }
  pending_ = false;
  if (std::exchange(loading_, false)) file_loaded();
}

void NumericalBitmap::keep_only(const IdSet& keep) {
  flush_all();
  if (OrderedKeys* ok = order_.owned()) fold_patches(*ok, &keep);
  all_.bitmap().and_inplace(keep);
  for (auto& slice : slices_) slice.bitmap().and_inplace(keep);
  keys_.keep_only(keep);
}

IdSet NumericalBitmap::equal(const NumKey& key) const {
  IdSet out;
  equal_into(key, out);
  return out;
}

void NumericalBitmap::equal_into(const NumKey& key, IdSet& out) const {
  keys_.ids_into(key, hash_of(key), has_key(), out);
}

IdSet NumericalBitmap::slice_set(size_t slice, int bit) const {
  const IdSet& ones = checked_at(slices_, slice).bitmap();
  if (bit == 1) return ones;
  if (bit != 0) internal_error("a key bit is 0 or 1, not " + std::to_string(bit));
  return IdSet::andnot(all(), ones);
}

size_t NumericalBitmap::pending_count() const {
  size_t n = all_.pending_count();
  for (const auto& slice : slices_) n += slice.pending_count();
  return n;
}

bool NumericalBitmap::narrow(IdSet& eq, size_t i, int bit) const {
  const IdSet& ones = slices_[i].bitmap();
  if (bit) {
    eq.and_inplace(ones);
  } else if (!ones.is_empty()) {
    eq.andnot_inplace(ones);
  }
  return !eq.is_empty();
}

// Walks the key from bit `top` - 1 down. `eq` holds the candidates whose key
// agrees with `key` on every bit above i. At bit i those of them on the far
// side of the key's bit (bit 1 where the key has 0 for ">", bit 0 where it has
// 1 for "<") differ from the key first here, in the wanted direction, so they
// go to `result`; the rest of `eq` narrows to the key's own bit. A slice that
// every id shares decides all of `eq` at once, or nothing. What is left after
// bit 0 equals the key, added for the inclusive forms.
template <bool kGreater, bool kInclusive>
void NumericalBitmap::sweep_below(const NumKey& key, size_t top, IdSet& eq, IdSet& result) const {
  const uint64_t total = all().cardinality();
  for (size_t i = top; i-- > 0;) {
    if (eq.is_empty()) return;
    const IdSet& ones = slices_[i].bitmap();
    const int b = key.bit(i);
    const bool none = ones.is_empty();
    if (none || ones.cardinality() == total) {
      const int common = none ? 0 : 1;
      if (common == b) continue;
      // All of `eq` leaves the key here, on one side.
      if ((common > b) == kGreater) result.or_inplace(eq);
      return;
    }
    if (b == (kGreater ? 0 : 1)) {
      IdSet passed = kGreater ? IdSet::and_(eq, ones) : IdSet::andnot(eq, ones);
      if (passed.is_empty()) continue;
      eq.andnot_inplace(passed);
      if (result.is_empty()) {
        result = std::move(passed);
      } else {
        result.or_inplace(passed);
      }
    } else {
      narrow(eq, i, b);
    }
  }
  if (kInclusive && !eq.is_empty()) result.or_inplace(eq);
}

template <bool kGreater, bool kInclusive>
void NumericalBitmap::sweep(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  IdSet eq = IdSet::within(all(), candidates);
  sweep_below<kGreater, kInclusive>(key, kSlices, eq, result);
}

void NumericalBitmap::get_gt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  const Bound low{key, false};
  if (!ordered_into(&low, nullptr, result, candidates)) sweep<true, false>(key, result, candidates);
}
void NumericalBitmap::get_gte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  const Bound low{key, true};
  if (!ordered_into(&low, nullptr, result, candidates)) sweep<true, true>(key, result, candidates);
}
void NumericalBitmap::get_lt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  const Bound high{key, false};
  if (!ordered_into(nullptr, &high, result, candidates)) sweep<false, false>(key, result, candidates);
}
void NumericalBitmap::get_lte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  const Bound high{key, true};
  if (!ordered_into(nullptr, &high, result, candidates)) sweep<false, true>(key, result, candidates);
}

void NumericalBitmap::get_between_into(const NumKey& low, const NumKey& high, IdSet& result,
                                       const IdSet& candidates) const {
  if (high < low) return;
  const Bound lo{low, true};
  const Bound hi{high, true};
  if (ordered_into(&lo, &hi, result, candidates)) return;
  IdSet eq = IdSet::within(all(), candidates);
  for (size_t i = kSlices; i-- > 0;) {
    const int b = low.bit(i);
    if (b == high.bit(i)) {
      if (!narrow(eq, i, b)) break;
      continue;
    }
    // The first bit where the bounds differ (low has 0, high has 1): below
    // it, the ids with 0 here only need to reach `low`, those with 1 only
    // need to stay under `high`.
    IdSet upper = IdSet::and_(eq, slices_[i].bitmap());
    eq.andnot_inplace(upper);
    sweep_below<true, true>(low, i, eq, result);
    sweep_below<false, true>(high, i, upper, result);
    eq.clear();
    break;
  }
  result.or_inplace(eq);  // low == high (else empty)
}


// ---------------------------------------------------------------------------
// The ordered keys

size_t NumericalBitmap::ordered_keys_bytes() const {
  const OrderedKeys* ok = order_.ready();
  if (!ok) return 0;
  return ok->ids.capacity() * sizeof(uint32_t) + ok->starts.capacity() * sizeof(uint32_t) +
         ok->fences.capacity() * sizeof(NumKey) + ok->added.capacity() * sizeof(ok->added[0]) +
         ok->stale.bytes() + ok->dead.bytes();
}

size_t NumericalBitmap::ordered_patches() const {
  const OrderedKeys* ok = order_.ready();
  return ok ? ok->added.size() : 0;
}

size_t NumericalBitmap::ordered_buckets() const {
  const OrderedKeys* ok = order_.ready();
  return ok ? ok->buckets() : 0;
}

namespace {

// The key with its bits below `top` cleared.
NumKey bits_from(const NumKey& key, size_t top) {
  if (top > 64) return NumKey{0, static_cast<uint16_t>(key.high & ~((1u << (top - 64)) - 1))};
  if (top == 64) return NumKey{0, key.high};
  return NumKey{key.low & ~((uint64_t{1} << top) - 1), key.high};
}

}  // namespace

int NumericalBitmap::compare_below(uint32_t id, const NumKey& bound, size_t top) const {
  for (size_t i = top; i-- > 0;) {
    const int has = slices_[i].bitmap().contains(id) ? 1 : 0;
    const int want = bound.bit(i);
    if (has != want) return has - want;
  }
  return 0;
}

NumKey NumericalBitmap::key_below(uint32_t id, const NumKey& base, size_t top) const {
  NumKey key = bits_from(base, top);
  for (size_t i = 0; i < top; ++i) {
    if (!slices_[i].bitmap().contains(id)) continue;
    if (i < 64) {
      key.low |= uint64_t{1} << i;
    } else {
      key.high = static_cast<uint16_t>(key.high | (1u << (i - 64)));
    }
  }
  return key;
}

std::unique_ptr<NumericalBitmap::OrderedKeys> NumericalBitmap::ordered_from(MappedArray<Entry>& entries,
                                                                            const LossyKeys& lossy) {
  auto ok = std::make_unique<OrderedKeys>();
  const size_t n = entries.size();
  if (n == 0) return ok;
  const auto exact = [&](const Entry& e) {
    if (!lossy.empty()) {
      const auto it = std::lower_bound(lossy.begin(), lossy.end(), e.second,
                                       [](const auto& l, uint32_t id) { return l.first < id; });
      if (it != lossy.end() && it->first == e.second) return it->second;
    }
    return canonical_of(e.first);
  };
  // Key order; only keys beyond 2^53 are told apart past their prefix.
  const auto by_key = [&](const Entry& a, const Entry& b) {
    if (a.first != b.first || lossy.empty()) return a.first < b.first;
    return exact(a) < exact(b);
  };
  uint64_t lo = entries[0].first;
  uint64_t hi = lo;
  for (const Entry& e : entries) {
    lo = std::min(lo, e.first);
    hi = std::max(hi, e.first);
  }
  ok->ids.reserve(n);
  ok->starts.reserve(n / kBucket * 5 / 4 + 2);
  ok->fences.reserve(n / kBucket * 5 / 4 + 2);
  // A run sorted by key, as buckets of kBucket: a fence is its first key.
  const auto emit_sorted = [&](const Entry* first, size_t count) {
    for (size_t at = 0; at < count; at += kBucket) {
      ok->open(exact(first[at]));
      for (size_t e = at; e < std::min(count, at + kBucket); ++e) ok->ids.push_back(first[e].second);
    }
  };
  const auto least = [&](const Entry* first, size_t count) {
    const Entry* best = first;
    for (size_t e = 1; e < count; ++e) {
      if (by_key(first[e], *best)) best = first + e;
    }
    return exact(*best);
  };
  // The highest key closes the last bucket.
  NumKey top = canonical_of(hi);
  if (!lossy.empty()) {
    for (const Entry& e : entries) {
      if (e.first == hi) top = std::max(top, exact(e));
    }
  }
  const auto varying = static_cast<unsigned>(std::bit_width(lo ^ hi));  // prefix bits some entries differ in
  if (varying == 0 || n <= kMaxBucket) {
    if (varying != 0 || !lossy.empty()) std::sort(entries.begin(), entries.end(), by_key);
    emit_sorted(entries.data(), n);
  } else {
    // Radix passes from the top varying bit of the prefix down, each of at
    // most 11 bits (about 8 entries a digit), on runs that need it: a run of
    // at most kMaxBucket entries is a bucket as it comes, or joins the last
    // one while that holds fewer than kBucket; a longer one is split on the
    // next bits, or sorted and cut once none are left. Each pass permutes
    // its run in place (each entry is swapped straight into its digit's
    // part), so the sort holds no second array of the entries.
    size_t filling = 0;  // ids in the last bucket, while more may join it
    const auto split = [&](auto& self, Entry* run, size_t count, unsigned below) -> void {
      if (count <= kMaxBucket) {
        if (filling == 0 || filling + count > kBucket) {
          ok->open(least(run, count));
          filling = 0;
        }
        for (size_t e = 0; e < count; ++e) ok->ids.push_back(run[e].second);
        filling += count;
        return;
      }
      if (below == 0) {  // one prefix: one key, unless beyond 2^53
        if (!lossy.empty()) std::sort(run, run + count, by_key);
        emit_sorted(run, count);
        filling = (count - 1) % kBucket + 1;
        return;
      }
      const unsigned bits =
          std::min(below, std::clamp(static_cast<unsigned>(std::bit_width(count / 8)), 1u, 11u));
      const unsigned shift = below - bits;
      const uint64_t mask = (uint64_t{1} << bits) - 1;
      const auto digit = [&](const Entry& e) { return static_cast<size_t>((e.first >> shift) & mask); };
      std::array<uint32_t, 2049> begin;
      std::fill_n(begin.begin(), mask + 2, 0u);
      for (size_t e = 0; e < count; ++e) ++begin[digit(run[e]) + 1];
      for (size_t d = 1; d <= mask + 1; ++d) begin[d] += begin[d - 1];
      std::array<uint32_t, 2048> next;  // the first entry of each part not yet in place
      std::copy_n(begin.begin(), mask + 1, next.begin());
      for (size_t d = 0; d <= mask; ++d) {
        while (next[d] < begin[d + 1]) {
          Entry e = run[next[d]];
          for (size_t k = digit(e); k != d; k = digit(e)) std::swap(e, run[next[k]++]);
          run[next[d]++] = e;
        }
      }
      for (size_t d = 0; d <= mask; ++d) {
        const size_t part = begin[d + 1] - begin[d];
        if (part > 0) self(self, run + begin[d], part, shift);
      }
    };
    split(split, entries.data(), n, varying);
  }
  ok->close(top);
  return ok;
}

std::unique_ptr<NumericalBitmap::OrderedKeys> NumericalBitmap::build_ordered() const {
  const std::vector<uint32_t> ids = all().to_vector();
  const size_t n = ids.size();
  MappedArray<Entry> entries;
  LossyKeys lossy;  // by id, as `ids` is
  {
    // Each id's key, read back from the slices, at the id's position in `ids`.
    std::vector<uint64_t> low(n, 0);
    std::vector<uint16_t> high(n, 0);
    // A position per id from the least one (element ids lie near the top of
    // the id space) costs at most 16 bytes an id.
    const uint32_t base = n > 0 ? ids.front() : 0;
    const bool dense = n > 0 && (ids.back() - base) / 4 < n;
    std::vector<uint32_t> position_of;
    if (dense) {
      position_of.assign(size_t{ids.back() - base} + 1, 0);
      for (size_t p = 0; p < n; ++p) position_of[ids[p] - base] = static_cast<uint32_t>(p);
    }
    for (size_t i = 0; i < kSlices; ++i) {
      const IdSet& ones = slices_[i].bitmap();
      const uint64_t count = ones.cardinality();
      if (count == 0) continue;
      const uint64_t bit = i < 64 ? uint64_t{1} << i : 0;
      const auto high_bit = static_cast<uint16_t>(i < 64 ? 0 : 1u << (i - 64));
      if (count == n) {  // shared by every id
        for (size_t p = 0; p < n; ++p) {
          low[p] |= bit;
          high[p] |= high_bit;
        }
        continue;
      }
      ones.for_each_batch([&](std::span<const uint32_t> batch) {
        for (uint32_t id : batch) {
          const size_t p = dense ? position_of[id - base]
                                 : static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
          low[p] |= bit;
          high[p] |= high_bit;
        }
      });
    }
    position_of = {};
    entries = MappedArray<Entry>(n);
    for (size_t p = 0; p < n; ++p) {
      const NumKey key{low[p], high[p]};
      const uint64_t prefix = prefix_of(key);
      entries[p] = {prefix, ids[p]};
      if (!(canonical_of(prefix) == key)) lossy.emplace_back(ids[p], key);
    }
  }  // the keys read back are freed before the sort
  return ordered_from(entries, lossy);
}

const NumericalBitmap::OrderedKeys* NumericalBitmap::ordered_keys() const {
  if (const OrderedKeys* ok = order_.ready()) return ok;
  if (pending_ || plan_ == RangePlan::kSweep) return nullptr;
  return order_.build_once([&] { return build_ordered(); });  // null: another query builds them, sweep meanwhile
}

size_t NumericalBitmap::patch_limit(const OrderedKeys& ok) const {
  return patch_limit_ ? patch_limit_ : std::max(kMaxPatches, ok.ids.size() / kFoldShare);
}

void NumericalBitmap::ordered_added(const NumKey& key, uint32_t id) {
  OrderedKeys* ok = order_.owned();
  if (!ok) return;
  ok->mark_stale(id);
  ok->added.emplace_back(key, id);
  if (ok->added.size() > patch_limit(*ok)) fold_patches(*ok, nullptr);
}

void NumericalBitmap::ordered_removed(const NumKey& key, uint32_t id) {
  OrderedKeys* ok = order_.owned();
  if (!ok) return;
  // An id not yet stale holds the key of its bucket entry, which goes. A
  // stale one holds the key of its latest entry in `added`: taken out if it
  // is among the last kRecentPatches (an object assigned again and again, a
  // value set back), else left there, to be checked.
  if (ok->is_stale(id)) {
    auto& added = ok->added;
    const size_t stop = added.size() > kRecentPatches ? added.size() - kRecentPatches : 0;
    for (size_t i = added.size(); i-- > stop;) {
      if (added[i].second != id) continue;
      if (!(added[i].first == key)) break;
      // Shifted, not swapped with the last: an id's latest entry stays after
      // its earlier ones, which a fold relies on.
      added.erase(added.begin() + static_cast<ptrdiff_t>(i));
      return;
    }
    ok->mark_dead(id);
    return;
  }
  ok->mark_stale(id);
  if (++ok->removals > patch_limit(*ok)) fold_patches(*ok, nullptr);
}

void NumericalBitmap::fold_patches(OrderedKeys& ok, const IdSet* keep) const {
  // The added entries that hold: those of ids patched again only if the id
  // holds that key now, once each (the latest).
  std::vector<std::pair<NumKey, uint32_t>> added = std::move(ok.added);
  ok.added.clear();
  if (ok.any_dead) {
    IdBits seen;  // dead ids whose latest entry has been met
    size_t out = added.size();
    for (size_t i = added.size(); i-- > 0;) {
      const auto& [key, id] = added[i];
      if (ok.is_dead(id)) {
        if (seen.test(id)) continue;
        seen.set(id);
        if (!all().contains(id) || !(key_below(id, key, kSlices) == key)) continue;
      }
      added[--out] = added[i];
    }
    added.erase(added.begin(), added.begin() + static_cast<ptrdiff_t>(out));
  }
  if (keep) std::erase_if(added, [&](const auto& a) { return !keep->contains(a.second); });
  std::sort(added.begin(), added.end());

  const size_t nb = ok.buckets();
  std::vector<uint32_t> ids;
  ids.reserve(ok.ids.size() + added.size());
  std::vector<uint32_t> starts;
  std::vector<NumKey> fences;
  starts.reserve(ok.starts.size() + added.size() / kBucket + 2);
  fences.reserve(starts.capacity());
  size_t a = 0;  // the next added entry
  size_t filling = 0;
  std::vector<std::pair<NumKey, uint32_t>> split;
  NumKey last{};
  if (nb > 0) {
    // Keys below the lowest fence or above the highest widen them.
    std::vector<NumKey>& f = ok.fences;
    if (!added.empty()) {
      f.front() = std::min(f.front(), added.front().first);
      f.back() = std::max(f.back(), added.back().first);
    }
    last = f.back();
    for (size_t j = 0; j < nb; ++j) {
      const size_t first = ids.size();
      const size_t before = filling;
      const bool opened = filling == 0 || filling >= kBucket;
      if (opened) {
        starts.push_back(static_cast<uint32_t>(first));
        fences.push_back(f[j]);
        filling = 0;
      }
      // Appended to the last bucket (or opening it): its keys stay within
      // its fence and this bucket's upper one.
      for (uint32_t p = ok.starts[j]; p < ok.starts[j + 1]; ++p) {
        const uint32_t id = ok.ids[p];
        if (ok.is_stale(id) || (keep && !keep->contains(id))) continue;
        ids.push_back(id);
      }
      for (; a < added.size() && (j + 1 == nb || added[a].first < f[j + 1]); ++a) ids.push_back(added[a].second);
      const size_t count = ids.size() - first;
      if (count == 0 && opened) {  // nothing left in it: the bucket goes
        starts.pop_back();
        fences.pop_back();
        filling = before;
        continue;
      }
      if (filling + count <= kMaxBucket) {
        filling += count;
        continue;
      }
      // Too large for one bucket: the keys of this bucket's part are read
      // back and it is cut into buckets of kBucket.
      split.clear();
      const NumKey floor = fences.back();
      const size_t top = differing_bits(floor, f[j + 1]);
      const size_t own = starts.back();
      for (size_t p = own; p < ids.size(); ++p) split.emplace_back(key_below(ids[p], f[j + 1], top), ids[p]);
      std::sort(split.begin(), split.end());
      ids.resize(own);
      starts.pop_back();
      fences.pop_back();
      for (size_t at = 0; at < split.size(); at += kBucket) {
        starts.push_back(static_cast<uint32_t>(ids.size()));
        fences.push_back(at == 0 ? std::min(floor, split[0].first) : split[at].first);
        for (size_t e = at; e < std::min(split.size(), at + kBucket); ++e) ids.push_back(split[e].second);
      }
      filling = kBucket;
    }
  } else if (!added.empty()) {
    for (size_t at = 0; at < added.size(); at += kBucket) {
      starts.push_back(static_cast<uint32_t>(ids.size()));
      fences.push_back(added[at].first);
      for (size_t e = at; e < std::min(added.size(), at + kBucket); ++e) ids.push_back(added[e].second);
    }
    last = added.back().first;
  }
  // Trailing buckets left empty go (an empty bucket in the middle does no harm).
  while (!starts.empty() && starts.back() == ids.size()) {
    starts.pop_back();
    fences.pop_back();
  }
  if (!starts.empty()) {
    starts.push_back(static_cast<uint32_t>(ids.size()));
    fences.push_back(last);
  }
  ok.ids = std::move(ids);
  ok.starts = std::move(starts);
  ok.fences = std::move(fences);
  // The patch list keeps its memory while small (a run of assignments fills
  // it again); a large one goes, rather than cost up to 1.5 bytes an id.
  added.clear();
  if (added.capacity() <= 4 * kMaxPatches) ok.added = std::move(added);
  ok.stale.clear();
  ok.dead.clear();
  ok.any_stale = false;
  ok.any_dead = false;
  ok.removals = 0;
}

void NumericalBitmap::file_loaded() {
  MappedArray<Entry> incoming = std::move(loaded_);
  LossyKeys lossy = std::exchange(loaded_lossy_, {});
  if (incoming.empty()) return;
  OrderedKeys* ok = order_.owned();
  if (!ok && few_keys() && plan_ == RangePlan::kAuto) return;  // ranges read the key sets
  if (!ok) {
    std::sort(lossy.begin(), lossy.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    order_.install(ordered_from(incoming, lossy));
    return;
  }
  // Into a map that has them: a batch of more than 1/8 of the ids they hold
  // is filed by building them again, from the slices (their buckets would
  // nearly all be split, each after reading its keys back one id at a time,
  // which costs several times the bulk read); a smaller one is patches,
  // folded in once they are enough.
  if (incoming.size() > kMaxPatches && incoming.size() > ok->ids.size() / 8) {
    order_.install(build_ordered());
    return;
  }
  size_t next_lossy = 0;  // the lossy keys come in the order of their entries
  ok->added.reserve(ok->added.size() + incoming.size());
  for (const auto& [p, id] : incoming) {
    NumKey key = canonical_of(p);
    if (next_lossy < lossy.size() && lossy[next_lossy].first == id) key = lossy[next_lossy++].second;
    ok->mark_stale(id);
    ok->added.emplace_back(key, id);
  }
  if (ok->added.size() > patch_limit(*ok)) fold_patches(*ok, nullptr);
}

bool NumericalBitmap::few_keys_into(const Bound* low, const Bound* high, IdSet& result,
                                    const IdSet& candidates) const {
  if (plan_ != RangePlan::kAuto || !few_keys()) return false;
  absl::InlinedVector<const IdSet*, 64> in_range;
  IdSet listed;  // the keys' ids held in lists
  for (const Shared& s : keys_.sets()) {
    if (s.ids.empty()) continue;  // a released entry
    if (low && (low->inclusive ? s.key < low->key : !(low->key < s.key))) continue;
    if (high && (high->inclusive ? high->key < s.key : !(s.key < high->key))) continue;
    if (const IdSet* set = s.ids.set()) {
      in_range.push_back(set);
    } else {
      s.ids.or_into(listed);
    }
  }
  if (in_range.empty() && listed.is_empty()) return true;
  in_range.push_back(&listed);
  IdSet hits = IdSet::union_of(std::span<const IdSet* const>(in_range));
  hits.and_within(candidates);
  result.or_inplace(hits);
  return true;
}

bool NumericalBitmap::ordered_into(const Bound* low, const Bound* high, IdSet& result, const IdSet& candidates) const {
  if (plan_ == RangePlan::kSweep) return false;
  if (few_keys_into(low, high, result, candidates)) return true;
  const OrderedKeys* ok = ordered_keys();
  if (!ok) return false;
  const auto above_low = [&](const NumKey& k) { return !low || (low->inclusive ? !(k < low->key) : low->key < k); };
  const auto below_high = [&](const NumKey& k) {
    return !high || (high->inclusive ? !(high->key < k) : k < high->key);
  };
  const std::vector<NumKey>& fences = ok->fences;
  const size_t nb = ok->buckets();
  // Buckets from `whole_from` on have every key above the low bound, those
  // before `whole_to` every key below the high bound; the bucket each bound
  // falls in is read key by key.
  size_t whole_from = 0;
  size_t whole_to = nb;
  size_t cut[2] = {nb, nb};
  if (nb > 0) {
    if (low) {
      const auto s = static_cast<size_t>(std::partition_point(fences.begin(), fences.end(),
                                                              [&](const NumKey& f) { return !above_low(f); }) -
                                         fences.begin());
      whole_from = s;
      if (s >= 1 && s <= nb) cut[0] = s - 1;
    }
    if (high) {
      const auto t = static_cast<size_t>(
          std::partition_point(fences.begin(), fences.end(), [&](const NumKey& f) { return below_high(f); }) -
          fences.begin());
      whole_to = t == 0 ? 0 : t - 1;
      if (t >= 1 && t <= nb && cut[0] != t - 1) cut[1] = t - 1;
    }
  }
  size_t count = 0;
  if (whole_to > whole_from) count += ok->starts[whole_to] - ok->starts[whole_from];
  for (size_t c : cut) {
    if (c < nb) count += ok->starts[c + 1] - ok->starts[c];
  }
  // Too wide for the ordered keys, or wider than the candidates: a sweep
  // narrows only the candidates (a conjunction's later operand), so then it
  // costs less than gathering the whole range.
  if (plan_ == RangePlan::kAuto &&
      (count * kOrderedShare > ok->ids.size() + ok->added.size() || count > 2 * candidates.cardinality())) {
    return false;
  }

  std::vector<uint32_t> gathered;
  gathered.reserve(count + 16);
  if (whole_to > whole_from) {
    const uint32_t* first = ok->ids.data() + ok->starts[whole_from];
    const uint32_t* last = ok->ids.data() + ok->starts[whole_to];
    if (ok->any_stale) {
      for (const uint32_t* p = first; p < last; ++p) {
        if (!ok->is_stale(*p)) gathered.push_back(*p);
      }
    } else {
      gathered.insert(gathered.end(), first, last);
    }
  }
  // A cut bucket's keys share their bits from `top` up with its fences: each
  // id's key is compared with a bound from the bit below down, until they
  // differ (or for all of them at once, when the bound differs above).
  const auto sign = [](const NumKey& a, const NumKey& b) { return a < b ? -1 : (b < a ? 1 : 0); };
  for (size_t c : cut) {
    if (c >= nb) continue;
    const size_t top = differing_bits(fences[c], fences[c + 1]);
    const NumKey shared = bits_from(fences[c + 1], top);
    const int low_side = low ? sign(shared, bits_from(low->key, top)) : 1;
    const int high_side = high ? sign(shared, bits_from(high->key, top)) : -1;
    for (uint32_t p = ok->starts[c]; p < ok->starts[c + 1]; ++p) {
      const uint32_t id = ok->ids[p];
      if (ok->is_stale(id)) continue;
      const int to_low = low_side != 0 ? low_side : compare_below(id, low->key, top);
      if (to_low < 0 || (to_low == 0 && !low->inclusive)) continue;
      const int to_high = high_side != 0 ? high_side : compare_below(id, high->key, top);
      if (to_high > 0 || (to_high == 0 && !high->inclusive)) continue;
      gathered.push_back(id);
    }
  }
  for (const auto& [k, id] : ok->added) {
    if (!above_low(k) || !below_high(k)) continue;
    // An id patched again may have moved on from this key.
    if (ok->is_dead(id) && (!all().contains(id) || !(key_below(id, k, kSlices) == k))) continue;
    gathered.push_back(id);
  }
  sort_ids(gathered);
  // Bucket entries that hold are of ids without added ones; only an id
  // patched again may have two added entries that hold the same key.
  if (ok->any_dead) gathered.erase(std::unique(gathered.begin(), gathered.end()), gathered.end());
  IdSet hits = IdSet::from_sorted(gathered);
  hits.and_within(candidates);
  if (result.is_empty()) {
    result = std::move(hits);
  } else {
    result.or_inplace(hits);
  }
  return true;
}

}  // namespace calderwick
