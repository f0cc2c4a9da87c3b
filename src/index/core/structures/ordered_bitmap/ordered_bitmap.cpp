#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>
#include <bit>
#include <string>

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

}  // namespace

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

void NumericalBitmap::table_add(const NumKey& key, uint32_t id) {
  const uint32_t hash = hash_of(key);
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
  all_.bitmap().add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].bitmap().add(id); });
  table_add(key, id);
}

void NumericalBitmap::remove_key(const NumKey& key, uint32_t id) {
  if (pending_) flush_all();
  table_remove(key, id);
  all_.bitmap().remove(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].bitmap().remove(id); });
}

void NumericalBitmap::buffered_insert(const Number& v, uint32_t id) {
  const NumKey key = key_of(v);
  all_.buffered_add(id);
  for_each_set_bit(key, [&](size_t i) { slices_[i].buffered_add(id); });
  pending_ = true;
  table_add(key, id);
}

void NumericalBitmap::flush_all() {
  if (!pending_) return;
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
  IdSet eq = IdSet::and_(candidates, all());
  sweep_below<kGreater, kInclusive>(key, kSlices, eq, result);
}

void NumericalBitmap::get_gt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  sweep<true, false>(key, result, candidates);
}
void NumericalBitmap::get_gte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  sweep<true, true>(key, result, candidates);
}
void NumericalBitmap::get_lt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  sweep<false, false>(key, result, candidates);
}
void NumericalBitmap::get_lte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  sweep<false, true>(key, result, candidates);
}

void NumericalBitmap::get_between_into(const NumKey& low, const NumKey& high, IdSet& result,
                                       const IdSet& candidates) const {
  if (high < low) return;
  IdSet eq = IdSet::and_(candidates, all());
  for (size_t i = kSlices; i-- > 0;) {
    const int b = low.bit(i);
    if (b == high.bit(i)) {
      if (!narrow(eq, i, b)) return;
      continue;
    }
    // The first bit where the bounds differ (low has 0, high has 1): below
    // it, the ids with 0 here only need to reach `low`, those with 1 only
    // need to stay under `high`.
    IdSet upper = IdSet::and_(eq, slices_[i].bitmap());
    eq.andnot_inplace(upper);
    sweep_below<true, true>(low, i, eq, result);
    sweep_below<false, true>(high, i, upper, result);
    return;
  }
  result.or_inplace(eq);  // low == high
}

}  // namespace calderwick
