// The range sweeps of NumericalBitmap, compiled once per instruction set.
//
// The sweep body is written once and force-inlined into each variant, so the
// variants perform the same bitmap operations and differ only in the target
// the surrounding code is compiled for. The target is set per function
// (never with per-file -m flags): an inline helper emitted out of line here
// keeps the baseline target, so the linker can never hand an AVX copy of it to
// code that runs on an older CPU.
#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

namespace calderwick {

struct NumericalSweep {
  // Walks the key from bit 75 down. `eq` holds the candidates whose key agrees
  // with `key` on every bit above i. At bit i those of them on the far side of
  // the key's bit (element 1 where the key has 0 for ">", element 0 where it
  // has 1 for "<") differ from the key first here, in the wanted direction, so
  // they go to `result`; the rest of `eq` narrows to the key's own bit. What
  // is left after bit 0 equals the key, added for the inclusive forms.
  template <bool kGreater, bool kInclusive>
  [[gnu::always_inline]] static inline void run(const NumericalBitmap& index, const NumKey& key, IdSet& result,
                                                const IdSet& candidates) {
    constexpr int kBeyond = kGreater ? 1 : 0;  // the element holding ids beyond the key at a bit
    ScratchBorrow borrow;
    IdSet& scratch = borrow.set();
    const IdSet* eq = &candidates;  // not copied until the first narrowing
    IdSet narrowed;
    for (size_t i = NumericalBitmap::kSlices; i-- > 0;) {
      const auto& slice = index.slices_[i];
      const int b = key.bit(i);
      // With b == kBeyond the key itself is on the far side and nothing
      // passes it at this bit, so the intersection would be empty.
      if (b != kBeyond) {
        // Computed straight into the scratch set: cheaper than copying eq and
        // narrowing the copy, since only the (usually small) intersection is built.
        scratch = IdSet::and_(*eq, slice[kBeyond].bitmap());
        result.or_inplace(scratch);
      }
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
};

#define CALDERWICK_SWEEP_VARIANTS(ATTR, SUFFIX)                                                                    \
  ATTR void NumericalBitmap::get_gt_into_##SUFFIX(const NumKey& key, IdSet& result, const IdSet& candidates)   \
      const {                                                                                                    \
    NumericalSweep::run<true, false>(*this, key, result, candidates);                                           \
  }                                                                                                              \
  ATTR void NumericalBitmap::get_gte_into_##SUFFIX(const NumKey& key, IdSet& result, const IdSet& candidates)  \
      const {                                                                                                    \
    NumericalSweep::run<true, true>(*this, key, result, candidates);                                            \
  }                                                                                                              \
  ATTR void NumericalBitmap::get_lt_into_##SUFFIX(const NumKey& key, IdSet& result, const IdSet& candidates)   \
      const {                                                                                                    \
    NumericalSweep::run<false, false>(*this, key, result, candidates);                                          \
  }                                                                                                              \
  ATTR void NumericalBitmap::get_lte_into_##SUFFIX(const NumKey& key, IdSet& result, const IdSet& candidates)  \
      const {                                                                                                    \
    NumericalSweep::run<false, true>(*this, key, result, candidates);                                           \
  }

// sse2 is the x86-64 baseline: no attribute.
CALDERWICK_SWEEP_VARIANTS(, sse2)
CALDERWICK_SWEEP_VARIANTS(__attribute__((target("avx2"))), avx2)
CALDERWICK_SWEEP_VARIANTS(__attribute__((target("avx512f"))), avx512)

#undef CALDERWICK_SWEEP_VARIANTS

}  // namespace calderwick
