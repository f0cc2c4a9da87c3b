// NumericalBitmap queries at 10^6 ids, with few and with many distinct values.
//
// Arguments: {ids, distinct values}. Every id holds an integer in [0, distinct)
// drawn from a fixed-seed generator; queries use the middle value as key and
// all ids as candidates, so about half of the ids pass a range sweep.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

namespace calderwick {
namespace {

struct Fixture {
  NumericalBitmap index;
  IdSet all;
};

// Built once per argument pair and shared by every benchmark that uses it.
const Fixture& fixture(int64_t ids, int64_t distinct) {
  static std::map<std::pair<int64_t, int64_t>, std::unique_ptr<Fixture>> built;
  auto& slot = built[{ids, distinct}];
  if (!slot) {
    slot = std::make_unique<Fixture>();
    std::mt19937_64 rng(42);
    for (uint32_t id = 1; id <= static_cast<uint32_t>(ids); ++id) {
      slot->index.buffered_insert(static_cast<int64_t>(rng() % static_cast<uint64_t>(distinct)), id);
    }
    slot->index.flush_all();
    slot->all.add_many([&] {
      std::vector<uint32_t> v(static_cast<size_t>(ids));
      for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint32_t>(i + 1);
      return v;
    }());
  }
  return *slot;
}

NumKey middle_key(int64_t distinct) { return NumericalBitmap::key_of(distinct / 2); }

void BM_Equal(benchmark::State& state) {
  const Fixture& f = fixture(state.range(0), state.range(1));
  const NumKey key = middle_key(state.range(1));
  for (auto _ : state) {
    IdSet out = f.index.equal(key);
    benchmark::DoNotOptimize(out.cardinality());
  }
}

template <NumericalBitmap::SweepFn Fn>
void BM_Sweep(benchmark::State& state) {
  const Fixture& f = fixture(state.range(0), state.range(1));
  const NumKey key = middle_key(state.range(1));
  uint64_t passed = 0;
  for (auto _ : state) {
    IdSet out;
    (f.index.*Fn)(key, out, f.all);
    passed = out.cardinality();
    benchmark::DoNotOptimize(passed);
  }
  state.counters["passed"] = static_cast<double>(passed);
}

// A range of 1% of the distinct values around the middle, in one sweep.
void BM_Between(benchmark::State& state) {
  const Fixture& f = fixture(state.range(0), state.range(1));
  const int64_t distinct = state.range(1);
  const NumKey low = NumericalBitmap::key_of(distinct / 2);
  const NumKey high = NumericalBitmap::key_of(distinct / 2 + std::max<int64_t>(1, distinct / 100));
  uint64_t passed = 0;
  for (auto _ : state) {
    IdSet out;
    f.index.get_between_into(low, high, out, f.all);
    passed = out.cardinality();
    benchmark::DoNotOptimize(passed);
  }
  state.counters["passed"] = static_cast<double>(passed);
}

void BM_BulkLoad(benchmark::State& state) {
  const int64_t ids = state.range(0);
  const auto distinct = static_cast<uint64_t>(state.range(1));
  for (auto _ : state) {
    NumericalBitmap index;
    std::mt19937_64 rng(42);
    for (uint32_t id = 1; id <= static_cast<uint32_t>(ids); ++id) {
      index.buffered_insert(static_cast<int64_t>(rng() % distinct), id);
    }
    index.flush_all();
    benchmark::DoNotOptimize(index.all().cardinality());
  }
  state.SetItemsProcessed(state.iterations() * ids);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({1'000'000, 10})->Args({1'000'000, 100'000})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Equal)->Apply(Sizes);
BENCHMARK(BM_Sweep<&NumericalBitmap::get_gt_into>)->Name("BM_Gt")->Apply(Sizes);
BENCHMARK(BM_Sweep<&NumericalBitmap::get_gte_into>)->Name("BM_Gte")->Apply(Sizes);
BENCHMARK(BM_Sweep<&NumericalBitmap::get_lt_into>)->Name("BM_Lt")->Apply(Sizes);
BENCHMARK(BM_Sweep<&NumericalBitmap::get_lte_into>)->Name("BM_Lte")->Apply(Sizes);

BENCHMARK(BM_Between)->Apply(Sizes);

BENCHMARK(BM_BulkLoad)->Apply(Sizes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calderwick
