#include "index/core/structures/string_interner/string_interner.h"

#include <thread>

#include "index/common/fxhash.h"

namespace calderwick {

uint64_t hash_str(std::string_view text) { return fx_hash_u64(byte_digest(text)); }

size_t InternKeyHash::operator()(const InternKey& k) const {
  FxHasher h;
  h.write_u64(k.hash);
  h.write_u64(k.len);
  return h.finish();
}

std::optional<uint32_t> InternTable::find(std::string_view text, uint64_t hash) const {
  if (map.empty()) return std::nullopt;
  const auto it = map.find(InternKey{hash, static_cast<uint32_t>(text.size())});
  if (it == map.end()) return std::nullopt;
  for (uint32_t id : it->second) {
    if (*checked_at(strings, id) == text) return id;
  }
  return std::nullopt;
}

std::optional<uint32_t> ImmutableInterner::get(std::string_view text) const {
  return table_.find(text, table_.hash_fn(text));
}

std::string_view ImmutableInterner::resolve(uint32_t id) const { return *resolve_shared(id); }

const InternedStr& ImmutableInterner::resolve_shared(uint32_t id) const { return checked_at(table_.strings, id); }

MutableInterner::MutableInterner(InternTable::HashFn hash_fn) {
  table_.hash_fn = hash_fn;
  table_.strings.reserve(1024);
  table_.map.reserve(1024);
}

uint32_t MutableInterner::intern(std::string_view text) {
  const uint64_t hash = table_.hash_fn(text);
  if (auto id = table_.find(text, hash)) return *id;
  const auto id = static_cast<uint32_t>(table_.strings.size());
  table_.strings.push_back(std::make_shared<const std::string>(text));
  table_.map[InternKey{hash, static_cast<uint32_t>(text.size())}].push_back(id);
  return id;
}

ImmutableInterner MutableInterner::freeze() const {
  InternTable copy;
  copy.hash_fn = table_.hash_fn;
  copy.strings.reserve(table_.strings.size());
  copy.strings.assign(table_.strings.begin(), table_.strings.end());
  copy.map = table_.map;
  return ImmutableInterner(std::move(copy));
}

struct StrInterner::Snapshot::Node {
  explicit Node(ImmutableInterner t) : table(std::move(t)) {}
  std::atomic<size_t> refs{1};
  ImmutableInterner table;
};

StrInterner::Snapshot::Snapshot(const Snapshot& o) : node_(o.node_) {
  node_->refs.fetch_add(1, std::memory_order_relaxed);
}

StrInterner::Snapshot::~Snapshot() {
  if (node_ && node_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete node_;
}

const ImmutableInterner* StrInterner::Snapshot::operator->() const { return &node_->table; }

StrInterner::StrInterner(InternTable::HashFn hash_fn) : writer_(hash_fn) {
  current_.store(new Snapshot::Node(writer_.lock()->freeze()));
}

StrInterner::~StrInterner() { Snapshot drop(current_.load()); }

StrInterner::Snapshot StrInterner::snapshot() const {
  // The announcement in `loading_` and the load of `current_` pair with the
  // writer's exchange and its wait on `loading_` (both sequentially
  // consistent): either the reader sees the new snapshot, or the writer waits
  // until the reader has counted its reference to the old one.
  loading_.fetch_add(1);
  Snapshot::Node* node = current_.load();
  node->refs.fetch_add(1, std::memory_order_relaxed);
  loading_.fetch_sub(1);
  return Snapshot(node);
}

void StrInterner::publish(ImmutableInterner table) {
  Snapshot::Node* old = current_.exchange(new Snapshot::Node(std::move(table)));
  while (loading_.load() != 0) std::this_thread::yield();
  Snapshot drop(old);
}

uint32_t StrInterner::intern(std::string_view text) {
  if (auto id = snapshot()->get(text)) return *id;
  auto writer = writer_.lock();
  const uint32_t id = writer->intern(text);
  // Republish even when another thread added the name meanwhile: cheap, rare,
  // and it keeps "found after intern returned" true for every caller.
  publish(writer->freeze());
  return id;
}

StrInterner& INTERNER() {
  static StrInterner* interner = new StrInterner();
  return *interner;
}

}  // namespace calderwick
