// Query and build cost of the string index of one attribute over 10^5
// strings of 4..24 bytes drawn with English letter frequencies (plus a few
// spaces, digits and capitals). Needles are taken from stored strings, so
// every query has hits; the "hits" counter is the mean result size.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <random>
#include <string>
#include <vector>

#include "index/structures/positional_bitmap/positional_bitmap.h"

namespace calderwick {
namespace {

constexpr size_t kStrings = 100000;
constexpr size_t kNeedles = 1024;

std::vector<std::string> make_strings() {
  // Relative frequencies per 1000 of a-z, then space, digits and capitals.
  static const double kLetterFreq[26] = {82, 15, 28, 43, 127, 22, 20, 61, 70, 2,  8,  40, 24,
                                         67, 75, 19, 1,  60, 63, 91, 28, 10, 24, 2,  20, 1};
  std::vector<double> weights(kLetterFreq, kLetterFreq + 26);
  std::string symbols = "abcdefghijklmnopqrstuvwxyz";
  weights.push_back(120);  // space
  symbols += ' ';
  for (char d = '0'; d <= '9'; ++d) {
    weights.push_back(4);
    symbols += d;
  }
  for (char u = 'A'; u <= 'Z'; ++u) {
    weights.push_back(1.5);
    symbols += u;
  }
  std::mt19937 rng(42);
  std::discrete_distribution<size_t> symbol(weights.begin(), weights.end());
  std::uniform_int_distribution<size_t> length(4, 24);
  std::vector<std::string> out(kStrings);
  for (auto& s : out) {
    s.resize(length(rng));
    for (auto& ch : s) ch = symbols[symbol(rng)];
  }
  return out;
}

const std::vector<std::string>& strings() {
  static const std::vector<std::string> s = make_strings();
  return s;
}

const PositionalBitmap& filled_map() {
  static const PositionalBitmap map = [] {
    PositionalBitmap m;
    const auto& s = strings();
    for (size_t i = 0; i < s.size(); ++i) m.buffered_insert(s[i], uint32_t(i));
    m.flush_all();
    return m;
  }();
  return map;
}

enum class Cut { kWhole, kPrefix, kSuffix, kMiddle };

// Needles cut from evenly spread stored strings.
std::vector<std::string> needles(Cut cut, size_t len) {
  const auto& s = strings();
  std::vector<std::string> out;
  for (size_t i = 0; i < kNeedles; ++i) {
    const std::string& text = s[i * (s.size() / kNeedles)];
    switch (cut) {
      case Cut::kWhole: out.push_back(text); break;
      case Cut::kPrefix: out.push_back(text.substr(0, len)); break;
      case Cut::kSuffix: out.push_back(text.substr(text.size() - len)); break;
      case Cut::kMiddle: out.push_back(text.substr((text.size() - len) / 2, len)); break;
    }
  }
  return out;
}

template <typename Query>
void run_queries(benchmark::State& state, const std::vector<std::string>& ns, Query query) {
  const PositionalBitmap& map = filled_map();
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    IdSet r = query(map, ns[i++ % ns.size()]);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hits"] = benchmark::Counter(double(hits) / double(state.iterations()));
}

void BM_Equal(benchmark::State& state) {
  run_queries(state, needles(Cut::kWhole, 0), [](const PositionalBitmap& m, const std::string& n) { return m.equal(n); });
}
BENCHMARK(BM_Equal);

void BM_StartsWith(benchmark::State& state) {
  run_queries(state, needles(Cut::kPrefix, size_t(state.range(0))),
              [](const PositionalBitmap& m, const std::string& n) { return m.starts_with(n); });
}
BENCHMARK(BM_StartsWith)->Arg(1)->Arg(3);

void BM_EndsWith(benchmark::State& state) {
  run_queries(state, needles(Cut::kSuffix, size_t(state.range(0))),
              [](const PositionalBitmap& m, const std::string& n) { return m.ends_with(n); });
}
BENCHMARK(BM_EndsWith)->Arg(3);

void BM_Contains(benchmark::State& state) {
  run_queries(state, needles(Cut::kMiddle, size_t(state.range(0))),
              [](const PositionalBitmap& m, const std::string& n) { return m.contains(n); });
}
BENCHMARK(BM_Contains)->Arg(3);

// 10^6 strings of six random lowercase letters, and two- and three-letter
// prefixes of them: a two-letter prefix selects ~1,500 ids while each of its
// byte cells holds ~38,000.
constexpr size_t kSixLetter = 1000000;

std::string six_letter(size_t i) {
  static const std::vector<std::string> all = [] {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::vector<std::string> out(kSixLetter, std::string(6, ' '));
    for (auto& s : out) {
      for (auto& ch : s) ch = char(letter(rng));
    }
    return out;
  }();
  return all[i];
}

// The default plan builds the lead pairs with the load; the sweep plan does not.
PositionalBitmap make_six_letter_map(PositionalBitmap::PrefixPlan plan = PositionalBitmap::PrefixPlan::kAuto) {
  PositionalBitmap m;
  m.set_prefix_plan(plan);
  for (size_t i = 0; i < kSixLetter; ++i) m.buffered_insert(six_letter(i), uint32_t(i));
  m.flush_all();
  return m;
}

// Args: prefix length; 1 to pass every stored id as `within` (as a query over
// the whole index does); the plan: 0 sweep, 1 lead pairs (built by the load).
void BM_StartsWithSixLetter(benchmark::State& state) {
  static PositionalBitmap map = make_six_letter_map();
  const size_t len = size_t(state.range(0));
  const IdSet all = map.any_string();
  const IdSet* within = state.range(1) ? &all : nullptr;
  const bool pairs = state.range(2) != 0;
  map.set_prefix_plan(pairs ? PositionalBitmap::PrefixPlan::kLeadPairs : PositionalBitmap::PrefixPlan::kSweep);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> letter('a', 'z');
  std::vector<std::string> prefixes(64, std::string(len, ' '));
  for (auto& p : prefixes) {
    for (auto& ch : p) ch = char(letter(rng));
  }
  benchmark::DoNotOptimize(map.starts_with(prefixes[0], within));
  if (pairs && !map.has_lead_pairs()) state.SkipWithError("the load did not build the lead pairs");
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    IdSet r = map.starts_with(prefixes[i++ % prefixes.size()], within);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hits"] = benchmark::Counter(double(hits) / double(state.iterations()));
  state.SetLabel(std::string(pairs ? "lead pairs" : "sweep") + (within ? ", within all" : ""));
}
BENCHMARK(BM_StartsWithSixLetter)->ArgsProduct({{2, 3}, {0, 1}, {0, 1}});

// Equality over the same strings; arg 1 reads the lead pairs.
void BM_EqualSixLetter(benchmark::State& state) {
  static PositionalBitmap map = make_six_letter_map();
  const bool pairs = state.range(0) != 0;
  map.set_prefix_plan(pairs ? PositionalBitmap::PrefixPlan::kLeadPairs : PositionalBitmap::PrefixPlan::kSweep);
  if (pairs && !map.has_lead_pairs()) state.SkipWithError("the load did not build the lead pairs");
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    IdSet r = map.equal(six_letter((i++ * 7919) % kSixLetter));
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hits"] = benchmark::Counter(double(hits) / double(state.iterations()));
}
BENCHMARK(BM_EqualSixLetter)->Arg(0)->Arg(1);

// One id of the six-letter map takes a new six-letter string, as an
// assignment does: ~11 byte cells of ~38,000 ids change, at random ids.
// First argument 1 loads the map with the lead pairs (they are then kept
// current too); second argument 1 queues the moves, applied in batches, as
// assignments make them.
void BM_ReplaceSixLetter(benchmark::State& state) {
  const bool pairs = state.range(0) != 0;
  const bool queued = state.range(1) != 0;
  PositionalBitmap map =
      make_six_letter_map(pairs ? PositionalBitmap::PrefixPlan::kAuto : PositionalBitmap::PrefixPlan::kSweep);
  if (pairs != map.has_lead_pairs()) state.SkipWithError("the load did not take the plan");
  std::vector<std::string> held(kSixLetter);
  for (size_t i = 0; i < kSixLetter; ++i) held[i] = six_letter(i);
  std::mt19937 rng(13);
  std::uniform_int_distribution<uint32_t> pick(0, uint32_t(kSixLetter - 1));
  std::uniform_int_distribution<int> letter('a', 'z');
  std::string fresh(6, ' ');
  // The caller has the old string at hand (an assignment reads it from the
  // object): the next id's is fetched one round ahead.
  uint32_t id = pick(rng);
  for (auto _ : state) {
    const uint32_t next = pick(rng);
    __builtin_prefetch(&held[next], 1);
    for (auto& ch : fresh) ch = char(letter(rng));
    if (queued) {
      map.queue_replace(held[id], fresh, id);
    } else {
      map.replace(held[id], fresh, id);
    }
    held[id] = fresh;
    id = next;
  }
  map.flush_all();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(pairs ? "with lead pairs" : "");
}
BENCHMARK(BM_ReplaceSixLetter)->ArgsProduct({{0, 1}, {0, 1}});

// Building the lead pairs of the six-letter map on demand (a narrowing that
// keeps every id drops them between builds: the map is made to count as
// small); "bytes_per_string" is the heap they hold.
void BM_BuildLeadPairs(benchmark::State& state) {
  PositionalBitmap map = make_six_letter_map(PositionalBitmap::PrefixPlan::kSweep);
  map.set_load_build_at(UINT64_MAX);
  const IdSet all = map.any_string();
  double bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    map.set_prefix_plan(PositionalBitmap::PrefixPlan::kAuto);
    map.keep_only(all);
    map.set_prefix_plan(PositionalBitmap::PrefixPlan::kLeadPairs);
    const size_t before = mallinfo2().uordblks;
    state.ResumeTiming();
    benchmark::DoNotOptimize(map.starts_with("ab"));
    state.PauseTiming();
    bytes = double(mallinfo2().uordblks - before);
    state.ResumeTiming();
  }
  state.counters["pairs"] = benchmark::Counter(double(map.lead_pair_count()));
  state.counters["bytes_per_string"] = benchmark::Counter(bytes / double(kSixLetter));
}
BENCHMARK(BM_BuildLeadPairs)->Unit(benchmark::kMillisecond);

// Bulk loads of the six-letter strings into a fresh map: arg 0 with the sweep
// plan (no lead pairs), 1 with the default one (the flush builds them), 2
// the same in two loads, the second of 2% of the strings (it extends them).
void BM_LoadSixLetter(benchmark::State& state) {
  const int64_t kind = state.range(0);
  const size_t split = kind == 2 ? kSixLetter - kSixLetter / 50 : kSixLetter;
  for (auto _ : state) {
    PositionalBitmap m;
    if (kind == 0) m.set_prefix_plan(PositionalBitmap::PrefixPlan::kSweep);
    for (size_t i = 0; i < split; ++i) m.buffered_insert(six_letter(i), uint32_t(i));
    m.flush_all();
    for (size_t i = split; i < kSixLetter; ++i) m.buffered_insert(six_letter(i), uint32_t(i));
    m.flush_all();
    if (m.has_lead_pairs() != (kind != 0)) state.SkipWithError("the load did not take the plan");
    state.PauseTiming();
    m = PositionalBitmap();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kSixLetter));
  state.SetLabel(kind == 0 ? "sweep plan" : kind == 1 ? "lead pairs built" : "built, then extended");
}
BENCHMARK(BM_LoadSixLetter)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Building the whole map, one string per item.
void BM_Build(benchmark::State& state) {
  const bool buffered = state.range(0) != 0;
  const auto& s = strings();
  for (auto _ : state) {
    PositionalBitmap m;
    for (size_t i = 0; i < s.size(); ++i) {
      if (buffered) {
        m.buffered_insert(s[i], uint32_t(i));
      } else {
        m.insert(s[i], uint32_t(i));
      }
    }
    if (buffered) m.flush_all();
    benchmark::DoNotOptimize(m);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(s.size()));
  state.SetLabel(buffered ? "buffered" : "direct");
}
BENCHMARK(BM_Build)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calderwick
