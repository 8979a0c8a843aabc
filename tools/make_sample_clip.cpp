// Writes the sample clip that the Vizmoro program learns from: an orange, textured square on a
// blue background, sitting in the teaching rectangle while the program learns it, then moving
// around the frame, leaving it and coming back. Beside the clip goes a CSV file with the
// square's box on every frame.
//
// The program turns every frame upside down before it looks at it, so the scene is drawn as
// the program sees it and written upside down; the CSV gives the box in the program's view.
//
// The output depends on nothing but the options: no clock, no unseeded randomness.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

const char kUsage[] =
    "usage: make_sample_clip [--frames N] [--hold N] [--size WxH] [--fps F] [--output clip.avi]\n"
    "                        [--csv truth.csv]\n"
    "  --frames N     frames in the clip (default 680)\n"
    "  --hold N       frames the object stays in the teaching rectangle (default 420)\n"
    "  --size WxH     frame size (default 640x480)\n"
    "  --fps F        frame rate (default 25)\n"
    "  --output FILE  the clip, Motion JPEG in AVI (default samples/sample.avi)\n"
    "  --csv FILE     the ground truth (default: the clip's name with .csv for .avi)\n";

constexpr int kObjectSide = 220;
const cv::Point kTeachingCorner(390, 250);
constexpr int kSpeed = 5;  // pixels per frame while moving

struct Options {
  int frames = 680;
  int hold = 420;
  cv::Size size{640, 480};
  double fps = 25.0;
  std::string output = "samples/sample.avi";
  std::string csv;
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
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--frames") {
      if (!ParseInt(value, options.frames)) return false;
    } else if (name == "--hold") {
      if (!ParseInt(value, options.hold)) return false;
    } else if (name == "--size") {
      if (std::sscanf(value, "%dx%d", &options.size.width, &options.size.height) != 2 ||
          options.size.width < 16 || options.size.height < 16 || options.size.width > 4096 ||
          options.size.height > 4096)
        return false;
    } else if (name == "--fps") {
      options.fps = std::atof(value);
      if (!(options.fps > 0.0 && options.fps <= 1000.0)) return false;
    } else if (name == "--output") {
      options.output = value;
    } else if (name == "--csv") {
      options.csv = value;
    } else {
      return false;
    }
  }
  if (options.csv.empty()) {
    options.csv = options.output;
    const size_t dot = options.csv.rfind(".avi");
    if (dot != std::string::npos && dot + 4 == options.csv.size()) options.csv.resize(dot);
    options.csv += ".csv";
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

  cv::Mat hsv(value.size(), CV_8UC3);
  for (int y = 0; y < kObjectSide; ++y)
    for (int x = 0; x < kObjectSide; ++x)
      hsv.at<cv::Vec3b>(y, x) = cv::Vec3b(15, 230, value.at<uchar>(y, x));
  return HsvToBgr(hsv);
}

// The object's top-left corner on `frame`, in the program's view, for a clip of frames of
// `size`. After `hold` frames in the teaching rectangle it goes left, up, right and out of the
// frame, stays away, comes back in at the teaching rectangle's height and stays there.
cv::Point ObjectCorner(int frame, int hold, cv::Size size) {
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  for (const std::string& file : {options.output, options.csv}) {
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    std::error_code ignored;
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  }
  cv::VideoWriter writer(options.output, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), options.fps,
                         options.size, true);
  if (!writer.isOpened()) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.output.c_str());
    return 1;
  }
  std::FILE* truth = std::fopen(options.csv.c_str(), "w");
  if (!truth) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.csv.c_str());
    return 1;
  }
  std::fprintf(truth,
               "# object box per frame, in pixels of the frame turned upside down (as the "
               "Vizmoro program sees it), clipped to the frame; 0 0 0 0 when out of sight\n"
               "frame,x,y,width,height\n");

  const cv::Mat background = MakeBackground(options.size);
  const cv::Mat object = MakeObject();
  const cv::Rect frameRect(cv::Point(0, 0), options.size);
  cv::Mat scene, upsideDown;
  cv::Mat noise(options.size, CV_16SC3);
  for (int i = 0; i < options.frames; ++i) {
    background.copyTo(scene);
    cv::RNG rng(0x5A3D1E + i);  // each frame's own: no state carries between frames
    // A hand holding the object still is never quite still.
    const cv::Point jitter(rng.uniform(-2, 3), rng.uniform(-2, 3));
    const cv::Rect box(ObjectCorner(i, options.hold, options.size) + jitter,
                       cv::Size(kObjectSide, kObjectSide));
    const cv::Rect visible = box & frameRect;
    if (!visible.empty()) object(visible - box.tl()).copyTo(scene(visible));
    // Sensor noise and a light that flickers a little, as a camera sees them.
    rng.fill(noise, cv::RNG::NORMAL, 0, 3);
    scene.convertTo(scene, -1, 1.0 + rng.uniform(-0.03, 0.03), 0);
    cv::add(scene, noise, scene, cv::noArray(), CV_8U);
    std::fprintf(truth, "%d,%d,%d,%d,%d\n", i, visible.x, visible.y, visible.width, visible.height);
    cv::flip(scene, upsideDown, 0);
    writer.write(upsideDown);
  }
  writer.release();
  const bool written = std::fclose(truth) == 0;
  if (!written) {
    std::fprintf(stderr, "make_sample_clip: cannot write %s\n", options.csv.c_str());
    return 1;
  }
  std::printf("%s: %d frames of %d x %d at %g fps; ground truth in %s\n", options.output.c_str(),
              options.frames, options.size.width, options.size.height, options.fps,
              options.csv.c_str());
  return 0;
}
