// The tracking options: following an object's size, keeping identities apart, and saying which
// reported tracks were not seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "event_recorder.hpp"
#include "report.hpp"
#include "search.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;

namespace {

using vizmoro_test::Event;
using vizmoro_test::EventRecorder;

double iou(const cv::Rect& a, const cv::Rect& b) {
  const double inter = (a & b).area();
  return inter / (a.area() + b.area() - inter);
}

// A textured object of `object` pixels over another texture, scaled and placed with its centre
// at `centre`.
class Scene {
 public:
  explicit Scene(cv::Size object = {120, 120})
      : background_(texturedImage({640, 480}, 71)), object_(texturedImage(object, 72)) {
    cv::normalize(object_, object_, 0, 255, cv::NORM_MINMAX);
  }
  cv::Mat frame(const std::vector<std::pair<cv::Point, double>>& placed,
                const cv::Mat* other = nullptr) {
    cv::Mat frame = background_.clone();
    for (size_t i = 0; i < placed.size(); ++i) {
      const cv::Mat& texture = i == 1 && other ? *other : object_;
      const cv::Rect box = boxAt(placed[i].first, placed[i].second);
      cv::Mat scaled;
      cv::resize(texture, scaled, box.size(), 0, 0, cv::INTER_AREA);
      scaled.copyTo(frame(box));
    }
    frames_.push_back(frame);
    return frame;
  }
  cv::Rect boxAt(cv::Point centre, double scale) const {
    const int w = static_cast<int>(std::lround(object_.cols * scale));
    const int h = static_cast<int>(std::lround(object_.rows * scale));
    return cv::Rect(centre.x - w / 2, centre.y - h / 2, w, h);
  }

 private:
  cv::Mat background_, object_;
  std::vector<cv::Mat> frames_;  // alive while the memory looks at them
};

TrackingOptions allOn() {
  TrackingOptions o;
  o.followSize = o.keepIdentities = o.lookBeforeReport = true;
  return o;
}

// Teaches an object of `object` pixels at its size around `centre`, then tracks it while its
// size goes from 1 to `last` in small steps; returns the last pass's best track of the object,
// fitted to the taught box, and the truth. Only windows of the taught size are relearned.
std::pair<cv::Rect, cv::Rect> followSize(cv::Size object, double last, bool follow) {
  Scene scene(object);
  CvAssociativeMemory memory;
  memory.Create(object.width, object.height, 3);
  TrackingOptions options = allOn();
  options.followSize = follow;
  memory.SetTrackingOptions(options);
  const cv::Point centre(320, 240);
  const int32_t one = 1;
  for (int i = 0; i < 4; ++i) {
    memory.SetImage(scene.frame({{centre + cv::Point(i % 2, i / 2), 1.0}}));
    memory.Write(scene.boxAt(centre + cv::Point(i % 2, i / 2), 1.0), &one);
  }
  constexpr int kSteps = 40;
  cv::Rect fitted;
  for (int i = 0; i <= kSteps; ++i) {
    const double scale = 1.0 + (last - 1.0) * i / kSteps;
    memory.SetImage(scene.frame({{centre, scale}}));
    EventRecorder recorder;
    memory.ObjectTracking(EventRecorder::callback, &recorder, true, 0.54f, 0.45f);
    if (const Event* t = recorder.bestTrack(1)) fitted = memory.FittedBox(t->result.rect, object);
    for (const Event& e : recorder.ofCode(RCG_AM_RELEARN)) EXPECT_EQ(e.result.rect.size(), object);
  }
  return {fitted, scene.boxAt(centre, last)};
}

class FollowSize : public ::testing::TestWithParam<cv::Size> {};

TEST_P(FollowSize, TracksAnObjectThatShrinksToHalfOrGrowsToTwice) {
  for (double last : {0.5, 2.0}) {
    SCOPED_TRACE(last);
    const auto [fitted, truth] = followSize(GetParam(), last, true);
    EXPECT_GT(iou(fitted, truth), 0.6) << fitted << " against " << truth;
  }
  // Without following, the half-size object is lost.
  const auto [lost, truth] = followSize(GetParam(), 0.5, false);
  EXPECT_LT(iou(lost, truth), 0.6) << lost;
}

INSTANTIATE_TEST_SUITE_P(Shapes, FollowSize,
                         ::testing::Values(cv::Size(120, 120), cv::Size(140, 100)));

TEST(KeepIdentities, TwoObjectsSideBySideKeepTheirOwnIndexes) {
  Scene scene;
  cv::Mat other = texturedImage({120, 120}, 73);
  cv::normalize(other, other, 0, 255, cv::NORM_MINMAX);
  const cv::Point left(240, 240), right(380, 240);
  CvAssociativeMemory memory;
  memory.Create(120, 120, 3);
  memory.SetTrackingOptions(allOn());
  const int32_t one = 1, two = 2;
  for (int i = 0; i < 4; ++i) {
    memory.SetImage(scene.frame({{left, 1.0}, {right, 1.0}}, &other));
    memory.Write(scene.boxAt(left, 1.0), &one);
    memory.Write(scene.boxAt(right, 1.0), &two);
  }
  for (int pass = 0; pass < 20; ++pass) {
    memory.SetImage(scene.frame({{left, 1.0}, {right, 1.0}}, &other));
    EventRecorder recorder;
    memory.ObjectTracking(EventRecorder::callback, &recorder, true, 0.54f, 0.45f);
    const std::vector<Event> tracks = recorder.ofCode(RCG_AM_TRACK);
    for (const Event& t : tracks) {
      const cv::Rect box = memory.FittedBox(t.result.rect, {120, 120});
      const cv::Rect wrong = scene.boxAt(t.index == 1 ? right : left, 1.0);
      EXPECT_LT(iou(box, wrong), 0.3) << "pass " << pass << ": index " << t.index << " at " << box;
    }
    std::map<uint32_t, int> perIndex;
    for (const Event& t : tracks) ++perIndex[t.index];
    for (const auto& [index, count] : perIndex) EXPECT_EQ(count, 1) << "index " << index;
  }
}

TEST(KeepIdentities, TheMoreSimilarIndexClaimsAnObjectBothMatch) {
  // A memory of one level searches a 176 x 161 image with two windows, 160 x 160 at (0, 0) and
  // (15, 0), whose found boxes overlap by 0.83. Each window's probe is the base of an index of
  // its own, one of the two a little off: the less similar.
  const cv::Mat image = texturedImage({176, 161}, 74);
  for (int32_t weaker : {1, 2}) {
    SCOPED_TRACE(weaker);
    CvAssociativeMemory memory;
    memory.Create(214, 214, 1);
    TrackingOptions options;
    options.keepIdentities = true;
    memory.SetTrackingOptions(options);
    memory.SetImage(image);
    CvAssociativeMemoryState& s = stateOf(memory);
    for (int32_t index : {1, 2}) {
      int16_t probe[4 * 4];  // the 3 x 3 cells of a base at four half-cell offsets
      CalcDescriptor(s.integral, index == 1 ? 0 : 15, 0, 160, 160, 4, 4, probe, cv::Mat());
      std::vector<int16_t> values;
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) values.push_back(probe[j * 4 + i] + (index == weaker));
      addChild(*s.root, AssocHeader{static_cast<uint64_t>(index) + 1, 5, 1000, index}, 0, &values);
    }
    s.context.lastNodeId = 3;
    EventRecorder recorder;
    memory.ObjectTracking(EventRecorder::callback, &recorder, false, 0.54f, 0.45f);
    ASSERT_EQ(recorder.count(RCG_AM_TRACK), 1u);
    EXPECT_EQ(recorder.ofCode(RCG_AM_TRACK)[0].index, weaker == 1 ? 2u : 1u);
  }
}

TEST(PredictedFlag, SaysWhichReportedTracksWereNotSeen) {
  for (bool lookFirst : {false, true}) {
    SCOPED_TRACE(lookFirst);
    CvAssociativeMemory memory;
    memory.Create(214, 214, 3);
    TrackingOptions options;
    options.lookBeforeReport = lookFirst;
    memory.SetTrackingOptions(options);
    const cv::Mat image = texturedImage({161, 161}, 51);
    memory.SetImage(image);
    AssocNode* base = addChild(*stateOf(memory).root,
                               AssocHeader{2, 5, std::numeric_limits<uint64_t>::max() / 2, 1});
    stateOf(memory).context.lastNodeId = 2;
    EventRecorder seen;
    memory.ObjectTracking(EventRecorder::callback, &seen, false, 0.54f, 0.45f);
    ASSERT_EQ(seen.count(RCG_AM_TRACK), 1u);
    EXPECT_FALSE(seen.ofCode(RCG_AM_TRACK)[0].result.predicted);
    base->header.data = 2;  // from now on the window shows object 2: object 1 is not seen
    EventRecorder next;
    memory.ObjectTracking(EventRecorder::callback, &next, false, 0.54f, 0.45f);
    const std::vector<Event> tracks = next.ofCode(RCG_AM_TRACK);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].index, 1u);
    EXPECT_TRUE(tracks[0].result.predicted);
    EXPECT_FALSE(tracks[1].result.predicted);
  }
}

TEST(TrackingOptions, AreCheckedWhenSetAndSweepTheSizesAsked) {
  CvAssociativeMemory memory;
  memory.Create(100, 100, 3);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double sweepFrom, sweepStep, sweepTo, followFrom, followTo;
    bool accepted;
  };
  const Case cases[] = {
      {0.75, 0.25, 0, 0.5, 2.0, true},   // the defaults: 62 sizes counted to 16 times the area
      {1, 1, 64, 0.5, 2.0, true},        // 64 sizes
      {0.5, 0.1, 1.5, 1.0, 1.0, true},   // 11 sizes; a fixed size to follow at
      {1, 1, 65, 0.5, 2.0, false},       // 65 sizes
      {0.75, 1e-9, 0, 0.5, 2.0, false},  // open, but never ending
      {20, 4, 0, 0.5, 2.0, false},       // open from 20 times the area: counted to 320
      {0.75, 0, 0, 0.5, 2.0, false},      {0.75, inf, 0, 0.5, 2.0, false},
      {0.75, 0.25, nan, 0.5, 2.0, false}, {nan, 0.25, 0, 0.5, 2.0, false},
      {0.75, 0.25, 0, 0.5, inf, false},   {0.75, 0.25, 0, 0.5, 0.4, false},
  };
  for (const Case& c : cases) {
    TrackingOptions o;
    o.sweepFrom = c.sweepFrom;
    o.sweepStep = c.sweepStep;
    o.sweepTo = c.sweepTo;
    o.followFrom = c.followFrom;
    o.followTo = c.followTo;
    SCOPED_TRACE(::testing::Message() << c.sweepFrom << " " << c.sweepStep << " " << c.sweepTo
                                      << " " << c.followFrom << " " << c.followTo);
    memory.SetTrackingOptions(TrackingOptions());
    const Report report = reportOf([&] { memory.SetTrackingOptions(o); });
    EXPECT_EQ(report.code, c.accepted ? 0 : cv::Error::StsOutOfRange);
    const TrackingOptions kept = c.accepted ? o : TrackingOptions();
    EXPECT_EQ(memory.GetTrackingOptions().sweepStep, kept.sweepStep) << "refused: unchanged";
    EXPECT_EQ(memory.GetTrackingOptions().followTo, kept.followTo);
  }

  TrackingOptions sweep;
  sweep.sweepFrom = 0.5;
  sweep.sweepStep = 0.5;
  sweep.sweepTo = 1.5;
  for (cv::Size area : {cv::Size(100, 100), cv::Size(120, 80), cv::Size(40, 100)}) {
    SCOPED_TRACE(area);
    memory.Create(area.width, area.height, 3);
    memory.SetTrackingOptions(sweep);
    memory.SetImage(texturedImage({400, 300}, 3));
    int reads = 0;
    memory.ObjectRecognition(
        [](int code, uint32_t*, RcgAMResult*, void* user) {
          if (code == RCG_AM_NO_MATCH || code == RCG_AM_MATCH) ++*static_cast<int*>(user);
        },
        &reads);
    EXPECT_GT(reads, 0);
    std::vector<cv::Size> sizes;
    PositionSearch(
        stateOf(memory),
        [](cv::Rect w, void* user) {
          static_cast<std::vector<cv::Size>*>(user)->push_back(w.size());
        },
        &sizes);
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    EXPECT_EQ(sizes, (std::vector<cv::Size>{area / 2, area, area * 3 / 2}));
  }

  // Sizes far beyond int are past the image, never wrapped round into it.
  sweep.sweepFrom = sweep.sweepStep = 1e300;
  sweep.sweepTo = 0;
  memory.SetTrackingOptions(sweep);
  std::vector<int> widths;
  PositionSearch(
      stateOf(memory),
      [](cv::Rect w, void* user) { static_cast<std::vector<int>*>(user)->push_back(w.width); },
      &widths);
  EXPECT_TRUE(widths.empty());
}

}  // namespace
