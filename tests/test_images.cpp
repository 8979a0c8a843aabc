#include "test_images.hpp"

#include <opencv2/imgproc.hpp>

cv::Mat texturedImage(cv::Size size, uint64_t seed) {
  cv::RNG rng(seed);
  cv::Mat image(size, CV_8UC1, cv::Scalar(128));
  for (int i = 0; i < size.area() / 400; ++i) {
    const cv::Point centre(rng.uniform(0, size.width), rng.uniform(0, size.height));
    const int radius = rng.uniform(3, 40);
    cv::circle(image, centre, radius, cv::Scalar(rng.uniform(0, 256)), cv::FILLED);
  }
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);
  return image;
}
