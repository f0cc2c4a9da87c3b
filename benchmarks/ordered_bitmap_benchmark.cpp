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

#include "index/structures/ordered_bitmap/ordered_bitmap.h"

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

// Unique floats in [0, 1000) at 10^6 ids, one index per range plan; a range
// `gt` holding range(1) per mille of the ids, answered by range(0): 0 the
// choice by selectivity, 1 the sweep, 2 the ordered keys.
std::unique_ptr<NumericalBitmap> prices(NumericalBitmap::RangePlan plan) {
  auto index = std::make_unique<NumericalBitmap>();
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> price(0.0, 1000.0);
  for (uint32_t id = 1; id <= 1'000'000; ++id) index->buffered_insert(price(rng), id);
  index->flush_all();
  index->set_range_plan(plan);
  return index;
}

const IdSet& million() {
  static const IdSet all = [] {
    IdSet s;
    std::vector<uint32_t> v(1'000'000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint32_t>(i + 1);
    s.add_many(v);
    return s;
  }();
  return all;
}

void BM_PriceRange(benchmark::State& state) {
  static std::map<int64_t, std::unique_ptr<NumericalBitmap>> by_plan;
  auto& index = by_plan[state.range(0)];
  if (!index) index = prices(static_cast<NumericalBitmap::RangePlan>(state.range(0)));
  const double bound = 1000.0 - static_cast<double>(state.range(1));
  const NumKey key = NumericalBitmap::key_of(bound);
  uint64_t passed = 0;
  for (auto _ : state) {
    IdSet out;
    index->get_gt_into(key, out, million());
    passed = out.cardinality();
    benchmark::DoNotOptimize(passed);
  }
  state.counters["passed"] = static_cast<double>(passed);
  state.counters["ordered_keys_MB"] = static_cast<double>(index->ordered_keys_bytes()) / 1e6;
}

// The first narrow range of a fresh index, answered from the ordered keys
// its load built (where they were built on demand, this was the build).
void BM_BuildOrderedKeys(benchmark::State& state) {
  const NumKey key = NumericalBitmap::key_of(990.0);
  for (auto _ : state) {
    state.PauseTiming();
    auto index = prices(NumericalBitmap::RangePlan::kAuto);
    state.ResumeTiming();
    IdSet out;
    index->get_gt_into(key, out, million());
    benchmark::DoNotOptimize(out.cardinality());
    state.PauseTiming();
    index.reset();
    state.ResumeTiming();
  }
}

// One id takes a new price, as an assignment does: the key table's two
// slots and the ~27 of 76 slices whose bit differs change, at random ids.
// Argument 1: the moves are queued and applied in batches, as assignments
// make them. Each move also patches the ordered keys the load built, and
// pays its share of their folds.
void BM_ReplacePrice(benchmark::State& state) {
  const bool queued = state.range(0) == 1;
  auto index = prices(NumericalBitmap::RangePlan::kAuto);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> price(0.0, 1000.0);
  std::vector<NumKey> held(1'000'001);
  for (uint32_t id = 1; id <= 1'000'000; ++id) held[id] = NumericalBitmap::key_of(price(rng));
  std::uniform_int_distribution<uint32_t> pick(1, 1'000'000);
  // The caller has the old value at hand (an assignment reads it from the
  // object): the next id's is fetched one round ahead.
  uint32_t id = pick(rng);
  for (auto _ : state) {
    const uint32_t next = pick(rng);
    __builtin_prefetch(&held[next], 1);
    const NumKey fresh = NumericalBitmap::key_of(price(rng));
    if (queued) {
      index->queue_replace(held[id], fresh, id);
    } else {
      index->replace_key(held[id], fresh, id);
    }
    held[id] = fresh;
    id = next;
  }
  index->flush_all();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReplacePrice)->Arg(0)->Arg(1)->Unit(benchmark::kNanosecond);

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

// A load of 10^6 unique floats into an empty map, with the ordered keys
// built from the keys it files (argument 0) or without them (1: the sweep
// plan set before the load, as no query then needs them): their share of the
// load.
void BM_BulkLoadPrices(benchmark::State& state) {
  const auto plan = static_cast<NumericalBitmap::RangePlan>(state.range(0));
  for (auto _ : state) {
    NumericalBitmap index;
    index.set_range_plan(plan);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> price(0.0, 1000.0);
    for (uint32_t id = 1; id <= 1'000'000; ++id) index.buffered_insert(price(rng), id);
    index.flush_all();
    benchmark::DoNotOptimize(index.all().cardinality());
    state.counters["ordered_keys_MB"] = static_cast<double>(index.ordered_keys_bytes()) / 1e6;
  }
}
BENCHMARK(BM_BulkLoadPrices)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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

BENCHMARK(BM_PriceRange)
    ->ArgsProduct({{1, 2, 0}, {1, 10, 30, 60, 100, 200}})
    ->ArgNames({"plan", "permille"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildOrderedKeys)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calderwick
