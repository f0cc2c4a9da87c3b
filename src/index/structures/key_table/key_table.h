// Hash tables from the keys of a map to the ids holding them, so that an
// equality costs O(hits) whatever else the map keeps. Neither stores a key
// held by one id: a slot whose hash tag matches is confirmed by the caller's
// `holds(id)`, which reads the id's value back from the map's own structures.
//
// TaggedSlots: the open addressing both use, over 8-byte slots (a tag and a
// payload), at most 4/5 full, linear probing, backward-shift deletion.
//
// KeyTable<Key>: every key. A key held by several ids owns an entry of
// `sets()`, which keeps the key and its ids (PackedIds: most such keys of a
// map of many keys are held by a few ids).
//
//   KeyTable<NumKey> table;
//   table.add(key, 7, hash, holds);      // holds(id, key): the map's own check
//   IdSet out;
//   table.ids_into(key, hash, holds, out);  // out |= {7}
//
// SoleHolders: only the keys held by one id, in a slot each; the ids of
// every other key are counted, by hash tag, in shared slots that store no
// key (a shared slot may count the ids of several keys of its tag). A
// lookup gives the one id holding the key, none, or "shared": then the map
// answers from its other structures. So a map of unique values
// (names, codes) answers an equality in O(1) for one slot a distinct value,
// where keeping every key's ids would cost a set and the key's bytes for
// each value held twice.
//
// `hash` is the caller's 32-bit hash of the key; every call for one key must
// give the same one. An id holds one key at a time. Not thread safe: the
// owner keeps them behind its lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "index/common/id_set.h"
#include "index/structures/packed_ids/packed_ids.h"

namespace calderwick {

class TaggedSlots {
 public:
  // `tag` is 0 for a free slot, else the upper 30 bits of the key's hash,
  // bit 1 set, and bit 0 (the flag) telling the owner what `payload` is.
  struct Slot {
    uint32_t tag = 0;
    uint32_t payload = 0;
    bool flagged() const { return tag & kFlag; }
  };
  static constexpr uint32_t kFlag = 1;

  static uint32_t tag_of(uint32_t hash, bool flag) { return (hash & ~3u) | 2u | (flag ? kFlag : 0u); }
  // Whether a used slot was filed under `hash`.
  static bool of_hash(const Slot& s, uint32_t hash) { return (s.tag & ~kFlag) == tag_of(hash, false); }

  size_t size() const { return size_; }

  // Calls f(slot) for every slot of the probe run of `hash`, until f returns
  // true (then that slot's index is returned) or the run ends (npos).
  static constexpr size_t npos = ~size_t{0};
  template <typename F>
  size_t find_in_run(uint32_t hash, F&& f) const {
    if (slots_.empty()) return npos;
    for (size_t i = home_of(tag_of(hash, false));; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.tag == 0) return npos;
      if (of_hash(s, hash) && f(s)) return i;
    }
  }
  Slot& operator[](size_t i) { return slots_[i]; }
  const Slot& operator[](size_t i) const { return slots_[i]; }

  void prefetch(uint32_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home_of(tag_of(hash, false))], 1);
  }
  // Files a new slot.
  void insert(Slot slot) {
    if ((size_ + 1) * 5 > slots_.size() * 4) rehash(std::max<size_t>(16, slots_.size() + slots_.size() / 2));
    place(slot);
    ++size_;
  }
  // Backward-shift deletion: the slots after `at` whose home is not in the
  // cyclic range (at, j] move up, so every probe run stays unbroken.
  void erase(size_t at) {
    size_t i = at;
    for (size_t j = at;;) {
      j = next(j);
      if (slots_[j].tag == 0) break;
      const size_t k = home_of(slots_[j].tag);
      const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
      if (!stays) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --size_;
  }
  // Keeps only the used slots for which keep(slot) is true; keep may rewrite
  // the slot it is given. The table is sized afresh for what is left.
  template <typename F>
  void filter(F&& keep) {
    std::vector<Slot> kept;
    kept.reserve(size_);
    for (Slot s : slots_) {
      if (s.tag != 0 && keep(s)) kept.push_back(s);
    }
    size_ = kept.size();
    std::vector<Slot>().swap(slots_);
    slots_.assign(size_ == 0 ? 0 : std::max<size_t>(16, size_ + size_ / 2), Slot{});
    for (const Slot& s : kept) place(s);
  }

 private:
  size_t home_of(uint32_t tag) const { return static_cast<size_t>((uint64_t{tag >> 2} * slots_.size()) >> 30); }
  size_t next(size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }
  // Into a free slot, no growth.
  void place(Slot slot) {
    size_t i = home_of(slot.tag);
    while (slots_[i].tag != 0) i = next(i);
    slots_[i] = slot;
  }
  void rehash(size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    for (const Slot& s : old) {
      if (s.tag != 0) place(s);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;  // used slots
};

// `Key` is what a shared entry keeps; lookups take any type it compares
// equal with and is made from.
template <typename Key>
class KeyTable {
 public:
  struct Shared {
    Key key;
    PackedIds ids;  // empty for a released entry
  };

  // Distinct keys held, and how many of them own a shared entry.
  size_t distinct() const { return slots_.size(); }
  size_t shared() const { return sets_.size() - free_sets_.size(); }
  // The shared entries, released ones (empty ids) among them.
  std::span<const Shared> sets() const { return sets_; }

  void prefetch(uint32_t hash) const { slots_.prefetch(hash); }

  // out |= the ids holding `key`.
  template <typename K, typename Holds>
  void ids_into(const K& key, uint32_t hash, const Holds& holds, IdSet& out) const {
    const size_t at = find(key, hash, holds);
    if (at == TaggedSlots::npos) return;
    const Slot& s = slots_[at];
    if (s.flagged()) {
      sets_[s.payload].ids.or_into(out);
    } else {
      out.add(s.payload);
    }
  }

  // Files `id` under `key`; nothing changes if it is filed there already.
  template <typename K, typename Holds>
  void add(const K& key, uint32_t id, uint32_t hash, const Holds& holds) {
    const size_t at = find(key, hash, holds);
    if (at == TaggedSlots::npos) {
      slots_.insert(Slot{TaggedSlots::tag_of(hash, false), id});
      return;
    }
    Slot& s = slots_[at];
    if (s.flagged()) {
      sets_[s.payload].ids.add(id);
    } else if (s.payload != id) {
      const uint32_t idx = new_set(key);
      sets_[idx].ids.add(s.payload);
      sets_[idx].ids.add(id);
      s = Slot{TaggedSlots::tag_of(hash, true), idx};
    }
  }

  // Takes `id` off `key`, which it holds: a slot of its own under this hash
  // is the key's.
  template <typename K>
  void remove(const K& key, uint32_t id, uint32_t hash) {
    const size_t at = slots_.find_in_run(hash, [&](const Slot& s) {
      return s.flagged() ? sets_[s.payload].key == key : s.payload == id;
    });
    if (at == TaggedSlots::npos) return;
    Slot& s = slots_[at];
    if (!s.flagged()) {
      slots_.erase(at);
      return;
    }
    PackedIds& ids = sets_[s.payload].ids;
    ids.remove(id);
    const size_t left = ids.size();
    if (left > 1) return;
    const uint32_t last = left == 1 ? ids.list()[0] : 0;
    release_set(s.payload);
    if (left == 1) {
      s = Slot{TaggedSlots::tag_of(hash, false), last};
    } else {
      slots_.erase(at);
    }
  }

  // Drops every id outside `keep`.
  void keep_only(const IdSet& keep) {
    slots_.filter([&](Slot& s) {
      if (!s.flagged()) return keep.contains(s.payload);
      PackedIds& ids = sets_[s.payload].ids;
      ids.keep_only(keep);
      const size_t left = ids.size();
      if (left > 1) return true;
      const uint32_t last = left == 1 ? ids.list()[0] : 0;
      release_set(s.payload);
      s = Slot{s.tag & ~TaggedSlots::kFlag, last};
      return left == 1;
    });
    if (free_sets_.size() == sets_.size()) {
      std::vector<Shared>().swap(sets_);
      std::vector<uint32_t>().swap(free_sets_);
    }
  }

 private:
  // An unflagged slot holds the one id holding its key, a flagged one an
  // index into `sets_`.
  using Slot = TaggedSlots::Slot;

  template <typename K, typename Holds>
  size_t find(const K& key, uint32_t hash, const Holds& holds) const {
    return slots_.find_in_run(
        hash, [&](const Slot& s) { return s.flagged() ? sets_[s.payload].key == key : holds(s.payload, key); });
  }
  template <typename K>
  uint32_t new_set(const K& key) {
    if (!free_sets_.empty()) {
      const uint32_t idx = free_sets_.back();
      free_sets_.pop_back();
      sets_[idx].key = Key(key);
      return idx;
    }
    sets_.push_back(Shared{Key(key), PackedIds()});
    return static_cast<uint32_t>(sets_.size() - 1);
  }
  void release_set(uint32_t idx) {
    sets_[idx].ids.clear();
    free_sets_.push_back(idx);
  }

  TaggedSlots slots_;
  std::vector<Shared> sets_;
  std::vector<uint32_t> free_sets_;  // indexes of released entries of `sets_`
};

class SoleHolders {
 public:
  enum class Found : uint8_t { kNone, kOne, kShared };

  // Whether the key is held by no id, by one (`*id`), or by ids counted in a
  // shared slot of its hash (perhaps with other keys' ids). `holds(id)`
  // tells whether `id` holds the key.
  template <typename Holds>
  Found find(uint32_t hash, const Holds& holds, uint32_t* id) const {
    bool shared = false;
    uint32_t one = 0;
    bool found = false;
    slots_.find_in_run(hash, [&](const Slot& s) {
      if (s.flagged()) {
        shared = true;
        return true;
      }
      if (!found && holds(s.payload)) {
        one = s.payload;
        found = true;
      }
      return false;
    });
    if (shared) return Found::kShared;
    if (!found) return Found::kNone;
    *id = one;
    return Found::kOne;
  }

  // `id` now holds the key. Nothing is read back: an id of another key of
  // the same hash tag (one in 2^30 of a run) turns shared too, which only
  // sends both keys' equalities to the map's other structures.
  void add(uint32_t id, uint32_t hash) {
    size_t shared = TaggedSlots::npos, other = TaggedSlots::npos;
    slots_.find_in_run(hash, [&](const Slot& s) {
      const size_t at = index_of(s);
      if (s.flagged()) {
        shared = at;
        return true;
      }
      if (other == TaggedSlots::npos || s.payload == id) other = at;
      return false;
    });
    if (shared != TaggedSlots::npos) {
      ++slots_[shared].payload;
    } else if (other == TaggedSlots::npos) {
      slots_.insert(Slot{TaggedSlots::tag_of(hash, false), id});
    } else if (slots_[other].payload != id) {
      slots_[other] = Slot{TaggedSlots::tag_of(hash, true), 2};  // two ids now, counted
      ++shared_;
    }
  }

  // `id` no longer holds the key it held.
  void remove(uint32_t id, uint32_t hash) {
    size_t shared = TaggedSlots::npos;
    const size_t own = slots_.find_in_run(hash, [&](const Slot& s) {
      if (s.flagged()) {
        if (shared == TaggedSlots::npos) shared = index_of(s);
        return false;
      }
      return s.payload == id;
    });
    if (own != TaggedSlots::npos) {
      slots_.erase(own);
    } else if (shared != TaggedSlots::npos && --slots_[shared].payload == 0) {
      slots_.erase(shared);
      --shared_;
    }
  }

  // Drops every id outside `keep`. The shared counts cannot tell whose ids
  // they count, so they stay as they are: the keys they cover are answered
  // by the map's other structures until their slots empty.
  void keep_only(const IdSet& keep) {
    slots_.filter([&](const Slot& s) { return s.flagged() || keep.contains(s.payload); });
  }

  size_t sole() const { return slots_.size() - shared_; }
  size_t shared() const { return shared_; }
  void prefetch(uint32_t hash) const { slots_.prefetch(hash); }

 private:
  // An unflagged slot holds the one id holding its key; a flagged one counts
  // the ids holding keys of its hash that are not held alone.
  using Slot = TaggedSlots::Slot;
  size_t index_of(const Slot& s) const { return static_cast<size_t>(&s - &slots_[0]); }

  TaggedSlots slots_;
  size_t shared_ = 0;
};

}  // namespace calderwick
