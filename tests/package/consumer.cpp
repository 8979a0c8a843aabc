// A program of another project that uses the installed engine: it teaches a memory a patch of a
// generated image and reads it back, then writes a short clip of that image drifting, reads it
// back with the video library and follows the patch through it with the tracker.
#include <cmath>
#include <cstdio>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/tracker.hpp>

namespace {

cv::Mat Texture(int shift) {
  cv::Mat image(240, 320, CV_8UC1);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x) {
      const int u = x - shift;
      image.at<uchar>(y, x) = cv::saturate_cast<uchar>(
          128 + 60 * std::sin(u * 0.07) * std::cos(y * 0.05) + 40 * std::sin((u + y) * 0.031));
    }
  return image;
}

bool FollowThroughClip(const char* path) {
  const int frames = 8, step = 2;
  {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                           cv::Size(320, 240), false);
    if (!writer.isOpened()) return false;
    for (int i = 0; i < frames; ++i) writer.write(Texture(i * step));
  }
  cv::VideoCapture capture(path);
  std::vector<cv::Mat> read;
  for (cv::Mat frame; capture.read(frame);) read.push_back(frame.clone());
  if (static_cast<int>(read.size()) != frames) return false;

  CvAssociativeMemory memory;
  vizmoro::Tracker tracker(memory);
  tracker.Teach(read[0], 3, cv::Rect(60, 40, 100, 100));
  std::vector<vizmoro::TrackReport> reports;
  for (int i = 1; i < frames; ++i) reports = tracker.Track(read[i]);
  std::printf("clip of %zu frames, object 3 %s at x %d\n", read.size(),
              reports.size() == 1 && reports[0].present ? "present" : "absent",
              reports.empty() ? -1 : reports[0].box.x);
  return reports.size() == 1 && reports[0].id == 3 && reports[0].present &&
         std::abs(reports[0].box.x - (60 + (frames - 1) * step)) <= 8;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer CLIP.avi\n");
    return 2;
  }
  const cv::Mat image = Texture(0);
  CvAssociativeMemory memory;
  memory.Create(100, 100, 3);
  memory.SetImage(image);
  const int32_t object = 7;
  memory.Write(cv::Rect(60, 40, 100, 100), &object);
  cv::Rect found;
  int32_t* data = nullptr;
  memory.Read(cv::Rect(60, 40, 100, 100), found, &data, nullptr, nullptr, nullptr, true);
  std::printf("bases %d, object %d\n", memory.GetNodeCount(), data ? *data : -1);
  if (memory.GetNodeCount() != 4 || !data || *data != 7) return 1;
  return FollowThroughClip(argv[1]) ? 0 : 1;
}
