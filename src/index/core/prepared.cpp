#include "index/core/prepared.h"

#include <algorithm>

#include "absl/container/inlined_vector.h"
#include "index/binding/convert.h"
#include "index/indexable.h"

namespace calderwick {

void nesting_too_deep() {
  internal_error("value nests containers or objects deeper than " + std::to_string(PreparedElements::kMaxNesting) +
                 " levels");
}

void PreparedElements::add_value(const PyValue& value, int depth) { walk_value(value, depth); }
void PreparedElements::add_object(const IndexableNative& object, int depth) { walk_object(object, depth); }

std::optional<std::span<const PyValue>> PreparedElements::find(const PyObject* container) const {
  const uint32_t k = walked_.find(container);
  if (k == Walked::kNone) return std::nullopt;
  const size_t end = k + 1 < starts_.size() ? starts_[k + 1] : converted_.size();
  return std::span<const PyValue>(converted_.data() + starts_[k], end - starts_[k]);
}

void PreparedElements::release() {
  walked_ = Walked();
  std::vector<uint32_t>().swap(starts_);
  std::vector<PyValue>().swap(converted_);
  objects_seen_ = {};
}

size_t PreparedElements::Walked::home(const PyObject* container) const {
  const uint64_t h = (reinterpret_cast<uintptr_t>(container) >> 4) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(((h >> 32) * keys_.size()) >> 32);
}

uint32_t PreparedElements::Walked::find(const PyObject* container) const {
  if (keys_.empty()) return kNone;
  for (size_t i = home(container);; i = i + 1 == keys_.size() ? 0 : i + 1) {
    if (keys_[i] == container) return order_[i];
    if (!keys_[i]) return kNone;
  }
}

bool PreparedElements::Walked::insert(const PyObject* container, uint32_t order) {
  if ((size_ + 1) * 5 > keys_.size() * 4) rehash(std::max<size_t>(16, keys_.size() * 2));
  size_t i = home(container);
  for (; keys_[i]; i = i + 1 == keys_.size() ? 0 : i + 1) {
    if (keys_[i] == container) return false;
  }
  keys_[i] = container;
  order_[i] = order;
  ++size_;
  return true;
}

void PreparedElements::Walked::reserve(size_t n) {
  if (n * 5 > keys_.size() * 4) rehash(n * 5 / 4 + 1);
}

void PreparedElements::Walked::prefetch(const PyObject* container) const {
  if (keys_.empty()) return;
  const size_t i = home(container);
  __builtin_prefetch(&keys_[i]);
  __builtin_prefetch(&order_[i]);
}

void PreparedElements::Walked::rehash(size_t slots) {
  std::vector<const PyObject*> keys(slots, nullptr);
  std::vector<uint32_t> order(slots);
  keys.swap(keys_);
  order.swap(order_);
  for (size_t j = 0; j < keys.size(); ++j) {
    if (!keys[j]) continue;
    size_t i = home(keys[j]);
    while (keys_[i]) i = i + 1 == keys_.size() ? 0 : i + 1;
    keys_[i] = keys[j];
    order_[i] = order[j];
  }
}

void PreparedElements::walk_value(const PyValue& value, int depth) {
  if (depth > kMaxNesting) nesting_too_deep();
  if (value.kind() == ValueKind::Ind) {
    walk_object(indexable_of(value), depth + 1);
    return;
  }
  if (value.kind() != ValueKind::Iterable) return;
  PyObject* container = value.object();
  // Marked before the walk, so a container that holds itself is walked once.
  if (!walked_.insert(container, static_cast<uint32_t>(starts_.size()))) return;
  const size_t offset = converted_.size();
  starts_.push_back(static_cast<uint32_t>(offset));
  if (value.iterable_kind() == IterableKind::Dict) return;  // a dict files nothing
  // The elements go straight to the end of the one array (converting them
  // touches no other container, whose elements follow), then those that
  // lead further are walked.
  py::for_each_item(container, [&](py::PyRef item) { converted_.push_back(PyValue::make(std::move(item))); });
  const size_t count = converted_.size() - offset;
  for (size_t i = offset; i < offset + count; ++i) {
    if (!converted_[i].nests()) continue;
    const PyValue element = converted_[i];  // the walk below may grow the array
    walk_value(element, depth + 1);
  }
}

void PreparedElements::walk_object(const IndexableNative& object, int depth) {
  if (depth > kMaxNesting) nesting_too_deep();
  // Copied first: converting runs Python code, which may assign attributes.
  absl::InlinedVector<PyValue, 4> values;
  attributes_of(object).for_each([&](uint32_t, const PyValue& v) {
    if (v.nests()) values.push_back(v);
  });
  // An object of scalars alone has nothing to walk; only nested objects that
  // lead further are remembered, so that one met again is walked once. A
  // top-level object met again below itself is walked once more (and
  // remembered then): its containers are converted already.
  if (values.empty() || (depth > 0 && !objects_seen_.insert(&object).second)) return;
  for (const PyValue& v : values) walk_value(v, depth);
}

}  // namespace calderwick
