// HybridHashmap: a map that keeps up to N entries in one array sized by what
// it holds (searched linearly, iterated in first-insertion order) and
// switches for good, when an (N+1)th distinct key arrives, to one array
// sorted by key (searched by halving, iterated in key order) that grows by
// one entry per new key. Either way an entry costs the size of the value and
// nothing else: a map of n entries is one block of about 16n bytes, with no
// step at the switch.
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

// Where a map's one block comes from: the C heap unless the owner says
// otherwise (an allocator with the same two static functions).
struct HeapBlocks {
  static void* allocate(size_t bytes) {
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  static void release(void* p) noexcept { std::free(p); }
};

template <typename K, typename V, size_t N = 8, typename Blocks = HeapBlocks>
class HybridHashmap {
  static_assert(N >= 1 && N < 255, "the small capacity must fit a byte");

 public:
  static constexpr size_t kSmallCapacity = N;

  HybridHashmap() = default;
  HybridHashmap(HybridHashmap&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), len_(std::exchange(o.len_, 0)), cap_(std::exchange(o.cap_, 0)) {}
  HybridHashmap(const HybridHashmap&) = delete;
  HybridHashmap& operator=(const HybridHashmap&) = delete;
  ~HybridHashmap() { reset(); }

  bool is_small() const { return cap_ != kLarge; }
  size_t size() const { return is_small() ? len_ : large()->len; }

  // Room for `n` entries, allocated once (a constructor that knows its
  // attribute count calls this first, before any insert).
  void reserve(size_t n) {
    if (!is_small()) {
      if (n > large()->cap) relocate_large(n);
    } else if (n > N) {
      spill(n);
    } else if (n > cap_) {
      grow(n);
    }
  }

  // Asks for the entries to be brought into the cache ahead of a get().
  void prefetch() const {
    __builtin_prefetch(data_);
    __builtin_prefetch(static_cast<const char*>(data_) + 64);
  }

  const V* get(const K& key) const {
    if (!is_small()) {
      const size_t i = lower_bound(key);
      return i < large()->len && entries()[i].get_key() == key ? &entries()[i].get_value() : nullptr;
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
    if (!is_small()) return insert_large(key, std::move(value));
    for (size_t i = 0; i < len_; ++i) {
      if (entries()[i].get_key() == key) return replace(entries()[i], key, std::move(value));
    }
    if (len_ == N) {
      // An (N+1)th distinct key: the entries move into the sorted array.
      spill(N + 1);
      return insert_large(key, std::move(value));
    }
    if (len_ == cap_) grow(std::min<size_t>(N, std::max<size_t>(2, size_t(cap_) * 2)));
    new (&entries()[len_]) Entry(key, std::move(value));
    ++len_;
    return std::nullopt;
  }

  // Moves every entry out (f(key, value&&)) and leaves the map empty and small.
  template <typename F>
  void drain(F&& f) {
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) f(entries()[i].get_key(), std::move(entries()[i].get_value()));
    reset();
  }

  // f(key, value) for every entry: first-insertion order while small, key
  // order afterwards.
  template <typename F>
  void for_each(F&& f) const {
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) f(entries()[i].get_key(), entries()[i].get_value());
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
  // Once large, the block starts with its count and capacity; the entries,
  // sorted by key, follow.
  struct Large {
    uint32_t len;
    uint32_t cap;
  };
  static_assert(sizeof(Large) % alignof(Entry) == 0, "the entries follow the header aligned");

  Large* large() const { return static_cast<Large*>(data_); }
  Entry* entries() const {
    return is_small() ? static_cast<Entry*>(data_) : reinterpret_cast<Entry*>(static_cast<Large*>(data_) + 1);
  }

  static std::optional<V> replace(Entry& entry, const K& key, V value) {
    std::swap(entry.get_value(), value);
    entry.set_key(key);  // a key riding in the value went out with the swap
    return std::optional<V>(std::move(value));
  }

  // The first position whose key is not below `key` (large only).
  size_t lower_bound(const K& key) const {
    const Entry* e = entries();
    size_t lo = 0, n = large()->len;
    while (n > 0) {
      const size_t half = n / 2;
      if (e[lo + half].get_key() < key) {
        lo += half + 1;
        n -= half + 1;
      } else {
        n = half;
      }
    }
    return lo;
  }

  std::optional<V> insert_large(const K& key, V value) {
    const size_t at = lower_bound(key);
    const size_t len = large()->len;
    if (at < len && entries()[at].get_key() == key) return replace(entries()[at], key, std::move(value));
    // Grown by one entry at a time: every attribute costs the same few
    // words, and attributes are added far less often than they are read.
    if (len == large()->cap) relocate_large(len + 1);
    Entry* e = entries();
    if (at < len) {
      new (&e[len]) Entry(std::move(e[len - 1]));
      for (size_t i = len - 1; i > at; --i) e[i] = std::move(e[i - 1]);
      e[at].~Entry();
    }
    new (&e[at]) Entry(key, std::move(value));
    ++large()->len;
    return std::nullopt;
  }

  // Moves the large entries into a block with room for `cap`.
  void relocate_large(size_t cap) {
    if (cap > UINT32_MAX) throw std::bad_alloc();
    const size_t len = large()->len;
    auto* fresh = static_cast<Large*>(Blocks::allocate(sizeof(Large) + cap * sizeof(Entry)));
    Entry* to = reinterpret_cast<Entry*>(fresh + 1);
    Entry* from = entries();
    for (size_t i = 0; i < len; ++i) {
      new (&to[i]) Entry(std::move(from[i]));
      from[i].~Entry();
    }
    Blocks::release(data_);
    data_ = fresh;
    fresh->len = static_cast<uint32_t>(len);
    fresh->cap = static_cast<uint32_t>(cap);
  }

  // Switches to the large form with room for `cap` entries, sorted.
  void spill(size_t cap) {
    const size_t len = len_;
    auto* fresh = static_cast<Large*>(Blocks::allocate(sizeof(Large) + cap * sizeof(Entry)));
    Entry* to = reinterpret_cast<Entry*>(fresh + 1);
    Entry* from = static_cast<Entry*>(data_);
    for (size_t i = 0; i < len; ++i) {
      new (&to[i]) Entry(std::move(from[i]));
      from[i].~Entry();
    }
    std::sort(to, to + len, [](const Entry& a, const Entry& b) { return a.get_key() < b.get_key(); });
    Blocks::release(data_);
    data_ = fresh;
    fresh->len = static_cast<uint32_t>(len);
    fresh->cap = static_cast<uint32_t>(cap);
    len_ = 0;
    cap_ = kLarge;
  }

  void grow(size_t cap) {
    auto* fresh = static_cast<Entry*>(Blocks::allocate(cap * sizeof(Entry)));
    for (size_t i = 0; i < len_; ++i) {
      new (&fresh[i]) Entry(std::move(entries()[i]));
      entries()[i].~Entry();
    }
    Blocks::release(data_);
    data_ = fresh;
    cap_ = static_cast<uint8_t>(cap);
  }

  // Frees everything and leaves the map empty and small.
  void reset() {
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) entries()[i].~Entry();
    Blocks::release(data_);
    data_ = nullptr;
    len_ = 0;
    cap_ = 0;
  }

  void* data_ = nullptr;  // Entry[cap_] while small; a Large header and its entries once large
  uint8_t len_ = 0;       // while small
  uint8_t cap_ = 0;       // kLarge once switched
};

}  // namespace calderwick
