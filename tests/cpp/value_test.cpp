#include "index/value.h"

#include <Python.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "index/binding/gil.h"
#include "index/common/error.h"
#include "index/common/fxhash.h"
#include "index/debug_form.h"

namespace calderwick {
namespace {

PyValue make(PyObject* newref) { return PyValue::make(py::PyRef::steal(newref)); }
PyValue of_int(long v) { return make(PyLong_FromLong(v)); }
PyValue of_float(double x) { return make(PyFloat_FromDouble(x)); }
PyValue of_str(const char* s) { return make(PyUnicode_FromString(s)); }
PyValue of_bool(bool b) { return make(PyBool_FromLong(b)); }

TEST(ValueHash, MatchesTheDocumentedWords) {
  EXPECT_EQ(hash_int(5), 0x310dcc870957f08bULL);
  EXPECT_EQ(hash_bool(true), 0x57c3d162b763f69bULL);
  EXPECT_EQ(hash_str_value("abc"), 0x7ecf3f019ef737bdULL);
  FxHasher h;
  h.write_u64(byte_digest("abc"));
  h.write_u64(0xff);
  EXPECT_EQ(h.state(), 0x541f3091a6122038ULL);
  // Values built from Python objects carry the same hashes.
  EXPECT_EQ(of_int(5).stored_hash(), hash_int(5));
  EXPECT_EQ(of_bool(true).stored_hash(), hash_bool(true));
  EXPECT_EQ(of_str("abc").stored_hash(), hash_str_value("abc"));
}

TEST(ValueHash, ByteDigestIsFoldedMultiplyOfSeedsForEveryLength) {
  // Reference digest written independently from the byte-level definition.
  auto reference = [](const std::string& s) {
    const size_t n = s.size();
    auto word = [&](size_t at, size_t width) {
      uint64_t v = 0;
      for (size_t i = 0; i < width; ++i) v |= uint64_t(uint8_t(s[at + i])) << (8 * i);
      return v;
    };
    auto mix = [](uint64_t a, uint64_t b) {
      unsigned __int128 p = (unsigned __int128)a * b;
      return uint64_t(p) ^ uint64_t(p >> 64);
    };
    uint64_t s0 = 0x243f6a8885a308d3ULL, s1 = 0x13198a2e03707344ULL;
    if (n <= 16) {
      if (n >= 8) s0 ^= word(0, 8), s1 ^= word(n - 8, 8);
      else if (n >= 4) s0 ^= word(0, 4), s1 ^= word(n - 4, 4);
      else if (n > 0) s0 ^= uint8_t(s[0]), s1 ^= (uint64_t(uint8_t(s[n - 1])) << 8) | uint8_t(s[n / 2]);
    } else {
      for (size_t o = 0; o + 16 < n; o += 16) {
        uint64_t t = mix(s0 ^ word(o, 8), 0xa4093822299f31d0ULL ^ word(o + 8, 8));
        s0 = s1;
        s1 = t;
      }
      s0 ^= word(n - 16, 8);
      s1 ^= word(n - 8, 8);
    }
    return mix(s0, s1) ^ n;
  };
  std::string s;
  for (size_t n = 0; n <= 40; ++n) {
    EXPECT_EQ(byte_digest(s), reference(s)) << "length " << n;
    s.push_back(char(0x61 + (n * 7) % 26));
  }
}

TEST(ValueEquality, FollowsTheCrossVariantTable) {
  EXPECT_EQ(of_int(5), of_int(5));
  EXPECT_FALSE(of_int(5) == of_int(6));
  EXPECT_EQ(of_str("abc"), of_str("abc"));
  EXPECT_FALSE(of_int(1) == of_bool(true));    // different hashes, different keys
  EXPECT_FALSE(of_int(1) == of_float(1.0));    // numbers meet in the number index, not here
  EXPECT_FALSE(of_float(0.0) == of_float(-0.0));  // equal in IEEE, unequal hashes
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const PyValue n1 = of_float(nan);
  EXPECT_FALSE(n1 == n1);  // NaN equals nothing, itself included
  EXPECT_EQ(of_float(2.5), of_float(2.5));
  EXPECT_EQ(of_bool(false), of_bool(false));
}

TEST(ValueEquality, IdentityKindsCompareByObject) {
  PyObject* list = PyList_New(0);
  const PyValue a = PyValue::from_borrowed(list);
  const PyValue b = PyValue::from_borrowed(list);
  const PyValue a_copy = a;
  EXPECT_EQ(a.kind(), ValueKind::Iterable);
  EXPECT_TRUE(a == a_copy);
  EXPECT_FALSE(a == b);  // two values built from the same list are unequal
  Py_DECREF(list);

  const PyValue none1 = PyValue::from_borrowed(Py_None);
  const PyValue none2 = PyValue::from_borrowed(Py_None);
  EXPECT_EQ(none1.kind(), ValueKind::Unknown);
  EXPECT_TRUE(none1 == none2);  // same object
  EXPECT_EQ(none1.stored_hash(), static_cast<uint64_t>(PyObject_Hash(Py_None)));
  // None holds no node: copies, reads back and the object it names still work.
  const Py_ssize_t none_refs = Py_REFCNT(Py_None);
  {
    std::vector<PyValue> copies(100, none1);
    EXPECT_TRUE(copies.back() == none2);
    EXPECT_EQ(copies.back().object(), Py_None);
    EXPECT_EQ(copies.back().to_python().get(), Py_None);
    EXPECT_FALSE(none1 == PyValue::of_bool(false));
  }
  EXPECT_EQ(Py_REFCNT(Py_None), none_refs);

  PyObject* fs = PyFrozenSet_New(nullptr);
  const PyValue f1 = PyValue::from_borrowed(fs);
  PyObject* fs2 = PyFrozenSet_New(nullptr);
  const PyValue f2 = PyValue::from_borrowed(fs2);
  EXPECT_EQ(f1.kind(), ValueKind::Unknown);
  // Equal hashes when Python calls them equal, yet distinct objects: unequal,
  // unless CPython shares the empty frozenset singleton.
  EXPECT_EQ(f1 == f2, fs == fs2);
  Py_DECREF(fs);
  Py_DECREF(fs2);
}

// An attribute's str is held by reference: the same bytes, hash and
// equality as the node form, one reference per copy (copied with the GIL),
// released with the last copy.
TEST(ValueStr, HeldByReferenceAnswersLikeTheNodeForm) {
  using namespace std::string_view_literals;
  // Not the empty string, a shared (and on newer CPythons immortal) object.
  for (const std::string_view text : {"abc"sv, "a\0b"sv, "caf\xc3\xa9"sv, "\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80"sv}) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    ASSERT_NE(s, nullptr);
    const Py_ssize_t base = Py_REFCNT(s);
    {
      const PyValue held = PyValue::attribute(py::PyRef::borrow(s));
      const PyValue node = PyValue::from_borrowed(s);
      EXPECT_EQ(held.kind(), ValueKind::Str);
      EXPECT_EQ(held.object(), s);
      EXPECT_EQ(held.str_value(), text);
      EXPECT_EQ(held.str_value(), node.str_value());
      EXPECT_EQ(held.stored_hash(), node.stored_hash());
      EXPECT_TRUE(held == node);
      EXPECT_EQ(Py_REFCNT(s), base + 2);
      {
        std::vector<PyValue> copies(3, held);
        EXPECT_EQ(Py_REFCNT(s), base + 5);
        EXPECT_EQ(copies[2].str_value(), node.str_value());
      }
      EXPECT_EQ(Py_REFCNT(s), base + 2);
      py::PyRef back = held.to_python();
      EXPECT_EQ(PyUnicode_Compare(back.get(), s), 0);
    }
    EXPECT_EQ(Py_REFCNT(s), base);
    Py_DECREF(s);
  }
  // Copying one without the GIL is refused rather than racing on the count.
  const PyValue held = PyValue::attribute(py::PyRef::steal(PyUnicode_FromString("guarded")));
  py::GilRelease release;
  EXPECT_THROW(PyValue copy(held), InternalError);
}

TEST(ValueClassification, ExactTypesOnly) {
  struct Case {
    const char* expr;
    ValueKind kind;
  };
  const Case cases[] = {
      {"1", ValueKind::Int},         {"-2**63", ValueKind::Int},   {"1.5", ValueKind::Float},
      {"'x'", ValueKind::Str},       {"True", ValueKind::Bool},    {"[1]", ValueKind::Iterable},
      {"(1,)", ValueKind::Iterable}, {"{1}", ValueKind::Iterable}, {"{}", ValueKind::Iterable},
      {"None", ValueKind::Unknown},  {"b'x'", ValueKind::Unknown}, {"frozenset()", ValueKind::Unknown},
      {"__import__('enum').IntEnum('E', 'A').A", ValueKind::Unknown},
  };
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  for (const Case& c : cases) {
    PyObject* obj = PyRun_String(c.expr, Py_eval_input, globals, globals);
    ASSERT_NE(obj, nullptr) << c.expr;
    EXPECT_EQ(make(obj).kind(), c.kind) << c.expr;
  }
  Py_DECREF(globals);
}

TEST(ValueClassification, FailuresAreInternalErrorsWithTypeCheckedPrefix) {
  PyObject* big = PyLong_FromString("9223372036854775808", nullptr, 10);
  try {
    make(big);
    FAIL() << "2**63 was accepted";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("type checked: OverflowError", 0), 0u) << e.what();
  }
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_THROW(make(PyByteArray_FromStringAndSize("", 0)), InternalError);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(ValueDebug, ShowsFieldsAndPayloads) {
  EXPECT_EQ(debug_payload(PyValue::of_int(-3)), "Int(-3)");
  EXPECT_EQ(debug_payload(PyValue::of_float(1.0)), "Float(1.0)");
  EXPECT_EQ(debug_payload(PyValue::of_float(0.1)), "Float(0.1)");
  EXPECT_EQ(debug_payload(PyValue::of_float(-std::numeric_limits<double>::infinity())), "Float(-inf)");
  EXPECT_EQ(debug_payload(PyValue::of_float(std::nan(""))), "Float(NaN)");
  EXPECT_EQ(debug_payload(PyValue::of_float(1e100)), "Float(1e+100)");
  EXPECT_EQ(debug_payload(of_str("a\"b\n")), "Str(\"a\\\"b\\n\")");
  EXPECT_EQ(debug_payload(PyValue::of_bool(true)), "Bool(true)");
  EXPECT_EQ(debug_payload(PyValue::from_borrowed(Py_None)), "Unknown");
  // Numbers keep no Python object; other kinds show the one they hold.
  const std::string d = debug_string(of_int(5));
  EXPECT_EQ(d, "PyValue { obj: None, primitave: Int(5), hash: " + std::to_string(hash_int(5)) + " }");
  const std::string s = debug_string(of_str("ab"));
  EXPECT_EQ(s.rfind("PyValue { obj: Some(Py(0x", 0), 0u) << s;
}

}  // namespace
}  // namespace calderwick
