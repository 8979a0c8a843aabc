// The tracker: motion from optical flow, judgement and learning by the associative memory.
#include <vizmoro/tracker.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <unordered_map>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "correlation_filter.hpp"
#include "file_io.hpp"

namespace vizmoro {

namespace {

// The index taught for background: never an object's (objects are 1 and up), and never
// reported by a program that lists tracked objects.
constexpr int32_t kBackground = 0;

constexpr char kStateMagic[] = "vizmoro tracker state";
constexpr int kStateVersion = 1;

// Tuning of the tracker, in the area's pixels where a length is meant.
struct Tuning {
  // Optical flow: a grid of points over the inner part of the box, tracked forward and back.
  static constexpr int kFlowGrid = 10;
  static constexpr double kFlowInset = 0.15;  // of the box, on each side
  static constexpr int kFlowWindow = 15;
  static constexpr int kFlowLevels = 3;
  static constexpr double kFlowMaxError = 3.0;     // median forward-backward error, frame pixels
  static constexpr double kFlowScaleWeight = 0.5;  // how much of the flow's size change is taken
  // Something passing in front: after this many frames confirmed, a flow further from
  // the object's own motion than this (frame pixels, at least, or of the box's smaller side)
  // while at least this part of the box's points keep that motion; then followed by those points,
  // or by its own motion, for up to this many frames, and neither learned nor lost meanwhile.
  static constexpr int kSteadyFrames = 5;
  static constexpr double kPassingReach = 3.0;
  static constexpr double kPassingReachOfSide = 0.1;
  static constexpr double kPassingPart = 0.25;
  static constexpr int kPassingFrames = 20;
  // Something of the scene in front, where the camera follows the object (a pole it walks
  // behind): the box's flow keeps to its surroundings' (within kSceneStill of the object's own
  // motion against them) for kSceneFrames frames in a row, while the surroundings move and the
  // object moves steadily against them (at least kSceneMotion frame pixels a frame, its mean
  // deviation under kOwnSpread of it, over at least kOwnFrames confirmed frames, learned at
  // kOwnRate). Then followed by the surroundings' motion and its own, as a passer. The
  // surroundings: outside the box grown kSurroundings times and the flow's window, out to twice
  // that, so that the object's own points stay out of them.
  static constexpr double kSceneMotion = 0.5;
  static constexpr double kSceneStill = 0.3;
  static constexpr int kSceneFrames = 3;
  static constexpr double kOwnSpread = 0.3;
  static constexpr int kOwnFrames = 10;
  static constexpr double kOwnRate = 0.1;
  static constexpr double kSurroundings = 2.0;
  static constexpr int kSceneGrid = 6;

  // The fine search around the prediction.
  static constexpr int kRadius = 10;
  static constexpr int kStep = 2;
  static constexpr double kScaleStep = 1.05;
  static constexpr double kOffsetCost = 10.0;    // per (offset / area side) squared
  static constexpr double kScaleCost = 2.0;      // per |log scale|
  static constexpr double kSizeWeight = 0.3;     // how much of the found size is taken per frame
  static constexpr double kMinCellPixels = 2.5;  // frame pixels across a cell that judges
  // Frames in a row that all but the finest judging level may confirm, and of them those taught
  // as the object: one, so that a view that is changing is learned, and a track sliding off its
  // object onto background is not.
  static constexpr int kPartialFrames = 4;
  static constexpr int kPartialLearned = 1;

  // The neighbourhood searched for look-alikes to teach as background while an object is
  // followed: radius in object sizes, and step.
  static constexpr double kNeighbourhood = 1.5;
  static constexpr int kNeighbourStep = 8;
  static constexpr int kBackgroundPerFrame = 2;

  // Absent objects: the search around the last place (radius grows per frame, up to a limit),
  // the frame scan's step and the sizes tried.
  static constexpr int kLostRadius = 24;
  static constexpr int kLostRadiusGrowth = 4;
  static constexpr int kLostRadiusMax = 96;
  static constexpr int kLostStep = 4;
  static constexpr double kLostScale = 1.25;
  static constexpr int kScanStep = 4;
  static constexpr double kTakenOverlap = 0.3;  // of another followed object's box

  // Colour, on colour frames: how far the object's colour must stand out from its surroundings'
  // (mean object likelihood inside its box less that around it) to be used, and the weight of a
  // candidate's colour in the search.
  static constexpr double kColourContrast = 0.15;
  static constexpr double kColourWeight = 1.0;
  // Frames in a row that the object's colour, with the motion and the coarsest level, may
  // bridge, and the colour (Candidate::colour) a box must have to be the object by its colour:
  // while bridged, and where the colour tells the object well.
  static constexpr int kColourBridgeFrames = 25;
  static constexpr double kColourAgreement = 0.5;
  // The weight of the chroma in the correlation filter (Lab's a and b to about +-2, a little
  // more than the gradients') where the object's colour stands out clearly from its
  // surroundings' (the colour model's contrast at least kClearColour); less, by the square of its
  // contrast, where it stands out less; none under kSteeringColour: colour places a box less
  // exactly than gradients do, so only a colour that tells the object well may steer the filter.
  // Such a colour also tells which box is the object, where its look may not.
  static constexpr double kChromaWeight = 1.0 / 64;
  static constexpr double kClearColour = 0.7;
  static constexpr double kSteeringColour = 0.5;

  // The object's look (a template at the area's size: half its first box in this run, half a
  // running mean of its confirmed boxes, at this rate): the weight of a window's normalised
  // correlation with it when placing the box among the windows the memory recognises as deep,
  // within this many area pixels of the memory's best; and the correlation below which the box
  // is not the object, whatever the memory says, where its colour does not tell it. A look of less
  // contrast than this (grey levels, standard deviation) tells nothing.
  static constexpr double kLookRate = 0.2;
  static constexpr double kLookWeight = 2.0;
  static constexpr double kLookReach = 10.0;
  static constexpr double kLookVeto = 0.25;
  static constexpr double kLookContrast = 2.0;
  // A confirmed box is learned, and taken into the look, only where its likeness is at least
  // this: a box sliding off its object onto a neighbour the memory's coarser levels still take
  // for it is not taught, so the slide does not feed itself.
  static constexpr double kLookLearn = 0.55;

  // The correlation filter's learning rate, where it is the motion estimate.
  static constexpr double kFilterRate = 0.02;
  // A second witness for teaching a view the look does not match (an object turning or growing):
  // the filter agrees with the flow and its peak keeps at least this part of its usual sharpness
  // (a running mean, at this rate, over the frames taught). An object gone all at once takes
  // the peak's sharpness down to a quarter or less.
  static constexpr double kSureSharpness = 0.4;
  static constexpr double kSharpnessRate = 0.1;
  // A filter whose peak keeps this part of its usual sharpness where it leaves both the flow and
  // the object's steady motion is the object turning or the box coming back onto it, not a jump
  // to a look-alike: a look-alike that overlaps the object shares the peak with it.
  static constexpr double kTrustedSharpness = 0.7;

  // Warped copies of a taught box.
  static constexpr double kWarpAngle = 6.0;  // degrees
  static constexpr double kWarpScale = 0.06;
  static constexpr double kWarpShift = 0.03;  // of the area side
  static constexpr double kWarpNoise = 5.0;   // grey levels, standard deviation
  static constexpr double kWarpGain = 0.1;
};

cv::Mat ToGrey(const cv::Mat& frame, const char* operation) {
  if (frame.empty() || frame.depth() != CV_8U ||
      (frame.channels() != 1 && frame.channels() != 3 && frame.channels() != 4))
    cv::error(cv::Error::StsUnsupportedFormat, "A frame must be 8-bit with 1, 3 or 4 channels",
              operation, __FILE__, __LINE__);
  if (frame.channels() == 1) return frame;
  cv::Mat grey;
  cv::cvtColor(frame, grey, frame.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
  return grey;
}

// A frame and the halvings of it that resampling needs, made when first asked for.
class Pyramid {
 public:
  void Reset(const cv::Mat& grey) { levels_.assign(1, grey); }
  const cv::Mat& Level(int k) {
    while (static_cast<int>(levels_.size()) <= k) {
      cv::Mat half;
      cv::pyrDown(levels_.back(), half);
      levels_.push_back(half);
    }
    return levels_[k];
  }

 private:
  std::vector<cv::Mat> levels_;
};

// Resamples the frame into `patch` (size `out`) so that the frame point `centre` lands on the
// patch point `at`, with `scale` patch pixels per frame pixel along each axis, turned by `angle`
// degrees. Shrinking goes through the pyramid so that no frame pixel is skipped.
void Resample(Pyramid& pyramid, cv::Point2d centre, cv::Vec2d scale, cv::Point2d at, cv::Size out,
              cv::Mat& patch, double angle = 0) {
  int k = 0;
  while (k < 6 && std::max(scale[0], scale[1]) * (1 << (k + 1)) <= 1.0) ++k;
  const double f = 1 << k;
  const cv::Mat& source = pyramid.Level(k);
  // Continuous coordinates (a pixel covers [i, i + 1)); level k halves them k times.
  const double c = std::cos(angle * CV_PI / 180), s = std::sin(angle * CV_PI / 180);
  const double a = scale[0] * f, d = scale[1] * f;
  const cv::Matx22d linear(a * c, -a * s, d * s, d * c);
  const cv::Vec2d from(centre.x / f, centre.y / f);
  const cv::Vec2d shift = cv::Vec2d(at.x, at.y) - linear * from;
  // warpAffine maps pixel centres: u + 0.5 = L (x + 0.5) + shift.
  const cv::Vec2d half = linear * cv::Vec2d(0.5, 0.5);
  const cv::Matx23d m(linear(0, 0), linear(0, 1), shift[0] + half[0] - 0.5, linear(1, 0),
                      linear(1, 1), shift[1] + half[1] - 0.5);
  cv::warpAffine(source, patch, m, out, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
}

struct Box {
  cv::Point2d centre;
  cv::Size2d size;
  cv::Rect Pixels() const {
    return cv::Rect(static_cast<int>(std::lround(centre.x - size.width / 2)),
                    static_cast<int>(std::lround(centre.y - size.height / 2)),
                    static_cast<int>(std::lround(size.width)),
                    static_cast<int>(std::lround(size.height)));
  }
  static Box Of(const cv::Rect& r) {
    return {cv::Point2d(r.x + r.width / 2.0, r.y + r.height / 2.0), cv::Size2d(r.width, r.height)};
  }
};

struct Candidate {
  double score = -1;
  Box box;
  double offset = 0;  // from the search's centre, in area sides
  double logScale = 0;
  // How much its box has its object's colour: 0 for the surroundings' mean, 1 (at most) for the
  // taught box's; 0 where colour is not known.
  double colour = 0;
  // How closely its window matches the object's look (normalised correlation, -1..1); 0 where
  // not measured.
  double likeness = 0;
};

// The motion of a box between two frames.
struct Motion {
  bool ok = false;
  cv::Point2d shift;
  double scale = 1;
  std::vector<cv::Point2d> shifts;  // of the points that give it
};

// The pyramids that the flow is computed on, kept between calls: a crop of the last one's size
// reuses their memory.
struct FlowPyramids {
  std::vector<cv::Mat> previous, current;
};

// The motion of `box`'s points on a grid of `grid` x `grid`, or, with `hole`, of those outside
// `hole`.
Motion FlowOf(const cv::Mat& previous, const cv::Mat& current, const Box& box,
              FlowPyramids& pyramids, const Box* hole = nullptr, int grid = Tuning::kFlowGrid) {
  Motion motion;
  const cv::Rect frame(cv::Point(), current.size());
  const cv::Rect inner = box.Pixels() & frame;
  if (inner.width < 2 || inner.height < 2) return motion;
  // Only the neighbourhood of the box is needed: flow works on a crop of both frames. Around a
  // hole, the box is already the neighbourhood.
  const int margin = hole ? 32 : std::max({inner.width, inner.height, 32});
  const cv::Rect crop = cv::Rect(inner.x - margin, inner.y - margin, inner.width + 2 * margin,
                                 inner.height + 2 * margin) &
                        frame;
  std::vector<cv::Point2f> points, forward, backward;
  const double x0 = box.centre.x - box.size.width * (0.5 - Tuning::kFlowInset);
  const double y0 = box.centre.y - box.size.height * (0.5 - Tuning::kFlowInset);
  const double dx = box.size.width * (1 - 2 * Tuning::kFlowInset) / (grid - 1);
  const double dy = box.size.height * (1 - 2 * Tuning::kFlowInset) / (grid - 1);
  for (int j = 0; j < grid; ++j)
    for (int i = 0; i < grid; ++i) {
      const cv::Point2f p(static_cast<float>(x0 + i * dx - crop.x),
                          static_cast<float>(y0 + j * dy - crop.y));
      const bool hidden = hole && std::abs(p.x + crop.x - hole->centre.x) < hole->size.width / 2 &&
                          std::abs(p.y + crop.y - hole->centre.y) < hole->size.height / 2;
      if (!hidden && p.x >= 0 && p.y >= 0 && p.x < crop.width && p.y < crop.height)
        points.push_back(p);
    }
  if (points.size() < static_cast<size_t>(Tuning::kFlowGrid)) return motion;
  const cv::TermCriteria until(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03);
  const cv::Size window(Tuning::kFlowWindow, Tuning::kFlowWindow);
  // Each crop's pyramid, built once for both directions.
  std::vector<cv::Mat>& a = pyramids.previous;
  std::vector<cv::Mat>& b = pyramids.current;
  // The finest level may be a view of the frame it was built on. Built again from a crop of the
  // same size that cannot be such a view (by the frame's edge), that level, grown by its border,
  // would be reused, and the crop written into the old frame (the caller's own, if grey).
  for (std::vector<cv::Mat>* pyramid : {&a, &b})
    if (!pyramid->empty()) pyramid->front().release();
  const int levels = cv::buildOpticalFlowPyramid(previous(crop), a, window, Tuning::kFlowLevels);
  cv::buildOpticalFlowPyramid(current(crop), b, window, Tuning::kFlowLevels);
  std::vector<uchar> found, foundBack;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(a, b, points, forward, found, error, window, levels, until);
  cv::calcOpticalFlowPyrLK(b, a, forward, backward, foundBack, error, window, levels, until);
  std::vector<double> errors;
  std::vector<size_t> tracked;
  for (size_t i = 0; i < points.size(); ++i)
    if (found[i] && foundBack[i]) {
      tracked.push_back(i);
      errors.push_back(cv::norm(backward[i] - points[i]));
    }
  if (tracked.size() < static_cast<size_t>(Tuning::kFlowGrid)) return motion;
  std::vector<double> sorted = errors;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const double medianError = sorted[sorted.size() / 2];
  // The better half of the points by their forward-backward error give the motion.
  std::vector<cv::Point2f> from, to;
  for (size_t k = 0; k < tracked.size(); ++k)
    if (errors[k] <= medianError) {
      from.push_back(points[tracked[k]]);
      to.push_back(forward[tracked[k]]);
    }
  auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  std::vector<double> xs, ys, ratios;
  for (size_t k = 0; k < from.size(); ++k) {
    xs.push_back(to[k].x - from[k].x);
    ys.push_back(to[k].y - from[k].y);
    for (size_t l = k + 1; l < from.size(); ++l) {
      const double before = cv::norm(from[k] - from[l]);
      if (before > 1e-3) ratios.push_back(cv::norm(to[k] - to[l]) / before);
    }
  }
  for (size_t k = 0; k < from.size(); ++k) motion.shifts.emplace_back(xs[k], ys[k]);
  motion.shift = cv::Point2d(median(xs), median(ys));
  motion.scale = ratios.empty() ? 1.0 : median(ratios);
  motion.ok = medianError <= Tuning::kFlowMaxError && motion.scale > 0.5 && motion.scale < 2.0;
  return motion;
}

// The part of `box` inside a frame of `size`, 0..1.
double Inside(const Box& box, cv::Size size) {
  const cv::Rect2d r(box.centre.x - box.size.width / 2, box.centre.y - box.size.height / 2,
                     box.size.width, box.size.height);
  const double area = r.area();
  return area > 0 ? (r & cv::Rect2d(0, 0, size.width, size.height)).area() / area : 0;
}

double Overlap(const Box& a, const Box& b) {
  const cv::Rect2d ra(a.centre.x - a.size.width / 2, a.centre.y - a.size.height / 2, a.size.width,
                      a.size.height);
  const cv::Rect2d rb(b.centre.x - b.size.width / 2, b.centre.y - b.size.height / 2, b.size.width,
                      b.size.height);
  const double inter = (ra & rb).area();
  const double both = ra.area() + rb.area() - inter;
  return both > 0 ? inter / both : 0;
}

// Colour of an object against its surroundings, for frames in colour: how likely each colour
// bin is to be the object's rather than its surroundings', from the first box taught.
// Saturated pixels fall in hue-saturation bins, greyish ones (whose hue means little) in bins of
// their value.
class ColourModel {
 public:
  static constexpr int kHueBins = 12, kSatBins = 4, kGreyBins = 4;
  static constexpr int kBins = kHueBins * kSatBins + kGreyBins;
  static constexpr int kGreySaturation = 40, kDark = 32;

  // The bin of each pixel of an HSV image, as an 8-bit image. The saturation and value decide
  // between a hue-saturation bin and a grey one, so a table over both and one over the hue give
  // any pixel's bin in two look-ups.
  static void Bins(const cv::Mat& hsv, cv::Mat& bins) {
    static const std::vector<uint8_t> kSatOrGrey = [] {
      std::vector<uint8_t> t(256 * 256);
      for (int sat = 0; sat < 256; ++sat)
        for (int value = 0; value < 256; ++value)
          t[sat * 256 + value] = static_cast<uint8_t>(sat < kGreySaturation || value < kDark
                                                          ? kSatBins + value * kGreyBins / 256
                                                          : (sat - kGreySaturation) * kSatBins /
                                                                (256 - kGreySaturation));
      return t;
    }();
    bins.create(hsv.size(), CV_8U);
    for (int y = 0; y < hsv.rows; ++y) {
      const uint8_t* p = hsv.ptr<uint8_t>(y);
      uint8_t* b = bins.ptr<uint8_t>(y);
      for (int x = 0; x < hsv.cols; ++x, p += 3) {
        const int code = kSatOrGrey[p[1] * 256 + p[2]];
        b[x] = static_cast<uint8_t>(
            code < kSatBins ? std::min(kHueBins - 1, p[0] * kHueBins / 180) * kSatBins + code
                            : kHueBins * kSatBins + code - kSatBins);
      }
    }
  }

  // Learns the object from `box` and its surroundings (the box grown by half its size each
  // way) on the colour frame `bgr`.
  void Teach(const cv::Mat& bgr, const cv::Rect& box) {
    const cv::Rect frame(cv::Point(), bgr.size());
    const cv::Rect around =
        cv::Rect(box.x - box.width / 2, box.y - box.height / 2, box.width * 2, box.height * 2) &
        frame;
    cv::Mat bins;
    Bins(Hsv(bgr, around), bins);
    std::array<double, kBins> inside{}, outside{};
    double in = 0, out = 0;
    for (int y = 0; y < bins.rows; ++y)
      for (int x = 0; x < bins.cols; ++x) {
        const int bin = bins.at<uint8_t>(y, x);
        if (box.contains(cv::Point(x + around.x, y + around.y))) {
          inside[bin] += 1;
          in += 1;
        } else {
          outside[bin] += 1;
          out += 1;
        }
      }
    if (in == 0 || out == 0) return;
    inside_ = outside_ = 0;
    for (int b = 0; b < kBins; ++b) {
      const double o = inside[b] / in, g = outside[b] / out;
      ratio_[b] = static_cast<float>((o + 1e-3) / (o + g + 2e-3));
      inside_ += o * ratio_[b];
      outside_ += g * ratio_[b];
    }
    ok_ = true;
  }

  // Whether the object's colour tells it from its surroundings at all.
  bool Telling(double contrast) const { return ok_ && inside_ - outside_ >= contrast; }
  // How far it does: the box's mean likelihood less its surroundings'.
  double Contrast() const { return ok_ ? inside_ - outside_ : 0; }

  // The model as words of the state file: the box's and the surroundings' mean likelihood, then
  // each bin's, written so that they read back to the bit. Empty where nothing was learned.
  std::string Words() const {
    if (!ok_) return {};
    std::ostringstream out;
    out.precision(17);
    out << inside_ << ' ' << outside_;
    out.precision(9);
    for (const float r : ratio_) out << ' ' << r;
    return out.str();
  }
  // Reads Words(); false, with the model unchanged, where they are not a model.
  bool Read(std::istream& words) {
    ColourModel m;
    bool sound = static_cast<bool>(words >> m.inside_ >> m.outside_) && m.inside_ >= 0 &&
                 m.inside_ <= 1 && m.outside_ >= 0 && m.outside_ <= 1;
    for (float& r : m.ratio_) sound = sound && (words >> r) && r >= 0 && r <= 1;
    std::string more;
    if (!sound || words >> more) return false;
    m.ok_ = true;
    *this = m;
    return true;
  }

  // A mean object likelihood on the scale from the surroundings' (0) to the taught box's (1).
  double Relative(double likelihood) const {
    return (likelihood - outside_) / (inside_ - outside_);
  }

  // The map of `region` where each pixel holds the likelihood of the object's colour, summed
  // (an integral image), for the mean over any box inside it.
  void Map(const cv::Mat& bgr, const cv::Rect& region, cv::Mat& integral) const {
    cv::Mat bins;
    Bins(Hsv(bgr, region), bins);
    cv::Mat likely(bins.size(), CV_32F);
    for (int y = 0; y < bins.rows; ++y) {
      const uint8_t* b = bins.ptr<uint8_t>(y);
      float* l = likely.ptr<float>(y);
      for (int x = 0; x < bins.cols; ++x) l[x] = ratio_[b[x]];
    }
    cv::integral(likely, integral, CV_64F);
  }

 private:
  static cv::Mat Hsv(const cv::Mat& bgr, const cv::Rect& r) {
    cv::Mat hsv;
    if (bgr.channels() == 4) {
      cv::Mat three;
      cv::cvtColor(bgr(r), three, cv::COLOR_BGRA2BGR);
      cv::cvtColor(three, hsv, cv::COLOR_BGR2HSV);
    } else {
      cv::cvtColor(bgr(r), hsv, cv::COLOR_BGR2HSV);
    }
    return hsv;
  }

  bool ok_ = false;
  std::array<float, kBins> ratio_{};
  double inside_ = 0, outside_ = 0;
};

}  // namespace

struct Tracker::Impl {
  enum class Phase { kFollowed, kAbsent };

  // The run-time state of one object.
  struct Follow {
    int32_t id = 0;
    bool placed = false;  // it has a last place in this video
    Phase phase = Phase::kAbsent;
    Box box;
    cv::Point2d velocity;
    int steady = 0;        // frames confirmed since it was taken up
    int passing = 0;       // frames left of something passing in front
    int behind = 0;        // frames left of something of the scene in front
    int withScene = 0;     // frames in a row its box moved with its surroundings
    cv::Point2d own;       // its motion against its surroundings, a running mean
    double ownSpread = 0;  // the mean deviation from it
    int ownFrames = 0;     // confirmed frames it was measured on
    // The last frames' measures, taken into `own` only once no scene was found in front on them:
    // a box being pulled off by the scene must not teach that the object moves with the scene.
    std::deque<cv::Point2d> ownPending;
    int unconfirmed = 0;  // frames followed by motion alone
    int sinceFull = 0;    // frames since every level of the memory recognised it
    int lostFrames = 0;   // frames absent
    int recognised = 0;   // consecutive frames recognised while absent
    Box candidate;        // where it was recognised last
    int scanRow = 0;      // the frame scan's next row of windows
    double confidence = 0;
    double sharpness = 0;  // the filter's usual sharpness where taught; 0: none yet
  };

  CvAssociativeMemory& memory;
  TrackerParams params;
  std::map<int32_t, TrackedObjectState> objects;
  std::map<int32_t, Follow> follows;
  cv::Mat previous;                        // the last frame, grey
  cv::Mat colour;                          // the current frame when it is in colour
  cv::Mat sums;                            // the colour likelihood around a search, summed
  std::map<int32_t, ColourModel> colours;  // by object: from its first box, on a colour frame
  // Each object's look at the area's size: its first box in this run and a running mean of its
  // confirmed boxes (32-bit float); the search matches half of each (`both`).
  struct Look {
    cv::Mat first, recent, both;
    bool telling = false;  // enough contrast to be matched
  };
  std::map<int32_t, Look> looks;
  // Object `id`'s look where it has one with contrast enough to be matched; else null.
  const Look* TellingLook(int32_t id) const {
    const auto known = looks.find(id);
    return known != looks.end() && known->second.telling ? &known->second : nullptr;
  }
  std::map<int32_t, detail::CorrelationFilter> filters;
  cv::Mat patchFloat, likeness;  // scratch of the look's match
  Pyramid pyramid;
  FlowPyramids flowPyramids;
  cv::Mat patch;

  // Node levels by id, to tell how deep a read went; rebuilt when the tree changed.
  std::unordered_map<uint64_t, int16_t> levelOf;
  std::vector<cv::Size> cells;  // cells across a window compared at each level
  uint64_t levelsFor = 0;
  int countFor = -1;
  int depth = 1;

  Impl(CvAssociativeMemory& m, const TrackerParams& p) : memory(m), params(p) {}

  cv::Size Area() const { return memory.GetSize(); }
  // Whether a correlation filter is the motion estimate.
  bool Filtered() const {
    return params.motion == TrackerParams::MotionEstimate::kCorrelationFilter;
  }

  void RefreshLevels() {
    if (memory.GetLastNodeId() == levelsFor && memory.GetNodeCount() == countFor) return;
    levelOf.clear();
    memory.VisitNodes(
        [](int cols, int rows, const int16_t*, int32_t*, uint64_t id, uint64_t, int, int16_t level,
           void* user) {
          Impl& t = *static_cast<Impl*>(user);
          t.levelOf[id] = level;
          if (t.cells.size() <= static_cast<size_t>(level)) t.cells.resize(level + 1);
          t.cells[level] = cv::Size(cols + 1, rows + 1);
          return true;
        },
        this);
    levelsFor = memory.GetLastNodeId();
    countFor = memory.GetNodeCount();
    depth = std::max<int>(1, memory.GetMaxDepth());
  }

  // How deep the memory recognises `window` of the current image as object `id`: the level
  // where its walk ended plus the similarity there; 0 for anything else. Every level
  // recognising it gives more than depth + 0.5. A walk that ends part-way ends on a base that
  // many objects (and background) share, whose index is only the last one taught through it:
  // what the window is, is what the deepest base along its best children holds.
  double Score(const cv::Rect& window, int32_t id) {
    cv::Rect found;
    int32_t* data = nullptr;
    uint64_t base = 0;
    double similarity = 0;
    const bool matched = memory.Read(window, found, &data, &base, nullptr, &similarity, false);
    const auto level = levelOf.find(base);
    if (level == levelOf.end()) return 0;  // the root: nothing recognised
    if (matched || *data == id) return *data == id ? level->second + similarity : 0;
    double unused = 0;
    memory.Read(window, found, &data, nullptr, nullptr, &unused, true);
    return *data == id ? level->second + similarity : 0;
  }
  // The deepest level whose cells span enough of the object's own pixels to tell it by: finer
  // cells of a small object only see the resampling. The memory learned it at its taught size: a
  // box grown since shows no more detail of it than it knew.
  // Taking an object up again, the memory judges it at its taught size whatever its size now:
  // a view shrunk with distance must not let coarser levels take look-alikes for it.
  int Judged(const Box& box, int32_t id, bool again = false) const {
    cv::Size2d size = box.size;
    const auto object = objects.find(id);
    if (object != objects.end()) {
      const cv::Size2d taught(object->second.taught);
      size = again ? taught
                   : cv::Size2d(std::min(size.width, taught.width),
                                std::min(size.height, taught.height));
    }
    for (int m = std::min<int>(depth, static_cast<int>(cells.size()) - 1); m > 1; --m)
      if (size.width / cells[m].width >= Tuning::kMinCellPixels &&
          size.height / cells[m].height >= Tuning::kMinCellPixels)
        return m;
    return 1;
  }
  // Whether `score` recognises `box` at every level that can judge it: that level accepted it
  // (a walk that ends at level m scores m up to m + 0.5; one through every level, more).
  bool Recognised(double score, const Box& box, int32_t id, bool again = false) const {
    const int judged = Judged(box, id, again);
    return judged < depth ? score >= judged : score > depth + 0.5;
  }

  cv::Vec2d ScaleOf(const cv::Size2d& size) const {
    const cv::Size area = Area();
    return cv::Vec2d(area.width / size.width, area.height / size.height);
  }

  // Puts the region around `box` into the memory's image, with `margin` area pixels around the
  // box's own window, which lies at (margin, margin).
  void Show(const Box& box, int margin) {
    Fill(box, margin);
    memory.SetImage(patch);
  }
  // The same region into `patch` alone, turned by `angle` degrees and moved by `shift` area
  // pixels.
  void Fill(const Box& box, int margin, double angle = 0, cv::Point2d shift = {}) {
    const cv::Size area = Area();
    Resample(pyramid, box.centre, ScaleOf(box.size),
             cv::Point2d(margin + area.width / 2.0 + shift.x, margin + area.height / 2.0 + shift.y),
             cv::Size(area.width + 2 * margin, area.height + 2 * margin), patch, angle);
  }
  // Room around a taught window, so that the shifted windows a new base is measured with stay
  // inside the image.
  int Margin() const { return Area().width / 4; }

  // The likeness of `look` at each place of `seen` (8-bit), in `likeness`.
  const cv::Mat& Likeness(const cv::Mat& seen, const cv::Mat& look) {
    seen.convertTo(patchFloat, CV_32F);
    cv::matchTemplate(patchFloat, look, likeness, cv::TM_CCOEFF_NORMED);
    return likeness;
  }

  // Reads windows around `around` at each size of `scales`, `radius` area pixels each way at
  // `step`; appends every window as a candidate, with its likeness to `look` where given.
  void Search(const Box& around, int32_t id, int radius, int step,
              const std::vector<double>& scales, std::vector<Candidate>& out,
              const cv::Mat* look = nullptr) {
    const cv::Size area = Area();
    for (double scale : scales) {
      const Box sized{around.centre, around.size * scale};
      Show(sized, radius);
      if (look) Likeness(patch, *look);
      const cv::Vec2d s = ScaleOf(sized.size);
      for (int dy = -radius; dy <= radius; dy += step)
        for (int dx = -radius; dx <= radius; dx += step) {
          Candidate c;
          c.score = Score(cv::Rect(radius + dx, radius + dy, area.width, area.height), id);
          if (look) c.likeness = likeness.at<float>(radius + dy, radius + dx);
          c.box = {around.centre + cv::Point2d(dx / s[0], dy / s[1]), sized.size};
          c.offset = std::hypot(dx / static_cast<double>(area.width),
                                dy / static_cast<double>(area.height));
          c.logScale = std::log(scale);
          out.push_back(c);
        }
    }
  }

  // The deepest base along the best children of `box`'s window.
  uint64_t Leaf(const Box& box) {
    const int margin = Margin();
    Show(box, margin);
    cv::Rect found;
    uint64_t base = 0;
    memory.Read(cv::Rect(cv::Point(margin, margin), Area()), found, nullptr, &base, nullptr,
                nullptr, true);
    return base;
  }

  void Write(const Box& box, int32_t id) {
    const int margin = Margin();
    Show(box, margin);
    memory.Write(cv::Rect(cv::Point(margin, margin), Area()), &id);
  }

  // Teaches the box and warped copies of it.
  void TeachWarps(const Box& box, int32_t id, int keyFrame) {
    const cv::Size area = Area();
    const int margin = Margin();
    cv::RNG rng(0x5eedULL * static_cast<uint64_t>(id) + static_cast<uint64_t>(keyFrame));
    cv::Mat noisy;
    for (int i = 0; i <= params.warps; ++i) {
      double angle = 0, scale = 1, gain = 1, noise = 0;
      cv::Point2d shift;
      bool blur = false;
      if (i > 0) {
        angle = rng.uniform(-Tuning::kWarpAngle, Tuning::kWarpAngle);
        scale = 1 + rng.uniform(-Tuning::kWarpScale, Tuning::kWarpScale);
        shift = cv::Point2d(rng.uniform(-Tuning::kWarpShift, Tuning::kWarpShift) * area.width,
                            rng.uniform(-Tuning::kWarpShift, Tuning::kWarpShift) * area.height);
        blur = rng.uniform(0, 2) == 1;
        noise = rng.uniform(0.0, Tuning::kWarpNoise);
        gain = 1 + rng.uniform(-Tuning::kWarpGain, Tuning::kWarpGain);
      }
      Fill(Box{box.centre, box.size / scale}, margin, angle, shift);
      if (i > 0) {
        patch.convertTo(noisy, CV_32F, gain);
        if (blur) cv::GaussianBlur(noisy, noisy, cv::Size(3, 3), 0);
        if (noise > 0) {
          cv::Mat grain(noisy.size(), CV_32F);
          rng.fill(grain, cv::RNG::NORMAL, 0.0, noise);
          noisy += grain;
        }
        noisy.convertTo(patch, CV_8U);
      }
      memory.SetImage(patch);
      memory.Write(cv::Rect(cv::Point(margin, margin), area), &id);
    }
  }

  // The colour model of object `id` where this frame is in colour and the model tells the object
  // from its surroundings; else null.
  const ColourModel* ColourOf(int32_t id) const {
    const auto model = colours.find(id);
    return !colour.empty() && model != colours.end() &&
                   model->second.Telling(Tuning::kColourContrast)
               ? &model->second
               : nullptr;
  }

  // The weight of the chroma in object `id`'s correlation filter: 0 where its colour does not
  // tell it well from its surroundings.
  double Chroma(int32_t id) const {
    const auto model = colours.find(id);
    if (model == colours.end() || !model->second.Telling(Tuning::kSteeringColour)) return 0;
    const double clear = std::min(1.0, model->second.Contrast() / Tuning::kClearColour);
    return Tuning::kChromaWeight * clear * clear;
  }
  // Whether this frame is in colour and object `id`'s colour tells it well from its surroundings.
  bool ClearColour(int32_t id) const { return ColourOf(id) && Chroma(id) > 0; }

  // Gives each candidate its colour term: how much its box has the object's colour rather than
  // the object's surroundings'. Among windows the memory scores alike, it keeps the box on the
  // object rather than on a patch of background the memory cannot tell from it.
  void Colour(int32_t id, std::vector<Candidate>& candidates) {
    const ColourModel* model = ColourOf(id);
    if (!model || candidates.empty()) return;
    cv::Rect2d span;
    for (const Candidate& c : candidates) {
      const cv::Rect2d r(c.box.centre.x - c.box.size.width / 2,
                         c.box.centre.y - c.box.size.height / 2, c.box.size.width,
                         c.box.size.height);
      span = span.area() > 0 ? (span | r) : r;
    }
    const cv::Rect region = cv::Rect(cv::Point(static_cast<int>(std::floor(span.x)),
                                               static_cast<int>(std::floor(span.y))),
                                     cv::Point(static_cast<int>(std::ceil(span.br().x)),
                                               static_cast<int>(std::ceil(span.br().y)))) &
                            cv::Rect(cv::Point(), colour.size());
    if (region.empty()) return;
    model->Map(colour, region, sums);
    for (Candidate& c : candidates) {
      const cv::Rect r = (c.box.Pixels() & region) - region.tl();
      if (r.empty()) continue;
      const double sum = sums.at<double>(r.br().y, r.br().x) - sums.at<double>(r.y, r.br().x) -
                         sums.at<double>(r.br().y, r.x) + sums.at<double>(r.y, r.x);
      c.colour = std::min(1.0, model->Relative(sum / r.area()));
    }
  }

  // A candidate's worth: the memory's score, less the costs of its offset and size, plus its
  // colour, and its likeness to the object's look where `look`.
  static double Value(const Candidate& c, bool look) {
    return c.score - Tuning::kOffsetCost * c.offset * c.offset -
           Tuning::kScaleCost * std::abs(c.logScale) + Tuning::kColourWeight * c.colour +
           (look ? Tuning::kLookWeight * c.likeness : 0);
  }
  static const Candidate* Best(const std::vector<Candidate>& all, bool withCosts) {
    const Candidate* best = nullptr;
    double bestValue = 0;
    for (const Candidate& c : all) {
      const double value = withCosts ? Value(c, false) : c.score;
      if (!best || value > bestValue) {
        best = &c;
        bestValue = value;
      }
    }
    return best;
  }
  // Where to place the box: the memory's best, `best`, moved to the window near it, of its size,
  // that the memory recognises as deep and that is worth most with its likeness to the look.
  // The memory decides which object is where; the look, where exactly its box lies.
  const Candidate* Placed(const std::vector<Candidate>& all, const Candidate* best) const {
    if (!best) return best;
    const double level = std::floor(best->score);
    const double reach = Tuning::kLookReach / Area().width;
    const Candidate* moved = best;
    double bestValue = Value(*best, true);
    for (const Candidate& c : all) {
      if (c.score < level || c.logScale != best->logScale) continue;
      const double dx = (c.box.centre.x - best->box.centre.x) / c.box.size.width;
      const double dy = (c.box.centre.y - best->box.centre.y) / c.box.size.height;
      if (std::hypot(dx, dy) > reach) continue;
      const double value = Value(c, true);
      if (value > bestValue) {
        moved = &c;
        bestValue = value;
      }
    }
    return moved;
  }

  std::vector<double> Scales() const { return {1 / Tuning::kScaleStep, 1.0, Tuning::kScaleStep}; }

  // How far a shift may stray from another before they disagree, in frame pixels.
  static double Reach(const Follow& f) {
    return std::max(Tuning::kPassingReach,
                    Tuning::kPassingReachOfSide * std::min(f.box.size.width, f.box.size.height));
  }

  // Whether something passes in front of `f`: its box's flow turns away from the object's steady
  // motion while part of the box keeps that motion. Then `motion` becomes that part's, or, once
  // the passer covers the box, the object's own motion, for a while.
  static bool PassingInFront(Follow& f, Motion& motion) {
    const bool was = f.passing > 0;
    if (!was && f.steady < Tuning::kSteadyFrames) return false;
    const double reach = Reach(f);
    if (cv::norm(motion.shift - f.velocity) <= reach) {
      f.passing = 0;
      return false;
    }
    std::vector<double> xs, ys;
    for (const cv::Point2d& s : motion.shifts)
      if (cv::norm(s - f.velocity) <= reach) {
        xs.push_back(s.x);
        ys.push_back(s.y);
      }
    if (!xs.empty() && xs.size() >= Tuning::kPassingPart * motion.shifts.size()) {
      std::nth_element(xs.begin(), xs.begin() + xs.size() / 2, xs.end());
      std::nth_element(ys.begin(), ys.begin() + ys.size() / 2, ys.end());
      motion.shift = cv::Point2d(xs[xs.size() / 2], ys[ys.size() / 2]);
    } else if (was) {
      motion.shift = f.velocity;
    } else {
      return false;
    }
    motion.scale = 1;
    f.passing = (was ? f.passing : Tuning::kPassingFrames + 1) - 1;
    return f.passing > 0;
  }

  // The surroundings of `box`, for their motion.
  static void Surroundings(const Box& box, Box& hole, Box& around) {
    const cv::Size2d window(Tuning::kFlowWindow, Tuning::kFlowWindow);
    hole = {box.centre, box.size * Tuning::kSurroundings + window};
    around = {box.centre, hole.size * 2.0};
  }

  // Whether something of the scene is in front of `f`, whose box moved by `motion` and its
  // surroundings by `scene`: a camera that follows an object moves the scene past it, and a box
  // left on a pole it passes behind moves with the scene. Then `motion` becomes the object's own
  // motion added to the scene's, for a while, or until the box's flow shows that motion again.
  bool SceneInFront(Follow& f, Motion& motion, const Motion& scene,
                    std::vector<Candidate>& scratch) {
    const bool was = f.behind > 0;
    const double own = cv::norm(f.own);
    const cv::Point2d seen = motion.shift - scene.shift;
    const bool steady = own >= Tuning::kSceneMotion && f.ownFrames >= Tuning::kOwnFrames &&
                        f.ownSpread <= Tuning::kOwnSpread * own;
    if (!scene.ok || !steady || (!was && cv::norm(scene.shift) < Tuning::kSceneMotion)) {
      f.behind = f.withScene = 0;
      return false;
    }
    if (cv::norm(seen) > Tuning::kSceneStill * own) {
      f.withScene = 0;
      // Half its own motion seen again: it is in sight again.
      if (!was || cv::norm(seen - f.own) <= 0.5 * own) {
        f.behind = 0;
        return false;
      }
    } else if (!was && ++f.withScene < Tuning::kSceneFrames) {
      return false;
    }
    // Unless the object itself has stopped against the scene: near where its box's flow leads,
    // the memory recognises it and it clearly looks like it.
    if (InSight(Box{f.box.centre + motion.shift, f.box.size}, f.id, scratch)) {
      f.behind = f.withScene = 0;
      return false;
    }
    motion.shift = scene.shift + f.own;
    motion.scale = 1;
    f.ownPending.clear();
    f.behind = (was ? f.behind : Tuning::kPassingFrames + 1) - 1;
    if (f.behind == 0) f.withScene = 0;
    return f.behind > 0;
  }

  // Whether the memory recognises object `id` near `box` of the current frame, and the place it
  // finds clearly looks like it and not unlike its first view: a box that a pole of the scene
  // has pulled off the object may still look like what the object's look learned lately.
  bool InSight(const Box& box, int32_t id, std::vector<Candidate>& scratch) {
    const Look* look = TellingLook(id);
    scratch.clear();
    Search(box, id, Tuning::kRadius / 2, Tuning::kStep, {1.0}, scratch,
           look ? &look->both : nullptr);
    Colour(id, scratch);
    const Candidate* chosen = Best(scratch, true);
    if (!chosen || !Recognised(chosen->score, chosen->box, id)) return false;
    if (!look) return true;
    const Candidate* placed = Placed(scratch, chosen);
    if (placed->likeness < Tuning::kLookLearn) return false;
    Fill(placed->box, 0);
    return Likeness(patch, look->first).at<float>(0, 0) >= Tuning::kLookVeto;
  }

  void FollowObject(Follow& f, const cv::Mat& grey, std::vector<Candidate>& scratch) {
    Motion motion = previous.empty() ? Motion{} : FlowOf(previous, grey, f.box, flowPyramids);
    // The scene's motion serves only the memory's judgement: motion alone never learns the
    // object's own motion against it.
    Motion scene;
    if (motion.ok && params.confirm) {
      Box hole, around;
      Surroundings(f.box, hole, around);
      scene = FlowOf(previous, grey, around, flowPyramids, &hole, Tuning::kSceneGrid);
    }
    const cv::Point2d flowed = motion.shift;
    Box predicted = f.box;
    const bool passing =
        motion.ok && (PassingInFront(f, motion) || SceneInFront(f, motion, scene, scratch));
    // The correlation filter, where it is the estimate, gives the shift and size change of an
    // object that nothing passes in front of; the flow still tells a passer, and where it fails
    // so does the motion (the memory may then bridge no view).
    detail::CorrelationFilter* filter = nullptr;
    double sharpness = 0;
    bool sharp = false;    // the filter's peak, sure of the object
    bool agrees = false;   // the filter and the flow
    bool trusted = false;  // the filter's peak, about as sharp as usual
    if (Filtered()) {
      filter = &filters[f.id];
      if (!filter->Started())
        filter->Start(previous.empty() ? grey : previous, f.box.centre, f.box.size,
                      previous.empty() ? colour : cv::Mat(), Chroma(f.id));
    }
    if (passing) {
      predicted.centre += motion.shift;
    } else if (filter) {
      const detail::CorrelationFilter::Found found =
          filter->Find(grey, f.box.centre, f.box.size, colour);
      cv::Point2d shift = found.centre - f.box.centre;
      const double reach = Reach(f);
      sharpness = found.sharpness;
      // The peak's sharpness, of its usual.
      auto keeps = [&](double part) { return f.sharpness > 0 && sharpness >= part * f.sharpness; };
      sharp = keeps(Tuning::kSureSharpness);
      trusted = keeps(Tuning::kTrustedSharpness);
      agrees = motion.ok && cv::norm(shift - motion.shift) <= reach;
      // A filter that leaves both the flow and the object's steady motion, its peak less sharp
      // than usual, has jumped to a look-alike nearby: the flow goes on where it keeps that
      // motion; where it does not, something covers the object, which then keeps its own motion
      // until the passer has gone. As sharp as usual, it is trusted: the flow of a box that the
      // background fills follows the background.
      if (motion.ok && f.steady >= Tuning::kSteadyFrames && !trusted &&
          cv::norm(shift - f.velocity) > reach && cv::norm(shift - motion.shift) > reach) {
        if (cv::norm(motion.shift - f.velocity) <= reach) {
          shift = motion.shift;
        } else {
          shift = f.velocity;
          f.passing = Tuning::kPassingFrames;
        }
      }
      predicted.centre += shift;
      predicted.size *= filter->Scale(grey, predicted.centre, predicted.size);
    } else if (motion.ok) {
      predicted.centre += motion.shift;
      predicted.size *= std::pow(motion.scale, Tuning::kFlowScaleWeight);
    } else {
      predicted.centre += f.velocity;
    }
    // Half out of the frame, it is leaving: what is left in sight is too little to judge.
    if (Inside(predicted, grey.size()) < 0.5) {
      f.box = predicted;
      Lose(f);
      return;
    }
    if (!params.confirm) {
      if (filter)
        filter->Update(grey, predicted.centre, predicted.size, Tuning::kFilterRate, colour);
      f.box = predicted;
      f.confidence = motion.ok ? 1 : 0;
      f.unconfirmed = motion.ok ? 0 : f.unconfirmed + 1;
      return;
    }
    scratch.clear();
    const Look* look = TellingLook(f.id);
    Search(predicted, f.id, Tuning::kRadius, Tuning::kStep, Scales(), scratch,
           look ? &look->both : nullptr);
    Colour(f.id, scratch);
    const Candidate* chosen = Best(scratch, true);
    const Candidate* placed = look ? Placed(scratch, chosen) : chosen;
    // Every level that can judge it recognising it confirms it; all but the finest, where the
    // motion agrees, bridge a few frames of a changing view, never more (else an object that
    // vanished in front of a still background would stay reported).
    // A box that neither looks like the object nor has its telling colour is not it: the
    // memory's coarser levels take look-alikes and what is left after an occlusion for it.
    // Unless the filter is sure of it, with the flow: then the view is changing (an object that
    // turns no longer looks like its first view), and the memory judges it.
    const bool sure = agrees && !passing && sharp;
    const bool unlike = placed && Unlike(*placed, f.id, look, false) && !sure;
    const bool full = chosen && !unlike && Recognised(chosen->score, chosen->box, f.id);
    // On colour frames the object's colour is a second witness: where the motion agrees, the box
    // keeps the object's colour and the memory still recognises it at its coarsest level, a
    // changing view is bridged for longer. Its colour leaves with the object, so an object gone
    // from a background of other colours is not bridged.
    const bool coloured = !full && chosen && ColourOf(f.id) && chosen->score >= 1 &&
                          f.sinceFull < Tuning::kColourBridgeFrames &&
                          chosen->colour >= Tuning::kColourAgreement;
    // Where the flow fails (a small object moving fast, over a background of its own motion), a
    // filter peak about as sharp as usual stands in for it.
    const bool partial = chosen && !unlike && (motion.ok || trusted) &&
                         ((chosen->score >= std::max(1, Judged(chosen->box, f.id) - 1) &&
                           f.sinceFull < Tuning::kPartialFrames) ||
                          coloured);
    if (!full && !partial) {
      // Its size is only what the memory confirmed last: a size filter left alone with the
      // background the object left measures nothing.
      f.box.centre = predicted.centre;
      if (!filter) f.box.size = predicted.size;
      f.confidence = 0;
      ++f.sinceFull;
      if (++f.unconfirmed > params.coast && !passing) Lose(f);
      return;
    }
    f.sinceFull = full ? 0 : f.sinceFull + 1;
    // While something passes in front, the memory may find the passer: the box keeps to the
    // object's own motion. The correlation filter places and sizes the box more closely than the
    // memory's windows: the memory confirms it.
    const Box found = passing || filter ? predicted : placed->box;
    // The object's own motion against the scene, where it is clearly the object.
    if (!passing && scene.ok && full && (!look || placed->likeness >= Tuning::kLookLearn))
      f.ownPending.push_back(flowed - scene.shift);
    for (; f.ownPending.size() > static_cast<size_t>(Tuning::kSceneFrames);
         f.ownPending.pop_front()) {
      const cv::Point2d own = f.ownPending.front();
      if (f.ownFrames++ == 0) {
        f.own = own;
      } else {
        f.ownSpread += Tuning::kOwnRate * (cv::norm(own - f.own) - f.ownSpread);
        f.own += Tuning::kOwnRate * (own - f.own);
      }
    }
    if (!passing) {
      ++f.steady;
      f.velocity = f.velocity * 0.7 + (found.centre - f.box.centre) * 0.3;
    }
    f.box.centre = found.centre;
    f.box.size = predicted.size * (1 - Tuning::kSizeWeight) + found.size * Tuning::kSizeWeight;
    f.unconfirmed = 0;
    f.confidence = std::min(1.0, chosen->score / (Judged(chosen->box, f.id) + 1));
    // Where the filter is sure of a view the look no longer matches, the view is changing, not
    // sliding off: the memory learns it, so that it goes on recognising the object.
    const bool alike = !look || placed->likeness >= Tuning::kLookLearn || sure;
    if (filter && !passing)
      filter->Update(grey, f.box.centre, f.box.size, Tuning::kFilterRate, colour);
    if (full && !passing && alike) See(f.id, f.box);
    if (params.learn && motion.ok && !passing && alike && Inside(f.box, grey.size()) == 1 &&
        (full || f.sinceFull <= Tuning::kPartialLearned || sure)) {
      Learn(f, full);
      f.sharpness = f.sharpness > 0 ? (1 - Tuning::kSharpnessRate) * f.sharpness +
                                          Tuning::kSharpnessRate * sharpness
                                    : sharpness;
    }
  }

  // Takes `box` of the current frame into object `id`'s look: its first box in this run, then
  // into the running mean.
  void See(int32_t id, const Box& box) {
    Fill(box, 0);
    Look& look = looks[id];
    if (look.first.empty()) {
      patch.convertTo(look.first, CV_32F);
      look.recent = look.first.clone();
    } else {
      patch.convertTo(patchFloat, CV_32F);
      cv::addWeighted(look.recent, 1 - Tuning::kLookRate, patchFloat, Tuning::kLookRate, 0,
                      look.recent);
    }
    cv::addWeighted(look.first, 0.5, look.recent, 0.5, 0, look.both);
    cv::Scalar mean, deviation;
    cv::meanStdDev(look.both, mean, deviation);
    look.telling = deviation[0] >= Tuning::kLookContrast;
  }

  // Teaches the followed box as the object, and, where the memory recognised it fully, the
  // look-alikes around it as background.
  void Learn(Follow& f, bool full) {
    Write(f.box, f.id);
    RefreshLevels();
    if (!full) return;
    std::vector<Candidate> around;
    const int radius = static_cast<int>(Tuning::kNeighbourhood * Area().width);
    Search(f.box, f.id, radius, Tuning::kNeighbourStep, {1.0}, around);
    std::sort(around.begin(), around.end(),
              [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    int taught = 0;
    const uint64_t own = Leaf(f.box);
    for (const Candidate& c : around) {
      if (taught == Tuning::kBackgroundPerFrame || !Recognised(c.score, c.box, f.id)) break;
      if (Overlap(c.box, f.box) > 0.2) continue;
      // A look-alike that ends where the object itself does cannot be told from it: teaching it
      // as background would unteach the object.
      if (Leaf(c.box) == own) continue;
      Write(c.box, kBackground);
      ++taught;
    }
    if (taught) RefreshLevels();
  }

  void Lose(Follow& f) {
    f.phase = Phase::kAbsent;
    f.lostFrames = 0;
    f.recognised = 0;
    f.unconfirmed = 0;
    f.steady = 0;
    f.passing = 0;
    f.behind = 0;
    f.withScene = 0;
    f.own = {};
    f.ownSpread = 0;
    f.ownFrames = 0;
    f.ownPending.clear();
    f.velocity = {};
    f.sharpness = 0;
  }

  // Whether candidate `c` is not object `id`, whatever the memory says. Where the object's colour
  // tells it well, a box of its colour is it however it looks (a turning object keeps its colour,
  // not its look); one without, only where it is followed (not taken up `again`) and clearly
  // looks like it (an object whose light changes keeps its look, not its colour). Elsewhere, a
  // box that does not look like it at all is not it.
  bool Unlike(const Candidate& c, int32_t id, const Look* look, bool again) const {
    if (ClearColour(id))
      return c.colour < Tuning::kColourAgreement &&
             (again || !look || c.likeness < Tuning::kLookLearn);
    return look && c.likeness < Tuning::kLookVeto;
  }

  // Whether taking object `id` up at place `c` is refused: followed, it would be refused at once,
  // and taking it up again and again would keep the search there. Where the object's colour tells
  // it, the colour alone judges. Measures `c`'s colour or its likeness to the look, on `seen`
  // (its window at the area's size) where given.
  bool Refused(Candidate& c, int32_t id, const cv::Mat* seen) {
    const Look* look = TellingLook(id);
    if (ClearColour(id)) {
      std::vector<Candidate> one{c};
      Colour(id, one);
      c.colour = one[0].colour;
    } else if (look) {
      if (!seen) Fill(c.box, 0);
      c.likeness = Likeness(seen ? *seen : patch, look->both).at<float>(0, 0);
    }
    return Unlike(c, id, look, true);
  }

  // Looks for an absent object: around its candidate or its last place, and over the frame.
  void LookFor(Follow& f, const cv::Mat& grey, int& budget, std::vector<Candidate>& scratch) {
    ++f.lostFrames;
    scratch.clear();
    const Look* look = TellingLook(f.id);
    if (f.recognised > 0) {
      // Where it was recognised, moved as that place moved since: an object coming back into
      // view is often still moving, too fast for the flow's own check, which here only brings
      // the search near it for the memory to judge.
      Box around = f.candidate;
      if (!previous.empty()) around.centre += FlowOf(previous, grey, around, flowPyramids).shift;
      Search(around, f.id, Tuning::kRadius, Tuning::kStep, Scales(), scratch);
    } else if (f.placed) {
      const int radius = std::min(Tuning::kLostRadiusMax,
                                  Tuning::kLostRadius + Tuning::kLostRadiusGrowth * f.lostFrames);
      // Wider, coarser: the refinement below finds the place again at the fine step.
      Search(f.box, f.id, radius, std::max(Tuning::kLostStep, radius / 8),
             {1 / Tuning::kLostScale, 1.0, Tuning::kLostScale}, scratch);
    }
    // The memory's best place that is neither another object's nor refused; only the places it
    // would take the object up at are judged, best first.
    std::vector<Candidate*> order;
    for (Candidate& c : scratch) order.push_back(&c);
    std::stable_sort(order.begin(), order.end(),
                     [](const Candidate* a, const Candidate* b) { return a->score > b->score; });
    const Candidate* best = nullptr;
    for (Candidate* c : order) {
      if (Taken(c->box, f.id) ||
          (Recognised(c->score, c->box, f.id, true) && Refused(*c, f.id, nullptr)))
        continue;
      best = c;
      break;
    }
    Candidate scanned;
    if ((!best || !Recognised(best->score, f.box, f.id, true)) && budget > 0 &&
        f.box.size.area() > 0) {
      scanned = Scan(f, grey, budget);
      best = &scanned;
    }
    if (!best || !Recognised(best->score, best->box, f.id, true) ||
        Inside(best->box, grey.size()) < 0.75) {
      f.recognised = 0;
      return;
    }
    // Recognised: refine at the fine step before taking it, placed by its look as a followed
    // box is: the motion estimate starts from this box and keeps any offset it has.
    std::vector<Candidate> fine;
    Search(best->box, f.id, Tuning::kRadius / 2, Tuning::kStep, Scales(), fine,
           look ? &look->both : nullptr);
    Colour(f.id, fine);
    const Candidate* refined = look ? Placed(fine, Best(fine, true)) : Best(fine, true);
    f.candidate = refined && Recognised(refined->score, refined->box, f.id, true) &&
                          !Unlike(*refined, f.id, look, true)
                      ? refined->box
                      : best->box;
    f.placed = true;
    if (++f.recognised >= params.reacquire) {
      f.phase = Phase::kFollowed;
      f.box = f.candidate;
      if (Filtered()) filters[f.id].Start(grey, f.box.centre, f.box.size, colour, Chroma(f.id));
      f.unconfirmed = 0;
      f.recognised = 0;
      f.confidence = std::min(
          1.0, std::max(best->score, refined ? refined->score : 0) / (Judged(f.box, f.id) + 1));
    }
  }

  // Reads the next rows of the whole-frame search of `f`, at its size, within `budget` reads.
  // Places where the object would be refused are passed over.
  Candidate Scan(Follow& f, const cv::Mat& grey, int& budget) {
    Candidate best;
    const cv::Size area = Area();
    const cv::Vec2d s = ScaleOf(f.box.size);
    const int width = static_cast<int>(grey.cols * s[0]),
              height = static_cast<int>(grey.rows * s[1]);
    if (width < area.width || height < area.height) return best;
    const int columns = (width - area.width) / Tuning::kScanStep + 1;
    const int rows = (height - area.height) / Tuning::kScanStep + 1;
    const int take = std::max(1, std::min(rows, budget / columns));
    if (f.scanRow >= rows) f.scanRow = 0;
    const int first = f.scanRow, last = std::min(rows, first + take);
    // The band of the resampled frame that these rows of windows cover.
    const int top = first * Tuning::kScanStep;
    const int bandHeight = (last - 1 - first) * Tuning::kScanStep + area.height;
    Resample(pyramid, cv::Point2d(0, top / s[1]), s, cv::Point2d(0, 0), cv::Size(width, bandHeight),
             patch);
    memory.SetImage(patch);
    for (int r = first; r < last; ++r)
      for (int column = 0; column < columns; ++column) {
        const cv::Rect window(column * Tuning::kScanStep, (r - first) * Tuning::kScanStep,
                              area.width, area.height);
        Candidate c;
        c.score = Score(window, f.id);
        if (c.score <= best.score) continue;
        c.box = {cv::Point2d((window.x + area.width / 2.0) / s[0],
                             (top + window.y + area.height / 2.0) / s[1]),
                 f.box.size};
        if (Taken(c.box, f.id)) continue;
        const cv::Mat seen = patch(window);
        if (Recognised(c.score, c.box, f.id, true) && Refused(c, f.id, &seen)) continue;
        best = c;
      }
    budget -= (last - first) * columns;
    f.scanRow = last;
    return best;
  }

  // Of two followed objects on one place, the less confident lets go.
  void KeepApart() {
    std::vector<Follow*> seen;
    for (auto& [id, f] : follows)
      if (f.phase == Phase::kFollowed && f.unconfirmed == 0) seen.push_back(&f);
    for (size_t i = 0; i < seen.size(); ++i)
      for (size_t j = i + 1; j < seen.size(); ++j) {
        Follow& a = *seen[i];
        Follow& b = *seen[j];
        if (a.phase != Phase::kFollowed || b.phase != Phase::kFollowed) continue;
        if (Overlap(a.box, b.box) <= 0.5) continue;
        // Both on one object: the less sure is the one mistaken, and is looked for elsewhere.
        Lose(a.confidence < b.confidence ? a : b);
      }
  }

  // Whether `box` lies on another object that is being followed: no place to find `id` again.
  bool Taken(const Box& box, int32_t id) const {
    for (const auto& [other, f] : follows)
      if (other != id && f.phase == Phase::kFollowed && f.unconfirmed == 0 &&
          Overlap(f.box, box) > Tuning::kTakenOverlap)
        return true;
    return false;
  }
};

Tracker::Tracker(CvAssociativeMemory& memory, const TrackerParams& params)
    : impl_(std::make_unique<Impl>(memory, params)) {
  const auto& p = params;
  if (p.area.width < 40 || p.area.height < 40 || p.area.width > 4096 || p.area.height > 4096 ||
      p.levels < 1 || p.levels > 8 || p.warps < 0 || p.warps > 1000 || p.coast < 0 ||
      p.frameSearchReads < 0 || p.reacquire < 1)
    cv::error(cv::Error::StsOutOfRange, "Tracker parameters out of range", "vizmoro::Tracker",
              __FILE__, __LINE__);
}

Tracker::~Tracker() = default;

void Tracker::Teach(const cv::Mat& frame, int32_t id, const cv::Rect& box) {
  const cv::Mat grey = ToGrey(frame, "vizmoro::Tracker::Teach");
  if (id < 1)
    cv::error(cv::Error::StsOutOfRange, "Object ids start at 1", "vizmoro::Tracker::Teach",
              __FILE__, __LINE__);
  if (box.width < 4 || box.height < 4 || (box & cv::Rect(cv::Point(), grey.size())) != box)
    cv::error(cv::Error::BadImageSize, "The box must lie inside the frame, 4 x 4 pixels or more",
              "vizmoro::Tracker::Teach", __FILE__, __LINE__);
  Impl& t = *impl_;
  if (t.memory.GetSize().area() == 0)
    t.memory.Create(t.params.area.width, t.params.area.height,
                    static_cast<int16_t>(t.params.levels));
  t.pyramid.Reset(grey);
  const auto known = t.objects.find(id);
  TrackedObjectState object =
      known != t.objects.end() ? known->second : TrackedObjectState{box.size(), 0};
  ++object.keyFrames;
  const Box taught = Box::Of(box);
  // The memory may refuse (inside its own callback, say) before it changes: so may the tracker.
  t.TeachWarps(taught, id, object.keyFrames);
  t.objects[id] = object;
  t.See(id, taught);
  if (object.keyFrames == 1 && frame.channels() >= 3) t.colours[id].Teach(frame, box);
  if (t.Filtered())
    t.filters[id].Start(grey, taught.centre, taught.size, frame.channels() >= 3 ? frame : cv::Mat(),
                        t.Chroma(id));
  if (!t.previous.empty() && t.previous.size() != grey.size()) t.follows.clear();
  t.RefreshLevels();
  Impl::Follow& f = t.follows[id];
  f = Impl::Follow();
  f.id = id;
  f.placed = true;
  f.phase = Impl::Phase::kFollowed;
  f.box = taught;
  f.confidence = 1;
  t.previous = grey.clone();
}

std::vector<TrackReport> Tracker::Track(const cv::Mat& frame) {
  const cv::Mat grey = ToGrey(frame, "vizmoro::Tracker::Track");
  Impl& t = *impl_;
  std::vector<TrackReport> reports;
  if (t.objects.empty()) {
    t.previous = grey.clone();
    return reports;
  }
  t.colour = frame.channels() >= 3 ? frame : cv::Mat();
  if (!t.previous.empty() && t.previous.size() != grey.size()) {
    t.previous.release();
    t.follows.clear();
  }
  for (const auto& [id, object] : t.objects) {
    Impl::Follow& f = t.follows[id];
    if (f.id == 0) {  // loaded, not taught in this run: look for it at its taught size
      f.id = id;
      f.box = {cv::Point2d(grey.cols / 2.0, grey.rows / 2.0), cv::Size2d(object.taught)};
    }
  }
  // A memory not created yet knows nothing: every object is absent.
  if (t.memory.GetSize().area() > 0) {
    t.pyramid.Reset(grey);
    t.RefreshLevels();
    // The whole-frame search's reads are shared by the absent objects, so that none waits for
    // ever behind others that are away for good.
    int absent = 0;
    for (const auto& [id, f] : t.follows) absent += f.phase == Impl::Phase::kAbsent;
    const int share = absent > 0 ? t.params.frameSearchReads / absent : 0;
    std::vector<Candidate> scratch;
    for (auto& [id, f] : t.follows) {
      int budget = share;
      if (f.phase == Impl::Phase::kFollowed)
        t.FollowObject(f, grey, scratch);
      else if (t.params.confirm)
        t.LookFor(f, grey, budget, scratch);
      t.RefreshLevels();
    }
    t.KeepApart();
  }
  for (const auto& [id, f] : t.follows) {
    TrackReport r;
    r.id = id;
    r.present = f.phase == Impl::Phase::kFollowed && f.unconfirmed == 0;
    r.box = f.box.Pixels() & cv::Rect(cv::Point(), grey.size());
    r.confidence = r.present ? f.confidence : 0;
    reports.push_back(r);
  }
  t.previous = grey.clone();
  t.colour.release();
  return reports;
}

void Tracker::AddObject(int32_t id, const TrackedObjectState& state) {
  if (id < 1 || state.taught.width < 1 || state.taught.height < 1 || state.keyFrames < 0)
    cv::error(cv::Error::StsOutOfRange, "Object ids start at 1 and taught sizes at 1 x 1",
              "vizmoro::Tracker::AddObject", __FILE__, __LINE__);
  impl_->objects[id] = state;
  impl_->follows.erase(id);
  impl_->colours.erase(id);
  impl_->looks.erase(id);
  impl_->filters.erase(id);
}

const std::map<int32_t, TrackedObjectState>& Tracker::Objects() const {
  return impl_->objects;
}

const TrackerParams& Tracker::Params() const {
  return impl_->params;
}

std::string Tracker::SaveState() const {
  std::ostringstream out;
  const cv::Size area = impl_->memory.GetSize();
  out << kStateMagic << ' ' << kStateVersion << '\n';
  out << "area " << area.width << ' ' << area.height << '\n';
  out << "background " << kBackground << '\n';
  for (const auto& [id, o] : impl_->objects)
    out << "object " << id << ' ' << o.taught.width << ' ' << o.taught.height << ' ' << o.keyFrames
        << '\n';
  for (const auto& [id, model] : impl_->colours)
    if (impl_->objects.count(id) && !model.Words().empty())
      out << "colour " << id << ' ' << model.Words() << '\n';
  return out.str();
}

void Tracker::LoadState(const std::string& text) {
  auto refuse = [](const std::string& why) {
    cv::error(cv::Error::StsParseError, "Not a tracker state: " + why,
              "vizmoro::Tracker::LoadState", __FILE__, __LINE__);
  };
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line.rfind(kStateMagic, 0) != 0) refuse("no header");
  int version = 0;
  if (std::sscanf(line.c_str() + sizeof kStateMagic - 1, " %d", &version) != 1 || version < 1)
    refuse("no version");
  if (version > kStateVersion) refuse("written by a newer version");
  std::map<int32_t, TrackedObjectState> objects;
  std::map<int32_t, ColourModel> colours;
  cv::Size area;
  for (int number = 2; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::istringstream words(line);
    std::string key;
    words >> key;
    const std::string where = "line " + std::to_string(number);
    if (key == "area") {
      if (!(words >> area.width >> area.height) || area.width <= 0 || area.height <= 0)
        refuse(where);
    } else if (key == "object") {
      long long id = 0;
      TrackedObjectState o;
      if (!(words >> id >> o.taught.width >> o.taught.height >> o.keyFrames) || id < 1 ||
          id > INT32_MAX || o.taught.width <= 0 || o.taught.height <= 0 || o.keyFrames < 0 ||
          objects.count(static_cast<int32_t>(id)))
        refuse(where);
      objects[static_cast<int32_t>(id)] = o;
    } else if (key == "colour") {
      // After its object's line; written by versions that know colour, passed over by others.
      int32_t id = 0;
      if (!(words >> id) || !objects.count(id) || colours.count(id) || !colours[id].Read(words))
        refuse(where);
    }
    // Other keys (background, and those of later versions) are not needed to follow objects.
  }
  // The area the memory has, or the one the tracker will create it with.
  const cv::Size memoryArea =
      impl_->memory.GetSize().area() > 0 ? impl_->memory.GetSize() : impl_->params.area;
  if (area != memoryArea) refuse("the memory's area differs");
  impl_->objects = std::move(objects);
  impl_->follows.clear();
  impl_->colours = std::move(colours);
  impl_->looks.clear();
  impl_->filters.clear();
}

std::string StatePath(const std::string& memoryFile) {
  return memoryFile + ".track";
}

bool ReadStateFile(Tracker& tracker, const std::string& path) {
  std::FILE* in = detail::file_io::OpenRegularFile(path.c_str());
  if (!in) {
    if (errno == ENOENT) return false;
    cv::error(cv::Error::StsError, "Cannot read " + path + ": " + std::strerror(errno),
              "vizmoro::ReadStateFile", __FILE__, __LINE__);
  }
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  const bool failed = std::ferror(in);
  std::fclose(in);
  if (failed)
    cv::error(cv::Error::StsError, "Cannot read " + path, "vizmoro::ReadStateFile", __FILE__,
              __LINE__);
  tracker.LoadState(text);
  return true;
}

bool WriteStateFile(const Tracker& tracker, const std::string& path) {
  const std::string text = tracker.SaveState();
  return detail::file_io::ReplaceFile(path.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                                      text.size());
}

}  // namespace vizmoro
