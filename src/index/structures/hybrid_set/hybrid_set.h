// HybridSet: an id set that starts as a few inline ids and grows into a bitmap.
//
// Three representations, in order, and a set only ever moves forward:
//   Empty  placeholder of a default-constructed set; holds nothing and is
//          left by the first add;
//   Small  up to four ids inline in a `CenteredArray`, no allocation;
//   Large  an `IdSet` bitmap.
// Adding to a Small set that already holds three ids switches it to Large
// before membership is tested, so Small never holds more than three ids (the
// fourth slot leaves room to centre the run). Removing ids never shrinks the representation, so a Small or Large
// set may be empty.
//
//   HybridSet s;                          // Empty
//   s.add(5); s.add(3); s.add(9);         // Small [3, 5, 9]
//   s.add(4);                             // Large {3, 4, 5, 9}
//   s.keep_only(allowed);
//   IdSet ids = s.to_bitmap();
#pragma once

#include <cstdint>
#include <variant>

#include "index/common/id_set.h"
#include "index/structures/centered_array/centered_array.h"

namespace calderwick {

class HybridSet {
 public:
  // Order matches the alternatives of the variant.
  enum class Kind : uint8_t { kEmpty = 0, kSmall = 1, kLarge = 2 };
  struct Empty {};

  HybridSet() = default;
  explicit HybridSet(const CenteredArray& small) : rep_(small) {}
  explicit HybridSet(IdSet large) : rep_(std::move(large)) {}

  Kind kind() const { return static_cast<Kind>(rep_.index()); }
  bool is_small() const { return kind() == Kind::kSmall; }
  bool is_large() const { return kind() == Kind::kLarge; }
  // The representation itself, or null when the set is of another kind.
  const CenteredArray* small() const { return std::get_if<CenteredArray>(&rep_); }
  const IdSet* large() const { return std::get_if<IdSet>(&rep_); }

  void add(uint32_t id);
  // Throws on an Empty set, which has no ids to remove from.
  void remove(uint32_t id);
  // Throws on an Empty set: a live set is always Small or Large.
  bool is_empty() const;
  // An Empty set contains nothing and has cardinality 0.
  bool contains(uint32_t id) const;
  uint64_t cardinality() const;

  // Drops every id that `allowed` does not contain; the kind stays as it is.
  void keep_only(const IdSet& allowed);
  IdSet to_bitmap() const;

  // Calls f(id) for every id in ascending order.
  template <typename F>
  void for_each(F&& f) const {
    if (const auto* a = small()) {
      for (uint32_t id : a->slice()) f(id);
    } else if (const auto* b = large()) {
      b->for_each(f);
    }
  }

 private:
  std::variant<Empty, CenteredArray, IdSet> rep_;
};

}  // namespace calderwick
