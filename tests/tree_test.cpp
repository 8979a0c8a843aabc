// The tree of bases: counters, pruning, empty slots and the visitor.
#include <gtest/gtest.h>

#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { memory.Create(220, 220, 3); }
  AssocNode& root() { return *stateOf(memory).root; }
  CvAssociativeMemory memory;
};

TEST_F(TreeTest, FreshMemoryVisitsNothing) {
  int calls = 0;
  EXPECT_TRUE(memory.VisitNodes(
      [](int, int, const int16_t*, int32_t*, uint64_t, uint64_t, int, int16_t, void* user) {
        ++*static_cast<int*>(user);
        return true;
      },
      &calls));
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(memory.VisitNodes(nullptr, nullptr));
}

TEST_F(TreeTest, RestoredChildrenSizeByLevelAndCountMemory) {
  AssocNode* a = addChild(root(), 2, 5);
  AssocNode* b = addChild(*a, 3, 5);
  AssocNode* c = addChild(*b, 4, 5);
  EXPECT_EQ(a->cols * a->rows, 9);
  EXPECT_EQ(b->cols * b->rows, 49);
  EXPECT_EQ(c->cols * c->rows, 225);
  EXPECT_EQ(memory.GetNodeCount(), 4);
  EXPECT_EQ(memory.GetMaxDepth(), 3);
  EXPECT_EQ(stateOf(memory).context.memorySize, 2 + 18 + 98 + 450);
  EXPECT_EQ(memory.GetLastNodeId(), 1u) << "restored ids leave the counter alone";
}

TEST_F(TreeTest, PruneRemovesWeakBasesWithTheirSubtrees) {
  AssocNode* a = addChild(root(), 2, 3);
  addChild(*a, 3, 10);
  const int memorySize = stateOf(memory).context.memorySize;
  memory.Prune();
  EXPECT_EQ(memory.GetNodeCount(), 1);
  ASSERT_EQ(root().children.size(), 1u);
  EXPECT_EQ(root().children[0], nullptr);
  EXPECT_EQ(stateOf(memory).context.memorySize, memorySize);
}

TEST_F(TreeTest, PruneRemovesChainsThatNoLongerReachTheDeepestLevel) {
  AssocNode* a = addChild(root(), 2, 5);
  AssocNode* b = addChild(*a, 3, 5);
  addChild(*b, 4, 2);
  AssocNode* x = addChild(root(), 5, 4);
  AssocNode* y = addChild(*x, 6, 4);
  addChild(*y, 7, 4);
  memory.Prune();
  EXPECT_EQ(memory.GetNodeCount(), 4);
  ASSERT_EQ(root().children.size(), 2u);
  EXPECT_EQ(root().children[0], nullptr);
  ASSERT_NE(root().children[1], nullptr);
  EXPECT_EQ(root().children[1]->header.id, 5u);
  const auto nodes = visitAll(memory);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[2].level, 3);
}

TEST_F(TreeTest, EmptySlotNoticedByAScanIsFilledByTheNextInsertion) {
  addChild(root(), 2, 1);
  addChild(root(), AssocHeader{3, 9, 0, 1});  // threshold 0: accepts no probe
  addChild(*addChild(*root().children[1], 4, 9), 5, 9);
  memory.Prune();
  ASSERT_EQ(root().children.size(), 2u);
  ASSERT_EQ(root().children[0], nullptr);

  // A learning walk scans the root's slots and inserts a new child.
  const cv::Mat image(480, 640, CV_8UC1, cv::Scalar(30));
  memory.SetImage(image);
  const int32_t seven = 7;
  memory.Write(cv::Rect(100, 100, 220, 220), &seven);
  ASSERT_EQ(root().children.size(), 2u);
  ASSERT_NE(root().children[0], nullptr);
  EXPECT_EQ(root().children[0]->header.data, 7);
  EXPECT_EQ(root().freeSlot, -1);
}

TEST_F(TreeTest, VisitIsPreOrderAndStopsWhenTheCallbackSaysSo) {
  AssocNode* a = addChild(root(), 2, 5);
  addChild(*a, 3, 5);
  addChild(root(), 4, 5);
  const auto nodes = visitAll(memory);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0].id, 2u);
  EXPECT_EQ(nodes[0].slots, 1);
  EXPECT_EQ(nodes[1].id, 3u);
  EXPECT_EQ(nodes[2].id, 4u);

  int calls = 0;
  EXPECT_FALSE(memory.VisitNodes(
      [](int, int, const int16_t*, int32_t*, uint64_t, uint64_t, int, int16_t, void* user) {
        ++*static_cast<int*>(user);
        return false;
      },
      &calls));
  EXPECT_EQ(calls, 1);
}

TEST_F(TreeTest, RecreatingDiscardsTheTree) {
  AssocNode* a = addChild(root(), 2, 5);
  addChild(*a, 3, 5);
  memory.Create(220, 220, 3);
  EXPECT_EQ(memory.GetNodeCount(), 1);
  EXPECT_EQ(memory.GetMaxDepth(), 0);
  EXPECT_TRUE(visitAll(memory).empty());
}

}  // namespace
