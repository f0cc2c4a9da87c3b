#include "index/structures/buffered_bitmap/buffered_bitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace calderwick {
namespace {

std::vector<uint32_t> ids_of(const IdSet& s) { return s.to_vector(); }

template <typename Cell>
class BufferedBitmapTest : public ::testing::Test {};
using CellTypes = ::testing::Types<BufferedBitmap<1>, BufferedBitmap<32>, BufferedBitmap<64>>;
TYPED_TEST_SUITE(BufferedBitmapTest, CellTypes);

TYPED_TEST(BufferedBitmapTest, AppliesAFullBufferOnlyWhenOneMoreIdArrives) {
  constexpr size_t n = TypeParam::kCapacity;
  TypeParam cell;
  for (uint32_t id = 1; id <= n; ++id) cell.buffered_add(id * 3);
  EXPECT_EQ(cell.pending_count(), n);
  EXPECT_TRUE(cell.bitmap().is_empty());

  cell.buffered_add(1000);  // the (n+1)th
  EXPECT_EQ(cell.pending_count(), 1u);
  EXPECT_EQ(cell.bitmap().cardinality(), n);
  for (uint32_t id = 1; id <= n; ++id) EXPECT_TRUE(cell.bitmap().contains(id * 3)) << id;
  EXPECT_FALSE(cell.bitmap().contains(1000));
  EXPECT_EQ(std::vector<uint32_t>(cell.pending().begin(), cell.pending().end()), std::vector<uint32_t>{1000});

  cell.flush();
  EXPECT_EQ(cell.pending_count(), 0u);
  EXPECT_EQ(cell.bitmap().cardinality(), n + 1);
  EXPECT_TRUE(cell.bitmap().contains(1000));
}

TYPED_TEST(BufferedBitmapTest, FlushOfAnEmptyBufferLeavesTheBitmapAlone) {
  TypeParam cell;
  cell.flush();
  EXPECT_TRUE(cell.bitmap().is_empty());
  cell.bitmap().add(7);
  cell.flush();
  cell.flush();
  EXPECT_EQ(ids_of(cell.bitmap()), std::vector<uint32_t>{7});
  EXPECT_EQ(cell.pending_count(), 0u);
}

TYPED_TEST(BufferedBitmapTest, BufferIsAllocatedOnDemandAndReleasedByFlush) {
  TypeParam cell;
  EXPECT_EQ(cell.pending().data(), nullptr);
  cell.buffered_add(5);
  EXPECT_NE(cell.pending().data(), nullptr);
  cell.flush();
  EXPECT_EQ(cell.pending().data(), nullptr);
  cell.buffered_add(6);  // usable again after the release
  cell.flush();
  EXPECT_EQ(ids_of(cell.bitmap()), (std::vector<uint32_t>{5, 6}));
}

TYPED_TEST(BufferedBitmapTest, DuplicatesAcrossBufferAndBitmapCollapse) {
  constexpr size_t n = TypeParam::kCapacity;
  TypeParam cell;
  cell.bitmap().add(9);
  for (size_t i = 0; i < 3 * n + 1; ++i) cell.buffered_add(i % 2 ? 9 : 4);
  cell.flush();
  EXPECT_EQ(ids_of(cell.bitmap()), (std::vector<uint32_t>{4, 9}));
}

TYPED_TEST(BufferedBitmapTest, MoveAndCopyCarryPendingIds) {
  TypeParam cell;
  cell.bitmap().add(1);
  cell.buffered_add(2);

  TypeParam copy(cell);
  copy.buffered_add(3);  // must not write into the original's buffer
  EXPECT_EQ(cell.pending_count(), 1u);

  TypeParam moved(std::move(cell));
  EXPECT_EQ(cell.pending_count(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_TRUE(cell.bitmap().is_empty());
  moved.flush();
  EXPECT_EQ(ids_of(moved.bitmap()), (std::vector<uint32_t>{1, 2}));

  TypeParam assigned;
  assigned.buffered_add(50);
  assigned = std::move(copy);
  assigned.flush();
  EXPECT_EQ(ids_of(assigned.bitmap()), (std::vector<uint32_t>{1, 2, 3}));
}

}  // namespace
}  // namespace calderwick
