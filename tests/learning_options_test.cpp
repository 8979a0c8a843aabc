// The learning options: the guard that keeps weak, unsupported matches from becoming the object,
// and the base budget.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "condensation.hpp"
#include "event_recorder.hpp"
#include "report.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

using vizmoro_test::EventRecorder;

TEST(LearningOptions, AreKeptUntilSetAgainAndCheckedWhenSet) {
  CvAssociativeMemory memory;
  EXPECT_FALSE(memory.GetLearningOptions().guard);
  EXPECT_EQ(memory.GetLearningOptions().budget, 0);
  LearningOptions options;
  options.guard = true;
  options.budget = 500;
  options.establishedAfter = 2;
  memory.SetLearningOptions(options);
  memory.Create(100, 100, 3);
  EXPECT_TRUE(memory.GetLearningOptions().guard);
  EXPECT_EQ(memory.GetLearningOptions().budget, 500);
  EXPECT_EQ(memory.GetLearningOptions().establishedAfter, 2);

  options.budget = -1;
  EXPECT_EQ(reportOf([&] { memory.SetLearningOptions(options); }).code, cv::Error::StsOutOfRange);
  options.budget = 0;
  options.establishedAfter = 0;
  EXPECT_EQ(reportOf([&] { memory.SetLearningOptions(options); }).code, cv::Error::StsOutOfRange);
  EXPECT_EQ(memory.GetLearningOptions().budget, 500) << "a refused set changes nothing";
}

// On a flat frame every probe is zero, so one level of one base of values 100 (distance 900)
// with threshold 938 makes every window a weak match of object 1: similarity 0.52.
class WeakBackground : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(214, 214, 1);
    memory.SetImage(flat);
    addChild(*stateOf(memory).root, AssocHeader{2, 60, 938, 1}, 100);
    stateOf(memory).context.lastNodeId = 2;
  }
  EventRecorder track(double learnThreshold) {
    EventRecorder events;
    memory.ObjectTracking(EventRecorder::callback, &events, true, learnThreshold, 0.45);
    return events;
  }
  void guard() {
    LearningOptions options;
    options.guard = true;
    memory.SetLearningOptions(options);
  }
  CvAssociativeMemory memory;
  cv::Mat flat = cv::Mat(300, 300, CV_8UC1, cv::Scalar(100));
};

TEST_F(WeakBackground, WithoutTheGuardWeakMatchesAreTaughtAndTracked) {
  const EventRecorder events = track(0.54);
  EXPECT_GT(events.count(RCG_AM_RELEARN), 0u);
  EXPECT_GT(events.count(RCG_AM_TRACK), 0u);
}

TEST_F(WeakBackground, GuardKeepsUnsupportedWeakMatchesFromBeingTaughtOrTracked) {
  guard();
  for (int call = 0; call < 5; ++call) {
    const EventRecorder events = track(0.54);
    EXPECT_EQ(events.count(RCG_AM_RELEARN), 0u);
    EXPECT_EQ(events.count(RCG_AM_TRACK), 0u);
  }
  EXPECT_EQ(memory.GetNodeCount(), 2);
  EXPECT_TRUE(stateOf(memory).trackedObjects.empty());
}

TEST_F(WeakBackground, GuardReinforcesWhatAnEstablishedTrackSupports) {
  guard();
  // Strong enough to start tracks at first (threshold 0.5), then held for three calls.
  EXPECT_GT(track(0.5).count(RCG_AM_TRACK), 0u);
  EXPECT_EQ(track(0.5).count(RCG_AM_RELEARN), 0u);
  EXPECT_EQ(track(0.54).count(RCG_AM_RELEARN), 0u) << "confirmed twice only";
  EXPECT_GT(track(0.54).count(RCG_AM_RELEARN), 0u) << "confirmed in each of the last three calls";
}

// A tracked object of index 1 whose extra reads find the base just below one half with many
// hits: unguarded, every such read teaches the memory again.
class GuardedReacquisition : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(214, 214, 3);
    memory.SetImage(flat);
    AssocNode* node = stateOf(memory).root.get();
    for (uint64_t id = 2; id <= 4; ++id) {
      const AssocContext& c = *node->context;
      const uint64_t values =
          static_cast<uint64_t>(levelCols(c, node->level + 1) * levelRows(c, node->level + 1));
      node = addChild(*node, AssocHeader{id, 60, 100 * values - 1, 1}, 100);
    }
    stateOf(memory).context.lastNodeId = 4;
    LearningOptions options;
    options.guard = true;
    memory.SetLearningOptions(options);
  }
  TrackedObject& inject(int streak, uint64_t callsAgo) {
    CvAssociativeMemoryState& s = stateOf(memory);
    s.trackFrame = 10;
    TrackedObject t;
    t.active = true;
    t.centerX = t.centerY = 150;
    t.boxWidth = t.boxHeight = 214;
    t.objectIndex = 1;
    t.lastFrame = s.trackFrame - callsAgo;
    t.streak = streak;
    t.filter = std::make_unique<ConDensation>(2, 2, 64);
    t.filter->InitSampleSet(s.lowerBound.val, s.upperBound.val);
    s.trackedObjects.push_back(std::move(t));
    return s.trackedObjects.back();
  }
  EventRecorder track() {
    EventRecorder events;
    memory.ObjectTracking(EventRecorder::callback, &events, true, 0.54, 0.45);
    return events;
  }
  CvAssociativeMemory memory;
  cv::Mat flat = cv::Mat(300, 300, CV_8UC1, cv::Scalar(100));
};

TEST_F(GuardedReacquisition, OnlyAnEstablishedTrackConfirmedInThePreviousCallRelearns) {
  struct Case {
    int streak;
    uint64_t callsAgo;
    bool relearns;
  };
  for (const Case c : {Case{3, 1, true}, Case{2, 1, false}, Case{5, 2, false}}) {
    SetUp();
    TrackedObject& t = inject(c.streak, c.callsAgo);
    EXPECT_EQ(track().count(RCG_AM_RELEARN) > 0, c.relearns) << c.streak << " " << c.callsAgo;
    EXPECT_EQ(t.updates, 1) << "confirmed by its reads all the same";
  }
}

// Chains of bases below the root with the given leaf hits and object indexes.
class Budget : public ::testing::Test {
 protected:
  void chains(const std::vector<std::pair<uint64_t, int32_t>>& leaves) {
    memory.Create(220, 220, 3);
    uint64_t id = 1;
    for (const auto& [hits, data] : leaves) {
      AssocNode* node = stateOf(memory).root.get();
      for (int level = 1; level <= 3; ++level)
        node = addChild(*node, AssocHeader{++id, level == 3 ? hits : 100, 100, data});
    }
    stateOf(memory).context.lastNodeId = id;
  }
  void budget(int bases) {
    LearningOptions options;
    options.budget = bases;
    memory.SetLearningOptions(options);
    stateOf(memory).keepWithinBudget();
  }
  std::vector<uint64_t> leafHits() {
    std::vector<uint64_t> hits;
    for (const VisitedNode& n : visitAll(memory))
      if (n.level == 3) hits.push_back(n.hits);
    return hits;
  }
  CvAssociativeMemory memory;
};

TEST_F(Budget, RemovesTheWeakestBranchesFirstButNeverAnObjectsLast) {
  chains({{4, 1}, {1, 1}, {9, 2}, {2, 1}, {1, 1}});  // 15 bases
  budget(15);
  EXPECT_EQ(memory.GetNodeCount(), 16) << "within the budget: nothing goes";
  budget(12);  // down to 11 (nine tenths): the two branches of one hit go, the older first
  EXPECT_EQ(memory.GetNodeCount(), 10);
  EXPECT_EQ(leafHits(), (std::vector<uint64_t>{4, 9, 2}));
  budget(3);  // object 2's and object 1's last branches stay
  EXPECT_EQ(leafHits(), (std::vector<uint64_t>{4, 9}));
  EXPECT_EQ(memory.GetNodeCount(), 7);
  EXPECT_EQ(stateOf(memory).root->children.size(), 5u) << "removed branches leave empty slots";
}

TEST_F(Budget, SharedBasesStayWhileABranchBelowThemLives) {
  chains({{5, 1}});
  AssocNode& level2 = *stateOf(memory).root->children[0]->children[0];
  addChild(level2, AssocHeader{5, 1, 100, 1});  // a second leaf under the same level-2 base
  stateOf(memory).context.lastNodeId = 5;
  budget(3);
  EXPECT_EQ(memory.GetNodeCount(), 4) << "only the weaker leaf went";
  EXPECT_EQ(leafHits(), (std::vector<uint64_t>{5}));
}

// The most bases a run of teaching and tracking (or of teaching alone) holds after any call,
// with the given budget.
int mostBasesOfALongRun(int budget, bool teachingOnly = false) {
  const cv::Mat background = texturedImage({400, 300}, 31);
  cv::Mat object = texturedImage({120, 120}, 32);
  cv::normalize(object, object, 0, 255, cv::NORM_MINMAX);
  const cv::Mat other = texturedImage({120, 120}, 33);
  CvAssociativeMemory memory;
  memory.Create(120, 120, 3);
  LearningOptions options;
  options.budget = budget;
  memory.SetLearningOptions(options);
  std::vector<cv::Mat> frames;
  const int32_t one = 1;
  int most = 0;
  for (int i = 0; i < 150; ++i) {
    // The object changes its look and moves, so that tracking teaches it again and again.
    cv::Mat look;
    if (teachingOnly)  // taught a new look every time
      cv::normalize(texturedImage({120, 120}, 100 + i), look, 0, 255, cv::NORM_MINMAX);
    else
      cv::addWeighted(object, 1 - 0.006 * i, other, 0.006 * i, 0, look);
    frames.push_back(background.clone());
    const cv::Point corner(40 + (i * 5) % 220, 60 + (i * 3) % 100);
    look.copyTo(frames.back()(cv::Rect(corner, look.size())));
    memory.SetImage(frames.back());
    if (i < 20 || teachingOnly) {
      memory.Write(cv::Rect(corner, look.size()), &one);
    } else {
      EventRecorder events;
      memory.ObjectTracking(EventRecorder::callback, &events, true, 0.9, 0.45);
    }
    most = std::max(most, memory.GetNodeCount() - 1);
  }
  return most;
}

TEST(BudgetOnALongRun, HoldsAfterEveryCall) {
  for (bool teachingOnly : {false, true}) {
    SCOPED_TRACE(teachingOnly ? "teaching only" : "teaching, then tracking");
    EXPECT_GT(mostBasesOfALongRun(0, teachingOnly), 15) << "the run should need the budget";
    EXPECT_LE(mostBasesOfALongRun(10, teachingOnly), 10);
  }
}

}  // namespace
