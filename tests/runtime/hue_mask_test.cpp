#include "hue_mask.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

// The BGR colour that converts to exactly (hue, saturation, value); fails the test if the
// 8-bit round trip does not hit it.
cv::Vec3b Bgr(int hue, int saturation, int value) {
  cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue, saturation, value)), bgr, back;
  cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
  cv::cvtColor(bgr, back, cv::COLOR_BGR2HSV);
  const cv::Vec3b b = back.at<cv::Vec3b>(0, 0);
  EXPECT_EQ(b, cv::Vec3b(hue, saturation, value)) << "no exact colour for that HSV";
  return bgr.at<cv::Vec3b>(0, 0);
}

cv::Mat Uniform(cv::Vec3b colour) {
  return cv::Mat(4, 8, CV_8UC3, cv::Scalar(colour));
}

// A frame whose pixel i has colour i; the mask then has one value per colour.
cv::Mat Row(std::initializer_list<cv::Vec3b> colours) {
  cv::Mat frame(1, static_cast<int>(colours.size()), CV_8UC3);
  int i = 0;
  for (const cv::Vec3b& c : colours) frame.at<cv::Vec3b>(0, i++) = c;
  return frame;
}

std::vector<int> MaskOf(vizmoro::HueMask& hueMask, const cv::Mat& frame) {
  cv::Mat mask;
  hueMask.Build(frame, mask);
  EXPECT_EQ(mask.type(), CV_8UC1);
  return std::vector<int>(mask.begin<uchar>(), mask.end<uchar>());
}

TEST(HueMaskTest, GreyOrDarkFirstFrameTurnsEveryMaskFullyOn) {
  for (const cv::Vec3b& first : {cv::Vec3b(128, 128, 128), Bgr(60, 255, 9)}) {
    vizmoro::HueMask hueMask;
    EXPECT_EQ(MaskOf(hueMask, Uniform(first)), std::vector<int>(32, 255));
    EXPECT_EQ(cv::countNonZero(hueMask.Histogram()), 0);
    EXPECT_EQ(MaskOf(hueMask, Row({Bgr(60, 255, 255), Bgr(120, 255, 100), first})),
              (std::vector<int>{255, 255, 255}));
  }
}

TEST(HueMaskTest, UniformFirstFrameBlanksItsHueBinOnly) {
  vizmoro::HueMask hueMask;
  EXPECT_EQ(MaskOf(hueMask, Uniform(Bgr(120, 255, 255))), std::vector<int>(32, 0));
  // 120 and 118 share bin 10 (112.5 to 123.75); 124 and 60 do not.
  EXPECT_EQ(MaskOf(hueMask, Row({Bgr(120, 80, 80), Bgr(118, 255, 255), Bgr(124, 255, 255),
                                 Bgr(60, 255, 255)})),
            (std::vector<int>{0, 0, 255, 255}));
}

TEST(HueMaskTest, SaturationAndValueBoundsOfTheRange) {
  vizmoro::HueMask hueMask;
  MaskOf(hueMask, Uniform(Bgr(120, 255, 255)));
  // Out of range means fully on whatever the hue; in range means the hue's bin decides.
  EXPECT_EQ(MaskOf(hueMask, Row({Bgr(120, 29, 255), Bgr(120, 30, 255), Bgr(120, 255, 9),
                                 Bgr(120, 255, 10)})),
            (std::vector<int>{255, 0, 255, 0}));
}

TEST(HueMaskTest, FirstAndLastBinEdges) {
  vizmoro::HueMask hueMask;
  // Half hue 11 (bin 0), half hue 169 (bin 15): both bins scale to 255.
  cv::Mat first(2, 8, CV_8UC3, cv::Scalar(Bgr(11, 255, 255)));
  first.row(1).setTo(cv::Scalar(Bgr(169, 255, 255)));
  MaskOf(hueMask, first);
  EXPECT_EQ(MaskOf(hueMask, Row({Bgr(0, 255, 255), Bgr(11, 255, 255), Bgr(12, 255, 255),
                                 Bgr(168, 255, 255), Bgr(169, 255, 255), Bgr(179, 255, 255)})),
            (std::vector<int>{0, 0, 255, 255, 0, 0}));
}

TEST(HueMaskTest, RarerHuesStayPartlyOnAndOutOfRangePixelsDoNotCount) {
  vizmoro::HueMask hueMask;
  // 24 pixels of bin 10, 8 of bin 5, 32 grey ones that the histogram ignores.
  cv::Mat first(8, 8, CV_8UC3, cv::Scalar(128, 128, 128));
  first.rowRange(0, 3).setTo(cv::Scalar(Bgr(120, 255, 255)));
  first.row(3).setTo(cv::Scalar(Bgr(60, 255, 255)));
  const std::vector<int> mask = MaskOf(hueMask, first);
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(mask[3 * 8], 255 - 85);  // 8 / 24 of 255
  EXPECT_EQ(mask[4 * 8], 255);
}

TEST(HueMaskTest, HistogramStaysThatOfTheFirstFrame) {
  vizmoro::HueMask hueMask;
  const cv::Mat blue = Uniform(Bgr(120, 255, 255)), green = Uniform(Bgr(60, 255, 255));
  MaskOf(hueMask, blue);
  MaskOf(hueMask, green);
  MaskOf(hueMask, green);
  EXPECT_EQ(MaskOf(hueMask, Row({Bgr(120, 255, 255), Bgr(60, 255, 255)})),
            (std::vector<int>{0, 255}));
}

}  // namespace
