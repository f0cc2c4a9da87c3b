// The query layer (QueryMap, the bulk writer, evaluation, narrowing and views)
// against a brute-force model: objects with random scalar and list attributes
// are added one at a time and in batches, reassigned and narrowed away, and
// random query trees (shared operands included) are evaluated both by the
// index and by a direct scan of the model after every step.
#include <Python.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "index/binding/gil.h"
#include "index/core/filtered_index.h"
#include "index/core/index.h"
#include "index/core/operations.h"
#include "index/core/query/query_ops.h"
#include "index/indexable.h"
#include "index/interfaces/classes.h"

namespace calderwick {
namespace {

using Op = QueryExpr::Op;

// A scalar as the model sees it.
struct Scalar {
  // kOther: a value of a type without native support, matched by identity
  // (`i` picks it from other_values()); kObject: a nested Indexable (`i`
  // picks it from inner_objects()).
  enum Kind { kInt, kFloat, kStr, kBool, kOther, kObject } kind;
  int64_t i = 0;
  double d = 0;
  std::string s;
  bool b = false;

  static Scalar of_int(int64_t v) { return {kInt, v, 0, {}, false}; }
  static Scalar of_float(double v) { return {kFloat, 0, v, {}, false}; }
  static Scalar of_str(std::string v) { return {kStr, 0, 0, std::move(v), false}; }
  static Scalar of_bool(bool v) { return {kBool, 0, 0, {}, v}; }
  static Scalar of_other(int64_t i) { return {kOther, i, 0, {}, false}; }
  static Scalar of_object(int64_t i) { return {kObject, i, 0, {}, false}; }

  bool is_number() const { return kind == kInt || kind == kFloat; }
  bool is_nan() const { return kind == kFloat && std::isnan(d); }
  // Exact: an 80-bit long double holds every int64 and every double.
  long double number() const { return kind == kInt ? static_cast<long double>(i) : static_cast<long double>(d); }
};

// An attribute value: one scalar, or a list of them (matched element by element).
struct Value {
  std::vector<Scalar> elements;
  bool is_list = false;
};

bool equal(const Scalar& stored, const Scalar& q) {
  if (stored.is_number() && q.is_number()) return !stored.is_nan() && !q.is_nan() && stored.number() == q.number();
  if (stored.kind != q.kind) return false;
  if (stored.kind == Scalar::kStr) return stored.s == q.s;
  if (stored.kind == Scalar::kBool) return stored.b == q.b;
  return stored.i == q.i;  // the same object
}

// Python's order on numbers; NaN is in no order, nor are other kinds.
bool ordered(const Scalar& stored, Op op, const Scalar& q) {
  if (!stored.is_number() || !q.is_number() || stored.is_nan() || q.is_nan()) return false;
  const long double x = stored.number(), y = q.number();
  switch (op) {
    case Op::Gt: return x > y;
    case Op::Ge: return x >= y;
    case Op::Lt: return x < y;
    default: return x <= y;
  }
}

bool string_match(const Scalar& stored, Op op, const Scalar& q) {
  if (stored.kind != Scalar::kStr || q.kind != Scalar::kStr) return false;
  const std::string& s = stored.s;
  switch (op) {
    case Op::StartsWi: return s.starts_with(q.s);
    case Op::EndsWi: return s.ends_with(q.s);
    default: return s.find(q.s) != std::string::npos;
  }
}

// A query tree as the model sees it, built together with the index's tree.
struct ModelQuery {
  Op op;
  std::string attr;
  std::vector<Scalar> values;
  std::vector<std::shared_ptr<const ModelQuery>> children;
  QueryExpr::Node node;
};
using ModelNode = std::shared_ptr<const ModelQuery>;

// Values of other types: each equals only itself.
PyObject* other_value(size_t i) {
  static PyObject* const pool[] = {Py_None, PyBytes_FromString("x"), PyBytes_FromString("y")};  // kept
  return pool[i];
}
constexpr size_t kOtherValues = 3;

// Nested objects, made by the module's Indexable class; `inner` is the one
// attribute each may have.
struct InnerObject {
  py::PyRef object;
  std::optional<Scalar> inner;
};

py::PyRef to_python(const Scalar& s);

const std::vector<InnerObject>& inner_objects() {
  static const std::vector<InnerObject>* objects = [] {
    auto* out = new std::vector<InnerObject>();  // kept for the process
    py::PyRef module = py::PyRef::steal(PyImport_ImportModule("Calderwick"));
    py::PyRef cls = py::PyRef::steal(PyObject_GetAttrString(module.get(), "Indexable"));
    py::PyRef no_args = py::PyRef::steal(PyTuple_New(0));
    for (const std::optional<Scalar>& inner : {std::optional<Scalar>(Scalar::of_int(1)),
                                               std::optional<Scalar>(Scalar::of_str("ab")),
                                               std::optional<Scalar>(Scalar::of_float(2.5)), std::optional<Scalar>()}) {
      py::PyRef kwargs = py::PyRef::steal(PyDict_New());
      if (inner) PyDict_SetItemString(kwargs.get(), "inner", to_python(*inner).get());
      py::PyRef object = py::PyRef::steal(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
      EXPECT_NE(object.get(), nullptr);
      out->push_back(InnerObject{std::move(object), inner});
    }
    return out;
  }();
  return *objects;
}

py::PyRef to_python(const Scalar& s) {
  switch (s.kind) {
    case Scalar::kInt: return py::PyRef::steal(PyLong_FromLongLong(s.i));
    case Scalar::kFloat: return py::PyRef::steal(PyFloat_FromDouble(s.d));
    case Scalar::kStr: return py::PyRef::steal(PyUnicode_FromStringAndSize(s.s.data(), Py_ssize_t(s.s.size())));
    case Scalar::kBool: return py::PyRef::borrow(s.b ? Py_True : Py_False);
    case Scalar::kOther: return py::PyRef::borrow(other_value(size_t(s.i)));
    case Scalar::kObject: return py::PyRef::borrow(inner_objects()[size_t(s.i)].object.get());
  }
  return {};
}

PyValue to_value(const Value& v) {
  if (!v.is_list) return PyValue::make(to_python(v.elements[0]));
  py::PyRef list = py::PyRef::steal(PyList_New(Py_ssize_t(v.elements.size())));
  for (size_t i = 0; i < v.elements.size(); ++i) PyList_SET_ITEM(list.get(), i, to_python(v.elements[i]).release());
  return PyValue::make(std::move(list));
}

constexpr const char* kAttributes[] = {"qa", "qb", "qc", "qd"};

class Model {
 public:
  explicit Model(uint64_t seed) : rng_(seed), index_(IndexAPI::make()) {}

  Scalar random_scalar() {
    constexpr int64_t kTwo53 = int64_t{1} << 53;
    switch (rng_() % 14) {
      case 0: case 1: case 2: return Scalar::of_int(int64_t(rng_() % 9) - 4);
      case 3: case 4: return Scalar::of_float(double(int64_t(rng_() % 17) - 8) / 2);
      case 5: {
        using Limits = std::numeric_limits<double>;
        static const std::vector<Scalar> extremes = {
            Scalar::of_int(kTwo53), Scalar::of_int(kTwo53 + 1), Scalar::of_float(double(kTwo53)),
            Scalar::of_int(std::numeric_limits<int64_t>::max()), Scalar::of_int(std::numeric_limits<int64_t>::min()),
            Scalar::of_float(-0.0), Scalar::of_float(Limits::infinity()), Scalar::of_float(-Limits::infinity()),
            Scalar::of_float(Limits::quiet_NaN())};
        return extremes[rng_() % extremes.size()];
      }
      case 6: case 7: case 8: case 9: {
        std::string s;
        for (size_t n = rng_() % 4; n > 0; --n) s += "abc"[rng_() % 3];
        return Scalar::of_str(std::move(s));
      }
      case 10: return Scalar::of_bool(rng_() % 2 == 0);
      case 11: return Scalar::of_other(int64_t(rng_() % kOtherValues));
      default: return Scalar::of_object(int64_t(rng_() % inner_objects().size()));
    }
  }

  Value random_value() {
    Value v;
    v.is_list = rng_() % 4 == 0;
    const size_t n = v.is_list ? rng_() % 4 : 1;
    for (size_t i = 0; i < n; ++i) v.elements.push_back(random_scalar());
    return v;
  }

  // A new object with a random subset of the attributes.
  size_t make_object() {
    Object o;
    o.handle = py::PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(indexable_type())));
    o.native = &IndexableClass::of(o.handle.get());
    for (size_t a = 0; a < std::size(kAttributes); ++a) {
      if (rng_() % 4 == 0) continue;
      o.values[a] = random_value();
      o.native->attributes.insert(attribute_id(kAttributes[a]), to_value(*o.values[a]));
    }
    objects_.push_back(std::move(o));
    return objects_.size() - 1;
  }

  // Adds the objects as Index.add_object_many does: a batch of one files
  // directly, larger batches through the bulk writers.
  void add(const std::vector<size_t>& which) {
    std::vector<StoredItem> items;
    for (size_t w : which) items.push_back(StoredItem::owning(objects_[w].handle.clone()));
    ops::add(*index_, items);
    for (size_t w : which) members_.insert(w);
  }

  void add_some() {
    std::vector<size_t> which;
    const size_t n = rng_() % 3 == 0 ? 1 : 1 + rng_() % 12;
    for (size_t k = 0; k < n; ++k) {
      // Mostly new objects; now and then one narrowed away earlier, or a
      // member added again (its values are filed afresh).
      if (rng_() % 5 == 0 && !objects_.empty()) {
        which.push_back(rng_() % objects_.size());
      } else {
        which.push_back(make_object());
      }
    }
    add(which);
  }

  // Assigns a random attribute of a random object, as attribute assignment does.
  void reassign() {
    if (objects_.empty()) return;
    Object& o = objects_[rng_() % objects_.size()];
    const size_t a = rng_() % std::size(kAttributes);
    const Value v = random_value();
    ops::assign(*o.native, attribute_id(kAttributes[a]), to_value(v));
    o.values[a] = v;
  }

  void narrow() {
    IdSet keep;
    std::set<size_t> kept;
    for (size_t m : members_) {
      if (rng_() % 3 != 0) {
        keep.add(objects_[m].native->id);
        kept.insert(m);
      }
    }
    const WriteScope gate = py::write_scope();
    index_->keep_only_from_bitmap(keep);
    members_ = std::move(kept);
  }

  ModelNode random_query(int depth) {
    auto q = std::make_shared<ModelQuery>();
    const uint32_t roll = rng_() % 16;
    if (depth > 0 && roll < 5) {
      q->op = roll < 2 ? Op::And : roll < 4 ? Op::Or : Op::Not;
      const size_t n = q->op == Op::Not ? 1 : 1 + rng_() % 3;
      std::vector<QueryExpr::Node> nodes;
      for (size_t i = 0; i < n; ++i) {
        // Now and then an operand used before: the evaluator shares results.
        ModelNode c = !shared_.empty() && rng_() % 4 == 0 ? shared_[rng_() % shared_.size()] : random_query(depth - 1);
        nodes.push_back(c->node);
        q->children.push_back(std::move(c));
      }
      q->node = std::make_shared<const QueryExpr>(QueryExpr::combine(q->op, std::move(nodes)));
    } else {
      static constexpr Op kLeaves[] = {Op::Eq, Op::Ne, Op::In, Op::Gt, Op::Ge, Op::Lt,
                                       Op::Le, Op::Bt, Op::StartsWi, Op::EndsWi, Op::Contains};
      q->op = kLeaves[rng_() % std::size(kLeaves)];
      const uint32_t which = rng_() % 12;
      q->attr = which < 7    ? std::string(kAttributes[which % 4])
                : which < 10 ? std::string(kAttributes[which % 4]) + ".inner"
                : which == 10 ? "unknown"
                              : "qa.missing";
      const size_t n = q->op == Op::Bt ? 2 : q->op == Op::In ? rng_() % 4 : 1;
      for (size_t i = 0; i < n; ++i) {
        Scalar s = random_scalar();
        while (q->op == Op::Bt && !s.is_number()) s = random_scalar();  // other bounds are refused
        q->values.push_back(s);
      }
      std::vector<PyValue> values;
      for (const Scalar& s : q->values) values.push_back(PyValue::make(to_python(s)));
      q->node = std::make_shared<const QueryExpr>(QueryExpr::on_attribute(q->op, SmallString(q->attr), std::move(values)));
    }
    if (rng_() % 3 == 0) shared_.push_back(q);
    return q;
  }

  // The ids of `universe`'s objects that satisfy `q`, by scanning the model.
  std::set<uint32_t> scan(const ModelQuery& q, const std::set<size_t>& universe) const {
    std::set<uint32_t> out;
    if (q.op == Op::And || q.op == Op::Or || q.op == Op::Not) {
      std::vector<std::set<uint32_t>> parts;
      for (const ModelNode& c : q.children) parts.push_back(scan(*c, universe));
      for (size_t m : universe) {
        const uint32_t id = objects_[m].native->id;
        bool all = true, any = false;
        for (const auto& p : parts) {
          const bool in = p.count(id) > 0;
          all = all && in;
          any = any || in;
        }
        if ((q.op == Op::And && all) || (q.op == Op::Or && any) || (q.op == Op::Not && !any)) out.insert(id);
      }
      return out;
    }
    for (size_t m : universe) {
      if (leaf_matches(q, objects_[m]) != (q.op == Op::Ne)) out.insert(objects_[m].native->id);
    }
    return out;
  }

  std::set<uint32_t> evaluated(const ModelQuery& q) const {
    const IdSet ids = evaluate_on_index(*index_, *q.node);
    const std::vector<uint32_t> v = ids.to_vector();
    return {v.begin(), v.end()};
  }

  const std::shared_ptr<IndexAPI>& index() const { return index_; }
  const std::set<size_t>& members() const { return members_; }

 private:
  struct Object {
    py::PyRef handle;  // an Indexable
    IndexableNative* native;
    std::optional<Value> values[std::size(kAttributes)];
  };

  // Whether one stored scalar satisfies an attribute operator (Ne: its Eq).
  static bool scalar_matches(const ModelQuery& q, const Scalar& e) {
    switch (q.op) {
      case Op::Eq:
      case Op::Ne: return equal(e, q.values[0]);
      case Op::In:
        for (const Scalar& alt : q.values) {
          if (equal(e, alt)) return true;
        }
        return false;
      case Op::Bt: return ordered(e, Op::Ge, q.values[0]) && ordered(e, Op::Le, q.values[1]);
      case Op::Gt:
      case Op::Ge:
      case Op::Lt:
      case Op::Le: return ordered(e, q.op, q.values[0]);
      default: return string_match(e, q.op, q.values[0]);
    }
  }

  // Whether some element of the object's value (or, for `attr.inner`, the
  // inner attribute of some nested object among them) satisfies the operator.
  static bool leaf_matches(const ModelQuery& q, const Object& o) {
    const size_t dot = q.attr.find('.');
    const std::string head = q.attr.substr(0, dot);
    const std::string tail = dot == std::string::npos ? "" : q.attr.substr(dot + 1);
    const Value* v = nullptr;
    for (size_t a = 0; a < std::size(kAttributes); ++a) {
      if (head == kAttributes[a] && o.values[a]) v = &*o.values[a];
    }
    if (!v) return false;
    for (const Scalar& e : v->elements) {
      if (tail.empty()) {
        if (scalar_matches(q, e)) return true;
      } else if (tail == "inner" && e.kind == Scalar::kObject) {
        const std::optional<Scalar>& inner = inner_objects()[size_t(e.i)].inner;
        if (inner && scalar_matches(q, *inner)) return true;
      }
    }
    return false;
  }

  std::mt19937_64 rng_;
  std::shared_ptr<IndexAPI> index_;
  std::vector<Object> objects_;
  std::set<size_t> members_;
  std::vector<ModelNode> shared_;
};

std::string describe(const std::set<uint32_t>& ids) {
  std::string out = "{";
  for (uint32_t id : ids) out += std::to_string(id) + " ";
  return out + "}";
}

class QueryLayerRandomised : public ::testing::TestWithParam<uint64_t> {};

TEST_P(QueryLayerRandomised, IndexAnswersLikeAScanOfTheObjects) {
  Model model(GetParam());
  std::mt19937_64 rng(GetParam() * 7919 + 1);
  for (int step = 0; step < 40; ++step) {
    switch (rng() % 6) {
      case 0: case 1: case 2: model.add_some(); break;
      case 3: case 4: model.reassign(); break;
      default: model.narrow(); break;
    }
    for (int q = 0; q < 25; ++q) {
      const ModelNode query = model.random_query(3);
      const std::set<uint32_t> expected = model.scan(*query, model.members());
      ASSERT_EQ(describe(model.evaluated(*query)), describe(expected))
          << "step " << step << ": " << query->node->debug_string();

      // A view narrowed by a second query answers for the view's ids only.
      const ModelNode second = model.random_query(2);
      const FilteredIndexCore view = model.index()->reduced_query(*query->node);
      const IdSet narrowed = view.reduced_query(*second->node).ids;
      std::set<uint32_t> both;
      for (uint32_t id : model.scan(*second, model.members())) {
        if (expected.count(id)) both.insert(id);
      }
      const std::vector<uint32_t> got = narrowed.to_vector();
      ASSERT_EQ(describe({got.begin(), got.end()}), describe(both))
          << "step " << step << ": " << query->node->debug_string() << " then " << second->node->debug_string();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, QueryLayerRandomised, ::testing::Values(1u, 2u, 3u, 17u, 4242u, 90001u));

}  // namespace
}  // namespace calderwick

namespace calderwick {
namespace {

// ElementRecords against a std::map of (value, element id) lists: records
// pooled and of their own, places freed and reused, page tails skipped,
// records replaced and taken.
class ElementRecordsRandomised : public ::testing::TestWithParam<uint32_t> {};

using Filed = std::vector<std::pair<int64_t, uint32_t>>;  // (value, element id)

Filed filed_of(std::span<const PyValue> values) {
  Filed out;
  for (const PyValue& v : values) out.emplace_back(v.int_value(), v.spare());
  return out;
}

TEST_P(ElementRecordsRandomised, MatchesMirror) {
  std::mt19937 rng(GetParam());
  ElementRecords records;
  std::map<uint32_t, Filed> mirror;
  uint32_t next_eid = 1;
  const auto make = [&](size_t n) {
    Filed f;
    for (size_t i = 0; i < n; ++i) f.emplace_back(static_cast<int64_t>(rng() % 50) - 10, next_eid++);
    return f;
  };
  const auto insert = [&](uint32_t owner, const Filed& f) {
    std::vector<PyValue> values;
    for (const auto& [v, eid] : f) {
      values.push_back(PyValue::of_int(v));
      values.back().set_spare(eid);
    }
    records.insert(owner, values);
    if (f.empty()) {
      mirror.erase(owner);
    } else {
      mirror[owner] = f;
    }
  };
  constexpr uint32_t kOwners = 40;
  // Owners close together first (the table by owner is an array), then
  // spread over millions of ids beside them (it turns into a hash table).
  const auto draw_owner = [&](int step) -> uint32_t {
    return rng() % kOwners * (step < 3000 || rng() % 2 ? 1u : 100003u);
  };
  for (int step = 0; step < 6000; ++step) {
    const uint32_t owner = draw_owner(step);
    const uint32_t op = rng() % 10;
    if (op < 5) {
      // Mostly pooled sizes, sometimes past kPooled, sometimes empty.
      const size_t n = rng() % 8 == 0 ? ElementRecords::kPooled + 1 + rng() % 5 : rng() % (ElementRecords::kPooled + 1);
      insert(owner, make(n));
    } else if (op < 8) {
      ElementRecords::Values out;
      const auto it = mirror.find(owner);
      ASSERT_EQ(records.take(owner, out), it != mirror.end()) << owner;
      if (it != mirror.end()) {
        ASSERT_EQ(filed_of(std::span<const PyValue>(out.data(), out.size())), it->second) << owner;
        mirror.erase(it);
      } else {
        ASSERT_TRUE(out.empty());
      }
    } else if (op == 8) {
      records.reserve(rng() % 50, rng() % 200, owner);
    }
    // Every record, looked up and walked.
    ASSERT_EQ(records.size(), mirror.size());
    ASSERT_EQ(records.empty(), mirror.empty());
    for (uint32_t probe : {owner, draw_owner(step)}) {
      const auto it = mirror.find(probe);
      ASSERT_EQ(records.contains(probe), it != mirror.end()) << probe;
      ASSERT_EQ(filed_of(records.find(probe)), it == mirror.end() ? Filed{} : it->second) << probe;
    }
    if (step % 50 == 0) {
      std::map<uint32_t, Filed> walked;
      records.for_each([&](uint32_t o, std::span<const PyValue> values) { walked[o] = filed_of(values); });
      ASSERT_EQ(walked, mirror);
    }
  }
  // Places are reused: at most one live place of each size per owner was
  // ever needed, however often places were freed and taken again.
  const size_t most = kOwners * (ElementRecords::kPooled * (ElementRecords::kPooled + 1) / 2);
  EXPECT_LE(records.pooled_slots(), (most / (ElementRecords::kPage - ElementRecords::kPooled) + 1) * ElementRecords::kPage);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ElementRecordsRandomised, ::testing::Values(1u, 5u, 99u));

struct PageCase {
  const char* name;
  uint32_t size;      // values per record
  uint32_t records;   // inserted, owners 0, 1, ...
  uint32_t taken;     // then taken, owners 0, 1, ...
  uint32_t again;     // then inserted again, new owners
  size_t pages;       // pages afterwards
};

// A record never straddles a page; freed places are reused before the pages grow.
TEST(ElementRecords, PlacesAndPages) {
  constexpr uint32_t P = ElementRecords::kPage;
  const std::vector<PageCase> cases = {
      {"nothing pooled", 1, 0, 0, 0, 0},
      {"one page exactly full of single values", 1, P, 0, 0, 1},
      {"one value past a page", 1, P + 1, 0, 0, 2},
      {"records of 7 leave a page's short tail unused", 7, P / 7 + 1, 0, 0, 2},
      {"records of 6 leave four slots of each page unused", 6, 2 * (P / 6) + 1, 0, 0, 3},
      {"records of 8 fill pages exactly", 8, P / 8, 0, 0, 1},
      {"freed places are taken again", 3, 1000, 500, 500, 1},
      {"a page emptied and filled again", 3, P / 3, P / 3, P / 3, 1},
      {"records past the pooled size take no page", ElementRecords::kPooled + 1, 100, 0, 0, 0},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    ElementRecords records;
    uint32_t eid = 1;
    const auto insert = [&](uint32_t owner) {
      std::vector<PyValue> values(c.size);
      for (PyValue& v : values) {
        v = PyValue::of_int(owner);
        v.set_spare(eid++);
      }
      records.insert(owner, values);
    };
    for (uint32_t o = 0; o < c.records; ++o) insert(o);
    ElementRecords::Values out;
    for (uint32_t o = 0; o < c.taken; ++o) ASSERT_TRUE(records.take(o, out));
    for (uint32_t o = 0; o < c.again; ++o) insert(c.records + o);
    EXPECT_EQ(records.pooled_slots(), c.pages * P);
    EXPECT_EQ(records.size(), c.records - c.taken + c.again);
    // Every record still reads back its own values.
    records.for_each([&](uint32_t owner, std::span<const PyValue> values) {
      ASSERT_EQ(values.size(), c.size);
      for (const PyValue& v : values) ASSERT_EQ(v.int_value(), owner);
    });
  }
}

}  // namespace
}  // namespace calderwick
