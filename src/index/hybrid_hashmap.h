// HybridHashmap: a map that keeps up to 8 entries inline in a `SmallKVMap`
// (searched linearly, iterated in first-insertion order) and switches for good
// to a hash map (`Map`) when a ninth distinct key arrives.
//
// Its use here is the attribute map of an `Indexable`: attribute id -> value.
//
//   HybridHashmap<uint32_t, PyValue> attrs;
//   attrs.insert(3, value);          // replaces and drops an earlier value
//   if (const PyValue* v = attrs.get(3)) ...
//   attrs.for_each([](uint32_t key, const PyValue& v) { ... });
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "absl/container/flat_hash_map.h"
#include "index/common/error.h"
#include "index/common/fxhash.h"

namespace calderwick {

template <typename K, typename V, size_t N = 8>
class SmallKVMap {
 public:
  static constexpr size_t kCapacity = N;

  SmallKVMap() = default;
  SmallKVMap(SmallKVMap&& o) noexcept : len_(o.len_) {
    for (size_t i = 0; i < len_; ++i) {
      keys_[i] = o.keys_[i];
      new (slot(i)) V(std::move(*o.value(i)));
    }
    o.clear();
  }
  SmallKVMap(const SmallKVMap&) = delete;
  SmallKVMap& operator=(const SmallKVMap&) = delete;
  ~SmallKVMap() { clear(); }

  size_t size() const { return len_; }
  bool full() const { return len_ == N; }

  V* get(const K& key) {
    for (size_t i = 0; i < len_; ++i) {
      if (keys_[i] == key) return value(i);
    }
    return nullptr;
  }
  const V* get(const K& key) const { return const_cast<SmallKVMap*>(this)->get(key); }

  // Replaces the value of an existing key in place (`v` then holds the old
  // value), or appends a new entry. Returns false (and changes nothing) when
  // the key is new and the map is full.
  bool insert(const K& key, V&& v) {
    if (V* existing = get(key)) {
      std::swap(*existing, v);
      return true;
    }
    if (len_ == N) return false;
    keys_[len_] = key;
    new (slot(len_)) V(std::move(v));
    ++len_;
    return true;
  }

  template <typename F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < len_; ++i) f(keys_[i], *value(i));
  }

  // Moves every entry out in slot order, leaving the map empty.
  template <typename F>
  void drain(F&& f) {
    for (size_t i = 0; i < len_; ++i) f(keys_[i], std::move(*value(i)));
    clear();
  }

 private:
  void* slot(size_t i) { return storage_ + i * sizeof(V); }
  V* value(size_t i) { return std::launder(reinterpret_cast<V*>(slot(i))); }
  const V* value(size_t i) const { return const_cast<SmallKVMap*>(this)->value(i); }
  void clear() {
    for (size_t i = 0; i < len_; ++i) value(i)->~V();
    len_ = 0;
  }

  K keys_[N] = {};
  alignas(V) unsigned char storage_[N * sizeof(V)];
  size_t len_ = 0;
};

template <typename K, typename V, typename Hash = FxIdHash>
class HybridHashmap {
 public:
  using Small = SmallKVMap<K, V>;
  using Map = absl::flat_hash_map<K, V, Hash>;

  HybridHashmap() = default;
  HybridHashmap(const HybridHashmap&) = delete;
  HybridHashmap& operator=(const HybridHashmap&) = delete;

  bool is_small() const { return std::holds_alternative<Small>(repr_); }
  size_t size() const {
    return std::visit([](const auto& m) { return static_cast<size_t>(m.size()); }, repr_);
  }

  const V* get(const K& key) const {
    if (const Small* s = std::get_if<Small>(&repr_)) return s->get(key);
    const Map& m = std::get<Map>(repr_);
    const auto it = m.find(key);
    return it == m.end() ? nullptr : &it->second;
  }

  // Inserts or replaces. The replaced value is handed back rather than
  // destroyed here, so that a caller can drop it after releasing its lock
  // (dropping a value may run arbitrary code).
  std::optional<V> insert(const K& key, V value) {
    if (Small* s = std::get_if<Small>(&repr_)) {
      const size_t before = s->size();
      if (s->insert(key, std::move(value))) {
        if (s->size() == before) return std::optional<V>(std::move(value));
        return std::nullopt;
      }
      // A ninth distinct key: move the eight entries, in slot order, into a
      // hash map sized for 28 entries, then add the new one.
      Map m;
      m.reserve(28);
      s->drain([&](const K& k, V&& v) { m.emplace(k, std::move(v)); });
      m.emplace(key, std::move(value));
      repr_.template emplace<Map>(std::move(m));
      return std::nullopt;
    }
    Map& m = std::get<Map>(repr_);
    if (const auto it = m.find(key); it != m.end()) {
      std::swap(it->second, value);
      return std::optional<V>(std::move(value));
    }
    m.emplace(key, std::move(value));
    return std::nullopt;
  }

  // Moves every entry out (f(key, value&&)) and leaves the map empty and small.
  template <typename F>
  void drain(F&& f) {
    if (Small* s = std::get_if<Small>(&repr_)) {
      s->drain(f);
      return;
    }
    for (auto& [k, v] : std::get<Map>(repr_)) f(k, std::move(v));
    repr_.template emplace<Small>();
  }

  // f(key, value) for every entry: first-insertion order while small, the hash
  // table's order afterwards.
  template <typename F>
  void for_each(F&& f) const {
    if (const Small* s = std::get_if<Small>(&repr_)) {
      s->for_each(f);
    } else {
      for (const auto& [k, v] : std::get<Map>(repr_)) f(k, v);
    }
  }

  // Debug form: `Small({k: v, ...})` or `Map({k: v, ...})`.
  template <typename F>
  std::string debug_string(F&& value_debug) const {
    std::string out = is_small() ? "Small({" : "Map({";
    bool first = true;
    for_each([&](const K& k, const V& v) {
      if (!first) out += ", ";
      first = false;
      out += std::to_string(k) + ": " + value_debug(v);
    });
    return out + "})";
  }

 private:
  std::variant<Small, Map> repr_;
};

}  // namespace calderwick
