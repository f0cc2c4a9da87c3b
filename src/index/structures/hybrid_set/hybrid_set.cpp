#include "index/structures/hybrid_set/hybrid_set.h"

#include <utility>

namespace calderwick {

void HybridSet::add(uint32_t id) {
  if (auto* b = std::get_if<IdSet>(&rep_)) {
    b->add(id);
  } else if (auto* a = std::get_if<CenteredArray>(&rep_)) {
    if (a->length + 1 < CenteredArray::kCapacity) {
      a->insert(id);
      return;
    }
    IdSet bm;
    bm.add_many(a->slice());
    bm.add(id);
    rep_ = std::move(bm);
  } else {
    CenteredArray fresh;
    fresh.insert(id);
    rep_ = fresh;
  }
}

void HybridSet::remove(uint32_t id) {
  if (auto* b = std::get_if<IdSet>(&rep_)) {
    b->remove(id);
  } else if (auto* a = std::get_if<CenteredArray>(&rep_)) {
    a->remove(id);
  } else {
    internal_error("called remove on Empty");
  }
}

bool HybridSet::is_empty() const {
  if (const auto* b = large()) return b->is_empty();
  if (const auto* a = small()) return a->empty();
  internal_error("called is_empty on Empty");
}

bool HybridSet::contains(uint32_t id) const {
  if (const auto* b = large()) return b->contains(id);
  if (const auto* a = small()) return a->contains(id);
  return false;
}

uint64_t HybridSet::cardinality() const {
  if (const auto* b = large()) return b->cardinality();
  if (const auto* a = small()) return a->length;
  return 0;
}

void HybridSet::keep_only(const IdSet& allowed) {
  if (auto* b = std::get_if<IdSet>(&rep_)) {
    if (b != &allowed) b->and_inplace(allowed);
  } else if (auto* a = std::get_if<CenteredArray>(&rep_)) {
    // Rebuilt by insertion so that the kept ids take the usual centred layout.
    CenteredArray kept;
    for (uint32_t id : a->slice()) {
      if (allowed.contains(id)) kept.insert(id);
    }
    *a = kept;
  }
}

IdSet HybridSet::to_bitmap() const {
  if (const auto* b = large()) return *b;
  IdSet out;
  if (const auto* a = small()) out.add_many(a->slice());
  return out;
}

}  // namespace calderwick
