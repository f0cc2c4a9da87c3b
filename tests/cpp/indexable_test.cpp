#include "index/indexable.h"

#include <Python.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <vector>
#include <gtest/gtest.h>

#include "index/structures/id_alloc/id_alloc.h"
#include "index/common/write_gate.h"
#include "index/core/index.h"

namespace calderwick {
namespace {

// Live ids = drawn from the counter minus those waiting in the free list.
size_t live_ids() { return calderwick::testing::id_counter() - 1 - calderwick::testing::free_id_count(); }

void run(const char* code) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* r = PyRun_String(code, Py_file_input, globals, globals);
  if (!r) PyErr_Print();
  ASSERT_NE(r, nullptr) << code;
  Py_DECREF(r);
  Py_DECREF(globals);
}

TEST(IndexableIds, FailedConstructionConsumesNoId) {
  run("import Calderwick\nkeep = Calderwick.Indexable(a=1)\n");
  const uint32_t counter = calderwick::testing::id_counter();
  const size_t free_before = calderwick::testing::free_id_count();
  run(R"(
import Calderwick
for _ in range(100):
    for bad in (2**64, bytearray(), 2**63):
        try:
            Calderwick.Indexable(a=1, b=bad, c='x')
        except Calderwick.InternalError:
            pass
)");
  EXPECT_EQ(calderwick::testing::id_counter(), counter);
  EXPECT_EQ(calderwick::testing::free_id_count(), free_before);
}

TEST(IndexableIds, DroppingObjectsReleasesEveryId) {
  run("import Calderwick\n");
  const size_t before = live_ids();
  run(R"(
import Calderwick
objs = [Calderwick.Indexable(a=i, b=[i], c=Calderwick.Indexable(x=i)) for i in range(1000)]
assert len(objs) == 1000
del objs
)");
  EXPECT_EQ(live_ids(), before);
  // Released ids are reused most recent first, so the space stays dense.
  run("import Calderwick\nx = [Calderwick.Indexable() for _ in range(10)]\n");
  EXPECT_EQ(live_ids(), before);
  EXPECT_LE(calderwick::testing::id_counter(), 2012u);
}

// Element ids are drawn from the top of the id space: every way an indexed
// container goes (replaced, narrowed away, its object or its index dropped)
// gives them back, and object ids stay below them, dense.
TEST(IndexableIds, ContainerElementsReleaseTheirIdsAndStayAboveObjectIds) {
  run("import Calderwick\n");
  const size_t objects_before = live_ids();
  const size_t elements_before = calderwick::testing::element_ids_in_use();
  run(R"(
import Calderwick
Q = Calderwick.PyQueryExpr
objs = [Calderwick.Indexable(a=i, tags=[i % 5, (i, i + 1), [i % 3]], n=Calderwick.Indexable(t=(i,))) for i in range(600)]
a, b = Calderwick.Index(), Calderwick.Index()
a.add_object_many(objs)
b.add_object_many(objs[::2])
assert len(a.reduced_query(Q.eq("tags", 3)).collect()) == 121  # 3 = i % 5, and i = 2 through (2, 3)
assert len(a.reduced_query(Q.eq("n.t", 7)).collect()) == 1
for o in objs[::3]:
    o.tags = [o.a, o.a]
a.reduce(a=0)
b.union_with(a)
assert {o.a for o in a.reduced_query(Q.eq("tags", 0)).collect()} == {0}
del a, b, objs
)");
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), elements_before);
  EXPECT_EQ(live_ids(), objects_before);
  EXPECT_LE(calderwick::testing::id_counter(), objects_before + 1202u);
}

TEST(IndexableNativePart, TheMovedToPartOwnsAndFreesTheId) {
  IndexableNative owner;
  owner.id = allocate_id();
  const uint32_t id = owner.id;
  owner.attributes.insert(7, PyValue::of_int(5));
  const size_t free_before = calderwick::testing::free_id_count();
  {
    IndexableNative moved(std::move(owner));
    EXPECT_EQ(owner.id, 0u);
    ASSERT_NE(moved.attributes.get(7), nullptr);
    EXPECT_EQ(moved.attributes.get(7)->int_value(), 5);
  }
  EXPECT_EQ(calderwick::testing::free_id_count(), free_before + 1);
  EXPECT_EQ(allocate_id(), id);
}

std::vector<const IndexAPI*> indexes_of(const IndexableNative& o) {
  std::vector<const IndexAPI*> out;
  for (const IndexMeta& m : memberships_of(o)) out.push_back(m.index.lock().get());
  return out;
}

TEST(IndexableMemberships, OneRecordPerIndexInAddressOrder) {
  IndexableNative o;
  o.id = allocate_id();
  const WriteScope gate;
  std::vector<std::shared_ptr<IndexAPI>> indexes;
  for (int i = 0; i < 6; ++i) indexes.push_back(IndexAPI::make());
  // Registered in a scrambled order, each several times.
  for (int round = 0; round < 3; ++round) {
    for (int i : {3, 0, 5, 1, 4, 2}) register_index(o, indexes[i]);
  }
  register_index(o, DEFAULT_INDEX_ARC());
  std::vector<const IndexAPI*> expected;
  for (const auto& index : indexes) expected.push_back(index.get());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(indexes_of(o), expected);

  // A dead record goes at the next registration; the others stay ordered.
  const IndexAPI* dropped = indexes[2].get();
  indexes[2].reset();
  register_index(o, indexes[0]);
  expected.erase(std::find(expected.begin(), expected.end(), dropped));
  EXPECT_EQ(indexes_of(o), expected);
}

}  // namespace
}  // namespace calderwick

namespace calderwick {
namespace {

TEST(IndexableMemberships, OneInlineRecordGrowsToAListAndBack) {
  IndexableNative o;
  o.id = allocate_id();
  const WriteScope gate;
  auto first = IndexAPI::make();
  register_index(o, first);
  register_index(o, first);
  EXPECT_EQ(indexes_of(o), std::vector<const IndexAPI*>{first.get()});
  auto second = IndexAPI::make();
  register_index(o, second);
  EXPECT_EQ(indexes_of(o).size(), 2u);
  // Both gone: the next registration keeps only the live index.
  first.reset();
  second.reset();
  auto third = IndexAPI::make();
  register_index(o, third);
  EXPECT_EQ(indexes_of(o), std::vector<const IndexAPI*>{third.get()});
  // A moved native part carries its record.
  IndexableNative moved(std::move(o));
  EXPECT_EQ(indexes_of(moved), std::vector<const IndexAPI*>{third.get()});
  EXPECT_TRUE(memberships_of(o).empty());
}

}  // namespace
}  // namespace calderwick

namespace calderwick {
namespace {

// Membership lists are shared between objects and remembered joins are
// replayed: random programs of objects joining indexes (mostly in runs, as
// a batch does), indexes and objects going, and objects moved, against a
// mirror of each object's live indexes. Dead records may linger in a list;
// the live ones must be exactly the mirror's, once each, in address order.
TEST(IndexableMemberships, SharedListsMatchAMirror) {
  const WriteScope gate;
  const size_t lists_before = calderwick::testing::membership_lists();
  std::mt19937 rng(7);
  {
    std::vector<std::shared_ptr<IndexAPI>> indexes;
    for (int i = 0; i < 5; ++i) indexes.push_back(IndexAPI::make());
    std::vector<std::unique_ptr<IndexableNative>> objects;
    std::vector<std::set<const IndexAPI*>> mirror;
    const auto live_of = [](const IndexableNative& o) {
      std::vector<const IndexAPI*> live;
      for (const IndexMeta& m : memberships_of(o)) {
        if (auto index = m.index.lock()) live.push_back(index.get());
      }
      return live;
    };
    for (int step = 0; step < 4000; ++step) {
      const unsigned op = rng() % 20;
      if (op < 3 || objects.empty()) {
        objects.push_back(std::make_unique<IndexableNative>());
        objects.back()->id = allocate_id();
        mirror.emplace_back();
      } else if (op < 13) {
        // A run of objects joins one index, as a batch does.
        const size_t k = rng() % indexes.size();
        const size_t from = rng() % objects.size();
        const size_t n = 1 + rng() % 30;
        for (size_t i = from; i < std::min(objects.size(), from + n); ++i) {
          register_index(*objects[i], indexes[k]);
          if (indexes[k]) mirror[i].insert(indexes[k].get());
        }
      } else if (op < 15) {
        // An index goes and another comes.
        const size_t k = rng() % indexes.size();
        for (auto& live : mirror) live.erase(indexes[k].get());
        indexes[k] = IndexAPI::make();
      } else if (op < 17) {
        const size_t i = rng() % objects.size();
        objects.erase(objects.begin() + i);
        mirror.erase(mirror.begin() + i);
      } else if (op < 18) {
        const size_t i = rng() % objects.size();
        auto moved = std::make_unique<IndexableNative>(std::move(*objects[i]));
        EXPECT_TRUE(memberships_of(*objects[i]).empty());
        objects[i] = std::move(moved);
      } else {
        register_index(*objects[rng() % objects.size()], DEFAULT_INDEX_ARC());
      }
      for (size_t probe : {size_t{rng() % objects.size()}, objects.size() - 1}) {
        std::vector<const IndexAPI*> want(mirror[probe].begin(), mirror[probe].end());
        ASSERT_EQ(live_of(*objects[probe]), want) << "step " << step << ", object " << probe;
      }
    }
    for (size_t i = 0; i < objects.size(); ++i) {
      std::vector<const IndexAPI*> want(mirror[i].begin(), mirror[i].end());
      ASSERT_EQ(live_of(*objects[i]), want) << "object " << i;
    }
    // Objects sharing a list share its one copy.
    EXPECT_LE(calderwick::testing::membership_lists(), lists_before + (size_t{1} << indexes.size()) * 4);
  }
  EXPECT_EQ(calderwick::testing::membership_lists(), lists_before) << "every list goes with its last holder";
}

}  // namespace
}  // namespace calderwick
