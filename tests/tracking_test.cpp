// ObjectTracking: starting, confirming, ageing, re-acquiring and relearning tracked objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "condensation.hpp"
#include "event_recorder.hpp"
#include "report.hpp"
#include "test_images.hpp"
#include "tracking.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

using vizmoro_test::Event;
using vizmoro_test::EventRecorder;

// Records, and attaches a counting block to every tracked object reported without one when
// `attachBlocks`.
struct Recorder : EventRecorder {
  bool attachBlocks = false;
  static inline int blocksAlive = 0;
  struct CountingBlock : AMUserBlock {
    CountingBlock() { ++blocksAlive; }
    ~CountingBlock() override { --blocksAlive; }
  };

  static void callback(int code, uint32_t* index, RcgAMResult* result, void* user) {
    auto& r = *static_cast<Recorder*>(user);
    EventRecorder::callback(code, index, result, static_cast<EventRecorder*>(&r));
    if (code == RCG_AM_TRACK && r.attachBlocks && !*result->userSlot)
      *result->userSlot = std::make_unique<CountingBlock>();
  }
};

// A 214 x 214 memory searches a 161 x 161 image with exactly one window, (0, 0, 160, 160): its
// grid is 160 units, so a found object's pixels are grid units (scale 1). One base that
// accepts everything makes that window a match of the base's index, found at (4, 4, 160, 160).
class SingleWindowTracking : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(214, 214, 3);
    memory.SetImage(image);
    base = addChild(*stateOf(memory).root,
                    AssocHeader{2, 5, std::numeric_limits<uint64_t>::max() / 2, 1});
  }
  void track(bool learning = true) {
    memory.ObjectTracking(Recorder::callback, &recorder, learning, 0.54f, 0.45f);
  }
  std::vector<TrackedObject>& tracks() { return stateOf(memory).trackedObjects; }

  CvAssociativeMemory memory;
  cv::Mat image = texturedImage({161, 161}, 51);
  AssocNode* base = nullptr;
  Recorder recorder;
};

TEST_F(SingleWindowTracking, NewObjectIsReportedOnceWithHalfItsSimilarity) {
  track();
  EXPECT_EQ(recorder.codes(), (std::vector<int>{RCG_AM_BEGIN, RCG_AM_TRACK, RCG_AM_END}));
  ASSERT_EQ(recorder.events.size(), 4u);
  const Event match = recorder.events[1];
  ASSERT_EQ(match.code, RCG_AM_MATCH);
  EXPECT_EQ(match.result.rect, cv::Rect(4, 4, 160, 160));
  const Event tracked = recorder.events[2];
  EXPECT_EQ(tracked.index, 1u);
  EXPECT_EQ(tracked.result.rect, cv::Rect(4, 4, 160, 160));
  EXPECT_EQ(tracked.result.similarity, match.result.similarity / 2);
  EXPECT_EQ(tracked.result.bases, 2u);
  EXPECT_EQ(tracked.result.userSlot, &tracks()[0].userData);
  EXPECT_EQ(stateOf(memory).trackFrame, 1u);

  // Confirmed in the next call: half of (previous + new).
  recorder.events.clear();
  track();
  EXPECT_EQ(recorder.ofCode(RCG_AM_TRACK)[0].result.similarity,
            (tracked.result.similarity + match.result.similarity) / 2);
  EXPECT_EQ(tracks().size(), 1u);
  EXPECT_EQ(tracks()[0].updates, 1);
}

TEST_F(SingleWindowTracking, UnconfirmedObjectIsReportedFortyMoreCallsThenDropped) {
  recorder.attachBlocks = true;
  track();                // call 0 starts the object of index 1
  base->header.data = 2;  // from now on the window shows object 2
  std::vector<int> callsReportingIndex1;
  for (int call = 1; call <= 42; ++call) {
    recorder.events.clear();
    track();
    for (const Event& e : recorder.ofCode(RCG_AM_TRACK))
      if (e.index == 1) callsReportingIndex1.push_back(call);
  }
  EXPECT_EQ(callsReportingIndex1.size(), 40u);
  EXPECT_EQ(callsReportingIndex1.back(), 40);
  ASSERT_EQ(tracks().size(), 2u);
  EXPECT_FALSE(tracks()[0].active);
  EXPECT_EQ(tracks()[0].lastFrame, 0u) << "object 2 confirmed object 1";
  EXPECT_EQ(tracks()[0].userData, nullptr);
  EXPECT_TRUE(tracks()[1].active);
  EXPECT_EQ(tracks()[1].objectIndex, 2u);
  EXPECT_EQ(tracks()[1].updates, 41);
  EXPECT_EQ(Recorder::blocksAlive, 1) << "the dropped object's block was not freed once";

  // The free slot is taken before the sequence grows, and starts afresh.
  tracks()[0].offsetX = 7;
  tracks()[0].updates = 9;
  const ConDensation* filter = tracks()[0].filter.get();
  base->header.data = 3;
  track();
  ASSERT_EQ(tracks().size(), 2u);
  const TrackedObject& reused = tracks()[0];
  EXPECT_TRUE(reused.active);
  EXPECT_EQ(reused.objectIndex, 3u);
  EXPECT_EQ(reused.updates, 0);
  EXPECT_EQ(reused.offsetX, 0);
  EXPECT_EQ(reused.filter.get(), filter);
  for (float c : reused.filter->flConfidence) EXPECT_EQ(c, 1.0f / 64);
  for (float v : reused.filter->flSamples) EXPECT_LE(std::abs(v), 32);

  memory.Create(214, 214, 3);
  EXPECT_EQ(Recorder::blocksAlive, 0);
  EXPECT_TRUE(tracks().empty());
}

TEST_F(SingleWindowTracking, UserBlocksAreFreedWhenTheMemoryIsDestroyed) {
  {
    CvAssociativeMemory other;
    other.Create(214, 214, 3);
    other.SetImage(image);
    addChild(*stateOf(other).root, AssocHeader{2, 5, std::numeric_limits<uint64_t>::max(), 1});
    recorder.attachBlocks = true;
    other.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
    EXPECT_EQ(Recorder::blocksAlive, 1);
  }
  EXPECT_EQ(Recorder::blocksAlive, 0);
}

TEST_F(SingleWindowTracking, AssociationGateIsStrict) {
  track();
  // The predicted centre lies 192 grid units off: squared distance 36864, the gate itself.
  tracks()[0].offsetX = 192;
  track();
  EXPECT_EQ(tracks().size(), 2u);

  CvAssociativeMemory other;
  other.Create(214, 214, 3);
  other.SetImage(image);
  addChild(*stateOf(other).root, AssocHeader{2, 5, std::numeric_limits<uint64_t>::max(), 1});
  other.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  stateOf(other).trackedObjects[0].offsetX = 191.9f;
  other.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  ASSERT_EQ(stateOf(other).trackedObjects.size(), 1u);
  EXPECT_EQ(stateOf(other).trackedObjects[0].updates, 1);
}

TEST_F(SingleWindowTracking, NullCallbackIsRefused) {
  EXPECT_EQ(
      reportOf([&] { memory.ObjectTracking(nullptr, nullptr, true, 0.5, 0.5); }),
      (Report{-27, "CvAssociativeMemory::ObjectTracking", "The pointer of RcgAMFunc is NULL"}));
  EXPECT_EQ(stateOf(memory).trackFrame, 0u);
  EXPECT_EQ(memory.GetAccessCount(), 0u);
}

// On a flat image every probe is zero, so one base of values 100 lies at distance 900 from
// every window: with threshold 899 the search recalls nothing, while the forced reads around a
// tracked object reach the base with a similarity just below one half. With and without
// looking before reporting.
class Reacquisition : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    memory.Create(214, 214, 3);
    options.lookBeforeReport = GetParam();
    memory.SetTrackingOptions(options);
    memory.SetImage(flat);
    base = addChild(*stateOf(memory).root, AssocHeader{2, 49, 899, 1}, 100);
    // The search alone.
    memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
    searchReads = memory.GetAccessCount();
    recorder.events.clear();
  }

  TrackedObject& inject(cv::Point centre) {
    CvAssociativeMemoryState& s = stateOf(memory);
    TrackedObject t;
    t.active = true;
    t.centerX = centre.x;
    t.centerY = centre.y;
    t.boxWidth = t.boxHeight = 214;
    t.objectIndex = 1;
    t.lastFrame = s.trackFrame - 1;
    t.filter = std::make_unique<ConDensation>(2, 2, 64);
    t.filter->InitSampleSet(s.lowerBound.val, s.upperBound.val);
    s.trackedObjects.push_back(std::move(t));
    return s.trackedObjects.back();
  }
  uint64_t readsOfLastCall(uint64_t before) {
    return memory.GetAccessCount() - before - searchReads;
  }

  CvAssociativeMemory memory;
  TrackingOptions options;
  cv::Mat flat = cv::Mat(300, 300, CV_8UC1, cv::Scalar(100));
  AssocNode* base = nullptr;
  Recorder recorder;
  uint64_t searchReads = 0;
  const double similarity =
      static_cast<int32_t>(uint64_t{899} * 1073741823 / 900) * (1.0 / 2147483647);
};

TEST_P(Reacquisition, ConfirmsAboveTheThresholdFromTheFirstWindow) {
  TrackedObject& t = inject({150, 150});
  const uint64_t before = memory.GetAccessCount();
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  EXPECT_EQ(readsOfLastCall(before), 5u);
  EXPECT_EQ(recorder.codes(), (std::vector<int>{RCG_AM_BEGIN, RCG_AM_TRACK, RCG_AM_END}));
  // Looking first, the report is of the box found; else of the box predicted.
  const Event track = recorder.ofCode(RCG_AM_TRACK)[0];
  EXPECT_EQ(track.result.predicted, !GetParam());
  EXPECT_EQ(track.result.rect.tl(), GetParam() ? cv::Point(48, 48) : cv::Point(43, 43));
  // The first window (43, 43, 214, 214) is found moved by half the level-0 inset.
  EXPECT_EQ(t.centerX, 48 + 107);
  EXPECT_EQ(t.centerY, 48 + 107);
  EXPECT_EQ(t.boxWidth, 214);
  EXPECT_EQ(t.updates, 1);
  EXPECT_EQ(t.lastFrame, 1u);
  EXPECT_DOUBLE_EQ(t.similarity, GetParam() ? similarity / 2 : similarity);  // halved when reported
  EXPECT_EQ(memory.GetNodeCount(), 2) << "hit counter 50 relearned";
}

TEST_P(Reacquisition, RelearnsAWeakMatchWithManyHits) {
  base->header.hits = 50;
  recorder.attachBlocks = true;
  TrackedObject& t = inject({150, 150});
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  ASSERT_EQ(recorder.codes(),
            GetParam()
                ? (std::vector<int>{RCG_AM_BEGIN, RCG_AM_RELEARN, RCG_AM_TRACK, RCG_AM_END})
                : (std::vector<int>{RCG_AM_BEGIN, RCG_AM_TRACK, RCG_AM_RELEARN, RCG_AM_END}));
  const Event relearn = recorder.ofCode(RCG_AM_RELEARN)[0];
  EXPECT_EQ(relearn.index, 1u);
  EXPECT_EQ(relearn.result.rect, cv::Rect(43, 43, 214, 214));
  EXPECT_EQ(relearn.result.similarity, similarity);
  EXPECT_EQ(relearn.result.userSlot, &t.userData);
  EXPECT_EQ(relearn.result.bases, 5u);
  EXPECT_EQ(memory.GetNodeCount(), 5);
  EXPECT_EQ(t.updates, 1);
}

TEST_P(Reacquisition, SimilarityEqualToTheThresholdConfirmsNothing) {
  TrackedObject& t = inject({150, 150});
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, similarity);
  EXPECT_EQ(t.updates, 0);
  EXPECT_EQ(t.lastFrame, 0u);
}

TEST_P(Reacquisition, WithoutLearningReadsButNeverConfirms) {
  TrackedObject& t = inject({150, 150});
  base->header.hits = 80;
  const uint64_t before = memory.GetAccessCount();
  memory.ObjectTracking(Recorder::callback, &recorder, false, 0.54, 0.45);
  EXPECT_EQ(readsOfLastCall(before), 5u);
  EXPECT_EQ(t.updates, 0);
  EXPECT_TRUE(recorder.ofCode(RCG_AM_RELEARN).empty());
}

TEST_P(Reacquisition, FirstWindowPastTheEdgeGetsNoReads) {
  TrackedObject& t = inject({250, 150});
  const uint64_t before = memory.GetAccessCount();
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  EXPECT_EQ(readsOfLastCall(before), 0u);
  EXPECT_EQ(t.updates, 0);
  EXPECT_TRUE(t.active);
}

TEST_P(Reacquisition, WindowsClippedAtTheLeftAndTopAreAllRead) {
  // Predicted 60 pixels from the corner: the first window starts at (0, 0), the shifted ones
  // left of and above the image start at its edges, narrower and lower.
  inject({60, 60});
  const uint64_t before = memory.GetAccessCount();
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  EXPECT_EQ(readsOfLastCall(before), 5u);
}

TEST_P(Reacquisition, FollowingSizesReadsOnlyBetweenTheFollowLimits) {
  // The tracked box is 1.18 times the inner window: unclamped, its reads would be of three sizes.
  options.followSize = true;
  options.followFrom = options.followTo = 1.0;
  memory.SetTrackingOptions(options);
  TrackedObject& t = inject({150, 150});
  const uint64_t before = memory.GetAccessCount();
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  EXPECT_EQ(readsOfLastCall(before), 5u);
  EXPECT_EQ(t.boxWidth, 214);
  EXPECT_EQ(t.updates, 1);
}

TEST_P(Reacquisition, KeepingIdentitiesDropsTheLessSimilarOfTwoTracksOnOneObject) {
  options.keepIdentities = true;
  memory.SetTrackingOptions(options);
  inject({150, 150});
  inject({152, 150});
  std::vector<TrackedObject>& tracks = stateOf(memory).trackedObjects;
  tracks[0].similarity = 0.2;
  tracks[1].similarity = 0.6;
  memory.ObjectTracking(Recorder::callback, &recorder, true, 0.54, 0.45);
  EXPECT_FALSE(tracks[0].active);
  EXPECT_TRUE(tracks[1].active);
  EXPECT_EQ(recorder.ofCode(RCG_AM_TRACK).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(LookingFirst, Reacquisition, ::testing::Bool());

TEST(ReacquisitionWindows, FirstIsMovedInsideAtTheLeftAndTop) {
  EXPECT_EQ(firstReacquisitionWindow({150, 150}, {214, 214}), cv::Rect(43, 43, 214, 214));
  EXPECT_EQ(firstReacquisitionWindow({60, 100}, {214, 214}), cv::Rect(0, 0, 214, 214));
  EXPECT_EQ(firstReacquisitionWindow({-30, 300}, {120, 80}), cv::Rect(0, 260, 120, 80));
}

TEST(ReacquisitionWindows, ShiftedOnesAreClippedAtEveryEdge) {
  const cv::Size area(214, 214), margin(16, 16), image(300, 300);
  // Far from every edge.
  EXPECT_EQ(shiftedReacquisitionWindows({40, 40}, area, margin, {400, 400}),
            (std::array<cv::Rect, 4>{cv::Rect(24, 24, 214, 214), cv::Rect(56, 24, 214, 214),
                                     cv::Rect(56, 56, 214, 214), cv::Rect(24, 56, 214, 214)}));
  // Closer to the left and top than the margin: started at the edge, less wide and high.
  EXPECT_EQ(shiftedReacquisitionWindows({10, 15}, area, margin, image),
            (std::array<cv::Rect, 4>{cv::Rect(0, 0, 198, 198), cv::Rect(26, 0, 214, 198),
                                     cv::Rect(26, 31, 214, 214), cv::Rect(0, 31, 198, 214)}));
  // Exactly as far from the left and top as the margin: full size.
  EXPECT_EQ(shiftedReacquisitionWindows({16, 16}, area, margin, image)[0],
            cv::Rect(0, 0, 214, 214));
  // Reaching the right and bottom edges exactly (70 + 214 + 16 = 300): narrower and lower.
  EXPECT_EQ(shiftedReacquisitionWindows({70, 70}, area, margin, image),
            (std::array<cv::Rect, 4>{cv::Rect(54, 54, 214, 214), cv::Rect(86, 54, 198, 214),
                                     cv::Rect(86, 86, 198, 198), cv::Rect(54, 86, 214, 198)}));
  // One pixel short of the edges: full size.
  EXPECT_EQ(shiftedReacquisitionWindows({69, 69}, area, margin, image)[2],
            cv::Rect(85, 85, 214, 214));
}

// On a flat frame one base of values 100 (distance 900) with threshold 938 makes every window a
// weak match (similarity 0.52): every found object is a candidate for relearning.
struct WeakMatches {
  WeakMatches() {
    memory.Create(214, 214, 1);
    memory.SetImage(flat);
    addChild(*stateOf(memory).root, AssocHeader{2, 60, 938, 1}, 100);
    stateOf(memory).context.lastNodeId = 2;
  }
  CvAssociativeMemory memory;
  cv::Mat flat = cv::Mat(300, 300, CV_8UC1, cv::Scalar(100));
  Recorder recorder;
};

TEST(WeakMatches, WithoutLearningNothingIsTaughtAgain) {
  WeakMatches scene;
  scene.memory.ObjectTracking(Recorder::callback, &scene.recorder, false, 0.99, 0.45);
  EXPECT_TRUE(scene.recorder.ofCode(RCG_AM_RELEARN).empty());
  EXPECT_FALSE(scene.recorder.ofCode(RCG_AM_TRACK).empty()) << "found objects still start tracks";
  EXPECT_EQ(scene.memory.GetNodeCount(), 2);
}

TEST(WeakMatches, RelearningNeedsASimilarityStrictlyBelowTheThreshold) {
  WeakMatches first;
  first.memory.ObjectTracking(Recorder::callback, &first.recorder, true, 0.99, 0.45);
  const std::vector<Event> relearned = first.recorder.ofCode(RCG_AM_RELEARN);
  ASSERT_FALSE(relearned.empty());
  double lowest = 1.0;
  for (const Event& e : relearned) lowest = std::min(lowest, e.result.similarity);

  // The same pass with the threshold at the lowest mean similarity relearns nothing.
  WeakMatches again;
  again.memory.ObjectTracking(Recorder::callback, &again.recorder, true, lowest, 0.45);
  EXPECT_TRUE(again.recorder.ofCode(RCG_AM_RELEARN).empty());
  EXPECT_EQ(again.recorder.ofCode(RCG_AM_MATCH).size(), first.recorder.ofCode(RCG_AM_MATCH).size());
}

TEST(ReacquisitionOutcome, Boundaries) {
  struct Case {
    bool learning, sameIndex;
    double similarity;
    uint64_t hits;
    bool confirm, relearn;
  };
  const double threshold = 0.45f;
  for (const Case& c :
       {Case{true, true, threshold, 99, false, false},
        Case{true, true, std::nextafter(threshold, 1.0), 99, true, true},
        Case{true, true, 0.5, 99, true, false}, Case{true, true, 0.49, 50, true, false},
        Case{true, true, 0.49, 51, true, true}, Case{true, false, 0.9, 99, false, false},
        Case{false, true, 0.9, 99, false, false}}) {
    const ReacquisitionOutcome o =
        reacquisitionOutcome(c.learning, c.sameIndex, c.similarity, c.hits, threshold);
    EXPECT_EQ(o.confirm, c.confirm) << c.similarity << " " << c.hits;
    EXPECT_EQ(o.relearn, c.relearn) << c.similarity << " " << c.hits;
  }
}

}  // namespace

namespace {

// A textured object over a background of another texture, at a given position.
class Scene {
 public:
  Scene() : background_(texturedImage({640, 480}, 61)), object_(texturedImage({220, 220}, 62)) {
    cv::normalize(object_, object_, 0, 255, cv::NORM_MINMAX);  // a stronger texture
  }
  cv::Mat frame(cv::Point topLeft) const {
    cv::Mat frame = background_.clone();
    const cv::Rect place(topLeft, object_.size());
    const cv::Rect visible = place & cv::Rect(0, 0, 640, 480);
    if (!visible.empty()) object_(visible - topLeft).copyTo(frame(visible));
    return frame;
  }

 private:
  cv::Mat background_, object_;
};

TEST(TrackingScene, FollowsATaughtObjectAcrossTheFrameAndFindsItAgain) {
  const Scene scene;
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  const cv::Rect teaching(390, 250, 220, 220);
  const int32_t one = 1;
  std::vector<cv::Mat> frames;  // kept alive while the memory looks at them
  for (int i = 0; i < 20; ++i) {
    frames.push_back(scene.frame(teaching.tl()));
    memory.SetImage(frames.back());
    memory.Write(teaching, &one);
  }

  auto trackAt = [&](cv::Point topLeft) {
    frames.push_back(scene.frame(topLeft));
    memory.SetImage(frames.back());
    EventRecorder recorder;
    memory.ObjectTracking(EventRecorder::callback, &recorder, true, 0.54f, 0.45f);
    std::vector<cv::Rect> boxes;  // object 1's reports of the call
    for (const Event& e : recorder.ofCode(RCG_AM_TRACK))
      if (e.index == 1) boxes.push_back(e.result.rect);
    return boxes;
  };
  auto near = [](const std::vector<cv::Rect>& boxes, cv::Point topLeft) {
    const cv::Point truth = topLeft + cv::Point(110, 110);
    for (const cv::Rect& box : boxes) {
      const cv::Point centre = box.tl() + cv::Point(box.width / 2, box.height / 2);
      if (std::abs(centre.x - truth.x) < box.width / 4 &&
          std::abs(centre.y - truth.y) < box.width / 4)
        return true;
    }
    return false;
  };

  // Left across the frame, then up.
  cv::Point at = teaching.tl();
  for (; at.x > 10; at.x -= 12) EXPECT_TRUE(near(trackAt(at), at)) << at;
  for (; at.y > 10; at.y -= 12) EXPECT_TRUE(near(trackAt(at), at)) << at;
  // Out of the frame for a while, then back in the middle.
  for (int i = 0; i < 10; ++i) trackAt(cv::Point(-400, -400));
  const cv::Point back(200, 120);
  trackAt(back);
  EXPECT_TRUE(near(trackAt(back), back));
}

}  // namespace
