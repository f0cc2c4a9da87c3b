// Helpers shared by the tests of CenteredArray and HybridSet.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "index/common/error.h"
#include "index/structures/centered_array/centered_array.h"

namespace calderwick::testing {

using Ids = std::vector<uint32_t>;

inline Ids sorted_unique(const Ids& ids) {
  const std::set<uint32_t> u(ids.begin(), ids.end());
  return Ids(u.begin(), u.end());
}

inline Ids ids_of(const CenteredArray& a) { return Ids(a.slice().begin(), a.slice().end()); }

// An array holding `ids`, inserted in the given order.
inline CenteredArray array_of(const Ids& ids) {
  CenteredArray a;
  for (uint32_t id : ids) a.insert(id);
  return a;
}

// Runs `f` and checks that it throws InternalError whose message contains `needle`.
inline void expect_internal_error(const std::function<void()>& f, const std::string& needle) {
  try {
    f();
    ADD_FAILURE() << "expected InternalError containing \"" << needle << "\"";
  } catch (const InternalError& e) {
    EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
  }
}

// The layout rules every CenteredArray must keep, whatever happened to it.
inline void expect_well_formed(const CenteredArray& a) {
  ASSERT_LE(a.length, CenteredArray::kCapacity);
  ASSERT_LE(a.start + a.length, CenteredArray::kCapacity);
  for (size_t i = a.start + 1; i < a.start + a.length; ++i) {
    EXPECT_LT(a.data[i - 1], a.data[i]) << "slots " << i - 1 << " and " << i;
  }
}

}  // namespace calderwick::testing
