// Cell-contrast descriptor and its distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "kernel_suite.hpp"
#include "test_images.hpp"

using namespace vizmoro::detail;

namespace {

cv::Mat integralOf(const cv::Mat& image) {
  cv::Mat sum;
  cv::integral(image, sum, CV_32S);
  return sum;
}

// One value from a 4 x 4 window of 2 x 2-pixel cells: cell (0, 0) against cell (1, 1).
int16_t pairValue(int upperLeft[4], int lowerRight[4]) {
  cv::Mat image(4, 4, CV_8UC1, cv::Scalar(0));
  for (int i = 0; i < 4; ++i) {
    image.at<uint8_t>(i / 2, i % 2) = static_cast<uint8_t>(upperLeft[i]);
    image.at<uint8_t>(2 + i / 2, 2 + i % 2) = static_cast<uint8_t>(lowerRight[i]);
  }
  int16_t value = 1;
  EXPECT_EQ(CalcDescriptor(integralOf(image), 0, 0, 4, 4, 1, 1, &value, cv::Mat()), 0);
  return value;
}

TEST(CalcDescriptor, ContrastOfTwoCells) {
  int bright[4] = {250, 250, 250, 250};  // 1000
  int quarter[4] = {63, 63, 62, 62};     // 250
  int black[4] = {0, 0, 0, 0};
  int grey[4] = {9, 9, 9, 9};
  EXPECT_EQ(pairValue(bright, quarter), 24576);
  EXPECT_EQ(pairValue(quarter, bright), -24576);
  EXPECT_EQ(pairValue(grey, grey), 0);
  EXPECT_EQ(pairValue(grey, black), 32767);
  EXPECT_EQ(pairValue(black, grey), -32767);
  EXPECT_EQ(pairValue(black, black), 0);
}

TEST(CalcDescriptor, LargeCellsNeedSixtyFourBitsAndStayExact) {
  // 44 x 44 cells of 255 and 254: the product of a sum and 32767 exceeds 32 bits.
  cv::Mat image(88, 88, CV_8UC1, cv::Scalar(254));
  image(cv::Rect(0, 0, 44, 44)).setTo(255);
  int16_t value = 0;
  CalcDescriptor(integralOf(image), 0, 0, 88, 88, 1, 1, &value, cv::Mat());
  const uint64_t big = 255 * 44 * 44, small = 254 * 44 * 44;
  EXPECT_EQ(value, 32767 - static_cast<int>(small * 32767 / big));
}

TEST(CalcDescriptor, UniformImageGivesZerosEverywhere) {
  const cv::Mat sum = integralOf(cv::Mat(100, 120, CV_8UC1, cv::Scalar(77)));
  std::vector<int16_t> values(7 * 7, 1);
  for (cv::Point at : {cv::Point(0, 0), cv::Point(13, 7), cv::Point(40, 20)}) {
    EXPECT_EQ(CalcDescriptor(sum, at.x, at.y, 80, 80, 7, 7, values.data(), cv::Mat()), 0);
    EXPECT_EQ(std::count(values.begin(), values.end(), 0), 49);
  }
}

TEST(CalcDescriptor, ValuesAreRowMajorAndCompareDiagonalNeighbours) {
  // Brightness grows to the right: every upper-left cell is darker than its diagonal neighbour.
  cv::Mat image(60, 80, CV_8UC1);
  for (int x = 0; x < 80; ++x) image.col(x).setTo(x * 3);
  std::vector<int16_t> values(3 * 2);
  CalcDescriptor(integralOf(image), 0, 0, 80, 60, 3, 2, values.data(), cv::Mat());
  for (int16_t v : values) EXPECT_LT(v, 0);
  EXPECT_EQ(values[0], values[3]);  // rows of a horizontal ramp are equal
  EXPECT_LT(values[0], values[2]);  // the contrast fades as the ramp brightens
}

TEST(CalcDescriptor, MaskCoverageOfExactlyATenthIsEmpty) {
  // Cells of 5 x 1 pixels: a pair holds 10 mask pixels.
  const cv::Mat sum = integralOf(texturedImage({10, 2}, 3));
  cv::Mat mask(2, 10, CV_8UC1, cv::Scalar(0));
  int16_t value = 0;
  mask.at<uint8_t>(0, 0) = 1;
  EXPECT_EQ(CalcDescriptor(sum, 0, 0, 10, 2, 1, 1, &value, mask), 1);
  EXPECT_EQ(value, AM_EMPTY_CELL);
  mask.at<uint8_t>(1, 9) = 255;
  EXPECT_EQ(CalcDescriptor(sum, 0, 0, 10, 2, 1, 1, &value, mask), 0);
  EXPECT_NE(value, AM_EMPTY_CELL);
}

TEST(CalcDescriptor, MaskedCellsMatchAPixelCountAnywhereInTheImage) {
  // Blotchy masks, windows inside, at the edges and partly outside, against a count of each
  // pair's mask pixels.
  const cv::Mat image = texturedImage({90, 70}, 9);
  const cv::Mat sum = integralOf(image);
  std::mt19937 random(17);
  for (int trial = 0; trial < 40; ++trial) {
    cv::Mat mask(70, 90, CV_8UC1, cv::Scalar(0));
    for (int blot = 0; blot < 6; ++blot)
      cv::circle(mask, {static_cast<int>(random() % 90), static_cast<int>(random() % 70)},
                 static_cast<int>(3 + random() % 12), cv::Scalar(1 + random() % 255), -1);
    const int x = static_cast<int>(random() % 100) - 20, y = static_cast<int>(random() % 80) - 15;
    const int width = 20 + static_cast<int>(random() % 60), height = 20 + random() % 50;
    const int cols = 1 + static_cast<int>(random() % 5), rows = 1 + random() % 5;
    std::vector<int16_t> masked(cols * rows), plain(cols * rows);
    const int empty = CalcDescriptor(sum, x, y, width, height, cols, rows, masked.data(), mask);
    CalcDescriptor(sum, x, y, width, height, cols, rows, plain.data(), cv::Mat());
    const cv::Rect clipped = cv::Rect(x, y, width, height) & cv::Rect(0, 0, 90, 70);
    const int cellWidth = clipped.width / (cols + 1), cellHeight = clipped.height / (rows + 1);
    int expectedEmpty = 0;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const cv::Point upper(clipped.x + c * cellWidth, clipped.y + r * cellHeight);
        const cv::Size cell(cellWidth, cellHeight);
        const int covered = cv::countNonZero(mask(cv::Rect(upper, cell))) +
                            cv::countNonZero(mask(cv::Rect(upper + cv::Point(cell), cell)));
        const bool isEmpty = covered <= 0.1f * 2.0 * cell.area();
        expectedEmpty += isEmpty;
        EXPECT_EQ(masked[r * cols + c], isEmpty ? AM_EMPTY_CELL : plain[r * cols + c])
            << "trial " << trial << " value " << c << ", " << r;
      }
    EXPECT_EQ(empty, expectedEmpty) << "trial " << trial;
  }
}

TEST(CalcDescriptor, MaskOfZerosEmptiesEveryCellAndNoMaskNone) {
  const cv::Mat image = texturedImage({64, 64}, 5);
  const cv::Mat sum = integralOf(image);
  std::vector<int16_t> values(3 * 3);
  EXPECT_EQ(CalcDescriptor(sum, 0, 0, 64, 64, 3, 3, values.data(), cv::Mat::zeros(64, 64, CV_8UC1)),
            9);
  EXPECT_EQ(std::count(values.begin(), values.end(), AM_EMPTY_CELL), 9);
  EXPECT_EQ(CalcDescriptor(sum, 0, 0, 64, 64, 3, 3, values.data(), cv::Mat()), 0);
  EXPECT_EQ(std::count(values.begin(), values.end(), AM_EMPTY_CELL), 0);
}

TEST(CalcDescriptor, CellsOfZeroWidth) {
  const cv::Mat image = texturedImage({64, 64}, 6);
  const cv::Mat sum = integralOf(image);
  std::vector<int16_t> values(3 * 3, 5);
  // A window 3 pixels wide has no room for 4 cells across.
  EXPECT_EQ(CalcDescriptor(sum, 10, 10, 3, 40, 3, 3, values.data(), cv::Mat()), 0);
  EXPECT_EQ(std::count(values.begin(), values.end(), 0), 9);
  const cv::Mat full(64, 64, CV_8UC1, cv::Scalar(255));
  EXPECT_EQ(CalcDescriptor(sum, 10, 10, 3, 40, 3, 3, values.data(), full), 9);
  EXPECT_EQ(std::count(values.begin(), values.end(), AM_EMPTY_CELL), 9);
}

TEST(CalcDescriptor, NoColumnsOrRowsWritesNothing) {
  const cv::Mat sum = integralOf(texturedImage({32, 32}, 7));
  int16_t sentinel = 1234;
  for (auto [cols, rows] : {std::pair{0, 3}, std::pair{3, 0}, std::pair{-1, 2}}) {
    EXPECT_EQ(CalcDescriptor(sum, 0, 0, 32, 32, cols, rows, &sentinel, cv::Mat()), 0);
    EXPECT_EQ(sentinel, 1234);
  }
}

TEST(CalcDescriptor, WindowsOutsideTheImageAreClipped) {
  const cv::Mat image = texturedImage({50, 40}, 8);
  const cv::Mat sum = integralOf(image);
  const cv::Mat mask(40, 50, CV_8UC1, cv::Scalar(255));
  std::vector<int16_t> clipped(3 * 3), inside(3 * 3);
  // Clipping keeps the part that lies inside.
  CalcDescriptor(sum, -20, -10, 70, 50, 3, 3, clipped.data(), mask);
  CalcDescriptor(sum, 0, 0, 50, 40, 3, 3, inside.data(), mask);
  EXPECT_EQ(clipped, inside);
  // Nothing left inside: no cell to compare. The sanitizer run checks that nothing is read.
  for (cv::Rect window :
       {cv::Rect(60, 0, 30, 30), cv::Rect(0, 45, 30, 30), cv::Rect(-100, -100, 50, 50),
        cv::Rect(10, 10, -5, 20), cv::Rect(2000000000, 2000000000, 2000000000, 2000000000)}) {
    EXPECT_EQ(CalcDescriptor(sum, window.x, window.y, window.width, window.height, 3, 3,
                             clipped.data(), mask),
              9);
    EXPECT_EQ(CalcDescriptor(sum, window.x, window.y, window.width, window.height, 3, 3,
                             clipped.data(), cv::Mat()),
              0);
  }
}

TEST(DescriptorDistance, SkipsOnlyTheFirstOperandsEmptyCells) {
  const std::vector<int16_t> a = {100, AM_EMPTY_CELL, -50, 0};
  const std::vector<int16_t> b = {-100, 20, -50, 32767};
  EXPECT_EQ(DescriptorDistance(2, 2, a.data(), a.data()), 0u);
  EXPECT_EQ(DescriptorDistance(2, 2, a.data(), b.data()), 200u + 32767u);
  EXPECT_EQ(DescriptorDistance(2, 2, b.data(), a.data()), 200u + (20u + 32768u) + 32767u);
  const std::vector<int16_t> extremes = {32767, -32767};
  const std::vector<int16_t> flipped = {-32767, 32767};
  EXPECT_EQ(DescriptorDistance(2, 1, extremes.data(), flipped.data()), 2u * 65534u);
}

}  // namespace

namespace {

// Pairs of cell sums: the extremes, quotients that land exactly on integers and just off them,
// and random sums of every bit length.
const std::vector<std::pair<uint32_t, uint32_t>>& contrastPairs() {
  static const std::vector<std::pair<uint32_t, uint32_t>> pairs = [] {
    std::mt19937_64 random(11);
    std::vector<std::pair<uint32_t, uint32_t>> made = {
        {0, 0}, {0, 1}, {1, 0}, {1000, 250}, {~0u, ~0u - 1}, {~0u, 1}, {~0u - 1, ~0u}, {32767, 1}};
    for (uint32_t big : {32767u, 65534u, 4294901760u, 4294967295u})
      for (uint32_t small : {big / 2, big / 3, big - 1, 1u}) made.emplace_back(small, big);
    for (int i = 0; i < 200000; ++i) {
      const int bits = 1 + static_cast<int>(random() % 32);
      const uint64_t mask = bits == 32 ? 0xffffffffu : (uint64_t{1} << bits) - 1;
      made.emplace_back(static_cast<uint32_t>(random() & mask),
                        static_cast<uint32_t>(random() & mask));
    }
    return made;
  }();
  return pairs;
}

TEST(CellContrast, IsTheExactIntegerQuotient) {
  auto reference = [](uint32_t a, uint32_t b) {
    const uint32_t big = std::max(a, b), small = std::min(a, b);
    if (big == 0) return 0;
    const int magnitude = 32767 - static_cast<int>(uint64_t{small} * 32767 / big);
    return a > b ? magnitude : -magnitude;
  };
  for (const auto& [a, b] : contrastPairs())
    ASSERT_EQ(CellContrast(a, b), reference(a, b)) << a << " " << b;
}

class ContrastRowKernel : public KernelSuite {};

TEST_P(ContrastRowKernel, IsCellContrastAtEveryLength) {
  std::vector<uint32_t> first, second;
  for (const auto& [a, b] : contrastPairs()) {
    first.push_back(a);
    second.push_back(b);
  }
  // Every length, so that every tail is met.
  for (size_t n : {first.size(), size_t{1}, size_t{7}, size_t{9}, size_t{15}, size_t{17}}) {
    std::vector<int16_t> row(n);
    kernels->contrastRow(first.data(), second.data(), static_cast<int>(n), row.data());
    for (size_t i = 0; i < n; ++i)
      ASSERT_EQ(row[i], CellContrast(first[i], second[i])) << first[i] << " " << second[i];
  }
}

INSTANTIATE_KERNEL_SUITE(ContrastRowKernel);

}  // namespace
