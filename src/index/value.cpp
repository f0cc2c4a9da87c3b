#include "index/value.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "index/binding/convert.h"
#include "index/binding/errors.h"
#include "index/binding/module_state.h"
#include "index/common/fxhash.h"
#include "index/indexable.h"

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

std::string address(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string py_address(const py::SharedPyRef& r) { return "Py(" + address(r ? r->get() : nullptr) + ")"; }

std::string debug_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, x).ptr;
  std::string s(buf, end);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string debug_quoted(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

const char* iterable_name(IterableKind k) {
  switch (k) {
    case IterableKind::List: return "List";
    case IterableKind::Dict: return "Dict";
    case IterableKind::Tuple: return "Tuple";
    case IterableKind::Set: return "Set";
  }
  return "?";
}

std::string debug_indexable(const StoredIndexable& s) {
  std::string out = "StoredIndexable { python_handle: " + py_address(s.python_handle) + ", owned_handle: IndexAPI { id: " +
                    std::to_string(s.owned_handle->id) + ", attributes: Mutex { data: ";
  // An attribute map that is locked (by another thread, or further up this
  // very printout for an object that holds itself) prints as "<locked>".
  const bool printed = s.owned_handle->attributes->try_with([&](const AttributeMap& m) {
    out += m.debug_string([](const PyValue& v) { return v.debug_string(); });
  });
  if (!printed) out += "<locked>";
  out += std::string(", poisoned: ") + (s.owned_handle->attributes->is_poisoned() ? "true" : "false") + ", .. } } }";
  return out;
}

}  // namespace

uint64_t hash_int(int64_t v) { return fx_words({static_cast<uint64_t>(v)}, 1); }
uint64_t hash_float(double x) { return fx_words({std::bit_cast<uint64_t>(x)}, 2); }
uint64_t hash_str_value(std::string_view s) { return fx_words({byte_digest(s), 0xff}, 3); }
uint64_t hash_bool(bool b) { return fx_words({b ? 1u : 0u}, 4); }

StoredIndexable StoredIndexable::from_py_ref(PyObject* ref) {
  return StoredIndexable{py::make_shared_ref(py::PyRef::borrow(ref)),
                         std::make_shared<IndexableNative>(IndexableClass::of(ref).non_owning_copy())};
}

PyValue PyValue::make(py::PyRef ref) {
  PyObject* obj = ref.get();
  PyTypeObject* t = Py_TYPE(obj);
  auto shared = [&] { return py::make_shared_ref(std::move(ref)); };

  if (py::INT_TYPES().contains(t)) {
    const long v = type_checked([&] { return py::long_value(obj); });
    return PyValue(shared(), Int{v}, hash_int(v));
  }
  if (py::FLOAT_TYPES().contains(t)) {
    const double x = t == &PyFloat_Type ? PyFloat_AS_DOUBLE(obj) : type_checked([&] { return py::float_value(obj); });
    return PyValue(shared(), Float{x}, hash_float(x));
  }
  if (py::STR_TYPES().contains(t)) {
    const std::string_view text = type_checked([&] { return py::utf8(obj); });
    return PyValue(shared(), Str{SmallString(text)}, hash_str_value(text));
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
    return PyValue(shared(), Bool{b}, hash_bool(b));
  }
  if (PyTypeObject* ind = py::INDEXABLE_TYPE(); ind && PyType_IsSubtype(t, ind)) {
    const uint64_t h = fx_words({reinterpret_cast<uintptr_t>(obj)}, 6);
    StoredIndexable stored = StoredIndexable::from_py_ref(obj);
    return PyValue(shared(), std::move(stored), h);
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
  } else {
    Py_hash_t h;
    try {
      h = py::hash(obj);
    } catch (const py::PythonError& e) {
      internal_error("unhashable value: " + py::describe_exception(e.value()));
    }
    return PyValue(shared(), Unknown{}, static_cast<uint64_t>(h));
  }
  // Iterable values equal only themselves; the container's address is hash
  // enough since no other value can match it.
  const uint64_t h = fx_words({reinterpret_cast<uintptr_t>(obj)}, 5);
  py::SharedPyRef container = shared();
  return PyValue(container, IterableValue{kind, container}, h);
}

bool PyValue::operator==(const PyValue& other) const {
  if (hash != other.hash) return false;
  const CastValue& b = other.primitave;
  return std::visit(
      [&](const auto& a) -> bool {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, Int>) {
          if (auto* j = std::get_if<Int>(&b)) return a.v == j->v;
          if (auto* y = std::get_if<Float>(&b)) return static_cast<double>(a.v) == y->v;
          if (auto* q = std::get_if<Bool>(&b)) return a.v == (q->v ? 1 : 0);
          return false;
        } else if constexpr (std::is_same_v<A, Float>) {
          if (auto* j = std::get_if<Int>(&b)) return a.v == static_cast<double>(j->v);
          if (auto* y = std::get_if<Float>(&b)) return a.v == y->v;
          return false;
        } else if constexpr (std::is_same_v<A, Str>) {
          auto* s = std::get_if<Str>(&b);
          return s && a.v == s->v;
        } else if constexpr (std::is_same_v<A, Bool>) {
          if (auto* j = std::get_if<Int>(&b)) return (a.v ? 1 : 0) == j->v;
          if (auto* q = std::get_if<Bool>(&b)) return a.v == q->v;
          return false;
        } else if constexpr (std::is_same_v<A, IterableValue>) {
          // Only the very same stored value: copies share the container reference.
          auto* it = std::get_if<IterableValue>(&b);
          return it && it->container == a.container;
        } else if constexpr (std::is_same_v<A, StoredIndexable>) {
          auto* s = std::get_if<StoredIndexable>(&b);
          return s && s->python_handle->get() == a.python_handle->get();
        } else {
          if (!std::holds_alternative<Unknown>(b)) return false;
          if (!obj || !other.obj) internal_error("missing value: the value holds no Python object");
          return obj->get() == other.obj->get();
        }
      },
      primitave);
}

std::string debug_cast(const CastValue& c) {
  return std::visit(
      [](const auto& a) -> std::string {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, Int>) {
          return "Int(" + std::to_string(a.v) + ")";
        } else if constexpr (std::is_same_v<A, Float>) {
          return "Float(" + debug_float(a.v) + ")";
        } else if constexpr (std::is_same_v<A, Str>) {
          return "Str(" + debug_quoted(a.v.view()) + ")";
        } else if constexpr (std::is_same_v<A, Bool>) {
          return a.v ? "Bool(true)" : "Bool(false)";
        } else if constexpr (std::is_same_v<A, IterableValue>) {
          return std::string("Iterable(") + iterable_name(a.kind) + "(" + py_address(a.container) + "))";
        } else if constexpr (std::is_same_v<A, StoredIndexable>) {
          return "Ind(" + debug_indexable(a) + ")";
        } else {
          return "Unknown";
        }
      },
      c);
}

std::string PyValue::debug_string() const {
  return "PyValue { obj: " + (obj ? "Some(" + py_address(obj) + ")" : std::string("None")) +
         ", primitave: " + debug_cast(primitave) + ", hash: " + std::to_string(hash) + " }";
}

py::PyRef PyValue::to_python() const {
  return std::visit(
      [&](const auto& a) -> py::PyRef {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, Int>) {
          return py::check(PyLong_FromLongLong(a.v));
        } else if constexpr (std::is_same_v<A, Float>) {
          return py::check(PyFloat_FromDouble(a.v));
        } else if constexpr (std::is_same_v<A, Str>) {
          return py::new_str(a.v.view());
        } else if constexpr (std::is_same_v<A, Bool>) {
          return py::PyRef::borrow(a.v ? Py_True : Py_False);
        } else {
          if (!obj) internal_error("missing value: the value holds no Python object");
          return obj->clone();
        }
      },
      primitave);
}

}  // namespace calderwick
