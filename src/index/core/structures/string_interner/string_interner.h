// StrInterner: attribute names to dense 32-bit ids, process-wide.
//
// Names are interned once and never released; ids start at 0. Readers look
// names up in an immutable snapshot (`ImmutableInterner`) without taking any
// lock. A writer adds the name to the growable `MutableInterner` under a
// mutex, freezes a complete new snapshot and publishes it with an atomic swap;
// the old snapshot lives on while readers still hold it.
//
//   uint32_t id = INTERNER().intern("name");
//   auto snap = INTERNER().snapshot();
//   std::optional<uint32_t> same = snap->get("name");
//   std::string_view text = snap->resolve(id);
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/common/locks.h"

namespace calderwick {

using InternedStr = std::shared_ptr<const std::string>;

// Fx byte-string hash of a name.
uint64_t hash_str(std::string_view text);

struct InternKey {
  uint64_t hash;
  uint32_t len;
  bool operator==(const InternKey&) const = default;
};
struct InternKeyHash {
  size_t operator()(const InternKey& k) const;
};

struct InternTable {
  using HashFn = uint64_t (*)(std::string_view);

  std::vector<InternedStr> strings;
  absl::flat_hash_map<InternKey, absl::InlinedVector<uint32_t, 1>, InternKeyHash> map;
  HashFn hash_fn = &hash_str;

  std::optional<uint32_t> find(std::string_view text, uint64_t hash) const;
};

class ImmutableInterner {
 public:
  explicit ImmutableInterner(InternTable table) : table_(std::move(table)) {}
  std::optional<uint32_t> get(std::string_view text) const;
  std::string_view resolve(uint32_t id) const;
  const InternedStr& resolve_shared(uint32_t id) const;
  uint64_t hash_str(std::string_view text) const { return table_.hash_fn(text); }
  size_t size() const { return table_.strings.size(); }

 private:
  InternTable table_;
};

class MutableInterner {
 public:
  explicit MutableInterner(InternTable::HashFn hash_fn);
  uint32_t intern(std::string_view text);
  ImmutableInterner freeze() const;

 private:
  InternTable table_;
};

class StrInterner {
 public:
  // A counted reference to a published snapshot.
  class Snapshot {
   public:
    Snapshot(const Snapshot& o);
    Snapshot(Snapshot&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    Snapshot& operator=(Snapshot o) noexcept {
      std::swap(node_, o.node_);
      return *this;
    }
    ~Snapshot();
    const ImmutableInterner* operator->() const;
    const ImmutableInterner& operator*() const { return *operator->(); }

   private:
    friend class StrInterner;
    struct Node;
    explicit Snapshot(Node* n) : node_(n) {}
    Node* node_;
  };

  // `hash_fn` is replaceable so that tests can force collisions.
  explicit StrInterner(InternTable::HashFn hash_fn = &calderwick::hash_str);
  ~StrInterner();
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  uint32_t intern(std::string_view text);
  Snapshot snapshot() const;

 private:
  void publish(ImmutableInterner table);

  std::atomic<Snapshot::Node*> current_;
  // Readers between loading `current_` and taking their count on it.
  mutable std::atomic<size_t> loading_{0};
  Mutex<MutableInterner> writer_;
};

// The process-wide interner, created on first use and never destroyed.
StrInterner& INTERNER();

}  // namespace calderwick
