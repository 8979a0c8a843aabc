// Synthetic images shared by the engine suites.
#ifndef VIZMORO_TEST_IMAGES_HPP
#define VIZMORO_TEST_IMAGES_HPP

#include <cstdint>

#include <opencv2/core.hpp>

// A deterministic textured grey image: smooth blobs of many sizes, so that every window has
// contrast at every scale.
cv::Mat texturedImage(cv::Size size, uint64_t seed);

#endif  // VIZMORO_TEST_IMAGES_HPP
