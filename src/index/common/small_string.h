// SmallString: an immutable byte string that keeps up to 23 bytes inline and
// longer texts in one shared, reference-counted heap buffer, so copies never
// allocate. Used for `Str` values and for attribute names in queries.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

namespace calderwick {

class SmallString {
 public:
  static constexpr size_t kInlineCapacity = 23;

  SmallString() : size_(0) {}
  explicit SmallString(std::string_view s) {
    size_ = s.size();
    if (is_inline()) {
      if (size_) std::memcpy(inline_, s.data(), size_);
    } else {
      heap_ = static_cast<Heap*>(::operator new(sizeof(Heap) + size_));
      new (&heap_->refs) std::atomic<uint64_t>(1);
      std::memcpy(heap_->bytes, s.data(), size_);
    }
  }
  SmallString(const SmallString& o) : size_(o.size_) {
    if (is_inline()) {
      std::memcpy(inline_, o.inline_, kInlineCapacity);
    } else {
      heap_ = o.heap_;
      heap_->refs.fetch_add(1, std::memory_order_relaxed);
    }
  }
  SmallString(SmallString&& o) noexcept : size_(o.size_) {
    std::memcpy(inline_, o.inline_, kInlineCapacity);  // also moves the heap pointer
    o.size_ = 0;
  }
  SmallString& operator=(SmallString o) noexcept {
    swap(o);
    return *this;
  }
  ~SmallString() {
    if (!is_inline() && heap_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) ::operator delete(heap_);
  }

  void swap(SmallString& o) noexcept {
    char tmp[kInlineCapacity];
    std::memcpy(tmp, inline_, kInlineCapacity);
    std::memcpy(inline_, o.inline_, kInlineCapacity);
    std::memcpy(o.inline_, tmp, kInlineCapacity);
    std::swap(size_, o.size_);
  }

  std::string_view view() const { return {data(), size_}; }
  const char* data() const { return is_inline() ? inline_ : heap_->bytes; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_inline() const { return size_ <= kInlineCapacity; }

  bool operator==(const SmallString& o) const { return view() == o.view(); }
  bool operator==(std::string_view o) const { return view() == o; }

 private:
  struct Heap {
    std::atomic<uint64_t> refs;
    char bytes[1];
  };
  union {
    char inline_[kInlineCapacity];
    Heap* heap_;
  };
  size_t size_;
};

}  // namespace calderwick
