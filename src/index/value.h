// PyValue: the stored form of one attribute value, in 16 bytes.
//
// A PyValue is the native classification of a Python value (its kind: Int,
// Float, Str, Bool, Iterable, Ind, Unknown, in this order) with a 64-bit hash.
// Numbers and booleans are held by value and keep no Python object: reading
// one back builds a fresh int, float or bool. Every other kind holds the
// Python object it was built from through a `ValueNode` (None excepted, which
// is held as a bare pointer: it is never freed): one strong
// reference behind an atomic count, shared by every copy, released when the
// last copy goes (through the pending pool on a thread without the GIL). A
// string is read from the `str` object's own UTF-8 bytes; nothing is copied.
//
// The stored hash and `operator==` are what every map keyed by values relies
// on. A PyValue never changes after construction, even when the Python object
// it came from is mutated, and is shared freely between threads.
#pragma once

#include <Python.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "index/binding/py_ref.h"

namespace calderwick {

enum class ValueKind : uint8_t { Int, Float, Str, Bool, Iterable, Ind, Unknown };
enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

using Number = std::variant<int64_t, double>;

// The shared part of a value that holds a Python object (24 bytes).
struct ValueNode {
  std::atomic<uint32_t> refs{1};
  uint32_t size = 0;  // Str: the byte length
  py::PyRef object;
  union {
    const char* data;  // Str: the str object's UTF-8 bytes
    uint64_t hash;     // Unknown: the object's hash, computed once
  };
};

class PyValue {
 public:
  // Classifies and hashes `obj` (a new reference, moved in). Needs the GIL.
  // Failures throw InternalError ("type checked: ..." for a value of a native
  // kind that cannot be read, or an unhashable value of any other type).
  static PyValue make(py::PyRef obj);
  // Same, from a borrowed reference.
  static PyValue from_borrowed(PyObject* obj) { return make(py::PyRef::borrow(obj)); }
  // The value as an attribute map stores it: a plain `str` is held by its
  // reference alone, with no node (its bytes are read from the object), so
  // it costs what the reference does. Such a value may be copied only with
  // the GIL held (a copy takes a reference); index code reads attribute
  // values in place and never copies a string. Needs the GIL.
  static PyValue attribute(py::PyRef obj);

  // Values built without Python (tests, query constants).
  static PyValue of_int(int64_t v) { return PyValue(ValueKind::Int, 0, static_cast<uint64_t>(v)); }
  static PyValue of_float(double x) { return PyValue(ValueKind::Float, 0, std::bit_cast<uint64_t>(x)); }
  static PyValue of_bool(bool b) { return PyValue(ValueKind::Bool, b ? 1 : 0, uint64_t{0}); }

  PyValue() : PyValue(ValueKind::Int, 0, uint64_t{0}) {}
  PyValue(const PyValue& o) : word_(o.word_), key_(o.key_), kind_(o.kind_), aux_(o.aux_) {
    if (ValueNode* n = node()) n->refs.fetch_add(1, std::memory_order_relaxed);
    if (is_direct_str()) take_direct_reference();
  }
  PyValue(PyValue&& o) noexcept : word_(std::exchange(o.word_, 0)), key_(o.key_), kind_(o.kind_), aux_(o.aux_) {}
  PyValue& operator=(PyValue o) noexcept {
    swap(o);
    return *this;
  }
  ~PyValue() { release(); }
  void swap(PyValue& o) noexcept {
    std::swap(word_, o.word_);
    std::swap(key_, o.key_);
    std::swap(kind_, o.kind_);
    std::swap(aux_, o.aux_);
  }

  ValueKind kind() const { return kind_; }
  bool is_number() const { return kind_ == ValueKind::Int || kind_ == ValueKind::Float; }

  // Payloads; each is valid for its kind only.
  int64_t int_value() const { return static_cast<int64_t>(word_); }
  double float_value() const { return std::bit_cast<double>(word_); }
  bool bool_value() const { return aux_ != 0; }
  std::string_view str_value() const {
    return aux_ == kDirect ? direct_bytes(reinterpret_cast<PyObject*>(word_)) : std::string_view{node()->data, node()->size};
  }
  IterableKind iterable_kind() const { return static_cast<IterableKind>(aux_); }
  // A container or an object: filing it walks further values.
  bool nests() const { return kind_ == ValueKind::Iterable || kind_ == ValueKind::Ind; }
  Number number() const {
    return kind_ == ValueKind::Int ? Number(int_value()) : Number(float_value());
  }

  uint64_t stored_hash() const;
  // The Python object the value holds (borrowed), or null for numbers and
  // booleans, which hold none.
  PyObject* object() const {
    if (is_none()) return Py_None;
    if (is_direct_str()) return reinterpret_cast<PyObject*>(word_);
    const ValueNode* n = node();
    return n ? n->object.get() : nullptr;
  }

  bool operator==(const PyValue& other) const;

  // New Python object for reading the value back: a fresh int/float/str for
  // scalars, the True/False singletons, the very object for everything else.
  py::PyRef to_python() const;

  // The node of a value that holds a Python object, with one more count for
  // the caller, who hands it back to `drop_node`; no GIL needed.
  ValueNode* share_node() const {
    ValueNode* n = node();
    if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    return n;
  }
  static void drop_node(ValueNode* n) noexcept {
    if (n && n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete n;  // the reference goes through PyRef
  }

  // Thirty-two bits of room the value does not otherwise use: a container of
  // values may keep its key here (the attribute map keeps the attribute id,
  // so an entry costs 16 bytes). Copies carry it; equality and hashing
  // ignore it.
  uint32_t spare() const { return key_; }
  void set_spare(uint32_t k) { key_ = k; }

 private:
  PyValue(ValueKind kind, uint8_t aux, uint64_t word) : word_(word), key_(0), kind_(kind), aux_(aux) {}
  PyValue(ValueKind kind, uint8_t aux, ValueNode* node)
      : word_(reinterpret_cast<uintptr_t>(node)), key_(0), kind_(kind), aux_(aux) {}

  // None is held without a node: it lives as long as the process, so no
  // reference is counted for it, and its hash is the process-wide none_hash.
  static constexpr uint8_t kNone = 1;  // aux_ of Unknown
  static PyValue none();
  static std::atomic<uint64_t>& none_hash();
  bool is_none() const { return kind_ == ValueKind::Unknown && aux_ == kNone; }
  // A plain str held by its reference alone (see attribute()).
  static constexpr uint8_t kDirect = 1;  // aux_ of Str
  bool is_direct_str() const { return kind_ == ValueKind::Str && aux_ == kDirect; }
  // The UTF-8 bytes of a str whose UTF-8 form exists (made at construction):
  // a compact ASCII string holds them inline, any other keeps them cached.
  static std::string_view direct_bytes(PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
      return {reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(s) + 1),
              static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
    }
    const auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(s);
    return {compact->utf8, static_cast<size_t>(compact->utf8_length)};
  }
  void take_direct_reference() const;
  bool holds_node() const {
    switch (kind_) {
      case ValueKind::Str: return aux_ != kDirect;
      case ValueKind::Unknown: return aux_ != kNone;
      case ValueKind::Iterable:
      case ValueKind::Ind: return true;
      default: return false;
    }
  }
  ValueNode* node() const { return holds_node() ? reinterpret_cast<ValueNode*>(word_) : nullptr; }
  void release() noexcept;

  uint64_t word_;  // int64 bits, double bits, the ValueNode, or a direct str
  uint32_t key_;
  ValueKind kind_;
  uint8_t aux_;  // Bool: the value; Iterable: its kind; Unknown: kNone for None; Str: kDirect
};

// Hash words of each kind (exposed for tests of the hashing rule).
uint64_t hash_int(int64_t v);
uint64_t hash_float(double x);
uint64_t hash_str_value(std::string_view s);
uint64_t hash_bool(bool b);

}  // namespace calderwick
