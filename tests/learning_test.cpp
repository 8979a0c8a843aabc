// Write: the learning walk, new bases and their thresholds, and its checks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "report.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

class WriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(220, 220, 3);
    memory.SetImage(image);
  }
  AssocNode& root() { return *stateOf(memory).root; }
  std::vector<AssocNode*> firstChain() {
    std::vector<AssocNode*> chain;
    for (AssocNode* n = &root(); !n->children.empty(); n = n->children[0].get())
      chain.push_back(n->children[0].get());
    return chain;
  }

  CvAssociativeMemory memory;
  cv::Mat image = texturedImage({640, 480}, 21);
  const cv::Rect area{390, 250, 220, 220};
  const int32_t one = 1;
};

TEST(EstimateThreshold, ShrinksWithTheShareOfEmptyCells) {
  EXPECT_EQ(estimateThreshold(1000, 0, 9), 1105u);
  EXPECT_EQ(estimateThreshold(1000, 1, 9), 379u);
  EXPECT_EQ(estimateThreshold(1000, 3, 9), 121u);
  EXPECT_EQ(estimateThreshold(1000, 7, 9), 34u);
  EXPECT_EQ(estimateThreshold(1000, 8, 9), 1u);
  EXPECT_EQ(estimateThreshold(1000, 9, 9), 1u);
  // A share of exactly 0.85 is mostly empty; just below it is not.
  EXPECT_EQ(estimateThreshold(1000, 17, 20), 1u);
  EXPECT_GT(estimateThreshold(1000000, 16, 20), 1u);
  EXPECT_EQ(estimateThreshold(0, 0, 9), 0u);
}

TEST_F(WriteTest, FirstWriteMakesAChainOverTheScanWindow) {
  memory.Write(area, &one);
  EXPECT_EQ(memory.GetNodeCount(), 4);
  EXPECT_EQ(memory.GetLastNodeId(), 4u);
  EXPECT_EQ(memory.GetMaxDepth(), 3);
  EXPECT_EQ(memory.GetAccessCount(), 1u);
  EXPECT_EQ(root().header.id, 1u);
  EXPECT_EQ(root().header.hits, 0u);
  EXPECT_EQ(root().header.data, 1);

  cv::Mat sum;
  cv::integral(image, sum, CV_32S);
  const cv::Rect childArea(411, 271, 178, 178);
  const std::vector<AssocNode*> chain = firstChain();
  ASSERT_EQ(chain.size(), 3u);
  const int expectedPositions[] = {180, 100, 52};
  for (int i = 0; i < 3; ++i) {
    const AssocNode& node = *chain[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(node.level, i + 1);
    EXPECT_EQ(node.header.id, static_cast<uint64_t>(i + 2));
    EXPECT_EQ(node.header.hits, 1u);
    EXPECT_EQ(node.header.data, 1);
    const int n = node.cols * node.rows;
    std::vector<int16_t> own(n), shifted(n);
    CalcDescriptor(sum, childArea.x, childArea.y, childArea.width, childArea.height, node.cols,
                   node.rows, own.data(), cv::Mat());
    EXPECT_EQ(std::vector<int16_t>(node.values.get(), node.values.get() + n), own);

    // Half a cell around the area, every edge with both corners; nothing touches the image
    // edges here.
    const int d = (220 / (node.cols + 2)) >> 1;
    uint64_t total = 0;
    int positions = 0;
    auto add = [&](int x, int y) {
      CalcDescriptor(sum, x, y, childArea.width, childArea.height, node.cols, node.rows,
                     shifted.data(), cv::Mat());
      total += DescriptorDistance(node.cols, node.rows, shifted.data(), own.data());
      ++positions;
    };
    for (int t = -d; t <= d; ++t) {
      add(childArea.x + t, childArea.y - d);
      add(childArea.x + d, childArea.y + t);
      add(childArea.x + t, childArea.y + d);
      add(childArea.x - d, childArea.y + t);
    }
    EXPECT_EQ(positions, expectedPositions[i]);
    EXPECT_EQ(node.header.threshold, estimateThreshold(total / positions, 0, n));
    EXPECT_GT(node.header.threshold, 0u);
  }
}

TEST_F(WriteTest, RepeatedWriteFollowsTheLearnedChain) {
  memory.Write(area, &one);
  const int32_t two = 2;
  memory.Write(area, &two);
  EXPECT_EQ(memory.GetNodeCount(), 4);
  for (AssocNode* node : firstChain()) {
    EXPECT_EQ(node->header.hits, 2u);
    EXPECT_EQ(node->header.data, 2);
  }
  EXPECT_EQ(root().header.data, 2);
}

TEST_F(WriteTest, FeaturelessAreaLearnsAZeroThresholdAndAlwaysGrows) {
  const cv::Mat flat(480, 640, CV_8UC1, cv::Scalar(90));
  memory.SetImage(flat);
  memory.Write(area, &one);
  for (AssocNode* node : firstChain()) EXPECT_EQ(node->header.threshold, 0u);
  memory.Write(area, &one);
  EXPECT_EQ(memory.GetNodeCount(), 7);
  EXPECT_EQ(root().children.size(), 2u);
}

TEST_F(WriteTest, MostlyMaskedAreaGetsThresholdOne) {
  // The mask covers one cell of the level-1 lattice (cells of 44 pixels from (411, 271)): one
  // value of nine is comparable, 89 % are empty.
  cv::Mat mask(480, 640, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(415, 275, 35, 35)).setTo(255);
  memory.SetImage(image, mask);
  memory.Write(area, &one);
  const std::vector<AssocNode*> chain = firstChain();
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0]->header.threshold, 1u);
  EXPECT_EQ(std::count(chain[0]->values.get(), chain[0]->values.get() + 9, AM_EMPTY_CELL), 8);
}

TEST_F(WriteTest, WhollyMaskedAreaStoresNothingAndTheObjectIsStillRecognised) {
  memory.Write(area, &one);
  const auto taught = visitAll(memory);
  // Another scene under a mask that hides everything: no base could tell it from anything.
  const cv::Mat other = texturedImage({640, 480}, 98);
  const cv::Mat hidden(480, 640, CV_8UC1, cv::Scalar(0));
  memory.SetImage(other, hidden);
  const int32_t two = 2;
  memory.Write(area, &two);
  EXPECT_EQ(memory.GetNodeCount(), 4);
  EXPECT_EQ(visitAll(memory), taught);

  memory.SetImage(image);
  cv::Rect found;
  int32_t* data = nullptr;
  EXPECT_TRUE(memory.Read(area, found, &data));
  EXPECT_EQ(*data, 1);
}

TEST_F(WriteTest, BlankBaseOfAnOlderMemoryNeverWins) {
  // Among few children the plain comparison, among 8 and more the child table.
  for (int others : {0, 6}) {
    SCOPED_TRACE(others);
    SetUp();
    memory.Write(area, &one);
    // A chain of bases with every value empty, as older memories stored over hidden areas, added
    // before the taught chain and packed and loaded as a memory file would be; and first-level
    // bases far from every window.
    AssocNode* node = &root();
    for (int level = 1; level <= 3; ++level) {
      const int cells =
          levelCols(stateOf(memory).context, level) * levelRows(stateOf(memory).context, level);
      const std::vector<int16_t> empty(static_cast<size_t>(cells), AM_EMPTY_CELL);
      node = addChild(*node, AssocHeader{uint64_t{10} + level, 2, 1, 7}, 0, &empty);
    }
    std::swap(root().children[0], root().children[1]);
    for (int i = 0; i < others; ++i) addChild(root(), AssocHeader{uint64_t{20} + i, 2, 1, 8}, 9000);
    stateOf(memory).context.lastNodeId = 30;
    std::vector<uint8_t> packed(static_cast<size_t>(memory.GetPackedSize()));
    memory.WritePackedData(packed.data());
    CvAssociativeMemory loaded;
    loaded.ReadPackedData(packed.data(), packed.size());
    EXPECT_EQ(loaded.GetNodeCount(), 7 + others) << "the file format keeps it";

    loaded.SetImage(image);
    cv::Rect found;
    int32_t* data = nullptr;
    double similarity = 0;
    EXPECT_TRUE(loaded.Read(area, found, &data, nullptr, nullptr, &similarity));
    EXPECT_EQ(*data, 1);
    EXPECT_GT(similarity, 0.5);
    // Nor does it take a learning walk.
    loaded.SetImage(texturedImage({640, 480}, 97));
    loaded.Write(area, &one);
    EXPECT_EQ(loaded.GetNodeCount(), 10 + others);
    loaded.Prune();  // bases of few hits go, blank ones included
    EXPECT_EQ(loaded.GetNodeCount(), 1);
  }
}

TEST_F(WriteTest, RefusalsComeInOrderAndChangeNothing) {
  memory.Write(area, &one);
  const auto before = visitAll(memory);
  struct Case {
    cv::Rect area;
    bool created, imageSet, data;
    Report report;
  };
  const Report outside{-10, "CvAssociativeMemory::Write", "Incorrect size interest area"};
  const Case cases[] = {
      {{-1, 0, 220, 220}, true, true, true, outside},
      {{0, -1, 220, 220}, true, true, true, outside},
      {{421, 0, 220, 220}, true, true, true, outside},
      {{0, 261, 220, 220}, true, true, true, outside},
      {{10, 10, 0, 220}, true, true, true, outside},
      {{10, 10, 220, -5}, true, true, true, outside},
      {{-1, 0, 220, 220}, false, false, false, outside},
      {{0, 0, 220, 220},
       true,
       true,
       false,
       {-27, "CvAssociativeMemory::Write", "NULL apData pointer "}},
      {{0, 0, 220, 220},
       true,
       false,
       false,
       {-27, "CvAssociativeMemory::Write", "Source image is not set"}},
      {{0, 0, 220, 220},
       false,
       false,
       false,
       {-27, "CvAssociativeMemory::Write", "Associative memory is not created"}},
  };
  for (const Case& c : cases) {
    CvAssociativeMemory fresh;
    if (c.imageSet) fresh.SetImage(image);
    CvAssociativeMemory& target = c.created ? memory : fresh;
    if (c.created && !c.imageSet) {
      // A created memory that was never handed an image of this size.
      CvAssociativeMemory other;
      other.Create(220, 220, 3);
      stateOf(other).imageWidth = 640;
      stateOf(other).imageHeight = 480;
      EXPECT_EQ(reportOf([&] { other.Write(c.area, &one); }), c.report);
      EXPECT_EQ(other.GetAccessCount(), 0u);
      continue;
    }
    if (!c.created) {
      stateOf(fresh).imageWidth = 640;
      stateOf(fresh).imageHeight = 480;
    }
    EXPECT_EQ(reportOf([&] { target.Write(c.area, c.data ? &one : nullptr); }), c.report) << c.area;
  }
  EXPECT_EQ(memory.GetAccessCount(), 1u);
  EXPECT_EQ(visitAll(memory), before);
}

TEST_F(WriteTest, WritesAtTheImageEdgesStayInside) {
  // The shifted windows of the threshold estimate are clipped at every edge and corner; the
  // sanitizer run checks that no descriptor reads outside.
  const cv::Mat small = texturedImage({260, 250}, 23);
  memory.SetImage(small);
  const int32_t index = 3;
  for (cv::Rect a : {cv::Rect(0, 0, 220, 220), cv::Rect(40, 0, 220, 220), cv::Rect(0, 30, 220, 220),
                     cv::Rect(40, 30, 220, 220), cv::Rect(20, 15, 220, 220),
                     cv::Rect(0, 0, 260, 250), cv::Rect(0, 0, 40, 40), cv::Rect(220, 210, 40, 40),
                     cv::Rect(0, 0, 1, 1), cv::Rect(257, 248, 3, 2)}) {
    memory.Write(a, &index);
    cv::Rect found;
    int32_t* data = nullptr;
    memory.Read(a, found, &data, nullptr, nullptr, nullptr, true);
    EXPECT_EQ(*data, 3) << a;
    EXPECT_TRUE((found & cv::Rect(0, 0, 260, 250)) == found) << a;
  }
}

TEST_F(WriteTest, AnotherAreaSizeRescalesTheLevelWindowsAndBack) {
  memory.Write(cv::Rect(100, 100, 330, 330), &one);
  EXPECT_EQ(stateOf(memory).context.geometry.levelWindows[0].size(), cv::Size(330, 330));
  EXPECT_EQ(stateOf(memory).context.geometry.scanRect, cv::Rect(31, 31, 268, 268));
  cv::Rect found;
  memory.Read(area, found);
  EXPECT_EQ(stateOf(memory).context.geometry.levelWindows[0].size(), cv::Size(220, 220));
  EXPECT_EQ(stateOf(memory).context.geometry.scanRect, cv::Rect(21, 21, 178, 178));
}

TEST_F(WriteTest, EveryHundredMillionthAccessPrunesWhenTheTreeChanged) {
  memory.Write(area, &one);  // three bases with a single hit each
  CvAssociativeMemoryState& s = stateOf(memory);
  s.context.accessCount = 99999998;
  cv::Rect found;
  memory.Read(area, found);  // access 99999999: nothing yet
  EXPECT_EQ(memory.GetNodeCount(), 4);
  // Access 100000000 calls for the pruning that deletes the node the read ends at: it waits for
  // the next call, so that the node handed back can still be read (the sanitizer run checks it).
  int32_t* data = nullptr;
  memory.Read(area, found, &data);
  EXPECT_EQ(*data, 1);
  EXPECT_EQ(memory.GetNodeCount(), 4);
  memory.Read(area, found);
  EXPECT_EQ(memory.GetNodeCount(), 1);
  EXPECT_EQ(s.prunedNodeCount, 1);
  EXPECT_EQ(memory.GetAccessCount(), 100000001u);

  // A tree that has not changed since the last pruning is left alone.
  s.context.accessCount = 199999998;
  memory.Write(area, &one);
  s.prunedNodeCount = memory.GetNodeCount();
  memory.Read(area, found);
  EXPECT_EQ(memory.GetAccessCount(), 200000000u);
  EXPECT_EQ(memory.GetNodeCount(), 4);
}

TEST_F(WriteTest, APruningLeftByAReadRunsFirstInTheNextCallThatUsesTheTree) {
  // Whatever that call, it finds the tree as a pruning right at the read would have left it.
  const std::string file =
      ::testing::TempDir() + "pending_pruning_" + std::to_string(::getpid()) + ".dat";
  auto bytesOf = [&](CvAssociativeMemory& m) {
    EXPECT_TRUE(m.SaveToFile(file.c_str(), true));
    std::ifstream in(file, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  };
  const RcgAMFunc ignore = [](int, uint32_t*, RcgAMResult*, void*) {};
  const std::pair<const char*, std::function<void(CvAssociativeMemory&)>> calls[] = {
      {"Write", [&](CvAssociativeMemory& m) { m.Write(area, &one); }},
      {"Read",
       [&](CvAssociativeMemory& m) {
         cv::Rect found;
         m.Read(area, found);
       }},
      {"ObjectRecognition", [&](CvAssociativeMemory& m) { m.ObjectRecognition(ignore, nullptr); }},
      {"ObjectTracking",
       [&](CvAssociativeMemory& m) { m.ObjectTracking(ignore, nullptr, true, 0.54, 0.45); }},
      {"SaveToFile", [](CvAssociativeMemory&) {}},  // the save of bytesOf itself
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    CvAssociativeMemory pending, pruned;
    for (CvAssociativeMemory* m : {&pending, &pruned}) {
      m->Create(220, 220, 3);
      m->SetImage(image);
      m->Write(area, &one);
      stateOf(*m).context.accessCount = 99999999;
      cv::Rect found;
      m->Read(area, found);
    }
    stateOf(pruned).settlePruning();
    call(pending);
    call(pruned);
    EXPECT_EQ(bytesOf(pending), bytesOf(pruned));
  }
  std::remove(file.c_str());
}

}  // namespace
