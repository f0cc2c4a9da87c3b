#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <bit>
#include <memory>

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

// Process-wide scratch set for the sweeps, one per thread, made on first use.
thread_local std::unique_ptr<IdSet> TMP_BITMAP;
thread_local bool TMP_BITMAP_BORROWED = false;

}  // namespace

ScratchBorrow::ScratchBorrow() {
  if (TMP_BITMAP_BORROWED) internal_error("the thread's scratch bitmap is already borrowed by a running sweep");
  if (!TMP_BITMAP) TMP_BITMAP = std::make_unique<IdSet>();
  TMP_BITMAP_BORROWED = true;
  set_ = TMP_BITMAP.get();
}

ScratchBorrow::~ScratchBorrow() {
  // Emptied so that an idle thread does not keep a large intersection alive.
  set_->clear();
  TMP_BITMAP_BORROWED = false;
}

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

namespace {

enum class Isa { kSse2, kAvx2, kAvx512 };

Isa best_isa() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Isa::kAvx512;
  if (__builtin_cpu_supports("avx2")) return Isa::kAvx2;
  return Isa::kSse2;
}

NumericalBitmap::SweepFn pick(NumericalBitmap::SweepFn avx512, NumericalBitmap::SweepFn avx2,
                              NumericalBitmap::SweepFn sse2) {
  switch (best_isa()) {
    case Isa::kAvx512:
      return avx512;
    case Isa::kAvx2:
      return avx2;
    case Isa::kSse2:
      break;
  }
  return sse2;
}

}  // namespace

const char* NumericalBitmap::kernel_name() {
  static const char* const name = [] {
    switch (best_isa()) {
      case Isa::kAvx512:
        return "avx512";
      case Isa::kAvx2:
        return "avx2";
      case Isa::kSse2:
        break;
    }
    return "sse2";
  }();
  return name;
}

// Each entry point resolves its kernel slot once per process (thread-safe
// static initialisation) and then calls straight through it.
void NumericalBitmap::get_gt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  static const SweepFn GET_GT_FN = pick(&NumericalBitmap::get_gt_into_avx512, &NumericalBitmap::get_gt_into_avx2,
                                        &NumericalBitmap::get_gt_into_sse2);
  (this->*GET_GT_FN)(key, result, candidates);
}
void NumericalBitmap::get_gte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  static const SweepFn GET_GTE_FN = pick(&NumericalBitmap::get_gte_into_avx512, &NumericalBitmap::get_gte_into_avx2,
                                         &NumericalBitmap::get_gte_into_sse2);
  (this->*GET_GTE_FN)(key, result, candidates);
}
void NumericalBitmap::get_lt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  static const SweepFn GET_LT_FN = pick(&NumericalBitmap::get_lt_into_avx512, &NumericalBitmap::get_lt_into_avx2,
                                        &NumericalBitmap::get_lt_into_sse2);
  (this->*GET_LT_FN)(key, result, candidates);
}
void NumericalBitmap::get_lte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const {
  static const SweepFn GET_LTE_FN = pick(&NumericalBitmap::get_lte_into_avx512, &NumericalBitmap::get_lte_into_avx2,
                                         &NumericalBitmap::get_lte_into_sse2);
  (this->*GET_LTE_FN)(key, result, candidates);
}

}  // namespace calderwick
