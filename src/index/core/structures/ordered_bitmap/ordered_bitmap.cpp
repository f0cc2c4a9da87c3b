#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <bit>

#include "index/common/error.h"

namespace calderwick {

namespace {

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

void NumericalBitmap::insert_key(const NumKey& key, uint32_t id) {
  for (size_t i = 0; i < kSlices; ++i) slices_[i][key.bit(i)].bitmap().add(id);
}

void NumericalBitmap::remove_key(const NumKey& key, uint32_t id) {
  for (size_t i = 0; i < kSlices; ++i) slices_[i][key.bit(i)].bitmap().remove(id);
}

void NumericalBitmap::buffered_insert(const Number& v, uint32_t id) {
  const NumKey key = key_of(v);
  for (size_t i = 0; i < kSlices; ++i) slices_[i][key.bit(i)].buffered_add(id);
}

void NumericalBitmap::flush_all() {
  for (auto& slice : slices_) {
    slice[0].flush();
    slice[1].flush();
  }
}

void NumericalBitmap::keep_only(const IdSet& keep) {
  flush_all();
  for (auto& slice : slices_) {
    slice[0].bitmap().and_inplace(keep);
    slice[1].bitmap().and_inplace(keep);
  }
}

IdSet NumericalBitmap::equal(const NumKey& key) const {
  IdSet out = slices_[0][key.bit(0)].bitmap();
  for (size_t i = 1; i < kSlices && !out.is_empty(); ++i) out.and_inplace(slices_[i][key.bit(i)].bitmap());
  return out;
}

const NumericalBitmap::Cell& NumericalBitmap::cell(size_t slice, int bit) const {
  return checked_at(checked_at(slices_, slice), static_cast<size_t>(bit));
}

// Walks the key from bit 75 down. `eq` holds the candidates whose key agrees
// with `key` on every bit above i. At bit i those of them on the far side of
// the key's bit (element 1 where the key has 0 for ">", element 0 where it
// has 1 for "<") differ from the key first here, in the wanted direction, so
// they go to `result`; the rest of `eq` narrows to the key's own bit. What is
// left after bit 0 equals the key, added for the inclusive forms.
template <bool kGreater, bool kInclusive>
void NumericalBitmap::sweep(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  constexpr int kBeyond = kGreater ? 1 : 0;  // the element holding ids beyond the key at a bit
  const IdSet* eq = &candidates;             // not copied until the first narrowing
  IdSet narrowed;
  for (size_t i = kSlices; i-- > 0;) {
    const auto& slice = slices_[i];
    const int b = key.bit(i);
    // With b == kBeyond the key itself is on the far side and nothing passes
    // it at this bit. Otherwise only the (usually small) intersection is built.
    if (b != kBeyond) result.or_inplace(IdSet::and_(*eq, slice[kBeyond].bitmap()));
    if (eq == &candidates) {
      narrowed = IdSet::and_(candidates, slice[b].bitmap());
      eq = &narrowed;
    } else {
      narrowed.and_inplace(slice[b].bitmap());
    }
    if (narrowed.is_empty()) return;  // nothing left that could still pass or equal the key
  }
  if (kInclusive) result.or_inplace(*eq);
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

}  // namespace calderwick
