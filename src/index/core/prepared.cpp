#include "index/core/prepared.h"

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
  const auto it = elements_.find(container);
  if (it == elements_.end()) return std::nullopt;
  return std::span<const PyValue>(converted_.data() + it->second.offset, it->second.count);
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
  const auto [slot, fresh] = elements_.try_emplace(container);
  if (!fresh) return;
  if (value.iterable_kind() == IterableKind::Dict) return;  // a dict files nothing
  // The elements go straight to the end of the one array (converting them
  // touches no other container), then those that lead further are walked.
  const size_t offset = converted_.size();
  py::for_each_item(container, [&](py::PyRef item) { converted_.push_back(PyValue::make(std::move(item))); });
  const size_t count = converted_.size() - offset;
  slot->second = Slice{static_cast<uint32_t>(offset), static_cast<uint32_t>(count)};
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
