// Read: the recall walk, its outputs and its checks.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "report.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

const cv::Rect kArea{390, 250, 220, 220};

class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(220, 220, 3);
    memory.SetImage(image);
    cv::integral(image, sum, CV_32S);
  }
  AssocNode& root() { return *stateOf(memory).root; }

  // The probe of a node's children at `window`, as the walk computes it.
  std::vector<int16_t> probeAt(const AssocNode& node, cv::Rect window) {
    const AssocContext& c = stateOf(memory).context;
    const int cols = levelCols(c, node.level + 1) + 1, rows = levelRows(c, node.level + 1) + 1;
    std::vector<int16_t> probe(cols * rows);
    CalcDescriptor(sum, window.x, window.y, c.geometry.levelWindows[node.level].width,
                   c.geometry.levelWindows[node.level].height, cols, rows, probe.data(), cv::Mat());
    return probe;
  }

  // A child whose values are the probe at `window` seen at offset k, plus `bias` in cell 0.
  AssocNode* childMatching(AssocNode& parent, cv::Rect window, int k, uint64_t threshold,
                           int bias = 0, uint64_t id = 0) {
    const std::vector<int16_t> probe = probeAt(parent, window);
    const AssocContext& c = stateOf(memory).context;
    const int cols = levelCols(c, parent.level + 1), rows = levelRows(c, parent.level + 1);
    std::vector<int16_t> values(cols * rows);
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i < cols; ++i)
        values[j * cols + i] = probe[(j + (k >> 1)) * (cols + 1) + i + (k & 1)];
    values[0] = static_cast<int16_t>(values[0] + bias);
    return addChild(parent,
                    AssocHeader{id ? id : 10 + parent.level, 7, threshold, 40 + parent.level}, 0,
                    &values);
  }

  // A chain matching the probes exactly at offset k on every level.
  std::vector<AssocNode*> exactChain(int k) {
    std::vector<AssocNode*> chain;
    cv::Rect window = kArea;
    AssocNode* node = &root();
    const AssocContext& c = stateOf(memory).context;
    for (int level = 0; level < 3; ++level) {
      node = childMatching(*node, window, k, 1);
      chain.push_back(node);
      const cv::Rect& w = c.geometry.levelWindows[level];
      window.x += (w.x >> 1) + ((k & 1) ? w.x : 0);
      window.y += (w.y >> 1) + ((k & 2) ? w.y : 0);
    }
    return chain;
  }

  CvAssociativeMemory memory;
  cv::Mat image = texturedImage({640, 480}, 31);
  cv::Mat sum;
};

TEST_F(ReadTest, EmptyTreeRecallsTheRoot) {
  cv::Rect found;
  int32_t* data = nullptr;
  uint64_t base = 0, hits = 9;
  double similarity = 3;
  EXPECT_TRUE(memory.Read(kArea, found, &data, &base, &hits, &similarity, false));
  EXPECT_EQ(found, kArea);
  EXPECT_EQ(data, &root().header.data);
  EXPECT_EQ(*data, 0);
  EXPECT_EQ(base, 1u);
  EXPECT_EQ(hits, 0u);
  EXPECT_EQ(similarity, 0.0);
  EXPECT_EQ(memory.GetAccessCount(), 1u);
}

TEST_F(ReadTest, ExactMatchesAtOffsetZeroMoveByHalfTheInsets) {
  const auto chain = exactChain(0);
  cv::Rect found;
  int32_t* data = nullptr;
  uint64_t base = 0, hits = 0;
  double similarity = 0;
  EXPECT_TRUE(memory.Read(kArea, found, &data, &base, &hits, &similarity, false));
  EXPECT_EQ(found, cv::Rect(398, 258, 187, 187));
  EXPECT_EQ(similarity, 1.0);
  EXPECT_EQ(base, chain[2]->header.id);
  EXPECT_EQ(hits, 8u);
  EXPECT_EQ(data, &chain[2]->header.data);
  for (AssocNode* node : chain) EXPECT_EQ(node->header.hits, 8u);
  EXPECT_EQ(root().header.hits, 0u);
}

TEST_F(ReadTest, ExactMatchesAtOffsetThreeMoveByTheFullInsetsToo) {
  exactChain(3);
  cv::Rect found;
  EXPECT_TRUE(memory.Read(kArea, found));
  EXPECT_EQ(found, cv::Rect(417, 277, 187, 187));
}

// On an image that does not change along x, a probe seen at offsets 0 and 1 is the same (and at 2
// and 3): among equal distances the lower offset code wins, so the window moves by half the
// insets along x whatever the chain was made from. Likewise along y.
TEST_F(ReadTest, AmongEqualOffsetsTheLowestCodeWins) {
  const cv::Mat texture = texturedImage({640, 480}, 31);
  struct Case {
    int reduceDim;  // 1: rows constant along x; 0: columns constant along y
    int k;
    cv::Rect found;
  } cases[] = {
      {1, 1, {398, 258, 187, 187}},
      {1, 3, {398, 277, 187, 187}},
      {0, 2, {398, 258, 187, 187}},
      {0, 3, {417, 258, 187, 187}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.k);
    cv::Mat line;
    cv::reduce(texture, line, c.reduceDim, cv::REDUCE_AVG);
    cv::normalize(line, line, 0, 255, cv::NORM_MINMAX);
    image = c.reduceDim == 1 ? cv::repeat(line, 1, 640) : cv::repeat(line, 480, 1);
    memory.Create(220, 220, 3);
    memory.SetImage(image);
    cv::integral(image, sum, CV_32S);
    exactChain(c.k);
    cv::Rect found;
    EXPECT_TRUE(memory.Read(kArea, found));
    EXPECT_EQ(found, c.found);
  }
}

TEST_F(ReadTest, RefusedFirstLevelStopsAtTheRootUnlessForced) {
  const auto chain = exactChain(0);
  chain[0]->header.threshold = 0;  // distance 0 is not below 0
  cv::Rect found;
  int32_t* data = nullptr;
  uint64_t base = 0, hits = 0;
  double similarity = 0;
  EXPECT_FALSE(memory.Read(kArea, found, &data, &base, &hits, &similarity, false));
  EXPECT_EQ(found, cv::Rect(395, 255, 220, 220));
  EXPECT_EQ(base, 1u);
  EXPECT_EQ(data, &root().header.data);
  EXPECT_EQ(similarity, 1073741823 * (1.0 / 2147483647));  // the 0 / 0 limit
  EXPECT_EQ(chain[0]->header.hits, 7u);

  EXPECT_FALSE(memory.Read(kArea, found, &data, &base, &hits, &similarity, true));
  EXPECT_EQ(base, chain[2]->header.id);
  EXPECT_EQ(data, &chain[2]->header.data);
  EXPECT_EQ(similarity, 1.0);
}

TEST_F(ReadTest, DistanceEqualToTheThresholdScoresJustBelowOneHalf) {
  AssocNode* child = childMatching(root(), kArea, 0, 100, 100);
  cv::Rect found;
  double similarity = 0;
  EXPECT_FALSE(memory.Read(kArea, found, nullptr, nullptr, nullptr, &similarity));
  EXPECT_EQ(similarity, 1073741823 * (1.0 / 2147483647));
  EXPECT_LT(similarity, 0.5);
  child->header.threshold = 101;
  EXPECT_TRUE(memory.Read(kArea, found, nullptr, nullptr, nullptr, &similarity));
  EXPECT_GT(similarity, 0.5);
}

TEST_F(ReadTest, EarlierChildWinsATieAndTheBestOffsetDecides) {
  AssocNode* first = childMatching(root(), kArea, 2, 1000, 50, 2);
  childMatching(root(), kArea, 1, 1000, 50, 3);  // as close, but later in the sequence
  cv::Rect found;
  uint64_t base = 0;
  memory.Read(kArea, found, nullptr, &base, nullptr, nullptr);
  EXPECT_EQ(root().children[0].get(), first);
  EXPECT_EQ(first->header.hits, 8u);
  EXPECT_EQ(found.x, kArea.x + 5);       // offset 2 moves only down
  EXPECT_EQ(found.y, kArea.y + 5 + 11);  // by the full inset
}

TEST_F(ReadTest, LevelOfEmptySlotsEndsTheWalkUnmatched) {
  const auto chain = exactChain(0);
  chain[1]->children[0].reset();  // level 2 keeps only an empty slot
  cv::Rect found;
  uint64_t base = 0;
  double similarity = 0;
  EXPECT_FALSE(memory.Read(kArea, found, nullptr, &base, nullptr, &similarity, true));
  EXPECT_EQ(base, chain[1]->header.id);
  EXPECT_EQ(similarity, 1.0);  // the last level that compared anything
  EXPECT_EQ(chain[1]->freeSlot, 0);
}

TEST_F(ReadTest, RecallsALearnedObjectOnTheSameAndAShiftedImageOnly) {
  const int32_t seven = 7;
  for (int i = 0; i < 3; ++i) memory.Write(kArea, &seven);
  auto recall = [&](const cv::Mat& frame, cv::Rect area) {
    memory.SetImage(frame);
    cv::Rect found;
    int32_t* data = nullptr;
    double similarity = 0;
    const bool matched = memory.Read(area, found, &data, nullptr, nullptr, &similarity);
    return std::make_tuple(matched, *data, similarity);
  };
  auto [same, sameIndex, sameSimilarity] = recall(image, kArea);
  EXPECT_TRUE(same);
  EXPECT_EQ(sameIndex, 7);
  EXPECT_GT(sameSimilarity, 0.5);

  cv::Mat shifted;
  const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, 4, 0, 1, 3);
  cv::warpAffine(image, shifted, move, image.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
  auto [moved, movedIndex, movedSimilarity] = recall(shifted, kArea + cv::Point(4, 3));
  EXPECT_TRUE(moved);
  EXPECT_EQ(movedIndex, 7);
  EXPECT_GT(movedSimilarity, 0.5);

  auto [other, otherIndex, otherSimilarity] = recall(texturedImage({640, 480}, 77), kArea);
  EXPECT_FALSE(other);
  EXPECT_LT(otherSimilarity, 0.5);
}

TEST_F(ReadTest, RefusalsComeInOrderAndChangeNothing) {
  exactChain(0);
  cv::Rect ignored;
  memory.Read(kArea, ignored);
  const auto before = visitAll(memory);
  const Report outside{-10, "CvAssociativeMemory::Read", "Incorrect size of interest area"};
  for (cv::Rect area :
       {cv::Rect(-1, 0, 220, 220), cv::Rect(0, -1, 220, 220), cv::Rect(421, 0, 220, 220),
        cv::Rect(0, 261, 220, 220), cv::Rect(5, 5, 0, 0)}) {
    cv::Rect found(1, 2, 3, 4);
    uint64_t base = 99;
    EXPECT_EQ(reportOf([&] { memory.Read(area, found, nullptr, &base); }), outside) << area;
    EXPECT_EQ(found, cv::Rect(1, 2, 3, 4));
    EXPECT_EQ(base, 99u);
  }
  EXPECT_EQ(memory.GetAccessCount(), 1u);
  EXPECT_EQ(visitAll(memory), before);

  CvAssociativeMemory blank;
  stateOf(blank).imageWidth = 640;
  stateOf(blank).imageHeight = 480;
  cv::Rect found;
  EXPECT_EQ(reportOf([&] { blank.Read(kArea, found); }),
            (Report{-27, "CvAssociativeMemory::Read", "Associative memory is not created"}));
  blank.Create(220, 220, 3);
  EXPECT_EQ(reportOf([&] { blank.Read(kArea, found); }),
            (Report{-27, "CvAssociativeMemory::Read", "Source image is not set"}));
  EXPECT_EQ(blank.GetAccessCount(), 0u);
}

}  // namespace
