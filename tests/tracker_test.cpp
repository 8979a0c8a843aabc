// vizmoro::Tracker: following objects from one box, absence and re-detection, several objects,
// key frames, and its state.
#include <gtest/gtest.h>

#include <vizmoro/tracker.hpp>

#include <algorithm>
#include <tuple>

#include <opencv2/imgproc.hpp>

#include "test_images.hpp"

namespace {

const cv::Size kFrame(640, 480);

double IoU(const cv::Rect& a, const cv::Rect& b) {
  const double inter = (a & b).area();
  const double both = a.area() + b.area() - inter;
  return both > 0 ? inter / both : 0;
}

// A grey image in colour: each channel (B, G, R) scaled by `tint`.
cv::Mat Tinted(const cv::Mat& grey, cv::Scalar tint) {
  std::vector<cv::Mat> channels(3);
  for (int c = 0; c < 3; ++c) grey.convertTo(channels[c], CV_8U, tint[c]);
  cv::Mat out;
  cv::merge(channels, out);
  return out;
}

const cv::Scalar kOrange(0.35, 0.7, 1.0), kBluish(1.0, 0.75, 0.55);

// Textured objects of their own sizes over a background of softer texture: where they are on
// each frame (an empty box while one is away) decides what is drawn, in grey, or in colour with
// the background and each object tinted.
class Scene {
 public:
  explicit Scene(uint64_t seed, bool colour = false)
      : background_(texturedImage(kFrame, seed)), colour_(colour) {
    cv::GaussianBlur(background_, background_, cv::Size(0, 0), 6);
    if (colour_) background_ = Tinted(background_, kBluish);
  }
  void Add(cv::Size size, uint64_t seed, cv::Scalar tint = kOrange) {
    // Drawn large and shrunk, so that a small object has structure of its own size too.
    cv::Mat texture;
    cv::resize(texturedImage(cv::Size(200, 200 * size.height / size.width), seed), texture, size, 0,
               0, cv::INTER_AREA);
    cv::rectangle(texture, cv::Rect(cv::Point(), size), cv::Scalar(20), 2);  // an outline
    objects_.push_back(colour_ ? Tinted(texture, tint) : texture);
  }
  cv::Mat Frame(const std::vector<cv::Rect>& boxes) const {
    cv::Mat frame = background_.clone();
    for (size_t k = 0; k < boxes.size(); ++k)
      if (!boxes[k].empty()) objects_[k].copyTo(frame(boxes[k]));
    return frame;
  }

 private:
  cv::Mat background_;
  bool colour_;
  std::vector<cv::Mat> objects_;
};

// The reports of every tracked frame.
using Reports = std::vector<std::vector<vizmoro::TrackReport>>;

// Teaches every object on the first frame and tracks the rest.
Reports Follow(const Scene& scene, const std::vector<std::vector<cv::Rect>>& path,
               vizmoro::Tracker& tracker) {
  Reports run;
  for (size_t i = 0; i < path.size(); ++i) {
    const cv::Mat frame = scene.Frame(path[i]);
    if (i == 0) {
      for (size_t k = 0; k < path[0].size(); ++k)
        tracker.Teach(frame, static_cast<int32_t>(k + 1), path[0][k]);
      continue;
    }
    run.push_back(tracker.Track(frame));
  }
  return run;
}

// A box of `size` whose centre moves from `from` by `step` a frame.
cv::Rect At(cv::Point2d from, cv::Point2d step, int i, cv::Size size) {
  const cv::Point2d c = from + step * i;
  return cv::Rect(
      cv::Point(static_cast<int>(c.x - size.width / 2), static_cast<int>(c.y - size.height / 2)),
      size);
}

using Estimate = vizmoro::TrackerParams::MotionEstimate;

// A box size, whether the frames are in colour, and the motion estimate.
class TrackerAbsence : public ::testing::TestWithParam<std::tuple<cv::Size, bool, Estimate>> {};

// The object moves, vanishes for 40 frames and comes back elsewhere: it is followed, not
// reported while away, and found again soon after it is back; twice over, the same reports.
TEST_P(TrackerAbsence, FollowsReportsAbsenceAndFindsTheObjectAgain) {
  const auto [size, colour, estimate] = GetParam();
  Scene scene(7, colour);
  scene.Add(size, 99);
  constexpr int kBefore = 24, kAway = 40, kAfter = 16;
  std::vector<std::vector<cv::Rect>> path;
  const cv::Point2d start(kFrame.width * 0.6, kFrame.height * 0.55);
  for (int i = 0; i < kBefore; ++i) path.push_back({At(start, {-2.5, -1}, i, size)});
  for (int i = 0; i < kAway; ++i) path.push_back({cv::Rect()});
  const cv::Point2d back(size.width / 2.0 + 20, kFrame.height - size.height / 2.0 - 20);
  for (int i = 0; i < kAfter; ++i) path.push_back({At(back, {2, -1.5}, i, size)});

  Reports first;
  for (int pass = 0; pass < 2; ++pass) {
    CvAssociativeMemory memory;
    vizmoro::TrackerParams params;
    params.motion = estimate;
    vizmoro::Tracker tracker(memory, params);
    const Reports run = Follow(scene, path, tracker);
    int followed = 0, reportedAway = 0, foundAfter = -1;
    for (size_t i = 0; i < run.size(); ++i) {
      ASSERT_EQ(run[i].size(), 1u);
      const vizmoro::TrackReport& r = run[i][0];
      const cv::Rect& truth = path[i + 1][0];
      const int frame = static_cast<int>(i) + 1;
      if (frame < kBefore) followed += r.present && IoU(r.box, truth) > 0.5;
      if (frame >= kBefore && frame < kBefore + kAway) reportedAway += r.present;
      if (frame >= kBefore + kAway && foundAfter < 0 && r.present && IoU(r.box, truth) > 0.5)
        foundAfter = frame - (kBefore + kAway);
    }
    EXPECT_GE(followed, kBefore - 3) << "followed on " << followed << " of " << kBefore - 1;
    EXPECT_LE(reportedAway, 2);
    EXPECT_GE(foundAfter, 0) << "never found again";
    EXPECT_LE(foundAfter, 10);
    if (pass == 0) {
      first = run;
    } else {
      ASSERT_EQ(run.size(), first.size());
      for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(run[i][0].box, first[i][0].box) << "frame " << i + 1;
        EXPECT_EQ(run[i][0].confidence, first[i][0].confidence) << "frame " << i + 1;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    BoxSizes, TrackerAbsence,
    ::testing::Combine(::testing::Values(cv::Size(24, 24), cv::Size(40, 100), cv::Size(300, 220)),
                       ::testing::Bool(),
                       ::testing::Values(Estimate::kFlow, Estimate::kCorrelationFilter)),
    [](const auto& info) {
      const cv::Size size = std::get<0>(info.param);
      return std::to_string(size.width) + "x" + std::to_string(size.height) +
             (std::get<1>(info.param) ? "Colour" : "Grey") +
             (std::get<2>(info.param) == Estimate::kFlow ? "Flow" : "Filter");
    });

// An object that comes back moving fast (half its width a frame) is found again soon, and
// followed from there: where the frame scan recognised it, the next frame's search moves with it.
TEST(Tracker, FindsAnObjectThatComesBackFast) {
  const cv::Size size(40, 100);
  Scene scene(11);
  scene.Add(size, 98);
  constexpr int kBefore = 16, kAway = 30, kAfter = 28;
  std::vector<std::vector<cv::Rect>> path;
  const cv::Point2d start(kFrame.width * 0.5, kFrame.height * 0.5);
  for (int i = 0; i < kBefore; ++i) path.push_back({At(start, {2, 0}, i, size)});
  for (int i = 0; i < kAway; ++i) path.push_back({cv::Rect()});
  const cv::Point2d back(size.width / 2.0 + 4, kFrame.height * 0.4);
  for (int i = 0; i < kAfter; ++i) path.push_back({At(back, {20, 1}, i, size)});
  CvAssociativeMemory memory;
  vizmoro::TrackerParams params;
  params.frameSearchReads = 1500;  // a slow frame scan: it sees the object on one frame of many
  vizmoro::Tracker tracker(memory, params);
  const Reports run = Follow(scene, path, tracker);
  int foundAfter = -1, followed = 0;
  for (int frame = kBefore + kAway; frame < static_cast<int>(path.size()); ++frame) {
    const vizmoro::TrackReport& r = run[frame - 1][0];
    const bool found = r.present && IoU(r.box, path[frame][0]) > 0.5;
    if (foundAfter < 0 && found) foundAfter = frame - (kBefore + kAway);
    followed += foundAfter >= 0 && found;
  }
  ASSERT_GE(foundAfter, 0) << "never found again";
  EXPECT_LE(foundAfter, 10);
  EXPECT_GE(followed, kAfter - foundAfter - 2);
}

// An object whose colour tells it leaves, and a twin in the background's colour comes into view:
// the memory, which sees grey, cannot tell them apart, but the twin is never taken for it.
TEST(Tracker, TakesNoTwinOfAnotherColourForItsObject) {
  const cv::Size size(40, 40);
  Scene scene(7, true);
  scene.Add(size, 99);
  scene.Add(size, 99, kBluish);
  constexpr int kBefore = 24, kAway = 50;
  std::vector<std::vector<cv::Rect>> path;
  for (int i = 0; i < kBefore; ++i) path.push_back({At({380, 260}, {-3, -1}, i, size), {}});
  for (int i = 0; i < kAway; ++i) path.push_back({{}, At({200, 300}, {2, 0}, i, size)});
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  tracker.Teach(scene.Frame(path[0]), 1, path[0][0]);
  int followed = 0, reportedAway = 0;
  for (size_t i = 1; i < path.size(); ++i) {
    const vizmoro::TrackReport r = tracker.Track(scene.Frame(path[i])).at(0);
    followed += i < kBefore && r.present && IoU(r.box, path[i][0]) > 0.5;
    reportedAway += i >= kBefore && r.present;
  }
  EXPECT_GE(followed, kBefore - 3);
  EXPECT_LE(reportedAway, 2);
}

// A look-alike that passes in front of the object does not take its place: the object is
// followed again once the passer has gone, never the passer.
TEST(Tracker, KeepsItsObjectWhileALookAlikePassesInFront) {
  Scene scene(5);
  scene.Add({50, 100}, 21);
  scene.Add({50, 100}, 21);  // drawn last: in front
  std::vector<std::vector<cv::Rect>> path;
  for (int i = 0; i < 56; ++i)
    path.push_back({At({420, 240}, {-1, 0}, i, {50, 100}), At({180, 244}, {7, 0}, i, {50, 100})});
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  tracker.Teach(scene.Frame(path[0]), 1, path[0][0]);
  int after = 0;
  for (size_t i = 1; i < path.size(); ++i) {
    const vizmoro::TrackReport r = tracker.Track(scene.Frame(path[i])).at(0);
    if (!r.present) continue;
    if (IoU(path[i][0], path[i][1]) < 0.2) {
      EXPECT_GT(IoU(r.box, path[i][0]), IoU(r.box, path[i][1])) << "on the passer, frame " << i;
    }
    after += i >= 45 && IoU(r.box, path[i][0]) > 0.5;
  }
  EXPECT_GE(after, 8);
}

// A camera following a walking object: the scene moves 2 pixels a frame past it. A post of the
// scene that passes in front of it does not take its box along, and the object is followed on
// once the post has gone; an object that stops, and so moves with the scene, is followed on.
TEST(Tracker, FollowsAnObjectTheCameraFollows) {
  constexpr int kFrames = 110, kStop = 60;
  cv::Mat ground = texturedImage({640 + 2 * kFrames, 480}, 5);
  cv::GaussianBlur(ground, ground, cv::Size(0, 0), 6);
  Scene look(5);
  look.Add({40, 80}, 21);
  // A faint object, a post of strong contrast that hides it wholly.
  cv::Mat object;
  look.Frame({cv::Rect(0, 0, 40, 80)})(cv::Rect(0, 0, 40, 80)).convertTo(object, CV_8U, 0.4, 60);
  cv::Mat post;
  cv::resize(texturedImage({90, 400}, 33), post, {44, 200}, 0, 0, cv::INTER_AREA);
  for (const bool stops : {false, true}) {
    SCOPED_TRACE(stops ? "it stops" : "a post passes");
    CvAssociativeMemory memory;
    vizmoro::Tracker tracker(memory);
    int after = 0;
    for (int i = 0; i < kFrames; ++i) {
      const double moved = stops && i > kStop ? 0.3 * kStop + 2.0 * (i - kStop) : 0.3 * i;
      const cv::Rect box = At({320 + moved, 240}, {}, 0, {40, 80});
      const cv::Rect pole = At({215, 240}, {2, 0}, i, {44, 200});
      cv::Mat frame = ground(cv::Rect(2 * (kFrames - i), 0, 640, 480)).clone();
      object.copyTo(frame(box));
      if (!stops) post.copyTo(frame(pole));
      if (i == 0) {
        tracker.Teach(frame, 1, box);
        continue;
      }
      const vizmoro::TrackReport r = tracker.Track(frame).at(0);
      if (!r.present) continue;
      if (!stops) {
        EXPECT_GT(IoU(r.box, box), IoU(r.box, pole)) << "on the post, frame " << i;
      }
      after += i >= (stops ? kStop : 90) && IoU(r.box, box) > 0.5;
    }
    EXPECT_GE(after, stops ? 45 : 15);
  }
}

// An object whose look changes wholly within 20 frames while it moves: the memory learns its new
// look and goes on confirming it.
TEST(Tracker, FollowsAnObjectWhoseLookChanges) {
  const cv::Size size(60, 60);
  Scene before(5), after(5);
  before.Add(size, 31);
  after.Add(size, 32);
  constexpr int kFrames = 60, kFrom = 10, kTo = 30;
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  int followed = 0;
  for (int i = 0; i < kFrames; ++i) {
    const cv::Rect box = At({200, 200}, {1.5, 0.5}, i, size);
    const double changed = std::clamp((i - kFrom) / double(kTo - kFrom), 0.0, 1.0);
    cv::Mat frame;
    cv::addWeighted(before.Frame({box}), 1 - changed, after.Frame({box}), changed, 0, frame);
    if (i == 0) {
      tracker.Teach(frame, 1, box);
      continue;
    }
    const vizmoro::TrackReport r = tracker.Track(frame).at(0);
    followed += i >= kTo && r.present && IoU(r.box, box) > 0.5;
  }
  EXPECT_GE(followed, kFrames - kTo - 3);
}

// On how many of frames 1 to `frames` - 1 a disc cut from `texture`, turning by `degrees` a frame
// as it moves by `step` from `from` over `background`, is followed from its box on frame 0.
int FollowedTurningDisc(const cv::Mat& background, const cv::Mat& texture, cv::Point2d from,
                        cv::Point2d step, double degrees, int frames) {
  const cv::Size size = texture.size();
  cv::Mat disc = cv::Mat::zeros(size, CV_8U);
  cv::circle(disc, {size.width / 2, size.height / 2}, size.width / 2, cv::Scalar(255), -1);
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  int followed = 0;
  for (int i = 0; i < frames; ++i) {
    const cv::Rect box = At(from, step, i, size);
    cv::Mat turned, frame = background.clone();
    cv::warpAffine(
        texture, turned,
        cv::getRotationMatrix2D(cv::Point2f(size.width / 2.0f, size.height / 2.0f), degrees * i, 1),
        size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
    turned.copyTo(frame(box), disc);
    if (i == 0) {
      tracker.Teach(frame, 1, box);
      continue;
    }
    const vizmoro::TrackReport r = tracker.Track(frame).at(0);
    followed += r.present && IoU(r.box, box) > 0.5;
  }
  return followed;
}

// A textured disc turns as it moves, 2 degrees a frame, until it shows a view a third of a turn
// from the one taught: the views that the filter is sure of keep it followed, though they look
// less and less like the first.
TEST(Tracker, FollowsAnObjectThatTurns) {
  cv::Mat background = texturedImage(kFrame, 7);
  cv::GaussianBlur(background, background, cv::Size(0, 0), 6);
  constexpr int kFrames = 60;
  EXPECT_GE(FollowedTurningDisc(background, texturedImage({48, 48}, 33), {150, 200}, {4, 1}, 2.0,
                                kFrames),
            kFrames - 4);
}

// A dark, flat object, whose inside gives the flow nothing to hold, in a box half as wide again
// over a textured background, turns back at once: the filter, as sure of it as ever, is
// followed, not the object's former motion that the flow of the background does not contradict.
TEST(Tracker, FollowsAnObjectThatTurnsBack) {
  const cv::Size object(30, 80), box(45, 80);
  const cv::Mat background = texturedImage(kFrame, 12);
  constexpr int kOut = 14, kFrames = 2 * kOut;
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  int followed = 0;
  for (int i = 0; i < kFrames; ++i) {
    const int steps = i < kOut ? i : 2 * kOut - i;
    cv::Mat frame = background.clone();
    frame(At({180, 240}, {7, 0}, steps, object)).setTo(30);
    const cv::Rect truth = At({180, 240}, {7, 0}, steps, box);
    if (i == 0) {
      tracker.Teach(frame, 1, truth);
      continue;
    }
    const vizmoro::TrackReport r = tracker.Track(frame).at(0);
    followed += i > kOut && r.present && IoU(r.box, truth) > 0.5;
  }
  EXPECT_GE(followed, kFrames - kOut - 3);
}

// A small orange ball turning fast as it moves over a bluish background: its texture soon looks
// like none of its taught views, and the filter, steered by the ball's colour, keeps to it while
// the memory learns them; a box of the ball's colour is the ball, however little it looks like
// the views seen so far.
TEST(Tracker, FollowsASmallTurningBallByItsColour) {
  cv::Mat background = texturedImage(kFrame, 7), texture;
  cv::GaussianBlur(background, background, cv::Size(0, 0), 6);
  cv::resize(texturedImage(cv::Size(200, 200), 33), texture, cv::Size(24, 24), 0, 0,
             cv::INTER_AREA);
  const struct {
    double speed, degrees;
    int frames;
  } kRuns[] = {{7.5, 4, 45}, {3, 6, 60}, {5, 6, 60}, {5, 7, 60}, {7, 7, 60}};
  for (const auto& run : kRuns)
    EXPECT_GE(FollowedTurningDisc(Tinted(background, kBluish), Tinted(texture, kOrange), {60, 60},
                                  cv::Point2d(0.8, 0.6) * run.speed, run.degrees, run.frames),
              run.frames - 4)
        << run.speed << " px and " << run.degrees << " degrees a frame";
}

// Two objects of different sizes on crossing paths keep their own reports.
TEST(Tracker, KeepsTwoObjectsApart) {
  Scene scene(3);
  scene.Add({60, 90}, 11);
  scene.Add({90, 50}, 12);
  std::vector<std::vector<cv::Rect>> path;
  for (int i = 0; i < 40; ++i)
    path.push_back({At({150, 240}, {4, 0.5}, i, {60, 90}), At({480, 300}, {-4, -1}, i, {90, 50})});
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  const Reports run = Follow(scene, path, tracker);
  int own[2] = {0, 0};
  for (size_t i = 0; i < run.size(); ++i) {
    ASSERT_EQ(run[i].size(), 2u);
    for (int k = 0; k < 2; ++k) {
      const vizmoro::TrackReport& r = run[i][k];
      EXPECT_EQ(r.id, k + 1);
      if (!r.present) continue;
      own[k] += IoU(r.box, path[i + 1][k]) > 0.5;
      EXPECT_GT(IoU(r.box, path[i + 1][k]), IoU(r.box, path[i + 1][1 - k]))
          << "object " << k + 1 << " frame " << i + 1;
    }
  }
  EXPECT_GE(own[0], 35);
  EXPECT_GE(own[1], 35);
}

// An object is followed as if alone, whatever else is followed beside it, and the frames are
// left as they were: the second object sits by a corner, where the flow cannot take its crop as
// a view of the frame, and its crop has the size of the first one's.
TEST(Tracker, FollowsEachObjectAsIfAlone) {
  Scene scene(7);
  scene.Add({40, 40}, 41);
  scene.Add({40, 40}, 42);
  const cv::Rect corner(45, 45, 40, 40);
  vizmoro::TrackerParams params;
  params.confirm = false;
  params.motion = Estimate::kFlow;
  CvAssociativeMemory memories[2];
  vizmoro::Tracker both(memories[0], params), alone(memories[1], params);
  for (int i = 0; i < 30; ++i) {
    const cv::Rect box = At({320, 240}, {1.5, 0.5}, i, {40, 40});
    const cv::Mat frame = scene.Frame({box, corner}), seen = frame.clone();
    if (i == 0) {
      both.Teach(frame, 1, box);
      both.Teach(frame, 2, corner);
      alone.Teach(frame, 1, box);
      continue;
    }
    const vizmoro::TrackReport beside = both.Track(frame).at(0);
    ASSERT_EQ(cv::norm(frame, seen, cv::NORM_INF), 0) << "frame " << i << " written";
    const vizmoro::TrackReport only = alone.Track(frame).at(0);
    ASSERT_EQ(beside.box, only.box) << "frame " << i;
    ASSERT_EQ(beside.present, only.present) << "frame " << i;
  }
}

// A second box of an object on a later frame is a key frame: it is taught, the object goes on
// from there, and its taught size stays the first box's.
TEST(Tracker, TakesKeyFrames) {
  Scene scene(5);
  scene.Add({50, 70}, 21);
  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  tracker.Teach(scene.Frame({cv::Rect(100, 100, 50, 70)}), 4, cv::Rect(100, 100, 50, 70));
  const int bases = memory.GetNodeCount();
  const cv::Rect moved(400, 300, 60, 84);
  Scene bigger(5);
  bigger.Add(moved.size(), 21);
  tracker.Teach(bigger.Frame({moved}), 4, moved);
  EXPECT_GE(memory.GetNodeCount(), bases);
  ASSERT_EQ(tracker.Objects().size(), 1u);
  EXPECT_EQ(tracker.Objects().at(4).keyFrames, 2);
  EXPECT_EQ(tracker.Objects().at(4).taught, cv::Size(50, 70));
  const std::vector<vizmoro::TrackReport> next =
      tracker.Track(bigger.Frame({moved + cv::Point(3, 2)}));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(next[0].present);
  EXPECT_GT(IoU(next[0].box, moved + cv::Point(3, 2)), 0.6);
}

// The state round trip: a tracker over a loaded memory knows the objects and looks for them
// over the whole frame; a state it cannot use changes nothing.
TEST(Tracker, KeepsItsStateAndRefusesAnotherOne) {
  Scene scene(9, true);
  scene.Add({48, 64}, 31);
  const cv::Rect taught(200, 150, 48, 64);
  CvAssociativeMemory memory;
  std::string state;
  {
    vizmoro::Tracker tracker(memory);
    tracker.Teach(scene.Frame({taught}), 2, taught);
    state = tracker.SaveState();
  }
  vizmoro::Tracker again(memory);
  again.LoadState(state);
  ASSERT_EQ(again.Objects().size(), 1u);
  EXPECT_EQ(again.Objects().at(2).taught, taught.size());
  EXPECT_EQ(again.SaveState(), state);
  EXPECT_NE(state.find("\ncolour 2 "), std::string::npos) << "the colour of its first box";
  // Two objects of the memory's that are nowhere in sight, small enough that a search of the
  // whole frame for either takes more reads than a frame allows, do not keep it from object 2.
  vizmoro::Tracker crowded(memory);
  crowded.LoadState(state);
  crowded.AddObject(1, {cv::Size(16, 16), 0});
  crowded.AddObject(3, {cv::Size(16, 16), 0});
  const cv::Rect elsewhere(450, 320, 48, 64);
  for (vizmoro::Tracker* t : {&again, &crowded}) {
    bool found = false;
    for (int i = 0; i < 20 && !found; ++i) {
      const std::vector<vizmoro::TrackReport> r = t->Track(scene.Frame({elsewhere}));
      ASSERT_EQ(r.size(), t == &again ? 1u : 3u);
      const vizmoro::TrackReport& two = t == &again ? r[0] : r[1];
      found = two.present && IoU(two.box, elsewhere) > 0.5;
    }
    EXPECT_TRUE(found) << "a loaded object is looked for over the whole frame";
  }

  const std::string refused[] = {
      "",
      "not a state\n",
      "vizmoro tracker state 99\n",
      "vizmoro tracker state 1\narea 80 80\nobject 2 48 64 1\n",
      "vizmoro tracker state 1\narea 64 64\nobject 0 48 64 1\n",
      "vizmoro tracker state 1\narea 64 64\nobject 3 48 64 1\nobject 3 10 10 1\n",
      "vizmoro tracker state 1\narea 64 64\nobject 3 48 -1 1\n",
      "vizmoro tracker state 1\narea 64 64\nobject 3 48 64 1\ncolour 3 0.9 0.2\n"};
  for (const std::string& text : refused) {
    EXPECT_THROW(again.LoadState(text), cv::Exception) << text;
    EXPECT_EQ(again.SaveState(), state) << text;
  }
}

// Refused calls change neither the memory nor the objects.
TEST(Tracker, RefusesWhatItCannotUse) {
  CvAssociativeMemory memory;
  vizmoro::TrackerParams tooSmall;
  tooSmall.area = cv::Size(20, 64);
  EXPECT_THROW(vizmoro::Tracker(memory, tooSmall), cv::Exception);
  vizmoro::TrackerParams noReacquire;
  noReacquire.reacquire = 0;
  EXPECT_THROW(vizmoro::Tracker(memory, noReacquire), cv::Exception);

  vizmoro::Tracker tracker(memory);
  const cv::Mat frame = texturedImage(kFrame, 1);
  const cv::Rect box(10, 10, 40, 40);
  EXPECT_THROW(tracker.Teach(frame, 0, box), cv::Exception);
  EXPECT_THROW(tracker.Teach(frame, 1, cv::Rect(620, 10, 40, 40)), cv::Exception);
  EXPECT_THROW(tracker.Teach(frame, 1, cv::Rect(10, 10, 3, 40)), cv::Exception);
  cv::Mat deep;
  frame.convertTo(deep, CV_16U);
  EXPECT_THROW(tracker.Teach(deep, 1, box), cv::Exception);
  EXPECT_THROW(tracker.Track(deep), cv::Exception);
  EXPECT_TRUE(tracker.Objects().empty());
  EXPECT_EQ(memory.GetSize(), cv::Size(0, 0));
  EXPECT_TRUE(tracker.Track(frame).empty());
  // Before the memory is created: a state for another area is refused, and a known object is
  // absent.
  EXPECT_THROW(tracker.LoadState("vizmoro tracker state 1\narea 50 50\nobject 1 9 9 1\n"),
               cv::Exception);
  tracker.AddObject(1, {cv::Size(40, 40), 0});
  const std::vector<vizmoro::TrackReport> none = tracker.Track(frame);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_FALSE(none[0].present);
  EXPECT_EQ(memory.GetSize(), cv::Size(0, 0));
}

}  // namespace
