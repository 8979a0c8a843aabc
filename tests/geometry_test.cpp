// Geometry that Create derives from the interest-area size, and its re-scaling.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "report.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

// The node lattices, columns x rows, of levels 0 to `levels`.
std::vector<cv::Size> lattices(const AssocContext& c, int levels) {
  std::vector<cv::Size> result;
  for (int level = 0; level <= levels; ++level)
    result.emplace_back(levelCols(c, level), levelRows(c, level));
  return result;
}

TEST(BitPow, CountsSignificantBits) {
  EXPECT_EQ(bitPow(0), 1);
  EXPECT_EQ(bitPow(1), 2);
  EXPECT_EQ(bitPow(11), 16);
  EXPECT_EQ(bitPow(80), 128);
  EXPECT_EQ(bitPow(128), 256);
}

TEST(Create, DefaultApplicationArea) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  const CvAssociativeMemoryState& s = stateOf(memory);
  const AssocContext& c = s.context;
  EXPECT_EQ(c.lattice.width, 220);
  EXPECT_EQ(c.lattice.height, 220);
  EXPECT_EQ(c.lattice.gridWidth, 160);
  EXPECT_EQ(c.lattice.gridHeight, 160);
  EXPECT_EQ(c.lattice.spanWidth, 128);
  EXPECT_EQ(c.lattice.spanHeight, 128);
  EXPECT_EQ(c.lattice.maxLevels, 5);
  EXPECT_EQ(c.lattice.levels, 3);
  EXPECT_EQ(lattices(c, 4), (std::vector<cv::Size>{{1, 1}, {3, 3}, {7, 7}, {15, 15}, {31, 31}}));
  EXPECT_EQ(c.cellBuffer.size(), 16u * 16u);
  EXPECT_EQ(c.lattice.levelSpans,
            (std::vector<cv::Point>{{160, 160}, {144, 144}, {136, 136}, {132, 132}}));
  EXPECT_EQ(s.stepX, 32);
  EXPECT_EQ(s.stepY, 32);
  EXPECT_EQ(s.stepX2, 1024.0f);
  EXPECT_EQ(s.trackGate2, 36864);
  EXPECT_EQ(s.mergeDistance2, 6050);
  EXPECT_EQ(s.lowerBound, cv::Vec2f(-32, -32));
  EXPECT_EQ(s.upperBound, cv::Vec2f(32, 32));
  EXPECT_EQ(c.geometry.scaleX, 1.375f);
  EXPECT_EQ(c.geometry.scaleY, 1.375f);
  EXPECT_EQ(c.geometry.levelWindows,
            (std::vector<cv::Rect>{
                {11, 11, 220, 220}, {5, 5, 198, 198}, {3, 3, 187, 187}, {0, 0, 181, 181}}));
  EXPECT_EQ(cv::Rect(c.geometry.patternX, c.geometry.patternY, c.geometry.patternWidth,
                     c.geometry.patternHeight),
            cv::Rect(22, 22, 176, 176));
  EXPECT_EQ(c.geometry.scanRect, cv::Rect(21, 21, 178, 178));
  EXPECT_EQ(c.memorySize, 2);
  ASSERT_TRUE(s.root);
  EXPECT_EQ(s.root->header.id, 1u);
  EXPECT_EQ(s.root->level, 0);
  EXPECT_EQ(memory.GetNodeCount(), 1);
  EXPECT_EQ(memory.GetMaxDepth(), 0);
  EXPECT_EQ(memory.GetLastNodeId(), 1u);
  EXPECT_EQ(memory.GetAccessCount(), 0u);
  EXPECT_EQ(memory.GetSize(), cv::Size(220, 220));
}

TEST(Create, WideAreaWithDefaultLevels) {
  CvAssociativeMemory memory;
  memory.Create(320, 240, 0);
  const CvAssociativeMemoryState& s = stateOf(memory);
  const AssocContext& c = s.context;
  EXPECT_EQ(c.lattice.gridWidth, 320);
  EXPECT_EQ(c.lattice.gridHeight, 160);
  EXPECT_EQ(c.lattice.spanWidth, 256);
  EXPECT_EQ(c.lattice.spanHeight, 128);
  EXPECT_EQ(c.lattice.maxLevels, 5);
  EXPECT_EQ(c.lattice.levels, 4);
  EXPECT_EQ(lattices(c, 4), (std::vector<cv::Size>{{4, 1}, {8, 3}, {17, 7}, {35, 15}, {71, 31}}));
  EXPECT_EQ(c.cellBuffer.size(), 72u * 32u);
  EXPECT_EQ(c.lattice.levelSpans,
            (std::vector<cv::Point>{{320, 160}, {288, 144}, {272, 136}, {264, 132}, {260, 130}}));
  EXPECT_EQ(s.stepX, 32);
  EXPECT_EQ(s.stepY, 32);
  EXPECT_EQ(s.trackGate2, 80384);
  EXPECT_EQ(s.mergeDistance2, 10000);
  EXPECT_EQ(c.geometry.scaleX, 1.0f);
  EXPECT_EQ(c.geometry.scaleY, 1.5f);
  EXPECT_EQ(c.geometry.levelWindows, (std::vector<cv::Rect>{{16, 12, 320, 240},
                                                            {8, 6, 288, 216},
                                                            {4, 3, 272, 204},
                                                            {2, 1, 264, 198},
                                                            {0, 0, 260, 195}}));
  EXPECT_EQ(cv::Rect(c.geometry.patternX, c.geometry.patternY, c.geometry.patternWidth,
                     c.geometry.patternHeight),
            cv::Rect(32, 24, 256, 192));
  EXPECT_EQ(c.geometry.scanRect, cv::Rect(30, 23, 260, 194));
}

TEST(Create, SmallSidesAreRaisedTo40) {
  CvAssociativeMemory a, b;
  a.Create(10, 1000, 0);
  b.Create(40, 1000, 0);
  const AssocContext& c = stateOf(a).context;
  EXPECT_EQ(c.lattice.width, 40);
  EXPECT_EQ(c.lattice.gridWidth, 40);
  EXPECT_EQ(c.lattice.gridHeight, 640);
  EXPECT_EQ(c.lattice.maxLevels, 3);
  EXPECT_EQ(c.lattice.levels, 3);  // g is 40: the default is maxLevels itself
  EXPECT_EQ(stateOf(b).context.geometry.levelWindows, c.geometry.levelWindows);
  EXPECT_EQ(stateOf(b).context.lattice.levelSpans, c.lattice.levelSpans);
}

TEST(Create, LevelsAreCappedAtTheMaximum) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 9);
  EXPECT_EQ(stateOf(memory).context.lattice.levels, 5);
  EXPECT_EQ(stateOf(memory).context.geometry.levelWindows.size(), 6u);
}

TEST(Create, GridSizeByWidthBand) {
  struct Band {
    int from, to, grid, maxLevels;
  };
  for (const Band& band : {Band{40, 79, 40, 3}, Band{80, 159, 80, 4}, Band{160, 319, 160, 5},
                           Band{320, 639, 320, 6}}) {
    for (int width : {band.from, band.to}) {
      CvAssociativeMemory memory;
      memory.Create(width, width, 0);
      EXPECT_EQ(stateOf(memory).context.lattice.gridWidth, band.grid) << width;
      EXPECT_EQ(stateOf(memory).context.lattice.maxLevels, band.maxLevels) << width;
    }
  }
}

TEST(SetAreaSize, SameSizeChangesNothingAndHalfSizeRescales) {
  const struct Case {
    cv::Size area;
    float scaleX, scaleY;  // at half size
    std::vector<cv::Size> windows;
  } cases[] = {
      {{220, 220}, 0.6875f, 0.6875f, {{110, 110}, {99, 99}, {93, 93}, {90, 90}}},
      {{40, 100}, 0.5f, 0.625f, {{20, 50}, {18, 45}, {17, 42}, {17, 42}}},  // a grid of 40 x 80
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.area);
    CvAssociativeMemory memory;
    memory.Create(c.area.width, c.area.height, 3);
    CvAssociativeMemoryState& s = stateOf(memory);
    const AssocContext before = s.context;
    s.setAreaSize(c.area.width, c.area.height);
    EXPECT_EQ(s.context.geometry.levelWindows, before.geometry.levelWindows);
    EXPECT_EQ(s.context.geometry.scanRect, before.geometry.scanRect);
    EXPECT_EQ(s.context.geometry.scaleX, before.geometry.scaleX);

    s.setAreaSize(c.area.width / 2, c.area.height / 2);
    EXPECT_EQ(s.context.geometry.scaleX, c.scaleX);
    EXPECT_EQ(s.context.geometry.scaleY, c.scaleY);
    std::vector<cv::Size> windows;
    for (const cv::Rect& w : s.context.geometry.levelWindows) windows.push_back(w.size());
    EXPECT_EQ(windows, c.windows);
  }
}

TEST(Create, RecreatingResetsCountersAndForgetsTheImage) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  cv::Mat image(480, 640, CV_8UC1, cv::Scalar(7));
  memory.SetImage(image);
  memory.Create(220, 220, 3);
  const CvAssociativeMemoryState& s = stateOf(memory);
  EXPECT_TRUE(s.image.empty());
  EXPECT_TRUE(s.integral.empty());
  EXPECT_EQ(memory.GetNodeCount(), 1);
  EXPECT_EQ(memory.GetLastNodeId(), 1u);
}

}  // namespace

namespace {

TEST(Create, RefusesSidesAboveTheLimitAndKeepsTheMemory) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  for (cv::Size size : {cv::Size(4097, 220), cv::Size(220, 4097)}) {
    EXPECT_EQ(reportOf([&] { memory.Create(size.width, size.height, 3); }),
              (Report{cv::Error::StsOutOfRange, "CvAssociativeMemory::Create",
                      "Interest area is too large"}))
        << size;
    EXPECT_EQ(memory.GetSize(), cv::Size(220, 220));
    EXPECT_EQ(memory.GetNodeCount(), 1);
  }
  memory.Create(4096, 4096, 0);
  EXPECT_EQ(memory.GetSize(), cv::Size(4096, 4096));
}

TEST(Create, NegativeLevelsSelectTheDefault) {
  CvAssociativeMemory a, b;
  a.Create(220, 220, -2);
  b.Create(220, 220, 0);
  EXPECT_EQ(stateOf(a).context.lattice.levels, 4);
  EXPECT_EQ(stateOf(b).context.lattice.levels, 4);
}

}  // namespace

namespace {

TEST(FittedBox, ScalesTheTaughtBoxBySizeAtWhichItWasFound) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);  // a full walk ends in a window of 187 pixels
  // Found where it was taught (a read of (390, 250, 220, 220) ends at (398, 258, 187, 187)).
  EXPECT_EQ(memory.FittedBox({398, 258, 187, 187}, {220, 220}), cv::Rect(381, 241, 220, 220));
  EXPECT_EQ(memory.FittedBox({0, 0, 187, 187}, {100, 50}), cv::Rect(43, 68, 100, 50));
  EXPECT_EQ(memory.FittedBox({10, 20, 374, 187}, {220, 220}), cv::Rect(-23, 3, 440, 220));
  memory.Create(160, 120, 1);  // one level: the walk ends in the area itself
  EXPECT_EQ(memory.FittedBox({0, 0, 160, 120}, {80, 60}), cv::Rect(40, 30, 80, 60));
  // A box reaching beyond int is refused, never wrapped round.
  const int most = std::numeric_limits<int>::max();
  const Report beyond{cv::Error::StsOutOfRange, "CvAssociativeMemory::FittedBox",
                      "The fitted box lies beyond the coordinates of an image"};
  EXPECT_EQ(reportOf([&] { memory.FittedBox({most - 100, 0, 160, 120}, {80, 60}); }), beyond);
  EXPECT_EQ(reportOf([&] { memory.FittedBox({0, 0, most, 120}, {320, 60}); }), beyond);
  EXPECT_EQ(memory.FittedBox({most - 160, 0, 160, 120}, {80, 60}),
            cv::Rect(most - 120, 30, 80, 60));
}

}  // namespace
