// SetImage: its checks, the blurred mask and the integral image.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "memory_state.hpp"
#include "report.hpp"
#include "test_images.hpp"

using namespace vizmoro::detail;

namespace {

class SetImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(220, 220, 3);
    memory.SetImage(frame);
    sumBefore = s().integral.clone();
  }
  CvAssociativeMemoryState& s() { return CvAssociativeMemoryAccess::state(memory); }

  CvAssociativeMemory memory;
  cv::Mat frame = texturedImage({640, 480}, 11);
  cv::Mat sumBefore;
};

TEST_F(SetImageTest, RefusalsInOrderLeaveEverythingAsItWas) {
  const cv::Mat grey(480, 640, CV_8UC1, cv::Scalar(9));
  const uint8_t* integralData = s().integral.data;
  struct Case {
    cv::Mat image, mask;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {cv::Mat(), cv::Mat(), -1, "Inner function failed."},
      {cv::Mat(480, 640, CV_8UC3), cv::Mat(), -210, "Source images must have 8uC1 type"},
      {cv::Mat(480, 640, CV_16UC1), cv::Mat(), -210, "Source images must have 8uC1 type"},
      {cv::Mat(480, 640, CV_8UC3), cv::Mat(240, 320, CV_8UC1), -210,
       "Source images must have 8uC1 type"},
      {grey, cv::Mat(480, 640, CV_32FC1), -210, "Mask images must have 8uC1 type"},
      {grey, cv::Mat(240, 320, CV_8UC1, cv::Scalar(255)), -209,
       "Size of input image do not match to the mask image"},
      {grey, cv::Mat(std::vector<int>{2, 480, 640}, CV_8UC1), -1, "Inner function failed."},
  };
  for (const Case& c : cases) {
    const cv::Mat maskBefore = c.mask.clone();
    const Report r = reportOf([&] { memory.SetImage(c.image, c.mask); });
    EXPECT_EQ(r.code, c.code) << c.message;
    EXPECT_EQ(r.func, "CvAssociativeMemory::SetImage");
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(s().integral.data, integralData);
    EXPECT_EQ(cv::norm(s().integral, sumBefore, cv::NORM_INF), 0);
    EXPECT_EQ(s().image.data, frame.data);
    if (!c.mask.empty() && c.mask.dims == 2) {
      EXPECT_EQ(cv::norm(c.mask, maskBefore, cv::NORM_INF), 0) << "mask blurred before checks";
    }
  }
}

TEST_F(SetImageTest, IntegralIsKeptForTheSameSizeAndReplacedForAnother) {
  const uint8_t* first = s().integral.data;
  EXPECT_EQ(s().integral.size(), cv::Size(641, 481));
  EXPECT_EQ(s().integral.type(), CV_32SC1);
  const cv::Mat next = texturedImage({640, 480}, 12);
  memory.SetImage(next);
  EXPECT_EQ(s().integral.data, first);
  cv::Mat expected;
  cv::integral(next, expected, CV_32S);
  EXPECT_EQ(cv::norm(s().integral, expected, cv::NORM_INF), 0);

  const cv::Mat small = texturedImage({320, 240}, 13);
  memory.SetImage(small);
  EXPECT_EQ(s().integral.size(), cv::Size(321, 241));
  EXPECT_EQ(s().imageWidth, 320);
  EXPECT_EQ(s().imageHeight, 240);
}

TEST_F(SetImageTest, MaskIsBlurredInPlaceAndAMissingMaskClearsIt) {
  cv::Mat mask(480, 640, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(300, 200, 40, 40)).setTo(255);
  cv::Mat expected;
  cv::GaussianBlur(mask, expected, cv::Size(17, 17), 17.0, 0.0, cv::BORDER_REPLICATE);
  memory.SetImage(frame, mask);
  EXPECT_EQ(cv::norm(mask, expected, cv::NORM_INF), 0);
  EXPECT_EQ(s().mask.data, mask.data);

  memory.SetImage(frame);
  EXPECT_TRUE(s().mask.empty());
}

TEST_F(SetImageTest, MaskOfAnotherFrameSizeIsNeverReadAfterAnUnmaskedFrame) {
  cv::Mat mask(480, 640, CV_8UC1, cv::Scalar(255));
  memory.SetImage(frame, mask);
  const cv::Mat small = texturedImage({320, 240}, 14);
  memory.SetImage(small);
  // Learning reads the mask through the node's descriptor; it must not see the old one.
  const int32_t one = 1;
  memory.Write(cv::Rect(50, 10, 220, 220), &one);
  EXPECT_EQ(memory.GetNodeCount(), 4);
}

TEST_F(SetImageTest, CreateForgetsTheImageUntilTheNextSetImage) {
  const int32_t one = 1;
  memory.Create(220, 220, 3);
  cv::Rect found;
  for (auto call : {std::function<void()>([&] {
                      memory.Write({0, 0, 220, 220}, &one);
                    }),
                    std::function<void()>([&] {
                      memory.Read({0, 0, 220, 220}, found);
                    })}) {
    const Report r = reportOf(call);
    EXPECT_EQ(r.code, -27);
    EXPECT_EQ(r.message, "Source image is not set");
  }
  memory.SetImage(frame);
  memory.Write({0, 0, 220, 220}, &one);
  EXPECT_EQ(memory.GetNodeCount(), 4);
}

}  // namespace
