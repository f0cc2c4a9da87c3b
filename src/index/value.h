// PyValue: the stored form of one attribute value.
//
// A PyValue pairs the Python object it was built from (`obj`, shared) with its
// native classification (`primitave`, a CastValue) and a 64-bit hash computed
// once by `PyValue::make`. The classification picks the index structure a value
// goes to; the stored hash and `operator==` are what every map keyed by values
// relies on. A PyValue never changes after construction, even when the Python
// object it came from is mutated, and is shared freely between threads.
//
// CastValue variants, in this order: Int, Float, Str, Bool, Iterable, Ind, Unknown.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "index/binding/py_ref.h"
#include "index/common/small_string.h"

namespace calderwick {

struct IndexableNative;

struct Int {
  int64_t v;
};
struct Float {
  double v;
};
struct Str {
  SmallString v;
};
struct Bool {
  bool v;
};

enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

// A list, dict, tuple or set value; holds the container itself, not its elements.
struct IterableValue {
  IterableKind kind;
  py::SharedPyRef container;
};

// An Indexable held as a value: keeps the Python object alive and shares its
// native part (attribute map, memberships, id) without owning the id.
struct StoredIndexable {
  py::SharedPyRef python_handle;
  std::shared_ptr<IndexableNative> owned_handle;

  // `ref` must be an Indexable (or subclass) instance. Needs the GIL.
  static StoredIndexable from_py_ref(PyObject* ref);
};

struct Unknown {};

using CastValue = std::variant<Int, Float, Str, Bool, IterableValue, StoredIndexable, Unknown>;

enum class ValueKind : uint8_t { Int, Float, Str, Bool, Iterable, Ind, Unknown };

class PyValue {
 public:
  // Classifies and hashes `obj` (a new reference, moved in). Needs the GIL.
  // Failures throw InternalError ("type checked: ..." for a value of a native
  // kind that cannot be read, or an unhashable value of any other type).
  static PyValue make(py::PyRef obj);
  // Same, from a borrowed reference.
  static PyValue from_borrowed(PyObject* obj) { return make(py::PyRef::borrow(obj)); }

  ValueKind kind() const { return static_cast<ValueKind>(primitave.index()); }
  const CastValue& cast() const { return primitave; }
  uint64_t stored_hash() const { return hash; }
  // The Python object the value was built from (borrowed; may be null only for
  // values not built by `make`).
  PyObject* object() const { return obj ? obj->get() : nullptr; }

  bool operator==(const PyValue& other) const;

  // Debug form, shown inside the repr of query objects.
  std::string debug_string() const;

  // New Python object for reading the value back: a fresh int/float/str for
  // scalars, the True/False singletons, the very object for everything else.
  py::PyRef to_python() const;

 private:
  PyValue(py::SharedPyRef o, CastValue c, uint64_t h) : obj(std::move(o)), primitave(std::move(c)), hash(h) {}

  py::SharedPyRef obj;
  CastValue primitave;
  uint64_t hash;
};

// Hash words of each variant (exposed for tests of the hashing rule).
uint64_t hash_int(int64_t v);
uint64_t hash_float(double x);
uint64_t hash_str_value(std::string_view s);
uint64_t hash_bool(bool b);

std::string debug_cast(const CastValue& c);
// A double-quoted string with escapes, as in the debug forms.
std::string debug_quoted(std::string_view s);

}  // namespace calderwick
