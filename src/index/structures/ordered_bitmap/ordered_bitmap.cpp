#include "index/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <utility>

#include "index/common/error.h"

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

}  // namespace

// Every (key, id) in key order: `prefix` ascending and `ids` beside it; the
// keys their prefix does not give (see prefix_of) are in `lossy`. Direct
// writes since the build are patched in: `added` holds keys inserted since,
// `removed` the ids whose entry in the arrays is gone.
struct NumericalBitmap::OrderedKeys {
  std::vector<uint64_t> prefix;
  std::vector<uint32_t> ids;
  std::vector<std::pair<uint32_t, NumKey>> lossy;  // by id
  std::vector<uint64_t> lossy_prefixes;            // ascending, each once
  std::vector<std::pair<NumKey, uint32_t>> added;
  IdSet removed;
  size_t removals = 0;

  // The key of the entry at `at` whose prefix is `p`.
  NumKey key_at(size_t at, uint64_t p) const {
    if (!lossy.empty()) {
      const auto it = std::lower_bound(lossy.begin(), lossy.end(), ids[at],
                                       [](const auto& e, uint32_t id) { return e.first < id; });
      if (it != lossy.end() && it->first == ids[at]) return it->second;
    }
    return canonical_of(p);
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

NumKey NumericalBitmap::key_held(uint32_t id) const {
  NumKey key;
  for (size_t i = 0; i < kSlices; ++i) {
    if (!slices_[i].bitmap().contains(id)) continue;
    if (i < 64) {
      key.low |= uint64_t{1} << i;
    } else {
      key.high = static_cast<uint16_t>(key.high | (1u << (i - 64)));
    }
  }
  return key;
}

void NumericalBitmap::refile(const NumKey& key, uint32_t id) {
  // Adding a member again files what it holds again: the key table and the
  // ordered keys' patches would count it twice.
  const NumKey held = key_held(id);
  if (!(held == key)) move_now(held, key, id);
}

size_t NumericalBitmap::find_slot(const NumKey& key, uint32_t hash) const {
  if (slots_.empty()) return kNone;
  const uint32_t want = tag_of(hash, false);
  for (size_t i = home_of(want);; i = i + 1 == slots_.size() ? 0 : i + 1) {
    const Slot& s = slots_[i];
    if (s.tag == 0) return kNone;
    if ((s.tag & ~kSetBit) != want) continue;
    if (s.tag & kSetBit ? sets_[s.payload].key == key : id_has_key(s.payload, key)) return i;
  }
}

void NumericalBitmap::place(Slot slot) {
  size_t i = home_of(slot.tag);
  while (slots_[i].tag != 0) i = i + 1 == slots_.size() ? 0 : i + 1;
  slots_[i] = slot;
}

void NumericalBitmap::rehash(size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{});
  for (const Slot& s : old) {
    if (s.tag != 0) place(s);
  }
}

// Backward-shift deletion: the slots after `at` whose home is not in the
// cyclic range (at, j] move up, so every probe run stays unbroken.
void NumericalBitmap::erase_slot(size_t at) {
  size_t i = at;
  for (size_t j = at;;) {
    j = j + 1 == slots_.size() ? 0 : j + 1;
    if (slots_[j].tag == 0) break;
    const size_t k = home_of(slots_[j].tag);
    const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = Slot{};
  --size_;
}

uint32_t NumericalBitmap::new_set(const NumKey& key) {
  if (!free_sets_.empty()) {
    const uint32_t idx = free_sets_.back();
    free_sets_.pop_back();
    sets_[idx].key = key;
    return idx;
  }
  sets_.push_back(Shared{key, IdSet()});
  return static_cast<uint32_t>(sets_.size() - 1);
}

void NumericalBitmap::table_add(const NumKey& key, uint32_t id, uint32_t hash) {
  const size_t at = find_slot(key, hash);
  if (at == kNone) {
    if ((size_ + 1) * 5 > slots_.size() * 4) rehash(std::max<size_t>(16, slots_.size() + slots_.size() / 2));
    place(Slot{tag_of(hash, false), id});
    ++size_;
    return;
  }
  Slot& s = slots_[at];
  if (s.tag & kSetBit) {
    sets_[s.payload].ids.add(id);
  } else if (s.payload != id) {
    const uint32_t idx = new_set(key);
    sets_[idx].ids.add(s.payload);
    sets_[idx].ids.add(id);
    s = Slot{tag_of(hash, true), idx};
  }
}

void NumericalBitmap::table_remove(const NumKey& key, uint32_t id) {
  if (slots_.empty()) return;
  const uint32_t hash = hash_of(key);
  const uint32_t want = tag_of(hash, false);
  for (size_t i = home_of(want);; i = i + 1 == slots_.size() ? 0 : i + 1) {
    Slot& s = slots_[i];
    if (s.tag == 0) return;
    if ((s.tag & ~kSetBit) != want) continue;
    if (s.tag & kSetBit) {
      Shared& shared = sets_[s.payload];
      if (!(shared.key == key)) continue;
      shared.ids.remove(id);
      const uint64_t left = shared.ids.cardinality();
      if (left > 1) return;
      const uint32_t last = shared.ids.maximum();
      shared.ids.clear();
      free_sets_.push_back(s.payload);
      if (left == 1) {
        s = Slot{want, last};
      } else {
        erase_slot(i);
      }
      return;
    }
    // An id holds one number, so its own slot under this hash is the key's.
    if (s.payload == id) {
      erase_slot(i);
      return;
    }
  }
}

void NumericalBitmap::insert_key(const NumKey& key, uint32_t id) {
  flush_all();
  if (all_.bitmap().contains(id)) {
    refile(key, id);
    return;
  }
  all_.bitmap().add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].bitmap().add(id); });
  table_add(key, id);
  ordered_added(key, id);
}

void NumericalBitmap::remove_key(const NumKey& key, uint32_t id) {
  flush_all();
  ordered_removed(key, id);
  table_remove(key, id);
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
      __builtin_prefetch(&slots_[home_of(tag_of(hash_of(m.from), false))], 1);
      __builtin_prefetch(&slots_[home_of(tag_of(hash_of(m.to), false))], 1);
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
  if (!slots_.empty()) {
    __builtin_prefetch(&slots_[home_of(tag_of(hash_of(old_key), false))], 1);
    __builtin_prefetch(&slots_[home_of(tag_of(hash_of(new_key), false))], 1);
  }
  const NumKey differ{old_key.low ^ new_key.low, static_cast<uint16_t>(old_key.high ^ new_key.high)};
  for_each_set_bit(differ, [&](size_t i) { slices_[i].bitmap().set_in_place(id, new_key.bit(i)); });
  ordered_removed(old_key, id);
  table_remove(old_key, id);
  table_add(new_key, id);
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
  all_.buffered_add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].buffered_add(id); });
  pending_ = true;
  queued_keys_.push_back(QueuedKey{key, id, hash_of(key)});
  if (queued_keys_.size() == kKeyBatch) add_queued_keys();
  drop_ordered();
}

void NumericalBitmap::add_queued_keys() {
  // Distinct keys land anywhere in a large table: each key's home slot is
  // asked for a few keys ahead of its turn.
  constexpr size_t kAhead = 8;
  const size_t n = queued_keys_.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n && !slots_.empty()) {
      __builtin_prefetch(&slots_[home_of(tag_of(queued_keys_[i + kAhead].hash, false))], 1);
    }
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
}

void NumericalBitmap::keep_only(const IdSet& keep) {
  flush_all();
  drop_ordered();
  all_.bitmap().and_inplace(keep);
  for (auto& slice : slices_) slice.bitmap().and_inplace(keep);
  std::vector<Slot> kept;
  kept.reserve(size_);
  for (const Slot& s : slots_) {
    if (s.tag == 0) continue;
    if (!(s.tag & kSetBit)) {
      if (keep.contains(s.payload)) kept.push_back(s);
      continue;
    }
    IdSet& ids = sets_[s.payload].ids;
    ids.and_inplace(keep);
    const uint64_t left = ids.cardinality();
    if (left > 1) {
      kept.push_back(s);
      continue;
    }
    if (left == 1) kept.push_back(Slot{s.tag & ~kSetBit, ids.maximum()});
    ids.clear();
    free_sets_.push_back(s.payload);
  }
  if (free_sets_.size() == sets_.size()) {
    sets_.clear();
    free_sets_.clear();
  }
  slots_.clear();
  size_ = kept.size();
  slots_.assign(size_ == 0 ? 0 : std::max<size_t>(16, size_ + size_ / 2), Slot{});
  for (const Slot& s : kept) place(s);
}

IdSet NumericalBitmap::equal(const NumKey& key) const {
  IdSet out;
  equal_into(key, out);
  return out;
}

void NumericalBitmap::equal_into(const NumKey& key, IdSet& out) const {
  const size_t at = find_slot(key, hash_of(key));
  if (at == kNone) return;
  const Slot& s = slots_[at];
  if (!(s.tag & kSetBit)) {
    out.add(s.payload);
  } else if (out.is_empty()) {
    out = sets_[s.payload].ids;
  } else {
    out.or_inplace(sets_[s.payload].ids);
  }
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
  const bool owing = plan_ == RangePlan::kAuto && !has_ordered_keys();
  const uint64_t before = owing ? result.cardinality() : 0;
  IdSet eq = IdSet::and_(candidates, all());
  sweep_below<kGreater, kInclusive>(key, kSlices, eq, result);
  if (owing) note_sweep(before, result.cardinality());
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
  const bool owing = plan_ == RangePlan::kAuto && !has_ordered_keys();
  const uint64_t before = owing ? result.cardinality() : 0;
  IdSet eq = IdSet::and_(candidates, all());
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
  if (owing) note_sweep(before, result.cardinality());
}

// ---------------------------------------------------------------------------
// The ordered keys

size_t NumericalBitmap::ordered_keys_bytes() const {
  const OrderedKeys* ok = order_.ready();
  if (!ok) return 0;
  return ok->prefix.capacity() * sizeof(uint64_t) + ok->ids.capacity() * sizeof(uint32_t) +
         ok->lossy.capacity() * sizeof(ok->lossy[0]) + ok->lossy_prefixes.capacity() * sizeof(uint64_t) +
         ok->added.capacity() * sizeof(ok->added[0]);
}

std::unique_ptr<NumericalBitmap::OrderedKeys> NumericalBitmap::build_ordered() const {
  auto ok = std::make_unique<OrderedKeys>();
  const std::vector<uint32_t> ids = all().to_vector();
  const size_t n = ids.size();
  // Each id's key, read back from the slices, at the id's position in `ids`.
  std::vector<uint64_t> low(n, 0);
  std::vector<uint16_t> high(n, 0);
  const bool dense = n > 0 && ids.back() / 4 < n;  // a position per id costs at most 16 bytes an id
  std::vector<uint32_t> position_of;
  if (dense) {
    position_of.assign(size_t{ids.back()} + 1, 0);
    for (size_t p = 0; p < n; ++p) position_of[ids[p]] = static_cast<uint32_t>(p);
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
        const size_t p = dense ? position_of[id]
                               : static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
        low[p] |= bit;
        high[p] |= high_bit;
      }
    });
  }
  position_of = {};
  std::vector<std::pair<uint64_t, uint32_t>> entries(n);
  for (size_t p = 0; p < n; ++p) {
    const NumKey key{low[p], high[p]};
    const uint64_t prefix = prefix_of(key);
    entries[p] = {prefix, ids[p]};
    if (!(canonical_of(prefix) == key)) {
      ok->lossy.emplace_back(ids[p], key);
      ok->lossy_prefixes.push_back(prefix);
    }
  }
  low = {};
  high = {};
  std::sort(entries.begin(), entries.end());
  ok->prefix.resize(n);
  ok->ids.resize(n);
  for (size_t p = 0; p < n; ++p) {
    ok->prefix[p] = entries[p].first;
    ok->ids[p] = entries[p].second;
  }
  std::sort(ok->lossy_prefixes.begin(), ok->lossy_prefixes.end());
  ok->lossy_prefixes.erase(std::unique(ok->lossy_prefixes.begin(), ok->lossy_prefixes.end()),
                           ok->lossy_prefixes.end());
  return ok;
}

const NumericalBitmap::OrderedKeys* NumericalBitmap::ordered_keys() const {
  if (const OrderedKeys* ok = order_.ready()) return ok;
  if (pending_) return nullptr;
  if (plan_ == RangePlan::kAuto && owed_sweeps_.load(std::memory_order_relaxed) < rebuild_after_) return nullptr;
  return order_.build_once([&] { return build_ordered(); });  // null: another query builds them, sweep meanwhile
}

void NumericalBitmap::note_sweep(uint64_t before, uint64_t after) const {
  if ((after - before) * kOrderedShare <= all().cardinality()) owed_sweeps_.fetch_add(1, std::memory_order_relaxed);
}

void NumericalBitmap::drop_ordered() {
  if (!order_.drop()) return;
  rebuild_after_ = kRebuildSweeps;
  owed_sweeps_.store(0, std::memory_order_relaxed);
}

void NumericalBitmap::ordered_added(const NumKey& key, uint32_t id) {
  OrderedKeys* ok = order_.owned();
  if (!ok) return;
  if (ok->added.size() >= kMaxPatches) {
    drop_ordered();
    return;
  }
  ok->added.emplace_back(key, id);
}

void NumericalBitmap::ordered_removed(const NumKey& key, uint32_t id) {
  OrderedKeys* ok = order_.owned();
  if (!ok) return;
  auto& added = ok->added;
  // Searched from the latest: a value set and soon set back is the common case.
  const auto it = std::find(added.rbegin(), added.rend(), std::pair{key, id});
  if (it != added.rend()) {
    *it = added.back();
    added.pop_back();
    return;
  }
  if (++ok->removals > kMaxPatches) {
    drop_ordered();
    return;
  }
  ok->removed.add(id);
}

bool NumericalBitmap::ordered_into(const Bound* low, const Bound* high, IdSet& result, const IdSet& candidates) const {
  if (plan_ == RangePlan::kSweep) return false;
  const OrderedKeys* ok = ordered_keys();
  if (!ok) return false;
  const auto above_low = [&](const NumKey& k) { return !low || (low->inclusive ? !(k < low->key) : low->key < k); };
  const auto below_high = [&](const NumKey& k) {
    return !high || (high->inclusive ? !(high->key < k) : k < high->key);
  };
  const std::vector<uint64_t>& prefix = ok->prefix;
  size_t begin = 0;
  size_t end = prefix.size();
  // Entries with a bound's prefix hold the key that prefix stands for, so one
  // comparison decides them all; where some hold a key beyond 2^53 the
  // prefix does not give, each is compared on its own.
  std::vector<uint32_t> ties;
  const auto bound_at = [&](const NumKey& key, bool is_low) {
    const uint64_t p = prefix_of(key);
    const auto first = std::lower_bound(prefix.begin(), prefix.end(), p);
    const auto last = std::upper_bound(first, prefix.end(), p);
    const auto lb = static_cast<size_t>(first - prefix.begin());
    const auto ub = static_cast<size_t>(last - prefix.begin());
    if (lb == ub || !std::binary_search(ok->lossy_prefixes.begin(), ok->lossy_prefixes.end(), p)) {
      const NumKey common = canonical_of(p);
      if (is_low) {
        begin = above_low(common) ? lb : ub;
      } else {
        end = below_high(common) ? ub : lb;
      }
      return;
    }
    for (size_t at = lb; at < ub; ++at) {
      const NumKey k = ok->key_at(at, p);
      if (above_low(k) && below_high(k)) ties.push_back(ok->ids[at]);
    }
    (is_low ? begin : end) = is_low ? ub : lb;
  };
  if (low) bound_at(low->key, true);
  if (high) bound_at(high->key, false);
  const size_t count = end > begin ? end - begin : 0;
  // Too wide for the ordered keys, or wider than the candidates: a sweep
  // narrows only the candidates (a conjunction's later operand), so then it
  // costs less than gathering the whole range.
  if (plan_ == RangePlan::kAuto && (count * kOrderedShare > prefix.size() || count > 2 * candidates.cardinality())) {
    return false;
  }

  std::vector<uint32_t> gathered(ok->ids.begin() + static_cast<ptrdiff_t>(begin),
                                 ok->ids.begin() + static_cast<ptrdiff_t>(begin + count));
  gathered.insert(gathered.end(), ties.begin(), ties.end());
  sort_ids(gathered);
  // Both bounds may share a prefix, whose ties are then gathered twice.
  gathered.erase(std::unique(gathered.begin(), gathered.end()), gathered.end());
  IdSet hits = IdSet::from_sorted(gathered);
  if (!ok->removed.is_empty()) hits.andnot_inplace(ok->removed);
  for (const auto& [k, id] : ok->added) {
    if (above_low(k) && below_high(k)) hits.add(id);
  }
  hits.and_inplace(candidates);
  if (result.is_empty()) {
    result = std::move(hits);
  } else {
    result.or_inplace(hits);
  }
  return true;
}

}  // namespace calderwick
