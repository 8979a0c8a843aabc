// Position search, grouping of matches and ObjectRecognition.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <opencv2/core/utility.hpp>

#include "event_recorder.hpp"
#include "report.hpp"
#include "search.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"
#include "tuning.hpp"

using namespace vizmoro::detail;

namespace {

using vizmoro_test::Event;
using vizmoro_test::EventRecorder;

struct Visit {
  cv::Rect window;
  int stepX, stepY, radius2;
};

std::vector<Visit> searchWindows(CvAssociativeMemoryState& s) {
  std::vector<Visit> visits;
  struct Context {
    CvAssociativeMemoryState* state;
    std::vector<Visit>* visits;
  } context{&s, &visits};
  PositionSearch(
      s,
      [](cv::Rect window, void* p) {
        auto& c = *static_cast<Context*>(p);
        const AssocContext& a = c.state->context;
        c.visits->push_back(
            {window, a.geometry.searchStepX, a.geometry.searchStepY, a.geometry.searchRadius2});
      },
      &context);
  return visits;
}

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override { memory.Create(220, 220, 3); }
  CvAssociativeMemoryState& s() { return stateOf(memory); }
  CvAssociativeMemory memory;
};

TEST_F(SearchTest, WindowSizesStepsAndPositionsOfAVgaImage) {
  struct Size {
    int width, height, positions, stepX, stepY;
  };
  const struct Case {
    cv::Size area;
    std::vector<Size> sizes;  // the first ones
    size_t count;             // of sizes
    int radius2[2];           // of the first two sizes
    size_t row;               // windows in a row of the first size
  } cases[] = {
      {{220, 220},
       {{165, 165, 672, 15, 15},
        {220, 220, 260, 21, 21},
        {275, 275, 120, 26, 26},
        {330, 330, 50, 32, 32},
        {385, 385, 21, 37, 37},
        {440, 440, 5, 43, 43}},
       6,
       {1800, 3528},
       32},
      {{120, 80}, {{90, 60, 1287, 17, 11}, {120, 80, 621, 23, 15}}, 19, {1640, 3016}, 33},
      {{40, 100}, {{30, 75, 1792, 11, 13}, {40, 100, 800, 15, 19}}, 17, {1160, 2344}, 56},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.area);
    memory.Create(c.area.width, c.area.height, 3);
    memory.SetImage(texturedImage({640, 480}, 41));
    const std::vector<Visit> visits = searchWindows(s());
    std::map<int, int> positions;
    std::map<int, Visit> firstOfSize;
    for (const Visit& v : visits) {
      ++positions[v.window.width];
      firstOfSize.emplace(v.window.width, v);
      // The area's proportions at every size.
      EXPECT_EQ(v.window.width * c.area.height, v.window.height * c.area.width) << v.window;
      EXPECT_LT(v.window.x + v.window.width, 640);
      EXPECT_LT(v.window.y + v.window.height, 480);
    }
    EXPECT_EQ(positions.size(), c.count);
    for (const Size& size : c.sizes) {
      const Visit& first = firstOfSize[size.width];
      EXPECT_EQ(first.window.height, size.height);
      EXPECT_EQ(positions[size.width], size.positions) << size.width;
      EXPECT_EQ(first.stepX, size.stepX) << size.width;
      EXPECT_EQ(first.stepY, size.stepY) << size.width;
    }
    const Size& first = c.sizes[0];
    EXPECT_EQ(firstOfSize[first.width].radius2, c.radius2[0]);
    EXPECT_EQ(firstOfSize[c.sizes[1].width].radius2, c.radius2[1]);
    // Rows outer, columns inner, sizes growing.
    EXPECT_EQ(visits[0].window, cv::Rect(0, 0, first.width, first.height));
    EXPECT_EQ(visits[1].window, cv::Rect(first.stepX, 0, first.width, first.height));
    EXPECT_EQ(visits[c.row].window, cv::Rect(0, first.stepY, first.width, first.height));
  }
}

TEST_F(SearchTest, RecognitionReadsEveryWindowOnceAndReportsIt) {
  memory.SetImage(texturedImage({640, 480}, 42));
  EventRecorder recorder;
  memory.ObjectRecognition(EventRecorder::callback, &recorder);
  ASSERT_GE(recorder.events.size(), 2u);
  EXPECT_EQ(recorder.events.front().code, RCG_AM_BEGIN);
  EXPECT_EQ(recorder.events.back().code, RCG_AM_END);
  EXPECT_EQ(recorder.count(RCG_AM_NO_MATCH) + recorder.count(RCG_AM_MATCH), 1128u);
  EXPECT_EQ(memory.GetAccessCount(), 1128u);
}

TEST_F(SearchTest, ImagesTooSmallForAnyWindowGiveOnlyBeginAndEnd) {
  for (cv::Size size : {cv::Size(164, 480), cv::Size(640, 164), cv::Size(165, 165)}) {
    memory.SetImage(texturedImage(size, 43));
    EventRecorder recorder;
    memory.ObjectRecognition(EventRecorder::callback, &recorder);
    EXPECT_EQ(recorder.codes(true), (std::vector<int>{RCG_AM_BEGIN, RCG_AM_END})) << size;
    EXPECT_EQ(memory.GetAccessCount(), 0u);
  }
  // Before the first image the size is 0 x 0.
  CvAssociativeMemory fresh;
  fresh.Create(220, 220, 3);
  EventRecorder recorder;
  fresh.ObjectRecognition(EventRecorder::callback, &recorder);
  EXPECT_EQ(recorder.codes(true), (std::vector<int>{RCG_AM_BEGIN, RCG_AM_END}));
}

TEST_F(SearchTest, WindowAsWideAsTheImageIsVisitedNowhere) {
  memory.SetImage(texturedImage({220, 300}, 44));
  std::map<int, int> positions;
  for (const Visit& v : searchWindows(s())) ++positions[v.window.width];
  EXPECT_EQ(positions, (std::map<int, int>{{165, 4 * 9}}));
}

TEST_F(SearchTest, SearchOfAMemoryThatIsNotCreatedIsRefusedByTheRead) {
  CvAssociativeMemory blank;
  blank.SetImage(texturedImage({640, 480}, 45));
  EventRecorder recorder;
  EXPECT_EQ(reportOf([&] { blank.ObjectRecognition(EventRecorder::callback, &recorder); }),
            (Report{-27, "CvAssociativeMemory::Read", "Associative memory is not created"}));
}

TEST_F(SearchTest, MatchesGroupStrictlyWithinTheRadiusAndByIndex) {
  // A memory without bases recalls the root everywhere: each window is a match of the root's
  // data, found exactly where it was looked for.
  memory.SetImage(texturedImage({200, 200}, 46));
  s().context.geometry.searchRadius2 = 100;
  EventRecorder recorder;
  Callback callback(EventRecorder::callback, &recorder);
  SearchContext search{&s(), &callback};
  auto collect = [&](cv::Rect window, int32_t index) {
    s().root->header.data = index;
    CollectFound(window, &search);
  };
  collect({0, 0, 40, 40}, 1);    // centre (20, 20)
  collect({6, 8, 40, 40}, 1);    // (26, 28): squared distance 100, a group of its own
  collect({6, 7, 40, 40}, 1);    // (26, 27): 85 from the first group
  collect({1, 1, 40, 40}, 2);    // another index
  collect({11, 11, 40, 40}, 1);  // (31, 31): 128 from the first group's mean (23, 23), 34
                                 // from the second's
  ASSERT_EQ(s().foundObjects.size(), 3u);
  const FoundObject& first = s().foundObjects[0];
  EXPECT_EQ(first.count, 2);
  EXPECT_EQ(first.sumCenterX, 46);
  EXPECT_EQ(first.sumCenterY, 47);
  EXPECT_EQ(first.sumWidth, 80);
  EXPECT_EQ(first.objectIndex, 1u);
  EXPECT_EQ(s().foundObjects[1].count, 2);
  EXPECT_EQ(s().foundObjects[1].sumCenterX, 57);
  EXPECT_EQ(s().foundObjects[2].objectIndex, 2u);
  EXPECT_EQ(s().foundObjects[2].count, 1);
  for (const Event& e : recorder.events) {
    EXPECT_EQ(e.code, RCG_AM_MATCH);
    EXPECT_EQ(e.result.bases, 1u);
    EXPECT_EQ(e.result.userSlot, nullptr);
  }
}

TEST_F(SearchTest, FoundObjectsAreReportedWithTheirMeansInOrderOfTheirFirstMember) {
  // A learned patch on a flat background is recalled around where it was learned.
  cv::Mat image(480, 640, CV_8UC1, cv::Scalar(100));
  texturedImage({240, 240}, 47).copyTo(image(cv::Rect(380, 220, 240, 240)));
  memory.SetImage(image);
  const int32_t index = 5;
  for (int i = 0; i < 3; ++i) memory.Write(cv::Rect(390, 230, 220, 220), &index);
  EventRecorder recorder;
  memory.ObjectRecognition(EventRecorder::callback, &recorder);
  const std::vector<Event> objects = recorder.ofCode(RCG_AM_OBJECT);
  ASSERT_EQ(objects.size(), s().foundObjects.size());
  ASSERT_FALSE(objects.empty());
  for (size_t i = 0; i < objects.size(); ++i) {
    const FoundObject& g = s().foundObjects[i];
    const cv::Rect& rect = objects[i].result.rect;
    EXPECT_EQ(objects[i].index, g.objectIndex);
    EXPECT_EQ(rect,
              cv::Rect(g.meanCenterX() - (g.meanWidth() >> 1),
                       g.meanCenterY() - (g.meanHeight() >> 1), g.meanWidth(), g.meanHeight()));
    EXPECT_DOUBLE_EQ(objects[i].result.similarity, g.sumSimilarity / g.count);
    EXPECT_EQ(objects[i].result.bases, static_cast<uint32_t>(memory.GetNodeCount()));
  }
  EXPECT_EQ(objects[0].index, 5u);
  EXPECT_GT(objects[0].result.similarity, 0.5);
  EXPECT_LT(std::abs(objects[0].result.rect.x + objects[0].result.rect.width / 2 - 500), 55);
  EXPECT_LT(std::abs(objects[0].result.rect.y + objects[0].result.rect.height / 2 - 340), 55);
  EXPECT_EQ(recorder.events.back().code, RCG_AM_END);
}

TEST_F(SearchTest, WindowsReadTogetherMeetThePruningWhereOneByOneReadsWould) {
  // The pruning at the 100,000,000th access deletes the learned bases on the search's tenth
  // window: every later window reads the pruned tree, whatever the threads.
  cv::Mat image(480, 640, CV_8UC1, cv::Scalar(100));
  texturedImage({240, 240}, 47).copyTo(image(cv::Rect(380, 220, 240, 240)));
  const int32_t index = 5;
  auto taught = [&](CvAssociativeMemory& m) {
    m.Create(220, 220, 3);
    m.SetImage(image);
    m.Write(cv::Rect(390, 230, 220, 220), &index);
    stateOf(m).context.accessCount = Tuning::kPruneEvery - 10;
  };
  auto same = [](const Event& a, const Event& b) {
    return a.code == b.code && a.index == b.index && a.result.rect == b.result.rect &&
           a.result.similarity == b.result.similarity && a.result.bases == b.result.bases;
  };
  CvAssociativeMemory reference;
  taught(reference);
  EventRecorder oneByOne;
  Callback callback(EventRecorder::callback, &oneByOne);
  SearchContext search{&stateOf(reference), &callback};
  PositionSearch(stateOf(reference), CollectFound, &search);
  ASSERT_EQ(reference.GetNodeCount(), 1);
  ASSERT_TRUE(std::any_of(oneByOne.events.begin(), oneByOne.events.begin() + 9,
                          [](const Event& e) { return e.result.bases == 4; }));

  const int threads = cv::getNumThreads();
  for (int n : {1, 2}) {
    SCOPED_TRACE(n);
    cv::setNumThreads(n);
    taught(memory);
    EventRecorder recorder;
    memory.ObjectRecognition(EventRecorder::callback, &recorder);
    ASSERT_GE(recorder.events.size(), oneByOne.events.size() + 2);
    EXPECT_TRUE(std::equal(oneByOne.events.begin(), oneByOne.events.end(),
                           recorder.events.begin() + 1, same));
    EXPECT_EQ(memory.GetNodeCount(), 1);
  }
  cv::setNumThreads(threads);
}

TEST_F(SearchTest, NullCallbackIsRefusedBeforeAnything) {
  memory.SetImage(texturedImage({640, 480}, 48));
  s().foundObjects.push_back(FoundObject{1, 2, 3, 4, 0.5, 1, 9});
  EXPECT_EQ(
      reportOf([&] { memory.ObjectRecognition(nullptr, nullptr); }),
      (Report{-27, "CvAssociativeMemory::ObjectRecognition", "The pointer of RcgAMFunc is NULL"}));
  EXPECT_EQ(s().foundObjects.size(), 1u);
  EXPECT_EQ(memory.GetAccessCount(), 0u);
}

}  // namespace
