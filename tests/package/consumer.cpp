// A program of another project that uses the installed engine: it teaches a memory a patch of a
// generated image and reads it back.
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>
#include <vizmoro/associative_memory.hpp>

int main() {
  cv::Mat image(240, 320, CV_8UC1);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x)
      image.at<uchar>(y, x) = cv::saturate_cast<uchar>(
          128 + 60 * std::sin(x * 0.07) * std::cos(y * 0.05) + 40 * std::sin((x + y) * 0.031));
  CvAssociativeMemory memory;
  memory.Create(100, 100, 3);
  memory.SetImage(image);
  const int32_t object = 7;
  memory.Write(cv::Rect(60, 40, 100, 100), &object);
  cv::Rect found;
  int32_t* data = nullptr;
  memory.Read(cv::Rect(60, 40, 100, 100), found, &data, nullptr, nullptr, nullptr, true);
  std::printf("bases %d, object %d\n", memory.GetNodeCount(), data ? *data : -1);
  return memory.GetNodeCount() == 4 && data && *data == 7 ? 0 : 1;
}
