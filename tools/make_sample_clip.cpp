// Writes the sample clips that the programs learn from, with their ground truth. Seven scenes:
//
//   demo   An orange, textured square on a blue background, sitting in the teaching rectangle
//          while the Vizmoro program learns it, then moving around the frame, leaving it and
//          coming back. The default: the clip of the README's main job.
//   long   A textured object held in the teaching rectangle for 400 frames, then wandering over
//          a busy street, leaving the frame for 40 frames and wandering again: a clip to loop
//          for thousands of frames.
//   multi  Three objects of different textures, each still in its own box for the first frames,
//          then on crossing paths; one grows and shrinks between 0.6 and 1.6 times its size,
//          one leaves the frame and comes back.
//   size   One textured object over a busy street, still in its box for the first frames, then
//          wandering while its size swings between 0.5 and 2 times the taught one.
//   away   Two tall, narrow objects of one colour over a busy street, moving from the first
//          frame: the first leaves the frame for 40 frames and comes back while its size swings
//          between 0.8 and 1.25 times; the second, a look-alike, wanders and crosses its path.
//   turn   A round, textured object over a busy street, moving from the first frame and turning
//          as it goes, 2 degrees a frame (a whole turn in 180 frames), so that it soon looks like
//          none of the views it was taught from.
//   ball   A small ball, 24 pixels across and textured, over a busy street, moving from the first
//          frame at about 9 pixels a frame, its own size in under three frames, bouncing off the
//          frame's edges and turning 3 degrees a frame.
//
// demo and long are written upside down, because the Vizmoro program turns every frame over
// before it looks at it; their truth (CSV) is in the program's view. multi, size, away, turn and
// ball are written upright, with their truth in the MOT Challenge format. The output depends on
// nothing but the options: no clock, no unseeded randomness.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

const char kUsage[] =
    "usage: make_sample_clip [--scene demo|long|multi|size|away|turn|ball] [--frames N]\n"
    "                        [--hold N]\n"
    "                        [--size WxH]\n"
    "                        [--fps F] [--seed N] [--street] [--background VIDEO]\n"
    "                        [--output clip.avi] [--truth FILE]\n"
    "  --scene S          demo (default), long, multi, size, away, turn or ball\n"
    "  --frames N         frames in the clip (demo 680, long 900, multi and size 600, away, turn\n"
    "                     and ball 300)\n"
    "  --hold N           frames the objects stay where they are taught (demo 420, long 400,\n"
    "                     multi and size 30, away, turn and ball 0)\n"
    "  --size WxH         frame size (demo, away, turn and ball 640x480, the others 768x576)\n"
    "  --fps F            frame rate (default 25)\n"
    "  --seed N           textures, paths and street of long, multi and size (default 1)\n"
    "  --street           a busy street behind multi (long, size, away, turn and ball always have\n"
    "                     one)\n"
    "  --background VIDEO the frames of another video behind long, multi, size, away, turn or\n"
    "                     ball, looped\n"
    "  --output FILE      the clip, Motion JPEG in AVI (default samples/sample.avi)\n"
    "  --truth FILE       the ground truth (default: the clip's name with .csv, or .txt in the\n"
    "                     MOT format for multi, size, away, turn and ball); --csv is the same\n"
    "                     option\n";

constexpr int kObjectSide = 220;
const cv::Point kTeachingCorner(390, 250);
constexpr int kSpeed = 5;  // pixels per frame while moving

enum class Scene { kDemo, kLong, kMulti, kSize, kAway, kTurn, kBall };

struct Options {
  Scene scene = Scene::kDemo;
  int frames = -1, hold = -1;
  cv::Size size{0, 0};
  double fps = 25.0;
  int seed = 1;
  bool street = false;
  std::string background;
  std::string output = "samples/sample.avi";
  std::string truth;
};

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > 1000000) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--street") {
      options.street = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--scene") {
      const std::string scene = value;
      if (scene == "demo")
        options.scene = Scene::kDemo;
      else if (scene == "long")
        options.scene = Scene::kLong;
      else if (scene == "multi")
        options.scene = Scene::kMulti;
      else if (scene == "size")
        options.scene = Scene::kSize;
      else if (scene == "away")
        options.scene = Scene::kAway;
      else if (scene == "turn")
        options.scene = Scene::kTurn;
      else if (scene == "ball")
        options.scene = Scene::kBall;
      else
        return false;
    } else if (name == "--frames") {
      if (!ParseInt(value, options.frames)) return false;
    } else if (name == "--hold") {
      if (!ParseInt(value, options.hold)) return false;
    } else if (name == "--seed") {
      if (!ParseInt(value, options.seed)) return false;
    } else if (name == "--size") {
      if (std::sscanf(value, "%dx%d", &options.size.width, &options.size.height) != 2 ||
          options.size.width < 16 || options.size.height < 16 || options.size.width > 4096 ||
          options.size.height > 4096)
        return false;
    } else if (name == "--fps") {
      options.fps = std::atof(value);
      if (!(options.fps > 0.0 && options.fps <= 1000.0)) return false;
    } else if (name == "--background") {
      options.background = value;
    } else if (name == "--output") {
      options.output = value;
    } else if (name == "--truth" || name == "--csv") {
      options.truth = value;
    } else {
      return false;
    }
  }
  const bool demo = options.scene == Scene::kDemo;
  // away, turn and ball: one object or two moving from the first frame, on a small frame
  const bool away = options.scene == Scene::kAway || options.scene == Scene::kTurn ||
                    options.scene == Scene::kBall;
  const bool upright = options.scene == Scene::kMulti || options.scene == Scene::kSize || away;
  if (options.frames < 0) options.frames = demo ? 680 : away ? 300 : upright ? 600 : 900;
  if (options.hold < 0) options.hold = demo ? 420 : away ? 0 : upright ? 30 : 400;
  if (options.size.width == 0)
    options.size = demo || away ? cv::Size(640, 480) : cv::Size(768, 576);
  if (options.truth.empty()) {
    options.truth = options.output;
    const size_t dot = options.truth.rfind(".avi");
    if (dot != std::string::npos && dot + 4 == options.truth.size()) options.truth.resize(dot);
    options.truth += upright ? ".txt" : ".csv";
  }
  return true;
}

// A smooth, deterministic field in 0..1: a few sine waves of different directions.
double Waves(double x, double y) {
  const double v = std::sin(x * 0.031 + 0.4) * std::cos(y * 0.027 - 1.1) +
                   0.5 * std::sin((x + y) * 0.013 + 2.0) + 0.25 * std::cos((x - 2 * y) * 0.051);
  return std::clamp((v + 1.75) / 3.5, 0.0, 1.0);
}

cv::Mat HsvToBgr(const cv::Mat& hsv) {
  cv::Mat bgr;
  cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
  return bgr;
}

// Blue (hue 105 of 180), gently shaded so the JPEG coder has something to keep.
cv::Mat MakeBackground(cv::Size size) {
  cv::Mat hsv(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      hsv.at<cv::Vec3b>(y, x) =
          cv::Vec3b(105, 170, static_cast<uchar>(110 + std::lround(80 * Waves(x, y))));
  return HsvToBgr(hsv);
}

cv::Mat Colour(const cv::Mat& value, uchar hue, uchar saturation) {
  cv::Mat hsv(value.size(), CV_8UC3);
  for (int y = 0; y < value.rows; ++y)
    for (int x = 0; x < value.cols; ++x)
      hsv.at<cv::Vec3b>(y, x) = cv::Vec3b(hue, saturation, value.at<uchar>(y, x));
  return HsvToBgr(hsv);
}

// Orange (hue 15 of 180) with contrast at every scale: a dark ring, a bright bar, a checker
// quarter, a spot, and a darker frame.
cv::Mat MakeObject() {
  cv::Mat value(kObjectSide, kObjectSide, CV_8UC1);
  for (int y = 0; y < kObjectSide; ++y)
    for (int x = 0; x < kObjectSide; ++x)
      value.at<uchar>(y, x) = static_cast<uchar>(150 + std::lround(60 * Waves(3 * x, 2 * y)));
  cv::circle(value, {80, 84}, 46, cv::Scalar(70), 14, cv::LINE_AA);
  cv::line(value, {20, 200}, {200, 120}, cv::Scalar(255), 18, cv::LINE_AA);
  for (int cy = 0; cy < 4; ++cy)
    for (int cx = 0; cx < 4; ++cx)
      if ((cx + cy) % 2 == 0)
        cv::rectangle(value, cv::Rect(130 + cx * 18, 18 + cy * 18, 18, 18), cv::Scalar(90),
                      cv::FILLED);
  cv::circle(value, {80, 84}, 12, cv::Scalar(250), cv::FILLED, cv::LINE_AA);
  cv::rectangle(value, cv::Rect(0, 0, kObjectSide, kObjectSide), cv::Scalar(100), 6);
  return Colour(value, 15, 230);
}

// Another object of `side` pixels and the given hue: rings, bars, a checker patch and spots at
// places drawn from `seed`, over a shaded ground.
cv::Mat MakeTexturedObject(int side, uchar hue, uint64_t seed) {
  cv::RNG rng(seed);
  cv::Mat value(side, side, CV_8UC1);
  const double phase = rng.uniform(0.0, 100.0);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      value.at<uchar>(y, x) =
          static_cast<uchar>(140 + std::lround(70 * Waves(3 * x + phase, 2 * y - phase)));
  auto point = [&] {
    return cv::Point(rng.uniform(side / 8, side - side / 8),
                     rng.uniform(side / 8, side - side / 8));
  };
  for (int i = 0; i < 2; ++i)
    cv::circle(value, point(), rng.uniform(side / 10, side / 4), cv::Scalar(rng.uniform(40, 90)),
               rng.uniform(side / 30 + 2, side / 12 + 3), cv::LINE_AA);
  for (int i = 0; i < 2; ++i)
    cv::line(value, point(), point(), cv::Scalar(rng.uniform(220, 256)),
             rng.uniform(side / 25 + 2, side / 10 + 3), cv::LINE_AA);
  const int square = side / 12 + 2;
  const cv::Point corner = point() - cv::Point(2 * square, 2 * square);
  for (int cy = 0; cy < 4; ++cy)
    for (int cx = 0; cx < 4; ++cx)
      if ((cx + cy) % 2 == 0)
        cv::rectangle(value,
                      cv::Rect(corner.x + cx * square, corner.y + cy * square, square, square) &
                          cv::Rect(0, 0, side, side),
                      cv::Scalar(rng.uniform(60, 110)), cv::FILLED);
  for (int i = 0; i < 3; ++i)
    cv::circle(value, point(), rng.uniform(side / 30 + 2, side / 14 + 3),
               cv::Scalar(rng.uniform(200, 256)), cv::FILLED, cv::LINE_AA);
  cv::rectangle(value, cv::Rect(0, 0, side, side), cv::Scalar(95), std::max(2, side / 36));
  return Colour(value, hue, 220);
}

// A street: house fronts of several colours with rows of windows above, a road with lane
// markings below, and cars and people that move along it. Frame `i` of it.
class Street {
 public:
  Street(cv::Size size, uint64_t seed) : size_(size), rng_(seed) {
    still_ = cv::Mat(size, CV_8UC3);
    const int horizon = size.height * 11 / 20;
    for (int x = 0; x < size.width;) {
      const int width = rng_.uniform(size.width / 10, size.width / 4);
      const cv::Rect front(x, 0, width, horizon);
      const uchar hue = static_cast<uchar>(rng_.uniform(0, 180));
      const uchar saturation = static_cast<uchar>(rng_.uniform(20, 200));
      const int shade = rng_.uniform(90, 200);
      cv::rectangle(still_, front, HsvPixel(hue, saturation, shade), cv::FILLED);
      const int window = rng_.uniform(10, 24), gap = rng_.uniform(8, 20);
      for (int wy = gap; wy + window < horizon - gap; wy += window + gap)
        for (int wx = x + gap / 2; wx + window < x + width - gap / 2; wx += window + gap)
          cv::rectangle(still_, cv::Rect(wx, wy, window, window + window / 3),
                        HsvPixel(110, 40, rng_.uniform(30, 240)), cv::FILLED);
      x += width;
    }
    cv::rectangle(still_, cv::Rect(0, horizon, size.width, size.height - horizon),
                  cv::Scalar(70, 72, 75), cv::FILLED);
    for (int lane = 1; lane < 3; ++lane) {
      const int y = horizon + (size.height - horizon) * lane / 3;
      for (int x = 0; x < size.width; x += 60)
        cv::rectangle(still_, cv::Rect(x, y - 2, 30, 4), cv::Scalar(220, 225, 225), cv::FILLED);
    }
    for (int i = 0; i < 7; ++i) {
      Mover car;
      car.size = cv::Size(rng_.uniform(90, 170), rng_.uniform(40, 70));
      car.y = horizon + rng_.uniform(5, size.height - horizon - car.size.height - 5);
      car.speed = rng_.uniform(2, 7) * (rng_.uniform(0, 2) ? 1 : -1);
      car.start = rng_.uniform(0, size.width);
      car.colour = HsvPixel(static_cast<uchar>(rng_.uniform(0, 180)),
                            static_cast<uchar>(rng_.uniform(0, 230)), rng_.uniform(60, 240));
      movers_.push_back(car);
    }
    for (int i = 0; i < 6; ++i) {
      Mover person;
      person.size = cv::Size(rng_.uniform(14, 24), rng_.uniform(45, 70));
      person.y = horizon - person.size.height + rng_.uniform(0, 20);
      person.speed = rng_.uniform(1, 3) * (rng_.uniform(0, 2) ? 1 : -1);
      person.start = rng_.uniform(0, size.width);
      person.colour = HsvPixel(static_cast<uchar>(rng_.uniform(0, 180)),
                               static_cast<uchar>(rng_.uniform(30, 230)), rng_.uniform(40, 220));
      movers_.push_back(person);
    }
  }

  void Frame(int i, cv::Mat& out) const {
    still_.copyTo(out);
    for (const Mover& m : movers_) {
      const int span = size_.width + m.size.width;
      int x = (m.start + m.speed * i) % span;
      if (x < 0) x += span;
      const cv::Rect box(x - m.size.width, m.y, m.size.width, m.size.height);
      cv::rectangle(out, box, m.colour, cv::FILLED);
      cv::rectangle(out, box, cv::Scalar(30, 30, 30), 2);
    }
  }

 private:
  struct Mover {
    cv::Size size;
    int y = 0, speed = 0, start = 0;
    cv::Scalar colour;
  };
  static cv::Scalar HsvPixel(uchar h, uchar s, int v) {
    cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(h, s, std::clamp(v, 0, 255)));
    const cv::Vec3b bgr = HsvToBgr(pixel).at<cv::Vec3b>(0, 0);
    return cv::Scalar(bgr[0], bgr[1], bgr[2]);
  }

  cv::Size size_;
  cv::RNG rng_;
  cv::Mat still_;
  std::vector<Mover> movers_;
};

// The object's top-left corner on `frame` of the demo, in the program's view, for a clip of
// frames of `size`. After `hold` frames in the teaching rectangle it goes left, up, right and
// out of the frame, stays away, comes back in at the teaching rectangle's height and stays
// there.
cv::Point DemoCorner(int frame, int hold, cv::Size size) {
  const cv::Point outside(size.width + 60, 60);
  const cv::Point path[] = {kTeachingCorner, {210, 250}, {210, 60}, {420, 60}, outside};
  int t = frame - hold;
  if (t <= 0) return kTeachingCorner;
  for (size_t i = 0; i + 1 < std::size(path); ++i) {
    const cv::Point from = path[i], to = path[i + 1];
    const int length = std::max(std::abs(to.x - from.x), std::abs(to.y - from.y));
    const int steps = (length + kSpeed - 1) / kSpeed;
    if (t < steps) return from + (to - from) * t / steps;
    t -= steps;
  }
  constexpr int kAwayFrames = 20;
  if (t < kAwayFrames) return outside;
  t -= kAwayFrames;
  const cv::Point from(size.width + 60, kTeachingCorner.y);
  const int steps = (from.x - kTeachingCorner.x + kSpeed - 1) / kSpeed;
  if (t < steps) return from + (kTeachingCorner - from) * t / steps;
  return kTeachingCorner;
}

// Where an object is on a frame: its box's centre and its size as a multiple of the taught one.
struct Placement {
  cv::Point2d centre;
  double scale = 1.0;
  bool present = true;
};

// A smooth wander around the frame's middle, `t` frames after it began.
cv::Point2d Wander(double t, cv::Size size, double phase) {
  const double ax = size.width * 0.3, ay = size.height * 0.25;
  return {size.width / 2.0 + ax * std::sin(0.011 * t + phase) +
              0.25 * ax * std::sin(0.037 * t + 2 * phase),
          size.height / 2.0 + ay * std::sin(0.017 * t + 1.3 * phase)};
}

// The long scene: held in the teaching rectangle, wandering, out to the right, away for 40
// frames, back in from the left, wandering again; the moves in and out join the wander.
Placement LongPlacement(int frame, int hold, cv::Size size, double phase) {
  const cv::Point2d taught = cv::Point2d(kTeachingCorner) + cv::Point2d(110, 110);
  if (frame < hold) return {taught};
  const int t = frame - hold;
  constexpr int kBlend = 30, kWander = 320, kExit = 40, kAway = 40, kEnter = 40;
  auto mix = [](cv::Point2d a, cv::Point2d b, double f) { return a + (b - a) * f; };
  if (t < kBlend) return {mix(taught, Wander(kBlend, size, phase), double(t) / kBlend)};
  if (t < kWander) return {Wander(t, size, phase)};
  const cv::Point2d right(size.width + kObjectSide, size.height / 2.0);
  const cv::Point2d left(-kObjectSide, size.height / 2.0);
  int u = t - kWander;
  if (u < kExit) return {mix(Wander(kWander, size, phase), right, double(u) / kExit)};
  u -= kExit;
  if (u < kAway) return {right, 1.0, false};
  u -= kAway;
  const double resume = kWander + 200;  // another stretch of the same wander
  if (u < kEnter) return {mix(left, Wander(resume, size, phase), double(u) / kEnter)};
  return {Wander(resume + u - kEnter, size, phase)};
}

// The multi scene's three objects, each 160 pixels when taught.
constexpr int kMultiSide = 160;
constexpr int kMultiObjects = 3;

cv::Rect MultiTaughtBox(int object, cv::Size size) {
  const cv::Point corners[] = {
      {40, 60}, {size.width / 2 - 80, size.height - 220}, {size.width - 220, 50}};
  return cv::Rect(corners[object], cv::Size(kMultiSide, kMultiSide));
}

Placement MultiPlacement(int object, int frame, int hold, cv::Size size) {
  const cv::Rect taught = MultiTaughtBox(object, size);
  const cv::Point2d home(taught.x + taught.width / 2.0, taught.y + taught.height / 2.0);
  const double t = std::max(0, frame - hold);
  const double ease = std::min(1.0, t / 40.0);  // the objects start moving gently
  switch (object) {
    case 0: {  // across the frame and back, through the middle
      const double x = home.x + (size.width - 2 * home.x) * 0.5 * (1 - std::cos(0.012 * t));
      const double y = home.y + (size.height / 2.0 - home.y) * 0.5 * (1 - std::cos(0.02 * t));
      return {{x, y}};
    }
    case 1: {  // up and down, crossing the first; leaves the frame at the top and comes back
      const double y = home.y - (home.y + 260) * 0.5 * (1 - std::cos(0.009 * t));
      const double x = home.x + 120 * ease * std::sin(0.015 * t);
      return {{x, y}, 1.0, y > -kMultiSide / 2.0};
    }
    default: {  // drifts down and left while it grows and shrinks
      const double scale = 1.1 - 0.5 * std::cos(0.03 * t) * ease;
      const double x = home.x - 180 * 0.5 * (1 - std::cos(0.01 * t));
      const double y = home.y + 200 * 0.5 * (1 - std::cos(0.013 * t));
      return {{x, y}, std::clamp(frame < hold ? 1.0 : scale, 0.6, 1.6)};
    }
  }
}

// The size scene's object, taught in the frame's middle; after `hold` frames it wanders (more
// gently than the long scene's, so that it stays in sight at twice its size) while its size
// swings between 0.5 and 2 times the taught one, once every 420 frames.
Placement SizePlacement(int frame, int hold, cv::Size size, double phase) {
  const cv::Point2d taught(size.width / 2.0, size.height / 2.0);
  const double t = std::max(0, frame - hold);
  const double ease = std::min(1.0, t / 40.0);
  const cv::Point2d away = (Wander(t, size, phase) - Wander(0, size, phase)) * 0.6 * ease;
  return {taught + away, std::pow(2.0, std::sin(2 * CV_PI * t / 420))};
}

// The away scene's objects: tall and narrow, of one colour, moving from the first frame.
const cv::Size kAwaySize(40, 90);
constexpr int kAwayFrames = 40;

// The first wanders, leaves at the right, stays away for kAwayFrames, comes back in from the
// left and wanders again, its size swinging gently all along; the second, the look-alike,
// wanders on a path of its own that crosses the first's.
Placement AwayPlacement(int object, int frame, int hold, cv::Size size, double phase) {
  const double t = std::max(0, frame - hold);
  auto wander = [&](double u, double p) {
    return Wander(2.5 * u, size, p) + cv::Point2d(0, size.height * 0.1);
  };
  if (object == 1) return {wander(t + 150, phase + 2.1)};
  const double scale = std::pow(2.0, 0.32 * std::sin(2 * CV_PI * t / 200));
  constexpr int kWander = 90, kExit = 30, kEnter = 30;
  auto mix = [](cv::Point2d a, cv::Point2d b, double f) { return a + (b - a) * f; };
  const cv::Point2d right(size.width + kAwaySize.width * 2, size.height / 2.0);
  const cv::Point2d left(-kAwaySize.width * 2, size.height / 2.0);
  if (t < kWander) return {wander(t, phase), scale};
  double u = t - kWander;
  if (u < kExit) return {mix(wander(kWander, phase), right, u / kExit), scale};
  u -= kExit;
  if (u < kAwayFrames) return {right, scale, false};
  u -= kAwayFrames;
  const double resume = kWander + 120;
  if (u < kEnter) return {mix(left, wander(resume, phase), u / kEnter), scale};
  return {wander(resume + u - kEnter, phase), scale};
}

// Draws `texture` stretched to `size` centred on `centre`; returns the box, clipped to the
// frame.
cv::Rect PasteSized(const cv::Mat& texture, cv::Point2d centre, cv::Size size, cv::Mat& scene) {
  cv::Mat sized;
  cv::resize(texture, sized, size, 0, 0, cv::INTER_AREA);
  const cv::Rect box(static_cast<int>(std::lround(centre.x - size.width / 2.0)),
                     static_cast<int>(std::lround(centre.y - size.height / 2.0)), size.width,
                     size.height);
  const cv::Rect visible = box & cv::Rect(0, 0, scene.cols, scene.rows);
  if (!visible.empty()) sized(visible - box.tl()).copyTo(scene(visible));
  return visible;
}

// The turn scene's object: round, this many pixels across, turning this much a frame.
constexpr int kTurnSide = 64;
constexpr double kTurnDegrees = 2.0;

// Draws the disc inside `texture`, `side` pixels across, turned by `angle` degrees and centred on
// `centre`; returns its box, clipped to the frame.
cv::Rect PasteTurned(const cv::Mat& texture, cv::Point2d centre, int side, double angle,
                     cv::Mat& scene) {
  cv::Mat sized, turned;
  cv::resize(texture, sized, cv::Size(side, side), 0, 0, cv::INTER_AREA);
  cv::warpAffine(sized, turned,
                 cv::getRotationMatrix2D(cv::Point2f(side / 2.0f, side / 2.0f), angle, 1.0),
                 sized.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  cv::Mat disc = cv::Mat::zeros(sized.size(), CV_8U);
  cv::circle(disc, cv::Point(side / 2, side / 2), side / 2, cv::Scalar(255), cv::FILLED);
  const cv::Rect box(static_cast<int>(std::lround(centre.x - side / 2.0)),
                     static_cast<int>(std::lround(centre.y - side / 2.0)), side, side);
  const cv::Rect visible = box & cv::Rect(0, 0, scene.cols, scene.rows);
  if (!visible.empty()) turned(visible - box.tl()).copyTo(scene(visible), disc(visible - box.tl()));
  return visible;
}

// The ball scene's object: this many pixels across, starting here and moving this much a frame,
// turning this much a frame.
constexpr int kBallSide = 24;
const cv::Point2d kBallStart(100, 120);
const cv::Point2d kBallStep(7.3, 5.6);
constexpr double kBallDegrees = 3.0;

// Where the ball's centre is at `t` frames: moving in a straight line and bouncing off the edges
// of a frame of `size`, the whole ball always inside it.
cv::Point2d BallCentre(double t, cv::Size size) {
  // Folding the unbounded line back and forth over the range of its centre.
  auto fold = [](double at, double low, double high) {
    const double span = high - low, run = std::fmod(at - low, 2 * span);
    return low + (run < span ? run : 2 * span - run);
  };
  const double r = kBallSide / 2.0;
  return {fold(kBallStart.x + kBallStep.x * t, r, size.width - r),
          fold(kBallStart.y + kBallStep.y * t, r, size.height - r)};
}

// Draws `texture` scaled by `scale` centred on `centre`; returns the box, clipped to the frame.
cv::Rect Paste(const cv::Mat& texture, cv::Point2d centre, double scale, cv::Mat& scene) {
  const int side = static_cast<int>(std::lround(texture.cols * scale));
  cv::Mat scaled;
  if (side == texture.cols)
    scaled = texture;
  else
    cv::resize(texture, scaled, cv::Size(side, side), 0, 0, cv::INTER_AREA);
  const cv::Rect box(static_cast<int>(std::lround(centre.x - side / 2.0)),
                     static_cast<int>(std::lround(centre.y - side / 2.0)), side, side);
  const cv::Rect visible = box & cv::Rect(0, 0, scene.cols, scene.rows);
  if (!visible.empty()) scaled(visible - box.tl()).copyTo(scene(visible));
  return visible;
}

// The backdrop of frame `i`: another video's frame, the street, or the blue ground.
class Backdrop {
 public:
  Backdrop(const Options& options, bool street) : size_(options.size) {
    if (!options.background.empty()) {
      video_.open(options.background);
      if (!video_.isOpened()) return;
      cv::Mat frame;
      while (video_.read(frame) && !frame.empty()) {
        cv::Mat resized;
        cv::resize(frame, resized, size_, 0, 0, cv::INTER_AREA);
        frames_.push_back(resized);
      }
    } else if (street) {
      street_ = std::make_unique<Street>(size_, 0xB1D5 + options.seed);
    } else {
      plain_ = MakeBackground(size_);
    }
  }
  bool Ready() const { return !frames_.empty() || street_ || !plain_.empty(); }
  void Frame(int i, cv::Mat& out) const {
    if (!frames_.empty())
      frames_[static_cast<size_t>(i) % frames_.size()].copyTo(out);
    else if (street_)
      street_->Frame(i, out);
    else
      plain_.copyTo(out);
  }

 private:
  cv::Size size_;
  cv::VideoCapture video_;
  std::vector<cv::Mat> frames_;
  std::unique_ptr<Street> street_;
  cv::Mat plain_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  for (const std::string& file : {options.output, options.truth}) {
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    std::error_code ignored;
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  }
  const bool upright = options.scene != Scene::kDemo && options.scene != Scene::kLong;
  const Backdrop backdrop(
      options, options.street || (options.scene != Scene::kDemo && options.scene != Scene::kMulti));
  if (!backdrop.Ready()) {
    std::fprintf(stderr, "make_sample_clip: cannot read %s\n", options.background.c_str());
    return 1;
  }
  cv::VideoWriter writer(options.output, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), options.fps,
                         options.size, true);
  if (!writer.isOpened()) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.output.c_str());
    return 1;
  }
  std::FILE* truth = std::fopen(options.truth.c_str(), "w");
  if (!truth) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.truth.c_str());
    return 1;
  }
  if (!upright)
    std::fprintf(truth,
                 "# object box per frame, in pixels of the frame turned upside down (as the "
                 "Vizmoro program sees it), clipped to the frame; 0 0 0 0 when out of sight\n"
                 "frame,x,y,width,height\n");

  std::vector<cv::Mat> textures;
  if (options.scene == Scene::kDemo)
    textures.push_back(MakeObject());
  else if (options.scene == Scene::kLong)
    textures.push_back(MakeTexturedObject(kObjectSide, 15, 0x0B1EC7 + options.seed));
  else if (options.scene == Scene::kSize)
    textures.push_back(MakeTexturedObject(kMultiSide, 15, 0x51ECB + options.seed));
  else if (options.scene == Scene::kTurn)
    textures.push_back(MakeTexturedObject(kMultiSide, 15, 0x7E2A + options.seed));
  else if (options.scene == Scene::kBall)
    textures.push_back(MakeTexturedObject(kMultiSide, 15, 0xBA11 + options.seed));
  else if (options.scene == Scene::kAway)
    for (int k = 0; k < 2; ++k)
      textures.push_back(MakeTexturedObject(kMultiSide, 15, 0xA3A7 + 17 * options.seed + k));
  else
    for (int k = 0; k < kMultiObjects; ++k)
      textures.push_back(MakeTexturedObject(kMultiSide,
                                            static_cast<uchar>(std::array{15, 60, 150}[k]),
                                            0x3B1EC7 + 31 * options.seed + k));
  const double phase = 0.7 * options.seed;

  cv::Mat scene, upsideDown;
  cv::Mat noise(options.size, CV_16SC3);
  for (int i = 0; i < options.frames; ++i) {
    backdrop.Frame(i, scene);
    cv::RNG rng(0x5A3D1E + i);  // each frame's own: no state carries between frames
    // A hand holding the object still is never quite still.
    const cv::Point jitter(rng.uniform(-2, 3), rng.uniform(-2, 3));
    if (options.scene == Scene::kDemo) {
      const cv::Rect box(DemoCorner(i, options.hold, options.size) + jitter,
                         cv::Size(kObjectSide, kObjectSide));
      const cv::Rect visible = box & cv::Rect(cv::Point(0, 0), options.size);
      if (!visible.empty()) textures[0](visible - box.tl()).copyTo(scene(visible));
      std::fprintf(truth, "%d,%d,%d,%d,%d\n", i, visible.x, visible.y, visible.width,
                   visible.height);
    } else if (options.scene == Scene::kLong) {
      const Placement p = LongPlacement(i, options.hold, options.size, phase);
      cv::Rect visible;
      if (p.present) visible = Paste(textures[0], p.centre + cv::Point2d(jitter), 1.0, scene);
      std::fprintf(truth, "%d,%d,%d,%d,%d\n", i, visible.x, visible.y, visible.width,
                   visible.height);
    } else if (options.scene == Scene::kSize || options.scene == Scene::kTurn ||
               options.scene == Scene::kBall) {
      const double t = std::max(0, i - options.hold);
      cv::Rect box;
      if (options.scene == Scene::kSize) {
        const Placement p = SizePlacement(i, options.hold, options.size, phase);
        box = Paste(textures[0], p.centre + cv::Point2d(jitter), p.scale, scene);
      } else if (options.scene == Scene::kTurn) {
        box = PasteTurned(textures[0], Wander(2 * t, options.size, phase) + cv::Point2d(jitter),
                          kTurnSide, kTurnDegrees * t, scene);
      } else {
        box = PasteTurned(textures[0], BallCentre(t, options.size), kBallSide, kBallDegrees * t,
                          scene);
      }
      if (!box.empty())
        std::fprintf(truth, "%d,1,%d,%d,%d,%d,1,-1,-1,-1\n", i + 1, box.x, box.y, box.width,
                     box.height);
    } else if (options.scene == Scene::kAway) {
      cv::Rect boxes[2];
      for (int k = 1; k >= 0; --k) {  // the first object is drawn on top
        const Placement p = AwayPlacement(k, i, options.hold, options.size, phase);
        const cv::Size size(static_cast<int>(std::lround(kAwaySize.width * p.scale)),
                            static_cast<int>(std::lround(kAwaySize.height * p.scale)));
        if (p.present)
          boxes[k] = PasteSized(textures[k], p.centre + cv::Point2d(jitter), size, scene);
      }
      for (int k = 0; k < 2; ++k)
        if (!boxes[k].empty())
          std::fprintf(truth, "%d,%d,%d,%d,%d,%d,1,-1,-1,-1\n", i + 1, k + 1, boxes[k].x,
                       boxes[k].y, boxes[k].width, boxes[k].height);
    } else {
      cv::Rect boxes[kMultiObjects];
      for (int k = kMultiObjects - 1; k >= 0; --k) {  // the first object is drawn on top
        const Placement p = MultiPlacement(k, i, options.hold, options.size);
        if (p.present)
          boxes[k] = Paste(textures[k], p.centre + cv::Point2d(jitter), p.scale, scene);
      }
      for (int k = 0; k < kMultiObjects; ++k)
        if (!boxes[k].empty())
          std::fprintf(truth, "%d,%d,%d,%d,%d,%d,1,-1,-1,-1\n", i + 1, k + 1, boxes[k].x,
                       boxes[k].y, boxes[k].width, boxes[k].height);
    }
    // Sensor noise and a light that flickers a little, as a camera sees them.
    rng.fill(noise, cv::RNG::NORMAL, 0, 3);
    scene.convertTo(scene, -1, 1.0 + rng.uniform(-0.03, 0.03), 0);
    cv::add(scene, noise, scene, cv::noArray(), CV_8U);
    if (upright) {
      writer.write(scene);
    } else {
      cv::flip(scene, upsideDown, 0);
      writer.write(upsideDown);
    }
  }
  writer.release();
  const bool written = std::fclose(truth) == 0;
  if (!written) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.truth.c_str());
    return 1;
  }
  std::printf("%s: %d frames of %d x %d at %g fps; ground truth in %s\n", options.output.c_str(),
              options.frames, options.size.width, options.size.height, options.fps,
              options.truth.c_str());
  return 0;
}
