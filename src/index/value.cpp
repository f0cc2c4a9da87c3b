#include "index/value.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>
#include <algorithm>

#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/common/fxhash.h"

namespace calderwick {
namespace {

// Feeds the payload words, then the variant tag (variant index + 1).
uint64_t fx_words(std::initializer_list<uint64_t> words, uint64_t tag) {
  FxHasher h;
  for (uint64_t w : words) h.write_u64(w);
  h.write_u64(tag);
  return h.finish();
}

[[noreturn]] void type_checked_failure(const py::PythonError& e) {
  internal_error("type checked: " + py::describe_exception(e.value()));
}

// Runs a conversion; a Python error becomes "type checked: <error>".
template <typename F>
auto type_checked(F&& read) {
  try {
    return read();
  } catch (const py::PythonError& e) {
    type_checked_failure(e);
  }
}

ValueNode* new_node(py::PyRef obj) {
  auto* node = new ValueNode;
  node->object = std::move(obj);
  node->data = nullptr;
  return node;
}

}  // namespace

uint64_t hash_int(int64_t v) { return fx_words({static_cast<uint64_t>(v)}, 1); }
uint64_t hash_float(double x) { return fx_words({std::bit_cast<uint64_t>(x)}, 2); }
uint64_t hash_str_value(std::string_view s) { return fx_words({byte_digest(s), 0xff}, 3); }
uint64_t hash_bool(bool b) { return fx_words({b ? 1u : 0u}, 4); }

PyValue PyValue::make(py::PyRef ref) {
  PyObject* obj = ref.get();
  PyTypeObject* t = Py_TYPE(obj);

  if (py::INT_TYPES().contains(t)) {
    const long v = type_checked([&] { return py::long_value(obj); });
    return of_int(v);
  }
  if (py::FLOAT_TYPES().contains(t)) {
    return of_float(t == &PyFloat_Type ? PyFloat_AS_DOUBLE(obj) : type_checked([&] { return py::float_value(obj); }));
  }
  if (py::STR_TYPES().contains(t)) {
    // The bytes stay in the str object (its cached UTF-8 form), which the
    // node keeps alive.
    const std::string_view text = type_checked([&] { return py::utf8(obj); });
    if (text.size() > UINT32_MAX) internal_error("type checked: string longer than 4 GiB");
    ValueNode* node = new_node(std::move(ref));
    node->data = text.data();
    node->size = static_cast<uint32_t>(text.size());
    return PyValue(ValueKind::Str, 0, node);
  }
  if (py::BOOL_TYPES().contains(t)) {
    bool b;
    if (t == &PyBool_Type) {
      b = obj == Py_True;
    } else {
      // A numpy boolean: accepted only by module and name, read through its truth slot.
      const py::PyRef module = py::getattr_or_null(reinterpret_cast<PyObject*>(t), "__module__");
      std::optional<std::string_view> mod;
      if (module && PyUnicode_Check(module.get())) {
        try {
          mod = py::utf8(module.get());
        } catch (const py::PythonError&) {
          // not readable: not numpy's
        }
      }
      const char* name = _PyType_Name(t);
      if (!mod || *mod != "numpy" || (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0)) {
        internal_error(std::string("type checked: not a numpy boolean: ") + t->tp_name);
      }
      if (!t->tp_as_number || !t->tp_as_number->nb_bool) {
        internal_error(std::string("type checked: boolean type without a truth slot: ") + t->tp_name);
      }
      const int truth = t->tp_as_number->nb_bool(obj);
      if (truth < 0) type_checked([]() -> int { py::throw_python_error(); });
      b = truth == 1;
    }
    return of_bool(b);
  }
  if (PyTypeObject* ind = py::INDEXABLE_TYPE(); ind && PyType_IsSubtype(t, ind)) {
    return PyValue(ValueKind::Ind, 0, new_node(std::move(ref)));
  }
  IterableKind kind;
  if (t == &PyList_Type) {
    kind = IterableKind::List;
  } else if (t == &PyTuple_Type) {
    kind = IterableKind::Tuple;
  } else if (t == &PyDict_Type) {
    kind = IterableKind::Dict;
  } else if (t == &PySet_Type) {
    kind = IterableKind::Set;
  } else if (obj == Py_None) {
    return none();
  } else {
    Py_hash_t h;
    try {
      h = py::hash(obj);
    } catch (const py::PythonError& e) {
      internal_error("unhashable value: " + py::describe_exception(e.value()));
    }
    ValueNode* node = new_node(std::move(ref));
    node->hash = static_cast<uint64_t>(h);
    return PyValue(ValueKind::Unknown, 0, node);
  }
  return PyValue(ValueKind::Iterable, static_cast<uint8_t>(kind), new_node(std::move(ref)));
}

void PyValue::release() noexcept {
  if (is_direct_str()) {
    py::PyRef::steal(reinterpret_cast<PyObject*>(word_)).reset();  // through the pool without the GIL
    return;
  }
  drop_node(node());
}

void PyValue::take_direct_reference() const {
  if (!py::gil_held()) internal_error("missing value: a string held by reference was copied without the GIL");
  (void)py::PyRef::borrow(reinterpret_cast<PyObject*>(word_)).release();
}

PyValue PyValue::attribute(py::PyRef ref) {
  PyObject* obj = ref.get();
  if (!PyUnicode_CheckExact(obj)) return make(std::move(ref));
  const std::string_view text = type_checked([&] { return py::utf8(obj); });
  if (text.size() > UINT32_MAX) internal_error("type checked: string longer than 4 GiB");
  // Held directly only where the bytes can be found again from the object.
  if (direct_bytes(obj).data() != text.data() || direct_bytes(obj).size() != text.size()) return make(std::move(ref));
  return PyValue(ValueKind::Str, kDirect, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref.release())));
}

std::atomic<uint64_t>& PyValue::none_hash() {
  static std::atomic<uint64_t> hash{0};
  return hash;
}

PyValue PyValue::none() {
  // Set before the first None value exists, to the same value every time.
  none_hash().store(static_cast<uint64_t>(py::hash(Py_None)), std::memory_order_relaxed);
  return PyValue(ValueKind::Unknown, kNone, uint64_t{0});
}

uint64_t PyValue::stored_hash() const {
  switch (kind_) {
    case ValueKind::Int: return hash_int(int_value());
    case ValueKind::Float: return hash_float(float_value());
    case ValueKind::Bool: return hash_bool(bool_value());
    case ValueKind::Str: return hash_str_value(str_value());
    case ValueKind::Unknown: return is_none() ? none_hash().load(std::memory_order_relaxed) : node()->hash;
    // Containers equal only themselves and objects only the same object:
    // the address is hash enough.
    case ValueKind::Iterable: return fx_words({reinterpret_cast<uintptr_t>(object())}, 5);
    case ValueKind::Ind: return fx_words({reinterpret_cast<uintptr_t>(object())}, 6);
  }
  return 0;
}

bool PyValue::operator==(const PyValue& other) const {
  // Values of different kinds never meet as keys (1, 1.0 and True hash
  // differently); the number index compares numbers across kinds itself.
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case ValueKind::Int: return word_ == other.word_;
    case ValueKind::Float: return word_ == other.word_ && float_value() == other.float_value();  // NaN: never
    case ValueKind::Bool: return aux_ == other.aux_;
    case ValueKind::Str: return str_value() == other.str_value();
    case ValueKind::Iterable: return node() == other.node();  // only the very same stored value
    case ValueKind::Ind:
    case ValueKind::Unknown: return object() == other.object();
  }
  return false;
}

py::PyRef PyValue::to_python() const {
  switch (kind_) {
    case ValueKind::Int: return py::check(PyLong_FromLongLong(int_value()));
    case ValueKind::Float: return py::check(PyFloat_FromDouble(float_value()));
    case ValueKind::Str: return py::new_str(str_value());
    case ValueKind::Bool: return py::PyRef::borrow(bool_value() ? Py_True : Py_False);
    case ValueKind::Unknown:
      if (is_none()) return py::PyRef::borrow(Py_None);
      [[fallthrough]];
    default:
      if (!object()) internal_error("missing value: the value holds no Python object");
      return node()->object.clone();
  }
}

}  // namespace calderwick
