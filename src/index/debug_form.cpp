#include "index/debug_form.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "index/indexable.h"

namespace calderwick {
namespace {

std::string address(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string py_address(const PyObject* obj) { return "Py(" + address(obj) + ")"; }

const char* iterable_name(IterableKind k) {
  switch (k) {
    case IterableKind::List: return "List";
    case IterableKind::Dict: return "Dict";
    case IterableKind::Tuple: return "Tuple";
    case IterableKind::Set: return "Set";
  }
  return "?";
}

// Objects whose debug form is being written on this thread: an object that
// holds itself, directly or further down, prints "<locked>" where it recurs.
thread_local std::vector<const PyObject*> printing;

std::string debug_indexable(PyObject* obj) {
  const IndexableNative& native = IndexableClass::of(obj);
  std::string out = "StoredIndexable { python_handle: " + py_address(obj) +
                    ", owned_handle: IndexAPI { id: " + std::to_string(native.id) + ", attributes: Mutex { data: ";
  if (std::find(printing.begin(), printing.end(), obj) != printing.end()) {
    out += "<locked>";
  } else {
    printing.push_back(obj);
    out += native.attributes.debug_string([](const PyValue& v) { return debug_string(v); });
    printing.pop_back();
  }
  return out + ", poisoned: false, .. } } }";
}

}  // namespace

std::string debug_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, x).ptr;
  std::string s(buf, end);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

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

std::string debug_payload(const PyValue& v) {
  switch (v.kind()) {
    case ValueKind::Int: return "Int(" + std::to_string(v.int_value()) + ")";
    case ValueKind::Float: return "Float(" + debug_float(v.float_value()) + ")";
    case ValueKind::Str: return "Str(" + debug_quoted(v.str_value()) + ")";
    case ValueKind::Bool: return v.bool_value() ? "Bool(true)" : "Bool(false)";
    case ValueKind::Iterable:
      return std::string("Iterable(") + iterable_name(v.iterable_kind()) + "(" + py_address(v.object()) + "))";
    case ValueKind::Ind: return "Ind(" + debug_indexable(v.object()) + ")";
    case ValueKind::Unknown: return "Unknown";
  }
  return "?";
}

std::string debug_string(const PyValue& v) {
  return "PyValue { obj: " + (v.object() ? "Some(" + py_address(v.object()) + ")" : std::string("None")) +
         ", primitave: " + debug_payload(v) + ", hash: " + std::to_string(v.stored_hash()) + " }";
}

}  // namespace calderwick
