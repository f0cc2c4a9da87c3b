// HybridHashmap: a map that keeps up to N entries in one array sized by what
// it holds (searched linearly, iterated in first-insertion order) and
// switches for good to a hash map (`Map`) when an (N+1)th distinct key
// arrives.
//
// Its use here is the attribute map of an `Indexable`: attribute id -> value.
// A value type with 32 spare bits (`spare()` / `set_spare()`, as PyValue has)
// carries its own key there, so an entry is no larger than the value.
//
//   HybridHashmap<uint32_t, PyValue, 16> attrs;
//   attrs.insert(3, value);          // hands back a replaced value
//   if (const PyValue* v = attrs.get(3)) ...
//   attrs.for_each([](uint32_t key, const PyValue& v) { ... });
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "index/common/error.h"
#include "index/common/fxhash.h"

namespace calderwick {

namespace detail {

template <typename K, typename V>
concept KeyInSpare = sizeof(K) <= 4 && requires(V v, const V cv) {
  { cv.spare() } -> std::convertible_to<uint32_t>;
  v.set_spare(uint32_t{});
};

// One array entry: the value with its key in its spare bits, or a pair.
template <typename K, typename V>
struct Entry {
  K key;
  V value;
  Entry(const K& k, V&& v) : key(k), value(std::move(v)) {}
  const K& get_key() const { return key; }
  void set_key(const K&) {}
  V& get_value() { return value; }
  const V& get_value() const { return value; }
};

template <typename K, typename V>
  requires KeyInSpare<K, V>
struct Entry<K, V> {
  V value;
  Entry(const K& k, V&& v) : value(std::move(v)) { value.set_spare(static_cast<uint32_t>(k)); }
  K get_key() const { return static_cast<K>(value.spare()); }
  void set_key(const K& k) { value.set_spare(static_cast<uint32_t>(k)); }
  V& get_value() { return value; }
  const V& get_value() const { return value; }
};

}  // namespace detail

template <typename K, typename V, size_t N = 8, typename Hash = FxIdHash>
class HybridHashmap {
  static_assert(N >= 1 && N < 255, "the small capacity must fit a byte");

 public:
  using Map = absl::flat_hash_map<K, V, Hash>;
  static constexpr size_t kSmallCapacity = N;

  HybridHashmap() = default;
  HybridHashmap(HybridHashmap&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), len_(std::exchange(o.len_, 0)), cap_(std::exchange(o.cap_, 0)) {}
  HybridHashmap(const HybridHashmap&) = delete;
  HybridHashmap& operator=(const HybridHashmap&) = delete;
  ~HybridHashmap() { reset(); }

  bool is_small() const { return cap_ != kLarge; }
  size_t size() const { return is_small() ? len_ : map()->size(); }

  // Room for `n` entries while small, allocated once (a constructor that
  // knows its attribute count calls this first).
  void reserve(size_t n) {
    if (is_small() && n > cap_) grow(std::min(n, N));
  }

  // Asks for the entries to be brought into the cache ahead of a get().
  void prefetch() const {
    if (!is_small()) return;
    __builtin_prefetch(data_);
    __builtin_prefetch(static_cast<const char*>(data_) + 64);
  }

  const V* get(const K& key) const {
    if (!is_small()) {
      const auto it = map()->find(key);
      return it == map()->end() ? nullptr : &it->second;
    }
    for (size_t i = 0; i < len_; ++i) {
      if (entries()[i].get_key() == key) return &entries()[i].get_value();
    }
    return nullptr;
  }

  // Inserts or replaces. The replaced value is handed back rather than
  // destroyed here, so that a caller can drop it after releasing its lock
  // (dropping a value may run arbitrary code).
  std::optional<V> insert(const K& key, V value) {
    if (!is_small()) {
      if (const auto it = map()->find(key); it != map()->end()) {
        std::swap(it->second, value);
        return std::optional<V>(std::move(value));
      }
      map()->emplace(key, std::move(value));
      return std::nullopt;
    }
    for (size_t i = 0; i < len_; ++i) {
      if (entries()[i].get_key() == key) {
        std::swap(entries()[i].get_value(), value);
        entries()[i].set_key(key);  // a key riding in the value went out with the swap
        return std::optional<V>(std::move(value));
      }
    }
    if (len_ < N) {
      if (len_ == cap_) grow(std::min<size_t>(N, std::max<size_t>(2, size_t(cap_) * 2)));
      new (&entries()[len_]) Entry(key, std::move(value));
      ++len_;
      return std::nullopt;
    }
    // An (N+1)th distinct key: move the entries, in slot order, into a hash
    // map, then add the new one.
    auto* m = new Map();
    m->reserve(N * 2);
    for (size_t i = 0; i < len_; ++i) m->emplace(entries()[i].get_key(), std::move(entries()[i].get_value()));
    m->emplace(key, std::move(value));
    reset();
    data_ = m;
    cap_ = kLarge;
    return std::nullopt;
  }

  // Moves every entry out (f(key, value&&)) and leaves the map empty and small.
  template <typename F>
  void drain(F&& f) {
    if (is_small()) {
      for (size_t i = 0; i < len_; ++i) f(entries()[i].get_key(), std::move(entries()[i].get_value()));
    } else {
      for (auto& [k, v] : *map()) f(k, std::move(v));
    }
    reset();
  }

  // f(key, value) for every entry: first-insertion order while small, the hash
  // table's order afterwards.
  template <typename F>
  void for_each(F&& f) const {
    if (is_small()) {
      for (size_t i = 0; i < len_; ++i) f(entries()[i].get_key(), entries()[i].get_value());
    } else {
      for (const auto& [k, v] : *map()) f(k, v);
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
  using Entry = detail::Entry<K, V>;
  static constexpr uint8_t kLarge = 0xff;

  Entry* entries() const { return static_cast<Entry*>(data_); }
  Map* map() const { return static_cast<Map*>(data_); }

  void grow(size_t cap) {
    auto* fresh = static_cast<Entry*>(std::malloc(cap * sizeof(Entry)));
    if (!fresh) throw std::bad_alloc();
    for (size_t i = 0; i < len_; ++i) {
      new (&fresh[i]) Entry(std::move(entries()[i]));
      entries()[i].~Entry();
    }
    std::free(data_);
    data_ = fresh;
    cap_ = static_cast<uint8_t>(cap);
  }

  // Frees everything and leaves the map empty and small.
  void reset() {
    if (is_small()) {
      for (size_t i = 0; i < len_; ++i) entries()[i].~Entry();
      std::free(data_);
    } else {
      delete map();
    }
    data_ = nullptr;
    len_ = 0;
    cap_ = 0;
  }

  void* data_ = nullptr;  // Entry[cap_] while small, a Map once large
  uint8_t len_ = 0;
  uint8_t cap_ = 0;       // kLarge once switched
};

}  // namespace calderwick
