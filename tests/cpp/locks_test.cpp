#include "index/common/locks.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "structure_test_support.h"

namespace calderwick {
namespace {

TEST(Locks, ExceptionUnderWriteGuardPoisons) {
  RwLock<std::vector<int>> lock;
  try {
    auto w = lock.write();
    w->push_back(1);
    throw InternalError("boom");
  } catch (const InternalError&) {
  }
  EXPECT_TRUE(lock.is_poisoned());
  EXPECT_THROW(lock.write(), InternalError);
  EXPECT_THROW(lock.read(), InternalError);
}

TEST(Locks, ReadGuardNeverPoisons) {
  RwLock<int> lock(5);
  try {
    auto r = lock.read();
    throw std::runtime_error("failed query");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(lock.is_poisoned());
  EXPECT_EQ(*lock.read(), 5);
  *lock.write() = 6;
  EXPECT_EQ(*lock.read(), 6);
}

TEST(Locks, GuardTakenDuringUnwindingDoesNotPoisonForThatException) {
  // A guard taken inside a destructor that runs while an exception unwinds
  // must poison only for a failure that started while it was held.
  Mutex<int> m;
  struct TouchOnUnwind {
    Mutex<int>* m;
    ~TouchOnUnwind() { *m->lock() += 1; }
  };
  try {
    TouchOnUnwind t{&m};
    throw std::runtime_error("outer");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_EQ(*m.lock(), 1);
}

TEST(Locks, MutexPoisonUsesCallerMessage) {
  Mutex<int> m;
  try {
    auto g = m.lock();
    throw InternalError("x");
  } catch (const InternalError&) {
  }
  try {
    m.lock("cannot read from indexable");
    FAIL() << "poisoned mutex was taken";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "cannot read from indexable");
  }
  std::optional<Mutex<int>::Guard> g;
  EXPECT_THROW(m.try_lock_into(g), InternalError);
}

TEST(Locks, ExplicitUnlockReleasesWithoutPoisoning) {
  RwLock<int> lock(1);
  auto w = lock.write();
  w.unlock();
  EXPECT_EQ(*lock.read(), 1);  // would deadlock if unlock() did not release
  Mutex<int> m;
  std::optional<Mutex<int>::Guard> held;
  ASSERT_TRUE(m.try_lock_into(held));
  std::optional<Mutex<int>::Guard> second;
  calderwick::testing::run_threads(1, [&](int) { EXPECT_FALSE(m.try_lock_into(second)); });
  held.reset();
  EXPECT_FALSE(m.is_poisoned());
}

TEST(Locks, WritersExcludeEachOther) {
  RwLock<long> counter(0);
  calderwick::testing::run_threads(4, [&](int) {
    for (int i = 0; i < 20000; ++i) {
      auto w = counter.write();
      *w += 1;
    }
  });
  EXPECT_EQ(*counter.read(), 80000);
}

}  // namespace
}  // namespace calderwick
